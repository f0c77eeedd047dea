// Rows read in place against the plain readers they replace: the one-walk
// member finder against json_extract_raw, the prepared WHERE against
// select_row_matches_where, aggregation while scanning against the builders
// over collected rows, and whole statements (projection, top-N ORDER BY,
// windows, aggregates, GROUP BY, every access path) against the path that
// copies every row out first. Every reply and every error must be the same.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/json_text.h"
#include "base/text_util.h"
#include "query/aggregate.h"
#include "query/row_read.h"
#include "query/select_exec.h"
#include "query/select_plan.h"
#include "storage/pk_map.h"
#include "storage/row_changes.h"
#include "storage/row_version.h"
#include "query_rows_fixture.h"
#include "table_fixture.h"

namespace {

// Awkward row texts: blanks, nesting, names inside values, escapes in names,
// unterminated values, trailing ';', nulls and empty values.
const std::vector<std::string> kTexts = {
    R"({"a":1,"b":"x"})",
    R"({ "a" : 1 , "b" : "x" })",
    R"({"x":{"a":5},"a":3})",
    R"({"s":"\"a\":9","a":2})",
    R"({"b":"a","a":[1,{"a":2}],"k":1})",
    R"({"a" "b":1,"a":4})",
    R"({"a\"":1,"a":2})",
    R"({"é":1,"A":7,"a":8})",
    R"({"a":null,"b":true})",
    R"({"a": null ,"b":false})",
    "{\"a\":1\n,\"b\":2}",
    "{\"a\":1;,\"b\":2}",
    "{\"a\":\t2 \t,\"b\":\"\\u00e9\"}",
    R"({"a":})",
    R"({"a":"unterminated)",
    R"({"b":1,"a":{"k":1)",
    R"({"a":"x","b":"y)",
    R"({"k":"a","a":"k"})",
    R"({})",
    "",
};

TEST(RowFields, FindsWhatJsonExtractRawFinds) {
    const std::vector<std::string> names = {"a", "b", "x", "k", "A", "é", "a\\\"", "s", "zz", ""};
    for (const std::string& text : kTexts) {
        RowFields fields;
        std::vector<int> idx;
        for (const std::string& n : names) idx.push_back(fields.add(n.c_str()));
        EXPECT_EQ(fields.add("a"), idx[0]);  // added once
        fields.read(text.c_str());
        for (size_t i = 0; i < names.size(); ++i) {
            char* raw = nullptr;
            bool want = json_extract_raw(text.c_str(), names[i].c_str(), &raw) == 0;
            ASSERT_EQ(fields.present(idx[i]), want) << text << " member " << names[i];
            if (!want) continue;
            EXPECT_STREQ(fields.raw(idx[i]), raw) << text << " member " << names[i];
            trim_ws(raw);
            EXPECT_STREQ(fields.trimmed(idx[i]), raw) << text << " member " << names[i];
            free(raw);
        }
    }
}

// A WHERE built by hand, so that any operator and value text can be tried.
SelectQuery where_query(const std::vector<std::vector<std::string>>& preds) {
    SelectQuery q{};
    q.has_where = 1;
    q.limit = -1;
    q.pred_count = static_cast<int>(preds.size());
    for (size_t k = 0; k < preds.size(); ++k) {
        snprintf(q.pred_col[k], sizeof q.pred_col[k], "%s", preds[k][0].c_str());
        snprintf(q.pred_op[k], sizeof q.pred_op[k], "%s", preds[k][1].c_str());
        snprintf(q.pred_value[k], sizeof q.pred_value[k], "%s", preds[k][2].c_str());
    }
    if (!preds.empty()) {
        snprintf(q.where_col, sizeof q.where_col, "%s", preds[0][0].c_str());
        snprintf(q.where_op, sizeof q.where_op, "%s", preds[0][1].c_str());
        snprintf(q.where_value, sizeof q.where_value, "%s", preds[0][2].c_str());
    }
    return q;
}

