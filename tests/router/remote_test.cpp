// The router seen from another host: a client in a network namespace of the
// test's own, reaching the router over a veth pair. The default file keeps
// the router on this host; user and database management needs a router
// administrator on this host.
#include <gtest/gtest.h>

#include <memory>

#include "router_harness.h"

using namespace router_test;

namespace {

std::string login_json(const std::string& user, const std::string& pw) {
    return R"({"action":"login","username":")" + user + R"(","password":")" + pw + R"("})";
}

TEST(RouterRemoteClient, DefaultFileListensOnThisHostOnly) {
    TestNetns ns;
    if (!ns.ok()) GTEST_SKIP() << ns.reason();
    TempDir dir;
    RouterProcess router(dir, free_port());
    ASSERT_TRUE(router.start()) << router.stderr_text();
    EXPECT_NE(read_file(router.config_path()).find("\nLISTEN_HOST=127.0.0.1\n"), std::string::npos);
    int fd = ns.connect_from_inside(router.port());
    FrameClient remote;
    if (fd >= 0) {
        remote.adopt(fd);
        ADD_FAILURE() << "another host reached the router: "
                      << remote.req(login_json("admin", "lumen406"));
    }
    FrameClient local;
    ASSERT_TRUE(local.connect(router.port()));
    EXPECT_EQ(json_get(local.req(login_json("admin", "lumen406")), "ok"), "true");
    EXPECT_EQ(router.stop(), 0);
}

TEST(RouterRemoteClient, UserManagementNeedsALocalRouterAdministrator) {
    TestNetns ns;
    if (!ns.ok()) GTEST_SKIP() << ns.reason();
    TempDir dir;
    FakeBackend backend("main");
    write_file(dir.file("kyreldb_router.config"),
               "LISTEN_HOST=0.0.0.0\nBACKEND main 127.0.0.1 " + std::to_string(backend.port()) +
                   "\nDATABASE default main\nADMIN admin apw\nGRANT admin * FULL\n");
    RouterProcess router(dir, free_port());
    ASSERT_TRUE(router.start()) << router.stderr_text();
    int fd = ns.connect_from_inside(router.port());
    ASSERT_GE(fd, 0) << "no connection from the namespace to " << ns.host_address();
    FrameClient remote, local;
    remote.adopt(fd);
    ASSERT_TRUE(local.connect(router.port()));
    ASSERT_EQ(json_get(remote.req(login_json("admin", "apw")), "ok"), "true");
    ASSERT_EQ(json_get(local.req(login_json("admin", "apw")), "ok"), "true");

    const char* const requests[] = {
        R"({"action":"sql","sql":"CREATE USER spy IDENTIFIED BY 'pw'"})",
        R"({"action":"execute","sql":"grant\tFULL ON config_db TO spy"})",
        R"({"action":"create_user","username":"spy","password":"pw"})",
        R"({"action":"grant_role","username":"spy","database":"config_db","role":"FULL"})",
        R"({"action":"create_database","database":"loot"})",
    };
    for (const char* req : requests) {
        EXPECT_EQ(json_get(remote.req(req), "error"),
                  "user and database management through router is allowed only from localhost")
            << req;
        EXPECT_EQ(json_get(local.req(req), "backend"), "main") << req;
    }
    // Every request the backend saw came from the local administrator.
    int management = 0;
    for (const std::string& r : backend.requests())
        if (r.find("spy") != std::string::npos || r.find("loot") != std::string::npos) management++;
    EXPECT_EQ(management, 5);
    // Nothing else is held back from the remote administrator.
    EXPECT_EQ(json_get(remote.req(R"({"action":"sql","sql":"SHOW WAL"})"), "backend"), "main");
    EXPECT_EQ(router.stop(), 0);
}

}  // namespace
