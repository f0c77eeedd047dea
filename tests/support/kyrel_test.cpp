// Test harness implementation: child-process control for kyreldb_server,
// a blocking frame client, and a small JSON member reader.
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
pid_t spawn_server(const std::string& dir, const std::vector<std::string>& args, int fd_limit,
                   const std::string& out_name = "stdout", const std::string& err_name = "stderr") {
    std::string bin = server_binary();
    std::vector<std::string> argv_s;
    argv_s.push_back(bin);
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);
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
    execv(argv[0], argv.data());
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
    pid_t pid = spawn_server(dir, args, 0, out_name, err_name);
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
    pid_ = spawn_server(dir_, args, fd_limit_);
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

namespace {

size_t skip_blanks(const std::string& s, size_t i) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) i++;
    return i;
}

// i at '"': index just past the closing quote, or npos.
size_t string_end(const std::string& s, size_t i) {
    for (i++; i < s.size(); i++) {
        if (s[i] == '\\')
            i++;
        else if (s[i] == '"')
            return i + 1;
    }
    return std::string::npos;
}

size_t value_end(const std::string& s, size_t i) {
    if (i >= s.size()) return std::string::npos;
    if (s[i] == '"') return string_end(s, i);
    if (s[i] == '{' || s[i] == '[') {
        int depth = 0;
        while (i < s.size()) {
            char c = s[i];
            if (c == '"') {
                i = string_end(s, i);
                if (i == std::string::npos) return i;
                continue;
            }
            if (c == '{' || c == '[') depth++;
            if (c == '}' || c == ']') {
                if (--depth == 0) return i + 1;
            }
            i++;
        }
        return std::string::npos;
    }
    while (i < s.size() && s[i] != ',' && s[i] != '}' && s[i] != ']') i++;
    return i;
}

std::string decode_string(const std::string& raw) {
    std::string out;
    for (size_t i = 1; i + 1 < raw.size(); i++) {
        char c = raw[i];
        if (c != '\\' || i + 2 >= raw.size()) {
            out += c;
            continue;
        }
        char e = raw[++i];
        switch (e) {
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u': {
            // \uXXXX (a surrogate pair as two) to UTF-8.
            auto hex4 = [&](size_t at, unsigned* v) {
                if (at + 4 > raw.size() - 1) return false;
                *v = 0;
                for (size_t k = at; k < at + 4; ++k) {
                    char h = raw[k];
                    int d = h >= '0' && h <= '9'   ? h - '0'
                            : h >= 'a' && h <= 'f' ? h - 'a' + 10
                            : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                                   : -1;
                    if (d < 0) return false;
                    *v = *v * 16 + static_cast<unsigned>(d);
                }
                return true;
            };
            unsigned cp = 0, low = 0;
            if (!hex4(i + 1, &cp)) {
                out += e;
                break;
            }
            i += 4;
            if (cp >= 0xd800 && cp < 0xdc00 && i + 2 < raw.size() && raw[i + 1] == '\\' &&
                raw[i + 2] == 'u' && hex4(i + 3, &low) && low >= 0xdc00 && low < 0xe000) {
                cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
                i += 6;
            }
            if (cp < 0x80) {
                out += static_cast<char>(cp);
            } else if (cp < 0x800) {
                out += static_cast<char>(0xc0 | (cp >> 6));
                out += static_cast<char>(0x80 | (cp & 0x3f));
            } else if (cp < 0x10000) {
                out += static_cast<char>(0xe0 | (cp >> 12));
                out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
                out += static_cast<char>(0x80 | (cp & 0x3f));
            } else {
                out += static_cast<char>(0xf0 | (cp >> 18));
                out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
                out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
                out += static_cast<char>(0x80 | (cp & 0x3f));
            }
            break;
        }
        default: out += e; break;
        }
    }
    return out;
}

bool find_member(const std::string& json, const std::string& key, std::string* raw) {
    size_t i = skip_blanks(json, 0);
    if (i >= json.size() || json[i] != '{') return false;
    i++;
    while (true) {
        i = skip_blanks(json, i);
        if (i >= json.size() || json[i] != '"') return false;
        size_t kend = string_end(json, i);
        if (kend == std::string::npos) return false;
        std::string name = decode_string(json.substr(i, kend - i));
        i = skip_blanks(json, kend);
        if (i >= json.size() || json[i] != ':') return false;
        i = skip_blanks(json, i + 1);
        size_t vend = value_end(json, i);
        if (vend == std::string::npos) return false;
        if (name == key) {
            std::string v = json.substr(i, vend - i);
            while (!v.empty() && (v.back() == ' ' || v.back() == '\n')) v.pop_back();
            *raw = v;
            return true;
        }
        i = skip_blanks(json, vend);
        if (i >= json.size() || json[i] != ',') return false;
        i++;
    }
}

}  // namespace

