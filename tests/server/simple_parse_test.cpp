// Parsers of CREATE TABLE, CREATE DATABASE, USE, LOGIN, CHANGE PASSWORD,
// CREATE USER and GRANT: statements to fields, and every refusal.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "query/simple_parse.h"
#include "storage/table.h"

namespace {

std::string columns(int n) {
    std::string out = "c0 int primary key";
    for (int i = 1; i < n; ++i) out += ", c" + std::to_string(i) + " int";
    return out;
}

TEST(CreateTableParse, ColumnsTypesAndLengths) {
    TableSchema s;
    char err[256] = {0};
    ASSERT_EQ(parse_create_table_sql(
                  "create table t (id int primary key, name varchar(20), score double, "
                  "a varchar(0), b VARCHAR(5000), c varchar(), d text, e bigint, f date);",
                  &s, err, sizeof err),
              0)
        << err;
    EXPECT_STREQ(s.name, "t");
    EXPECT_STREQ(s.primary_key, "id");
    ASSERT_EQ(s.column_count, 9);
    struct Col {
        const char* name;
        int type;
        int max_length;
        int pk;
    } want[] = {{"id", COL_TYPE_INT, 0, 1},       {"name", COL_TYPE_STRING, 20, 0},
                {"score", COL_TYPE_DOUBLE, 0, 0}, {"a", COL_TYPE_STRING, 2047, 0},
                {"b", COL_TYPE_STRING, 2047, 0},  {"c", COL_TYPE_STRING, 2047, 0},
                {"d", COL_TYPE_STRING, 2047, 0},  {"e", COL_TYPE_INT, 0, 0},
                {"f", COL_TYPE_TIMESTAMP, 0, 0}};
    for (int i = 0; i < 9; ++i) {
        EXPECT_STREQ(s.columns[i].name, want[i].name);
        EXPECT_EQ(s.columns[i].type, want[i].type) << want[i].name;
        EXPECT_EQ(s.columns[i].max_length, want[i].max_length) << want[i].name;
        EXPECT_EQ(s.columns[i].is_primary_key, want[i].pk) << want[i].name;
    }

    ASSERT_EQ(parse_create_table_sql("CREATE TABLE t (id int PRIMARY)", &s, err, sizeof err), 0);
    EXPECT_STREQ(s.primary_key, "id");
    ASSERT_EQ(parse_create_table_sql(("CREATE TABLE t (" + columns(64) + ")").c_str(), &s, err,
                                     sizeof err),
              0)
        << err;
    EXPECT_EQ(s.column_count, 64);
}

TEST(CreateTableParse, Refusals) {
    struct Case {
        std::string sql;
        const char* message;
    } cases[] = {
        {"CREATE TABLES t (id int primary key)", "invalid CREATE TABLE"},
        {"CREATE TABLE t", "missing column list"},
        {"CREATE TABLE t ) id int (", "missing column list"},
        {"CREATE TABLE '' (id int primary key)", "invalid table name"},
        {"CREATE TABLE " + std::string(64, 'n') + " (id int primary key)", "table name too long"},
        {"CREATE TABLE t (" + columns(65) + ")", "too many columns"},
        {"CREATE TABLE t (id)", "bad column definition"},
        {"CREATE TABLE t (id blob primary key)", "unsupported type"},
        {"CREATE TABLE t (id int primary key, v text DEFAULT 'x)", "bad column definition"},
        {"CREATE TABLE t (id int primary key, name varchar(20)", "bad column definition"},
        {"CREATE TABLE t (id int primary key))", "bad column definition"},
        {"CREATE TABLE t (id int primary key) extra",
         "unexpected text after CREATE TABLE column list"},
        {"CREATE TABLE t (id int, name text)", "primary key required in v3 stage6"},
        // Column names land unescaped in every row object.
        {"CREATE TABLE t (\"id\" int primary key)", "invalid column name"},
        {"CREATE TABLE t (" + std::string(64, 'c') + " int primary key)", "column name too long"},
        {"CREATE TABLE t (id int primary key, id text)", "duplicate column name 'id'"},
        {"CREATE TABLE t (id int primary key, a int, A text)", "duplicate column name 'A'"},
        {"CREATE TABLE t (a int primary key, b int primary key)",
         "only one primary key column is allowed"},
        {"CREATE TABLE t (id int primary key, pad text)" + std::string(4100, ' ') + "x",
         "CREATE TABLE statement too long"},
    };
    for (const auto& c : cases) {
        TableSchema s;
        char err[256] = {0};
        EXPECT_EQ(parse_create_table_sql(c.sql.c_str(), &s, err, sizeof err), -1) << c.sql;
        EXPECT_STREQ(err, c.message) << c.sql.substr(0, 80);
    }
}

// One statement, its outcome and the fields or message it gives.
struct Case {
    std::string sql;
    const char* message;  // nullptr: success
    const char* a;
    const char* b;
    const char* c;
};

using Parser = std::function<int(const char*, char*, char*, char*, char*)>;

void run_table(const Parser& parse, const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        char a[256] = {0}, b[256] = {0}, d[256] = {0}, err[256] = {0};
        int rc = parse(c.sql.c_str(), a, b, d, err);
        if (!c.message) {
            EXPECT_EQ(rc, 0) << c.sql << ": " << err;
            if (c.a) {
                EXPECT_STREQ(a, c.a) << c.sql;
            }
            if (c.b) {
                EXPECT_STREQ(b, c.b) << c.sql;
            }
            if (c.c) {
                EXPECT_STREQ(d, c.c) << c.sql;
            }
        } else {
            EXPECT_EQ(rc, -1) << c.sql;
            EXPECT_STREQ(err, c.message) << c.sql.substr(0, 80);
        }
    }
}