TEST(WherePlan, MatchesWhatSelectRowMatchesWhereMatches) {
    TableSchema s = make_schema({{"i", COL_TYPE_INT},
                                 {"d", COL_TYPE_DOUBLE},
                                 {"s", COL_TYPE_STRING},
                                 {"b", COL_TYPE_BOOL},
                                 {"t", COL_TYPE_TIMESTAMP},
                                 {"u", 0}});
    const std::vector<std::string> rows = {
        R"({"i":1,"d":1.5,"s":"a","b":true,"t":5,"u":3})",
        R"({"i":-2,"d":1.50,"s":"é","b":false,"t":-5,"u":"x"})",
        R"({"i":10,"d":-0,"s":"\u00e9","b":1,"t":1700000000})",
        R"({"i":9,"d":1e2,"s":"a\"b","b":0})",
        R"({"i":null,"d":null,"s":null,"b":null,"t":null})",
        R"({"i": 3 ,"d": 2.5 ,"s": "B" ,"b": TRUE })",
        R"({"x":{"i":7},"i":8,"s":"10"})",
        R"({"s":"9","i":"12abc","d":"abc"})",
        "{\"i\":4;,\"s\":\"'q'\"}",
        R"({"q":1})",
    };
    const std::vector<std::string> cols = {"i", "d", "s", "b", "t", "u", "I", "nope"};
    const std::vector<std::string> ops = {"=", "!=", "<>", "<", "<=", ">", ">=", "=="};
    const std::vector<std::string> values = {
        "1",      "-2",          "10",       "'9'", "1.5",  "1.50",    "'a'", "\"a\"", "a",
        "'é'",    "\"\\u00e9\"", "'a\\\"b'", "'B'", "true", "TRUE",    "0",   "null",  "NULL",
        "'null'", "1e2",         "'10'",     "",    "'q'",  "\"'q'\"", "12",  "abc"};
    int checked = 0;
    for (const std::string& c : cols)
        for (const std::string& op : ops)
            for (const std::string& v : values) {
                for (int two = 0; two < 2; ++two) {
                    std::vector<std::vector<std::string>> preds = {{c, op, v}};
                    if (two) preds.insert(preds.begin(), {"i", ">", "0"});
                    SelectQuery q = where_query(preds);
                    RowFields fields;
                    WherePlan plan;
                    plan.prepare(&s, &q, &fields);
                    for (const std::string& row : rows) {
                        char e1[128] = "", e2[128] = "";
                        SelectMatch want =
                            select_row_matches_where(&s, &q, row.c_str(), e1, sizeof e1);
                        fields.read(row.c_str());
                        SelectMatch got = plan.match(fields, e2, sizeof e2);
                        ASSERT_EQ(got, want) << c << " " << op << " " << v << " on " << row;
                        EXPECT_STREQ(e2, e1);
                        ++checked;
                    }
                    EXPECT_EQ(plan.may_fail(), c == "I" || c == "nope");
                }
            }
    // No WHERE at all, and the single (where_col, where_op, where_value) form.
    SelectQuery none{};
    RowFields fields;
    WherePlan plan;
    plan.prepare(&s, &none, &fields);
    fields.read(rows[0].c_str());
    EXPECT_EQ(plan.match(fields, nullptr, 0), SELECT_MATCH_YES);
    SelectQuery single = where_query({{"i", "=", "1"}});
    single.pred_count = 0;
    plan.prepare(&s, &single, &fields);
    fields.read(rows[0].c_str());
    EXPECT_EQ(plan.match(fields, nullptr, 0), SELECT_MATCH_YES);
    fields.read(rows[1].c_str());
    EXPECT_EQ(plan.match(fields, nullptr, 0), SELECT_MATCH_NO);
    EXPECT_GT(checked, 1000);
}

// The reply of an aggregate or grouped query through AggregateScan, fed
// each row in order, or "ERR:<message>".
std::string scan_reply(const TableSchema& s, const SelectQuery& q,
                       const std::vector<std::string>& rows) {
    RowFields fields;
    AggregateScan agg;
    agg.prepare(&s, &q, &fields);
    char err[128] = {0};
    for (const std::string& row : rows) {
        fields.read(row.c_str());
        if (agg.add(fields, err, sizeof err) != 0) return std::string("ERR:") + err;
    }
    char* out = nullptr;
    if (agg.finish("t", &out, err, sizeof err) != 0) {
        EXPECT_EQ(out, nullptr);
        return std::string("ERR:") + err;
    }
    return take(out);
}

std::string builder_reply(const TableSchema& s, const SelectQuery& q,
                          const std::vector<std::string>& rows) {
    RowSet set(rows);
    char* out = nullptr;
    char err[128] = {0};
    int rc =
        q.has_group_by
            ? build_grouped_rows_json(&s, "t", &q, set.data(), set.size(), &out, err, sizeof err)
            : build_aggregate_rows_json(&s, "t", &q, set.data(), set.size(), &out, err, sizeof err);
    if (rc != 0) return std::string("ERR:") + err;
    return take(out);
}

