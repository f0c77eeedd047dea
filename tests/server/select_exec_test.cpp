// SELECT execution on in-process tables: the key look-up, WHERE evaluation by
// type and operator, LIMIT, streaming and projection, and the index paths
// (composite prefix, index file, values an index cannot hold).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/text_util.h"
#include "query/select_exec.h"
#include "query/select_parse.h"
#include "storage/index_file.h"
#include "storage/index_values.h"
#include "storage/row_changes.h"
#include "table_fixture.h"

namespace {

class SelectExec : public TableFixture {
  protected:
    void insert(const std::string& table, const std::string& row) {
        char e[256] = "";
        ASSERT_EQ(table_apply_insert(table.c_str(), ++seq_, row.c_str(), e, sizeof e), 0)
            << e << " " << row;
    }
    // The reply text, or "ERR:<message>".
    std::string run(const std::string& table, const std::string& sql) {
        SelectQuery q;
        char name[64], e[256] = "";
        std::string full = sql;
        size_t at = full.find("$T");
        if (at != std::string::npos) full.replace(at, 2, table);
        if (parse_select_sql(full.c_str(), name, sizeof name, &q, e, sizeof e) != 0)
            return std::string("PARSE:") + e;
        char* out = nullptr;
        if (select_rows_json(table.c_str(), name, &q, &out, e, sizeof e) != 0) {
            EXPECT_EQ(out, nullptr);
            return std::string("ERR:") + e;
        }
        std::string r(out);
        free(out);
        return r;
    }
    std::string rows(const std::string& table, const std::string& sql) {
        std::string r = run(table, sql);
        std::string head = "{\"ok\":true,\"table\":\"" + table + "\",\"rows\":[";
        if (r.rfind(head, 0) != 0) return r;
        return r.substr(head.size(), r.size() - head.size() - 2);
    }
    uint64_t seq_ = 0;
};

TEST_F(SelectExec, PrimaryKeyLookupReturnsStoredTextInEveryLiteralForm) {
    std::string t;
    make_table({{"id", COL_TYPE_STRING, true}, {"n", COL_TYPE_INT, false}}, &t);
    insert(t, R"({"id":"k1","n":1})");
    insert(t, R"({"id":"a\"b","n":2})");
    insert(t, R"({"id":"k3","n":3})");
    char e[256];
    ASSERT_EQ(table_apply_delete(t.c_str(), ++seq_, "k3", e, sizeof e), 0) << e;

    struct Case {
        const char* sql;
        const char* rows;
    } cases[] = {
        {"SELECT * FROM $T WHERE id = 'k1'", R"({"id":"k1","n":1})"},
        {"SELECT * FROM $T WHERE id = \"k1\"", R"({"id":"k1","n":1})"},
        {"SELECT * FROM $T WHERE id = k1", R"({"id":"k1","n":1})"},
        {"SELECT * FROM $T WHERE id = 'a\"b'", R"({"id":"a\"b","n":2})"},
        {"SELECT * FROM $T WHERE id = 'a\\\"b'", R"({"id":"a\"b","n":2})"},
        {"SELECT n FROM $T WHERE id = 'a\"b'", R"({"n":2})"},
        {"SELECT * FROM $T WHERE id = 'k1' LIMIT 0", ""},
        {"SELECT * FROM $T WHERE id = 'nope'", ""},
        {"SELECT * FROM $T WHERE id = 'k3'", ""},  // deleted
        {"SELECT * FROM $T WHERE id = 'k1' AND n = 2", ""},
        {"SELECT id FROM $T WHERE id = 'k1' AND n = 1", R"({"id":"k1"})"},
    };
    for (const Case& c : cases) EXPECT_EQ(rows(t, c.sql), c.rows) << c.sql;
    EXPECT_EQ(run(t, "SELECT * FROM $T WHERE id = 'k1'"),
              "{\"ok\":true,\"table\":\"" + t + "\",\"rows\":[{\"id\":\"k1\",\"n\":1}]}");
}

