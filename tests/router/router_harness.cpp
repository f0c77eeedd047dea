// Router test harness: temp dirs, fake backends, frame client, process runner.
#include "router_harness.h"

#include "kyrel_test.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace router_test {

std::string router_binary() { return KYREL_ROUTER_BIN; }

int free_port() { return kyrel_test::free_port(); }

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string json_get(const std::string& json, const std::string& key) {
    std::string pat = "\"" + key + "\":";
    size_t p = json.find(pat);
    if (p == std::string::npos) return "";
    p += pat.size();
    if (p < json.size() && json[p] == '"') {
        std::string out;
        for (size_t i = p + 1; i < json.size(); i++) {
            if (json[i] == '\\' && i + 1 < json.size()) {
                out.push_back(json[++i]);
                continue;
            }
            if (json[i] == '"') break;
            out.push_back(json[i]);
        }
        return out;
    }
    size_t e = json.find_first_of(",}]", p);
    return json.substr(p, e == std::string::npos ? std::string::npos : e - p);
}

bool wait_for(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return cond();
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/kyrel_router_test_XXXXXX";
    char* d = mkdtemp(tmpl);
    path_ = d ? d : "/tmp";
}

TempDir::~TempDir() {
    std::error_code ec;
    if (path_ != "/tmp") std::filesystem::remove_all(path_, ec);
}

static bool send_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

static bool recv_all(int fd, char* p, size_t n) {
    while (n > 0) {
        ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

static bool send_frame(int fd, const std::string& body) {
    uint32_t len = htonl(static_cast<uint32_t>(body.size()));
    return send_all(fd, reinterpret_cast<const char*>(&len), 4) &&
           send_all(fd, body.data(), body.size());
}

static bool read_frame(int fd, std::string* body) {
    uint32_t len;
    if (!recv_all(fd, reinterpret_cast<char*>(&len), 4)) return false;
    len = ntohl(len);
    if (len > 64u * 1024u * 1024u) return false;
    body->assign(len, '\0');
    return recv_all(fd, body->data(), len);
}

FakeBackend::FakeBackend(const std::string& name) : name_(name) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listen_fd_, 64);
    socklen_t len = sizeof a;
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
}

FakeBackend::~FakeBackend() { stop(); }

void FakeBackend::stop() {
    if (!running_.exchange(false)) return;
    ::shutdown(listen_fd_, SHUT_RDWR);
    acceptor_.join();
    ::close(listen_fd_);
    {
        std::lock_guard<std::mutex> g(mu_);
        for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
    }
    for (auto& t : threads_) t.join();
    for (int fd : fds_) ::close(fd);
}

void FakeBackend::set_password(const std::string& user, const std::string& pw) {
    std::lock_guard<std::mutex> g(mu_);
    for (auto& p : passwords_)
        if (p.first == user) {
            p.second = pw;
            return;
        }
    passwords_.emplace_back(user, pw);
}

std::vector<std::string> FakeBackend::requests() {
    std::lock_guard<std::mutex> g(mu_);
    return requests_;
}

void FakeBackend::accept_loop() {
    while (running_) {
        int fd = ::accept(listen_fd_, nullptr, nullptr);
        if (fd < 0) {
            if (!running_) return;
            continue;
        }
        connections_++;
        std::lock_guard<std::mutex> g(mu_);
        fds_.push_back(fd);
        threads_.emplace_back([this, fd] { serve(fd); });
    }
}

std::string FakeBackend::reply_for(const std::string& req) {
    std::lock_guard<std::mutex> g(mu_);
    requests_.push_back(req);
    std::string action = json_get(req, "action");
    if (action == "ping") return R"({"ok":true,"pong":true})";
    if (action == "login") {
        std::string user = json_get(req, "username"), pw = json_get(req, "password");
        for (auto& p : passwords_)
            if (p.first == user && p.second != pw)
                return R"({"ok":false,"error":"invalid username or password"})";
        return R"({"ok":true,"message":"login ok"})";
    }
    if (action == "change_password") return R"({"ok":true,"message":"password changed"})";
    std::string sql = json_get(req, "sql");
    if (sql.rfind("USE ", 0) == 0) return R"({"ok":true,"message":"switched"})";
    if (sql.rfind("CHANGE PASSWORD", 0) == 0) return R"({"ok":true,"message":"password changed"})";
    if (sql == "SELECT fail") return R"({"ok":false, "error":"table not found"})";
    return "{\"ok\":true,\"backend\":\"" + name_ + "\",\"n\":" + std::to_string(++counter_) + "}";
}

void FakeBackend::serve(int fd) {
    std::string req;
    while (running_ && read_frame(fd, &req)) {
        if (!send_frame(fd, reply_for(req))) break;
    }
}

FrameClient::~FrameClient() { close(); }

bool FrameClient::connect(int port) {
    close();
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close();
        return false;
    }
    timeval tv{15, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return true;
}

bool FrameClient::send_raw(const std::string& bytes) {
    return fd_ >= 0 && send_all(fd_, bytes.data(), bytes.size());
}

bool FrameClient::request(const std::string& json, std::string* reply) {
    return fd_ >= 0 && send_frame(fd_, json) && read_frame(fd_, reply);
}

std::string FrameClient::req(const std::string& json) {
    std::string r;
    return request(json, &r) ? r : "<transport failure>";
}

