// The router process: command line, default configuration file, SIGHUP and
// in-band reload, SIGTERM stop, and login throttling by address and user.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstring>

#include "router_harness.h"

using namespace router_test;

namespace {

std::string login_json(const std::string& user, const std::string& pw) {
    return R"({"action":"login","username":")" + user + R"(","password":")" + pw + R"("})";
}

std::string base_config(const FakeBackend& b, const std::string& extra) {
    return "LISTEN_HOST=127.0.0.1\n" + extra + "BACKEND main 127.0.0.1 " +
           std::to_string(b.port()) +
           "\nDATABASE default main\nADMIN admin apw\nUSER reader rpw\nGRANT reader default READ\n";
}

TEST(RouterCommandLine, OptionsAndErrors) {
    TempDir dir;
    struct Case {
        std::vector<std::string> args;
        int status;
        const char *out, *err;
    };
    const Case cases[] = {
        {{"--about"},
         0,
         "KyrelDB Router 1.0 R8 Config Health Locking\nKyrelDB database router / gateway\n",
         ""},
        {{"--config"}, 1, "", "--config requires a file path\n"},
        {{"--port"}, 1, "", "--port requires a value\n"},
        {{"--port", "0"}, 1, "", "invalid port\n"},
        {{"--port", "70000"}, 1, "", "invalid port\n"},
        {{"--bogus"}, 1, "", "unknown option: --bogus\nUsage: "},
        {{"--config", "/nonexistent/dir/r.config"},
         1,
         "",
         "config error: cannot open config file: /nonexistent/dir/r.config\n"},
    };
    for (const Case& c : cases) {
        RunResult r = run_router_once(dir, c.args);
        EXPECT_EQ(r.exit_status, c.status) << c.args[0];
        EXPECT_EQ(r.out, c.out) << c.args[0];
        EXPECT_EQ(r.err.substr(0, strlen(c.err)), c.err) << c.args[0];
    }
    RunResult help = run_router_once(dir, {"-h"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_NE(help.out.find("[--config kyreldb_router.config] [--port 9292] [--about]"),
              std::string::npos);
}

TEST(RouterProcessTest, WritesDefaultConfigAndStopsOnSigterm) {
    TempDir dir;
    RouterProcess router(dir, free_port());
    ASSERT_TRUE(router.start()) << router.stderr_text();
    struct stat st;
    ASSERT_EQ(stat(router.config_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(read_file(router.config_path()).find("BACKEND main 127.0.0.1 9191\n"),
              std::string::npos);
    EXPECT_TRUE(wait_for([&] {
        return router.stdout_text().find("Backends: 1, Databases: 1, Users: 1\n") !=
               std::string::npos;
    }));
    EXPECT_NE(router.stdout_text().find(
                  "KyrelDB Router 1.0 R8 Config Health Locking listening on 127.0.0.1:" +
                  std::to_string(router.port())),
              std::string::npos);
    FrameClient c;
    ASSERT_TRUE(c.connect(router.port()));
    EXPECT_EQ(json_get(c.req(login_json("admin", "lumen406")), "ok"), "true");
    EXPECT_EQ(router.stop(), 0);
}

TEST(RouterProcessTest, ReloadsOnSighupAndInBand) {
    TempDir dir;
    FakeBackend b("main");
    write_file(dir.file("kyreldb_router.config"), base_config(b, ""));
    RouterProcess router(dir, free_port());
    ASSERT_TRUE(router.start()) << router.stderr_text();
    FrameClient reader;
    ASSERT_TRUE(reader.connect(router.port()));
    ASSERT_EQ(json_get(reader.req(login_json("reader", "rpw")), "ok"), "true");
    ASSERT_EQ(json_get(reader.req(R"({"action":"sql","sql":"SELECT 1"})"), "ok"), "true");

    // Remove the reader and try to move the listener; SIGHUP reloads.
    write_file(
        router.config_path(),
        "LISTEN_PORT=1234\n" + base_config(b, "").substr(0, base_config(b, "").find("USER")));
    router.signal(SIGHUP);
    ASSERT_TRUE(wait_for([&] {
        return router.stderr_text().find("router config reloaded") != std::string::npos;
    })) << router.stderr_text();
    std::string log = router.stderr_text();
    EXPECT_NE(log.find("\"config_generation\":2"), std::string::npos) << log;
    EXPECT_NE(log.find("\"listen_change_ignored\":true,\"ignored_listen_host\":\"\",\"ignored_"
                       "listen_port\":1234"),
              std::string::npos)
        << log;
    EXPECT_EQ(json_get(reader.req(R"({"action":"ping"})"), "pong"), "true");
    EXPECT_EQ(json_get(reader.req(R"({"action":"sql","sql":"SELECT 1"})"), "error"),
              "router user no longer exists after config reload");
    EXPECT_EQ(json_get(reader.req(R"({"action":"sql","sql":"SELECT 1"})"), "error"),
              "not authenticated");

    // Still listening on the old port; an administrator reloads in band.
    FrameClient admin;
    ASSERT_TRUE(admin.connect(router.port()));
    ASSERT_EQ(json_get(admin.req(login_json("admin", "apw")), "ok"), "true");
    write_file(router.config_path(), base_config(b, "MAX_CLIENTS=7\n"));
    std::string r = admin.req(R"({"action":"sql","sql":"Router Reload;"})");
    EXPECT_EQ(json_get(r, "config_generation"), "3") << r;
    EXPECT_NE(r.find("\"new\":{\"backends\":1,\"databases\":1,\"users\":2,\"grants\":1}"),
              std::string::npos)
        << r;
    EXPECT_EQ(json_get(admin.req(R"({"action":"router_clients"})"), "max_clients"), "7");
    // A blank before ';' is not a router statement: forwarded as FULL.
    EXPECT_EQ(json_get(admin.req(R"({"action":"sql","sql":"ROUTER RELOAD ;"})"), "backend"),
              "main");
    write_file(router.config_path(), "garbage line\n");
    EXPECT_EQ(json_get(admin.req(R"({"action":"reload_config"})"), "error"),
              "router config reload failed: no BACKEND entries configured");
    EXPECT_EQ(router.stop(), 0);
}

TEST(RouterProcessTest, ThrottlesRepeatedFailedLogins) {
    TempDir dir;
    FakeBackend b("main");
    write_file(dir.file("kyreldb_router.config"),
               base_config(b, "AUTH_FAIL_THRESHOLD=3\nAUTH_THROTTLE_SECONDS=5\n"));
    RouterProcess router(dir, free_port());
    ASSERT_TRUE(router.start()) << router.stderr_text();
    FrameClient c;
    ASSERT_TRUE(c.connect(router.port()));
    // The user name counts without regard to case.
    for (const char* name : {"reader", "READER", "Reader"})
        EXPECT_EQ(json_get(c.req(login_json(name, "wrong")), "error"),
                  "invalid username or password");
    std::string r = c.req(login_json("reader", "rpw"));
    EXPECT_EQ(json_get(r, "error"), "authentication temporarily throttled") << r;
    int left = atoi(json_get(r, "retry_after_seconds").c_str());
    EXPECT_GE(left, 1);
    EXPECT_LE(left, 5);
    // Another connection from the same address is blocked too.
    FrameClient c2;
    ASSERT_TRUE(c2.connect(router.port()));
    EXPECT_EQ(json_get(c2.req(login_json("reader", "rpw")), "error"),
              "authentication temporarily throttled");
    // The block holds that user only: another user behind the same address
    // logs in.
    FrameClient other;
    ASSERT_TRUE(other.connect(router.port()));
    EXPECT_EQ(json_get(other.req(login_json("admin", "apw")), "ok"), "true");
    // Once the block ends a correct login clears the entry; the case the
    // client typed does not matter, the configured spelling is returned.
    ASSERT_TRUE(
        wait_for([&] { return json_get(c2.req(login_json("READER", "rpw")), "ok") == "true"; },
                 std::chrono::seconds(8)));
    EXPECT_EQ(
        c2.req(login_json("Reader", "rpw")),
        R"({"ok":true,"router":"KyrelDB Router 1.0 R8 Config Health Locking","username":"reader",)"
        R"("current_db":"default","must_change_password":false})");
    EXPECT_EQ(json_get(c2.req(login_json("reader", "wrong")), "error"),
              "invalid username or password");
    EXPECT_EQ(json_get(c2.req(login_json("reader", "rpw")), "ok"), "true")
        << "a new window after success";
    EXPECT_EQ(router.stop(), 0);
}

TEST(RouterProcessTest, ClosesConnectionAfterTooManyFailures) {
    TempDir dir;
    FakeBackend b("main");
    write_file(dir.file("kyreldb_router.config"),
               base_config(b, "AUTH_THROTTLE=OFF\nAUTH_MAX_FAILURES_PER_SESSION=3\n"));
    RouterProcess router(dir, free_port());
    ASSERT_TRUE(router.start()) << router.stderr_text();
    FrameClient c;
    ASSERT_TRUE(c.connect(router.port()));
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(json_get(c.req(login_json("reader", "bad")), "error"),
                  "invalid username or password");
    std::string reply;
    EXPECT_FALSE(c.request(R"({"action":"ping"})", &reply)) << "closed after the third failure";
    // Throttling is off: a new connection is not blocked.
    FrameClient c2;
    ASSERT_TRUE(c2.connect(router.port()));
    EXPECT_EQ(json_get(c2.req(login_json("reader", "rpw")), "ok"), "true");
    std::string stats;
    FrameClient admin;
    ASSERT_TRUE(admin.connect(router.port()));
    admin.req(login_json("admin", "apw"));
    stats = admin.req(R"({"action":"router_stats"})");
    EXPECT_EQ(json_get(stats, "auth_session_blocks"), "1") << stats;
    EXPECT_EQ(json_get(stats, "auth_throttled"), "0");
    EXPECT_EQ(router.stop(), 0);
}

}  // namespace