TEST_F(SelectExec, IntegerKeysAreFoundInAnyIntegerSpelling) {
    std::string t;
    make_table({{"id", COL_TYPE_INT, true}, {"v", COL_TYPE_STRING, false}}, &t);
    insert(t, R"({"id":42,"v":"x"})");
    for (const char* sql : {"SELECT v FROM $T WHERE id = 42", "SELECT v FROM $T WHERE id = '42'",
                            "SELECT * FROM $T WHERE id = 042", "SELECT * FROM $T WHERE id = +42"})
        EXPECT_NE(rows(t, sql), "") << sql;
}

TEST_F(SelectExec, WhereComparesByColumnType) {
    std::string t;
    make_table({{"id", COL_TYPE_STRING, true},
                {"n", COL_TYPE_INT, false},
                {"d", COL_TYPE_DOUBLE, false},
                {"s", COL_TYPE_STRING, false},
                {"b", COL_TYPE_BOOL, false}},
               &t);
    insert(t, R"({"id":"a","n":2,"d":1.5,"s":"apple","b":true})");
    insert(t, R"({"id":"b","n":10,"d":-3,"s":"banana","b":false})");
    insert(t, R"({"id":"c","n":-1,"d":20.25,"s":"cherry","b":true})");
    insert(t, R"({"id":"e","s":"nothing else"})");  // lacks n, d and b

    struct Case {
        const char* where;
        const char* ids;  // ids in key order
    } cases[] = {
        {"n = 2", "a"},
        {"n != 2", "b,c"},
        {"n <> 2", "b,c"},
        {"n < 2", "c"},
        {"n <= 2", "a,c"},
        {"n > 2", "b"},
        {"n >= 2", "a,b"},
        {"n > 9", "b"},  // numeric, not text order
        {"d > 1.5", "c"},
        {"d <= -3", "b"},
        {"d = 1.50", "a"},
        {"s = 'banana'", "b"},
        {"s > 'b'", "b,c,e"},
        {"s < \"b\"", "a"},
        {"b = true", "a,c"},
        {"b = false", "b"},
        {"n > 0 AND b = true", "a"},
        {"n >= -1 AND d < 10 AND s != 'apple'", "b"},
    };
    for (const Case& c : cases) {
        std::string got =
            rows(t, std::string("SELECT id FROM $T WHERE ") + c.where + " ORDER BY id");
        std::string want;
        for (const char* p = c.ids; *p; ++p) {
            if (*p == ',') {
                want += ',';
                continue;
            }
            want += std::string("{\"id\":\"") + *p + "\"}";
        }
        EXPECT_EQ(got, want) << c.where;
    }
}

TEST_F(SelectExec, WhereColumnIsExactCaseAndCheckedOnlyWhenRowsExist) {
    std::string t;
    make_table({{"id", COL_TYPE_STRING, true}, {"n", COL_TYPE_INT, false}}, &t);
    EXPECT_EQ(rows(t, "SELECT * FROM $T WHERE N = 1"), "");
    insert(t, R"({"id":"a","n":1})");
    EXPECT_EQ(run(t, "SELECT * FROM $T WHERE N = 1"), "ERR:unknown WHERE column");
    // The key look-up matches the key column in any case, but the re-check
    // of the row uses the exact name like every other predicate.
    EXPECT_EQ(run(t, "SELECT * FROM $T WHERE ID = 'a'"), "ERR:unknown WHERE column");
    EXPECT_EQ(run(t, "SELECT id FROM $T WHERE nope > 1"), "ERR:unknown WHERE column");
    EXPECT_EQ(run("no_such_table", "SELECT * FROM $T"), "ERR:table not found");
}