bool FrameClient::read_reply(std::string* reply) { return fd_ >= 0 && read_frame(fd_, reply); }

void FrameClient::adopt(int fd) {
    close();
    fd_ = fd;
}

void FrameClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

static pid_t spawn(const TempDir& dir, const std::vector<std::string>& args) {
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.path().c_str()) != 0) _exit(127);
        int out = open("router.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open("router.err", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> argv;
        std::string bin = router_binary();
        argv.push_back(bin.data());
        std::vector<std::string> copy = args;
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(bin.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

static int wait_exit(pid_t pid, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

RouterProcess::~RouterProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        int st;
        waitpid(pid_, &st, 0);
    }
}

bool RouterProcess::start(const std::vector<std::string>& extra_args) {
    std::vector<std::string> args = {"--config", config_path(), "--port", std::to_string(port_)};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    pid_ = spawn(dir_, args);
    if (pid_ < 0) return false;
    return wait_for([&] {
               int st;
               if (waitpid(pid_, &st, WNOHANG) == pid_) {
                   pid_ = -1;
                   return true;
               }
               FrameClient c;
               return c.connect(port_);
           }) &&
           pid_ > 0;
}

int RouterProcess::stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int rc = wait_exit(pid_, std::chrono::seconds(15));
    pid_ = -1;
    return rc;
}

void RouterProcess::signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
}

// Runs the ip tool with args, its output to out (when given); the exit status.
static int run_ip(const std::vector<std::string>& args, std::string* out = nullptr) {
    int pipefd[2];
    if (pipe(pipefd) != 0) return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclose(&fa, pipefd[0]);
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    std::string ip = "ip";
    argv.push_back(ip.data());
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    int rc = posix_spawnp(&pid, "ip", &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(pipefd[1]);
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(pipefd[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    ::close(pipefd[0]);
    if (rc != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TestNetns::TestNetns() {
    static std::atomic<int> serial{0};
    if (geteuid() != 0) {
        reason_ = "making a network namespace needs root";
        return;
    }
    int n = serial++;
    int pid = static_cast<int>(getpid());
    name_ = "kyrel_rt_" + std::to_string(pid) + "_" + std::to_string(n);
    host_if_ = "krt" + std::to_string(pid % 1000000) + "h" + std::to_string(n % 10);
    std::string inside_if = "krt" + std::to_string(pid % 1000000) + "n" + std::to_string(n % 10);
    std::string addrs;
    if (run_ip({"-o", "-4", "addr", "show"}, &addrs) != 0) {
        reason_ = "the ip tool is not available";
        return;
    }
    // A /30 block of 10.214.0.0/16 that no interface here uses yet.
    for (int attempt = 0; attempt < 64 && host_addr_.empty(); attempt++) {
        int block = (pid * 7 + n * 131 + attempt * 977) % 16384;
        std::string base = "10.214." + std::to_string(block / 64) + ".";
        int low = (block % 64) * 4;
        bool used = false;
        for (int k = 0; k < 4; k++)
            if (addrs.find(" " + base + std::to_string(low + k) + "/") != std::string::npos)
                used = true;
        if (used) continue;
        host_addr_ = base + std::to_string(low + 1);
        inside_addr_ = base + std::to_string(low + 2);
    }
    if (host_addr_.empty()) {
        reason_ = "no free private address block";
        return;
    }
    if (run_ip({"netns", "add", name_}) != 0) {
        reason_ = "cannot make a network namespace here";
        return;
    }
    made_ = true;
    const std::vector<std::vector<std::string>> steps = {
        {"link", "add", host_if_, "type", "veth", "peer", "name", inside_if},
        {"link", "set", inside_if, "netns", name_},
        {"addr", "add", host_addr_ + "/30", "dev", host_if_},
        {"link", "set", host_if_, "up"},
        {"-n", name_, "addr", "add", inside_addr_ + "/30", "dev", inside_if},
        {"-n", name_, "link", "set", inside_if, "up"},
        {"-n", name_, "link", "set", "lo", "up"},
    };
    for (const auto& step : steps) {
        if (run_ip(step) != 0) {
            reason_ = "cannot set up the veth pair of the network namespace";
            return;
        }
    }
}

TestNetns::~TestNetns() {
    if (!made_) return;
    run_ip({"netns", "del", name_});  // takes the veth pair with it
    run_ip({"link", "del", host_if_});
}

int TestNetns::connect_from_inside(int port) {
    if (!ok()) return -1;
    int fd = -1;
    // Only this thread enters the namespace; its socket stays there.
    std::thread t([&] {
        int ns = open(("/var/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0) return;
        int entered = setns(ns, CLONE_NEWNET);
        ::close(ns);
        if (entered != 0) return;
        int s = socket(AF_INET, SOCK_STREAM, 0);
        if (s < 0) return;
        timeval tv{15, 0};
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, host_addr_.c_str(), &a.sin_addr);
        if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(s);
            return;
        }
        fd = s;
    });
    t.join();
    return fd;
}

RunResult run_router_once(const TempDir& dir, const std::vector<std::string>& args) {
    RunResult r;
    pid_t pid = spawn(dir, args);
    r.exit_status = wait_exit(pid, std::chrono::seconds(10));
    r.out = read_file(dir.file("router.out"));
    r.err = read_file(dir.file("router.err"));
    return r;
}

}  // namespace router_test
