// Rows of the system tables of config_db (users, grants, the procedure
// catalog) changed by hand: the administrator on a local connection may, and
// what the server builds on those rows follows (login of a hand-written user,
// the default administrator recreated at start, the digest check of a
// procedure); a user granted FULL on config_db and the administrator from
// another address are refused, and nothing changes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kyrel_test.h"
#include "test_netns.h"
#include "writes_helpers.h"

using namespace kyrel_test;
using namespace writes_test;

namespace {

constexpr const char* kPassword = "pw-system";

std::string sql_request(const std::string& s) {
    return "{\"action\":\"sql\",\"sql\":" + jstr(s) + "}";
}

// Every kind of row change, on each system table, by SQL and by JSON action.
const std::vector<std::string> kChanges = {
    sql_request("INSERT INTO kyreldb_users VALUES ('mallory', 'x', false, true, 0, 0)"),
    sql_request("UPDATE kyreldb_users SET active = false WHERE username = 'admin'"),
    sql_request("DELETE FROM kyreldb_users WHERE username = 'cfg'"),
    sql_request("INSERT INTO kyreldb_user_roles VALUES ('cfg@default', 'cfg', 'default', 'FULL')"),
    sql_request("UPDATE kyreldb_user_roles SET role = 'FULL' WHERE grant_key = 'rd@default'"),
    sql_request("DELETE FROM kyreldb_user_roles WHERE grant_key = 'cfg@config_db'"),
    sql_request(
        "UPDATE kyreldb_stored_procedures SET enabled = false WHERE proc_key = 'default.p'"),
    sql_request("DELETE FROM kyreldb_stored_procedures WHERE proc_key = 'default.p'"),
    R"J({"action":"insert","table":"kyreldb_users","data":{"username":"mallory","password_hash":"x","active":true}})J",
    R"J({"action":"batch_insert","table":"kyreldb_user_roles","rows":[{"grant_key":"cfg@default","username":"cfg","database_name":"default","role":"FULL"}]})J",
};

class SystemRows : public ::testing::Test {
  protected:
    void SetUp() override {
        srv_.set_config("AUTO_TUNE=OFF\nAUTO_VACUUM=OFF\nCONNECTION_WORKERS=6\n");
        ASSERT_TRUE(srv_.start()) << srv_.last_error();
        ASSERT_TRUE(admin_.connect(srv_.port()));
        login_admin_as(admin_, kPassword);
        for (const std::string& s : std::vector<std::string>{
                 "CREATE TABLE t (id int PRIMARY KEY)",
                 "CREATE PROCEDURE p() ON t AS $$ SELECT * FROM t $$",
                 std::string("CREATE USER cfg IDENTIFIED BY '") + kPassword + "'",
                 std::string("CREATE USER rd IDENTIFIED BY '") + kPassword + "'",
                 "GRANT FULL ON config_db TO cfg", "GRANT READ ON default TO rd"}) {
            std::string r = admin_.sql(s);
            ASSERT_TRUE(ok(r)) << s << " -> " << r;
        }
    }
    // The three tables as the administrator reads them (without the login
    // times, which every login changes).
    std::string state() {
        std::string out;
        for (const char* s :
             {"USE config_db",
              "SELECT username, password_hash, must_change_password, active FROM kyreldb_users",
              "SELECT * FROM kyreldb_user_roles",
              "SELECT proc_key, body_sha256, enabled FROM kyreldb_stored_procedures",
              "USE default"}) {
            std::string r = admin_.sql(s);
            EXPECT_TRUE(ok(r)) << s << " -> " << r;
            out += std::string(s) + " -> " + r + "\n";
        }
        return out;
    }
    // Every change in kChanges is refused to c, and no row changed.
    void expect_all_refused(Client& c, const char* who) {
        const std::string before = state();
        ASSERT_TRUE(ok(c.sql("USE config_db")));
        for (const std::string& req : kChanges)
            EXPECT_EQ(error_of(c.ask(req)), "cannot change system table") << who << ": " << req;
        // Reading stays as the role allows.
        std::string r = c.sql("SELECT username FROM kyreldb_users WHERE username = 'rd'");
        EXPECT_TRUE(ok(r)) << who << ": " << r;
        EXPECT_EQ(state(), before) << who;
    }
    std::string login_error(const std::string& user, const std::string& password) {
        Client c;
        EXPECT_TRUE(c.connect(srv_.port()));
        return error_of(c.login(user, password));
    }