TEST_F(SelectExec, LimitCountsOutputRowsOfStreamsAndProjections) {
    std::string t;
    make_table({{"id", COL_TYPE_INT, true}, {"n", COL_TYPE_INT, false}}, &t);
    for (int i = 1; i <= 5; ++i)
        insert(t, "{\"id\":" + std::to_string(i) + ",\"n\":" + std::to_string(i % 2) + "}");
    auto count = [](const std::string& r) {
        size_t n = 0;
        for (size_t p = r.find('{'); p != std::string::npos; p = r.find('{', p + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count(rows(t, "SELECT * FROM $T")), 5u);
    EXPECT_EQ(count(rows(t, "SELECT * FROM $T LIMIT 2")), 2u);
    EXPECT_EQ(count(rows(t, "SELECT * FROM $T LIMIT 0")), 0u);
    EXPECT_EQ(count(rows(t, "SELECT * FROM $T WHERE n = 1 LIMIT 2")), 2u);
    EXPECT_EQ(count(rows(t, "SELECT id FROM $T WHERE n = 1")), 3u);
    EXPECT_EQ(count(rows(t, "SELECT id FROM $T LIMIT 99999999999")), 5u);
    EXPECT_EQ(rows(t, "SELECT n, id FROM $T WHERE n = 0 ORDER BY id LIMIT 1"), R"({"n":0,"id":2})");
}

// An index narrows the candidates but never changes the answer.
TEST_F(SelectExec, CompositeIndexGivesTheSameRowsAsTheScan) {
    std::string t;
    Table* tab = make_table({{"id", COL_TYPE_STRING, true},
                             {"a", COL_TYPE_INT, false},
                             {"b", COL_TYPE_STRING, false},
                             {"c", COL_TYPE_INT, false}},
                            &t);
    insert(t, R"({"id":"r1","a":1,"b":"x","c":1})");
    insert(t, R"({"id":"r2","a":1,"b":"x","c":2})");
    insert(t, R"({"id":"r3","a":1,"b":"y","c":1})");
    insert(t, R"({"id":"r4","a":2,"b":"x","c":1})");
    const char* wheres[] = {
        "a = 1 AND b = 'x'",            // two-column prefix
        "a = 1 AND b = 'x' AND c = 2",  // exact composite key
        "b = 'x' AND a = 1 AND c > 1",  // prefix plus a range
        "a = 1.0 AND b = 'x'",          // 1.0 has no integer index form
        "a = 'one' AND b = 'x'",       "a = 1",
    };
    std::vector<std::string> before;
    for (const char* w : wheres)
        before.push_back(rows(t, std::string("SELECT id FROM $T WHERE ") + w + " ORDER BY id"));
    EXPECT_EQ(before[0], R"({"id":"r1"},{"id":"r2"})");
    EXPECT_EQ(before[1], R"({"id":"r2"})");
    EXPECT_EQ(before[3], R"({"id":"r1"},{"id":"r2"})");

    add_index(tab, "abc", {"a", "b", "c"}, false);
    add_index(tab, "ab", {"a", "b"}, false);
    for (size_t i = 0; i < std::size(wheres); ++i)
        EXPECT_EQ(rows(t, std::string("SELECT id FROM $T WHERE ") + wheres[i] + " ORDER BY id"),
                  before[i])
            << wheres[i];
    EXPECT_EQ(composite_index_prefix_count(&tab->indexes[0], nullptr), 0);
}

// Through the index files (maps unusable) as through the maps, single and
// composite indexes give the answers of the scan, also for rows that lack an
// indexed column, for literals written in other spellings, and for a WHERE
// column the schema does not have.
TEST_F(SelectExec, IndexFilesGiveTheAnswersOfTheScan) {
    std::string t;
    Table* tab = make_table({{"id", COL_TYPE_STRING, true},
                             {"a", COL_TYPE_INT, false},
                             {"s", COL_TYPE_STRING, false},
                             {"ts", COL_TYPE_TIMESTAMP, false}},
                            &t);
    insert(t, R"({"id":"r1","a":1,"s":"x","ts":5})");
    insert(t, R"({"id":"r2","s":"x","ts":5})");
    insert(t, R"({"id":"r3","a":1,"ts":7})");
    insert(t, R"({"id":"r4","a":2,"s":"y"})");
    insert(t, R"({"id":"r5","a":1,"s":"x"})");
    const char* wheres[] = {
        "s = 'x'",
        "s = x",
        "a = 1",
        "a = '01'",
        "ts = 5",
        "ts = '5'",
        "ts = 005",
        "s = 'x' AND a = 1",
        "s = x AND a = 1",
        "ts = 5 AND s = 'x'",
        "a = 1 AND id = 'r3'",
        "s = 'x' AND ts > 4",
        "S = 'none'",
        "s = 'none'",
    };
    auto answers = [&] {
        std::vector<std::string> out;
        for (const char* w : wheres)
            out.push_back(run(t, std::string("SELECT id FROM $T WHERE ") + w + " ORDER BY id"));
        return out;
    };
    const std::vector<std::string> want = answers();
    EXPECT_EQ(want[0], run(t, "SELECT id FROM $T WHERE s >= 'x' AND s <= 'x' ORDER BY id"));
    EXPECT_EQ(want[12], "ERR:unknown WHERE column");
    for (std::vector<const char*> cols : std::vector<std::vector<const char*>>{
             {"s"}, {"a"}, {"ts"}, {"s", "a"}, {"ts", "s"}, {"a", "id"}, {"s", "ts", "a"}})
        add_index(tab, ("ix" + std::to_string(tab->index_count)).c_str(), cols, false);
    {
        RwWriteGuard g(&tab->lock);
        char e[256] = "";
        ASSERT_EQ(rebuild_table_indexes(tab, e, sizeof e), 0) << e;  // writes the .idx files
    }
    EXPECT_EQ(answers(), want) << "maps";
    {
        RwWriteGuard g(&tab->lock);
        sec_index_maps_mark_invalid(tab);
    }
    EXPECT_EQ(answers(), want) << "index files";
}

// With the in-memory maps unusable, candidates come from the index file:
// the last line per key counts, and a key whose last line is "D" is none.
TEST_F(SelectExec, CompositeCandidatesFromIndexFileUseLastLinePerKey) {
    std::string t;
    Table* tab = make_table(
        {{"id", COL_TYPE_STRING, true}, {"a", COL_TYPE_INT, false}, {"b", COL_TYPE_INT, false}},
        &t);
    insert(t, R"({"id":"k1","a":1,"b":1})");
    insert(t, R"({"id":"k2","a":1,"b":1})");
    insert(t, R"({"id":"k3","a":1,"b":1})");
    add_index(tab, "ab", {"a", "b"}, false);
    {
        RwWriteGuard g(&tab->lock);
        sec_index_maps_mark_invalid(tab);
    }
    const char* parts[] = {"1", "1"};
    char* v11 = nullptr;
    char e[256];
    ASSERT_EQ(index_encode_components(parts, 2, &v11, e, sizeof e), 0) << e;
    const char* other[] = {"1", "9"};
    char* v19 = nullptr;
    ASSERT_EQ(index_encode_components(other, 2, &v19, e, sizeof e), 0) << e;
    char path[512];
    table_index_file_path(t.c_str(), "ab", path, sizeof path);
    FILE* f = fopen(path, "w");
    ASSERT_NE(f, nullptr) << path;
    fprintf(f, "I\t%s\tk1\nI\t%s\tk2\nD\t%s\tk2\nI\t%s\tk3\nI\t%s\tk3\nnot an entry\n", v11, v11,
            v11, v19, v11);
    fclose(f);
    free(v11);
    free(v19);
    char** keys = nullptr;
    int n = 0;
    SelectQuery q;
    char name[64];
    ASSERT_EQ(parse_select_sql("SELECT * FROM x WHERE a = 1 AND b = 1", name, sizeof name, &q, e,
                               sizeof e),
              0);
    ASSERT_EQ(lookup_keys_from_composite_index(tab, &q, &keys, &n, e, sizeof e), 0) << e;
    std::vector<std::string> got(keys, keys + n);
    free_string_array(keys, n);
    EXPECT_EQ(got, (std::vector<std::string>{"k1", "k3"}));
}

TEST_F(SelectExec, AppendLookupKeyKeepsOrderAcrossGrowth) {
    char** keys = nullptr;
    int n = 0;
    char e[64];
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(append_lookup_key(&keys, &n, std::to_string(i).c_str(), e, sizeof e), 0);
    ASSERT_EQ(n, 100);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(keys[i], std::to_string(i));
    free_string_array(keys, n);
}

}  // namespace
