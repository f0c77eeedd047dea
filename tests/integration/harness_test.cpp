// The test harness itself: a sanitizer report on the server's standard error
// fails the running test, whichever way the process ended. A stand-in
// "server" (a shell script) prints the report, so no real fault is needed.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>

#include "kyrel_test.h"

using namespace kyrel_test;
using namespace std::chrono_literals;

namespace {

TEST(SanitizerReport, FindsEachKindAndIgnoresOrdinaryErrors) {
    const struct {
        const char* text;
        const char* report;  // expected start of the report, "" = none
    } cases[] = {
        {"replay: torn record at the end of x (offset 3) ignored\nstarted\n", ""},
        {"a\n==7==ERROR: AddressSanitizer: heap-use-after-free on 0x1\n#0 f\n",
         "==7==ERROR: AddressSanitizer: heap-use-after-free"},
        {"==7==ERROR: LeakSanitizer: detected memory leaks\n", "==7==ERROR: LeakSanitizer"},
        {"ok\nserver/x.cpp:3:9: runtime error: signed integer overflow\n",
         "server/x.cpp:3:9: runtime error:"},
        {"WARNING: ThreadSanitizer: data race (pid=1)\n", "WARNING: ThreadSanitizer"},
        {"==1==WARNING: AddressSanitizer failed to allocate 0x10 bytes\n",
         "==1==WARNING: AddressSanitizer failed"},
    };
    for (const auto& c : cases) {
        std::string r = sanitizer_report(c.text);
        if (!*c.report)
            EXPECT_EQ(r, "") << c.text;
        else
            EXPECT_EQ(r.rfind(c.report, 0), 0u) << c.text << " -> " << r;
    }
}

// Points KYRELDB_BIN_DIR at a directory whose "kyreldb_server" is a script,
// and puts everything back afterwards.
class FakeServer : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* old = getenv("KYRELDB_BIN_DIR");
        had_old_ = old != nullptr;
        if (old) old_ = old;
        char tmpl[] = "/tmp/kyrel_fake_bin_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        if (had_old_)
            setenv("KYRELDB_BIN_DIR", old_.c_str(), 1);
        else
            unsetenv("KYRELDB_BIN_DIR");
        unlink((dir_ + "/kyreldb_server").c_str());
        rmdir(dir_.c_str());
    }
    void script(const std::string& body) {
        const std::string path = dir_ + "/kyreldb_server";
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        ASSERT_EQ(chmod(path.c_str(), 0755), 0);
        setenv("KYRELDB_BIN_DIR", dir_.c_str(), 1);
    }

    std::string dir_, old_;
    bool had_old_ = false;
};

constexpr const char* kReport =
    "echo '==42==ERROR: AddressSanitizer: heap-use-after-free on address 0x6020' >&2";

TEST_F(FakeServer, ReportFailsTheTestWhenTheServerExits) {
    script(kReport + std::string("\nexit 1"));
    EXPECT_NONFATAL_FAILURE(
        {
            TestServer srv;
            EXPECT_FALSE(srv.start(5s));
        },
        "heap-use-after-free");
    EXPECT_NONFATAL_FAILURE(run_server_once({"--about"}), "AddressSanitizer");
}

TEST_F(FakeServer, ReportFailsTheTestWhenTheServerIsKilled) {
    // Never listens: start() gives up and kills it; the report was printed.
    script(kReport + std::string("\nexec sleep 30"));
    EXPECT_NONFATAL_FAILURE(
        {
            TestServer srv;
            EXPECT_FALSE(srv.start(300ms));
            EXPECT_FALSE(srv.running());
        },
        "heap-use-after-free");
}

TEST_F(FakeServer, OrdinaryErrorOutputPasses) {
    script("echo 'replay: WAL checksum mismatch in x at offset 0' >&2\nexit 1");
    TestServer srv;
    EXPECT_FALSE(srv.start(5s));
    EXPECT_NE(srv.last_error().find("checksum mismatch"), std::string::npos);
}

}  // namespace
