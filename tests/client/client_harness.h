// Test harness for kyreldb_client: a scripted fake frame server on a loopback
// port, a runner for the client with piped standard streams, and a
// pseudo-terminal session for the interactive paths. Every wait has a deadline.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Path of the kyreldb_client program under test.
std::string client_binary();

// Value of the string member `name` of a JSON text, decoded; "" when absent.
std::string json_member(const std::string& json, const std::string& name);

// Accepts connections one after another on 127.0.0.1 and answers every request
// frame with the responder's text, recording each request.
class FakeServer {
  public:
    using Responder = std::function<std::string(const std::string& request)>;
    explicit FakeServer(Responder responder = nullptr);
    ~FakeServer();
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;

    int port() const { return port_; }
    std::vector<std::string> requests();
    // Requests whose "action" member equals `action`.
    std::vector<std::string> requests_with_action(const std::string& action);
    bool wait_for_requests(size_t n, int timeout_ms = 10000);

    // Replies a cooperative server would give: login ok without a forced change,
    // every other action ok with a message naming it.
    static std::string default_reply(const std::string& request);

  private:
    void run();
    void serve(int fd);
    bool read_full(int fd, void* buf, size_t n);

    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    Responder responder_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

struct RunResult {
    int status = -1000;  // exit status, or minus the signal number
    std::string out;
    std::string err;
};

// Runs the client with `args`, feeding `input` on standard input, with
// KYRELDB_PASSWORD removed from the environment unless given in `env`
// ("NAME=value" entries). Killed after timeout_ms (status stays -1000).
RunResult run_client(const std::vector<std::string>& args, const std::string& input,
                     const std::vector<std::string>& env = {}, int timeout_ms = 20000);

// The client on a pseudo-terminal. The parent keeps the slave side open so the
// terminal's settings can be read after the client has ended.
class PtySession {
  public:
    explicit PtySession(const std::vector<std::string>& args,
                        const std::vector<std::string>& env = {});
    ~PtySession();
    PtySession(const PtySession&) = delete;
    PtySession& operator=(const PtySession&) = delete;

    bool started() const { return pid_ > 0; }
    // Reads until `text` appears after the previous match; true when it did
    // before the deadline. Carriage returns are removed from the output.
    bool expect(const std::string& text, int timeout_ms = 10000);
    void send(const std::string& text);
    void signal(int sig);
    // Waits for the client to end; status as in RunResult, -1000 on time-out.
    int wait_exit(int timeout_ms = 10000);
    // Whole output so far (carriage returns removed).
    const std::string& transcript() const { return out_; }
    // Output after the previous match.
    std::string pending() const { return out_.substr(cursor_); }
    bool echo_enabled() const;

  private:
    bool read_some(int timeout_ms);

    int master_ = -1;
    int slave_ = -1;
    pid_t pid_ = -1;
    int status_ = -1000;
    std::string out_;
    size_t cursor_ = 0;
};
