// Scalar numeric functions on one row and window functions over a sorted
// series, with hand-computed values, plus the window reply.
#include <gtest/gtest.h>

#include <cfloat>

#include <cmath>

#include "query/scalar_window.h"
#include "query_rows_fixture.h"

namespace {

TableSchema numbers_schema() {
    return make_schema({{"id", COL_TYPE_STRING},
                        {"i", COL_TYPE_INT},
                        {"d", COL_TYPE_DOUBLE},
                        {"s", COL_TYPE_STRING},
                        {"n", COL_TYPE_INT}});
}

// Value of the first select item of `sql` on `row`, or "ERR:<message>".
std::string item_value(const TableSchema& s, const std::string& sql, const char* row) {
    SelectQuery q = parse_query(sql.c_str());
    char* out = nullptr;
    char err[128] = {0};
    if (select_expr_value_raw(&s, &q, 0, row, &out, err, sizeof err) != 0) {
        EXPECT_EQ(out, nullptr);
        return std::string("ERR:") + err;
    }
    return take(out);
}

struct ScalarCase {
    const char* item;
    const char* row;
    const char* expected;
};

TEST(ScalarExpr, FunctionsAndFormats) {
    TableSchema s = numbers_schema();
    const char* row = R"({"id":"a","i":-7,"d":-2.5,"s":"x\"y","n":null})";
    const std::vector<ScalarCase> cases = {
        {"i", row, "-7"},
        {"s", row, R"("x\"y")"},
        {"n", row, "null"},
        {"ABS(i)", row, "7"},
        {"ABS(d)", row, "2.5"},
        {"ABS(i)", R"({"i":-9223372036854775808})", "9223372036854775808"},
        {"ABS(-7)", row, "7"},
        {"ABS(-7.0)", row, "7"},
        {"ABS(-99999999999999999999)", row, "1e+20"},  // integer literal beyond 64 bits
        {"ROUND(2.5)", row, "3"},
        {"ROUND(-2.5)", row, "-3"},
        {"ROUND(d)", row, "-3"},
        {"FLOOR(-0.5)", row, "-1"},
        {"CEIL(1.2)", row, "2"},
        {"CEILING(1.2)", row, "2"},
        {"SIGN(-3.1)", row, "-1"},
        {"SIGN(0)", row, "0"},
        {"ROUND(1e20)", row, "1e+20"},
        {"ROUND(d)", R"({"d":1e300})", "1e+300"},
        {"SQRT(-1)", row, "null"},
        {"SQRT(16)", row, "4"},
        {"LOG(0)", row, "null"},
        {"LN(-5)", row, "null"},
        {"LOG10(0)", row, "null"},
        {"LOG(100)", row, "4.60517018598809"},
        {"LN(100)", row, "4.60517018598809"},
        {"LOG10(1000)", row, "3"},
        {"EXP(0)", row, "1"},
        {"EXP(1000)", row, "null"},
        {"POW(2, 0.5)", row, "1.4142135623731"},
        {"POW(i, 2)", row, "49"},
        {"POW(10, -5)", row, "1e-05"},
        {"SQRT(n)", row, "null"},
        {"ABS(n)", row, "null"},
        {"ROUND(n)", row, "null"},
        {"nope", row, "ERR:unknown selected column"},
        {"ABS(nope)", row, "ERR:unknown selected column"},
        {"ABS(s)", row, "ERR:numeric function supports numeric columns only"},
        {"ABS(i)", R"({"d":1})", "ERR:missing selected column value"},
        {"d", R"({"i":1})", "ERR:missing selected column value"},
    };
    for (const ScalarCase& c : cases) {
        EXPECT_EQ(item_value(s, std::string("SELECT ") + c.item + " FROM t", c.row), c.expected)
            << c.item << " on " << c.row;
    }
}

TEST(ScalarExpr, BadOperandsAndKinds) {
    TableSchema s = numbers_schema();
    const char* row = R"({"i":2})";
    SelectQuery q = parse_query("SELECT POW(i, 2) FROM t");
    char* out = nullptr;
    char err[128] = {0};
    snprintf(q.second_arg[0], sizeof q.second_arg[0], "x2");
    EXPECT_EQ(select_expr_value_raw(&s, &q, 0, row, &out, err, sizeof err), -1);
    EXPECT_STREQ(err, "invalid POW exponent");
    snprintf(q.second_arg[0], sizeof q.second_arg[0], "3abc");  // trailing text ignored
    ASSERT_EQ(select_expr_value_raw(&s, &q, 0, row, &out, err, sizeof err), 0);
    EXPECT_EQ(take(out), "8");

    q = parse_query("SELECT ABS(1) FROM t");
    snprintf(q.arg[0], sizeof q.arg[0], "1.2.3");
    EXPECT_EQ(select_expr_value_raw(&s, &q, 0, row, &out, err, sizeof err), -1);
    EXPECT_STREQ(err, "invalid numeric literal");

    q = parse_query("SELECT COUNT(*) FROM t");
    EXPECT_EQ(select_expr_value_raw(&s, &q, 0, row, &out, err, sizeof err), -1);
    EXPECT_STREQ(err, "unsupported scalar expression");
    EXPECT_EQ(select_expr_value_raw(&s, &q, 5, row, &out, err, sizeof err), -1);
}

