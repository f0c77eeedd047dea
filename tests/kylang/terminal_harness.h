// Running built programs with input: standard input from a text (line mode)
// or on a pseudo-terminal with keys sent, plus a small ANSI screen model that
// turns what a program wrote into rows of text and colours.
#pragma once

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>

#include <chrono>
#include <cstring>

#include "kylang_harness.h"

// A grid of cells as an ANSI terminal would show it: cursor moves
// ("\033[r;cH"), clear ("\033[2J"), colours ("\033[...m", kept per cell as
// the last parameters seen) and UTF-8 text. Bytes past the right edge are
// dropped.
class ScreenModel {
  public:
    explicit ScreenModel(int rows = 24, int cols = 80) : rows_(rows), cols_(cols) { clear(); }

    void feed(const std::string& out) {
        for (size_t i = 0; i < out.size();) {
            unsigned char ch = static_cast<unsigned char>(out[i]);
            if (ch == 0x1b && i + 1 < out.size() && out[i + 1] == '[') {
                size_t j = i + 2;
                while (j < out.size() && !std::isalpha(static_cast<unsigned char>(out[j]))) j++;
                if (j >= out.size()) break;
                escape(out.substr(i + 2, j - i - 2), out[j]);
                i = j + 1;
            } else if (ch == '\n') {
                if (row_ < rows_ - 1) row_++;
                i++;
            } else if (ch == '\r') {
                col_ = 0;
                i++;
            } else {
                size_t n = ch >= 0xf0 ? 4 : ch >= 0xe0 ? 3 : ch >= 0xc0 ? 2 : 1;
                if (col_ < cols_ && row_ < rows_) {
                    text_[row_][col_] = out.substr(i, n);
                    attr_[row_][col_] = sgr_;
                    col_++;
                }
                i += n;
            }
        }
    }

    std::string row(int r) const {
        std::string s;
        for (const std::string& c : text_[r]) s += c;
        size_t end = s.find_last_not_of(' ');
        return end == std::string::npos ? "" : s.substr(0, end + 1);
    }
    // The text of row r from column c, n cells long.
    std::string text(int r, int c, int n) const {
        std::string s;
        for (int i = c; i < c + n && i < cols_; i++) s += text_[r][i];
        return s;
    }
    const std::string& attr(int r, int c) const { return attr_[r][c]; }
    int cursor_row() const { return row_; }
    int cursor_col() const { return col_; }

  private:
    void clear() {
        text_.assign(rows_, std::vector<std::string>(cols_, " "));
        attr_.assign(rows_, std::vector<std::string>(cols_, "0"));
    }
    void escape(const std::string& params, char final) {
        if (final == 'H') {
            int r = 1, c = 1;
            if (!params.empty()) std::sscanf(params.c_str(), "%d;%d", &r, &c);
            row_ = std::max(0, std::min(rows_ - 1, r - 1));
            col_ = std::max(0, std::min(cols_ - 1, c - 1));
        } else if (final == 'J' && params == "2") {
            clear();
        } else if (final == 'm') {
            sgr_ = params.empty() ? "0" : params;
        }
    }

    int rows_, cols_, row_ = 0, col_ = 0;
    std::string sgr_ = "0";
    std::vector<std::vector<std::string>> text_, attr_;
};

// Runs a program on a pseudo-terminal of 24 by 80. The destructor kills the
// program if it still runs and reaps it.
class PtyRun {
  public:
    PtyRun(const std::string& program, const std::string& dir) {
        struct winsize ws {};
        ws.ws_row = 24;
        ws.ws_col = 80;
        pid_ = forkpty(&master_, nullptr, nullptr, &ws);
        if (pid_ == 0) {
            if (chdir(dir.c_str()) != 0) _exit(127);
            execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~PtyRun() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) close(master_);
    }
    PtyRun(const PtyRun&) = delete;
    PtyRun& operator=(const PtyRun&) = delete;

    bool started() const { return pid_ > 0 && master_ >= 0; }
    pid_t pid() const { return pid_; }

    // Waits until the output after the last match holds `what`; the next
    // wait then searches only after it.
    bool wait_for(const std::string& what, int timeout_ms = 10000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            size_t at = out_.find(what, pos_);
            if (at != std::string::npos) {
                pos_ = at + what.size();
                return true;
            }
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - std::chrono::steady_clock::now())
                                            .count());
            if (left <= 0 || !read_some(left)) return false;
        }
    }

    void send(const std::string& keys) {
        size_t off = 0;
        while (off < keys.size()) {
            ssize_t n = write(master_, keys.data() + off, keys.size() - off);
            if (n <= 0) return;
            off += static_cast<size_t>(n);
        }
    }

    // Reads until the program closes the terminal, then reaps it. Returns the
    // wait status, or -1 when it did not end in time.
    int finish(int timeout_ms = 10000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - std::chrono::steady_clock::now())
                                            .count());
            if (left <= 0) return -1;
            if (!read_some(left)) break;
        }
        int st = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            pid_t r = waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                return st;
            }
            poll(nullptr, 0, 10);
        }
        return -1;
    }

    // The terminal settings as the program left them.
    bool terminal_is_cooked() const {
        struct termios t {};
        if (tcgetattr(master_, &t) != 0) return false;
        return (t.c_lflag & ICANON) && (t.c_lflag & ECHO) && (t.c_iflag & ICRNL) &&
               (t.c_oflag & OPOST);
    }

    const std::string& output() const { return out_; }
    ScreenModel screen() const {
        ScreenModel s;
        s.feed(out_);
        return s;
    }

  private:
    // One read of what is available; false at end of output or time-out.
    bool read_some(int timeout_ms) {
        struct pollfd p {};
        p.fd = master_;
        p.events = POLLIN;
        int rc = poll(&p, 1, timeout_ms);
        if (rc <= 0) return false;
        char buf[4096];
        ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) return false;
        out_.append(buf, static_cast<size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int master_ = -1;
    std::string out_;
    size_t pos_ = 0;
};

class ProgramRunTest : public KylangTest {
  protected:
    // Builds source into ./prog.
    bool build(const std::string& source) {
        RunResult b = kylang(source, {"-o", "prog"});
        EXPECT_EQ(b.status, 0) << b.err;
        return b.status == 0;
    }

    // Runs ./prog with `input` as its standard input (a file, not a terminal).
    RunResult run_with_input(const std::string& input) {
        write_file(path(".stdin"), input);
        RunResult r;
        std::string out_path = path(".stdout");
        pid_t pid = fork();
        if (pid == 0) {
            int in = open(path(".stdin").c_str(), O_RDONLY);
            int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (in < 0 || out < 0 || chdir(dir.c_str()) != 0) _exit(127);
            dup2(in, 0);
            dup2(out, 1);
            std::string prog = path("prog");
            execl(prog.c_str(), prog.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        int st = 0;
        if (pid > 0 && waitpid(pid, &st, 0) == pid && WIFEXITED(st)) r.status = WEXITSTATUS(st);
        r.out = read_file(out_path);
        return r;
    }
};
