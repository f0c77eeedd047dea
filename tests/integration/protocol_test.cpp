// The wire protocol: frame limits, one reply per request, classification
// errors that keep the connection, and the busy answer under fd shortage.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kyrel_test.h"

using namespace kyrel_test;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kMaxRequest = 8u * 1024u * 1024u;

class Protocol : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        srv_ = new TestServer();
        srv_->set_config("CONNECTION_WORKERS=4\n");
        ASSERT_TRUE(srv_->start()) << srv_->last_error();
    }
    static void TearDownTestSuite() {
        delete srv_;
        srv_ = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(srv_, nullptr);
        ASSERT_TRUE(c_.connect(srv_->port()));
    }
    std::string ask(const std::string& json) {
        std::string reply;
        EXPECT_TRUE(c_.request(json, &reply)) << json;
        return reply;
    }
    static std::string header(uint32_t len) {
        uint32_t be = htonl(len);
        return std::string(reinterpret_cast<const char*>(&be), 4);
    }
    // {"action":"ping","pad":"xxx..."} of exactly n bytes.
    static std::string ping_of_size(size_t n) {
        std::string head = R"({"action":"ping","pad":")";
        std::string tail = "\"}";
        return head + std::string(n - head.size() - tail.size(), 'x') + tail;
    }

    static TestServer* srv_;
    FrameClient c_;
};
TestServer* Protocol::srv_ = nullptr;

TEST_F(Protocol, PingAndCaseSensitiveActions) {
    EXPECT_EQ(ask(R"({"action":"ping"})"), R"({"ok":true,"pong":true})");
    EXPECT_EQ(ask(R"({"action":"PING"})"), R"({"ok":false,"error":"invalid request"})");
    EXPECT_EQ(ask(R"({"action":"sql","sql":"SELECT"})"),
              R"({"ok":false,"error":"invalid request"})");
    EXPECT_EQ(ask(R"({"action":"ping"})"), R"({"ok":true,"pong":true})");
}

TEST_F(Protocol, InvalidRequestsKeepTheConnection) {
    const char* bad[] = {
        R"({"action":"frobnicate"})",
        R"({"no_action":true})",
        "x",  // a one-byte frame is read and refused as a request
        R"({"action":"sql","sql":"EXPLAIN SELECT 1"})",
    };
    for (const char* b : bad) {
        std::string reply = ask(b);
        EXPECT_EQ(json_get(reply, "ok"), "false") << b;
        EXPECT_EQ(json_get(reply, "error"), "invalid request") << b;
        EXPECT_EQ(ask(R"({"action":"ping"})"), R"({"ok":true,"pong":true})") << "after " << b;
    }
}

TEST_F(Protocol, KindsWithoutHandlerAnswerUnsupported) {
    const char* reqs[] = {
        R"({"action":"login","username":"admin","password":"x"})",
        R"({"action":"show_stats"})",
        R"({"action":"sql","sql":"SELECT * FROM t"})",
        R"j({"action":"sql","sql":"INSERT INTO t (id) VALUES (1)"})j",
    };
    for (const char* r : reqs) {
        std::string reply = ask(r);
        EXPECT_EQ(json_get(reply, "ok"), "false") << r;
        EXPECT_FALSE(json_get(reply, "error").empty()) << r;
    }
    EXPECT_EQ(ask(R"({"action":"ping"})"), R"({"ok":true,"pong":true})");
}

TEST_F(Protocol, LargestRequestIsRead) {
    EXPECT_EQ(ask(ping_of_size(kMaxRequest)), R"({"ok":true,"pong":true})");
}

TEST_F(Protocol, BadLengthIsRefusedAndClosed) {
    for (uint32_t len : {0u, kMaxRequest + 1, 0xFFFFFFFFu}) {
        FrameClient c;
        ASSERT_TRUE(c.connect(srv_->port()));
        ASSERT_TRUE(c.send_raw(header(len)));
        std::string reply;
        ASSERT_TRUE(c.read_frame(&reply)) << len;
        EXPECT_EQ(reply, R"({"ok":false,"error":"invalid request size"})") << len;
        EXPECT_TRUE(c.wait_closed()) << len;
    }
}

TEST_F(Protocol, PeerClosingMidFrameDoesNotDisturbOthers) {
    {
        FrameClient half;
        ASSERT_TRUE(half.connect(srv_->port()));
        ASSERT_TRUE(half.send_raw(header(100) + "{\"action\""));
    }
    {
        FrameClient two_bytes;
        ASSERT_TRUE(two_bytes.connect(srv_->port()));
        ASSERT_TRUE(two_bytes.send_raw(std::string("\0\0", 2)));
    }
    // More connections than workers, each served in turn.
    std::vector<std::unique_ptr<FrameClient>> many;
    for (int i = 0; i < 10; i++) {
        many.push_back(std::make_unique<FrameClient>());
        ASSERT_TRUE(many.back()->connect(srv_->port()));
        std::string reply;
        ASSERT_TRUE(many.back()->request(R"({"action":"ping"})", &reply));
        EXPECT_EQ(reply, R"({"ok":true,"pong":true})");
        many.back()->close();
    }
    EXPECT_EQ(ask(R"({"action":"ping"})"), R"({"ok":true,"pong":true})");
}

TEST_F(Protocol, OtherLoopbackAddressIsServed) {
    FrameClient c;
    if (!c.connect(srv_->port(), "127.0.0.2")) GTEST_SKIP() << "127.0.0.2 not routable here";
    std::string reply;
    ASSERT_TRUE(c.request(R"({"action":"ping"})", &reply));
    EXPECT_EQ(reply, R"({"ok":true,"pong":true})");
}

