// Request authorisation over the wire: a matrix of users (no grant, READ,
// WRITE, FULL, administrator) against every class of request, refusals
// before login, USE rules and user management from a non-local peer.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "kyrel_test.h"
#include "writes_helpers.h"

using namespace kyrel_test;
using namespace writes_test;

namespace {

constexpr const char* kPassword = "pw-ok";

class Auth : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        srv_ = new TestServer();
        srv_->set_config("AUTO_TUNE=OFF\nAUTO_VACUUM=OFF\nCONNECTION_WORKERS=8\n");
        ASSERT_TRUE(srv_->start()) << srv_->last_error();
        Client a;
        ASSERT_TRUE(a.connect(srv_->port()));
        ASSERT_TRUE(ok(a.login("admin", "lumen406")));
        ASSERT_TRUE(ok(a.sql(std::string("CHANGE PASSWORD '") + kPassword + "'")));
        for (const char* s :
             {"CREATE DATABASE shop", "CREATE DATABASE other", "USE shop",
              "CREATE TABLE t (id int PRIMARY KEY, v int)", "INSERT INTO t VALUES (1, 1)"}) {
            std::string r = a.sql(s);
            ASSERT_TRUE(ok(r)) << s << " -> " << r;
        }
        for (const char* u : {"nora", "rita", "walt", "fred"}) {
            ASSERT_TRUE(
                ok(a.sql(std::string("CREATE USER ") + u + " IDENTIFIED BY '" + kPassword + "'")));
        }
        for (const char* g : {"GRANT READ ON other TO nora", "GRANT READ ON shop TO rita",
                              "GRANT WRITE ON shop TO walt", "GRANT FULL ON shop TO fred"}) {
            std::string r = a.sql(g);
            ASSERT_TRUE(ok(r)) << g << " -> " << r;
        }
    }
    static void TearDownTestSuite() {
        delete srv_;
        srv_ = nullptr;
    }
    static TestServer* srv_;
};

TestServer* Auth::srv_ = nullptr;

enum Who { NONE_USER, READ_USER, WRITE_USER, FULL_USER, ADMIN, kWho };
const char* const kNames[kWho] = {"nora", "rita", "walt", "fred", "admin"};

struct Row {
    const char* label;
    std::string request;  // %u is replaced by the user's name
    bool allowed[kWho];   // NONE, READ, WRITE, FULL, admin
};

std::string fill(std::string text, const std::string& user) {
    for (size_t p; (p = text.find("%u")) != std::string::npos;) text.replace(p, 2, user);
    return text;
}

std::string sql_req(const std::string& s) { return "{\"action\":\"sql\",\"sql\":" + jstr(s) + "}"; }

TEST_F(Auth, MatrixOfUsersAndRequestKinds) {
    const std::vector<Row> rows = {
        {"show databases", sql_req("SHOW DATABASES"), {1, 1, 1, 1, 1}},
        {"show tables", sql_req("SHOW TABLES"), {0, 1, 0, 1, 1}},
        {"describe", R"J({"action":"show_table","table":"t"})J", {0, 1, 0, 1, 1}},
        {"select", sql_req("SELECT * FROM t"), {0, 1, 0, 1, 1}},
        {"cursor", R"J({"action":"cursor_fetch","cursor_id":1})J", {0, 1, 0, 1, 1}},
        {"insert", sql_req("INSERT INTO t VALUES (%u_1, 1)"), {0, 0, 1, 1, 1}},
        {"insert action",
         R"J({"action":"insert","table":"t","data":{"id":5,"v":1}})J",
         {0, 0, 1, 1, 1}},
        {"update", sql_req("UPDATE t SET v = 2 WHERE id = 1"), {0, 0, 1, 1, 1}},
        {"delete", sql_req("DELETE FROM t WHERE id = 777"), {0, 0, 1, 1, 1}},
        {"create table", sql_req("CREATE TABLE t_%u (id int PRIMARY KEY)"), {0, 0, 0, 1, 1}},
        {"drop table", sql_req("DROP TABLE t_x"), {0, 0, 0, 1, 1}},
        {"create index", sql_req("CREATE INDEX i ON t (v)"), {0, 0, 0, 1, 1}},
        {"call", sql_req("CALL p()"), {0, 1, 1, 1, 1}},
        {"create database", sql_req("CREATE DATABASE db_%u"), {0, 0, 0, 0, 1}},
        {"stats", R"J({"action":"show_stats"})J", {0, 0, 0, 0, 1}},
        {"wal report", sql_req("SHOW WAL"), {0, 0, 0, 0, 1}},
        {"create user", sql_req("CREATE USER x_%u IDENTIFIED BY 'p'"), {0, 0, 0, 0, 1}},
        {"grant", sql_req("GRANT READ ON shop TO nora"), {0, 0, 0, 0, 1}},
    };
    for (int who = 0; who < kWho; who++) {
        const std::string user = kNames[who];
        Client c;
        ASSERT_TRUE(c.connect(srv_->port()));
        c.login_ready(user, kPassword);
        // nora has no grant on shop, so she stays in "default", where she
        // has none either.
        std::string use = c.sql("USE shop");
        if (who == NONE_USER)
            EXPECT_EQ(error_of(use), "permission denied");
        else
            ASSERT_TRUE(ok(use)) << user << ": " << use;
        for (const Row& row : rows) {
            std::string req = fill(row.request, user);
            std::string r = c.ask(req);
            if (row.allowed[who])
                EXPECT_NE(error_of(r), "permission denied") << user << " / " << row.label;
            else
                EXPECT_EQ(error_of(r), "permission denied") << user << " / " << row.label;
        }
    }
}

