// INSERT parsing: statements to row objects, and every refusal.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/text_util.h"
#include "query/insert_parse.h"
#include "query/simple_parse.h"
#include "storage/table.h"

namespace {

class InsertParse : public ::testing::Test {
  protected:
    void SetUp() override {
        char err[256] = {0};
        ASSERT_EQ(
            parse_create_table_sql("CREATE TABLE t (id int primary key, name text, score double)",
                                   &schema_, err, sizeof err),
            0)
            << err;
    }

    // Rows of a successful parse, or the message of a failed one.
    struct Result {
        int rc;
        std::string err;
        std::string table;
        std::vector<std::string> rows;
    };

    Result parse(const std::string& sql) {
        Result r;
        char table[64] = {0};
        char err[256] = {0};
        char** rows = reinterpret_cast<char**>(1);
        int count = -1;
        r.rc = parse_insert_sql_multi(sql.c_str(), table, sizeof table, &rows, &count, &schema_,
                                      err, sizeof err);
        r.err = err;
        r.table = table;
        if (r.rc == 0) {
            for (int i = 0; i < count; ++i) r.rows.emplace_back(rows[i]);
            free_string_array(rows, count);
        } else {
            EXPECT_EQ(rows, nullptr);
            EXPECT_EQ(count, 0);
        }
        return r;
    }

