// Index values, unique constraints and index-map upkeep.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/text_util.h"
#include "storage/index_values.h"
#include "storage/row_changes.h"
#include "storage/row_version.h"
#include "storage/sec_index.h"
#include "storage/table.h"
#include "table_fixture.h"

namespace {

std::string canon(int type, const char* raw, std::string* err_out = nullptr) {
    char err[128] = "";
    char* v = index_canonical_raw_value(type, raw, err, sizeof err);
    if (err_out) *err_out = err;
    std::string out = v ? v : "<error>";
    free(v);
    return out;
}

TEST(IndexCanonical, ValuesByType) {
    struct Case {
        int type;
        const char* raw;
        const char* want;  // "<error>" with the message in msg
        const char* msg;
    } cases[] = {
        {COL_TYPE_INT, "007", "7", ""},
        {COL_TYPE_INT, "'7'", "7", ""},
        {COL_TYPE_INT, "\"5\" ", "5", ""},
        {COL_TYPE_INT, "7.5", "<error>", "bad integer index value"},
        {COL_TYPE_INT, "99999999999999999999", "<error>", "bad integer index value"},
        {COL_TYPE_INT, "null", "<error>", "bad integer index value"},
        {COL_TYPE_DOUBLE, "1e2", "100", ""},
        {COL_TYPE_DOUBLE, "-0.0", "0", ""},
        {COL_TYPE_DOUBLE, "0.1", "0.10000000000000001", ""},
        {COL_TYPE_DOUBLE, "abc", "<error>", "bad numeric index value"},
        {COL_TYPE_BOOL, "TRUE", "true", ""},
        {COL_TYPE_BOOL, "'false'", "false", ""},
        {COL_TYPE_BOOL, "1", "true", ""},
        {COL_TYPE_BOOL, "0", "false", ""},
        {COL_TYPE_BOOL, "yes", "<error>", "bad boolean index value"},
        // SQL literal and stored JSON spellings of one text are one value.
        {COL_TYPE_STRING, "'a/b'", "\"a/b\"", ""},
        {COL_TYPE_STRING, "\"a\\/b\"", "\"a/b\"", ""},
        {COL_TYPE_STRING, "\"a/b\"", "\"a/b\"", ""},
        {COL_TYPE_STRING, "\"\\u0041\"", "\"A\"", ""},
        {COL_TYPE_STRING, "'it\\'s'", "\"it's\"", ""},
        {COL_TYPE_STRING, "'q\"q'", "\"q\\\"q\"", ""},
        {COL_TYPE_STRING, "null", "null", ""},
        {COL_TYPE_TIMESTAMP, " 1700000000 ", "1700000000", ""},
        {COL_TYPE_UNKNOWN, "  raw;", "raw", ""},
    };
    for (const Case& c : cases) {
        std::string msg;
        EXPECT_EQ(canon(c.type, c.raw, &msg), c.want) << c.raw;
        if (std::string(c.want) == "<error>") {
            EXPECT_EQ(msg, c.msg) << c.raw;
        }
    }
}

TEST(IndexCanonical, LongStringsKeepTheirWholeValue) {
    std::string common(3000, 'p');
    std::string a = "\"" + common + "a\"", b = "\"" + common + "b\"";
    EXPECT_NE(canon(COL_TYPE_STRING, a.c_str()), canon(COL_TYPE_STRING, b.c_str()));
    EXPECT_EQ(canon(COL_TYPE_STRING, a.c_str()).size(), a.size());
}

TEST(IndexComposite, EncodeAndSpan) {
    const char* comps[] = {"abc", nullptr};
    char* v = nullptr;
    char err[64];
    ASSERT_EQ(index_encode_components(comps, 2, &v, err, sizeof err), 0);
    EXPECT_STREQ(v, "3:abc0:");
    const char* start = nullptr;
    size_t len = 99;
    EXPECT_EQ(index_value_component_span(v, 1, &start, &len), 0);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(index_value_component_span(v, 0, &start, &len), 0);
    EXPECT_EQ(std::string(start, len), "abc");
    EXPECT_EQ(index_value_component_span(v, 2, &start, &len), -1);
    EXPECT_EQ(index_value_component_span(v, -1, &start, &len), -1);
    free(v);
    EXPECT_EQ(index_encode_components(comps, 0, &v, err, sizeof err), -1);
    EXPECT_STREQ(err, "bad composite index value");
    EXPECT_EQ(v, nullptr);

    const char* malformed[] = {"5:abc", "x:abc", "3abc", "", "99999999999999999999999:a"};
    for (const char* m : malformed)
        EXPECT_EQ(index_value_component_span(m, 0, &start, &len), -1) << m;
}

class IndexValuesTest : public TableFixture {
  protected:
    void SetUp() override {
        TableFixture::SetUp();
        t_ = make_table({{"id", COL_TYPE_INT, true},
                         {"email", COL_TYPE_STRING, false},
                         {"age", COL_TYPE_INT, false}},
                        &name_);
        ASSERT_NE(t_, nullptr);
        ux_ = add_index(t_, "ux_email", {"email"}, true);
    }
    int insert(uint64_t seq, const char* row) {
        return table_apply_insert(name_.c_str(), seq, row, err_, sizeof err_);
    }
    Table* t_ = nullptr;
    std::string name_;
    int ux_ = -1;
};

TEST_F(IndexValuesTest, RowValuesAndNotIndexedRows) {
    IndexDef comp{};
    indexdef_init(&comp);
    snprintf(comp.name, sizeof comp.name, "c");
    comp.column_count = 2;
    snprintf(comp.columns[0].name, 64, "email");
    snprintf(comp.columns[1].name, 64, "age");
    indexdef_ensure_defaults(&comp);
    char* v = nullptr;
    EXPECT_EQ(index_build_value_for_row(t_, &comp, "{\"id\":1,\"email\":\"x\",\"age\":007}", &v,
                                        err_, sizeof err_),
              0);
    EXPECT_STREQ(v, "3:\"x\"1:7");
    free(v);
    EXPECT_EQ(
        index_build_value_for_row(t_, &comp, "{\"id\":1,\"email\":\"x\"}", &v, err_, sizeof err_),
        1);
    snprintf(comp.columns[1].name, 64, "nope");
    EXPECT_EQ(index_build_value_for_row(t_, &comp, "{\"id\":1,\"email\":\"x\",\"nope\":1}", &v,
                                        err_, sizeof err_),
              -1);
    EXPECT_STREQ(err_, "unknown index column");

    int skip = 0;
    for (const char* row : {"{\"id\":1}", "{\"id\":1,\"email\":null}"}) {
        EXPECT_EQ(
            index_unique_value_for_row(t_, &t_->indexes[ux_], row, &v, &skip, err_, sizeof err_),
            0);
        EXPECT_EQ(skip, 1) << row;
    }
    EXPECT_EQ(index_unique_value_for_row(t_, nullptr, "{}", &v, &skip, err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "internal unique index check error");
}

TEST_F(IndexValuesTest, UniqueViolationsNullsAndSelfUpdates) {
    ASSERT_EQ(insert(1, "{\"id\":1,\"email\":\"a/b\"}"), 0) << err_;
    // The same text in another spelling is the same value.
    EXPECT_EQ(insert(2, "{\"id\":2,\"email\":\"a\\/b\"}"), -1);
    EXPECT_STREQ(err_, "unique index 'ux_email' violation");
    // Missing and null values never conflict.
    EXPECT_EQ(insert(3, "{\"id\":3}"), 0) << err_;
    EXPECT_EQ(insert(4, "{\"id\":4}"), 0) << err_;
    // Rewriting a row with its own value is not a conflict.
    EXPECT_EQ(insert(6, "{\"id\":1,\"email\":\"a/b\",\"age\":2}"), 0) << err_;
    const char* names[] = {"age"};
    const char* vals[] = {"3"};
    EXPECT_EQ(table_apply_update(name_.c_str(), 7, "1", names, vals, 1, err_, sizeof err_), 0)
        << err_;
    // After a delete the value is free again.
    ASSERT_EQ(table_apply_delete(name_.c_str(), 8, "1", err_, sizeof err_), 0);
    EXPECT_EQ(insert(9, "{\"id\":2,\"email\":\"a/b\"}"), 0) << err_;

    // Long values sharing a long prefix are distinct.
    std::string p(3000, 'z');
    EXPECT_EQ(insert(10, ("{\"id\":20,\"email\":\"" + p + "1\"}").c_str()), 0) << err_;
    EXPECT_EQ(insert(11, ("{\"id\":21,\"email\":\"" + p + "2\"}").c_str()), 0) << err_;
}

TEST_F(IndexValuesTest, BatchChecksAndExistingRowValidation) {
    const char* rows[] = {"{\"id\":1,\"email\":\"x\"}", "{\"id\":2,\"email\":\"y\"}",
                          "{\"id\":3,\"email\":\"x\"}"};
    const char* keys[] = {"1", "2", "3"};
    {
        RwWriteGuard g(&t_->lock);
        EXPECT_EQ(table_check_unique_batch_constraints_locked(t_, rows, keys, 3, err_, sizeof err_),
                  -1);
        EXPECT_STREQ(err_, "unique index 'ux_email' violation in batch");
        EXPECT_EQ(table_check_unique_batch_constraints_locked(t_, rows, keys, 2, err_, sizeof err_),
                  0);
    }
    // Rows that predate the unique index: creating it must name both keys.
    ASSERT_EQ(insert(1, rows[0]), 0);
    ASSERT_EQ(insert(2, "{\"id\":2,\"email\":\"q\",\"age\":5}"), 0);
    ASSERT_EQ(insert(3, "{\"id\":3,\"email\":\"r\",\"age\":5}"), 0);
    IndexDef d{};
    indexdef_init(&d);
    snprintf(d.name, sizeof d.name, "ux_age");
    snprintf(d.column, sizeof d.column, "age");
    d.unique = 1;
    indexdef_ensure_defaults(&d);
    RwWriteGuard g(&t_->lock);
    EXPECT_EQ(unique_index_validate_existing_rows_locked(t_, &d, err_, sizeof err_), -1);
    std::string msg = err_;
    EXPECT_TRUE(msg == "unique index 'ux_age' violation between keys '2' and '3'" ||
                msg == "unique index 'ux_age' violation between keys '3' and '2'")
        << msg;
    EXPECT_EQ(unique_index_validate_existing_rows_locked(t_, &t_->indexes[ux_], err_, sizeof err_),
              0);
}

TEST_F(IndexValuesTest, InvalidMapsAreBypassedUntilRebuild) {
    ASSERT_EQ(insert(1, "{\"id\":1,\"email\":\"x\"}"), 0);
    ASSERT_EQ(insert(2, "{\"id\":2}"), 0);
    char** keys = nullptr;
    int n = 0;
    {
        RwReadGuard g(&t_->lock);
        ASSERT_EQ(sec_index_lookup_keys(t_, ux_, "=", "'x'", &keys, &n, err_, sizeof err_), 0);
        ASSERT_EQ(n, 1);  // the row without email is not in the index
        EXPECT_STREQ(keys[0], "1");
        free_string_array(keys, n);
        EXPECT_EQ(sec_index_lookup_keys(t_, 5, "=", "'x'", &keys, &n, err_, sizeof err_), 1);
    }
    {
        RwWriteGuard g(&t_->lock);
        sec_index_maps_mark_invalid(t_);
    }
    // A later change neither revives the partial map nor misses a conflict.
    ASSERT_EQ(insert(3, "{\"id\":3,\"email\":\"y\"}"), 0);
    EXPECT_EQ(insert(4, "{\"id\":4,\"email\":\"x\"}"), -1);
    EXPECT_STREQ(err_, "unique index 'ux_email' violation");
    {
        RwReadGuard g(&t_->lock);
        EXPECT_EQ(sec_index_lookup_keys(t_, ux_, "=", "'y'", &keys, &n, err_, sizeof err_), 1);
    }
    {
        RwWriteGuard g(&t_->lock);
        ASSERT_EQ(sec_index_rebuild_all(t_), 0);
        EXPECT_EQ(t_->sec_maps_invalid, 0u);
    }
    RwReadGuard g(&t_->lock);
    ASSERT_EQ(sec_index_lookup_keys(t_, ux_, "=", "\"y\"", &keys, &n, err_, sizeof err_), 0);
    ASSERT_EQ(n, 1);
    EXPECT_STREQ(keys[0], "3");
    free_string_array(keys, n);
}

TEST_F(IndexValuesTest, FailedMapAdditionMarksMapsInvalid) {
    Table* t = make_table({{"id", COL_TYPE_INT, true}, {"v", COL_TYPE_STRING, false}});
    int pos = add_index(t, "ix_v", {"v"}, false);
    ASSERT_EQ(table_apply_insert(t->schema.name, 1, "{\"id\":1,\"v\":\"text\"}", err_, sizeof err_),
              0);
    RwWriteGuard g(&t->lock);
    EXPECT_TRUE(sec_index_map_usable(t, pos));
    // The stored text no longer canonicalises once the column reads as int.
    t->schema.columns[1].type = COL_TYPE_INT;
    EXPECT_EQ(sec_index_update_for_row(t, t->rows), -1);
    EXPECT_EQ(t->sec_maps_invalid, 1u);
    EXPECT_FALSE(sec_index_map_usable(t, pos));
    t->schema.columns[1].type = COL_TYPE_STRING;
    EXPECT_EQ(sec_index_rebuild_all(t), 0);
    EXPECT_TRUE(sec_index_map_usable(t, pos));
}

TEST_F(IndexValuesTest, BulkInsertWithUniqueIndexIsNearLinear) {
    const int n = 100000;
    auto start = std::chrono::steady_clock::now();
    char row[128];
    for (int i = 1; i <= n; i++) {
        snprintf(row, sizeof row, "{\"id\":%d,\"email\":\"user%d@example.com\",\"age\":%d}", i, i,
                 i % 90);
        ASSERT_EQ(insert((uint64_t)i, row), 0) << err_;
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("[ timing ] %d inserts into a table with a unique index: %.2f s\n", n, secs);
    EXPECT_EQ(insert(n + 1, "{\"id\":0,\"email\":\"user77@example.com\"}"), -1);
    EXPECT_STREQ(err_, "unique index 'ux_email' violation");
}

}  // namespace

namespace {

// The keys every value of map m that compares equal to operand lists, values
// in bucket order and keys in list order: the answer of comparing the values
// one by one, which a look-up by text must give exactly.
std::vector<std::string> keys_by_walk(const SecIndexMap& m, int type, const char* operand) {
    std::vector<std::string> out;
    for (uint64_t b = 0; b < m.value_bucket_count; ++b)
        for (const SecIndexValueEntry* e = m.value_buckets[b]; e; e = e->next)
            if (eval_compare(type, e->value, "=", operand))
                for (const SecIndexKeyNode* k = e->keys; k; k = k->next) out.push_back(k->key);
    return out;
}

}  // namespace

TEST_F(IndexValuesTest, EqualityOnOneColumnIndexAnswersLikeComparingEveryValue) {
    Table* t = make_table({{"id", COL_TYPE_INT, true},
                           {"n", COL_TYPE_INT, false},
                           {"d", COL_TYPE_DOUBLE, false},
                           {"s", COL_TYPE_STRING, false},
                           {"b", COL_TYPE_BOOL, false},
                           {"ts", COL_TYPE_TIMESTAMP, false}});
    const char* cols[] = {"n", "d", "s", "b", "ts"};
    int pos[5];
    for (int i = 0; i < 5; ++i)
        pos[i] = add_index(t, (std::string("ix_") + cols[i]).c_str(), {cols[i]}, false);
    uint64_t seq = 0;
    auto put = [&](const std::string& row) {
        ASSERT_EQ(table_apply_insert(t->schema.name, ++seq, row.c_str(), err_, sizeof err_), 0)
            << row << ": " << err_;
    };
    // Many values (spread over buckets), several keys per value, both zeros,
    // a row without the indexed members.
    for (int i = 1; i <= 300; ++i) {
        char row[256];
        snprintf(row, sizeof row, "{\"id\":%d,\"n\":%d,\"d\":%s,\"s\":\"v%d\",\"b\":%s,\"ts\":%d}",
                 i, i % 40 - 20,
                 i % 7 == 0 ? "-0.0" : (i % 11 == 0 ? "0" : std::to_string(i % 13 * 0.5).c_str()),
                 i % 50, i % 3 ? "true" : "false", 1700000000 + i % 9);
        ASSERT_NO_FATAL_FAILURE(put(row));
    }
    ASSERT_NO_FATAL_FAILURE(put("{\"id\":1000}"));
    const std::vector<std::vector<const char*>> operands = {
        {"1", "'1'", "01", "+1", "1.9", "-20", "19", "one", "0", "99999999999999999999", "null",
         "NULL", "'x'", "\"-3\""},
        {"0.5", "'0.5'", "0.50", "0", "-0", "0.0", "1e0", "6", "0x3", "nan", "inf", "null", "x"},
        {"'v1'", "v1", "\"v1\"", "'v49'", "'v50'", "''", "'null'", "null", "' v1'", "'V1'"},
        {"true", "TRUE", "1", "'true'", "false", "0", "yes", "null"},
        {"1700000000", "'1700000003'", "1700000003.5", "5", "null"},
    };
    auto check_all = [&](const std::string& label) {
        RwReadGuard g(&t->lock);
        for (int i = 0; i < 5; ++i) {
            const int type = t->schema.columns[i + 1].type;
            for (const char* op : operands[i]) {
                char** keys = nullptr;
                int n = 0;
                ASSERT_EQ(sec_index_lookup_keys(t, pos[i], "=", op, &keys, &n, err_, sizeof err_),
                          0);
                std::vector<std::string> got(keys, keys + n);
                free_string_array(keys, n);
                EXPECT_EQ(got, keys_by_walk(t->sec_maps[pos[i]], type, op))
                    << label << ": " << cols[i] << " = " << op;
            }
        }
    };
    ASSERT_NO_FATAL_FAILURE(check_all("plain values"));
    // A string stored with an escape: one string may then have several texts.
    ASSERT_NO_FATAL_FAILURE(put("{\"id\":1001,\"s\":\"v\\u0031\"}"));
    ASSERT_NO_FATAL_FAILURE(put("{\"id\":1002,\"s\":\"q\\\"uo\"}"));
    EXPECT_GT(t->sec_maps[pos[2]].escaped_values, 0u);
    ASSERT_NO_FATAL_FAILURE(check_all("escaped strings"));
    // Removing the escaped values makes the text look-up usable again.
    ASSERT_EQ(table_apply_delete(t->schema.name, ++seq, "1001", err_, sizeof err_), 0) << err_;
    ASSERT_EQ(table_apply_delete(t->schema.name, ++seq, "1002", err_, sizeof err_), 0) << err_;
    EXPECT_EQ(t->sec_maps[pos[2]].escaped_values, 0u);
    ASSERT_NO_FATAL_FAILURE(check_all("escaped strings deleted"));
}