TEST(SimpleParse, CreateDatabaseAndUse) {
    Parser create = [](const char* sql, char* a, char*, char*, char* err) {
        return parse_create_database_sql(sql, a, 64, err, 256);
    };
    run_table(create,
              {
                  {"create database sales;", nullptr, "sales", nullptr, nullptr},
                  {"CREATE DATABASE 'Sales'", nullptr, "Sales", nullptr, nullptr},
                  {"CREATE DATABASES x", "invalid CREATE DATABASE", 0, 0, 0},
                  {"CREATE DATABASE ''", "invalid database name", 0, 0, 0},
                  {"CREATE DATABASE " + std::string(64, 'd'), "database name too long", 0, 0, 0},
                  {"CREATE DATABASE x" + std::string(1100, ' ') + "y",
                   "CREATE DATABASE statement too long", 0, 0, 0},
              });
    Parser use = [](const char* sql, char* a, char*, char*, char* err) {
        return parse_use_database_sql(sql, a, 64, err, 256);
    };
    run_table(use, {
                       {"use \"sales\"", nullptr, "sales", nullptr, nullptr},
                       {"USE", "invalid USE", 0, 0, 0},
                       {"USEsales", "invalid USE", 0, 0, 0},
                   });
}

TEST(SimpleParse, LoginAndCreateUser) {
    Parser login = [](const char* sql, char* a, char* b, char*, char* err) {
        return parse_login_sql(sql, a, 64, b, 256, err, 256);
    };
    const char* login_syntax = "LOGIN syntax: LOGIN user IDENTIFIED BY 'password'";
    run_table(login, {
                         {"LOGIN bob IDENTIFIED BY 'pa ss'", nullptr, "bob", "pa ss", nullptr},
                         {"LOGIN 'bob' IDENTIFIED BY \"x\"", nullptr, "bob", "x", nullptr},
                         {"LOGIN bob IDENTIFIED BY ''", nullptr, "bob", "", nullptr},
                         {"LOGON bob", "invalid LOGIN", 0, 0, 0},
                         {"login bob identified by 'x'", login_syntax, 0, 0, 0},
                         {"LOGIN bob BY 'x'", login_syntax, 0, 0, 0},
                         {"LOGIN bob IDENTIFIED BY", "missing password", 0, 0, 0},
                         {"LOGIN bob IDENTIFIED BY secret", "password must be quoted", 0, 0, 0},
                         {"LOGIN bob IDENTIFIED BY 'x\"", "password must be quoted", 0, 0, 0},
                         {"LOGIN '' IDENTIFIED BY 'x'", "invalid username", 0, 0, 0},
                         {"LOGIN bob IDENTIFIED BY '" + std::string(256, 'p') + "'",
                          "password too long", 0, 0, 0},
                     });
    Parser create = [](const char* sql, char* a, char* b, char*, char* err) {
        return parse_create_user_sql(sql, a, 64, b, 256, err, 256);
    };
    const char* cu_syntax = "CREATE USER syntax: CREATE USER user IDENTIFIED BY 'password'";
    run_table(create,
              {
                  {"CREATE USER ann IDENTIFIED BY 'pw 1';", nullptr, "ann", "pw 1", nullptr},
                  {"CREATE USERS ann", "invalid CREATE USER", 0, 0, 0},
                  {"create user ann identified by 'x'", cu_syntax, 0, 0, 0},
                  {"CREATE USER ann IDENTIFIED BY pw", "password must be quoted", 0, 0, 0},
                  {"CREATE USER ann IDENTIFIED BY ''", "missing password", 0, 0, 0},
                  {"CREATE USER a@b IDENTIFIED BY 'x'", "invalid username", 0, 0, 0},
                  {"CREATE USER \"\" IDENTIFIED BY 'x'", "invalid username", 0, 0, 0},
              });
}

