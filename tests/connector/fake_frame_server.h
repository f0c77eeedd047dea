// A scripted frame server for the connector tests: one thread accepting on a
// loopback port, serving one connection at a time. Every request frame
// (4-byte big-endian length + payload) is recorded, then answered by the
// next scripted step (a plain {"ok":true} when the script is empty).
//
//   FakeFrameServer srv;
//   srv.push(FakeFrameServer::reply(R"({"ok":false,"error":"nope"})"));
//   ... client talks to 127.0.0.1:srv.port() ...
//   EXPECT_EQ(srv.requests().back(), R"({"action":"ping"})");
//
// The destructor stops the thread and closes every socket it opened.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FakeFrameServer {
  public:
    struct Step {
        enum Kind { kReply, kRaw, kRawClose, kClose, kSilent } kind;
        std::string data;
    };
    // Answer with one frame holding json.
    static Step reply(std::string json) { return {Step::kReply, std::move(json)}; }
    // Write these bytes as they are (for malformed frames).
    static Step raw(std::string bytes) { return {Step::kRaw, std::move(bytes)}; }
    // Write these bytes, then close the connection (for truncated frames).
    static Step raw_then_close(std::string bytes) { return {Step::kRawClose, std::move(bytes)}; }
    // Close the connection without answering.
    static Step close_conn() { return {Step::kClose, {}}; }
    // Never answer; wait until the client gives up and closes.
    static Step silent() { return {Step::kSilent, {}}; }

    static std::string frame(const std::string& payload, uint32_t len) {
        uint32_t be = htonl(len);
        std::string out(reinterpret_cast<const char*>(&be), 4);
        return out + payload;
    }

    FakeFrameServer() {
        if (pipe(wake_) != 0) return;
        listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(listen_fd_, 8) != 0)
            return;
        socklen_t len = sizeof addr;
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { run(); });
    }

    ~FakeFrameServer() {
        if (wake_[1] >= 0) {
            char b = 'x';
            (void)!write(wake_[1], &b, 1);
        }
        if (thread_.joinable()) thread_.join();
        if (listen_fd_ >= 0) close(listen_fd_);
        for (int fd : wake_)
            if (fd >= 0) close(fd);
    }

    FakeFrameServer(const FakeFrameServer&) = delete;
    FakeFrameServer& operator=(const FakeFrameServer&) = delete;

    int port() const { return port_; }

    void push(Step s) {
        std::lock_guard<std::mutex> lk(mu_);
        script_.push_back(std::move(s));
    }

    std::vector<std::string> requests() {
        std::lock_guard<std::mutex> lk(mu_);
        return requests_;
    }
    size_t request_count() {
        std::lock_guard<std::mutex> lk(mu_);
        return requests_.size();
    }
    std::string last_request() {
        std::lock_guard<std::mutex> lk(mu_);
        return requests_.empty() ? std::string() : requests_.back();
    }
    int accepted() {
        std::lock_guard<std::mutex> lk(mu_);
        return accepted_;
    }
    // Waits until the current connection (if any) has been closed by the peer.
    bool wait_idle(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lk(mu_);
        return cv_.wait_for(lk, timeout, [this] { return !in_connection_; });
    }

  private:
    // Waits until fd is readable; false when the server is stopping.
    bool wait_readable(int fd) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        for (;;) {
            int n = poll(fds, 2, -1);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 || (fds[1].revents & POLLIN)) return false;
            if (fds[0].revents) return true;
        }
    }

    bool read_exact(int fd, char* buf, size_t len) {
        while (len > 0) {
            if (!wait_readable(fd)) return false;
            ssize_t n = recv(fd, buf, len, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            buf += n;
            len -= static_cast<size_t>(n);
        }
        return true;
    }

    static bool send_all(int fd, const std::string& bytes) {
        size_t off = 0;
        while (off < bytes.size()) {
            ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            off += static_cast<size_t>(n);
        }
        return true;
    }

    void set_in_connection(bool v) {
        {
            std::lock_guard<std::mutex> lk(mu_);
            in_connection_ = v;
        }
        cv_.notify_all();
    }

    // Serves one connection until the peer closes, a step closes it, or stop.
    void serve(int fd) {
        for (;;) {
            char header[4];
            if (!read_exact(fd, header, 4)) return;
            uint32_t be;
            std::memcpy(&be, header, 4);
            uint32_t len = ntohl(be);
            if (len > (16u << 20)) return;
            std::string body(len, '\0');
            if (len && !read_exact(fd, body.data(), len)) return;
            Step step{Step::kReply, R"({"ok":true})"};
            {
                std::lock_guard<std::mutex> lk(mu_);
                requests_.push_back(std::move(body));
                if (!script_.empty()) {
                    step = std::move(script_.front());
                    script_.pop_front();
                }
            }
            switch (step.kind) {
            case Step::kReply:
                if (!send_all(fd, frame(step.data, static_cast<uint32_t>(step.data.size()))))
                    return;
                break;
            case Step::kRaw:
                if (!send_all(fd, step.data)) return;
                break;
            case Step::kRawClose: send_all(fd, step.data); return;
            case Step::kClose: return;
            case Step::kSilent: {
                char sink[256];
                while (wait_readable(fd) && recv(fd, sink, sizeof sink, 0) > 0) {}
                return;
            }
            }
        }
    }

    void run() {
        while (wait_readable(listen_fd_)) {
            int fd = accept(listen_fd_, nullptr, nullptr);
            if (fd < 0) continue;
            {
                std::lock_guard<std::mutex> lk(mu_);
                accepted_++;
            }
            set_in_connection(true);
            serve(fd);
            close(fd);
            set_in_connection(false);
        }
    }

    int listen_fd_ = -1;
    int wake_[2] = {-1, -1};
    int port_ = 0;
    std::thread thread_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Step> script_;
    std::vector<std::string> requests_;
    int accepted_ = 0;
    bool in_connection_ = false;
};

// A loopback port that is bound but not listening while this object lives,
// so connecting to it is refused.
class RefusingPort {
  public:
    RefusingPort() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            socklen_t len = sizeof addr;
            getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
            port_ = ntohs(addr.sin_port);
        }
    }
    ~RefusingPort() {
        if (fd_ >= 0) close(fd_);
    }
    int port() const { return port_; }

  private:
    int fd_ = -1;
    int port_ = 0;
};
