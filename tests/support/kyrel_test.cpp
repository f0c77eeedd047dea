// Test harness implementation: child-process control for kyreldb_server,
// and a blocking frame client (the JSON readers are in kyrel_test_json.cpp).
#include "kyrel_test.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>

namespace kyrel_test {
namespace {

using Clock = std::chrono::steady_clock;

std::string make_temp_dir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kyrel_test_XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) return "";
    return std::string(buf.data());
}

int rm_entry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

void remove_tree(const std::string& dir) {
    if (!dir.empty()) nftw(dir.c_str(), rm_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

// Forks and execs the server in dir with its output captured there, in
// "<out_name>.txt" and "<err_name>.txt".
// env holds "NAME=value" entries that are added to (or replace those of) the
// test's own environment.
pid_t spawn_server(const std::string& dir, const std::vector<std::string>& args, int fd_limit,
                   const std::vector<std::string>& env = {}, const std::string& out_name = "stdout",
                   const std::string& err_name = "stderr") {
    std::string bin = server_binary();
    std::vector<std::string> argv_s;
    argv_s.push_back(bin);
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_s;
    for (char** e = environ; *e; e++) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& extra : env)
            if (extra.compare(0, name.size() + 1, name + "=") == 0) replaced = true;
        if (!replaced) env_s.push_back(entry);
    }
    env_s.insert(env_s.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : env_s) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string out_path = dir + "/" + out_name + ".txt";
    std::string err_path = dir + "/" + err_name + ".txt";

    pid_t pid = fork();
    if (pid != 0) return pid;
    // Child: only async-signal-safe calls from here on.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (chdir(dir.c_str()) != 0) _exit(126);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (out < 0 || err < 0) _exit(126);
    dup2(out, 1);
    dup2(err, 2);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    if (fd_limit > 0) {
        rlimit rl{static_cast<rlim_t>(fd_limit), static_cast<rlim_t>(fd_limit)};
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
}

// Waits for pid until deadline; exit status, or -1 (killed by a signal or
// still running, *reaped tells which).
int wait_child(pid_t pid, Clock::time_point deadline, bool* reaped) {
    *reaped = false;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            *reaped = true;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (r < 0 && errno != EINTR) {
            *reaped = true;
            return -1;
        }
        if (Clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool port_accepts(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

std::string sanitizer_report(const std::string& text) {
    static const char* const kMarkers[] = {
        "ERROR: AddressSanitizer", "WARNING: AddressSanitizer",  "LeakSanitizer",
        "ThreadSanitizer",         "UndefinedBehaviorSanitizer", "runtime error:",
    };
    size_t first = std::string::npos;
    for (const char* m : kMarkers) first = std::min(first, text.find(m));
    if (first == std::string::npos) return "";
    size_t line = text.rfind('\n', first);
    line = line == std::string::npos ? 0 : line + 1;
    return text.substr(line, 4096);
}

std::string server_binary() {
    const char* dir = getenv("KYRELDB_BIN_DIR");
    if (!dir || !*dir) return "";
    return std::string(dir) + "/kyreldb_server";
}

// Ports for test servers are drawn at random from 20000-32767, below the
// kernel's ephemeral range (32768 and up), so no client socket of a test
// running in parallel can be holding one; a port is checked bindable on
// 0.0.0.0 the way the server binds it, and this process never hands one out
// twice. Another test process can still draw the same port before its server
// binds it: TestServer::start notices and draws again.
int free_port() {
    static std::mutex mu;
    static std::set<int> given;
    static std::mt19937 rng(std::random_device{}() ^ static_cast<unsigned>(getpid()));
    std::lock_guard<std::mutex> lock(mu);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        int port = 20000 + static_cast<int>(rng() % 12768);
        if (given.count(port)) continue;
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0) return 0;
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        if (ok) {
            given.insert(port);
            return port;
        }
    }
    return 0;
}

namespace {

// Runs the server in dir to completion; its output goes to "<name>.out.txt"
// and "<name>.err.txt" there.
RunResult run_server_to_end(const std::string& dir, const std::string& name,
                            const std::vector<std::string>& args,
                            std::chrono::milliseconds timeout) {
    RunResult res;
    const std::string out_name = name + ".out", err_name = name + ".err";
    pid_t pid = spawn_server(dir, args, 0, {}, out_name, err_name);
    if (pid > 0) {
        bool reaped = false;
        res.exit_status = wait_child(pid, Clock::now() + timeout, &reaped);
        if (!reaped) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    res.out = read_file(dir + "/" + out_name + ".txt");
    res.err = read_file(dir + "/" + err_name + ".txt");
    std::string report = sanitizer_report(res.err);
    if (!report.empty()) ADD_FAILURE() << "sanitizer report from kyreldb_server:\n" << report;
    return res;
}

}  // namespace

RunResult run_server_once(const std::vector<std::string>& args, std::chrono::milliseconds timeout) {
    std::string dir = make_temp_dir();
    if (dir.empty()) return RunResult{};
    RunResult res = run_server_to_end(dir, "once", args, timeout);
    remove_tree(dir);
    return res;
}

RunResult run_server_in(const std::string& dir, const std::vector<std::string>& args,
                        std::chrono::milliseconds timeout) {
    static int runs = 0;
    return run_server_to_end(dir, "run" + std::to_string(++runs), args, timeout);
}

TestServer::TestServer() : dir_(make_temp_dir()) {}

void TestServer::set_env(const std::string& name, const std::string& value) {
    std::string prefix = name + "=";
    env_.erase(std::remove_if(
                   env_.begin(), env_.end(),
                   [&](const std::string& e) { return e.compare(0, prefix.size(), prefix) == 0; }),
               env_.end());
    env_.push_back(prefix + value);
}

TestServer::~TestServer() {
    if (pid_ > 0) stop();
    check_sanitizer_output();
    remove_tree(dir_);
}

void TestServer::check_sanitizer_output() {
    if (dir_.empty()) return;
    std::string text = stderr_text();
    if (text.size() <= err_checked_) return;
    std::string report = sanitizer_report(text.substr(err_checked_));
    err_checked_ = text.size();
    if (!report.empty())
        ADD_FAILURE() << "sanitizer report from kyreldb_server (" << dir_ << "):\n" << report;
}

std::string TestServer::stdout_text() const { return read_file(dir_ + "/stdout.txt"); }
std::string TestServer::stderr_text() const { return read_file(dir_ + "/stderr.txt"); }

bool TestServer::start(std::chrono::milliseconds deadline) {
    error_.clear();
    if (dir_.empty()) return error_ = "cannot create temp dir", false;
    if (server_binary().empty()) return error_ = "KYRELDB_BIN_DIR is not set", false;
    if (pid_ > 0) return error_ = "already running", false;
    // A port this server drew itself may be lost to another test process
    // that drew the same one: then the server cannot bind, and a new port is
    // drawn. A port the test chose stays.
    const bool drawn = port_ == 0 && args_.empty();
    for (int attempt = 0;; ++attempt) {
        if (port_ == 0) port_ = free_port();
        if (port_ == 0) return error_ = "no free port", false;
        Launch how = launch(deadline);
        if (how != Launch::kPortTaken || !drawn || attempt >= 5) return how == Launch::kListening;
        port_ = 0;
    }
}

TestServer::Launch TestServer::launch(std::chrono::milliseconds deadline) {
    std::string cfg_path = dir_ + "/kyreldb.config";
    if (!config_.empty()) {
        if (!write_file(cfg_path, config_)) return error_ = "cannot write config", Launch::kFailed;
    } else {
        unlink(cfg_path.c_str());
    }
    std::vector<std::string> args = args_;
    if (args.empty()) args = {"--port", std::to_string(port_)};
    const size_t out_before = stdout_text().size();
    const size_t err_before = stderr_text().size();
    pid_ = spawn_server(dir_, args, fd_limit_, env_);
    if (pid_ < 0) return error_ = "fork failed", Launch::kFailed;

    // Listening means this server printed its banner (it does so once its
    // socket listens) and the port accepts: a connection alone could reach
    // another test's server on the same port.
    auto until = Clock::now() + deadline;
    while (Clock::now() < until) {
        if (stdout_text().size() > out_before && port_accepts(port_)) return Launch::kListening;
        bool reaped = false;
        int status = wait_child(pid_, Clock::now(), &reaped);
        if (reaped) {
            pid_ = -1;
            std::string err = stderr_text();
            error_ = "server exited with status " + std::to_string(status) + ": " + err;
            check_sanitizer_output();
            bool taken = err.find("Address already in use", err_before) != std::string::npos;
            return taken ? Launch::kPortTaken : Launch::kFailed;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    error_ = "server did not accept connections in time: " + stderr_text();
    kill9();
    return Launch::kFailed;
}

int TestServer::wait_exit(std::chrono::milliseconds deadline) {
    if (pid_ <= 0) return -1;
    bool reaped = false;
    int status = wait_child(pid_, Clock::now() + deadline, &reaped);
    if (reaped) {
        pid_ = -1;
        check_sanitizer_output();
    }
    return status;
}

int TestServer::stop(int sig, std::chrono::milliseconds deadline) {
    if (pid_ <= 0) return -1;
    kill(pid_, sig);
    bool reaped = false;
    int status = wait_child(pid_, Clock::now() + deadline, &reaped);
    if (!reaped) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        status = -1;
    }
    pid_ = -1;
    check_sanitizer_output();
    return status;
}

void TestServer::kill9() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    check_sanitizer_output();
}

bool TestServer::restart() {
    stop();
    return start();
}

FrameClient::~FrameClient() { close(); }

bool FrameClient::connect(int port, const std::string& host, std::chrono::milliseconds timeout) {
    close();
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

void FrameClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool FrameClient::send_raw(const void* data, size_t n) {
    if (fd_ < 0) return false;
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t w = send(fd_, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool FrameClient::send_frame(const std::string& json) {
    uint32_t len = htonl(static_cast<uint32_t>(json.size()));
    std::string frame(reinterpret_cast<const char*>(&len), 4);
    frame += json;
    return send_raw(frame);
}

static bool recv_all(int fd, char* p, size_t n) {
    while (n > 0) {
        ssize_t r = recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool FrameClient::read_frame(std::string* out) {
    if (fd_ < 0) return false;
    unsigned char hdr[4];
    if (!recv_all(fd_, reinterpret_cast<char*>(hdr), 4)) return false;
    uint32_t len =
        (uint32_t{hdr[0]} << 24) | (uint32_t{hdr[1]} << 16) | (uint32_t{hdr[2]} << 8) | hdr[3];
    std::string body(len, '\0');
    if (len > 0 && !recv_all(fd_, body.data(), len)) return false;
    if (out) *out = std::move(body);
    return true;
}

bool FrameClient::request(const std::string& json, std::string* reply) {
    return send_frame(json) && read_frame(reply);
}

bool FrameClient::wait_closed(std::chrono::milliseconds timeout) {
    if (fd_ < 0) return true;
    auto until = Clock::now() + timeout;
    char buf[4096];
    while (Clock::now() < until) {
        pollfd pfd{fd_, POLLIN, 0};
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count());
        int r = poll(&pfd, 1, left > 0 ? left : 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n == 0) return true;
        if (n < 0 && errno != EINTR && errno != EAGAIN) return true;  // reset also ends it
    }
    return false;
}

}  // namespace kyrel_test