TEST(SimpleParse, ChangePassword) {
    Parser change = [](const char* sql, char* a, char*, char*, char* err) {
        return parse_change_password_sql(sql, a, 256, err, 256);
    };
    run_table(change,
              {
                  {"CHANGE PASSWORD TO 'new one'", nullptr, "new one", nullptr, nullptr},
                  {"change password secret1;", nullptr, "secret1", nullptr, nullptr},
                  {"CHANGE PASSWORD TO", nullptr, "TO", nullptr, nullptr},
                  {"CHANGE PASSWORD \"a'b\"", nullptr, "a'b", nullptr, nullptr},
                  {"CHANGE PASSWD x", "invalid CHANGE PASSWORD", 0, 0, 0},
                  {"CHANGE PASSWORD two words", "quote passwords that contain spaces", 0, 0, 0},
                  {"CHANGE PASSWORD 'open", "password quote is not closed", 0, 0, 0},
                  {"CHANGE PASSWORD TO ''", "missing new password", 0, 0, 0},
                  {"CHANGE PASSWORD " + std::string(300, 'p'), "password too long", 0, 0, 0},
              });
}

TEST(SimpleParse, Grant) {
    Parser grant = [](const char* sql, char* a, char* b, char* c, char* err) {
        return parse_grant_sql(sql, a, 16, b, 64, c, 64, err, 256);
    };
    const char* syntax = "GRANT syntax: GRANT ROLE ON db TO user";
    run_table(grant,
              {
                  {"GRANT read ON sales TO bob", nullptr, "read", "sales", "bob"},
                  {"GRANT 'FULL' ON \"Sales\" TO 'bob';", nullptr, "FULL", "Sales", "bob"},
                  {"GRANTS READ ON s TO b", "invalid GRANT", 0, 0, 0},
                  {"GRANT READ ON sales", syntax, 0, 0, 0},
                  {"GRANT READ on sales to bob", syntax, 0, 0, 0},
                  {"GRANT READ ON sales TO bob, alice", syntax, 0, 0, 0},
                  {"GRANT ADMIN ON sales TO bob", "unknown role", 0, 0, 0},
                  {"GRANT NONE ON sales TO bob", "unknown role", 0, 0, 0},
                  {"GRANT READ ON '' TO bob", "invalid database name", 0, 0, 0},
                  {"GRANT READ ON sales TO " + std::string(64, 'u'), "username too long", 0, 0, 0},
              });
}

}  // namespace