TEST(ScalarExpr, RawNumberFormatting) {
    char* out = nullptr;
    char err[64] = {0};
    const std::vector<std::pair<long double, const char*>> cases = {
        {0.1L + 0.2L, "0.3"},
        {1e15L, "1e+15"},
        {123456789012345.0L, "123456789012345"},
        {0.0001L, "0.0001"},
        {0.00001L, "1e-05"},
        {1e309L, "null"},
        // The largest doubles: 15 digits would round past the double range.
        {static_cast<long double>(DBL_MAX), "1.7976931348623157e+308"},
        {-static_cast<long double>(DBL_MAX), "-1.7976931348623157e+308"},
        {1.79769313486231e308L, "1.79769313486231e+308"},
        {static_cast<long double>(DBL_MAX) * 1.0000001L, "null"},
        {static_cast<long double>(INFINITY), "null"},
        {static_cast<long double>(NAN), "null"}};
    for (const auto& c : cases) {
        ASSERT_EQ(make_raw_number(&out, err, sizeof err, c.first), 0);
        EXPECT_EQ(take(out), c.second);
    }
    ASSERT_EQ(make_raw_null(&out, err, sizeof err), 0);
    EXPECT_EQ(take(out), "null");
}

struct WindowCase {
    const char* item;
    std::vector<const char*> values;  // x of each row in sorted order
    std::vector<const char*> expected;
};

TEST(WindowExpr, HandComputedSeries) {
    TableSchema s =
        make_schema({{"id", COL_TYPE_INT}, {"x", COL_TYPE_DOUBLE}, {"k", COL_TYPE_INT}});
    const std::vector<WindowCase> cases = {
        {"SMA(x,3)", {"1", "2", "3", "4"}, {"null", "null", "2", "3"}},
        {"WMA(x,3)",
         {"1", "2", "3", "4"},
         {"null", "null", "2.33333333333333", "3.33333333333333"}},
        {"EMA(x,2)", {"1", "2", "3"}, {"null", "1.5", "2.5"}},
        {"EMA(x,1)", {"1", "2", "null", "4"}, {"1", "2", "null", "null"}},
        {"EMA(x,2)", {"1", "null", "3", "4"}, {"null", "null", "null", "null"}},
        {"SMA(x,2)", {"1", "null", "3", "4"}, {"null", "null", "null", "3.5"}},
        {"RSI(x,2)", {"1", "2", "3"}, {"null", "null", "100"}},
        {"RSI(x,2)", {"5", "5", "5"}, {"null", "null", "50"}},
        {"RSI(x,2)", {"1", "3", "2"}, {"null", "null", "66.6666666666667"}},
        {"ROC(x,1)", {"0", "5"}, {"null", "null"}},
        {"ROC(x,1)", {"4", "5"}, {"null", "25"}},
        {"MOMENTUM(x,1)", {"5", "3"}, {"null", "-2"}},
        {"MOMENTUM(x,1)", {"5", "null", "3"}, {"null", "null", "null"}},
        {"LOGRET(x,1)", {"1", "2", "-2"}, {"null", "0.693147180559945", "null"}},
        {"VOLATILITY(x,2)", {"1", "2", "4"}, {"null", "null", "0"}},
        {"VOLATILITY(x,2)", {"1", "2", "2", "0"}, {"null", "null", "0.346573590279973", "null"}},
        {"SMA(k,2)", {"1", "2", "3"}, {"null", "1.5", "2.5"}},  // int column
        {"SMA(x,3)", {"1", "2", "3", "4", "5", "6"}, {"null", "null", "2", "3", "4", "5"}},
        {"ROC(x,3)", {"1", "2", "3", "4", "6"}, {"null", "null", "null", "300", "200"}},
    };
    for (const WindowCase& c : cases) {
        SCOPED_TRACE(c.item);
        std::vector<std::string> jsons;
        for (size_t i = 0; i < c.values.size(); ++i) {
            std::string v = c.values[i];
            jsons.push_back("{\"id\":" + std::to_string(i) + ",\"x\":" + v + ",\"k\":" + v + "}");
        }
        RowSet rows(jsons);
        SelectQuery q =
            parse_query((std::string("SELECT ") + c.item + " FROM t ORDER BY id").c_str());
        char err[128] = {0};
        std::string expected_reply = "{\"ok\":true,\"table\":\"t\",\"rows\":[";
        for (int r = 0; r < rows.size(); ++r) {
            char* out = nullptr;
            ASSERT_EQ(compute_window_expr_raw(&s, &q, 0, rows.data(), rows.size(), r, &out, err,
                                              sizeof err),
                      0)
                << err;
            EXPECT_EQ(take(out), c.expected[r]) << "row " << r;
            expected_reply +=
                std::string(r ? "," : "") + "{\"" + c.item + "\":" + c.expected[r] + "}";
        }
        expected_reply += "]}";
        // The reply carries the series forward row by row; it must match the
        // values computed for each row alone.
        char* reply = nullptr;
        ASSERT_EQ(
            build_window_rows_json(&s, "t", &q, rows.data(), rows.size(), &reply, err, sizeof err),
            0)
            << err;
        EXPECT_EQ(take(reply), expected_reply);
    }
}

