// Test harness for kylang: a temporary directory per test, writing files,
// and running a program with its standard output and error captured.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct RunResult {
    int status = -1;  // exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

class KylangTest : public ::testing::Test {
  protected:
    std::string dir;

    void SetUp() override {
        char tmpl[] = "/tmp/kylang_test_XXXXXX";
        char* d = mkdtemp(tmpl);
        ASSERT_NE(d, nullptr);
        dir = d;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    std::string path(const std::string& name) const { return dir + "/" + name; }

    // Runs argv in the test directory; standard input comes from /dev/null.
    RunResult run(const std::vector<std::string>& argv) const {
        RunResult r;
        std::string out_path = path(".stdout"), err_path = path(".stderr");
        pid_t pid = fork();
        if (pid == 0) {
            int in = open("/dev/null", O_RDONLY);
            int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (in < 0 || out < 0 || err < 0 || chdir(dir.c_str()) != 0) _exit(127);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            std::vector<char*> args;
            for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        int st = 0;
        if (pid > 0 && waitpid(pid, &st, 0) == pid && WIFEXITED(st)) r.status = WEXITSTATUS(st);
        r.out = read_file(out_path);
        r.err = read_file(err_path);
        return r;
    }

    RunResult kylang(const std::string& source, std::vector<std::string> args,
                     const std::string& name = "p.prg") {
        write_file(path(name), source);
        args.insert(args.begin(), name);
        args.insert(args.begin(), KYLANG_BIN);
        return run(args);
    }

    // Emits the C file for source and returns its text ("" on failure).
    std::string emit_c(const std::string& source) {
        RunResult r = kylang(source, {"--emit-c", "-o", "p.c"});
        EXPECT_EQ(r.status, 0) << r.err;
        return r.status == 0 ? read_file(path("p.c")) : std::string();
    }
};

// What a generated program showed: one entry per cursor move ("\033[r;cH"),
// holding the text printed there with colour sequences removed. Entries
// that hold nothing (the shutdown's final move) are dropped.
inline std::vector<std::string> screen_texts(const std::string& out) {
    std::vector<std::string> items;
    std::string cur;
    bool have = false;
    for (size_t i = 0; i < out.size(); i++) {
        if (out[i] == '\033' && i + 1 < out.size() && out[i + 1] == '[') {
            size_t j = i + 2;
            while (j < out.size() && !std::isalpha(static_cast<unsigned char>(out[j]))) j++;
            if (j < out.size() && out[j] == 'H') {
                if (have && !cur.empty()) items.push_back(cur);
                cur.clear();
                have = true;
            }
            i = j;
            continue;
        }
        if (have) cur += out[i];
    }
    if (have && !cur.empty() && cur != "\n") items.push_back(cur);
    return items;
}
