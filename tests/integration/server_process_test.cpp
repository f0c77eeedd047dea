// The server process: command line, banner, listener and signal shutdown.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "kyrel_test.h"
#include "writes_helpers.h"

using namespace kyrel_test;
using namespace writes_test;
using namespace std::chrono_literals;

namespace {

struct CliCase {
    std::vector<std::string> args;
    int status;
    const char* err;  // expected stderr text ("" = none)
};

TEST(ServerCommandLine, ExitsWithoutListening) {
    const CliCase cases[] = {
        {{"--about"}, 0, ""},
        {{"--port", "9999", "--about"}, 0, ""},
        {{"--port", "0"}, 1, "invalid port: 0\n"},
        {{"--port", "65536"}, 1, "invalid port: 65536\n"},
        {{"--port", "abc"}, 1, "invalid port: abc\n"},
        {{"--port", "99999999999999999999"}, 1, "invalid port: 99999999999999999999\n"},
        {{"--port"}, 1, "--port requires a value\n"},
        {{"--verbose", "--about"}, 1, "unknown option: --verbose\n"},
    };
    for (const CliCase& c : cases) {
        std::string shown;
        for (auto& a : c.args) shown += a + " ";
        RunResult r = run_server_once(c.args);
        EXPECT_EQ(r.exit_status, c.status) << shown;
        EXPECT_EQ(r.err, c.err) << shown;
        if (c.status == 0) {
            EXPECT_FALSE(r.out.empty()) << "about text: " << shown;
        }
    }
}

TEST(ServerProcess, BannerIsFlushedAndTrailingGarbageInPortIsIgnored) {
    TestServer srv;
    int port = free_port();
    ASSERT_NE(port, 0);
    srv.set_port(port);
    srv.set_args({"--port", std::to_string(port) + "x"});
    srv.set_config("AUTO_TUNE=0\nCONNECTION_WORKERS=3\nREAD_WORKERS=2\nWAL_SYNC_EVERY=7\n");
    ASSERT_TRUE(srv.start()) << srv.last_error();
    // Standard output is a file here: the banner must not sit in a buffer.
    std::string out = srv.stdout_text();
    std::string prefix =
        "KyrelDB v5 tuned listening on 0.0.0.0:" + std::to_string(port) +
        " read_workers=2 write_workers=2 conn_workers=3 mem_limit=1073741824 bytes"
        " auto_vacuum=on auto_tune=off wal_sync_every=7 commit_group_wait_ms=2 cpus=";
    EXPECT_EQ(out.rfind(prefix, 0), 0u) << out;
    EXPECT_EQ(out.find('\n'), out.size() - 1) << "one banner line";
    EXPECT_EQ(srv.stop(), 0);
}

TEST(ServerProcess, CreatesDataDirectoryTree) {
    TestServer srv;
    ASSERT_TRUE(srv.start()) << srv.last_error();
    for (const char* d :
         {"/kyreldb_data/databases/default/tables", "/kyreldb_data/databases/config_db/tables"}) {
        struct stat st {};
        EXPECT_EQ(stat((srv.dir() + d).c_str(), &st), 0) << d;
    }
}

// SIGTERM and SIGINT end the server with status 0 promptly, also while
// clients hold idle connections (their workers are blocked reading) and
// while more connections wait in the queue than there are workers.
TEST(ServerProcess, TerminationSignalStopsPromptlyWithIdleConnections) {
    for (int sig : {SIGTERM, SIGINT}) {
        TestServer srv;
        srv.set_config("CONNECTION_WORKERS=2\n");
        ASSERT_TRUE(srv.start()) << srv.last_error();
        std::vector<std::unique_ptr<FrameClient>> idle;
        for (int i = 0; i < 4; i++) {
            idle.push_back(std::make_unique<FrameClient>());
            ASSERT_TRUE(idle.back()->connect(srv.port()));
        }
        std::string reply;
        ASSERT_TRUE(idle[0]->request(R"({"action":"ping"})", &reply));  // a served, now idle one
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(srv.stop(sig, 3s), 0) << "signal " << sig << "\n" << srv.stderr_text();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
    }
}

TEST(ServerProcess, RestartInSameDirectory) {
    TestServer srv;
    ASSERT_TRUE(srv.start()) << srv.last_error();
    int port = srv.port();
    ASSERT_TRUE(srv.restart()) << srv.last_error();
    EXPECT_EQ(srv.port(), port);
    FrameClient c;
    ASSERT_TRUE(c.connect(srv.port()));
    std::string reply;
    ASSERT_TRUE(c.request(R"({"action":"ping"})", &reply));
    EXPECT_EQ(reply, R"({"ok":true,"pong":true})");
}

// One data directory has one server. A second one started on it prints one
// line naming the directory and exits 1 before it reads or writes anything
// there or listens; the first goes on serving, and once it has ended, even by SIGKILL,
// the directory opens again with everything acknowledged.
TEST(ServerProcess, SecondServerOnABusyDataDirectoryExits) {
    TestServer srv;
    srv.set_config("AUTO_TUNE=OFF\nAUTO_VACUUM=OFF\nCONNECTION_WORKERS=2\n");
    ASSERT_TRUE(srv.start()) << srv.last_error();
    Client c;
    ASSERT_TRUE(c.connect(srv.port()));
    ASSERT_NO_FATAL_FAILURE(login_admin_as(c, "lock test pw"));
    ASSERT_TRUE(ok(c.sql("CREATE TABLE t (id int PRIMARY KEY, v int)")));
    ASSERT_TRUE(ok(c.sql("INSERT INTO t VALUES (1, 10)")));

    char data_dir[PATH_MAX];
    ASSERT_NE(realpath((srv.dir() + "/kyreldb_data").c_str(), data_dir), nullptr);
    const int other_port = free_port();
    for (int attempt = 0; attempt < 2; attempt++) {
        RunResult second = run_server_in(srv.dir(), {"--port", std::to_string(other_port)});
        EXPECT_EQ(second.exit_status, 1);
        EXPECT_EQ(second.err,
                  "data directory " + std::string(data_dir) + " is in use by another server\n");
        EXPECT_EQ(second.out, "") << "a second server printed its banner";
    }

    ASSERT_TRUE(ok(c.sql("INSERT INTO t VALUES (2, 20)")));
    srv.kill9();
    ASSERT_TRUE(srv.start()) << srv.last_error();
    Client again;
    ASSERT_TRUE(again.connect(srv.port()));
    ASSERT_NO_FATAL_FAILURE(login_admin_as(again, "lock test pw"));
    EXPECT_EQ(json_get(again.sql("SELECT * FROM t ORDER BY id"), "rows"),
              R"([{"id":1,"v":10},{"id":2,"v":20}])");
    EXPECT_EQ(srv.stop(), 0);
}

}  // namespace
