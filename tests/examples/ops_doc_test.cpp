// docs/operations.md shows its examples as shell sessions: every code block
// starts with a "$ command" line, and the lines after a command up to the
// next one are what it prints ("..." stands for any text). A command line
// ending in "\" goes on on the next line, and one holding <<'EOF' takes the
// lines up to "EOF" as its here-document.
//
// This test runs the commands of the page, in order, in one bash in a fresh
// directory, with the built programs first on PATH, umask 022 and standard
// input from /dev/null. Each must exit with status 0 and print exactly what is shown (nothing when nothing
// is shown). The guide's ports 9191, 9192 and 9292 become free loopback
// ports, and after a command that starts a program in the background the
// test waits until the ports that command names accept connections. At the
// end every background job still running is stopped.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "doc_blocks.h"
#include "kyrel_test.h"

namespace {

struct Command {
    int line;                        // in docs/operations.md
    std::string text;                // with its continuation lines and here-document
    std::vector<std::string> shown;  // the lines shown after it
};

std::vector<Command> doc_commands(const std::string& path, std::string* bad) {
    std::vector<Command> cmds;
    for (const doc_test::CodeBlock& b : doc_test::code_blocks(path)) {
        // A block without a command goes on with the output of the one before,
        // after the empty line between them.
        if (b.lines[0].rfind("$ ", 0) != 0) {
            if (cmds.empty()) {
                *bad = "operations.md:" + std::to_string(b.line) + ": output without a command";
                return {};
            }
            cmds.back().shown.push_back("");
        }
        for (size_t k = 0; k < b.lines.size(); k++) {
            const std::string& l = b.lines[k];
            if (l.rfind("$ ", 0) != 0) {
                cmds.back().shown.push_back(l);
                continue;
            }
            Command c{b.line + static_cast<int>(k), l.substr(2), {}};
            while (!c.text.empty() && c.text.back() == '\\' && k + 1 < b.lines.size())
                c.text += "\n" + b.lines[++k];
            if (c.text.find("<<'EOF'") != std::string::npos) {
                while (k + 1 < b.lines.size()) {
                    c.text += "\n" + b.lines[++k];
                    if (b.lines[k] == "EOF") break;
                }
            }
            cmds.push_back(c);
        }
    }
    return cmds;
}

std::string replace_all(std::string s, const std::string& from, const std::string& to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

// True when the command puts something in the background ("&" that is not
// part of "&&" or a redirection such as "2>&1").
bool starts_background(std::string text) {
    text = replace_all(text, "&&", "");
    text = replace_all(text, ">&", "");
    return text.find('&') != std::string::npos;
}

bool port_accepts(int port) {
    kyrel_test::FrameClient c;
    return c.connect(port);
}

// One bash reading commands from a pipe, its output and errors on another.
class Shell {
  public:
    bool start(const std::string& dir, const std::string& path_env) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return false;
        pid_ = fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            // A process group of its own, so that whatever it starts can be
            // stopped with it.
            setpgid(0, 0);
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(out[1], 2);
            close(in[0]);
            close(in[1]);
            close(out[0]);
            close(out[1]);
            if (chdir(dir.c_str()) != 0) _exit(127);
            setenv("PATH", path_env.c_str(), 1);
            setenv("LC_ALL", "C", 1);
            unsetenv("KYRELDB_PASSWORD");
            execl("/bin/bash", "bash", "--noprofile", "--norc", static_cast<char*>(nullptr));
            _exit(127);
        }
        setpgid(pid_, pid_);
        close(in[0]);
        close(out[1]);
        to_ = in[1];
        from_ = out[0];
        std::string ignored;
        int rc = -1;
        return run("umask 022", &ignored, &rc, std::chrono::seconds(10)) && rc == 0;
    }