TEST(WindowExpr, ReplyWithPlainColumnsAndLimit) {
    TableSchema s = make_schema({{"id", COL_TYPE_INT}, {"x", COL_TYPE_DOUBLE}});
    RowSet rows({R"({"id":1,"x":1})", R"({"id":2,"x":2})", R"({"id":3,"x":3})"});
    SelectQuery q = parse_query("SELECT id, SMA(x,2) FROM t ORDER BY id LIMIT 2");
    char* reply = nullptr;
    char err[128] = {0};
    ASSERT_EQ(
        build_window_rows_json(&s, "t", &q, rows.data(), rows.size(), &reply, err, sizeof err), 0);
    EXPECT_EQ(
        take(reply),
        R"js({"ok":true,"table":"t","rows":[{"id":1,"SMA(x,2)":null},{"id":2,"SMA(x,2)":1.5}]})js");
    q.limit = 0;
    ASSERT_EQ(
        build_window_rows_json(&s, "t", &q, rows.data(), rows.size(), &reply, err, sizeof err), 0);
    EXPECT_EQ(take(reply), R"({"ok":true,"table":"t","rows":[]})");
}

TEST(WindowExpr, Errors) {
    TableSchema s =
        make_schema({{"id", COL_TYPE_INT}, {"x", COL_TYPE_DOUBLE}, {"s", COL_TYPE_STRING}});
    char err[128] = {0};
    char* out = nullptr;
    {
        RowSet rows({R"({"id":1,"x":1})", R"({"id":2})", R"({"id":3,"x":3})"});
        SelectQuery q = parse_query("SELECT SMA(x,2) FROM t ORDER BY id");
        // Row 0 is warm-up and reads nothing; row 1 needs the missing value.
        ASSERT_EQ(compute_window_expr_raw(&s, &q, 0, rows.data(), 3, 0, &out, err, sizeof err), 0);
        EXPECT_EQ(take(out), "null");
        EXPECT_EQ(compute_window_expr_raw(&s, &q, 0, rows.data(), 3, 1, &out, err, sizeof err), -1);
        EXPECT_STREQ(err, "missing selected column value");
        EXPECT_EQ(build_window_rows_json(&s, "t", &q, rows.data(), 3, &out, err, sizeof err), -1);
        EXPECT_EQ(out, nullptr);
        q.period[0] = 0;
        EXPECT_EQ(compute_window_expr_raw(&s, &q, 0, rows.data(), 3, 2, &out, err, sizeof err), -1);
        EXPECT_STREQ(err, "invalid window function period");
    }
    {
        RowSet rows({R"({"id":1,"s":"a"})", R"({"id":2,"s":"b"})"});
        SelectQuery q = parse_query("SELECT SMA(s,1) FROM t ORDER BY id");
        EXPECT_EQ(build_window_rows_json(&s, "t", &q, rows.data(), 2, &out, err, sizeof err), -1);
        EXPECT_STREQ(err, "numeric functions support numeric columns only");
        q = parse_query("SELECT SMA(nope,1) FROM t ORDER BY id");
        EXPECT_EQ(build_window_rows_json(&s, "t", &q, rows.data(), 2, &out, err, sizeof err), -1);
        EXPECT_STREQ(err, "unknown selected column");
    }
}

}  // namespace