TEST(AggregateScan, RepliesAsTheBuildersOverCollectedRows) {
    TableSchema s = make_schema({{"g", COL_TYPE_INT},
                                 {"d", COL_TYPE_DOUBLE},
                                 {"s", COL_TYPE_STRING},
                                 {"b", COL_TYPE_BOOL},
                                 {"t", COL_TYPE_TIMESTAMP}});
    const std::vector<std::string> rows = {
        R"({"g":1,"d":1.5,"s":"b","b":true,"t":3})",
        R"({"g":2,"d":1.50,"s":"é","b":false})",
        R"({"g":1,"d":null,"s":"\u00e9","b":1,"t":-4})",
        R"({"g":null,"d":0.1,"s":"B","t":7})",
        R"({"g": 2 ,"d":-0,"s":null,"b":0,"t":7})",
        R"({"g":3,"d":0,"s":"a\"b","b":true,"t":1700000000})",
        R"({"x":{"g":1},"g":9,"d":2.25,"s":"x|y"})",
        R"({"g":1,"d":1e2,"s":"b","t":2})",
        R"({"g":2,"d":100,"s":"","b":false,"t":null})",
    };
    const std::vector<std::string> missing_g = [&] {
        std::vector<std::string> r = rows;
        r.push_back(R"({"d":1})");
        return r;
    }();
    const char* queries[] = {
        "SELECT COUNT(*), COUNT(d), COUNT(nope), SUM(g), SUM(d), AVG(t), MEAN(d) FROM t",
        "SELECT MIN(s), MAX(s), MIN(d), MAX(d), MIN(b), MAX(b), MIN(t) FROM t",
        "SELECT MED(g), MEDIAN(d), VAR(t), STDDEV(d), VAR(g) FROM t",
        "SELECT COUNT(*), SUM(g) FROM t LIMIT 0",
        "SELECT COUNT(*), SUM(g) FROM t LIMIT 5",
        "SELECT SUM(s) FROM t",
        "SELECT AVG(b) FROM t",
        "SELECT MEDIAN(s) FROM t",
        "SELECT MIN(nope) FROM t",
        "SELECT g, COUNT(*), SUM(d), MIN(s), MAX(t), MEDIAN(d), STDDEV(t) FROM t GROUP BY g",
        "SELECT g, COUNT(*) FROM t GROUP BY g ORDER BY g",
        "SELECT g, COUNT(*) FROM t GROUP BY g ORDER BY g DESC LIMIT 2",
        "SELECT g, COUNT(*) FROM t GROUP BY g LIMIT 0",
        "SELECT d, COUNT(*), SUM(g) FROM t GROUP BY d ORDER BY d",
        "SELECT s, COUNT(*) FROM t GROUP BY s ORDER BY s DESC",
        "SELECT b, g, COUNT(*) FROM t GROUP BY b, g",
        "SELECT t, COUNT(t) FROM t GROUP BY t ORDER BY t",
        "SELECT COUNT(*) FROM t GROUP BY nope",
        "SELECT g, SUM(s) FROM t GROUP BY g",
    };
    for (const char* sql : queries) {
        SelectQuery q = parse_query(sql);
        for (const auto* set : {&rows, &missing_g}) {
            for (size_t n : {size_t(0), size_t(1), set->size()}) {
                std::vector<std::string> part(set->begin(), set->begin() + n);
                EXPECT_EQ(scan_reply(s, q, part), builder_reply(s, q, part))
                    << sql << " over " << n << " rows";
            }
        }
    }
}