TEST_F(Auth, EverythingButPingAndLoginNeedsALogin) {
    Client c;
    ASSERT_TRUE(c.connect(srv_->port()));
    for (const std::string& req :
         {sql_req("SHOW DATABASES"), sql_req("USE shop"), sql_req("SELECT * FROM t"),
          sql_req("INSERT INTO t VALUES (9, 9)"), sql_req("CHANGE PASSWORD 'x'"),
          sql_req("CREATE USER z IDENTIFIED BY 'p'"), std::string(R"J({"action":"show_stats"})J")})
        EXPECT_EQ(error_of(c.ask(req)), "authentication required") << req;
    EXPECT_TRUE(ok(c.ask(R"J({"action":"ping"})J")));
    EXPECT_EQ(error_of(c.login("nora", "bad")), "invalid username or password");
}

TEST_F(Auth, UseRules) {
    for (const char* user : {"admin", "rita"}) {
        Client c;
        ASSERT_TRUE(c.connect(srv_->port()));
        c.login_ready(user, kPassword);
        EXPECT_EQ(error_of(c.sql("USE nowhere")), "database not found") << user;
        EXPECT_EQ(error_of(c.sql("USE bad/name")), "invalid database name") << user;
        std::string r = c.sql("USE SHOP");
        ASSERT_TRUE(ok(r)) << user << ": " << r;
        EXPECT_EQ(json_get(r, "database"), "shop");
    }
    Client c;
    ASSERT_TRUE(c.connect(srv_->port()));
    c.login_ready("rita", kPassword);
    EXPECT_EQ(error_of(c.sql("USE other")), "permission denied");
}

TEST_F(Auth, UserManagementOnlyFromLocalhost) {
    Client remote_admin;
    ASSERT_TRUE(remote_admin.connect_from(srv_->port(), "127.0.0.2"));
    remote_admin.login_ready("admin", kPassword);
    EXPECT_EQ(error_of(remote_admin.sql("CREATE USER remote IDENTIFIED BY 'p'")),
              "user management is allowed only from localhost");
    EXPECT_EQ(
        error_of(remote_admin.ask(
            R"J({"action":"grant_role","username":"nora","database":"shop","role":"FULL"})J")),
        "user management is allowed only from localhost");
    ASSERT_TRUE(ok(remote_admin.sql("USE shop")));
    std::string r = remote_admin.sql("CREATE TABLE remote_t (id int PRIMARY KEY)");
    EXPECT_TRUE(ok(r)) << r;

    Client remote_user;
    ASSERT_TRUE(remote_user.connect_from(srv_->port(), "127.0.0.2"));
    remote_user.login_ready("fred", kPassword);
    EXPECT_EQ(error_of(remote_user.sql("CREATE USER x IDENTIFIED BY 'p'")), "permission denied");
}

}  // namespace

// A forced change that "changes" the password to the one in use is refused
// in both request forms; the known password keeps asking for a change.
TEST(ForcedPasswordChange, KeepingTheCurrentPasswordIsRefused) {
    TestServer srv;
    srv.set_config("AUTO_TUNE=OFF\nAUTO_VACUUM=OFF\nCONNECTION_WORKERS=2\n");
    ASSERT_TRUE(srv.start()) << srv.last_error();
    Client c;
    ASSERT_TRUE(c.connect(srv.port()));
    ASSERT_TRUE(ok(c.login("admin", "lumen406")));
    for (const std::string& req :
         {std::string(R"J({"action":"change_password","new_password":"lumen406"})J"),
          sql_req("CHANGE PASSWORD 'lumen406'")}) {
        EXPECT_EQ(error_of(c.ask(req)), "new password must differ from the current password")
            << req;
    }
    EXPECT_EQ(error_of(c.sql("SHOW DATABASES")), "password must be changed before using KyrelDB");
    ASSERT_TRUE(srv.restart()) << srv.last_error();

    Client again;
    ASSERT_TRUE(again.connect(srv.port()));
    std::string r = again.login("admin", "lumen406");
    ASSERT_TRUE(ok(r)) << r;
    EXPECT_EQ(json_get(r, "must_change_password"), "true") << r;
    r = again.sql("CHANGE PASSWORD 'a new one'");
    EXPECT_TRUE(ok(r)) << r;
    EXPECT_TRUE(ok(again.sql("SHOW DATABASES")));
}
