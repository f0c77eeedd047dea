// The write road over the wire: first login and the forced password change,
// databases, tables and row changes by SQL and JSON actions with their
// replies and log records, user management rules, and many concurrent
// writers whose acknowledged rows all survive a restart.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kyrel_test.h"
#include "writes_helpers.h"

using namespace kyrel_test;
using namespace writes_test;

namespace {

constexpr const char* kConfig =
    "AUTO_TUNE=OFF\nAUTO_VACUUM=OFF\nCONNECTION_WORKERS=20\nWRITE_WORKERS=2\n"
    "COMMIT_GROUP_WAIT_MS=0\nWAL_SYNC_EVERY=16\n";
constexpr const char* kAdminPassword = "s3cret pw";

TEST(FirstLogin, DefaultAdministratorMustChangePasswordFirst) {
    TestServer srv;
    srv.set_config(kConfig);
    ASSERT_TRUE(srv.start()) << srv.last_error();
    Client c;
    ASSERT_TRUE(c.connect(srv.port()));

    EXPECT_TRUE(ok(c.ask(R"J({"action":"ping"})J")));
    EXPECT_EQ(error_of(c.sql("SHOW DATABASES")), "authentication required");
    EXPECT_EQ(error_of(c.login("admin", "wrong")), "invalid username or password");
    EXPECT_EQ(error_of(c.login("ADMIN", "lumen406")), "invalid username or password");

    std::string r = c.sql("LOGIN admin IDENTIFIED BY 'lumen406'");
    ASSERT_TRUE(ok(r)) << r;
    EXPECT_EQ(json_get(r, "message"), "login successful");
    EXPECT_EQ(json_get(r, "username"), "admin");
    EXPECT_EQ(json_get(r, "must_change_password"), "true");
    EXPECT_EQ(json_get(r, "warning"),
              "Default or temporary password in use. Change it immediately.");

    for (const char* req :
         {R"J({"action":"sql","sql":"SHOW DATABASES"})J", R"J({"action":"show_stats"})J",
          R"J({"action":"create_database","database":"x"})J",
          R"J({"action":"sql","sql":"USE default"})J",
          R"J({"action":"sql","sql":"CREATE TABLE t (id int PRIMARY KEY)"})J",
          R"J({"action":"create_user","username":"u","password":"p"})J"}) {
        EXPECT_EQ(error_of(c.ask(req)), "password must be changed before using KyrelDB") << req;
    }
    EXPECT_TRUE(ok(c.ask(R"J({"action":"ping"})J")));

    r = c.sql("CHANGE PASSWORD TO 'n3w pass'");
    ASSERT_TRUE(ok(r)) << r;
    EXPECT_EQ(json_get(r, "message"), "password changed");
    EXPECT_TRUE(ok(c.ask(R"J({"action":"create_database","database":"x"})J")));

    Client d;
    ASSERT_TRUE(d.connect(srv.port()));
    EXPECT_EQ(error_of(d.login("admin", "lumen406")), "invalid username or password");
    r = d.login("admin", "n3w pass");
    ASSERT_TRUE(ok(r)) << r;
    EXPECT_EQ(json_get(r, "must_change_password"), "false");
    EXPECT_FALSE(json_has(r, "warning"));

    // The new password and the database outlive a restart.
    ASSERT_TRUE(srv.restart());
    Client e;
    ASSERT_TRUE(e.connect(srv.port()));
    ASSERT_TRUE(ok(e.login("admin", "n3w pass")));
    EXPECT_TRUE(ok(e.sql("USE x")));
}

class Writes : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        srv_ = new TestServer();
        srv_->set_config(kConfig);
        ASSERT_TRUE(srv_->start()) << srv_->last_error();
        Client c;
        ASSERT_TRUE(c.connect(srv_->port()));
        ASSERT_TRUE(ok(c.login("admin", "lumen406")));
        ASSERT_TRUE(ok(c.ask(std::string(R"J({"action":"change_password","new_password":)J") +
                             jstr(kAdminPassword) + "}")));
    }
    static void TearDownTestSuite() {
        delete srv_;
        srv_ = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(srv_, nullptr);
        ASSERT_TRUE(c_.connect(srv_->port()));
        c_.login_ready("admin", kAdminPassword);
    }
    // A fresh database (named per test) that the client then uses.
    void use_new_db(const std::string& db) {
        std::string r = c_.sql("CREATE DATABASE " + db);
        ASSERT_TRUE(ok(r)) << r;
        EXPECT_EQ(json_get(r, "message"), "database created");
        ASSERT_TRUE(ok(c_.sql("USE " + db)));
    }
    // Another connection, logged in and using db.
    static bool ready_client(Client& c, const std::string& db) {
        return c.connect(srv_->port()) && ok(c.login("admin", kAdminPassword)) &&
               ok(c.sql("USE " + db));
    }
    std::vector<WalRecord> wal_of(const std::string& db) {
        return read_wal(srv_->dir() + "/kyreldb_data/databases/" + db + "/main.wal");
    }

    static TestServer* srv_;
    Client c_;
};

