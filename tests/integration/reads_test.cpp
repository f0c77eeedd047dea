// The read path over the wire: SELECT forms and their exact replies, the
// statement checks that keep a SELECT from running as another query, USE
// and the registered spelling of a database, and the catalogue listings
// (including catalogues too large for a fixed buffer).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kyrel_test.h"
#include "writes_helpers.h"

using namespace kyrel_test;
using namespace writes_test;

namespace {

constexpr const char* kConfig =
    "AUTO_TUNE=OFF\nAUTO_VACUUM=OFF\nCONNECTION_WORKERS=4\nCOMMIT_GROUP_WAIT_MS=0\n";

class Reads : public ::testing::Test {
  protected:
    void SetUp() override {
        srv_.set_config(kConfig);
        ASSERT_TRUE(srv_.start()) << srv_.last_error();
        ASSERT_TRUE(c_.connect(srv_.port()));
        c_.login_ready("admin", "lumen406");
    }
    std::string must(const std::string& sql) {
        std::string r = c_.sql(sql);
        EXPECT_TRUE(ok(r)) << sql << " -> " << r;
        return r;
    }
    TestServer srv_;
    Client c_;
};

TEST_F(Reads, SelectFormsReturnExactReplies) {
    must("CREATE DATABASE shop");
    must("USE shop");
    must("CREATE TABLE items (id string PRIMARY KEY, qty int, price double, name string, ok bool)");
    must("INSERT INTO items VALUES ('a', 1, 1.5, 'apple', true)");
    must("INSERT INTO items VALUES ('b', 5, 0.25, 'bean', false)");
    must("INSERT INTO items VALUES ('say \"hi\"', 9, 10, 'quote', true)");
    const std::string A = R"({"id":"a","qty":1,"price":1.5,"name":"apple","ok":true})";
    const std::string Q = R"({"id":"say \"hi\"","qty":9,"price":10,"name":"quote","ok":true})";
    struct Case {
        const char* sql;
        std::string rows;
    } cases[] = {
        {"SELECT * FROM items WHERE id = 'a'", A},
        {"SELECT * FROM items WHERE id = a", A},
        {"SELECT * FROM items WHERE id = 'say \"hi\"'", Q},
        {"SELECT * FROM items WHERE id = 'zz'", ""},
        {"SELECT * FROM items WHERE id = 'a' LIMIT 0", ""},
        {"SELECT name FROM items WHERE qty > 4 ORDER BY qty",
         R"({"name":"bean"},{"name":"quote"})"},
        {"SELECT id, qty FROM items WHERE price <= 1.5 ORDER BY id",
         R"({"id":"a","qty":1},{"id":"b","qty":5})"},
        {"SELECT name FROM items WHERE ok = false", R"({"name":"bean"})"},
        {"SELECT name FROM items WHERE name != 'apple' AND qty < 9", R"({"name":"bean"})"},
        {"SELECT qty FROM items WHERE name >= 'b' ORDER BY qty DESC LIMIT 1", R"({"qty":9})"},
        {"SELECT qty FROM items ORDER BY qty LIMIT 99999999999",
         R"({"qty":1},{"qty":5},{"qty":9})"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c_.sql(c.sql), "{\"ok\":true,\"table\":\"items\",\"rows\":[" + c.rows + "]}")
            << c.sql;
    }
}

TEST_F(Reads, StatementsThatCouldRunAsAnotherQueryAreRefused) {
    must("CREATE TABLE t (id int PRIMARY KEY, b int)");
    must("INSERT INTO t VALUES (1, 5)");
    must("INSERT INTO t VALUES (2, 2)");
    struct Case {
        std::string sql;
        const char* error;
    } cases[] = {
        {"SELECT * FROM t WHERE id = 1 OR b = 2", "WHERE value must be a single literal"},
        {"SELECT * FROM t WHERE b = '2' x", "WHERE value must be a single literal"},
        {"SELECT * FROM nope", "table not found"},
        {"SELECT * FROM t WHERE B = 2", "unknown WHERE column"},
    };
    for (const Case& c : cases) EXPECT_EQ(error_of(c_.sql(c.sql)), c.error) << c.sql;
    // A statement longer than the parser's work buffer is refused, not cut.
    std::string longsql = "SELECT * FROM t WHERE b = 2" + std::string(9000, ' ') + "AND id = 1";
    std::string r = c_.sql(longsql);
    EXPECT_FALSE(ok(r)) << r.substr(0, 200);
    EXPECT_FALSE(error_of(r).empty());
}