    TestServer srv_;
    Client admin_;
};

TEST_F(SystemRows, LocalAdministratorChangesThemAndTheServerFollows) {
    ASSERT_TRUE(ok(admin_.sql("USE config_db")));
    // Hand-written users: one without a password hash, one inactive (by
    // JSON action), and an existing user made inactive.
    for (
        const std::string& req :
        {sql_request("INSERT INTO kyreldb_users (username, active) VALUES ('nohash', true)"),
         std::string(
             R"J({"action":"insert","table":"kyreldb_users","data":{"username":"sleepy","password_hash":"00","must_change_password":false,"active":false,"created_at":0,"last_login_at":0}})J"),
         sql_request("UPDATE kyreldb_users SET active = false WHERE username = 'rd'"),
         // The catalog row no longer matches the procedure's file.
         sql_request("UPDATE kyreldb_stored_procedures SET body_sha256 = '" + std::string(64, '0') +
                     "' WHERE proc_key = 'default.p'"),
         // A grant taken back by its row.
         sql_request("DELETE FROM kyreldb_user_roles WHERE grant_key = 'cfg@config_db'")}) {
        std::string r = admin_.ask(req);
        EXPECT_TRUE(ok(r)) << req << " -> " << r;
    }
    auto check_logins = [&] {
        EXPECT_EQ(login_error("nohash", "any"), "corrupt user record");
        EXPECT_EQ(login_error("sleepy", "any"), "user is inactive");
        EXPECT_EQ(login_error("rd", kPassword), "user is inactive");
        Client cfg;
        ASSERT_TRUE(cfg.connect(srv_.port()));
        cfg.login_ready("cfg", kPassword);
        EXPECT_EQ(error_of(cfg.sql("USE config_db")), "permission denied");
    };
    check_logins();
    ASSERT_TRUE(ok(admin_.sql("USE default")));
    EXPECT_EQ(error_of(admin_.sql("CALL p()")), "procedure file hash mismatch");
    std::string r = admin_.sql("SHOW PROCEDURES");
    EXPECT_NE(r.find("\"status\":\"HASH_MISMATCH\""), std::string::npos) << r;

    // The administrator's own row deleted: it is back with the default
    // password at the next start; the hand-written rows are kept.
    ASSERT_TRUE(ok(admin_.sql("USE config_db")));
    r = admin_.sql("DELETE FROM kyreldb_users WHERE username = 'admin'");
    EXPECT_EQ(r, R"({"ok":true,"deleted":1})");
    EXPECT_EQ(login_error("admin", kPassword), "invalid username or password");
    ASSERT_TRUE(srv_.restart()) << srv_.last_error();
    Client again;
    ASSERT_TRUE(again.connect(srv_.port()));
    r = again.login("admin", "lumen406");
    ASSERT_TRUE(ok(r)) << r;
    EXPECT_EQ(json_get(r, "must_change_password"), "true") << r;
    check_logins();
}

TEST_F(SystemRows, AGrantOnConfigDbChangesNone) {
    Client cfg;
    ASSERT_TRUE(cfg.connect(srv_.port()));
    cfg.login_ready("cfg", kPassword);
    expect_all_refused(cfg, "FULL on config_db");
}

TEST_F(SystemRows, TheAdministratorFromAnotherAddressChangesNone) {
    // Another loopback address is not the local host's own.
    Client other;
    ASSERT_TRUE(other.connect_from(srv_.port(), "127.0.0.2"));
    other.login_ready("admin", kPassword);
    expect_all_refused(other, "admin from 127.0.0.2");

    // A peer in a network namespace of the test's own.
    TestNetns ns;
    if (!ns.ok()) GTEST_SKIP() << ns.why();
    Client remote;
    ASSERT_TRUE(remote.adopt(ns.connect_inside(ns.host_address(), srv_.port())))
        << "no connection from " << ns.inner_address() << " to " << ns.host_address();
    remote.login_ready("admin", kPassword);
    EXPECT_EQ(error_of(remote.sql("CREATE USER x IDENTIFIED BY 'p'")),
              "user management is allowed only from localhost");
    expect_all_refused(remote, "admin from a network namespace");
}

}  // namespace