std::string json_get(const std::string& json, const std::string& key) {
    std::string raw;
    if (!find_member(json, key, &raw)) return "";
    if (!raw.empty() && raw[0] == '"') return decode_string(raw);
    return raw;
}

bool json_has(const std::string& json, const std::string& key) {
    std::string raw;
    return find_member(json, key, &raw);
}

namespace {

// Length of the well-formed UTF-8 sequence at i, or 0.
size_t utf8_len_at(const std::string& s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    if (c < 0x80) return 1;
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        lo = c == 0xE0 ? 0xA0 : 0x80;
        hi = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        lo = c == 0xF0 ? 0x90 : 0x80;
        hi = c == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (i + len > s.size() || b(i + 1) < lo || b(i + 1) > hi) return 0;
    for (size_t k = 2; k < len; k++)
        if ((b(i + k) & 0xC0) != 0x80) return 0;
    return len;
}

long hex4_at(const std::string& s, size_t i) {
    if (i + 4 > s.size()) return -1;
    long v = 0;
    for (size_t k = i; k < i + 4; k++) {
        const char c = s[k];
        int h = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (h < 0) return -1;
        v = v * 16 + h;
    }
    return v;
}

// i at '"': just past the closing quote of a strictly valid string, or npos.
size_t strict_string_end(const std::string& s, size_t i) {
    for (i++; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '"') return i + 1;
        if (c < 0x20) return std::string::npos;
        if (c != '\\') {
            size_t len = utf8_len_at(s, i);
            if (len == 0) return std::string::npos;
            i += len;
            continue;
        }
        if (i + 1 >= s.size()) return std::string::npos;
        const char e = s[i + 1];
        if (e != 'u') {
            if (!strchr("\"\\/bfnrt", e) || e == '\0') return std::string::npos;
            i += 2;
            continue;
        }
        const long unit = hex4_at(s, i + 2);
        if (unit < 0 || (unit >= 0xDC00 && unit <= 0xDFFF)) return std::string::npos;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 7 >= s.size() || s[i + 6] != '\\' || s[i + 7] != 'u') return std::string::npos;
            const long low = hex4_at(s, i + 8);
            if (low < 0xDC00 || low > 0xDFFF) return std::string::npos;
            i += 12;
        } else {
            i += 6;
        }
    }
    return std::string::npos;
}

// i at the first character of a number: just past it, or npos.
size_t strict_number_end(const std::string& s, size_t i) {
    const auto digit = [&](size_t k) { return k < s.size() && s[k] >= '0' && s[k] <= '9'; };
    if (i < s.size() && s[i] == '-') i++;
    if (!digit(i)) return std::string::npos;
    if (s[i] == '0') {
        i++;
    } else {
        while (digit(i)) i++;
    }
    if (i < s.size() && s[i] == '.') {
        if (!digit(++i)) return std::string::npos;
        while (digit(i)) i++;
    }
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        i++;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) i++;
        if (!digit(i)) return std::string::npos;
        while (digit(i)) i++;
    }
    return i;
}

}  // namespace

bool json_strict_valid(const std::string& s) {
    // Open containers; for an object, whether a member name comes next.
    struct Open {
        char kind;
        bool want_name;
    };
    std::vector<Open> stack;
    size_t i = skip_blanks(s, 0);
    for (;;) {
        // A value starts at i (or, in an object, a member name).
        if (i >= s.size()) return false;
        if (!stack.empty() && stack.back().kind == '{' && stack.back().want_name) {
            if (s[i] != '"') return false;
            i = strict_string_end(s, i);
            if (i == std::string::npos) return false;
            i = skip_blanks(s, i);
            if (i >= s.size() || s[i] != ':') return false;
            stack.back().want_name = false;
            i = skip_blanks(s, i + 1);
            continue;
        }
        const char c = s[i];
        if (c == '{' || c == '[') {
            stack.push_back({c, c == '{'});
            i = skip_blanks(s, i + 1);
            if (i < s.size() && s[i] == (c == '{' ? '}' : ']')) {
                stack.pop_back();
                i++;
            } else {
                continue;
            }
        } else if (c == '"') {
            i = strict_string_end(s, i);
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            i = strict_number_end(s, i);
        } else {
            bool word = false;
            for (const char* w : {"true", "false", "null"})
                if (s.compare(i, strlen(w), w) == 0) {
                    i += strlen(w);
                    word = true;
                    break;
                }
            if (!word) return false;
        }
        if (i == std::string::npos) return false;
        // After a value: close containers, or go on after a comma.
        for (;;) {
            i = skip_blanks(s, i);
            if (stack.empty()) return i == s.size();
            if (i >= s.size()) return false;
            const char close = stack.back().kind == '{' ? '}' : ']';
            if (s[i] == ',') {
                if (stack.back().kind == '{') stack.back().want_name = true;
                i = skip_blanks(s, i + 1);
                break;
            }
            if (s[i] != close) return false;
            stack.pop_back();
            i++;
        }
    }
}

}  // namespace kyrel_test