// Computed numbers are JSON numbers a reader takes for finite doubles:
// null where no finite double holds the result, and the largest doubles
// written so that they read back as themselves.
TEST_F(Reads, ComputedNumbersReadBackAsFiniteDoubles) {
    must("CREATE TABLE big (id int PRIMARY KEY, x double)");
    must("INSERT INTO big VALUES (1, 1e308), (2, 1e308), (3, -1e308)");
    EXPECT_EQ(c_.sql("SELECT SUM(x), VAR(x), STDDEV(x) FROM big WHERE id < 3"),
              R"js({"ok":true,"table":"big","rows":[{"SUM(x)":null,"VAR(x)":0,"STDDEV(x)":0}]})js");
    EXPECT_EQ(
        c_.sql("SELECT VAR(x), AVG(x) FROM big"),
        R"js({"ok":true,"table":"big","rows":[{"VAR(x)":null,"AVG(x)":3.33333333333333e+307}]})js");
    must("CREATE TABLE top (id int PRIMARY KEY, x double)");
    must("INSERT INTO top VALUES (1, 1.7976931348623157e308)");
    const std::string m = "1.7976931348623157e+308";
    const std::string head = R"js({"ok":true,"table":"top","rows":[{)js";
    EXPECT_EQ(c_.sql("SELECT SUM(x), AVG(x), MEDIAN(x) FROM top"),
              head + R"js("SUM(x)":)js" + m + R"js(,"AVG(x)":)js" + m + R"js(,"MEDIAN(x)":)js" + m +
                  "}]}");
    EXPECT_EQ(c_.sql("SELECT ROUND(x), ABS(x), FLOOR(x), CEIL(x), POW(x, 1) FROM top"),
              head + R"js("ROUND(x)":)js" + m + R"js(,"ABS(x)":)js" + m + R"js(,"FLOOR(x)":)js" +
                  m + R"js(,"CEIL(x)":)js" + m + R"js(,"POW(x,1)":)js" + m + "}]}");
    // A literal operand keeps its value through the parser's normal form.
    EXPECT_EQ(c_.sql("SELECT ABS(-1.7976931348623157e308) FROM top"),
              head + R"js("ABS(-1.7976931348623157e+308)":)js" + m + "}]}");
}

TEST_F(Reads, UseStoresTheRegisteredSpelling) {
    must("CREATE DATABASE Sales");
    std::string r = c_.sql("USE SALES");
    ASSERT_TRUE(ok(r)) << r;
    EXPECT_EQ(json_get(r, "database"), "Sales");
    must("CREATE TABLE t (id int PRIMARY KEY)");
    must("INSERT INTO t VALUES (7)");
    EXPECT_EQ(c_.sql("SELECT * FROM t"), R"({"ok":true,"table":"t","rows":[{"id":7}]})");
    r = c_.sql("SHOW TABLES");
    EXPECT_EQ(json_get(r, "database"), "Sales") << r;

    EXPECT_EQ(error_of(c_.sql("USE nowhere")), "database not found");
    EXPECT_EQ(json_get(c_.sql("SHOW TABLES"), "database"), "Sales");  // unchanged
    r = c_.ask(R"({"action":"use_database","database":"sales"})");
    if (ok(r)) {
        EXPECT_EQ(json_get(r, "database"), "Sales");
    }

    // Tables of another database are not reachable unqualified.
    must("USE default");
    EXPECT_EQ(error_of(c_.sql("SELECT * FROM t")), "table not found");
}

