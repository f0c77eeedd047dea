// Which connections the router keeps: connections that never log in do not
// take the places of logged-in clients, and are closed at their login
// deadline; a login beyond MAX_CLIENTS is refused at once.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "router_harness.h"

using namespace router_test;

namespace {

std::string login_json(const std::string& user, const std::string& pw) {
    return R"({"action":"login","username":")" + user + R"(","password":")" + pw + R"("})";
}

class AdmissionTest : public ::testing::Test {
  protected:
    void start(const std::string& settings) {
        write_file(dir_.file("kyreldb_router.config"),
                   "LISTEN_HOST=127.0.0.1\n" + settings + "BACKEND main 127.0.0.1 " +
                       std::to_string(backend_.port()) +
                       "\nDATABASE default main\nUSER reader rpw\nGRANT reader default READ\n");
        router_.reset(new RouterProcess(dir_, free_port()));
        ASSERT_TRUE(router_->start()) << router_->stderr_text();
    }
    void TearDown() override {
        if (router_) {
            EXPECT_EQ(router_->stop(), 0) << router_->stderr_text();
        }
    }
    std::unique_ptr<FrameClient> connect() {
        std::unique_ptr<FrameClient> c(new FrameClient);
        EXPECT_TRUE(c->connect(router_->port()));
        return c;
    }

    TempDir dir_;
    FakeBackend backend_{"main"};
    std::unique_ptr<RouterProcess> router_;
};

TEST_F(AdmissionTest, IdleConnectionsLeaveTheLoginPlacesFree) {
    start("MAX_CLIENTS=4\n");
    // Far more idle connections than places, and more than the bound of
    // connections waiting to log in (64 here): the oldest give way.
    std::vector<std::unique_ptr<FrameClient>> idle;
    for (int i = 0; i < 100; i++) idle.push_back(connect());
    std::string r;
    ASSERT_TRUE(idle[0]->read_reply(&r)) << "the oldest idle connection is told why it goes";
    EXPECT_EQ(json_get(r, "error"), "router is at max client capacity");
    EXPECT_FALSE(idle[0]->read_reply(&r)) << "and then closed";

    // Every place is still free for clients that log in.
    std::vector<std::unique_ptr<FrameClient>> users;
    for (int i = 0; i < 4; i++) {
        users.push_back(connect());
        std::string login = users.back()->req(login_json("reader", "rpw"));
        ASSERT_EQ(json_get(login, "ok"), "true") << "login " << i << ": " << login;
    }
    EXPECT_EQ(json_get(users[0]->req(R"({"action":"sql","sql":"SELECT 1"})"), "backend"), "main");

    // The fifth login finds the places taken: answered at once, then closed.
    auto fifth = connect();
    EXPECT_EQ(json_get(fifth->req(R"({"action":"ping"})"), "pong"), "true");
    EXPECT_EQ(json_get(fifth->req(login_json("reader", "rpw")), "error"),
              "router is at max client capacity");
    EXPECT_FALSE(fifth->read_reply(&r));
    // A place given back is taken by the next login.
    users[3]->close();
    EXPECT_TRUE(wait_for([&] {
        auto c = connect();
        return json_get(c->req(login_json("reader", "rpw")), "ok") == "true";
    }));
}

TEST_F(AdmissionTest, ConnectionsThatDoNotLogInCloseAtTheDeadline) {
    start("LOGIN_TIMEOUT_SECONDS=1\n");
    auto user = connect();
    ASSERT_EQ(json_get(user->req(login_json("reader", "rpw")), "ok"), "true");
    auto idle = connect();
    // Requests that need no login do not stop the clock.
    EXPECT_EQ(json_get(idle->req(R"({"action":"ping"})"), "pong"), "true");
    std::string r;
    ASSERT_TRUE(idle->read_reply(&r)) << "closed with a last reply";
    EXPECT_EQ(json_get(r, "error"), "login timed out");
    EXPECT_FALSE(idle->read_reply(&r));
    // The logged-in client, older than the deadline, stays.
    EXPECT_EQ(json_get(user->req(R"({"action":"sql","sql":"SELECT 1"})"), "backend"), "main");
}

}  // namespace