// CPU ticks (user + system) the process has used so far.
long cpu_ticks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close_paren = s.rfind(')');
    if (close_paren == std::string::npos) return -1;
    std::vector<std::string> fields;
    std::string f;
    for (size_t i = close_paren + 2; i <= s.size(); i++) {
        if (i == s.size() || s[i] == ' ') {
            fields.push_back(f);
            f.clear();
        } else {
            f += s[i];
        }
    }
    // Fields after ")": state is [0]; utime is [11], stime [12].
    if (fields.size() < 13) return -1;
    return std::stol(fields[11]) + std::stol(fields[12]);
}

// Each connection has its own worker, so clients that send part of a frame
// and stop would hold every worker for ever. A started frame must be complete
// within FRAME_TIMEOUT_MS: the stalled client gets one error reply and is
// closed, the waiting client is served, and a connection that only idles
// between requests (here for longer than the limit) is never closed.
TEST(FrameTimeout, HalfSentFramesReleaseTheirWorkers) {
    TestServer srv;
    srv.set_config("AUTO_TUNE=OFF\nCONNECTION_WORKERS=2\nFRAME_TIMEOUT_MS=300\n");
    ASSERT_TRUE(srv.start()) << srv.last_error();
    const std::string ping = R"({"action":"ping"})", pong = R"({"ok":true,"pong":true})";
    std::string reply;
    FrameClient idle;  // holds the first worker, idle between requests
    ASSERT_TRUE(idle.connect(srv.port()));
    ASSERT_TRUE(idle.request(ping, &reply));

    const struct {
        const char* label;
        std::string sent;
    } stalls[] = {
        {"half a header", std::string("\0\0", 2)},
        {"header and part of the body", std::string("\0\0\0\x11{\"action\"", 13)},
    };
    for (const auto& st : stalls) {
        SCOPED_TRACE(st.label);
        FrameClient stalled;  // takes the second worker and stops mid-frame
        ASSERT_TRUE(stalled.connect(srv.port()));
        ASSERT_TRUE(stalled.send_raw(st.sent));
        FrameClient waiting;  // queued behind it
        ASSERT_TRUE(waiting.connect(srv.port()));
        ASSERT_TRUE(waiting.send_frame(ping));

        ASSERT_TRUE(stalled.read_frame(&reply));
        EXPECT_EQ(reply, R"({"ok":false,"error":"request frame not completed in time"})");
        EXPECT_TRUE(stalled.wait_closed());
        ASSERT_TRUE(waiting.read_frame(&reply)) << "the waiting client was never served";
        EXPECT_EQ(reply, pong);
    }
    ASSERT_TRUE(idle.request(ping, &reply)) << "an idle connection was closed";
    EXPECT_EQ(reply, pong);
    EXPECT_EQ(srv.stop(), 0);
}

// With descriptors short, a client that cannot be taken is told so at once
// and closed, never left waiting: the loop neither spins nor floods its
// error output, and serves again once descriptors are free.
TEST(AcceptLoop, AnswersBusyWhenOutOfDescriptors) {
    TestServer srv;
    srv.set_config("CONNECTION_WORKERS=2\n");
    srv.set_fd_limit(24);
    ASSERT_TRUE(srv.start()) << srv.last_error();
    std::vector<std::unique_ptr<FrameClient>> hog;
    std::string reply;
    bool refused = false;
    for (int i = 0; i < 40 && !refused; i++) {
        hog.push_back(std::make_unique<FrameClient>());
        ASSERT_TRUE(hog.back()->connect(srv.port()));
        // A taken client is answered; the first refused one reads the busy
        // reply in place of its pong.
        ASSERT_TRUE(hog.back()->request(R"({"action":"ping"})", &reply)) << "client " << i;
        refused = reply != R"({"ok":true,"pong":true})";
    }
    ASSERT_TRUE(refused) << "no client was refused";
    EXPECT_EQ(reply, R"({"ok":false,"error":"server busy: too many connections"})");
    EXPECT_TRUE(hog.back()->wait_closed());
    for (int i = 0; i < 10; i++) {  // further clients: the same answer, at once
        FrameClient extra;
        ASSERT_TRUE(extra.connect(srv.port()));
        ASSERT_TRUE(extra.read_frame(&reply));
        EXPECT_EQ(reply, R"({"ok":false,"error":"server busy: too many connections"})");
    }
    long before = cpu_ticks(srv.pid());
    std::this_thread::sleep_for(500ms);  // the measured interval itself
    long used = cpu_ticks(srv.pid()) - before;
    EXPECT_LT(used, 15) << "accept loop spins: " << used << " ticks in 500 ms";
    EXPECT_LT(srv.stderr_text().size(), 4096u) << "error output floods";

    hog.clear();
    FrameClient c;
    auto until = std::chrono::steady_clock::now() + 5s;
    bool served = false;
    while (!served && std::chrono::steady_clock::now() < until) {
        ASSERT_TRUE(c.connect(srv.port()));
        ASSERT_TRUE(c.request(R"({"action":"ping"})", &reply));
        served = reply == R"({"ok":true,"pong":true})";
        c.close();
    }
    EXPECT_TRUE(served) << "not served after the connections were closed: " << reply;
    EXPECT_EQ(srv.stop(), 0);
}

}  // namespace
