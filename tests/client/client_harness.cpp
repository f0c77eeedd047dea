// Fake frame server, piped runner and pty session used by the client tests.
#include "client_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Environment for the child: ours without KYRELDB_PASSWORD, plus `extra`.
std::vector<std::string> child_env(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (strncmp(*e, "KYRELDB_PASSWORD=", 17) != 0) env.emplace_back(*e);
    for (const auto& x : extra) env.push_back(x);
    return env;
}

std::vector<char*> c_strings(std::vector<std::string>& v) {
    std::vector<char*> out;
    for (auto& s : v) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

int decode_status(int st) {
    if (WIFEXITED(st)) return WEXITSTATUS(st);
    if (WIFSIGNALED(st)) return -WTERMSIG(st);
    return -1000;
}

}  // namespace

std::string client_binary() {
    const char* dir = getenv("KYRELDB_BIN_DIR");
    if (dir && *dir) return std::string(dir) + "/kyreldb_client";
    return KYREL_CLIENT_BIN;
}

std::string json_member(const std::string& json, const std::string& name) {
    std::string key = "\"" + name + "\":\"";
    size_t p = json.find(key);
    if (p == std::string::npos) return "";
    std::string out;
    for (p += key.size(); p < json.size() && json[p] != '"'; p++) {
        char c = json[p];
        if (c == '\\' && p + 1 < json.size()) {
            char e = json[++p];
            switch (e) {
            case 'n': c = '\n'; break;
            case 't': c = '\t'; break;
            case 'r': c = '\r'; break;
            case 'b': c = '\b'; break;
            case 'f': c = '\f'; break;
            case 'u':
                c = static_cast<char>(strtol(json.substr(p + 1, 4).c_str(), nullptr, 16));
                p += 4;
                break;
            default: c = e;
            }
        }
        out += c;
    }
    return out;
}

// ---------------------------------------------------------------------------
// FakeServer

FakeServer::FakeServer(Responder responder) : responder_(std::move(responder)) {
    if (!responder_) responder_ = default_reply;
    listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        listen(listen_fd_, 8) == 0) {
        socklen_t len = sizeof addr;
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    thread_ = std::thread([this] { run(); });
}

FakeServer::~FakeServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listen_fd_ >= 0) close(listen_fd_);
}

std::string FakeServer::default_reply(const std::string& request) {
    std::string action = json_member(request, "action");
    if (action == "login")
        return R"({"ok":true,"message":"login ok","must_change_password":false})";
    if (action == "ping") return R"({"ok":true,"message":"pong"})";
    return R"({"ok":true,"message":")" + action + R"( ok"})";
}

std::vector<std::string> FakeServer::requests() {
    std::lock_guard<std::mutex> lk(mu_);
    return requests_;
}

std::vector<std::string> FakeServer::requests_with_action(const std::string& action) {
    std::vector<std::string> out;
    for (auto& r : requests())
        if (json_member(r, "action") == action) out.push_back(r);
    return out;
}

bool FakeServer::wait_for_requests(size_t n, int timeout_ms) {
    std::unique_lock<std::mutex> lk(mu_);
    return cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                        [&] { return requests_.size() >= n; });
}