TestServer* Writes::srv_ = nullptr;

TEST_F(Writes, RowChangesBySqlAndActionsWithOneLogRecordEach) {
    use_new_db("shop");
    std::string r = c_.sql("CREATE TABLE items (id int PRIMARY KEY, name string, qty int)");
    ASSERT_TRUE(ok(r)) << r;
    EXPECT_EQ(json_get(r, "message"), "table created");
    EXPECT_EQ(json_get(r, "database"), "shop");
    EXPECT_EQ(error_of(c_.sql("CREATE TABLE items (id int PRIMARY KEY)")), "table already exists");

    struct Case {
        std::string request, member, expected;
    };
    const std::vector<Case> cases = {
        {R"J({"action":"sql","sql":"INSERT INTO items VALUES (1, 'one', 10)"})J", "inserted", "1"},
        {R"J({"action":"sql","sql":"INSERT INTO items (id, name, qty) VALUES (2, 'two', 20), (3, 'a\\\\', 30)"})J",
         "inserted", "2"},
        {R"J({"action":"insert","table":"items","data":{"id":4,"name":"four","qty":40}})J",
         "inserted", "1"},
        {R"J({"action":"batch_insert","table":"items","rows":[{"id":5,"name":"x","qty":1},{"id":6,"name":"y","qty":2}]})J",
         "inserted", "2"},
        {R"J({"action":"sql","sql":"UPDATE items SET qty = 11, name = 'uno' WHERE id = 1"})J",
         "updated", "1"},
        {R"J({"action":"sql","sql":"DELETE FROM items WHERE id = 2"})J", "deleted", "1"},
        // A key without a live row is left alone: nothing deleted, nothing logged.
        {R"J({"action":"sql","sql":"DELETE FROM items WHERE id = 999"})J", "deleted", "0"},
        {R"J({"action":"sql","sql":"DELETE FROM items WHERE id = 2"})J", "deleted", "0"},
    };
    for (const Case& k : cases) {
        r = c_.ask(k.request);
        EXPECT_TRUE(ok(r)) << k.request << " -> " << r;
        EXPECT_EQ(json_get(r, k.member), k.expected) << k.request << " -> " << r;
    }

    const std::vector<std::pair<std::string, std::string>> refusals = {
        {R"J({"action":"sql","sql":"INSERT INTO items VALUES (1, 'again', 1)"})J",
         "duplicate primary key"},
        {R"J({"action":"sql","sql":"INSERT INTO nope VALUES (1)"})J", "table not found"},
        {R"J({"action":"insert","table":"items"})J", "missing data"},
        {R"J({"action":"batch_insert","table":"items","rows":[]})J", "missing rows"},
        {R"J({"action":"sql","sql":"UPDATE items SET qty = 1 WHERE name = 'x'"})J",
         "UPDATE WHERE must be key equality"},
        {R"J({"action":"sql","sql":"UPDATE items SET qty = 1 WHERE id = 2"})J", "row not found"},
        {R"J({"action":"sql","sql":"DELETE FROM items WHERE name = 'x'"})J",
         "DELETE supports primary-key equality only"},
        {R"J({"action":"sql","sql":"ALTER TABLE items ADD COLUMN qty int"})J",
         "column already exists"},
        {R"J({"action":"drop_table","table":"nope"})J", "table not found"},
    };
    for (const auto& [req, msg] : refusals) EXPECT_EQ(error_of(c_.ask(req)), msg) << req;

    // A batch whose second row lacks the key inserts nothing: 7 and 8 are free.
    r = c_.ask(
        R"J({"action":"batch_insert","table":"items","rows":[{"id":7,"name":"a","qty":1},{"name":"b","qty":2},{"id":8,"name":"c","qty":3}]})J");
    EXPECT_FALSE(ok(r)) << r;
    EXPECT_TRUE(ok(c_.sql("INSERT INTO items VALUES (7, 'a', 1), (8, 'c', 3)")));

    // Log: create table, 1+2+1+2 inserts, update, 1 delete, 2 inserts.
    std::map<int, int> per_op;
    std::string updated_row;
    for (const WalRecord& w : wal_of("shop")) {
        EXPECT_EQ(w.table.rfind("shop__", 0), 0u) << w.table;
        per_op[w.op]++;
        if (w.op == 3) updated_row = w.json;
    }
    EXPECT_EQ(per_op[1], 1);
    EXPECT_EQ(per_op[2], 8);
    EXPECT_EQ(per_op[3], 1);
    EXPECT_EQ(per_op[4], 1);
    EXPECT_NE(updated_row.find("\"qty\":11"), std::string::npos) << updated_row;
    EXPECT_NE(updated_row.find("\"name\":\"uno\""), std::string::npos) << updated_row;
}