    TableSchema schema_;
};

TEST_F(InsertParse, StatementsToRows) {
    struct Case {
        std::string sql;
        std::vector<std::string> rows;
    } cases[] = {
        {"INSERT INTO t VALUES (1, 'a', 1.5), (2, 'b', 2)",
         {R"({"id":1,"name":"a","score":1.5})", R"({"id":2,"name":"b","score":2})"}},
        {"insert into t (name, id) values ('a', 1)", {R"({"name":"a","id":1})"}},
        {"INSERT INTO t (NAME, 'ID') VALUES ('a', 1)", {R"({"name":"a","id":1})"}},
        {"INSERT INTO t VALUES(1,'a',0)", {R"({"id":1,"name":"a","score":0})"}},
        {"INSERT INTO t VALUES (1, 'a', 0); garbage", {R"({"id":1,"name":"a","score":0})"}},
        {"INSERT INTO t VALUES (1, 'a', 0),", {R"({"id":1,"name":"a","score":0})"}},
        {"INSERT INTO t (id, name) VALUES (1, 'it''s')", {R"({"id":1,"name":"it''s"})"}},
        {"INSERT INTO t (id, name) VALUES (1, 'a\\'b')", {R"({"id":1,"name":"a'b"})"}},
        {"INSERT INTO t (id, name) VALUES (1, \"x\")", {R"({"id":1,"name":"x"})"}},
        {"INSERT INTO t (id, name) VALUES (1, 'a,b')", {R"({"id":1,"name":"a,b"})"}},
        {"INSERT INTO t (id, name) VALUES (1, 'q\"(')", {R"({"id":1,"name":"q\"("})"}},
        // A backslash escapes the next byte: 'a\\' closes, and the tuple keeps
        // its three values in place.
        {"INSERT INTO t VALUES (1, 'a\\\\', 2), (2, 'b', 3)",
         {R"({"id":1,"name":"a\\","score":2})", R"({"id":2,"name":"b","score":3})"}},
        // A double-quoted value that is one JSON string is that string, as in
        // UPDATE: \u escapes keep bytes no SQL escape survives normalising.
        {R"(INSERT INTO t (id, name) VALUES (1, "a\u0009b\u000a\"c"))",
         {R"({"id":1,"name":"a\u0009b\u000a\"c"})"}},
        // Anything else in double quotes is a SQL literal: \' is no JSON escape.
        {R"(INSERT INTO t (id, name) VALUES (1, "it\'s\u0041"))",
         {R"({"id":1,"name":"it'su0041"})"}},
    };
    for (const auto& c : cases) {
        Result r = parse(c.sql);
        ASSERT_EQ(r.rc, 0) << c.sql << ": " << r.err;
        EXPECT_EQ(r.table, "t");
        EXPECT_EQ(r.rows, c.rows) << c.sql;
    }
}

TEST_F(InsertParse, Refusals) {
    struct Case {
        std::string sql;
        const char* message;
    } cases[] = {
        {"", "empty SQL"},
        {"  ;  ", "empty SQL"},
        {"INSERT t VALUES (1)", "invalid INSERT"},
        {"INSERT INTO t (1, 'a', 0)", "missing VALUES"},
        {"INSERT INTO VALUES (1, 'a', 0)", "missing INSERT target"},
        {"INSERT INTO   VALUES (1, 'a', 0)", "missing table name"},
        {"INSERT INTO t (id VALUES (1)", "missing VALUES"},
        {"INSERT INTO t (id) x VALUES (1)", "unexpected text after INSERT column list"},
        {"INSERT INTO t (" + std::string(2100, 'c') + ") VALUES (1)",
         "INSERT column list too long"},
        {"INSERT INTO t VALUES 1, 2", "VALUES must start with ("},
        {"INSERT INTO t VALUES (1, 'a', 0) (2, 'b', 0)", "unexpected text after VALUES"},
        {"INSERT INTO t VALUES (1, 'a', 0) x", "unexpected text after VALUES"},
        {"INSERT INTO t VALUES (1, 'a', 0))", "unexpected text after VALUES"},
        {"INSERT INTO t VALUES (1, 'a', (0)", "VALUES must end with )"},
        {"INSERT INTO t VALUES (1, 'a, 0)", "VALUES must end with )"},
        {"INSERT INTO t VALUES (1, 'a', 0), x", "VALUES tuple must start with ("},
        {"INSERT INTO t VALUES (1, 'a'", "VALUES must end with )"},
        {"INSERT INTO t VALUES (1, 'a\\', 0)", "VALUES must end with )"},
        {"INSERT INTO t VALUES (1, '" + std::string(4100, 'v') + "', 0)", "VALUES tuple too long"},
        {"INSERT INTO t VALUES (1, , 0)", "empty value in VALUES list"},
        // Two JSON strings in a row plant no second member.
        {R"(INSERT INTO t (id, name) VALUES (1, "x":"FULL"))",
         "bad string literal for column 'name'"},
        {R"(INSERT INTO t (id, name) VALUES (1, "x" "y"))", "bad string literal for column 'name'"},
        {"INSERT INTO t VALUES (1, 'a')", "value count mismatch"},
        {"INSERT INTO t (id) VALUES (1, 2)", "column/value count mismatch"},
        {"INSERT INTO t (id, ) VALUES (1, 2)", "bad insert column list"},
        {"INSERT INTO t (id, nope) VALUES (1, 2)", "unknown column 'nope'"},
        {"INSERT INTO t (id, ID) VALUES (1, 2)", "duplicate column 'ID' in INSERT"},
        {"INSERT INTO t VALUES (1, abc, 0)", "bad string literal for column 'name'"},
        {"INSERT INTO t VALUES (1, 'a' 'b', 0)", "bad string literal for column 'name'"},
        {"INSERT INTO t VALUES (1}, 'a', 0)", "bad value type for column 'id'"},
        {"INSERT INTO t VALUES (1, 'a', 2 \"x\":3)", "bad value type for column 'score'"},
        {"INSERT INTO '' VALUES (1, 'a', 0)", "invalid table name"},
        {"INSERT INTO " + std::string(64, 'n') + " VALUES (1, 'a', 0)", "table name too long"},
    };
    for (const auto& c : cases) {
        Result r = parse(c.sql);
        EXPECT_EQ(r.rc, -1) << c.sql.substr(0, 80);
        EXPECT_EQ(r.err, c.message) << c.sql.substr(0, 80);
    }
}

TEST_F(InsertParse, ValueAndColumnLimits) {
    std::string values = "1";
    std::string cols = "c0";
    for (int i = 1; i < 65; ++i) {
        values += ",1";
        cols += ",c" + std::to_string(i);
    }
    EXPECT_EQ(parse("INSERT INTO t VALUES (" + values + ")").err, "too many values");
    EXPECT_EQ(parse("INSERT INTO t (" + cols + ") VALUES (1)").err, "too many columns");
}

TEST_F(InsertParse, SingleTupleFormAndTableName) {
    char table[64] = {0};
    char err[256] = {0};
    char* row = nullptr;
    ASSERT_EQ(parse_insert_sql("INSERT INTO t VALUES (7, 'z', 1)", table, sizeof table, &row,
                               &schema_, err, sizeof err),
              0)
        << err;
    EXPECT_STREQ(row, R"({"id":7,"name":"z","score":1})");
    std::free(row);
    row = nullptr;
    EXPECT_EQ(parse_insert_sql("INSERT INTO t VALUES (1, 'a', 1), (2, 'b', 2)", table, sizeof table,
                               &row, &schema_, err, sizeof err),
              -1);
    EXPECT_STREQ(err, "expected single VALUES tuple");
    EXPECT_EQ(row, nullptr);

    ASSERT_EQ(parse_insert_table_name_sql("INSERT INTO \"Orders\" (a) VALUES (1)", table,
                                          sizeof table, err, sizeof err),
              0);
    EXPECT_STREQ(table, "Orders");
}

TEST_F(InsertParse, RowsAreSizedToTheirContent) {
    // Many tiny tuples: each row must hold only its own bytes.
    std::string sql = "INSERT INTO t (id) VALUES (0)";
    for (int i = 1; i < 20000; ++i) sql += ",(" + std::to_string(i) + ")";
    Result r = parse(sql);
    ASSERT_EQ(r.rc, 0) << r.err;
    ASSERT_EQ(r.rows.size(), 20000u);
    EXPECT_EQ(r.rows[19999], R"({"id":19999})");
}

TEST(SqlStringLiteral, ToJson) {
    struct Case {
        const char* in;
        const char* out;  // nullptr: refused
    } cases[] = {
        {"'abc'", "\"abc\""},
        {"'a\\\"b'", "\"a\\\"b\""},
        {"'back\\\\'", "\"back\\\\\""},
        {"'line\\nx'", "\"line\\nx\""},
        {"\"dq\"", "\"dq\""},
        {"''", "\"\""},
        {"'", nullptr},
        {"abc", nullptr},
        {"'a' 'b'", nullptr},
        {"'a\\'", nullptr},
        {"'a\"", nullptr},
    };
    for (const auto& c : cases) {
        char* js = sql_string_literal_to_json(c.in);
        if (c.out) {
            ASSERT_NE(js, nullptr) << c.in;
            EXPECT_STREQ(js, c.out) << c.in;
        } else {
            EXPECT_EQ(js, nullptr) << c.in;
        }
        std::free(js);
    }
}

TEST(SqlDupNormalized, LimitsAndNormalising) {
    char err[128] = {0};
    char* s = sql_dup_normalized_dynamic("  INSERT\\nINTO t\tVALUES (1) ;", err, sizeof err);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "INSERT INTO t VALUES (1)");
    std::free(s);
    std::string big(SQL_MESSAGE_MAX + 1, 'x');
    EXPECT_EQ(sql_dup_normalized_dynamic(big.c_str(), err, sizeof err), nullptr);
    EXPECT_STREQ(err, "SQL statement exceeds maximum message size");
}

}  // namespace