    // Runs text with its standard input from /dev/null, so that it cannot
    // read the commands after it; false on a time-out or when bash has gone.
    bool run(const std::string& text, std::string* output, int* status,
             std::chrono::milliseconds timeout) {
        static const std::string kMark = "__kyrel_doc_end__";
        std::string script = "{\n" + text + "\n} < /dev/null\n__rc=$?; printf '\\n%s %d\\n' " +
                             kMark + " \"$__rc\"\n";
        if (!write_all(script)) return false;
        std::string got;
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            size_t at = got.find("\n" + kMark + " ");
            if (at != std::string::npos &&
                got.find('\n', at + 1 + kMark.size()) != std::string::npos) {
                *status = std::atoi(got.c_str() + at + 2 + kMark.size());
                *output = got.substr(0, at);
                return true;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{from_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buf[4096];
            ssize_t n = read(from_, buf, sizeof buf);
            if (n <= 0) return false;
            got.append(buf, static_cast<size_t>(n));
        }
    }

    // Stops the background jobs, then bash; whatever is left of its process
    // group is killed while bash, not yet reaped, still holds the group's id.
    void stop() {
        if (pid_ <= 0) return;
        std::string ignored;
        int rc;
        run("kill $(jobs -p) 2>/dev/null; wait", &ignored, &rc, std::chrono::seconds(20));
        close(to_);
        close(from_);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            siginfo_t info{};
            if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                info.si_pid == pid_)
                break;
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    ~Shell() { stop(); }

  private:
    pid_t pid_ = -1;
    int to_ = -1;
    int from_ = -1;

    bool write_all(const std::string& s) {
        size_t done = 0;
        while (done < s.size()) {
            ssize_t n = write(to_, s.data() + done, s.size() - done);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
};

TEST(OperationsDoc, EveryCommandRunsAndPrintsWhatIsShown) {
    std::string bad;
    std::vector<Command> cmds = doc_commands(KYREL_DOCS_DIR "/operations.md", &bad);
    ASSERT_TRUE(bad.empty()) << bad;
    ASSERT_GT(cmds.size(), 20u);

    const char* bin = std::getenv("KYRELDB_BIN_DIR");
    ASSERT_TRUE(bin && *bin);
    const char* old_path = std::getenv("PATH");
    std::string path_env = std::string(bin) + ":" + (old_path ? old_path : "/usr/bin:/bin");

    // The guide's ports, each a distinct free one here.
    std::map<std::string, std::string> ports;
    for (const char* p : {"9191", "9192", "9292"}) {
        std::string free;
        do {
            free = std::to_string(kyrel_test::free_port());
            for (auto& kv : ports)
                if (kv.second == free) free.clear();
        } while (free.empty());
        ports[p] = free;
    }
    auto localise = [&](std::string s) {
        for (auto& kv : ports) s = replace_all(s, kv.first, kv.second);
        return s;
    };

    signal(SIGPIPE, SIG_IGN);
    char tmpl[] = "/tmp/kyrel_ops_doc_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    struct RemoveDir {
        const std::string& dir;
        ~RemoveDir() { std::filesystem::remove_all(dir); }
    } remove_dir{dir};
    {
        Shell sh;
        ASSERT_TRUE(sh.start(dir, path_env));
        for (const Command& c : cmds) {
            std::string text = localise(c.text);
            std::string out;
            int status = -1;
            ASSERT_TRUE(sh.run(text, &out, &status, std::chrono::seconds(60)))
                << "operations.md:" << c.line << ": no end within 60 s: " << c.text;
            while (!out.empty() && out.back() == '\n') out.pop_back();
            EXPECT_EQ(status, 0) << "operations.md:" << c.line << ": " << c.text << "\n" << out;
            std::string shown;
            for (size_t k = 0; k < c.shown.size(); k++)
                shown += (k ? "\n" : "") + localise(c.shown[k]);
            EXPECT_TRUE(doc_test::matches(shown, out))
                << "operations.md:" << c.line << ": " << c.text << "\n shown:\n"
                << shown << "\n   got:\n"
                << out;
            if (!starts_background(c.text)) continue;
            for (auto& kv : ports) {
                if (text.find(kv.second) == std::string::npos) continue;
                int port = std::atoi(kv.second.c_str());
                auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
                while (!port_accepts(port) && std::chrono::steady_clock::now() < deadline)
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                ASSERT_TRUE(port_accepts(port))
                    << "operations.md:" << c.line << ": nothing listens on " << kv.first;
            }
        }
    }
    // A sanitizer build writes its reports into the programs' logs.
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
        if (e.path().extension() != ".log") continue;
        std::ifstream in(e.path());
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(kyrel_test::sanitizer_report(text), "") << e.path();
    }
}

}  // namespace