// Whole statements on stored tables: the scans against the copying path.
class SelectScan : public TableFixture {
  protected:
    std::string run(bool copied, const std::string& table, const std::string& sql) {
        SelectQuery q;
        char name[64], e[256] = "";
        std::string full = sql;
        for (size_t at; (at = full.find("$T")) != std::string::npos;) full.replace(at, 2, table);
        if (parse_select_sql(full.c_str(), name, sizeof name, &q, e, sizeof e) != 0)
            return std::string("PARSE:") + e;
        char* out = nullptr;
        int rc = copied ? select_rows_json_copied(table.c_str(), name, &q, &out, e, sizeof e)
                        : select_rows_json(table.c_str(), name, &q, &out, e, sizeof e);
        if (rc != 0) {
            EXPECT_EQ(out, nullptr);
            return std::string("ERR:") + e;
        }
        return take(out);
    }
    uint64_t seq_ = 0;
    uint32_t rng_ = 12345;
    uint32_t next() {
        rng_ = rng_ * 1103515245u + 12345u;
        return (rng_ >> 8) % 1000003u;
    }
    // One of `options`, or absent one time in `absent_one_in` (0: never).
    const char* pick(const std::vector<const char*>& options, int absent_one_in) {
        if (absent_one_in > 0 && next() % absent_one_in == 0) return nullptr;
        return options[next() % options.size()];
    }
    std::string random_row(int n) {
        std::string row = "{";
        if (next() % 7 == 0) row += R"("x":{"i":42},)";  // first occurrence of i is nested
        row += "\"id\":\"k" + std::to_string(n) + "\"";
        auto add = [&](const char* name, const char* v) {
            if (v) row += std::string(",\"") + name + "\":" + v;
        };
        add("i", pick({"-3", "-1", "0", "1", "2", "3", "9", "10", "100"}, 6));
        add("d", pick({"1.5", "1.50", "-0", "0", "2.25", "1e2", "100", "0.1", "-7.5"}, 6));
        add("s", pick({"\"a\"", "\"B\"", "\"é\"", "\"\\u00e9\"", "\"a\\\"q\"", "\"10\"", "\"9\"",
                       "\"\"", "\"x|y\""},
                      6));
        add("b", pick({"true", "false", "1", "0"}, 5));
        add("t", pick({"0", "5", "-5", "1700000000", "86400"}, 5));
        add("g", pick({"0", "1", "2", "3", "4"}, 0));
        if (next() % 5 == 0) row += R"(,"note":"i")";
        return row + "}";
    }
};

