// Aggregates over a table and per group: every function with its exact reply
// text, null handling, group keys, group ordering, LIMIT and the errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "query/aggregate.h"
#include "query/select_exec.h"
#include "storage/row_changes.h"
#include "storage/row_version.h"
#include "table_fixture.h"
#include "query_rows_fixture.h"

namespace {

TableSchema agg_schema() {
    return make_schema({{"id", COL_TYPE_STRING},
                        {"i", COL_TYPE_INT},
                        {"d", COL_TYPE_DOUBLE},
                        {"s", COL_TYPE_STRING},
                        {"g", COL_TYPE_INT},
                        {"b", COL_TYPE_BOOL}});
}

// Reply of `sql` over the rows through the builder the executor would pick.
std::string run(const TableSchema& s, const char* sql, RowSet& rows) {
    SelectQuery q = parse_query(sql);
    char* out = nullptr;
    char err[128] = {0};
    int rc = q.has_group_by ? build_grouped_rows_json(&s, "t", &q, rows.data(), rows.size(), &out,
                                                      err, sizeof err)
                            : build_aggregate_rows_json(&s, "t", &q, rows.data(), rows.size(), &out,
                                                        err, sizeof err);
    if (rc != 0) {
        EXPECT_EQ(out, nullptr);
        return std::string("ERR:") + err;
    }
    return take(out);
}

std::string one_row(const std::string& members) {
    return "{\"ok\":true,\"table\":\"t\",\"rows\":[{" + members + "}]}";
}

struct AggCase {
    const char* item;
    const char* expected;  // raw value, or ERR:message
};

TEST(Aggregate, EveryFunctionOverTheTable) {
    TableSchema s = agg_schema();
    RowSet rows({R"js({"id":"a","i":4,"d":0.1,"s":"b","g":1})js",
                 R"js({"id":"b","i":1,"d":0.2,"s":"B","g":1})js",
                 R"js({"id":"c","i":null,"d":null,"s":"c","g":2})js",
                 R"js({"id":"d","i":3,"s":"a","g":2})js",
                 R"js({"id":"e","i":2,"d":1.0,"s":null,"g":1})js"});
    const std::vector<AggCase> cases = {
        {"COUNT(*)", "5"},
        {"COUNT(i)", "4"},
        {"COUNT(d)", "3"},
        {"COUNT(nope)", "0"},
        {"SUM(i)", "10"},
        {"SUM(d)", "1.3"},
        {"AVG(i)", "2.5"},
        {"MEAN(i)", "2.5"},
        {"AVG(d)", "0.433333333333333"},
        {"MIN(i)", "1"},
        {"MAX(i)", "4"},
        {"MIN(s)", "\"B\""},
        {"MAX(s)", "\"c\""},
        {"MAX(d)", "1.0"},
        {"MED(i)", "2.5"},
        {"MEDIAN(i)", "2.5"},
        {"MEDIAN(d)", "0.2"},
        {"VAR(i)", "1.25"},
        {"STDDEV(i)", "1.11803398874989"},
        {"SUM(s)", "ERR:SUM supports numeric columns only"},
        {"AVG(s)", "ERR:AVG supports numeric columns only"},
        {"MEAN(b)", "ERR:MEAN supports numeric columns only"},
        {"MEDIAN(s)", "ERR:function supports numeric columns only"},
        {"STDDEV(s)", "ERR:function supports numeric columns only"},
        {"SUM(nope)", "ERR:unknown selected column"},
        {"MIN(nope)", "ERR:unknown selected column"},
    };
    for (const AggCase& c : cases) {
        std::string sql = std::string("SELECT ") + c.item + " FROM t";
        std::string expected = c.expected[0] == 'E' && c.expected[1] == 'R'
                                   ? c.expected
                                   : one_row("\"" + std::string(c.item) + "\":" + c.expected);
        EXPECT_EQ(run(s, sql.c_str(), rows), expected) << c.item;
    }
}

TEST(Aggregate, SmallSeriesByHand) {
    TableSchema s = agg_schema();
    const struct {
        std::vector<const char*> values;
        const char* item;
        const char* expected;
    } cases[] = {
        {{"4", "1", "3", "2"}, "MEDIAN(i)", "2.5"},
        {{"5", "1", "3"}, "MEDIAN(i)", "3"},
        {{"1", "2", "3", "4"}, "VAR(i)", "1.25"},
        {{"7", "7", "7"}, "STDDEV(i)", "0"},
        {{"1", "2", "null"}, "SUM(i)", "3"},
        {{"1", "2", "null"}, "AVG(i)", "1.5"},
        {{"9223372036854775807", "9223372036854775807"}, "SUM(i)", "1.84467440737096e+19"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> jsons;
        for (const char* v : c.values) jsons.push_back(std::string("{\"i\":") + v + "}");
        RowSet rows(jsons);
        std::string sql = std::string("SELECT ") + c.item + " FROM t";
        EXPECT_EQ(run(s, sql.c_str(), rows),
                  one_row("\"" + std::string(c.item) + "\":" + c.expected))
            << c.item;
    }
    RowSet doubles({R"js({"d":0.1})js", R"js({"d":0.2})js"});
    EXPECT_EQ(run(s, "SELECT SUM(d) FROM t", doubles), one_row("\"SUM(d)\":0.3"));
    // A result that is not finite has no JSON number: null, never "inf".
    RowSet huge({R"js({"d":1e5000})js", R"js({"d":1})js"});
    EXPECT_EQ(run(s, "SELECT SUM(d), MAX(d) FROM t", huge),
              one_row("\"SUM(d)\":null,\"MAX(d)\":1e5000"));
    // Finite in the wide accumulator but beyond the double range: null too.
    RowSet big({R"js({"d":1e308})js", R"js({"d":1e308})js", R"js({"d":-1e308})js"});
    EXPECT_EQ(run(s, "SELECT SUM(d), VAR(d), STDDEV(d) FROM t", big),
              one_row("\"SUM(d)\":1e+308,\"VAR(d)\":null,\"STDDEV(d)\":9.42809041582063e+307"));
    RowSet twice({R"js({"d":1e308})js", R"js({"d":1e308})js"});
    EXPECT_EQ(run(s, "SELECT SUM(d), AVG(d) FROM t", twice),
              one_row("\"SUM(d)\":null,\"AVG(d)\":1e+308"));
    // The largest double reads back as itself, not as a 15-digit text that
    // rounds past the range.
    RowSet largest({R"js({"d":1.7976931348623157e308})js", R"js({"d":1.7976931348623157e308})js"});
    EXPECT_EQ(run(s, "SELECT AVG(d), MEDIAN(d), MAX(d) FROM t", largest),
              one_row("\"AVG(d)\":1.7976931348623157e+308,\"MEDIAN(d)\":1.7976931348623157e+308,"
                      "\"MAX(d)\":1.7976931348623157e308"));
}

TEST(Aggregate, EmptyTableAndLimit) {
    TableSchema s = agg_schema();
    RowSet none({});
    EXPECT_EQ(run(s, "SELECT COUNT(*), SUM(i), AVG(i), MIN(i) FROM t", none),
              one_row("\"COUNT(*)\":0,\"SUM(i)\":null,\"AVG(i)\":null,\"MIN(i)\":null"));
    EXPECT_EQ(run(s, "SELECT COUNT(*) FROM t LIMIT 0", none),
              R"js({"ok":true,"table":"t","rows":[]})js");
    EXPECT_EQ(run(s, "SELECT SUM(s) FROM t", none), "ERR:SUM supports numeric columns only");
    RowSet rows({R"js({"i":1})js", R"js({"i":2})js"});
    EXPECT_EQ(run(s, "SELECT COUNT(*) FROM t LIMIT 5", rows), one_row("\"COUNT(*)\":2"));
    EXPECT_EQ(run(s, "SELECT COUNT(*) FROM t LIMIT 0", rows),
              R"js({"ok":true,"table":"t","rows":[]})js");
    // A plain column among aggregates has no single value.
    SelectQuery q = parse_query("SELECT COUNT(*) FROM t");
    q.column_count = 2;
    q.kind[1] = EXPR_COLUMN;
    snprintf(q.arg[1], sizeof q.arg[1], "i");
    snprintf(q.label[1], sizeof q.label[1], "i");
    char* out = nullptr;
    char err[128] = {0};
    EXPECT_EQ(
        build_aggregate_rows_json(&s, "t", &q, rows.data(), rows.size(), &out, err, sizeof err),
        -1);
    EXPECT_STREQ(err, "aggregate query contains invalid expression");
}

TEST(GroupBy, GroupsKeysAndOrder) {
    TableSchema s =
        make_schema({{"a", COL_TYPE_DOUBLE}, {"c", COL_TYPE_STRING}, {"v", COL_TYPE_INT}});
    RowSet rows({R"js({"a":1,"c":"x","v":1})js", R"js({"a":null,"c":"y","v":2})js",
                 R"js({"a":1.0,"c":"x","v":3})js", R"js({"a":1,"c":"y","v":4})js",
                 R"js({"a":2,"c":"x","v":5})js", R"js({"a":null,"c":"x","v":6})js"});
    const struct {
        const char* sql;
        const char* expected_rows;
    } cases[] = {
        // 1 and 1.0 are equal doubles: one group, shown as its first row holds it.
        {"SELECT a, COUNT(*), SUM(v) FROM t GROUP BY a",
         R"js({"a":1,"COUNT(*)":3,"SUM(v)":8},{"a":null,"COUNT(*)":2,"SUM(v)":8},)js"
         R"js({"a":2,"COUNT(*)":1,"SUM(v)":5})js"},
        {"SELECT a, MIN(v) FROM t GROUP BY a ORDER BY a DESC",
         R"js({"a":null,"MIN(v)":2},{"a":2,"MIN(v)":5},{"a":1,"MIN(v)":1})js"},
        {"SELECT a FROM t GROUP BY a ORDER BY A LIMIT 2", R"js({"a":1},{"a":2})js"},
        {"SELECT c, a, COUNT(*) FROM t GROUP BY c, a",
         R"js({"c":"x","a":1,"COUNT(*)":2},{"c":"y","a":null,"COUNT(*)":1},)js"
         R"js({"c":"y","a":1,"COUNT(*)":1},{"c":"x","a":2,"COUNT(*)":1},)js"
         R"js({"c":"x","a":null,"COUNT(*)":1})js"},
        {"SELECT c, MEDIAN(v), MAX(a) FROM t GROUP BY C ORDER BY c",
         R"js({"c":"x","MEDIAN(v)":4,"MAX(a)":2},{"c":"y","MEDIAN(v)":3,"MAX(a)":1})js"},
        {"SELECT COUNT(*) FROM t GROUP BY c LIMIT 0", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run(s, c.sql, rows),
                  std::string(R"js({"ok":true,"table":"t","rows":[)js") + c.expected_rows + "]}")
            << c.sql;
    }
}

// The groups of `values` (trimmed raw texts; equal values under the type's
// comparison are one group, shown by its first text) in first-appearance
// order, put in ORDER BY order by the exchange sort the groups were once
// sorted with.
std::vector<std::string> exchange_sorted_groups(const std::vector<std::string>& values, int type,
                                                bool desc) {
    std::vector<std::string> groups;
    for (const std::string& v : values)
        if (std::find_if(groups.begin(), groups.end(), [&](const std::string& g) {
                return compare_json_values(type, g.c_str(), v.c_str()) == 0;
            }) == groups.end())
            groups.push_back(v);
    for (size_t i = 0; i < groups.size(); ++i)
        for (size_t j = i + 1; j < groups.size(); ++j) {
            int c = compare_json_values(type, groups[i].c_str(), groups[j].c_str());
            if (desc) c = -c;
            if (c > 0) std::swap(groups[i], groups[j]);
        }
    return groups;
}

// The "v" member of each row of a reply whose rows are {"v":<value>}.
std::vector<std::string> reply_values(const std::string& reply) {
    std::vector<std::string> out;
    for (size_t at = reply.find("{\"v\":"); at != std::string::npos;
         at = reply.find("{\"v\":", at + 1)) {
        size_t start = at + 5, end = reply.find('}', start);
        out.push_back(reply.substr(start, end - start));
    }
    return out;
}

// Groups come out in the order the exchange sort gave them, up to the order
// of groups with equal values, which is free: for every type, with ties
// (1 and 1.0, -0 and 0, true and 1), nulls and both directions.
TEST(GroupBy, OrderIsTheExchangeSortOrderUpToTies) {
    struct Column {
        int type;
        std::vector<std::string> values;
    };
    std::vector<Column> columns = {
        {COL_TYPE_INT, {"3", "-1", "null", "10", "2", "3", "9", "null", "0", "-7", "10"}},
        {COL_TYPE_DOUBLE, {"1", "1.0", "-0", "0", "2.5", "null", "1e2", "100", "-3", "0.5"}},
        {COL_TYPE_STRING,
         {R"("b")", R"("B")", R"("10")", R"("9")", "null", R"("a")", R"("")", R"("b")",
          R"("a\"q")"}},
        {COL_TYPE_BOOL, {"true", "false", "1", "0", "null", "true"}},
        {COL_TYPE_TIMESTAMP, {"1700000000", "5", "null", "-5", "1700000000", "0"}},
    };
    // Many distinct groups in a scrambled order.
    Column many{COL_TYPE_INT, {}};
    for (int i = 0; i < 600; ++i) many.values.push_back(std::to_string((i * 7919) % 1009 - 500));
    columns.push_back(many);
    for (const Column& col : columns) {
        TableSchema s = make_schema({{"v", col.type}, {"n", COL_TYPE_INT}});
        std::vector<std::string> jsons;
        for (size_t i = 0; i < col.values.size(); ++i)
            jsons.push_back("{\"v\":" + col.values[i] + ",\"n\":" + std::to_string(i) + "}");
        RowSet rows(jsons);
        for (bool desc : {false, true}) {
            std::string sql =
                std::string("SELECT v FROM t GROUP BY v ORDER BY v") + (desc ? " DESC" : "");
            std::vector<std::string> got = reply_values(run(s, sql.c_str(), rows));
            std::vector<std::string> want = exchange_sorted_groups(col.values, col.type, desc);
            ASSERT_EQ(got.size(), want.size()) << sql << " type " << col.type;
            for (size_t k = 0; k < got.size(); ++k)
                EXPECT_EQ(compare_json_values(col.type, got[k].c_str(), want[k].c_str()), 0)
                    << sql << " type " << col.type << " at " << k << ": " << got[k] << " vs "
                    << want[k];
            std::sort(got.begin(), got.end());
            std::sort(want.begin(), want.end());
            EXPECT_EQ(got, want) << sql << " type " << col.type;  // the same groups
        }
    }
}

// Two values share a group key exactly when the column's comparison finds
// them equal; the group values keep the stored texts.
TEST(GroupBy, KeysAreEqualExactlyForEqualValues) {
    const struct {
        int type;
        const char* a;
        const char* b;
    } pairs[] = {
        {COL_TYPE_DOUBLE, "1.5", "1.50"},
        {COL_TYPE_DOUBLE, "1", "1.0"},
        {COL_TYPE_DOUBLE, "-0", "0"},
        {COL_TYPE_DOUBLE, "1e2", "100"},
        {COL_TYPE_DOUBLE, "0.1", "0.10000000000000001"},
        {COL_TYPE_DOUBLE, "0.1", "0.2"},
        {COL_TYPE_INT, "1", "1.0"},
        {COL_TYPE_INT, "7", "8"},
        {COL_TYPE_TIMESTAMP, "5", "6"},
        {COL_TYPE_STRING, R"("é")", "\"\xc3\xa9\""},
        {COL_TYPE_STRING, R"("a\"b")", R"("a\u0022b")"},
        {COL_TYPE_STRING, R"("a")", R"("A")"},
        {COL_TYPE_STRING, R"("1|")", R"("1")"},
        {COL_TYPE_BOOL, "true", "1"},
        {COL_TYPE_BOOL, "false", "true"},
        {COL_TYPE_INT, "null", "null"},
        {COL_TYPE_STRING, "null", R"("null")"},
        {COL_TYPE_INT, "null", "0"},
    };
    for (const auto& p : pairs) {
        TableSchema s = make_schema({{"a", p.type}, {"b", COL_TYPE_STRING}});
        SelectQuery q = parse_query("SELECT a, b FROM t GROUP BY a, b");
        std::string ka, kb;
        std::vector<std::string> va, vb;
        char err[128] = {0};
        std::string ra = std::string("{\"a\": ") + p.a + " ,\"b\":\"x|\"}";
        std::string rb = std::string("{\"a\":") + p.b + ",\"b\":\"x|\"}";
        ASSERT_EQ(make_group_key_and_values(&s, &q, ra.c_str(), &ka, &va, err, sizeof err), 0);
        ASSERT_EQ(make_group_key_and_values(&s, &q, rb.c_str(), &kb, &vb, err, sizeof err), 0);
        EXPECT_EQ(ka == kb, compare_json_values(p.type, p.a, p.b) == 0) << p.a << " vs " << p.b;
        EXPECT_EQ(va, (std::vector<std::string>{p.a, "\"x|\""}));
    }
    // A column boundary never merges with a text holding the separator.
    TableSchema s = make_schema({{"a", COL_TYPE_STRING}, {"b", COL_TYPE_STRING}});
    SelectQuery q = parse_query("SELECT a, b FROM t GROUP BY a, b");
    std::string k1, k2;
    std::vector<std::string> v;
    char err[128] = {0};
    ASSERT_EQ(make_group_key_and_values(&s, &q, R"js({"a":"x|s1:y","b":"z"})js", &k1, &v, err,
                                        sizeof err),
              0);
    ASSERT_EQ(make_group_key_and_values(&s, &q, R"js({"a":"x","b":"y|s1:z"})js", &k2, &v, err,
                                        sizeof err),
              0);
    EXPECT_NE(k1, k2);
    int type = -1;
    EXPECT_EQ(group_order_col_index(&s, &q, "B", &type), 1);
    EXPECT_EQ(type, COL_TYPE_STRING);
    EXPECT_EQ(group_order_col_index(&s, &q, "c", &type), -1);
}

// Reply of a grouped query that the parser would refuse, built by editing a
// parsed one: the builder must still refuse it cleanly.
std::string run_edited(const TableSchema& s, const char* sql, RowSet& rows,
                       void (*edit)(SelectQuery*)) {
    SelectQuery q = parse_query(sql);
    edit(&q);
    char* out = nullptr;
    char err[128] = {0};
    if (build_grouped_rows_json(&s, "t", &q, rows.data(), rows.size(), &out, err, sizeof err) !=
        0) {
        EXPECT_EQ(out, nullptr);
        return std::string("ERR:") + err;
    }
    return take(out);
}

void add_item(SelectQuery* q, int kind, const char* arg) {
    int i = q->column_count++;
    q->kind[i] = kind;
    snprintf(q->arg[i], sizeof q->arg[i], "%s", arg);
    snprintf(q->label[i], sizeof q->label[i], "%s", arg);
}

TEST(GroupBy, Errors) {
    TableSchema s = make_schema({{"a", COL_TYPE_INT}, {"v", COL_TYPE_INT}});
    RowSet rows({R"js({"a":1,"v":1})js", R"js({"v":2})js"});
    RowSet good({R"js({"a":1,"v":1})js"});
    RowSet none({});
    EXPECT_EQ(run(s, "SELECT a FROM t GROUP BY a", rows), "ERR:missing GROUP BY column value");
    EXPECT_EQ(run(s, "SELECT COUNT(*) FROM t GROUP BY nope", good), "ERR:unknown GROUP BY column");
    auto order_by_v = [](SelectQuery* q) { snprintf(q->order_by, sizeof q->order_by, "v"); };
    auto order_by_ghost = [](SelectQuery* q) {
        snprintf(q->order_by, sizeof q->order_by, "ghost");
        snprintf(q->group_col[q->group_count++], sizeof q->group_col[0], "ghost");
    };
    EXPECT_EQ(run_edited(s, "SELECT a FROM t GROUP BY a", good, order_by_v),
              "ERR:unknown ORDER BY column");
    EXPECT_EQ(run_edited(s, "SELECT a FROM t GROUP BY a", none, order_by_v),
              "ERR:unknown ORDER BY column");
    // A grouped name missing from the schema is no ORDER BY column either.
    EXPECT_EQ(run_edited(s, "SELECT a FROM t GROUP BY a", none, order_by_ghost),
              "ERR:unknown ORDER BY column");
    auto plain_v = [](SelectQuery* q) { add_item(q, EXPR_COLUMN, "v"); };
    auto scalar_v = [](SelectQuery* q) { add_item(q, EXPR_ABS, "v"); };
    EXPECT_EQ(run_edited(s, "SELECT a FROM t GROUP BY a", good, plain_v),
              "ERR:non-aggregate SELECT columns must appear in GROUP BY");
    EXPECT_EQ(run_edited(s, "SELECT a FROM t GROUP BY a", good, scalar_v),
              "ERR:unsupported expression with GROUP BY");
    EXPECT_EQ(run(s, "SELECT a, SUM(nope) FROM t GROUP BY a", good), "ERR:unknown selected column");
    // With no rows there is no group, so item errors never arise.
    EXPECT_EQ(run_edited(s, "SELECT a, SUM(nope) FROM t GROUP BY a", none, plain_v),
              R"js({"ok":true,"table":"t","rows":[]})js");
}

TEST(Aggregate, CollectNumericValues) {
    TableSchema s = agg_schema();
    RowSet rows({R"js({"i":3})js", R"js({"i":null})js", R"js({"d":1})js", R"js({"i":-1})js"});
    long double* values = nullptr;
    int n = -1;
    char err[128] = {0};
    ASSERT_EQ(
        collect_numeric_values(&s, "I", rows.data(), rows.size(), &values, &n, err, sizeof err), 0);
    ASSERT_EQ(n, 2);
    EXPECT_EQ(values[0], 3.0L);
    EXPECT_EQ(values[1], -1.0L);
    free(values);
    ASSERT_EQ(collect_numeric_values(&s, "i", nullptr, 0, &values, &n, err, sizeof err), 0);
    EXPECT_EQ(n, 0);
    free(values);
    EXPECT_EQ(
        collect_numeric_values(&s, "s", rows.data(), rows.size(), &values, &n, err, sizeof err),
        -1);
    EXPECT_STREQ(err, "function supports numeric columns only");
}

// Whole SELECTs through the executor over a live table: the collected rows
// reach sorting, grouping, aggregates and windows as their builders expect.
class SelectEndToEnd : public TableFixture {};

TEST_F(SelectEndToEnd, OrderGroupAggregateAndWindow) {
    std::string name;
    ASSERT_NE(make_table({{"id", COL_TYPE_INT, true},
                          {"g", COL_TYPE_STRING, false},
                          {"x", COL_TYPE_DOUBLE, false}},
                         &name),
              nullptr);
    const char* inserts[] = {R"js({"id":1,"g":"a","x":1})js", R"js({"id":2,"g":"b","x":2})js",
                             R"js({"id":3,"g":"a","x":3})js", R"js({"id":4,"g":"b"})js",
                             R"js({"id":5,"g":"a","x":4})js"};
    uint64_t seq = 1;
    for (const char* row : inserts)
        ASSERT_EQ(table_apply_insert(name.c_str(), seq++, row, err_, sizeof err_), 0) << err_;
    const struct {
        const char* sql;
        const char* rows;  // expected contents of "rows":[...], or ERR:message
    } cases[] = {
        {"SELECT id, g FROM t ORDER BY x DESC LIMIT 3",
         R"js({"id":4,"g":"b"},{"id":5,"g":"a"},{"id":3,"g":"a"})js"},
        {"SELECT g, COUNT(*), SUM(x), AVG(x) FROM t GROUP BY g ORDER BY g",
         R"js({"g":"a","COUNT(*)":3,"SUM(x)":8,"AVG(x)":2.66666666666667},)js"
         R"js({"g":"b","COUNT(*)":2,"SUM(x)":2,"AVG(x)":2})js"},
        {"SELECT COUNT(x), MEDIAN(x), VAR(x), MIN(g) FROM t",
         R"js({"COUNT(x)":4,"MEDIAN(x)":2.5,"VAR(x)":1.25,"MIN(g)":"a"})js"},
        {"SELECT COUNT(*) FROM t WHERE g = 'b'", R"js({"COUNT(*)":2})js"},
        {"SELECT id, SMA(x,2), MOMENTUM(x,1) FROM t WHERE g = 'a' ORDER BY id",
         R"js({"id":1,"SMA(x,2)":null,"MOMENTUM(x,1)":null},{"id":3,"SMA(x,2)":2,"MOMENTUM(x,1)":2},)js"
         R"js({"id":5,"SMA(x,2)":3.5,"MOMENTUM(x,1)":1})js"},
        {"SELECT id, ROUND(x) FROM t WHERE id = 3", R"js({"id":3,"ROUND(x)":3})js"},
        {"SELECT id, ROUND(x) FROM t WHERE id = 4", "ERR:missing selected column value"},
        {"SELECT id FROM t ORDER BY nope", "ERR:unknown ORDER BY column"},
        {"SELECT SUM(g) FROM t", "ERR:SUM supports numeric columns only"},
    };
    for (const auto& c : cases) {
        SelectQuery q = parse_query(c.sql);
        char* out = nullptr;
        char err[256] = {0};
        int rc = select_rows_json(name.c_str(), "t", &q, &out, err, sizeof err);
        std::string got = rc == 0 ? take(out) : std::string("ERR:") + err;
        std::string want =
            strncmp(c.rows, "ERR:", 4) == 0
                ? std::string(c.rows)
                : std::string(R"js({"ok":true,"table":"t","rows":[)js") + c.rows + "]}";
        EXPECT_EQ(got, want) << c.sql;
    }
}

}  // namespace
