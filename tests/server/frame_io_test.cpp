// Frame reading and writing over a connected socket pair.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "base/frame_io.h"

namespace {

class SocketPair : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd_), 0); }
    void TearDown() override {
        for (int& f : fd_)
            if (f >= 0) close(f);
    }
    void close_end(int i) {
        close(fd_[i]);
        fd_[i] = -1;
    }
    // Reads one frame from fd_[1] as the client would.
    std::string recv_frame() {
        uint32_t be = 0;
        if (read_exact(fd_[1], &be, 4) != 0) return "<closed>";
        std::string body(ntohl(be), '\0');
        if (!body.empty() && read_exact(fd_[1], body.data(), body.size()) != 0) return "<short>";
        return body;
    }
    void send_header(uint32_t n) {
        uint32_t be = htonl(n);
        ASSERT_EQ(write_exact(fd_[1], &be, 4), 0);
    }
    int fd_[2] = {-1, -1};
};

TEST_F(SocketPair, RequestSizeLimits) {
    struct Case {
        uint32_t len;
        int rc;
    } cases[] = {{1, FRAME_OK},
                 {KYREL_MAX_REQUEST_BYTES, FRAME_OK},
                 {0, FRAME_BAD_SIZE},
                 {KYREL_MAX_REQUEST_BYTES + 1, FRAME_BAD_SIZE},
                 {0xFFFFFFFFu, FRAME_BAD_SIZE}};
    for (const auto& c : cases) {
        std::thread writer([&] {
            send_header(c.len);
            if (c.rc == FRAME_OK) {
                std::string body(c.len, 'j');
                EXPECT_EQ(write_exact(fd_[1], body.data(), body.size()), 0);
            }
        });
        char* body = nullptr;
        uint32_t len = 7;
        EXPECT_EQ(read_request_frame(fd_[0], &body, &len), c.rc) << c.len;
        writer.join();
        if (c.rc == FRAME_OK) {
            ASSERT_NE(body, nullptr);
            EXPECT_EQ(len, c.len);
            EXPECT_EQ(body[len], '\0');
            EXPECT_EQ(body[0], 'j');
            EXPECT_EQ(body[len - 1], 'j');
        } else {
            EXPECT_EQ(body, nullptr);
            EXPECT_EQ(len, 0u);
        }
        free(body);
    }
}

TEST_F(SocketPair, PeerClosingMidFrame) {
    ASSERT_EQ(write_exact(fd_[1], "\0\0", 2), 0);
    close_end(1);
    char buf[4];
    EXPECT_EQ(read_exact(fd_[0], buf, 4), -1);
}

TEST_F(SocketPair, PeerClosingMidBody) {
    send_header(10);
    ASSERT_EQ(write_exact(fd_[1], "abc", 3), 0);
    close_end(1);
    char* body = nullptr;
    uint32_t len = 0;
    EXPECT_EQ(read_request_frame(fd_[0], &body, &len), FRAME_CLOSED);
    EXPECT_EQ(body, nullptr);
}

// With a limit, a frame must be complete within it once its first byte has
// come: a peer that stops after part of the header or of the body times
// out, a whole frame does not. (Idle time before the first byte is covered
// over the wire, in the protocol tests.)
TEST_F(SocketPair, StartedFrameMustCompleteInTime) {
    struct Case {
        const char* label;
        std::string sent;  // bytes sent before the peer stalls (no close)
        int rc;
    } cases[] = {
        {"two header bytes", std::string("\0\0", 2), FRAME_TIMED_OUT},
        {"header and part of the body",
         std::string("\0\0\0\x05"
                     "ab",
                     6),
         FRAME_TIMED_OUT},
        {"whole frame",
         std::string("\0\0\0\x02"
                     "ok",
                     6),
         FRAME_OK},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(write_exact(fd_[1], c.sent.data(), c.sent.size()), 0) << c.label;
        char* body = nullptr;
        uint32_t len = 0;
        EXPECT_EQ(read_request_frame(fd_[0], &body, &len, 50), c.rc) << c.label;
        EXPECT_EQ(body == nullptr, c.rc != FRAME_OK) << c.label;
        free(body);
        TearDown();
        SetUp();
    }
}

TEST_F(SocketPair, RepliesRoundTrip) {
    // One-piece (up to 1 MiB) and two-piece replies both arrive whole.
    for (size_t n : {size_t(2), size_t(1048576), size_t(1048577), size_t(3000000)}) {
        std::string reply(n, 'r');
        reply.front() = '{';
        reply.back() = '}';
        std::string got;
        std::thread reader([&] { got = recv_frame(); });
        EXPECT_EQ(send_json_response(fd_[0], reply.c_str()), 0) << n;
        reader.join();
        EXPECT_EQ(got, reply) << n;
    }
}

