// UPDATE and DELETE parsing: statements to table, key and SET lists, value
// normalisation against a schema, and every refusal.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/text_util.h"
#include "query/simple_parse.h"
#include "query/update_delete_parse.h"
#include "storage/table.h"

namespace {

struct Update {
    int rc = -1;
    std::string err, table, key, where_col;
    std::vector<std::string> cols, vals;
};

// Parses, then (when a schema is given) normalises the SET values.
Update update(const std::string& sql, const TableSchema* schema = nullptr) {
    Update u;
    char table[64] = {0}, key[2048] = {0}, wcol[64] = {0}, err[256] = {0};
    char** cols = nullptr;
    char** vals = nullptr;
    int n = 0;
    u.rc = parse_update_sql(sql.c_str(), table, sizeof table, key, sizeof key, &cols, &vals, &n,
                            wcol, err, sizeof err);
    if (u.rc == 0 && schema) {
        u.rc = normalize_update_values_for_schema(schema, cols, vals, n, err, sizeof err);
    }
    if (cols) {
        for (int i = 0; i < n; ++i) {
            u.cols.emplace_back(cols[i]);
            u.vals.emplace_back(vals[i]);
        }
        free_string_array(cols, n);
        free_string_array(vals, n);
    } else {
        EXPECT_EQ(n, 0);
        EXPECT_EQ(vals, nullptr);
    }
    u.err = err;
    u.table = table;
    u.key = key;
    u.where_col = wcol;
    return u;
}

TableSchema make_schema() {
    TableSchema s;
    char err[256] = {0};
    EXPECT_EQ(parse_create_table_sql("CREATE TABLE t (id int primary key, name text, score double)",
                                     &s, err, sizeof err),
              0)
        << err;
    return s;
}

TEST(UpdateParse, StatementsToFields) {
    Update u = update("update t SET name = 'x', score = 5 WHERE id = 7;");
    ASSERT_EQ(u.rc, 0) << u.err;
    EXPECT_EQ(u.table, "t");
    EXPECT_EQ(u.key, "7");
    EXPECT_EQ(u.where_col, "id");
    EXPECT_EQ(u.cols, (std::vector<std::string>{"name", "score"}));
    EXPECT_EQ(u.vals, (std::vector<std::string>{"'x'", "5"}));

    // The key literal comes back as written, trimmed outside its quotes only:
    // the caller reads it the way SELECT reads its key literal.
    struct KeyCase {
        const char* where;
        const char* key;
    } keys[] = {
        {"id = 'k1'", "'k1'"},           {"id = \"k1\"", "\"k1\""},  {"id = 'a\\'b'", "'a\\'b'"},
        {"id = 'x AND y'", "'x AND y'"}, {"id =  ' b '  ", "' b '"}, {"id = ''", "''"},
        {"id = null", "null"},
    };
    for (const auto& k : keys) {
        Update r = update(std::string("UPDATE t SET a = 1 WHERE ") + k.where);
        ASSERT_EQ(r.rc, 0) << k.where << ": " << r.err;
        EXPECT_EQ(r.key, k.key) << k.where;
    }
}

TEST(UpdateParse, ValuesNormalisedForSchema) {
    TableSchema s = make_schema();
    struct Case {
        const char* set;
        const char* value;    // normalised value, or nullptr when refused
        const char* message;  // refusal message
    } cases[] = {
        {"name = 'x'", "\"x\"", nullptr},
        {"name = \"x\"", "\"x\"", nullptr},
        {"name = \"a\\\"b\"", "\"a\\\"b\"", nullptr},
        {"name = 'it''s'", "\"it''s\"", nullptr},
        {"score = 2.5", "2.5", nullptr},
        // A double-quoted value that is not exactly one JSON string must not
        // plant further members; as one SQL literal it becomes one string.
        {"name = \"x\" \"role\":\"FULL\"", nullptr, "bad string literal for column 'name'"},
        {"name = \"a\\q\"", "\"aq\"", nullptr},
        {"name = x", nullptr, "bad string literal for column 'name'"},
        {"Name = 'x'", nullptr, "unknown column 'Name'"},
        {"score = 1}", nullptr, "bad value type for column 'score'"},
    };
    for (const auto& c : cases) {
        Update u = update(std::string("UPDATE t SET ") + c.set + " WHERE id = 1", &s);
        if (c.value) {
            ASSERT_EQ(u.rc, 0) << c.set << ": " << u.err;
            ASSERT_EQ(u.vals.size(), 1u);
            EXPECT_EQ(u.vals[0], c.value) << c.set;
        } else {
            EXPECT_EQ(u.rc, -1) << c.set;
            EXPECT_EQ(u.err, c.message) << c.set;
        }
    }
}

TEST(UpdateParse, Refusals) {
    struct Case {
        std::string sql;
        const char* message;
    } cases[] = {
        {"UPDATE t SET a = 1 WHERE id = 1" + std::string(4100, ' ') + "2",
         "UPDATE statement too long"},
        {"UPDATES t SET a = 1 WHERE id = 1", "invalid UPDATE"},
        {"UPDATE t SET a = 1", "UPDATE requires SET and WHERE"},
        {"UPDATE t WHERE id = 1 SET a = 1", "UPDATE requires SET and WHERE"},
        {"UPDATE '' SET a = 1 WHERE id = 1", "invalid table name"},
        {"UPDATE t SET a = '" + std::string(2100, 'v') + "' WHERE id = 1",
         "UPDATE SET clause too long"},
        {"UPDATE t SET a = 1 WHERE id = '" + std::string(600, 'k') + "'",
         "UPDATE WHERE clause too long"},
        {"UPDATE t SET name = 'x' WHERE id > 7", "UPDATE WHERE must be key equality"},
        {"UPDATE t SET name = 'x' WHERE id", "UPDATE WHERE must be key equality"},
        {"UPDATE t SET name 'x' WHERE id = 1", "bad SET clause"},
        {"UPDATE t SET name = WHERE id = 1", "bad SET clause"},
        {"UPDATE t SET = 3 WHERE id = 1", "bad SET clause"},
        {"UPDATE t SET a = 1, a = 2 WHERE id = 1", "duplicate SET column 'a'"},
        {"UPDATE t SET WHERE id = 1", "missing SET clause"},
        // The key is one literal: trailing text must not be dropped or kept.
        {"UPDATE t SET a = 1 WHERE id = 10 OR id = 20",
         "UPDATE WHERE value must be a single literal"},
        {"UPDATE t SET a = 1 WHERE id = 'a' 'b'", "UPDATE WHERE value must be a single literal"},
        {"UPDATE t SET a = 1 WHERE id =", "UPDATE WHERE value must be a single literal"},
        {"UPDATE t SET a = 1 WHERE id = (1", "UPDATE WHERE value must be a single literal"},
        {"UPDATE t SET a = 1 WHERE id = 1)", "UPDATE WHERE value must be a single literal"},
        {"UPDATE t SET a = 1) WHERE id = 1", "bad SET clause"},
        {"UPDATE t SET a = 1, b = 2) WHERE id = 1", "bad SET clause"},
        {"UPDATE t SET a = (1 WHERE id = 1", "UPDATE requires SET and WHERE"},
        {"UPDATE t SET a = 'x WHERE id = 1", "UPDATE requires SET and WHERE"},
    };
    for (const auto& c : cases) {
        Update u = update(c.sql);
        EXPECT_EQ(u.rc, -1) << c.sql.substr(0, 80);
        EXPECT_EQ(u.err, c.message) << c.sql.substr(0, 80);
    }
}

TEST(UpdateParse, KeyMustFitItsBuffer) {
    char table[64], key[8], wcol[64], err[256];
    char** cols = nullptr;
    char** vals = nullptr;
    int n = 0;
    EXPECT_EQ(parse_update_sql("UPDATE t SET a = 1 WHERE id = 12345678", table, sizeof table, key,
                               sizeof key, &cols, &vals, &n, wcol, err, sizeof err),
              -1);
    EXPECT_STREQ(err, "UPDATE key too long");
    EXPECT_EQ(cols, nullptr);
}

struct Delete {
    int rc;
    std::string err, table, key, col;
};

Delete del(const std::string& sql, size_t key_cap = 2048) {
    Delete d;
    char table[64] = {0}, key[2048] = {0}, col[64] = {0}, err[256] = {0};
    d.rc = parse_delete_sql(sql.c_str(), table, sizeof table, key, key_cap, col, sizeof col, err,
                            sizeof err);
    d.err = err;
    d.table = table;
    d.key = key;
    d.col = col;
    return d;
}

TEST(DeleteParse, StatementsToFields) {
    struct Case {
        const char* sql;
        const char* table;
        const char* col;
        const char* key;
    } cases[] = {
        {"DELETE FROM t WHERE 'id' = 5", "t", "id", "5"},
        {"delete from \"T\" where id = 'a\\'b';", "T", "id", "'a\\'b'"},
        {"DELETE FROM t WHERE id='k=1'", "t", "id", "'k=1'"},
        {"DELETE FROM t WHERE id = \" lead\"", "t", "id", "\" lead\""},
    };
    for (const auto& c : cases) {
        Delete d = del(c.sql);
        ASSERT_EQ(d.rc, 0) << c.sql << ": " << d.err;
        EXPECT_EQ(d.table, c.table);
        EXPECT_EQ(d.col, c.col);
        EXPECT_EQ(d.key, c.key);
    }
}

TEST(DeleteParse, Refusals) {
    struct Case {
        std::string sql;
        const char* message;
        size_t key_cap;
    } cases[] = {
        {"DELETE FROM t WHERE id = 1" + std::string(2050, ' ') + "2", "DELETE statement too long",
         2048},
        {"DELETE t WHERE id = 1", "invalid DELETE", 2048},
        {"DELETE FROM t", "DELETE requires WHERE", 2048},
        {"DELETE FROM '' WHERE id = 1", "invalid table name", 2048},
        {"DELETE FROM t WHERE id = '" + std::string(600, 'k') + "'", "DELETE WHERE clause too long",
         2048},
        {"DELETE FROM t WHERE id >= 5", "DELETE WHERE must be key equality", 2048},
        {"DELETE FROM t WHERE '' = 5", "invalid column name", 2048},
        {"DELETE FROM t WHERE " + std::string(64, 'c') + " = 5", "column name too long", 2048},
        {"DELETE FROM t WHERE id = 10 OR id = 20", "DELETE WHERE value must be a single literal",
         2048},
        {"DELETE FROM t WHERE id = (1", "DELETE WHERE value must be a single literal", 2048},
        {"DELETE FROM t WHERE id = 1)", "DELETE WHERE value must be a single literal", 2048},
        {"DELETE FROM t WHERE id = 'x", "DELETE WHERE value must be a single literal", 2048},
        {"DELETE FROM t WHERE id = 12345", "DELETE key too long", 4},
    };
    for (const auto& c : cases) {
        Delete d = del(c.sql, c.key_cap);
        EXPECT_EQ(d.rc, -1) << c.sql.substr(0, 80);
        EXPECT_EQ(d.err, c.message) << c.sql.substr(0, 80);
    }
}

}  // namespace
