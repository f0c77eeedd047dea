// Table names a client writes resolve in its own database only: every action
// and statement that takes a table name is sent with names that would reach
// another database or the system tables, by a READ user, a WRITE user and
// the administrator. Each is refused, and afterwards (as administrator)
// nothing was read, created or changed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kyrel_test.h"
#include "writes_helpers.h"

using namespace kyrel_test;
using namespace writes_test;

namespace {

constexpr const char* kPassword = "pw-names";

// Every place a table name can be written; {T} stands for the name.
const std::vector<std::string> kRequests = {
    R"J({"action":"insert","table":"{T}","data":{"grant_key":"walt@otherdb","username":"walt","database_name":"otherdb","role":"FULL"}})J",
    R"J({"action":"batch_insert","table":"{T}","rows":[{"grant_key":"walt@config_db","username":"walt","database_name":"config_db","role":"FULL"}]})J",
    R"J({"action":"insert","table":"{T}","data":{"id":9,"v":"planted"}})J",
    R"J({"action":"show_table","table":"{T}"})J",
    R"J({"action":"show_indexes","table":"{T}"})J",
    R"J({"action":"show_procedures","table":"{T}"})J",
    R"J({"action":"drop_table","table":"{T}"})J",
    R"J({"action":"drop_index","index":"by_v","table":"{T}"})J",
    R"J({"action":"create_table","table":"{T}","columns":[{"name":"id","type":"int","primary_key":"1"}]})J",
    R"J({"action":"create_procedure","procedure":"px","table":"{T}","body":"SELECT * FROM t"})J",
    R"J({"action":"create_procedure","procedure":"py","table":"t","body":"SELECT * FROM {T}"})J",
    R"J({"action":"drop_procedure","procedure":"p","table":"{T}"})J",
    R"J({"action":"cursor_open","sql":"SELECT * FROM {T}"})J",
    R"J({"action":"sql","sql":"SELECT * FROM {T}"})J",
    R"J({"action":"sql","sql":"SELECT * FROM {T} WHERE id = 1"})J",
    R"J({"action":"sql","sql":"SELECT * FROM t JOIN {T} x ON t.id = x.id"})J",
    R"J({"action":"sql","sql":"SELECT * FROM {T} x JOIN t ON x.id = t.id"})J",
    R"J({"action":"sql","sql":"INSERT INTO {T} VALUES (9, 'planted')"})J",
    R"J({"action":"sql","sql":"UPDATE {T} SET v = 'changed' WHERE id = 1"})J",
    R"J({"action":"sql","sql":"DELETE FROM {T} WHERE id = 1"})J",
    R"J({"action":"sql","sql":"CREATE TABLE {T} (id int PRIMARY KEY)"})J",
    R"J({"action":"sql","sql":"ALTER TABLE {T} ADD COLUMN z int"})J",
    R"J({"action":"sql","sql":"DROP TABLE {T}"})J",
    R"J({"action":"sql","sql":"DROP TABLE IF EXISTS {T}"})J",
    R"J({"action":"sql","sql":"CREATE INDEX by_w ON {T} (v)"})J",
    R"J({"action":"sql","sql":"DROP INDEX by_v ON {T}"})J",
    R"J({"action":"sql","sql":"SHOW TABLE {T}"})J",
    R"J({"action":"sql","sql":"SHOW INDEXES ON {T}"})J",
    R"J({"action":"sql","sql":"SHOW PROCEDURES {T}"})J",
    R"J({"action":"sql","sql":"CREATE PROCEDURE pa() ON {T} AS $$ SELECT * FROM t $$"})J",
    R"J({"action":"sql","sql":"CREATE PROCEDURE pb() ON t AS $$ SELECT * FROM {T} $$"})J",
    R"J({"action":"sql","sql":"CREATE PROCEDURE pc() ON t AS $$ INSERT INTO {T} VALUES (9, 'x') $$"})J",
    R"J({"action":"sql","sql":"CREATE PROCEDURE pd() ON t AS $$ UPDATE {T} SET v = 'x' WHERE id = 1 $$"})J",
    R"J({"action":"sql","sql":"CREATE PROCEDURE pe() ON t AS $$ DELETE FROM {T} WHERE id = 1 $$"})J",
    R"J({"action":"sql","sql":"CREATE PROCEDURE pf() ON t AS $$ SELECT * FROM t JOIN {T} x ON t.id = x.id $$"})J",
    R"J({"action":"sql","sql":"DROP PROCEDURE p ON {T}"})J",
};

const std::vector<std::string> kNames = {"config_db__kyreldb_user_roles",
                                         "config_db__kyreldb_users", "otherdb__secret"};

std::string with_name(std::string request, const std::string& name) {
    for (size_t p; (p = request.find("{T}")) != std::string::npos;) request.replace(p, 3, name);
    return request;
}

class TableNames : public ::testing::Test {
  protected:
    void SetUp() override {
        srv_.set_config("AUTO_TUNE=OFF\nAUTO_VACUUM=OFF\nCONNECTION_WORKERS=6\n");
        ASSERT_TRUE(srv_.start()) << srv_.last_error();
        ASSERT_TRUE(admin_.connect(srv_.port()));
        login_admin_as(admin_, kPassword);
        for (const char* s :
             {"CREATE DATABASE otherdb", "USE otherdb",
              "CREATE TABLE secret (id int PRIMARY KEY, v string)",
              "CREATE INDEX by_v ON secret (v)", "INSERT INTO secret VALUES (1, 'hidden')",
              "USE default", "CREATE TABLE t (id int PRIMARY KEY, v string)",
              "INSERT INTO t VALUES (1, 'mine')",
              "CREATE PROCEDURE p() ON t AS $$ SELECT * FROM t $$",
              "CREATE USER rita IDENTIFIED BY 'pw-names'", "GRANT READ ON default TO rita",
              "CREATE USER walt IDENTIFIED BY 'pw-names'", "GRANT WRITE ON default TO walt"}) {
            std::string r = admin_.sql(s);
            ASSERT_TRUE(ok(r)) << s << " -> " << r;
        }
    }
    // What the administrator sees of everything the requests aimed at.
    std::string state() {
        std::string out;
        for (const char* s :
             {"USE config_db", "SELECT grant_key, role FROM kyreldb_user_roles",
              "SELECT username, password_hash, active FROM kyreldb_users", "SHOW TABLES",
              "USE otherdb", "SELECT * FROM secret", "SHOW TABLE secret", "SHOW INDEXES ON secret",
              "SHOW TABLES", "SHOW PROCEDURES", "USE default", "SELECT * FROM t", "SHOW TABLES",
              "SHOW PROCEDURES"}) {
            std::string r = admin_.sql(s);
            EXPECT_TRUE(ok(r)) << s << " -> " << r;
            out += std::string(s) + " -> " + r + "\n";
        }
        return out;
    }
    TestServer srv_;
    Client admin_;
};

TEST_F(TableNames, NamesReachingOtherDatabasesOrSystemTablesAreRefusedForEveryone) {
    Client rita, walt, admin;
    for (Client* c : {&rita, &walt, &admin}) ASSERT_TRUE(c->connect(srv_.port()));
    rita.login_ready("rita", kPassword);
    walt.login_ready("walt", kPassword);
    admin.login_ready("admin", kPassword);
    const std::string before = state();
    const std::vector<std::pair<const char*, Client*>> users = {
        {"READ", &rita}, {"WRITE", &walt}, {"admin", &admin}};
    for (const auto& [who, c] : users) {
        for (const std::string& name : kNames) {
            for (const std::string& req : kRequests) {
                const std::string sent = with_name(req, name);
                const std::string r = c->ask(sent);
                EXPECT_FALSE(ok(r)) << who << ": " << sent << " -> " << r;
                EXPECT_EQ(r.find("hidden"), std::string::npos) << who << ": " << sent;
                EXPECT_EQ(r.find("password_hash"), std::string::npos) << who << ": " << sent;
            }
        }
    }
    EXPECT_EQ(state(), before);
    // No grant reached walt on the other databases.
    EXPECT_EQ(error_of(walt.sql("USE otherdb")), "permission denied");
    EXPECT_EQ(error_of(walt.sql("USE config_db")), "permission denied");
}

// The system tables keep their rows to the statements made for them and to
// the administrator on the local host: a user granted FULL on config_db
// writes no rows into them by name.
TEST_F(TableNames, SystemTablesTakeNoRowsByNameFromAGrant) {
    for (const char* s :
         {"CREATE USER cora IDENTIFIED BY 'pw-names'", "GRANT FULL ON config_db TO cora"})
        ASSERT_TRUE(ok(admin_.sql(s))) << s;
    Client cora;
    ASSERT_TRUE(cora.connect(srv_.port()));
    cora.login_ready("cora", kPassword);
    const std::string before = state();
    ASSERT_TRUE(ok(cora.sql("USE config_db")));
    for (const char* s :
         {"INSERT INTO kyreldb_user_roles VALUES ('walt@otherdb', 'walt', 'otherdb', 'FULL')",
          "UPDATE kyreldb_user_roles SET role = 'FULL' WHERE grant_key = 'walt@default'",
          "DELETE FROM kyreldb_users WHERE username = 'rita'"}) {
        EXPECT_EQ(error_of(cora.sql(s)), "cannot change system table") << s;
    }
    EXPECT_EQ(
        error_of(cora.ask(
            R"J({"action":"insert","table":"kyreldb_user_roles","data":{"grant_key":"walt@otherdb","username":"walt","database_name":"otherdb","role":"FULL"}})J")),
        "cannot change system table");
    EXPECT_EQ(state(), before);
}

}  // namespace
