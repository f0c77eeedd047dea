// SELECT parsing: accepted shapes and every refusal message.
#include <gtest/gtest.h>

#include <string>

#include "query/select_parse.h"

namespace {

struct Parsed {
    int rc;
    std::string err;
    std::string table;
    SelectQuery q;
};

Parsed parse(const std::string& sql) {
    Parsed p;
    char table[64] = {0};
    char err[256] = {0};
    p.rc = parse_select_sql(sql.c_str(), table, sizeof table, &p.q, err, sizeof err);
    p.err = err;
    p.table = table;
    return p;
}

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

std::string items(int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += (i ? ",c" : "c") + std::to_string(i);
    return out;
}

std::string and_preds(int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += (i ? " AND c" : "c") + std::to_string(i) + " = 1";
    return out;
}

struct ErrorCase {
    const char* name;
    std::string sql;
    const char* message;
};

TEST(SelectParse, RefusesEveryBadShapeWithItsMessage) {
    const std::string long_ident(64, 'x');
    const ErrorCase cases[] = {
        {"not a select", "UPDATE t SET a = 1", "invalid SELECT"},
        {"no from", "SELECT a", "missing FROM"},
        {"list too long", "SELECT " + repeat("abcdefgh,", 230) + "a FROM t",
         "SELECT column list too long"},
        {"empty item", "SELECT a,,b FROM t", "bad SELECT column list"},
        {"trailing comma", "SELECT a, FROM t", "bad SELECT column list"},
        {"65 items", "SELECT " + items(65) + " FROM t", "too many selected columns"},
        {"star then column", "SELECT *, a FROM t",
         "'*' cannot be mixed with other selected expressions"},
        {"column then star", "SELECT a, * FROM t",
         "'*' cannot be mixed with other selected expressions"},
        {"no closing paren", "SELECT ABS(a)x FROM t", "bad function syntax"},
        {"empty argument", "SELECT SUM( ) FROM t", "missing function argument"},
        {"pow one arg", "SELECT POW(x) FROM t", "function requires two arguments"},
        {"pow empty second", "SELECT POW(x, ) FROM t", "function requires two arguments"},
        {"pow column exponent", "SELECT POW(x, y) FROM t", "invalid numeric argument"},
        {"pow long exponent", "SELECT POW(x, " + std::string(70, '1') + ") FROM t",
         "numeric argument too long"},
        {"sum star", "SELECT sum(*) FROM t", "'*' is only valid with COUNT"},
        {"quoted scalar arg", "SELECT ABS('2') FROM t",
         "numeric scalar functions accept numeric literals or column names only"},
        {"period zero", "SELECT SMA(p, 0) FROM t ORDER BY d", "invalid numeric argument"},
        {"period too big", "SELECT SMA(p, 1000001) FROM t ORDER BY d", "invalid numeric argument"},
        {"huge item", "SELECT ABS(" + std::string(300, 'x') + ") FROM t",
         "selected expression too long"},
        {"table 64 bytes", "SELECT * FROM " + long_ident, "table name too long"},
        {"table span 256", "SELECT * FROM " + std::string(260, 't'), "table name too long"},
        {"empty table", "SELECT * FROM ''", "invalid table name"},
        {"empty column", "SELECT '' FROM t", "invalid column name"},
        {"column 64 bytes", "SELECT " + long_ident + " FROM t", "column name too long"},
        {"where too long", "SELECT * FROM t WHERE a = '" + std::string(1030, 'v') + "'",
         "WHERE clause too long"},
        {"group too long", "SELECT a FROM t GROUP BY " + repeat("a,", 520) + "a",
         "GROUP BY clause too long"},
        {"order too long", "SELECT * FROM t ORDER BY " + std::string(300, 'o'),
         "ORDER BY clause too long"},
        {"order column 64", "SELECT * FROM t ORDER BY " + long_ident, "ORDER BY column too long"},
        {"no operator", "SELECT * FROM t WHERE a", "bad WHERE"},
        {"empty predicate", "SELECT * FROM t WHERE a = 1 AND  AND b = 2", "bad WHERE"},
        {"nine predicates", "SELECT * FROM t WHERE " + and_preds(9), "too many WHERE predicates"},
        {"empty where column", "SELECT * FROM t WHERE '' = 1", "bad WHERE column"},
        {"long where column", "SELECT * FROM t WHERE " + long_ident + " = 1",
         "WHERE column too long"},
        {"empty where value", "SELECT * FROM t WHERE a =", "bad WHERE value"},
        {"or is not a literal", "SELECT * FROM t WHERE a = 1 OR b = 2",
         "WHERE value must be a single literal"},
        {"two strings", "SELECT * FROM t WHERE a = 'x' 'y'",
         "WHERE value must be a single literal"},
        {"unterminated string", "SELECT * FROM t WHERE a = 'x",
         "WHERE value must be a single literal"},
        {"stray close paren", "SELECT * FROM t WHERE id = 1)",
         "WHERE value must be a single literal"},
        {"unclosed open paren", "SELECT * FROM t WHERE id = (1",
         "WHERE value must be a single literal"},
        {"stray paren in second predicate", "SELECT * FROM t WHERE a = 1 AND b = 2)",
         "WHERE value must be a single literal"},
        {"stray paren before limit", "SELECT * FROM t WHERE id = 1) LIMIT 5",
         "WHERE value must be a single literal"},
        {"empty group column", "SELECT a FROM t GROUP BY a,,b", "bad GROUP BY column"},
        {"65 group columns", "SELECT c0 FROM t GROUP BY " + items(65), "too many GROUP BY column"},
        {"quoted empty group", "SELECT a FROM t GROUP BY ''", "invalid GROUP BY column"},
        {"aggregate mixed", "SELECT COUNT(*), a FROM t",
         "cannot mix aggregate and non-aggregate expressions without GROUP BY"},
        {"aggregate order", "SELECT COUNT(*) FROM t ORDER BY a",
         "ORDER BY is not supported with aggregate queries yet"},
        {"star group", "SELECT * FROM t GROUP BY a", "SELECT * is not supported with GROUP BY"},
        {"window group", "SELECT SMA(p, 3) FROM t GROUP BY p",
         "window functions cannot be used with GROUP BY"},
        {"scalar in group", "SELECT ABS(a) FROM t GROUP BY a",
         "non-aggregate SELECT columns must appear in GROUP BY"},
        {"column not grouped", "SELECT b FROM t GROUP BY a",
         "non-aggregate SELECT columns must appear in GROUP BY"},
        {"order not grouped", "SELECT a FROM t GROUP BY a ORDER BY b",
         "ORDER BY with GROUP BY supports GROUP BY columns only"},
        {"window without order", "SELECT SMA(p, 3) FROM t", "SMA/EMA require ORDER BY"},
        {"statement too long", "SELECT * FROM t WHERE a = 1 LIMIT 1" + std::string(4100, ' ') + "x",
         "SELECT statement too long"},
    };
    for (const auto& c : cases) {
        Parsed p = parse(c.sql);
        EXPECT_EQ(p.rc, -1) << c.name;
        EXPECT_EQ(p.err, c.message) << c.name;
    }
}

TEST(SelectParse, StarWithClausesAndTrailingSemicolon) {
    Parsed p = parse(
        "select * from \"Orders\" where id >= 5 and name <> 'x AND y' order by ts desc limit 10;");
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(p.table, "Orders");
    EXPECT_EQ(p.q.select_star, 1);
    EXPECT_EQ(p.q.column_count, 0);
    ASSERT_EQ(p.q.pred_count, 2);
    EXPECT_EQ(p.q.has_where, 1);
    EXPECT_STREQ(p.q.pred_col[0], "id");
    EXPECT_STREQ(p.q.pred_op[0], ">=");
    EXPECT_STREQ(p.q.pred_value[0], "5");
    EXPECT_STREQ(p.q.pred_op[1], "<>");
    EXPECT_STREQ(p.q.pred_value[1], "'x AND y'");
    EXPECT_STREQ(p.q.where_col, "id");
    EXPECT_STREQ(p.q.where_value, "5");
    EXPECT_STREQ(p.q.order_by, "ts");
    EXPECT_EQ(p.q.order_desc, 1);
    EXPECT_EQ(p.q.limit, 10);
}

TEST(SelectParse, ItemKindsArgumentsAndLabels) {
    struct Case {
        const char* item;
        int kind;
        const char* arg;
        int literal;
        const char* label;
    } cases[] = {
        {"price", EXPR_COLUMN, "price", 0, "price"},
        {"count(*)", EXPR_COUNT, "*", 0, "COUNT(*)"},
        {"ceiling(x)", EXPR_CEIL, "x", 0, "CEILING(x)"},
        {"ceil(x)", EXPR_CEIL, "x", 0, "CEIL(x)"},
        {"ABS(-2.50)", EXPR_ABS, "-2.5", 1, "ABS(-2.5)"},
        {"abs(0x10)", EXPR_ABS, "16", 1, "ABS(16)"},
        {"ABS(nan)", EXPR_ABS, "nan", 0, "ABS(nan)"},
        {"round( 3.14159 )", EXPR_ROUND, "3.14159", 1, "ROUND(3.14159)"},
        {"median(v)", EXPR_MEDIAN, "v", 0, "MEDIAN(v)"},
        {"med(v)", EXPR_MED, "v", 0, "MED(v)"},
        {"log10(v)", EXPR_LOG10, "v", 0, "LOG10(v)"},
    };
    for (const auto& c : cases) {
        Parsed p = parse(std::string("SELECT ") + c.item + " FROM t");
        ASSERT_EQ(p.rc, 0) << c.item << ": " << p.err;
        ASSERT_EQ(p.q.column_count, 1) << c.item;
        EXPECT_EQ(p.q.kind[0], c.kind) << c.item;
        EXPECT_STREQ(p.q.arg[0], c.arg) << c.item;
        EXPECT_EQ(p.q.arg_is_literal[0], c.literal) << c.item;
        EXPECT_STREQ(p.q.label[0], c.label) << c.item;
    }

    Parsed pw = parse("SELECT POW(x, 2.50), RSI(p, 14) FROM t ORDER BY d");
    ASSERT_EQ(pw.rc, 0) << pw.err;
    EXPECT_STREQ(pw.q.second_arg[0], "2.5");
    EXPECT_STREQ(pw.q.label[0], "POW(x,2.5)");
    EXPECT_EQ(pw.q.period[1], 14);
    EXPECT_STREQ(pw.q.label[1], "RSI(p,14)");
    EXPECT_EQ(pw.q.has_window, 1);
    EXPECT_EQ(pw.q.has_aggregate, 0);
}

TEST(SelectParse, GroupByMatchesCaseInsensitively) {
    Parsed p = parse("SELECT a, COUNT(*) FROM t GROUP BY A ORDER BY a");
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(p.q.has_group_by, 1);
    EXPECT_EQ(p.q.group_count, 1);
    EXPECT_STREQ(p.q.group_col[0], "A");
    EXPECT_EQ(p.q.has_aggregate, 1);
    EXPECT_EQ(group_col_index(&p.q, "a"), 0);
    EXPECT_EQ(group_col_index(&p.q, "b"), -1);
}

TEST(SelectParse, QuotedValuesFollowTheScannerEscapeRule) {
    // 'a\\' closes after the escaped backslash, so the AND after it splits.
    Parsed p = parse("SELECT * FROM t WHERE a = 'a\\\\' AND b = 'it''s'");
    ASSERT_EQ(p.rc, 0) << p.err;
    ASSERT_EQ(p.q.pred_count, 2);
    EXPECT_STREQ(p.q.pred_value[0], "'a\\\\'");
    EXPECT_STREQ(p.q.pred_value[1], "'it''s'");
}

TEST(SelectParse, LimitForms) {
    struct Case {
        const char* limit;
        int expected;
    } cases[] = {
        {"LIMIT 0", 0},
        {"LIMIT -5", -1},
        {"LIMIT abc", 0},
        {"LIMIT 4294967297", INT32_MAX},  // must not wrap to 1
        {"LIMIT -4294967296", -1},
        {"LIMIT 2147483647", INT32_MAX},
    };
    for (const auto& c : cases) {
        Parsed p = parse(std::string("SELECT * FROM t ") + c.limit);
        ASSERT_EQ(p.rc, 0) << c.limit << ": " << p.err;
        EXPECT_EQ(p.q.limit, c.expected) << c.limit;
    }
    EXPECT_EQ(parse("SELECT * FROM t").q.limit, -1);
}

TEST(SelectParse, NumericHelpers) {
    long double v = 0;
    int is_int = 0;
    EXPECT_EQ(parse_numeric_literal_value(" 42 ", &v, &is_int), 0);
    EXPECT_EQ(is_int, 1);
    EXPECT_EQ(parse_numeric_literal_value("1e3", &v, &is_int), 0);
    EXPECT_EQ(is_int, 0);
    for (const char* bad : {"", "inf", "nan", "1e400", "12abc", "--1"}) {
        EXPECT_EQ(parse_numeric_literal_value(bad, &v, &is_int), -1) << bad;
    }
    char out[64];
    char err[128];
    EXPECT_EQ(parse_number_token("", out, sizeof out, err, sizeof err), -1);
    EXPECT_STREQ(err, "missing numeric argument");
    int period = 0;
    EXPECT_EQ(parse_positive_int_token(" ", &period, err, sizeof err), -1);
    EXPECT_STREQ(err, "missing numeric argument");
    EXPECT_EQ(parse_positive_int_token("1000000", &period, err, sizeof err), 0);
    EXPECT_EQ(period, 1000000);
    EXPECT_EQ(column_type_is_numeric(5), 1);
    EXPECT_EQ(column_type_is_numeric(3), 0);
}

}  // namespace
