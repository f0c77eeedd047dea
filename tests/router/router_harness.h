// Test harness for the router: a temporary directory, fake backends that
// speak the framed JSON protocol with scripted replies, a frame client, and
// a runner for the real kyreldb_router_macos binary.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace router_test {

std::string router_binary();
int free_port();
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);
// Value of a top-level-ish member found by key search: a string's text, or
// the raw token of a number/true/false/null. "" when absent.
std::string json_get(const std::string& json, const std::string& key);
// Polls cond every 20 ms until it holds or the timeout passes.
bool wait_for(const std::function<bool()>& cond,
              std::chrono::milliseconds timeout = std::chrono::seconds(10));

class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// A fake backend server. Logins succeed when the password matches the one
// set for the user (any password when none is set); ping answers ok; "USE x"
// answers ok; "SELECT fail" answers an error; every other request is echoed
// in {"ok":true,"backend":NAME,"n":K}.
class FakeBackend {
  public:
    explicit FakeBackend(const std::string& name);
    ~FakeBackend();
    int port() const { return port_; }
    void set_password(const std::string& user, const std::string& pw);
    std::vector<std::string> requests();  // every frame received, in order
    int connections() const { return connections_.load(); }
    void stop();

  private:
    void accept_loop();
    void serve(int fd);
    std::string reply_for(const std::string& req);

    std::string name_;
    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> running_{true};
    std::atomic<int> connections_{0};
    std::mutex mu_;
    std::vector<std::string> requests_;
    std::vector<std::pair<std::string, std::string>> passwords_;
    std::vector<int> fds_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
    int counter_ = 0;
};

class FrameClient {
  public:
    FrameClient() = default;
    ~FrameClient();
    bool connect(int port);
    // Takes over a connected socket (the client then owns and closes it).
    void adopt(int fd);
    bool send_raw(const std::string& bytes);
    bool request(const std::string& json, std::string* reply);
    // Convenience: the reply, or "<transport failure>".
    std::string req(const std::string& json);
    bool read_reply(std::string* reply);
    void close();

  private:
    int fd_ = -1;
};

// Runs the router binary in dir with --config dir/kyreldb_router.config.
class RouterProcess {
  public:
    RouterProcess(const TempDir& dir, int port) : dir_(dir), port_(port) {}
    ~RouterProcess();
    bool start(const std::vector<std::string>& extra_args = {});
    // Sends SIGTERM and waits; returns the exit status (-1 when it did not exit).
    int stop();
    void signal(int sig);
    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    std::string stderr_text() const { return read_file(dir_.file("router.err")); }
    std::string stdout_text() const { return read_file(dir_.file("router.out")); }
    std::string config_path() const { return dir_.file("kyreldb_router.config"); }

  private:
    const TempDir& dir_;
    int port_;
    pid_t pid_ = -1;
};

// A network namespace of the test's own, joined to this one by a veth pair
// with two private addresses (10.214.x.y/30), so that a client can reach
// the router from an address other than loopback. Removed when destroyed.
// Traffic goes only between the two ends of the pair.
class TestNetns {
  public:
    TestNetns();
    ~TestNetns();
    bool ok() const { return reason_.empty(); }
    // Why the namespace could not be made (the test then skips).
    const std::string& reason() const { return reason_; }
    // This side's address, where a router listening on every address is reached.
    const std::string& host_address() const { return host_addr_; }
    const std::string& inside_address() const { return inside_addr_; }
    // A TCP connection made inside the namespace to host_address():port;
    // -1 when it fails.
    int connect_from_inside(int port);

  private:
    std::string name_, host_if_, reason_, host_addr_, inside_addr_;
    bool made_ = false;
};

struct RunResult {
    int exit_status = -1;
    std::string out, err;
};
// Runs the router binary to completion in dir with args.
RunResult run_router_once(const TempDir& dir, const std::vector<std::string>& args);

}  // namespace router_test