TEST_F(Reads, ListingsGrowPastFourKilobytes) {
    // 62 more databases of 63-byte names fill the registry of 64.
    for (int i = 0; i < 62; ++i) {
        char name[64];
        snprintf(name, sizeof name, "db%02d%s", i, std::string(59, 'x').c_str());
        must(std::string("CREATE DATABASE ") + name);
    }
    std::string r = c_.sql("SHOW DATABASES");
    ASSERT_TRUE(ok(r)) << r.substr(0, 200);
    EXPECT_GT(r.size(), 4096u);
    EXPECT_NE(r.find("db61" + std::string(59, 'x')), std::string::npos);
    EXPECT_EQ(r.substr(r.size() - 2), "]}");

    must("USE db00" + std::string(59, 'x'));
    for (int i = 0; i < 60; ++i)
        must("CREATE TABLE tab" + std::to_string(i) + std::string(50, 'y') +
             " (id int PRIMARY KEY, v string)");
    r = c_.sql("SHOW TABLES");
    ASSERT_TRUE(ok(r)) << r.substr(0, 200);
    EXPECT_GT(r.size(), 4096u);
    EXPECT_NE(r.find(R"({"name":"tab59)" + std::string(50, 'y') +
                     R"(","primary_key":"id","columns":2}]})"),
              std::string::npos);
}

TEST_F(Reads, ShowTableAndIndexes) {
    must("CREATE DATABASE cat");
    must("USE cat");
    EXPECT_EQ(c_.sql("SHOW TABLES"), R"({"ok":true,"database":"cat","tables":[]})");
    must("CREATE TABLE t (id int PRIMARY KEY, name string)");
    must("CREATE TABLE u (k string PRIMARY KEY)");
    EXPECT_EQ(
        c_.sql("SHOW TABLE t"),
        R"({"ok":true,"database":"cat","table":{"name":"t","primary_key":"id","column_count":2,"columns":[)"
        R"({"name":"id","type":"int","max_length":0,"is_primary_key":true},)"
        R"({"name":"name","type":"string","max_length":2047,"is_primary_key":false}]}})");
    EXPECT_EQ(error_of(c_.sql("SHOW TABLE nope")), "table not found");
    // Only blanks after SHOW TABLE: the show_table action answers the name
    // check's message; as SQL the trimmed text matches no statement.
    EXPECT_EQ(error_of(c_.ask(R"({"action":"show_table","sql":"SHOW TABLE   "})")),
              "invalid table name");
    EXPECT_EQ(error_of(c_.ask(R"({"action":"show_table","sql":"SHOW TABLES"})")),
              "invalid SHOW TABLE");
    EXPECT_EQ(error_of(c_.ask(R"({"action":"sql","sql":"SHOW TABLE    "})")), "invalid request");
    EXPECT_EQ(c_.sql("SHOW INDEXES ON t"),
              R"({"ok":true,"database":"cat","table":"t","indexes":[]})");
    EXPECT_EQ(c_.sql("SHOW INDEXES t"), c_.sql("SHOW INDEXES ON t"));
    EXPECT_EQ(c_.sql("SHOW INDEXES"), R"({"ok":true,"database":"cat","indexes":[]})");
    // Where the server builds indexes, an index without options reports the defaults.
    if (ok(c_.sql("CREATE INDEX ix_name ON t (name)"))) {
        EXPECT_EQ(
            c_.sql("SHOW INDEXES ON t"),
            R"({"ok":true,"database":"cat","table":"t","indexes":[{"name":"ix_name","column":"name",)"
            R"("method":"btree","unique":false,"columns":[{"name":"name","direction":"ASC","nulls":"LAST"}],)"
            R"("options":{"fillfactor":100,"deduplicate_items":true}}]})");
    }
}

}  // namespace
