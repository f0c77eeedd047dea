// ORDER BY sorting: typed order per column type, null placement, the stable
// tie-break in both directions, and column lookup.
#include <gtest/gtest.h>

#include "query/order_by.h"
#include "query_rows_fixture.h"

namespace {

struct OrderCase {
    const char* name;
    int type;
    std::vector<std::string> rows;  // JSON of r0, r1, ...
    int desc;
    const char* expected;  // keys in sorted order
};

TEST(OrderBy, TypedOrderWithNullsAndTies) {
    const std::vector<OrderCase> cases = {
        {"int asc, null and missing last",
         COL_TYPE_INT,
         {R"({"v":3})", R"({"v":null})", R"({"v":-2})", R"({"w":1})", R"({"v":10})"},
         0,
         "r2,r0,r4,r1,r3"},
        {"int desc, null and missing first",
         COL_TYPE_INT,
         {R"({"v":3})", R"({"v":null})", R"({"v":-2})", R"({"w":1})", R"({"v":10})"},
         1,
         "r1,r3,r4,r0,r2"},
        {"ties keep collection order asc",
         COL_TYPE_INT,
         {R"({"v":1})", R"({"v":0})", R"({"v":1})", R"({"v":0})"},
         0,
         "r1,r3,r0,r2"},
        {"ties keep collection order desc",
         COL_TYPE_INT,
         {R"({"v":1})", R"({"v":0})", R"({"v":1})", R"({"v":0})"},
         1,
         "r0,r2,r1,r3"},
        {"int column holding 1.9 sorts as 1",
         COL_TYPE_INT,
         {R"({"v":2})", R"({"v":1.9})", R"({"v":1})"},
         0,
         "r1,r2,r0"},
        {"timestamp compares as integer",
         COL_TYPE_TIMESTAMP,
         {R"({"v":1700000000002})", R"({"v":1700000000001})"},
         0,
         "r1,r0"},
        {"double by value",
         COL_TYPE_DOUBLE,
         {R"({"v":1.5})", R"({"v":-2e3})", R"({"v":0.25})", R"({"v":1.5e0})"},
         0,
         "r1,r2,r0,r3"},
        {"string by bytes, numbers as text",
         COL_TYPE_STRING,
         {R"({"v":"a"})", R"({"v":"B"})", R"({"v":"9"})", R"({"v":"10"})", R"({"v":null})"},
         0,
         "r3,r2,r1,r0,r4"},
        {"string escapes decoded before comparing",
         COL_TYPE_STRING,
         {R"({"v":"b"})", R"({"v":"a\"z"})"},
         0,
         "r1,r0"},
        {"bool: false and other text before true",
         COL_TYPE_BOOL,
         {R"({"v":true})", R"({"v":false})", R"({"v":1})", R"({"v":"yes"})"},
         0,
         "r1,r3,r0,r2"},
    };
    for (const OrderCase& c : cases) {
        SCOPED_TRACE(c.name);
        TableSchema s = make_schema({{"id", COL_TYPE_STRING}, {"v", c.type}});
        RowSet rows(c.rows);
        SelectQuery q{};
        snprintf(q.order_by, sizeof q.order_by, "v");
        q.order_desc = c.desc;
        char err[128] = {0};
        ASSERT_EQ(select_sort_rows_by_order(&s, &q, rows.data(), rows.size(), err, sizeof err), 0)
            << err;
        EXPECT_EQ(rows.keys(), c.expected);
    }
}

TEST(OrderBy, RowTextsTravelWithTheirKeys) {
    TableSchema s = make_schema({{"v", COL_TYPE_INT}});
    std::vector<std::string> jsons;
    for (int i = 0; i < 37; ++i) jsons.push_back("{\"v\":" + std::to_string((i * 17) % 37) + "}");
    RowSet rows(jsons);
    SelectQuery q{};
    snprintf(q.order_by, sizeof q.order_by, "V");  // matched case-insensitively
    char err[128] = {0};
    ASSERT_EQ(select_sort_rows_by_order(&s, &q, rows.data(), rows.size(), err, sizeof err), 0);
    for (int i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(std::string(rows.rows[i].row_json), "{\"v\":" + std::to_string(i) + "}");
        int original = atoi(rows.rows[i].key + 1);
        EXPECT_EQ((original * 17) % 37, i);
    }
}

TEST(OrderBy, UnknownColumnOnlyMattersWithTwoRows) {
    TableSchema s = make_schema({{"v", COL_TYPE_INT}});
    SelectQuery q{};
    snprintf(q.order_by, sizeof q.order_by, "nope");
    char err[128] = {0};
    RowSet one({R"({"v":1})"});
    EXPECT_EQ(select_sort_rows_by_order(&s, &q, one.data(), one.size(), err, sizeof err), 0);
    EXPECT_EQ(select_sort_rows_by_order(&s, &q, nullptr, 0, err, sizeof err), 0);
    RowSet two({R"({"v":2})", R"({"v":1})"});
    EXPECT_EQ(select_sort_rows_by_order(&s, &q, two.data(), two.size(), err, sizeof err), -1);
    EXPECT_STREQ(err, "unknown ORDER BY column");
    EXPECT_EQ(two.keys(), "r0,r1");
    q.order_by[0] = '\0';  // no ORDER BY: untouched
    EXPECT_EQ(select_sort_rows_by_order(&s, &q, two.data(), two.size(), err, sizeof err), 0);
    EXPECT_EQ(two.keys(), "r0,r1");
}

TEST(OrderBy, KeyCompareTreatsMissingKeyAsNull) {
    SortKey a{}, b{};
    char err[64] = {0};
    ASSERT_EQ(select_sort_key_from_raw(COL_TYPE_INT, " 5 ", 0, &a, err, sizeof err), 0);
    ASSERT_EQ(select_sort_key_from_raw(COL_TYPE_INT, nullptr, 1, &b, err, sizeof err), 0);
    EXPECT_EQ(b.is_null, 1);
    EXPECT_LT(select_sort_key_compare(&a, nullptr, COL_TYPE_INT, 0), 0);
    EXPECT_GT(select_sort_key_compare(&a, nullptr, COL_TYPE_INT, 1), 0);
    EXPECT_LT(select_sort_key_compare(&a, &b, COL_TYPE_INT, 0), 0);
    EXPECT_EQ(select_sort_key_from_raw(COL_TYPE_INT, "1", 0, nullptr, err, sizeof err), -1);
    select_sort_key_free(&a);
    select_sort_key_free(&b);
}

}  // namespace
