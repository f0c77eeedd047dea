// The real router in front of a real server: router users log in with their
// router passwords, queries reach the routed database on the server, a READ
// grant refuses writes before they reach it, and pooled backend connections
// serve each session's own database.
#include <gtest/gtest.h>

#include <string>

#include "kyrel_test.h"
#include "router_harness.h"

namespace {

std::string login_json(const std::string& user, const std::string& pw) {
    return R"({"action":"login","username":")" + user + R"(","password":")" + pw + R"("})";
}
std::string sql_json(const std::string& sql) {
    return R"({"action":"sql","sql":")" + sql + R"("})";
}

const char kBackendPassword[] = "backend-pw";

// Prepares the server directly: admin's forced change, a database "shop"
// with one row and a table only the default database has.
void prepare_server(int port) {
    kyrel_test::FrameClient c;
    ASSERT_TRUE(c.connect(port));
    std::string r;
    auto ask = [&](const std::string& json) {
        EXPECT_TRUE(c.request(json, &r)) << json;
        EXPECT_EQ(kyrel_test::json_get(r, "ok"), "true") << json << "\n" << r;
    };
    ask(login_json("admin", "lumen406"));
    ask(std::string(R"({"action":"change_password","new_password":")") + kBackendPassword + "\"}");
    ask(sql_json("CREATE TABLE notes (id int PRIMARY KEY, body string)"));
    ask(sql_json("INSERT INTO notes (id, body) VALUES (1, 'default only')"));
    ask(sql_json("CREATE DATABASE shop"));
    ask(sql_json("USE shop"));
    ask(sql_json("CREATE TABLE stock (id int PRIMARY KEY, item string)"));
    ask(sql_json("INSERT INTO stock (id, item) VALUES (1, 'bolt')"));
}

TEST(RouterLiveBackend, RoutesLoginsQueriesAndGrants) {
    kyrel_test::TestServer srv;
    ASSERT_TRUE(srv.start()) << srv.last_error();
    ASSERT_NO_FATAL_FAILURE(prepare_server(srv.port()));

    router_test::TempDir dir;
    const std::string backend_login = std::string(" admin ") + kBackendPassword + "\n";
    router_test::write_file(dir.file("kyreldb_router.config"),
                            "LISTEN_HOST=127.0.0.1\n"
                            "BACKEND main 127.0.0.1 " +
                                std::to_string(srv.port()) +
                                "\n"
                                "DATABASE default main\n"
                                "DATABASE shop main\n"
                                "ADMIN boss boss-pw" +
                                backend_login + "USER clerk clerk-pw" + backend_login +
                                "GRANT clerk shop READ\n");
    router_test::RouterProcess router(dir, router_test::free_port());
    ASSERT_TRUE(router.start()) << router.stderr_text();

    router_test::FrameClient clerk;
    ASSERT_TRUE(clerk.connect(router.port()));
    EXPECT_EQ(router_test::json_get(clerk.req(login_json("clerk", kBackendPassword)), "ok"),
              "false")
        << "the backend password is not the router password";
    std::string r = clerk.req(login_json("clerk", "clerk-pw"));
    ASSERT_EQ(router_test::json_get(r, "ok"), "true") << r;
    EXPECT_EQ(router_test::json_get(r, "current_db"), "default") << r;

    r = clerk.req(sql_json("SELECT * FROM notes"));
    EXPECT_EQ(router_test::json_get(r, "error"), "permission denied for current database") << r;
    r = clerk.req(sql_json("USE shop"));
    ASSERT_EQ(router_test::json_get(r, "ok"), "true") << r;
    r = clerk.req(sql_json("SELECT id, item FROM stock ORDER BY id"));
    EXPECT_EQ(r, R"({"ok":true,"table":"stock","rows":[{"id":1,"item":"bolt"}]})");

    // READ refuses every kind of write, and none reaches the server.
    for (const char* sql :
         {"INSERT INTO stock (id, item) VALUES (2, 'nut')",
          "UPDATE stock SET item = 'gone' WHERE id = 1", "DELETE FROM stock WHERE id = 1",
          "CREATE TABLE extra (id int PRIMARY KEY)"}) {
        r = clerk.req(sql_json(sql));
        EXPECT_EQ(router_test::json_get(r, "ok"), "false") << sql << "\n" << r;
        EXPECT_EQ(router_test::json_get(r, "error"), "permission denied for current database")
            << sql;
    }
    r = clerk.req(sql_json("SELECT id, item FROM stock ORDER BY id"));
    EXPECT_EQ(r, R"({"ok":true,"table":"stock","rows":[{"id":1,"item":"bolt"}]})");
    clerk.close();

    // The administrator writes through the router; its default database is
    // served even by a backend connection the clerk left at "shop".
    router_test::FrameClient boss;
    ASSERT_TRUE(boss.connect(router.port()));
    ASSERT_EQ(router_test::json_get(boss.req(login_json("boss", "boss-pw")), "ok"), "true");
    EXPECT_TRUE(router_test::wait_for([&] {
        return boss.req(R"({"action":"router_pools"})").find("\"idle_connections\":1") !=
               std::string::npos;
    })) << "the clerk's backend connection is pooled";
    r = boss.req(sql_json("SELECT body FROM notes"));
    EXPECT_EQ(r, R"({"ok":true,"table":"notes","rows":[{"body":"default only"}]})");
    r = boss.req(R"({"action":"router_pools"})");
    EXPECT_NE(r.find("\"reused\":1"), std::string::npos) << r;
    ASSERT_EQ(router_test::json_get(boss.req(sql_json("USE shop")), "ok"), "true");
    r = boss.req(sql_json("INSERT INTO stock (id, item) VALUES (2, 'nut')"));
    EXPECT_EQ(router_test::json_get(r, "ok"), "true") << r;

    // The write is on the server, in shop.
    kyrel_test::FrameClient direct;
    ASSERT_TRUE(direct.connect(srv.port()));
    ASSERT_TRUE(direct.request(login_json("admin", kBackendPassword), &r));
    ASSERT_EQ(kyrel_test::json_get(r, "ok"), "true") << r;
    ASSERT_TRUE(direct.request(sql_json("USE shop"), &r));
    ASSERT_TRUE(direct.request(sql_json("SELECT item FROM stock ORDER BY id"), &r));
    EXPECT_EQ(r, R"({"ok":true,"table":"stock","rows":[{"item":"bolt"},{"item":"nut"}]})");

    boss.close();
    EXPECT_EQ(router.stop(), 0) << router.stderr_text();
    EXPECT_EQ(srv.stop(), 0) << srv.stderr_text();
}

}  // namespace