const char* const kStatements[] = {
    // Projections and WHERE, every operator and type.
    "SELECT id FROM $T",
    "SELECT id, g FROM $T LIMIT 3",
    "SELECT id, g FROM $T LIMIT 0",
    "SELECT id FROM $T WHERE i > 2",
    "SELECT id FROM $T WHERE i = 1",
    "SELECT id FROM $T WHERE i != 0",
    "SELECT id FROM $T WHERE i <> 3",
    "SELECT id FROM $T WHERE i < 0",
    "SELECT id FROM $T WHERE i <= -1 LIMIT 2",
    "SELECT id FROM $T WHERE i >= 10",
    "SELECT id FROM $T WHERE d = 1.5",
    "SELECT id FROM $T WHERE d > 0 AND d < 1e2",
    "SELECT id FROM $T WHERE s = 'é'",
    "SELECT id FROM $T WHERE s > 'a'",
    "SELECT id FROM $T WHERE s <= '9'",
    "SELECT id FROM $T WHERE b = true",
    "SELECT id FROM $T WHERE b != 1",
    "SELECT id FROM $T WHERE t >= 100",
    "SELECT id FROM $T WHERE g = 2",
    "SELECT id, i FROM $T WHERE g = 2 AND i > 0",
    "SELECT id FROM $T WHERE g = 2 AND b = true",
    "SELECT id, g FROM $T WHERE id = 'k3'",
    "SELECT id, g FROM $T WHERE id = 'k3' AND g > 0",
    "SELECT id FROM $T WHERE I = 1",
    "SELECT id FROM $T WHERE I = 1 LIMIT 0",
    "SELECT id FROM $T WHERE g = 1 AND nope = 1 LIMIT 1",
    "SELECT id FROM $T WHERE i = null",
    "SELECT id, ABS(i), ROUND(d), SQRT(g), POW(g, 2), s FROM $T WHERE i > 0 AND d > 0",
    "SELECT id, ABS(i), ROUND(d), SQRT(g), POW(g, 2) FROM $T WHERE i > 0 AND d > 0",
    "SELECT nope FROM $T",
    "SELECT i FROM $T",
    "SELECT i FROM $T LIMIT 1",
    "SELECT G, Id FROM $T LIMIT 4",
    // ORDER BY: every type, both directions, LIMIT 0, 1, a few, more than all.
    "SELECT id FROM $T ORDER BY i",
    "SELECT id FROM $T ORDER BY i DESC LIMIT 3",
    "SELECT id FROM $T ORDER BY d LIMIT 5",
    "SELECT id FROM $T ORDER BY d DESC",
    "SELECT * FROM $T ORDER BY s LIMIT 4",
    "SELECT id, s FROM $T WHERE s > '' ORDER BY s DESC LIMIT 7",
    "SELECT id FROM $T ORDER BY b LIMIT 1",
    "SELECT id FROM $T ORDER BY b DESC LIMIT 2",
    "SELECT id FROM $T ORDER BY t DESC LIMIT 10",
    "SELECT id, g FROM $T ORDER BY g LIMIT 0",
    "SELECT id, g FROM $T ORDER BY g LIMIT 1000",
    "SELECT id FROM $T ORDER BY G DESC LIMIT 6",
    "SELECT id FROM $T ORDER BY id DESC LIMIT 3",
    "SELECT id FROM $T WHERE g = 3 ORDER BY i LIMIT 2",
    "SELECT id FROM $T ORDER BY nope",
    "SELECT id FROM $T ORDER BY nope LIMIT 0",
    "SELECT id FROM $T WHERE id = 'k1' ORDER BY nope",
    "SELECT id FROM $T WHERE I = 1 ORDER BY nope",
    "SELECT i FROM $T ORDER BY g LIMIT 3",
    // Windows.
    "SELECT id, SMA(g, 3), EMA(g, 2), RSI(g, 2) FROM $T ORDER BY id LIMIT 6",
    "SELECT id, WMA(g, 2), MOMENTUM(g, 1) FROM $T ORDER BY g DESC",
    "SELECT id, ROC(i, 1) FROM $T ORDER BY t LIMIT 4",
    "SELECT id, ROC(g, 1), VOLATILITY(g, 2), LOGRET(g, 1) FROM $T ORDER BY t DESC LIMIT 8",
    // Aggregates and GROUP BY.
    "SELECT COUNT(*), COUNT(i), SUM(i), AVG(d), MIN(s), MAX(s), MEDIAN(i), VAR(d) FROM $T",
    "SELECT COUNT(*), SUM(g) FROM $T WHERE g > 1",
    "SELECT COUNT(*), STDDEV(t) FROM $T LIMIT 0",
    "SELECT COUNT(*) FROM $T WHERE I = 1 LIMIT 0",
    "SELECT SUM(s) FROM $T",
    "SELECT g, COUNT(*), SUM(i), MIN(s), MAX(d) FROM $T GROUP BY g",
    "SELECT g, COUNT(*) FROM $T GROUP BY g ORDER BY g DESC",
    "SELECT g, COUNT(*) FROM $T GROUP BY g ORDER BY g LIMIT 2",
    "SELECT g, COUNT(*) FROM $T WHERE g = 2 GROUP BY g",
    "SELECT s, COUNT(*) FROM $T WHERE s > '' GROUP BY s ORDER BY s",
    "SELECT d, COUNT(*) FROM $T WHERE d > -100 GROUP BY d",
    "SELECT b, g, COUNT(*) FROM $T WHERE b = true GROUP BY b, g",
    "SELECT i, COUNT(*) FROM $T GROUP BY i",
    "SELECT COUNT(*) FROM $T GROUP BY nope",
};

TEST_F(SelectScan, EveryStatementAnswersAsTheCopyingPath) {
    for (int size : {0, 1, 2, 40, 600}) {
        std::string name;
        Table* t = make_table({{"id", COL_TYPE_STRING, true},
                               {"i", COL_TYPE_INT, false},
                               {"d", COL_TYPE_DOUBLE, false},
                               {"s", COL_TYPE_STRING, false},
                               {"b", COL_TYPE_BOOL, false},
                               {"t", COL_TYPE_TIMESTAMP, false},
                               {"g", COL_TYPE_INT, false}},
                              &name);
        ASSERT_NE(t, nullptr);
        for (int n = 0; n < size; ++n) {
            std::string row = random_row(n);
            char e[256] = "";
            ASSERT_EQ(table_apply_insert(name.c_str(), ++seq_, row.c_str(), e, sizeof e), 0)
                << e << " " << row;
        }
        if (size > 2) {
            char e[256] = "";
            ASSERT_EQ(table_apply_delete(name.c_str(), ++seq_, "k1", e, sizeof e), 0) << e;
        }
        // Index candidates, the primary-key map, then the version chain alone.
        for (int pass = 0; pass < 3; ++pass) {
            if (pass == 1) {
                add_index(t, "ix_g", {"g"}, false);
                add_index(t, "ix_gb", {"g", "b"}, false);
            }
            if (pass == 2) {
                RwWriteGuard g(&t->lock);
                pk_latest_map_clear(t);
            }
            for (const char* sql : kStatements) {
                std::string want = run(true, name, sql);
                EXPECT_EQ(run(false, name, sql), want)
                    << sql << " size " << size << " pass " << pass;
                EXPECT_EQ(want.rfind("PARSE:", 0), std::string::npos) << sql << " " << want;
            }
        }
        RwWriteGuard g(&t->lock);
        ASSERT_EQ(pk_latest_map_rebuild(t), 0);
    }
}

