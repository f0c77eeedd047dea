// Connector core requests against the scripted frame server: framing,
// lazy connect and reconnect, time-outs and every local failure.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "connector_owners.h"
#include "fake_frame_server.h"
#include "kyrelconnect_core.h"

namespace {

class RequestTest : public ::testing::Test {
  protected:
    FakeFrameServer srv;
    Conn conn{kc_connection_new("127.0.0.1", srv.port(), 5, 1)};
};

TEST_F(RequestTest, RequestsAreFramedAndEscaped) {
    srv.push(FakeFrameServer::reply(R"({"ok":true,"message":"pong"})"));
    Result r(kc_request_action(conn.get(), "ping"));
    EXPECT_EQ(kc_result_ok(r.get()), 1);
    EXPECT_STREQ(kc_result_message(r.get()), "pong");
    EXPECT_EQ(kc_connection_is_connected(conn.get()), 1);

    srv.push(FakeFrameServer::reply(R"({"ok":false,"error":"bad \"sql\""})"));
    Result q(kc_request_sql(conn.get(), "SELECT * FROM t WHERE a = \"x\\y\"\n;"));
    EXPECT_EQ(kc_result_ok(q.get()), 0);
    EXPECT_STREQ(kc_result_error(q.get()), "bad \"sql\"");
    EXPECT_STREQ(kc_result_json(q.get()), R"({"ok":false,"error":"bad \"sql\""})");

    Result n(kc_request_sql(conn.get(), nullptr));
    Result a(kc_request_action(conn.get(), "we\"ird"));
    Result j(kc_request_json(conn.get(), ""));  // header only

    auto reqs = srv.requests();
    ASSERT_EQ(reqs.size(), 5u);
    EXPECT_EQ(reqs[0], R"({"action":"ping"})");
    EXPECT_EQ(reqs[1], R"({"action":"sql","sql":"SELECT * FROM t WHERE a = \"x\\y\"\n;"})");
    EXPECT_EQ(reqs[2], R"({"action":"sql","sql":""})");
    EXPECT_EQ(reqs[3], R"({"action":"we\"ird"})");
    EXPECT_EQ(reqs[4], "");
    EXPECT_EQ(srv.accepted(), 1);  // one connection carried them all
}

TEST_F(RequestTest, InvalidArguments) {
    Result a(kc_request_json(nullptr, "{}"));
    Result b(kc_request_json(conn.get(), nullptr));
    Result c(kc_request_sql(nullptr, "SELECT 1"));
    for (kc_result* r : {a.get(), b.get(), c.get()}) {
        EXPECT_EQ(kc_result_ok(r), 0);
        EXPECT_STREQ(kc_result_error(r), "invalid request");
    }
    EXPECT_EQ(srv.accepted(), 0);
}

TEST(RequestConnect, RefusedAndUnresolvableHosts) {
    RefusingPort refusing;
    Conn c(kc_connection_new("127.0.0.1", refusing.port(), 2, 1));
    EXPECT_EQ(kc_connection_connect(c.get()), -1);
    Result r(kc_request_action(c.get(), "ping"));
    EXPECT_EQ(kc_result_ok(r.get()), 0);
    EXPECT_STREQ(kc_result_error(r.get()), "connect failed");
    EXPECT_EQ(kc_connection_is_connected(c.get()), 0);

    Conn bad(kc_connection_new("no-such-host.invalid", 9191, 2, 1));
    Result r2(kc_request_action(bad.get(), "ping"));
    EXPECT_STREQ(kc_result_error(r2.get()), "connect failed");
}

TEST_F(RequestTest, ExplicitConnectIsIdempotent) {
    ASSERT_EQ(kc_connection_connect(conn.get()), 0);
    ASSERT_EQ(kc_connection_connect(conn.get()), 0);
    Result r(kc_request_action(conn.get(), "ping"));
    EXPECT_EQ(kc_result_ok(r.get()), 1);
    EXPECT_EQ(srv.accepted(), 1);
}

