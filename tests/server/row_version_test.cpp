// Row versions: latest/snapshot reads, row validation and canonical values,
// primary-key extraction, column merge and typed comparison.
#include "storage/row_version.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "storage/table.h"

namespace {

// A table with columns id int (pk), name string, score double, ok bool, ts timestamp.
std::unique_ptr<Table> make_table() {
    std::unique_ptr<Table> t(new Table());
    TableSchema& s = t->schema;
    snprintf(s.name, sizeof s.name, "t");
    const char* names[] = {"id", "name", "score", "ok", "ts"};
    int types[] = {1, 3, 2, 4, 5};
    for (int i = 0; i < 5; ++i) {
        snprintf(s.columns[i].name, 64, "%s", names[i]);
        s.columns[i].type = types[i];
    }
    s.columns[0].is_primary_key = 1;
    s.column_count = 5;
    snprintf(s.primary_key, sizeof s.primary_key, "id");
    return t;
}

struct Chain {
    Table* t;
    void push(uint64_t seq, const char* key, const char* json) {
        VersionedRow* r = versioned_row_new(seq, key, json, json == nullptr);
        r->next = t->rows;
        t->rows = r;
        pk_latest_map_update(t, r);
    }
    ~Chain() {
        pk_latest_map_clear(t);
        while (t->rows) {
            VersionedRow* n = t->rows->next;
            versioned_row_free(t->rows);
            t->rows = n;
        }
    }
};

TEST(RowVersion, MemSize) {
    EXPECT_EQ(versioned_row_mem_size("ab", "{}"), 48u + 3 + 3);
    EXPECT_EQ(versioned_row_mem_size("ab", nullptr), 48u + 3);
}

TEST(RowVersion, LatestAndSnapshotReads) {
    auto t = make_table();
    Chain c{t.get()};
    c.push(2, "1", "{\"id\":1,\"name\":\"a\"}");
    c.push(5, "1", nullptr);  // delete
    c.push(8, "1", "{\"id\":1,\"name\":\"b\"}");
    c.push(9, "2", nullptr);

    char* json = nullptr;
    uint64_t seq = 0;
    int deleted = 0;
    ASSERT_EQ(versioned_get_latest_json(t.get(), "1", &json, &seq, &deleted), 0);
    EXPECT_STREQ(json, "{\"id\":1,\"name\":\"b\"}");
    EXPECT_EQ(seq, 8u);
    free(json);
    ASSERT_EQ(versioned_get_latest_json(t.get(), "2", &json, &seq, &deleted), 0);
    EXPECT_EQ(json, nullptr);
    EXPECT_EQ(deleted, 1);
    EXPECT_EQ(versioned_get_latest_json(t.get(), "3", &json, &seq, &deleted), -1);

    struct Case {
        uint64_t snap;
        int rc;
        uint64_t seq;
        int deleted;
    } cases[] = {
        {1, -1, 0, 0},  // before the insert
        {2, 0, 2, 0},   {4, 0, 2, 0},
        {5, 0, 5, 1},   {7, 0, 5, 1},   // between delete and re-insert: the tombstone
        {100, 0, 8, 0}, {0, -1, 0, 0},  // snapshot 0 never reads
    };
    for (const auto& k : cases) {
        json = nullptr;
        int rc = versioned_get_visible_json(t.get(), "1", k.snap, &json, &seq, &deleted);
        EXPECT_EQ(rc, k.rc) << k.snap;
        if (rc == 0) {
            EXPECT_EQ(seq, k.seq) << k.snap;
            EXPECT_EQ(deleted, k.deleted) << k.snap;
            EXPECT_EQ(json == nullptr, k.deleted == 1) << k.snap;
        }
        free(json);
    }
    // Without the map the chain walk gives the same answers.
    pk_latest_map_clear(t.get());
    ASSERT_EQ(versioned_get_latest_json(t.get(), "1", nullptr, &seq, nullptr), 0);
    EXPECT_EQ(seq, 8u);
    ASSERT_EQ(versioned_get_visible_json(t.get(), "1", 6, nullptr, &seq, &deleted), 0);
    EXPECT_EQ(seq, 5u);
}

TEST(RowVersion, ValidateAndCanonicalize) {
    auto t = make_table();
    struct Case {
        const char* row;
        const char* expect;
        const char* error;
    } cases[] = {
        {"{\"id\":1,\"name\":\"x\"}", "{\"id\":1,\"name\":\"x\"}", nullptr},
        {"{\"name\":\"x\"}", nullptr, "missing primary key"},
        {"{\"id\":1,\"name\":null}", nullptr, "bad value type for column 'name'"},
        {"{\"id\":1,\"name\":12}", nullptr, "bad value type for column 'name'"},
        {"{\"id\":1,\"ok\":TRUE}", "{\"id\":1,\"ok\":true}", nullptr},
        {"{\"id\":1,\"ok\":False}", "{\"id\":1,\"ok\":false}", nullptr},
        {"{\"id\":1,\"ok\":1}", "{\"id\":1,\"ok\":true}", nullptr},
        {"{\"id\":1,\"ok\":0}", "{\"id\":1,\"ok\":false}", nullptr},
        {"{\"id\":1,\"ok\":yes}", nullptr, "bad value type for column 'ok'"},
        {"{\"id\":1,\"ok\":2}", nullptr, "bad value type for column 'ok'"},
        {"{\"id\":+5}", "{\"id\":5}", nullptr},
        {"{\"id\":007}", "{\"id\":7}", nullptr},
        {"{\"id\":-0}", "{\"id\":0}", nullptr},
        {"{\"id\":12abc}", nullptr, "bad value type for column 'id'"},
        {"{\"id\":1.5}", nullptr, "bad value type for column 'id'"},
        {"{\"id\":99999999999999999999}", nullptr, "bad value type for column 'id'"},
        {"{\"id\":1,\"score\":.5}", "{\"id\":1,\"score\":0.5}", nullptr},
        {"{\"id\":1,\"score\":5.}", "{\"id\":1,\"score\":5}", nullptr},
        {"{\"id\":1,\"score\":-007.25e+3}", "{\"id\":1,\"score\":-7.25e+3}", nullptr},
        {"{\"id\":1,\"score\":1e3}", "{\"id\":1,\"score\":1e3}", nullptr},
        {"{\"id\":1,\"score\":0.1}", "{\"id\":1,\"score\":0.1}", nullptr},
        {"{\"id\":1,\"score\":1e3x}", nullptr, "bad value type for column 'score'"},
        {"{\"id\":1,\"score\":inf}", nullptr, "bad value type for column 'score'"},
        {"{\"id\":1,\"score\":nan}", nullptr, "bad value type for column 'score'"},
        {"{\"id\":1,\"score\":0x1p3}", nullptr, "bad value type for column 'score'"},
        {"{\"id\":1,\"score\":1e999}", nullptr, "bad value type for column 'score'"},
        {"{\"id\":1,\"ts\":1700000000}", "{\"id\":1,\"ts\":1700000000}", nullptr},
        {"{\"id\":1,\"ts\":\"2024-01-01\"}", nullptr, "bad value type for column 'ts'"},
        // Members outside the schema are kept unchecked; canonical values are untouched.
        {"{\"id\": 3 ,\"extra\":TRUE}", "{\"id\": 3 ,\"extra\":TRUE}", nullptr},
    };
    for (const auto& c : cases) {
        char err[256] = "";
        char* out = nullptr;
        int vrc = schema_validate_row_object(t.get(), c.row, err, sizeof err);
        int crc = schema_canonicalize_row_object(t.get(), c.row, &out, err, sizeof err);
        EXPECT_EQ(vrc, crc) << c.row;
        if (c.error) {
            EXPECT_EQ(crc, -1) << c.row;
            EXPECT_STREQ(err, c.error) << c.row;
            EXPECT_EQ(out, nullptr);
        } else {
            ASSERT_EQ(crc, 0) << c.row << ": " << err;
            EXPECT_STREQ(out, c.expect) << c.row;
        }
        free(out);
    }
}

TEST(RowVersion, PrimaryKeyValue) {
    auto t = make_table();
    char key[2048], err[256];
    ASSERT_EQ(schema_get_pk_value(t.get(), "{\"id\": 42 }", key, sizeof key, err, sizeof err), 0);
    EXPECT_STREQ(key, "42");
    EXPECT_EQ(schema_get_pk_value(t.get(), "{\"name\":1}", key, sizeof key, err, sizeof err), -1);
    EXPECT_STREQ(err, "missing primary key value");
    EXPECT_EQ(schema_get_pk_value(t.get(), "{\"id\":\"7\"}", key, sizeof key, err, sizeof err), -1);
    EXPECT_STREQ(err, "bad value type for column 'id'");
    t->schema.primary_key[0] = '\0';
    EXPECT_EQ(schema_get_pk_value(t.get(), "{\"id\":1}", key, sizeof key, err, sizeof err), -1);
    EXPECT_STREQ(err, "table has no primary key");
}

// One key per value, whether a row holds it or a statement writes it: string
// keys are their decoded text (no two JSON strings share one), numbers are
// canonical. "-" marks a text that cannot be a key of the type.
TEST(RowVersion, PrimaryKeyForm) {
    struct Case {
        int type;
        const char* text;
        PkKeySource source;
        const char* key;
    } cases[] = {
        {COL_TYPE_STRING, "\"a\\\"b\"", PK_FROM_ROW_VALUE, "a\"b"},
        {COL_TYPE_STRING, "\"\\\\\"", PK_FROM_ROW_VALUE, "\\"},
        {COL_TYPE_STRING, "\"\\\\\\\\\"", PK_FROM_ROW_VALUE, "\\\\"},
        {COL_TYPE_STRING, "\"caf\\u00e9\"", PK_FROM_ROW_VALUE, "caf\xc3\xa9"},
        {COL_TYPE_STRING, "\"caf\xc3\xa9\"", PK_FROM_ROW_VALUE, "caf\xc3\xa9"},
        {COL_TYPE_STRING, "\"a\\u0000b\"", PK_FROM_ROW_VALUE, "-"},
        {COL_TYPE_STRING, "\"a\\'b\"", PK_FROM_ROW_VALUE, "-"},
        {COL_TYPE_STRING, "7", PK_FROM_ROW_VALUE, "-"},
        {COL_TYPE_STRING, "'a\"b'", PK_FROM_LITERAL, "a\"b"},
        {COL_TYPE_STRING, "'it\\'s'", PK_FROM_LITERAL, "it's"},
        {COL_TYPE_STRING, "\"caf\\u00e9\"", PK_FROM_LITERAL, "caf\xc3\xa9"},
        {COL_TYPE_STRING, "'\\\\'", PK_FROM_LITERAL, "\\"},
        {COL_TYPE_STRING, " k1 ", PK_FROM_LITERAL, "k1"},
        // Blanks inside the quotes belong to the key; outside they do not.
        {COL_TYPE_STRING, " ' b ' ", PK_FROM_LITERAL, " b "},
        {COL_TYPE_STRING, "\" \"", PK_FROM_LITERAL, " "},
        {COL_TYPE_STRING, "''", PK_FROM_LITERAL, ""},
        {COL_TYPE_STRING, "null", PK_FROM_LITERAL, "-"},
        {COL_TYPE_STRING, "'null'", PK_FROM_LITERAL, "null"},
        {COL_TYPE_INT, "007", PK_FROM_LITERAL, "7"},
        {COL_TYPE_INT, "'+8'", PK_FROM_LITERAL, "8"},
        {COL_TYPE_INT, "-0", PK_FROM_LITERAL, "0"},
        {COL_TYPE_INT, "7.9", PK_FROM_LITERAL, "-"},
        {COL_TYPE_INT, "abc", PK_FROM_LITERAL, "-"},
        {COL_TYPE_INT, "null", PK_FROM_LITERAL, "-"},
        {COL_TYPE_TIMESTAMP, "0100", PK_FROM_ROW_VALUE, "100"},
        {COL_TYPE_DOUBLE, "1.50", PK_FROM_ROW_VALUE, "1.5"},
        {COL_TYPE_DOUBLE, "1.5", PK_FROM_LITERAL, "1.5"},
        {COL_TYPE_DOUBLE, "1e3", PK_FROM_LITERAL, "1000"},
        {COL_TYPE_DOUBLE, "-0.0", PK_FROM_LITERAL, "0"},
        {COL_TYPE_DOUBLE, "0.1", PK_FROM_LITERAL, "0.1"},
        {COL_TYPE_DOUBLE, "1e400", PK_FROM_LITERAL, "-"},
        {COL_TYPE_BOOL, "TRUE", PK_FROM_LITERAL, "true"},
        {COL_TYPE_BOOL, "0", PK_FROM_ROW_VALUE, "false"},
        {COL_TYPE_BOOL, "yes", PK_FROM_LITERAL, "-"},
    };
    for (const Case& c : cases) {
        std::string key;
        int rc = pk_key_form(c.type, c.text, c.source, &key);
        EXPECT_EQ(rc == 0 ? key : std::string("-"), c.key) << c.type << " " << c.text;
    }
}

TEST(RowVersion, UpsertKeepsSchemaOrder) {
    TableSchema s{};
    s.column_count = 2;
    snprintf(s.columns[0].name, 64, "a");
    snprintf(s.columns[1].name, 64, "b");
    const char* names[] = {"b", "zz"};
    const char* vals[] = {"\"new\"", "1"};
    char* out = nullptr;
    ASSERT_EQ(json_object_upsert(&s, "{\"b\":\"old\",\"a\":1,\"x\":2}", names, vals, 2, &out), 0);
    EXPECT_STREQ(out, "{\"a\":1,\"b\":\"new\"}");
    free(out);
    ASSERT_EQ(json_object_upsert(&s, "{}", nullptr, nullptr, 0, &out), 0);
    EXPECT_STREQ(out, "{}");
    free(out);
}

TEST(RowVersion, EscapesAndNull) {
    struct Case {
        const char *in, *out;
    } strip[] = {
        {" 'it\\'s' ", "it's"},
        {"\"a\\/b\"", "a/b"},
        {"\"x\\n\"", "x\n"},
        {"'mixed\"", "'mixed\""},
        {"trail\\", "trail\\"},
        // A JSON string is decoded as JSON; an escape JSON does not know
        // falls back to the SQL rules.
        {"\"caf\\u00e9\"", "caf\xc3\xa9"},
        {"\"tab\\u0009\"", "tab\t"},
        {"'caf\\u00e9'", "cafu00e9"},
        {"\"a\\'b\"", "a'b"},
        {"\"a\\u0000b\"", "au0000b"},
    };
    for (const auto& c : strip) {
        std::string s = c.in;
        strip_sql_or_json_quotes(s.data());
        EXPECT_STREQ(s.c_str(), c.out) << c.in;
    }
    struct N {
        const char* v;
        int null;
    } nulls[] = {
        {"null", 1},  {" NULL", 1},    {"Null}", 1}, {"null,", 1},
        {"nullx", 0}, {"\"null\"", 0}, {nullptr, 1}, {"0", 0},
    };
    for (const auto& n : nulls) EXPECT_EQ(is_json_null_token(n.v), n.null) << (n.v ? n.v : "NULL");
}

TEST(RowVersion, CompareByType) {
    struct Case {
        int type;
        const char *a, *b;
        int sign;
    } cases[] = {
        {1, "9", "10", -1},
        {1, "\"abc\"", "1", -1},  // non-numeric reads 0
        {3, "\"10\"", "\"9\"", -1},
        {3, "'abc'", "\"abc\"", 0},  // SQL literal equals JSON string
        {3, "\"a\\/b\"", "\"a/b\"", 0},
        {3, "\"caf\\u00e9\"", "'caf\xc3\xa9'", 0},  // a JSON escape is its character
        {4, "false", "TRUE", -1},
        {4, "1", "true", 0},
        {2, "1e3", "999.5", 1},
        {2, "2.5", "2.50", 0},
        {5, "100", "100", 0},
        {1, "null", "5", 1},  // null sorts last
        {1, "5", "null", -1},
        {3, "null", "NULL", 0},
    };
    for (const auto& c : cases) {
        int r = compare_json_values(c.type, c.a, c.b);
        int sign = r < 0 ? -1 : (r > 0 ? 1 : 0);
        EXPECT_EQ(sign, c.sign) << c.type << " " << c.a << " " << c.b;
    }
}

TEST(RowVersion, EvalCompare) {
    struct Case {
        const char *a, *op, *b;
        int r;
    } cases[] = {
        {"1", "=", "1", 1},       {"1", "<>", "2", 1},    {"1", "!=", "1", 0},   {"1", "<", "2", 1},
        {"2", "<=", "2", 1},      {"3", ">", "2", 1},     {"2", ">=", "3", 0},   {"1", "~", "1", 0},
        {"null", "=", "null", 0}, {"1", "!=", "null", 0}, {"null", "<", "1", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(eval_compare(1, c.a, c.op, c.b), c.r) << c.a << c.op << c.b;
}

TEST(RowVersion, KeyExistsLive) {
    TableSchema s{};
    char err[256];
    ASSERT_EQ(table_create("live_t", &s, err, sizeof err), 0);
    Table* t = &g_tables.slots[table_find_index("live_t")];
    Chain c{t};
    c.push(1, "a", "{}");
    c.push(2, "b", "{}");
    c.push(3, "b", nullptr);
    EXPECT_EQ(table_key_exists_live("LIVE_T", "a"), 1);
    EXPECT_EQ(table_key_exists_live("live_t", "b"), 0);
    EXPECT_EQ(table_key_exists_live("live_t", "zz"), 0);
    EXPECT_EQ(table_key_exists_live("nope", "a"), 0);
}

}  // namespace