TEST_F(SocketPair, SpecialReplies) {
    EXPECT_EQ(send_json_response(fd_[0], nullptr), 0);
    std::string got = recv_frame();
    EXPECT_EQ(got, "{\"ok\":false,\"error\":\"null response\"}");
    EXPECT_EQ(got.size(), 36u);

    // An empty reply sends nothing.
    EXPECT_EQ(send_json_response(fd_[0], ""), -1);
    // A reply too long for the length field becomes an error reply; the text
    // itself is never read, so a short buffer stands in for it here.
    EXPECT_EQ(send_json_response_len(fd_[0], "x", size_t(1) << 32), 0);
    EXPECT_EQ(recv_frame(), "{\"ok\":false,\"error\":\"response too large\"}");
    EXPECT_EQ(send_json_response_len(fd_[0], "x", 0xFFFFFFFFull + 7), 0);
    EXPECT_EQ(recv_frame(), "{\"ok\":false,\"error\":\"response too large\"}");

    // Nothing further is queued: the empty reply left no frame behind.
    close_end(0);
    EXPECT_EQ(recv_frame(), "<closed>");
}

TEST_F(SocketPair, SendToClosedPeerFails) {
    signal(SIGPIPE, SIG_IGN);
    close_end(1);
    EXPECT_EQ(send_json_response(fd_[0], "{\"ok\":true}"), -1);
}

std::atomic<int> g_signals{0};
void count_signal(int) { g_signals++; }

TEST_F(SocketPair, InterruptedReceiveIsRetried) {
    struct sigaction sa = {};
    struct sigaction old = {};
    sa.sa_handler = count_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: recv returns EINTR
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    g_signals = 0;
    std::atomic<int> rc{99};
    char buf[4] = {};
    std::thread reader([&] { rc = read_exact(fd_[0], buf, 4); });
    pthread_t tid = reader.native_handle();
    // Interrupt the blocked reader a few times before any data arrives.
    for (int sent = 0; g_signals < 3;) {
        if (sent <= g_signals) {
            pthread_kill(tid, SIGUSR1);
            sent++;
        }
        std::this_thread::yield();
    }
    EXPECT_EQ(rc.load(), 99);
    ASSERT_EQ(write_exact(fd_[1], "ab", 2), 0);
    ASSERT_EQ(write_exact(fd_[1], "cd", 2), 0);
    reader.join();
    EXPECT_EQ(rc.load(), 0);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    sigaction(SIGUSR1, &old, nullptr);
}

// The event-set reader takes what is there and never waits: a frame sent in
// pieces is PENDING until its last byte, then whole; the reader is then empty
// for the next frame, and a closed peer mid-frame is CLOSED.
TEST_F(SocketPair, ReaderTakesAFrameInPieces) {
    FrameReader r{};
    char* body = nullptr;
    uint32_t len = 0;
    EXPECT_EQ(frame_reader_step(&r, fd_[0], &body, &len), FRAME_PENDING);
    EXPECT_EQ(r.started_ms, 0) << "no byte yet: no frame clock";
    const std::string text(100000, 'q');  // more than the first body allocation
    uint32_t be = htonl(static_cast<uint32_t>(text.size()));
    std::string wire(reinterpret_cast<const char*>(&be), 4);
    wire += text;
    const size_t cuts[] = {2, 4, 5, 70000, wire.size()};
    size_t sent = 0;
    for (size_t cut : cuts) {
        ASSERT_EQ(write_exact(fd_[1], wire.data() + sent, cut - sent), 0);
        sent = cut;
        int rc = frame_reader_step(&r, fd_[0], &body, &len);
        if (cut < wire.size()) {
            EXPECT_EQ(rc, FRAME_PENDING) << cut;
            EXPECT_NE(r.started_ms, 0) << cut;
        } else {
            ASSERT_EQ(rc, FRAME_OK);
        }
    }
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(len, text.size());
    EXPECT_EQ(std::string(body, len), text);
    EXPECT_EQ(body[len], '\0');
    free(body);
    EXPECT_EQ(r.head_got, 0u);
    EXPECT_EQ(r.body, nullptr);

    ASSERT_EQ(write_exact(fd_[1], wire.data(), 10), 0);
    EXPECT_EQ(frame_reader_step(&r, fd_[0], &body, &len), FRAME_PENDING);
    close_end(1);
    EXPECT_EQ(frame_reader_step(&r, fd_[0], &body, &len), FRAME_CLOSED);
    frame_reader_reset(&r);
}

}  // namespace
