// Test harness for integration tests: run the real kyreldb_server in a fresh
// temporary directory on a free loopback port, and talk to it in frames.
//
//   TestServer srv;                       // nothing started yet
//   srv.set_config("CONNECTION_WORKERS=2\n");
//   ASSERT_TRUE(srv.start()) << srv.last_error();
//   FrameClient c;
//   ASSERT_TRUE(c.connect(srv.port()));
//   std::string reply;
//   ASSERT_TRUE(c.request(R"({"action":"ping"})", &reply));
//   EXPECT_EQ(json_get(reply, "ok"), "true");
//
// The binary is $KYRELDB_BIN_DIR/kyreldb_server. Its standard output and
// error go to "stdout.txt" and "stderr.txt" in the temp dir (see
// stdout_text()). The destructor stops the server and removes the directory.
//
// Every time the server process ends (stop, kill9, wait_exit, a failed start,
// the destructor) the new part of its standard error is scanned for sanitizer
// reports; one found fails the running test with the report's text, so a
// sanitizer build of the server fails CI on any report it prints.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kyrel_test {

// Path of the server binary from KYRELDB_BIN_DIR ("" when unset).
std::string server_binary();
// A TCP port on 127.0.0.1 that was free a moment ago.
int free_port();

// First sanitizer report in text (from its first line, at most about 4 KB),
// or "" when there is none: AddressSanitizer, LeakSanitizer, ThreadSanitizer,
// UndefinedBehaviorSanitizer headers and "runtime error:" lines.
std::string sanitizer_report(const std::string& text);

// Result of running the binary to completion (for command-line tests).
struct RunResult {
    int exit_status = -1;  // exit code, or -1 when killed / timed out
    std::string out;
    std::string err;
};
// Runs kyreldb_server with args in a fresh temp dir, waits up to timeout.
// A sanitizer report in its standard error fails the running test.
RunResult run_server_once(const std::vector<std::string>& args,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10));
// The same in an existing directory (for example a running TestServer's),
// which is left in place; the output files there get names of their own.
RunResult run_server_in(const std::string& dir, const std::vector<std::string>& args,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10));

class TestServer {
  public:
    TestServer();  // creates the temp dir
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    // Text written to "kyreldb.config" in the dir before each start; "" = no file.
    void set_config(const std::string& text) { config_ = text; }
    // Command-line arguments; when given they replace "--port P" (start()
    // still waits on port(), so pair this with set_port).
    void set_args(const std::vector<std::string>& args) { args_ = args; }
    // Port to use instead of a free one chosen at the first start.
    void set_port(int port) { port_ = port; }
    // Limit on open descriptors of the child (RLIMIT_NOFILE); 0 = inherit.
    void set_fd_limit(int n) { fd_limit_ = n; }
    // Adds NAME=value to the child's environment at every later start (a
    // second call for the same name replaces the first).
    void set_env(const std::string& name, const std::string& value);

    // Starts the server on a free port (chosen on the first start and kept on
    // restart) and waits until it has printed its banner and the port accepts
    // connections.
    bool start(std::chrono::milliseconds deadline = std::chrono::seconds(15));
    // SIGTERM (or sig), then waits; SIGKILL after the deadline. Returns the
    // exit status (-1 when it had to be killed or was not running).
    int stop(int sig = 15, std::chrono::milliseconds deadline = std::chrono::seconds(10));
    // SIGKILL and reap, for crash tests.
    void kill9();
    // stop() then start() in the same dir and port.
    bool restart();
    // Waits for the process to exit by itself; exit status or -1.
    int wait_exit(std::chrono::milliseconds deadline);

    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    int port() const { return port_; }
    const std::string& dir() const { return dir_; }
    std::string stdout_text() const;
    std::string stderr_text() const;
    const std::string& last_error() const { return error_; }

  private:
    std::string dir_;
    std::string config_;
    std::vector<std::string> args_;
    int fd_limit_ = 0;
    std::vector<std::string> env_;  // "NAME=value"
    int port_ = 0;
    pid_t pid_ = -1;
    std::string error_;
    size_t err_checked_ = 0;  // bytes of stderr.txt already scanned

    // Fails the running test when stderr.txt grew a sanitizer report.
    void check_sanitizer_output();
    // One spawn of the server on port_, waiting until it listens.
    enum class Launch { kListening, kPortTaken, kFailed };
    Launch launch(std::chrono::milliseconds deadline);
};

class FrameClient {
  public:
    FrameClient() = default;
    ~FrameClient();
    FrameClient(const FrameClient&) = delete;
    FrameClient& operator=(const FrameClient&) = delete;

    // Connects to host (a numeric IPv4 address such as "127.0.0.2") at port.
    // Receives time out after timeout so a missing reply fails the test.
    bool connect(int port, const std::string& host = "127.0.0.1",
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void close();
    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // Sends one frame holding json.
    bool send_frame(const std::string& json);
    // Sends bytes exactly as given (for malformed frames).
    bool send_raw(const void* data, size_t n);
    bool send_raw(const std::string& bytes) { return send_raw(bytes.data(), bytes.size()); }
    // Reads one reply frame into *out.
    bool read_frame(std::string* out);
    // send_frame + read_frame.
    bool request(const std::string& json, std::string* reply);
    // True when the server has closed the connection (EOF within timeout).
    bool wait_closed(std::chrono::milliseconds timeout = std::chrono::seconds(5));

  private:
    int fd_ = -1;
};

// Value of the first top-level member key of a JSON object text: strings
// decoded (the JSON escapes, \u as UTF-8), other values as their raw text
// ("true", "12", "{...}"). "" when absent. Good enough for replies in tests.
std::string json_get(const std::string& json, const std::string& key);
// True when the object has a top-level member key.
bool json_has(const std::string& json, const std::string& key);

// True when text is exactly one JSON value by the strict grammar: well-formed
// UTF-8 throughout, no raw control character in a string, only the standard
// escapes, every \u surrogate escape one half of a pair, numbers in the
// grammar's form, and nothing but blanks around the value. Depth is not
// limited (the walk keeps its own stack).
bool json_strict_valid(const std::string& text);

}  // namespace kyrel_test