// Every broken reply closes the socket; the next request connects anew.
TEST_F(RequestTest, BadRepliesCloseAndNextRequestReconnects) {
    std::string over(FakeFrameServer::frame("", KC_MAX_FRAME_BYTES + 1));
    struct Case {
        const char* name;
        FakeFrameServer::Step step;
    } cases[] = {
        {"zero length", FakeFrameServer::raw(FakeFrameServer::frame("", 0))},
        {"length above limit", FakeFrameServer::raw(over)},
        {"short payload then close",
         FakeFrameServer::raw_then_close(FakeFrameServer::frame("{\"o", 10))},
        {"short header then close", FakeFrameServer::raw_then_close(std::string("\0\0", 2))},
        {"closed without reply", FakeFrameServer::close_conn()},
    };
    int connections = 0;
    for (auto& c : cases) {
        srv.push(c.step);
        Result r(kc_request_action(conn.get(), "ping"));
        connections++;
        EXPECT_EQ(kc_result_ok(r.get()), 0) << c.name;
        EXPECT_STREQ(kc_result_error(r.get()), "receive failed") << c.name;
        EXPECT_EQ(kc_connection_is_connected(conn.get()), 0) << c.name;
        ASSERT_TRUE(srv.wait_idle()) << c.name;
    }
    Result ok(kc_request_action(conn.get(), "ping"));
    EXPECT_EQ(kc_result_ok(ok.get()), 1);
    EXPECT_EQ(srv.accepted(), connections + 1);
}

TEST_F(RequestTest, LargestReplyIsAccepted) {
    std::string head = R"({"ok":false,"error":"big","pad":")";
    std::string reply = head + std::string(KC_MAX_FRAME_BYTES - head.size() - 2, 'x') + "\"}";
    ASSERT_EQ(reply.size(), static_cast<size_t>(KC_MAX_FRAME_BYTES));
    srv.push(FakeFrameServer::reply(reply));
    Result r(kc_request_action(conn.get(), "ping"));
    EXPECT_STREQ(kc_result_error(r.get()), "big");
    EXPECT_EQ(std::string(kc_result_json(r.get())).size(), reply.size());
}

TEST_F(RequestTest, RequestSizeLimit) {
    std::string exact(KC_MAX_FRAME_BYTES, ' ');
    Result r(kc_request_json(conn.get(), exact.c_str()));
    EXPECT_EQ(kc_result_ok(r.get()), 1);
    ASSERT_EQ(srv.request_count(), 1u);
    EXPECT_EQ(srv.last_request().size(), exact.size());

    exact.push_back(' ');
    Result big(kc_request_json(conn.get(), exact.c_str()));
    EXPECT_EQ(kc_result_ok(big.get()), 0);
    EXPECT_STREQ(kc_result_error(big.get()), "request too large");
    EXPECT_EQ(kc_connection_is_connected(conn.get()), 1);  // nothing sent, still usable

    Result ping(kc_request_action(conn.get(), "ping"));
    EXPECT_EQ(kc_result_ok(ping.get()), 1);
    EXPECT_EQ(srv.request_count(), 2u);
    EXPECT_EQ(srv.last_request(), R"({"action":"ping"})");
}

// A server that never answers gives "receive failed" once the time-out has
// passed, both for the time-out given at creation and for one set later on
// an open socket.
TEST_F(RequestTest, TimeOuts) {
    using clock = std::chrono::steady_clock;
    Conn quick(kc_connection_new("127.0.0.1", srv.port(), 1, 1));
    srv.push(FakeFrameServer::silent());
    auto t0 = clock::now();
    Result r(kc_request_action(quick.get(), "ping"));
    auto waited = clock::now() - t0;
    EXPECT_STREQ(kc_result_error(r.get()), "receive failed");
    EXPECT_EQ(kc_connection_is_connected(quick.get()), 0);
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(waited, std::chrono::seconds(10));
    ASSERT_TRUE(srv.wait_idle());

    ASSERT_EQ(kc_connection_connect(conn.get()), 0);  // opened with 5 s
    kc_connection_set_timeout(conn.get(), 1);
    srv.push(FakeFrameServer::silent());
    t0 = clock::now();
    Result r2(kc_request_action(conn.get(), "ping"));
    waited = clock::now() - t0;
    EXPECT_STREQ(kc_result_error(r2.get()), "receive failed");
    EXPECT_LT(waited, std::chrono::milliseconds(4500));
}

TEST_F(RequestTest, CloseThenReuse) {
    Result a(kc_request_action(conn.get(), "ping"));
    kc_connection_close(conn.get());
    EXPECT_EQ(kc_connection_is_connected(conn.get()), 0);
    ASSERT_TRUE(srv.wait_idle());
    Result b(kc_request_action(conn.get(), "ping"));
    EXPECT_EQ(kc_result_ok(b.get()), 1);
    EXPECT_EQ(srv.accepted(), 2);
}

}  // namespace
