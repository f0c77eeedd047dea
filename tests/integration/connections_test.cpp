// Connections that cost little: idle sockets hold no worker, a connection
// that never logs in is closed after LOGIN_TIMEOUT_SECONDS, failed logins are
// throttled per (address, user), and a reply stops at MAX_REPLY_MB.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kyrel_test.h"
#include "writes_helpers.h"

using namespace kyrel_test;
using namespace writes_test;
using namespace std::chrono_literals;

namespace {

const std::string kPing = R"({"action":"ping"})";
const std::string kPong = R"({"ok":true,"pong":true})";

// Far more idle sockets than workers, some of them with half a frame sent:
// a new client's ping is still answered, and so is each idle one later.
TEST(IdleConnections, HoldNoWorker) {
    TestServer srv;
    srv.set_config("AUTO_TUNE=OFF\nCONNECTION_WORKERS=2\n");
    ASSERT_TRUE(srv.start()) << srv.last_error();
    std::vector<std::unique_ptr<FrameClient>> idle;
    for (int i = 0; i < 24; i++) {
        idle.push_back(std::make_unique<FrameClient>());
        ASSERT_TRUE(idle.back()->connect(srv.port()));
        if (i % 3 == 0) {
            ASSERT_TRUE(idle.back()->send_raw(std::string("\0\0\0\x11{\"act", 9)));
        }
    }
    FrameClient c;
    ASSERT_TRUE(c.connect(srv.port(), "127.0.0.1", 3s));
    std::string reply;
    ASSERT_TRUE(c.request(kPing, &reply)) << "ping not answered beside idle sockets";
    EXPECT_EQ(reply, kPong);
    for (size_t i = 0; i < idle.size(); i++) {
        if (i % 3 == 0) {
            // The rest of the started frame: {"action":"ping"} is 17 bytes.
            ASSERT_TRUE(idle[i]->send_raw(std::string("ion\":\"ping\"}")));
            ASSERT_TRUE(idle[i]->read_frame(&reply)) << i;
        } else {
            ASSERT_TRUE(idle[i]->request(kPing, &reply)) << i;
        }
        EXPECT_EQ(reply, kPong) << i;
    }
    EXPECT_EQ(srv.stop(), 0);
}

// A connection that has not logged in within the time-out is told so and
// closed, also while it keeps sending requests that need no login; one that
// logged in stays however long it idles.
TEST(LoginTimeout, ClosesConnectionsThatNeverLogIn) {
    TestServer srv;
    srv.set_config("AUTO_TUNE=OFF\nLOGIN_TIMEOUT_SECONDS=1\n");
    ASSERT_TRUE(srv.start()) << srv.last_error();
    Client in;
    ASSERT_TRUE(in.connect(srv.port()));
    ASSERT_TRUE(ok(in.login("admin", "lumen406")));

    FrameClient silent, chatty;
    ASSERT_TRUE(silent.connect(srv.port()));
    ASSERT_TRUE(chatty.connect(srv.port()));
    std::string reply;
    auto until = std::chrono::steady_clock::now() + 5s;
    bool closed = false;
    while (!closed && std::chrono::steady_clock::now() < until) {
        if (!chatty.request(kPing, &reply)) break;
        closed = reply != kPong;
        if (!closed) std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(reply, R"({"ok":false,"error":"login not completed in time"})");
    EXPECT_TRUE(chatty.wait_closed());
    ASSERT_TRUE(silent.read_frame(&reply));
    EXPECT_EQ(reply, R"({"ok":false,"error":"login not completed in time"})");
    EXPECT_TRUE(silent.wait_closed());

    EXPECT_EQ(in.ask(kPing), kPong) << "a logged-in connection was closed";
    EXPECT_EQ(srv.stop(), 0);
}

// Five failures of one (address, user) pair within a minute refuse that pair,
// even with the right password; the same user from another address and
// another user from the same address still log in.
TEST(LoginThrottle, RefusesOnlyTheFailingPair) {
    TestServer srv;
    srv.set_config("AUTO_TUNE=OFF\n");
    ASSERT_TRUE(srv.start()) << srv.last_error();
    Client admin;
    ASSERT_TRUE(admin.connect(srv.port()));
    ASSERT_TRUE(ok(admin.login("admin", "lumen406")));
    ASSERT_TRUE(ok(admin.sql("CHANGE PASSWORD 'adm-pw'")));
    ASSERT_TRUE(ok(admin.sql("CREATE USER bob IDENTIFIED BY 'bob-pw'")));

    Client attacker;
    ASSERT_TRUE(attacker.connect(srv.port()));
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(json_get(attacker.login("bob", "guess"), "error"), "invalid username or password")
            << i;
    }
    const struct {
        const char* label;
        const char* user;
        const char* password;
        const char* error;  // "" = logs in
    } attempts[] = {
        {"wrong password again", "bob", "guess", "too many failed logins; try again later"},
        {"right password, same pair", "bob", "bob-pw", "too many failed logins; try again later"},
        {"other user, same address", "admin", "adm-pw", ""},
    };
    for (const auto& a : attempts) {
        Client c;
        ASSERT_TRUE(c.connect(srv.port()));
        std::string reply = c.login(a.user, a.password);
        EXPECT_EQ(json_get(reply, "error"), a.error) << a.label << ": " << reply;
    }
    Client other;
    if (!other.connect_from(srv.port(), "127.0.0.2")) {
        EXPECT_EQ(srv.stop(), 0);
        GTEST_SKIP() << "127.0.0.2 not usable as a source address here";
    }
    EXPECT_TRUE(ok(other.login("bob", "bob-pw"))) << "same user from another address refused";
    EXPECT_EQ(srv.stop(), 0);
}

// With MAX_REPLY_MB=1 a SELECT or a join whose reply would pass 1 MiB gets
// the limit message; a smaller one and a cursor over the same rows answer.
TEST(ReplyLimit, LargeRepliesAnswerTheLimitMessage) {
    TestServer srv;
    srv.set_config("AUTO_TUNE=OFF\nMAX_REPLY_MB=1\n");
    ASSERT_TRUE(srv.start()) << srv.last_error();
    Client c;
    ASSERT_TRUE(c.connect(srv.port()));
    ASSERT_TRUE(ok(c.login("admin", "lumen406")));
    ASSERT_TRUE(ok(c.sql("CHANGE PASSWORD 'adm-pw'")));
    ASSERT_TRUE(ok(c.sql("CREATE TABLE t (id int PRIMARY KEY, k int, pad string)")));
    const std::string pad(500, 'p');
    for (int batch = 0; batch < 6; batch++) {  // 3,000 rows of about 530 bytes
        std::string sql = "INSERT INTO t VALUES ";
        for (int i = 0; i < 500; i++) {
            int id = batch * 500 + i;
            sql += (i ? ", (" : "(") + std::to_string(id) + ", 1, '" + pad + "')";
        }
        std::string r = c.sql(sql);
        ASSERT_TRUE(ok(r)) << r.substr(0, 200);
    }
    const std::string limit_msg = "reply too large (limit 1 MiB): narrow the query or use a cursor";
    const struct {
        const char* sql;
        const char* error;  // "" = answered
    } cases[] = {
        {"SELECT * FROM t", limit_msg.c_str()},
        {"SELECT * FROM t ORDER BY id", limit_msg.c_str()},
        {"SELECT * FROM t a JOIN t b ON a.k = b.k", limit_msg.c_str()},
        {"SELECT * FROM t WHERE id < 1000", ""},
        {"SELECT k, COUNT(*) FROM t GROUP BY k", ""},
    };
    for (const auto& k : cases) {
        std::string r = c.sql(k.sql);
        EXPECT_EQ(json_get(r, "error"), k.error) << k.sql << " -> " << r.substr(0, 200);
    }
    std::string r = c.ask(R"({"action":"cursor_open","sql":"SELECT * FROM t","fetch":100})");
    EXPECT_EQ(json_get(r, "ok"), "true") << r.substr(0, 200);
    EXPECT_EQ(c.ask(kPing), kPong);
    EXPECT_EQ(srv.stop(), 0);
}

}  // namespace