// Equal values group together through SQL: doubles of every spelling, a
// string stored raw and escaped (the rows WHERE s = 'é' finds), int and
// timestamp values; a group shows its first row's stored text.
TEST_F(SelectScan, EqualValuesFormOneGroup) {
    std::string name;
    make_table({{"id", COL_TYPE_STRING, true},
                {"d", COL_TYPE_DOUBLE, false},
                {"s", COL_TYPE_STRING, false},
                {"i", COL_TYPE_INT, false},
                {"t", COL_TYPE_TIMESTAMP, false}},
               &name);
    const char* rows[] = {
        R"({"id":"a","d":1.50,"s":"\u00e9","i":7,"t":5})",
        R"({"id":"b","d":1.5,"s":"é","i":007,"t":5})",
        R"({"id":"c","d":15e-1,"s":"e","i":8,"t":6})",
        R"({"id":"d","d":2,"s":"\u00e9","i":7,"t":6})",
        R"({"id":"e","d":2.0,"s":"E","i":-0,"t":0})",
    };
    for (const char* row : rows) {
        char e[256] = "";
        ASSERT_EQ(table_apply_insert(name.c_str(), ++seq_, row, e, sizeof e), 0) << e << row;
    }
    // A group shows the stored text of its first row in scan order (the
    // primary-key map's walk order).
    std::string order = run(false, name, "SELECT id FROM $T");
    auto first_of = [&](const std::string& ids) {
        size_t best = std::string::npos;
        char pick = 0;
        for (char id : ids) {
            size_t at = order.find(std::string("\"id\":\"") + id + "\"");
            if (at < best) {
                best = at;
                pick = id;
            }
        }
        return pick;
    };
    auto stored = [&](char id, const char* col) {
        std::string json =
            run(false, name, std::string("SELECT ") + col + " FROM $T WHERE id = '" + id + "'");
        size_t start = json.find("[{") + 2, end = json.rfind("}]");
        return json.substr(start, end - start);
    };
    const struct {
        const char* sql;
        std::vector<std::pair<std::string, int>> groups;  // ids of each group, its count
        const char* col;
    } cases[] = {
        {"SELECT d, COUNT(*) FROM $T GROUP BY d ORDER BY d", {{"abc", 3}, {"de", 2}}, "d"},
        {"SELECT s, COUNT(*) FROM $T GROUP BY s ORDER BY s DESC",
         {{"abd", 3}, {"c", 1}, {"e", 1}},
         "s"},
        {"SELECT i, COUNT(*) FROM $T GROUP BY i ORDER BY i", {{"e", 1}, {"abd", 3}, {"c", 1}}, "i"},
        {"SELECT t, COUNT(*) FROM $T GROUP BY t ORDER BY t DESC",
         {{"cd", 2}, {"ab", 2}, {"e", 1}},
         "t"},
    };
    for (const auto& c : cases) {
        std::string want = "{\"ok\":true,\"table\":\"" + name + "\",\"rows\":[";
        for (size_t k = 0; k < c.groups.size(); ++k) {
            want += k ? ",{" : "{";
            want += stored(first_of(c.groups[k].first), c.col);
            want += ",\"COUNT(*)\":" + std::to_string(c.groups[k].second) + "}";
        }
        want += "]}";
        EXPECT_EQ(run(false, name, c.sql), want) << c.sql;
        EXPECT_EQ(run(true, name, c.sql), want) << c.sql;
    }
    EXPECT_EQ(run(false, name, "SELECT COUNT(*) FROM $T WHERE s = 'é'"),
              "{\"ok\":true,\"table\":\"" + name + "\",\"rows\":[{\"COUNT(*)\":3}]}");
}

}  // namespace