TEST_F(Writes, StringKeysWithQuotesCanBeUpdatedAndDeleted) {
    use_new_db("keys");
    ASSERT_TRUE(ok(c_.sql("CREATE TABLE k (code string PRIMARY KEY, v int)")));
    std::string r = c_.sql("INSERT INTO k VALUES ('it''s', 1)");
    ASSERT_TRUE(ok(r)) << r;
    r = c_.sql("UPDATE k SET v = 2 WHERE code = 'it''s'");
    EXPECT_TRUE(ok(r)) << r;
    EXPECT_TRUE(ok(c_.sql("DELETE FROM k WHERE code = 'it''s'")));
    EXPECT_EQ(error_of(c_.sql("UPDATE k SET v = 3 WHERE code = 'it''s'")), "row not found");
}

// An index file that cannot be appended to (here a directory stands in its
// place) neither refuses a change nor loses it: answers and data agree now,
// after a restart with the obstacle still there, and after the restart that
// can rewrite the file.
TEST_F(Writes, UnwritableIndexFileNeitherRefusesNorLosesChanges) {
    use_new_db("idxdir");
    ASSERT_TRUE(ok(c_.sql("CREATE TABLE t (id int PRIMARY KEY, c int)")));
    ASSERT_TRUE(ok(c_.sql("CREATE INDEX by_c ON t (c)")));
    ASSERT_TRUE(ok(c_.sql("INSERT INTO t VALUES (1, 10), (3, 30)")));
    const std::string idx = srv_->dir() + "/kyreldb_data/databases/idxdir/tables/t/by_c.idx";
    ASSERT_EQ(::remove(idx.c_str()), 0);
    ASSERT_EQ(mkdir(idx.c_str(), 0755), 0);

    const std::vector<std::pair<std::string, std::string>> changes = {
        {"INSERT INTO t VALUES (2, 20)", "inserted"},
        {"UPDATE t SET c = 11 WHERE id = 1", "updated"},
        {"DELETE FROM t WHERE id = 3", "deleted"},
    };
    for (const auto& [sql, member] : changes) {
        std::string r = c_.sql(sql);
        EXPECT_TRUE(ok(r)) << sql << " -> " << r;
        EXPECT_EQ(json_get(r, member), "1") << sql << " -> " << r;
    }
    // Each lookup by the indexed column, by the key, and the whole table.
    const std::vector<std::pair<std::string, std::string>> reads = {
        {"SELECT id FROM t WHERE c = 11", "[{\"id\":1}]"},
        {"SELECT id FROM t WHERE c = 20", "[{\"id\":2}]"},
        {"SELECT id FROM t WHERE c = 10", "[]"},
        {"SELECT id FROM t WHERE c = 30", "[]"},
        {"SELECT * FROM t WHERE id = 3", "[]"},
        {"SELECT c FROM t ORDER BY id", "[{\"c\":11},{\"c\":20}]"},
    };
    auto check_reads = [&](const char* when) {
        Client c;
        ASSERT_TRUE(c.connect(srv_->port()));
        c.login_ready("admin", kAdminPassword);
        ASSERT_TRUE(ok(c.sql("USE idxdir")));
        for (const auto& [sql, rows] : reads)
            EXPECT_EQ(json_get(c.sql(sql), "rows"), rows) << when << ": " << sql;
    };
    check_reads("at once");
    EXPECT_NE(srv_->stderr_text().find("index files of table idxdir__t marked for rebuild"),
              std::string::npos);
    ASSERT_TRUE(srv_->restart());
    check_reads("after a restart");
    ASSERT_EQ(rmdir(idx.c_str()), 0);
    ASSERT_TRUE(srv_->restart());
    check_reads("after the file was rewritten");
    struct stat st {};
    ASSERT_EQ(stat(idx.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

// SQL literal of text: single quotes, with backslash and quote escaped.
std::string sql_lit(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\\' || c == '\'') out += '\\';
        out += c;
    }
    return out + "'";
}

// In table sk (k string key, v int) of c's database: each key's row read by
// its literal (literals[i] for keys[i]) holds the expected v, or is absent,
// and the table holds as many rows as expected.
void expect_keyed_rows(Client& c, const std::vector<std::string>& keys,
                       const std::vector<std::string>& literals,
                       const std::map<std::string, int>& expected, const std::string& when) {
    for (size_t i = 0; i < keys.size(); i++) {
        auto it = expected.find(keys[i]);
        std::string want =
            it != expected.end() ? "[{\"v\":" + std::to_string(it->second) + "}]" : "[]";
        EXPECT_EQ(json_get(c.sql("SELECT v FROM sk WHERE k = " + literals[i]), "rows"), want)
            << when << ": [" << keys[i] << "]";
    }
    const std::string all = json_get(c.sql("SELECT k FROM sk"), "rows");
    size_t rows = 0;
    for (size_t p = all.find("{\"k\":"); p != std::string::npos; p = all.find("{\"k\":", p + 1))
        rows++;
    EXPECT_EQ(rows, expected.size()) << when << ": " << all;
}

// Keys that hold quotes, backslashes and a multi-byte character, that are
// prefixes or escaped spellings of each other, and integer and double keys
// written in several ways: every change reaches exactly the row it names, by
// SQL and by JSON, and so it stays after a restart.
TEST_F(Writes, EveryKeyAddressesExactlyItsRow) {
    use_new_db("keyform");
    ASSERT_TRUE(ok(c_.sql("CREATE TABLE sk (k string PRIMARY KEY, v int)")));
    const std::vector<std::string> keys = {
        "a\"b",        "a\\\"b",     "a\\b", "a\\\\b", "\\",  "\\\\", "it's",
        "caf\xc3\xa9", "caf\\u00e9", "a",    "ab",     "a\\", "'",    "\"",
    };
    std::map<std::string, int> expected;
    for (size_t i = 0; i < keys.size(); i++) {
        const std::string& k = keys[i];
        std::string r =
            i % 2 ? c_.sql("INSERT INTO sk VALUES (" + sql_lit(k) + ", " + std::to_string(i) + ")")
                  : c_.ask(R"J({"action":"insert","table":"sk","data":{"k":)J" + jstr(k) +
                           ",\"v\":" + std::to_string(i) + "}}");
        ASSERT_TRUE(ok(r)) << k << " -> " << r;
        expected[k] = static_cast<int>(i);
    }
    std::vector<std::string> literals;
    for (const std::string& k : keys) literals.push_back(sql_lit(k));
    auto check = [&](Client& c, const std::string& when) {
        expect_keyed_rows(c, keys, literals, expected, when);
    };
    check(c_, "inserted");
    // The same keys again, by the other form, are duplicates.
    EXPECT_EQ(
        error_of(c_.ask(R"J({"action":"insert","table":"sk","data":{"k":"caf\u00e9","v":0}})J")),
        "duplicate primary key");
    EXPECT_EQ(error_of(c_.sql("INSERT INTO sk VALUES (" + sql_lit("a\"b") + ", 0)")),
              "duplicate primary key");

    for (size_t i = 0; i < keys.size(); i++) {
        std::string r = c_.sql("UPDATE sk SET v = " + std::to_string(100 + i) +
                               " WHERE k = " + sql_lit(keys[i]));
        ASSERT_TRUE(ok(r)) << keys[i] << " -> " << r;
        expected[keys[i]] = static_cast<int>(100 + i);
        check(c_, "updated " + keys[i]);
    }
    for (size_t i = 0; i < keys.size(); i += 2) {
        std::string r = c_.sql("DELETE FROM sk WHERE k = " + sql_lit(keys[i]));
        ASSERT_TRUE(ok(r)) << keys[i] << " -> " << r;
        expected.erase(keys[i]);
        check(c_, "deleted " + keys[i]);
    }

    // Numbers: the key is the value, however it is written.
    ASSERT_TRUE(ok(c_.sql("CREATE TABLE nk (id int PRIMARY KEY, v int)")));
    ASSERT_TRUE(ok(c_.sql("INSERT INTO nk VALUES (007, 1)")));
    ASSERT_TRUE(ok(c_.ask(R"J({"action":"insert","table":"nk","data":{"id":+8,"v":2}})J")));
    EXPECT_EQ(error_of(c_.sql("INSERT INTO nk VALUES (7, 9)")), "duplicate primary key");
    ASSERT_TRUE(ok(c_.sql("CREATE TABLE dk (x double PRIMARY KEY, v int)")));
    ASSERT_TRUE(ok(c_.sql("INSERT INTO dk VALUES (1.50, 1)")));
    EXPECT_EQ(error_of(c_.ask(R"J({"action":"insert","table":"dk","data":{"x":1.5,"v":9}})J")),
              "duplicate primary key");
    const std::vector<std::pair<std::string, std::string>> changes = {
        {"UPDATE nk SET v = 3 WHERE id = 007", "updated"},
        {"UPDATE nk SET v = 4 WHERE id = +8", "updated"},
        {"UPDATE dk SET v = 5 WHERE x = 1.500", "updated"},
    };
    for (const auto& [sql, member] : changes) {
        std::string r = c_.sql(sql);
        EXPECT_EQ(json_get(r, member), "1") << sql << " -> " << r;
    }
    const std::vector<std::pair<std::string, std::string>> reads = {
        {"SELECT v FROM nk WHERE id = 7", "[{\"v\":3}]"},
        {"SELECT * FROM nk WHERE id = '007'", "[{\"id\":7,\"v\":3}]"},
        {"SELECT v FROM nk WHERE id = 08", "[{\"v\":4}]"},
        {"SELECT v FROM dk WHERE x = 1.5", "[{\"v\":5}]"},
        {"SELECT v FROM dk WHERE x = 15e-1", "[{\"v\":5}]"},
    };
    for (const auto& [sql, rows] : reads) EXPECT_EQ(json_get(c_.sql(sql), "rows"), rows) << sql;
    EXPECT_EQ(json_get(c_.sql("DELETE FROM nk WHERE id = +0008"), "deleted"), "1");

    ASSERT_TRUE(srv_->restart());
    Client c;
    ASSERT_TRUE(c.connect(srv_->port()));
    c.login_ready("admin", kAdminPassword);
    ASSERT_TRUE(ok(c.sql("USE keyform")));
    check(c, "after a restart");
    EXPECT_EQ(json_get(c.sql("SELECT * FROM nk"), "rows"), "[{\"id\":7,\"v\":3}]");
    for (const auto& [sql, rows] : reads) {
        if (sql.find(" nk ") != std::string::npos && sql.find("08") != std::string::npos) continue;
        EXPECT_EQ(json_get(c.sql(sql), "rows"), rows) << "after a restart: " << sql;
    }
}

// Keys with blanks at either end, empty and blank-only: blanks inside the
// quotes of a literal belong to the key, in SELECT, UPDATE and DELETE alike,
// with single and double quotes, and so it stays after a restart. The word
// null is no key, so it never reaches the row keyed 'null'.
TEST_F(Writes, BlanksInsideQuotesBelongToTheKey) {
    use_new_db("blankkeys");
    ASSERT_TRUE(ok(c_.sql("CREATE TABLE sk (k string PRIMARY KEY, v int)")));
    const std::vector<std::string> keys = {"b",  "b ",    " b",   " b ",  "",   " ",
                                           "  ", " lead", "x  y", "null", "b  "};
    auto dq_lit = [](const std::string& text) {
        std::string out = "\"";
        for (char c : text) {
            if (c == '\\' || c == '"') out += '\\';
            out += c;
        }
        return out + "\"";
    };
    // The literal of key i, in single or double quotes, with blanks around it.
    auto lit = [&](size_t i) { return i % 2 ? " " + dq_lit(keys[i]) + "  " : sql_lit(keys[i]); };
    std::map<std::string, int> expected;
    for (size_t i = 0; i < keys.size(); i++) {
        const std::string v = std::to_string(i);
        std::string r = i % 2 ? c_.sql("INSERT INTO sk VALUES (" + lit(i) + ", " + v + ")")
                              : c_.ask(R"J({"action":"insert","table":"sk","data":{"k":)J" +
                                       jstr(keys[i]) + ",\"v\":" + v + "}}");
        ASSERT_TRUE(ok(r)) << "[" << keys[i] << "] -> " << r;
        expected[keys[i]] = static_cast<int>(i);
    }
    std::vector<std::string> literals;
    for (size_t i = 0; i < keys.size(); i++) literals.push_back(lit(i));
    auto check = [&](Client& c, const std::string& when) {
        expect_keyed_rows(c, keys, literals, expected, when);
    };
    check(c_, "inserted");
    for (const char* s : {"UPDATE sk SET v = 0 WHERE k = null", "DELETE FROM sk WHERE k = null"})
        EXPECT_EQ(error_of(c_.sql(s)), "bad value type for column 'k'") << s;
    for (size_t i = 0; i < keys.size(); i++) {
        std::string r =
            c_.sql("UPDATE sk SET v = " + std::to_string(100 + i) + " WHERE k = " + lit(i));
        ASSERT_EQ(r, R"({"ok":true,"updated":1})") << "[" << keys[i] << "]";
        expected[keys[i]] = static_cast<int>(100 + i);
        check(c_, "updated [" + keys[i] + "]");
    }
    for (size_t i = 0; i < keys.size(); i += 3) {
        std::string r = c_.sql("DELETE FROM sk WHERE k = " + lit(i));
        ASSERT_EQ(r, R"({"ok":true,"deleted":1})") << "[" << keys[i] << "]";
        expected.erase(keys[i]);
        check(c_, "deleted [" + keys[i] + "]");
    }
    // A key that is gone: nothing else is reached.
    EXPECT_EQ(error_of(c_.sql("UPDATE sk SET v = 1 WHERE k = " + lit(3))), "row not found");
    EXPECT_EQ(c_.sql("DELETE FROM sk WHERE k = " + lit(3)), R"({"ok":true,"deleted":0})");
    check(c_, "after changes to a missing key");

    ASSERT_TRUE(srv_->restart());
    Client c;
    ASSERT_TRUE(c.connect(srv_->port()));
    c.login_ready("admin", kAdminPassword);
    ASSERT_TRUE(ok(c.sql("USE blankkeys")));
    check(c, "after a restart");
}

// A request carries one statement: a second one after the first ';' is
// refused with the whole request, never dropped in silence.
TEST_F(Writes, RequestsWithTwoStatementsAreRefusedWhole) {
    use_new_db("onestmt");
    ASSERT_TRUE(ok(c_.sql("CREATE TABLE t (id int PRIMARY KEY, v string)")));
    for (const char* sql : {
             "INSERT INTO t VALUES (1,'a'); INSERT INTO t VALUES (2,'b');",
             "INSERT INTO t VALUES (1,'a');INSERT INTO t VALUES (2,'b')",
             "CREATE TABLE u (id int PRIMARY KEY); DROP TABLE t",
             "SELECT * FROM t; DELETE FROM t WHERE id = 1",
         }) {
        EXPECT_EQ(error_of(c_.sql(sql)), "only one statement per request") << sql;
    }
    EXPECT_EQ(json_get(c_.sql("SELECT * FROM t"), "rows"), "[]");
    EXPECT_EQ(error_of(c_.sql("SHOW TABLE u")), "table not found");
    // One statement with ';' inside quotes, or in a procedure body, is one.
    EXPECT_EQ(json_get(c_.sql("INSERT INTO t VALUES (1, 'a;b');"), "inserted"), "1");
    EXPECT_TRUE(
        ok(c_.sql("CREATE PROCEDURE two() ON t AS $$ SELECT * FROM t; SELECT * FROM t; $$;")));
    EXPECT_EQ(json_get(c_.sql("SELECT v FROM t WHERE id = 1"), "rows"), "[{\"v\":\"a;b\"}]");
}

// A value that does not fit its typed column answers the validation message,
// by SQL and by action alike, and changes nothing.
TEST_F(Writes, ValuesOfTheWrongTypeAnswerTheValidationMessage) {
    use_new_db("typed");
    ASSERT_TRUE(ok(c_.sql("CREATE TABLE ie (id int PRIMARY KEY, name string, score double)")));
    ASSERT_TRUE(ok(c_.sql("INSERT INTO ie VALUES (1, 'a', 2.5)")));
    struct Case {
        std::string request, column;
    };
    const std::vector<Case> cases = {
        {"INSERT INTO ie VALUES ('5', 'a', 1)", "id"},
        {"INSERT INTO ie VALUES (5, 'a', abc)", "score"},
        {"INSERT INTO ie VALUES (5, 'a', 2 \"x\":3)", "score"},
        {"UPDATE ie SET score = 'abc' WHERE id = 1", "score"},
        {"UPDATE ie SET score = 1} WHERE id = 1", "score"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(error_of(c_.sql(c.request)), "bad value type for column '" + c.column + "'")
            << c.request;
    EXPECT_EQ(
        error_of(c_.ask(R"J({"action":"insert","table":"ie","data":{"id":"5","name":"a"}})J")),
        "bad value type for column 'id'");
    EXPECT_EQ(json_get(c_.sql("SELECT * FROM ie"), "rows"), R"([{"id":1,"name":"a","score":2.5}])");
}

TEST_F(Writes, JsonCreateTableReadsEachColumnFromItsOwnObject) {
    use_new_db("jdb");
    // A column called "name" and a later key column must not be confused.
    std::string r = c_.ask(
        R"J({"action":"create_table","table":"people","columns":[{"name":"name","type":"string"},{"name":"id","type":"int","primary_key":"true"},{"name":"age","type":"int"}]})J");
    ASSERT_TRUE(ok(r)) << r;
    EXPECT_EQ(json_get(r, "message"), "table created");
    r = c_.ask(R"J({"action":"insert","table":"people","data":{"id":1,"name":"Ann","age":3}})J");
    EXPECT_TRUE(ok(r)) << r;
    EXPECT_EQ(error_of(c_.ask(
                  R"J({"action":"insert","table":"people","data":{"id":1,"name":"B","age":4}})J")),
              "duplicate primary key");
    bool found = false;
    for (const WalRecord& w : wal_of("jdb"))
        if (w.op == 1) {
            EXPECT_EQ(w.json, "CREATE TABLE people (name string, id int PRIMARY KEY, age int)");
            found = true;
        }
    EXPECT_TRUE(found);

    const std::vector<std::pair<std::string, std::string>> refusals = {
        {R"J({"action":"create_table","table":"t1","columns":[{"name":"id","type":"int","primary_key":true}]})J",
         "primary key required"},
        {R"J({"action":"create_table","table":"t2"})J", "missing columns"},
        {R"J({"action":"create_table","table":"t3","columns":[{"name":"id","type":"blob","primary_key":"1"}]})J",
         "unsupported type"},
        {R"J({"action":"create_table","table":"t4","columns":[{"name":"id","type":"int","primary_key":"1"},{"name":"id","type":"int"}]})J",
         "duplicate column name 'id'"},
        {R"J({"action":"create_table","table":"t5","columns":[{"name":"id","type":"int","primary_key":"1"},{"name":"a","type":"int"},{"name":"A","type":"string"}]})J",
         "duplicate column name 'A'"},
        {R"J({"action":"create_table","table":"a__b","columns":[{"name":"id","type":"int","primary_key":"1"}]})J",
         "invalid table name"},
    };
    for (const auto& [req, msg] : refusals) EXPECT_EQ(error_of(c_.ask(req)), msg) << req;
}

TEST_F(Writes, UserManagementRules) {
    ASSERT_TRUE(ok(c_.sql("CREATE DATABASE Sales")));
    std::string r = c_.sql("CREATE USER carol IDENTIFIED BY 'pw'");
    ASSERT_TRUE(ok(r)) << r;
    EXPECT_EQ(json_get(r, "message"), "user created");
    EXPECT_EQ(json_get(r, "username"), "carol");

    const std::vector<std::pair<std::string, std::string>> refusals = {
        {R"J({"action":"create_user","username":"carol","password":"x"})J", "user already exists"},
        {R"J({"action":"create_user","username":"Admin","password":"x"})J", "user already exists"},
        {R"J({"action":"create_user","username":"","password":"x"})J", "invalid username"},
        {R"J({"action":"create_user","username":"a@b","password":"x"})J", "invalid username"},
        {R"J({"action":"create_user","username":"dave","password":""})J", "missing password"},
        {R"J({"action":"grant_role","username":"carol","database":"sales","role":"ADMIN"})J",
         "unknown role"},
        {R"J({"action":"grant_role","username":"carol","database":"sales","role":"NONE"})J",
         "unknown role"},
        {R"J({"action":"grant_role","username":"carol","database":"nowhere","role":"READ"})J",
         "database not found"},
        {R"J({"action":"grant_role","username":"nobody","database":"sales","role":"READ"})J",
         "user not found"},
        {R"J({"action":"sql","sql":"GRANT ADMIN ON sales TO carol"})J", "unknown role"},
    };
    for (const auto& [req, msg] : refusals) EXPECT_EQ(error_of(c_.ask(req)), msg) << req;

    // A grant typed with another spelling of the database acts on it.
    r = c_.sql("GRANT write ON sales TO carol");
    ASSERT_TRUE(ok(r)) << r;
    EXPECT_EQ(json_get(r, "database"), "Sales");
    EXPECT_EQ(json_get(r, "role"), "write");
    ASSERT_TRUE(ok(c_.sql("USE Sales")));
    ASSERT_TRUE(ok(c_.sql("CREATE TABLE t (id int PRIMARY KEY)")));

    Client carol;
    ASSERT_TRUE(carol.connect(srv_->port()));
    r = carol.login("carol", "pw");
    EXPECT_EQ(json_get(r, "must_change_password"), "true") << r;
    carol.login_ready("carol", "pw");
    ASSERT_TRUE(ok(carol.sql("USE SALES")));
    EXPECT_TRUE(ok(carol.sql("INSERT INTO t VALUES (1)")));
    // Downgrade through yet another spelling: the same grant row changes.
    ASSERT_TRUE(ok(c_.ask(
        R"J({"action":"grant_role","username":"carol","database":"SaLeS","role":"READ"})J")));
    EXPECT_EQ(error_of(carol.sql("INSERT INTO t VALUES (2)")), "permission denied");
}

// 16 connections x 200 inserts: half of each client's keys are its own, half
// are contested by every client. Every acknowledged key must be present
// (re-inserting it is a duplicate, also after a restart) and each contested
// key must have been accepted exactly once.
TEST_F(Writes, ConcurrentWritersLoseNothingAndAcceptEachKeyOnce) {
    use_new_db("conc");
    ASSERT_TRUE(ok(c_.sql("CREATE TABLE ev (id string PRIMARY KEY, who int)")));
    constexpr int kClients = 16, kPerClient = 200, kContested = 100;
    std::vector<std::vector<std::string>> acked(kClients);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < kClients; w++) {
        threads.emplace_back([&, w] {
            Client c;
            if (!ready_client(c, "conc")) {
                failures++;
                return;
            }
            for (int i = 0; i < kPerClient; i++) {
                std::string key = i < kContested
                                      ? "c" + std::to_string(i)
                                      : "w" + std::to_string(w) + "_" + std::to_string(i);
                std::string r =
                    c.sql("INSERT INTO ev VALUES ('" + key + "', " + std::to_string(w) + ")");
                if (ok(r))
                    acked[w].push_back(key);
                else if (error_of(r) != "duplicate primary key" || i >= kContested)
                    failures++;
            }
        });
    }
    for (auto& t : threads) t.join();
    ASSERT_EQ(failures.load(), 0);

    std::map<std::string, int> accepted;
    for (const auto& keys : acked)
        for (const auto& k : keys) accepted[k]++;
    EXPECT_EQ(accepted.size(), size_t(kClients * (kPerClient - kContested) + kContested));
    for (const auto& [k, n] : accepted) EXPECT_EQ(n, 1) << k;

    // One insert record per acknowledged key, no more.
    std::map<std::string, int> logged;
    for (const WalRecord& w : wal_of("conc"))
        if (w.op == 2) logged[w.key]++;
    EXPECT_EQ(logged, accepted);

    ASSERT_TRUE(srv_->restart());
    Client c;
    ASSERT_TRUE(c.connect(srv_->port()));
    c.login_ready("admin", kAdminPassword);
    ASSERT_TRUE(ok(c.sql("USE conc")));
    int missing = 0;
    for (const auto& kv : accepted)
        if (error_of(c.sql("INSERT INTO ev VALUES ('" + kv.first + "', 99)")) !=
            "duplicate primary key")
            missing++;
    EXPECT_EQ(missing, 0);
}

// 8 connections compete for 40 values of a unique column (each client tries
// every value twice, under keys of its own): each value is accepted exactly
// once, the log holds one record per accepted row, and a restart keeps
// exactly those rows.
TEST_F(Writes, ConcurrentWritersAcceptEachUniqueValueOnce) {
    use_new_db("uniq");
    ASSERT_TRUE(ok(c_.sql("CREATE TABLE ev (id int PRIMARY KEY, slot int)")));
    ASSERT_TRUE(ok(c_.sql("CREATE UNIQUE INDEX u_slot ON ev (slot)")));
    constexpr int kClients = 8, kValues = 40;
    std::vector<std::vector<int>> acked(kClients);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < kClients; w++) {
        threads.emplace_back([&, w] {
            Client c;
            if (!ready_client(c, "uniq")) {
                failures++;
                return;
            }
            for (int i = 0; i < 2 * kValues; i++) {
                const int id = w * 1000 + i, slot = i % kValues;
                std::string r = c.sql("INSERT INTO ev VALUES (" + std::to_string(id) + ", " +
                                      std::to_string(slot) + ")");
                if (ok(r))
                    acked[w].push_back(slot);
                else if (error_of(r) != "unique index 'u_slot' violation")
                    failures++;
            }
        });
    }
    for (auto& t : threads) t.join();
    ASSERT_EQ(failures.load(), 0);

    std::map<int, int> accepted;
    for (const auto& slots : acked)
        for (int v : slots) accepted[v]++;
    EXPECT_EQ(accepted.size(), size_t(kValues));
    for (const auto& [v, n] : accepted) EXPECT_EQ(n, 1) << v;
    int logged = 0;
    for (const WalRecord& w : wal_of("uniq"))
        if (w.op == 2) logged++;
    EXPECT_EQ(logged, kValues);

    ASSERT_TRUE(srv_->restart());
    Client c;
    ASSERT_TRUE(c.connect(srv_->port()));
    c.login_ready("admin", kAdminPassword);
    ASSERT_TRUE(ok(c.sql("USE uniq")));
    for (int v = 0; v < kValues; v++)
        EXPECT_EQ(error_of(c.sql("INSERT INTO ev VALUES (" + std::to_string(90000 + v) + ", " +
                                 std::to_string(v) + ")")),
                  "unique index 'u_slot' violation")
            << v;
}

}  // namespace