bool FakeServer::read_full(int fd, void* buf, size_t n) {
    char* p = static_cast<char*>(buf);
    while (n > 0) {
        pollfd pfd{fd, POLLIN, 0};
        int r = poll(&pfd, 1, 50);
        if (stop_) return false;
        if (r <= 0) continue;
        ssize_t got = recv(fd, p, n, 0);
        if (got <= 0) return false;
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

void FakeServer::serve(int fd) {
    for (;;) {
        uint32_t be = 0;
        if (!read_full(fd, &be, 4)) return;
        uint32_t len = ntohl(be);
        std::string body(len, '\0');
        if (len > 0 && !read_full(fd, body.data(), len)) return;
        std::string reply = responder_(body);
        {
            std::lock_guard<std::mutex> lk(mu_);
            requests_.push_back(body);
        }
        cv_.notify_all();
        uint32_t rlen = htonl(static_cast<uint32_t>(reply.size()));
        std::string frame(reinterpret_cast<char*>(&rlen), 4);
        frame += reply;
        size_t off = 0;
        while (off < frame.size()) {
            ssize_t w = send(fd, frame.data() + off, frame.size() - off, MSG_NOSIGNAL);
            if (w <= 0) return;
            off += static_cast<size_t>(w);
        }
    }
}

void FakeServer::run() {
    while (!stop_) {
        pollfd pfd{listen_fd_, POLLIN, 0};
        if (poll(&pfd, 1, 50) <= 0) continue;
        int fd = accept(listen_fd_, nullptr, nullptr);
        if (fd < 0) continue;
        serve(fd);
        close(fd);
    }
}

// ---------------------------------------------------------------------------
// Piped runner

RunResult run_client(const std::vector<std::string>& args, const std::string& input,
                     const std::vector<std::string>& env, int timeout_ms) {
    RunResult res;
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return res;
    std::vector<std::string> argv_s{client_binary()};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<std::string> env_s = child_env(env);
    std::vector<char*> argv_c = c_strings(argv_s);
    std::vector<char*> env_c = c_strings(env_s);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
        execve(argv_c[0], argv_c.data(), env_c.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    fcntl(in[1], F_SETFL, O_NONBLOCK);
    size_t written = 0;
    if (input.empty()) {
        close(in[1]);
        in[1] = -1;
    }
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    int open_outputs = 2;
    while (open_outputs > 0 && ms_left(deadline) > 0) {
        pollfd pfds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
        int nfds = in[1] >= 0 ? 3 : 2;
        if (poll(pfds, nfds, ms_left(deadline)) <= 0) continue;
        for (int i = 0; i < 2; i++) {
            if (pfds[i].fd < 0 || !(pfds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[65536];
            ssize_t n = read(pfds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? res.out : res.err).append(buf, static_cast<size_t>(n));
            } else {
                close(pfds[i].fd);
                (i == 0 ? out[0] : err[0]) = -1;
                open_outputs--;
            }
        }
        if (nfds == 3 && (pfds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(in[1], input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<size_t>(n);
            if (n < 0 || written == input.size()) {
                close(in[1]);
                in[1] = -1;
            }
        }
    }
    for (int fd : {in[1], out[0], err[0]})
        if (fd >= 0) close(fd);
    int st = 0;
    if (open_outputs > 0) {  // timed out
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
        return res;
    }
    waitpid(pid, &st, 0);
    res.status = decode_status(st);
    return res;
}

// ---------------------------------------------------------------------------
// PtySession

PtySession::PtySession(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
    std::vector<std::string> argv_s{client_binary()};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<std::string> env_s = child_env(env);
    std::vector<char*> argv_c = c_strings(argv_s);
    std::vector<char*> env_c = c_strings(env_s);
    pid_ = fork();
    if (pid_ == 0) {
        setsid();
        ioctl(slave_, TIOCSCTTY, 0);
        dup2(slave_, 0);
        dup2(slave_, 1);
        dup2(slave_, 2);
        close(master_);
        if (slave_ > 2) close(slave_);
        execve(argv_c[0], argv_c.data(), env_c.data());
        _exit(127);
    }
}

PtySession::~PtySession() {
    if (pid_ > 0 && status_ == -1000) {
        kill(pid_, SIGKILL);
        int st = 0;
        waitpid(pid_, &st, 0);
    }
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
}

bool PtySession::read_some(int timeout_ms) {
    pollfd pfd{master_, POLLIN, 0};
    if (poll(&pfd, 1, timeout_ms) <= 0) return false;
    char buf[4096];
    ssize_t n = read(master_, buf, sizeof buf);
    for (ssize_t i = 0; i < n; i++)
        if (buf[i] != '\r') out_ += buf[i];
    return n > 0;
}

bool PtySession::expect(const std::string& text, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        size_t p = out_.find(text, cursor_);
        if (p != std::string::npos) {
            cursor_ = p + text.size();
            return true;
        }
        if (ms_left(deadline) == 0) return false;
        read_some(ms_left(deadline) < 100 ? ms_left(deadline) : 100);
    }
}

void PtySession::send(const std::string& text) {
    size_t off = 0;
    while (off < text.size()) {
        ssize_t n = write(master_, text.data() + off, text.size() - off);
        if (n <= 0) return;
        off += static_cast<size_t>(n);
    }
}

void PtySession::signal(int sig) {
    if (pid_ > 0 && status_ == -1000) kill(pid_, sig);
}

int PtySession::wait_exit(int timeout_ms) {
    if (status_ != -1000 || pid_ <= 0) return status_;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            status_ = decode_status(st);
            while (read_some(0)) {}
            return status_;
        }
        if (ms_left(deadline) == 0) return -1000;
        read_some(20);  // drains output while waiting for the child to end
    }
}

bool PtySession::echo_enabled() const {
    termios t{};
    if (tcgetattr(slave_, &t) != 0) return false;
    return (t.c_lflag & ECHO) != 0;
}
