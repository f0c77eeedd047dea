// Two-table JOIN: the parser's fields and messages, and execution over real
// tables (keys of SELECT *, projections, LEFT JOIN, WHERE, ORDER BY, LIMIT,
// loose ON matching and self-joins).
#include "query/join.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "suite_data_dir.h"

namespace {

class JoinTables : public SuiteDataDir {
  protected:
    static void SetUpTestSuite() {
        enter_data_dir("/tmp/kyrel_join_XXXXXX");
        make("jorders",
             {{"id", COL_TYPE_INT},
              {"customer_id", COL_TYPE_INT},
              {"amount", COL_TYPE_INT},
              {"name", COL_TYPE_STRING}},
             {R"({"id":1,"customer_id":1,"amount":9,"name":"o1"})",
              R"({"id":2,"customer_id":1,"amount":10,"name":"o2"})",
              R"({"id":3,"customer_id":2,"amount":150,"name":"o3"})",
              R"({"id":4,"customer_id":99,"amount":5,"name":"o4"})",
              R"({"id":5,"customer_id":7,"amount":1,"name":"o5"})"});
        make("jcustomers",
             {{"id", COL_TYPE_INT}, {"name", COL_TYPE_STRING}, {"city", COL_TYPE_STRING}},
             {R"({"id":1,"name":"ann","city":"x"})", R"({"id":2,"name":"bob","city":"y"})"});
        // Keys stored as strings: "7" must meet the number 7.
        make("jtags", {{"code", COL_TYPE_STRING}, {"label", COL_TYPE_STRING}},
             {R"({"code":"7","label":"seven"})", R"({"code":"8","label":"eight"})"});
        make("jnodes", {{"id", COL_TYPE_INT}, {"parent", COL_TYPE_INT}},
             {R"({"id":1})", R"({"id":2,"parent":1})", R"({"id":3,"parent":2})"});
    }
    static void TearDownTestSuite() { leave_data_dir(); }
    static void make(const char* name, std::initializer_list<SuiteColumn> cols,
                     std::initializer_list<const char*> rows) {
        create_table(name, cols);
        for (const char* r : rows) insert_row(name, r);
    }

    // Parses, maps the written names to the internal ones (the default
    // database keeps bare names) and runs; the reply or "ERR:<message>".
    static std::string run(const std::string& sql) {
        JoinQuery q;
        char err[256] = "";
        if (parse_select_join_sql(sql.c_str(), &q, err, sizeof err) != 0)
            return std::string("ERR:") + err;
        char* out = nullptr;
        if (select_join_rows_json(&q, &out, err, sizeof err) != 0) {
            EXPECT_EQ(out, nullptr);
            return std::string("ERR:") + err;
        }
        std::string s = out;
        free(out);
        return s;
    }
};

TEST(JoinParse, FieldsOfAFullStatement) {
    JoinQuery q;
    char err[256] = "";
    ASSERT_EQ(parse_select_join_sql(
                  "select  o.id , c.name from orders AS o left outer join \"customers\" c "
                  "on o.customer_id = c.id where c.name = 'a b' order by o.id desc limit 3",
                  &q, err, sizeof err),
              0)
        << err;
    EXPECT_EQ(q.select_all, 0);
    ASSERT_EQ(q.column_count, 2);
    EXPECT_STREQ(q.columns[0], "o.id");
    EXPECT_STREQ(q.columns[1], "c.name");
    EXPECT_EQ(q.left_join, 1);
    EXPECT_STREQ(q.left_table, "orders");
    EXPECT_STREQ(q.left_alias, "o");
    EXPECT_STREQ(q.right_table, "customers");
    EXPECT_STREQ(q.right_alias, "c");
    EXPECT_STREQ(q.on_left, "o.customer_id");
    EXPECT_STREQ(q.on_right, "c.id");
    EXPECT_EQ(q.has_where, 1);
    EXPECT_STREQ(q.where_column, "c.name");
    EXPECT_STREQ(q.where_op, "=");
    EXPECT_STREQ(q.where_value, "'a b'");
    EXPECT_STREQ(q.order_by, "o.id");
    EXPECT_EQ(q.order_desc, 1);
    EXPECT_EQ(q.limit, 3);

    ASSERT_EQ(
        parse_select_join_sql("SELECT * FROM a JOIN b ON a.x = b.y WHERE a.v >= 1 AND a.v < 9", &q,
                              err, sizeof err),
        0);
    EXPECT_EQ(q.select_all, 1);
    EXPECT_EQ(q.left_join, 0);
    EXPECT_STREQ(q.left_alias, "a");  // no alias: the table name
    EXPECT_STREQ(q.where_op, ">=");
    EXPECT_STREQ(q.where_value, "1 AND a.v < 9");  // one condition only
    EXPECT_EQ(q.limit, -1);
    EXPECT_STREQ(q.order_by, "");

    // Extra blanks between keywords do not change the statement.
    ASSERT_EQ(
        parse_select_join_sql("SELECT * FROM a  LEFT   JOIN b  ON a.x = b.y WHERE a.v = 'p  q'", &q,
                              err, sizeof err),
        0)
        << err;
    EXPECT_EQ(q.left_join, 1);
    EXPECT_STREQ(q.left_alias, "a");
    EXPECT_STREQ(q.right_alias, "b");
    EXPECT_STREQ(q.where_value, "'p  q'");
}

TEST(JoinParse, Errors) {
    const std::string long_list =
        "SELECT " + std::string(2100, 'a') + " FROM a JOIN b ON a.x = b.y";
    std::string many = "SELECT ";
    for (int i = 0; i < 65; ++i) many += (i ? ",c" : "c") + std::to_string(i);
    many += " FROM a JOIN b ON a.x = b.y";
    const std::string huge =
        "SELECT * FROM a JOIN b ON a.x = b.y WHERE a.v = '" + std::string(9000, 'x') + "'";
    struct Case {
        std::string sql;
        const char* msg;
    } cases[] = {
        {"UPDATE a SET x = 1", "invalid SELECT"},
        {"SELECT * a JOIN b", "missing FROM"},
        {"SELECT * FROM a, b", "bad JOIN syntax"},
        {"SELECT * FROM a JOIN b", "missing ON"},
        {"SELECT * FROM a JOIN b ON a.x > b.y", "JOIN ON must use ="},
        {"SELECT * FROM a JOIN b ON a.x", "JOIN ON must use ="},
        {"SELECT a.x,,b.y FROM a JOIN b ON a.x = b.y", "bad select list"},
        {long_list, "JOIN SELECT list too long"},
        {many, "too many selected columns"},
        {"SELECT * FROM JOIN b ON a.x = b.y", "bad left table"},
        {"SELECT * FROM a AS JOIN b ON a.x = b.y", "bad left table"},
        {"SELECT * FROM a JOIN ON a.x = b.y", "bad right table"},
        {"SELECT * FROM a JOIN b ON a.x = b.y WHERE a.v", "bad WHERE"},
        {"SELECT * FROM a JOIN b ON a.x = b.y LIMIT 3 WHERE a.v = 1", "bad JOIN WHERE clause"},
        {"SELECT * FROM a JOIN b ON a.x = b.y LIMIT 3 ORDER BY a.v", "bad JOIN ORDER BY clause"},
        {huge, "JOIN statement too long"},
    };
    for (const Case& c : cases) {
        JoinQuery q;
        char err[256] = "";
        EXPECT_EQ(parse_select_join_sql(c.sql.c_str(), &q, err, sizeof err), -1)
            << c.sql.substr(0, 80);
        EXPECT_STREQ(err, c.msg) << c.sql.substr(0, 80);
    }
}

TEST_F(JoinTables, SelectAllKeysUseAliasesOrTableNames) {
    const std::string row3 =
        R"({"o.id":3,"o.customer_id":2,"o.amount":150,"o.name":"o3","c.id":2,"c.name":"bob","c.city":"y"})";
    EXPECT_EQ(
        run("SELECT * FROM jorders o JOIN jcustomers c ON o.customer_id = c.id WHERE o.id = 3"),
        "{\"ok\":true,\"rows\":[" + row3 + "]}");
    EXPECT_EQ(run("SELECT * FROM jorders AS o JOIN jcustomers AS c ON o.customer_id = c.id "
                  "WHERE o.id = 3"),
              "{\"ok\":true,\"rows\":[" + row3 + "]}");
    EXPECT_EQ(
        run("SELECT * FROM jorders JOIN jcustomers ON jorders.customer_id = jcustomers.id "
            "WHERE jorders.id = 3"),
        R"({"ok":true,"rows":[{"jorders.id":3,"jorders.customer_id":2,"jorders.amount":150,)"
        R"("jorders.name":"o3","jcustomers.id":2,"jcustomers.name":"bob","jcustomers.city":"y"}]})");
}

TEST_F(JoinTables, ProjectionOrderLimitAndLeftJoin) {
    struct Case {
        const char* sql;
        const char* reply;
    } cases[] = {
        {"SELECT o.id, city FROM jorders o JOIN jcustomers c ON o.customer_id = c.id ORDER BY o.id",
         R"({"ok":true,"rows":[{"o.id":1,"city":"x"},{"o.id":2,"city":"x"},{"o.id":3,"city":"y"}]})"},
        // Text order: "10" sorts before "9".
        {"SELECT o.amount FROM jorders o JOIN jcustomers c ON o.customer_id = c.id "
         "WHERE c.id = 1 ORDER BY o.amount",
         R"({"ok":true,"rows":[{"o.amount":10},{"o.amount":9}]})"},
        {"SELECT o.amount FROM jorders o JOIN jcustomers c ON o.customer_id = c.id "
         "WHERE c.id = 1 ORDER BY o.amount DESC",
         R"({"ok":true,"rows":[{"o.amount":9},{"o.amount":10}]})"},
        {"SELECT o.id FROM jorders o JOIN jcustomers c ON o.customer_id = c.id ORDER BY o.id LIMIT "
         "2",
         R"({"ok":true,"rows":[{"o.id":1},{"o.id":2}]})"},
        {"SELECT o.id FROM jorders o JOIN jcustomers c ON o.customer_id = c.id LIMIT 0",
         R"({"ok":true,"rows":[]})"},
        {"SELECT o.id FROM jorders o JOIN jcustomers c ON o.customer_id = c.id ORDER BY o.id LIMIT "
         "-1",
         R"({"ok":true,"rows":[{"o.id":1},{"o.id":2},{"o.id":3}]})"},
        // An unmatched order appears once with null customer columns...
        {"SELECT o.id, c.name FROM jorders o LEFT JOIN jcustomers c ON o.customer_id = c.id "
         "ORDER BY o.id",
         R"({"ok":true,"rows":[{"o.id":1,"c.name":"ann"},{"o.id":2,"c.name":"ann"},)"
         R"({"o.id":3,"c.name":"bob"},{"o.id":4,"c.name":null},{"o.id":5,"c.name":null}]})"},
        // ...and a condition on a customer column drops it.
        {"SELECT o.id FROM jorders o LEFT JOIN jcustomers c ON o.customer_id = c.id "
         "WHERE c.name = 'bob'",
         R"({"ok":true,"rows":[{"o.id":3}]})"},
        {"SELECT o.id FROM jorders o LEFT OUTER JOIN jcustomers c ON o.customer_id = c.id "
         "WHERE o.amount = 5",
         R"({"ok":true,"rows":[{"o.id":4}]})"},
        // The WHERE column compares under its type: 150 > 100 as numbers.
        {"SELECT o.name FROM jorders o JOIN jcustomers c ON o.customer_id = c.id WHERE o.amount > "
         "100",
         R"({"ok":true,"rows":[{"o.name":"o3"}]})"},
    };
    for (const Case& c : cases) EXPECT_EQ(run(c.sql), c.reply) << c.sql;
}

TEST_F(JoinTables, LeftJoinSelectAllGivesNullForEveryRightColumn) {
    EXPECT_EQ(run("SELECT * FROM jorders o LEFT JOIN jcustomers c ON o.customer_id = c.id "
                  "WHERE o.id = 4"),
              R"({"ok":true,"rows":[{"o.id":4,"o.customer_id":99,"o.amount":5,"o.name":"o4",)"
              R"("c.id":null,"c.name":null,"c.city":null}]})");
}

TEST_F(JoinTables, LooseOnMatchingNullsAndSelfJoin) {
    // The number 7 meets the string "7".
    EXPECT_EQ(run("SELECT o.id, g.label FROM jorders o JOIN jtags g ON o.customer_id = g.code"),
              R"({"ok":true,"rows":[{"o.id":5,"g.label":"seven"}]})");
    // An ON column in neither table matches nothing and is no error.
    EXPECT_EQ(run("SELECT * FROM jorders o JOIN jcustomers c ON o.nothing = c.id"),
              R"({"ok":true,"rows":[]})");
    // A row without a parent matches nothing; the aliases keep the sides apart.
    EXPECT_EQ(run("SELECT a.id, b.id FROM jnodes a JOIN jnodes b ON a.parent = b.id ORDER BY a.id"),
              R"({"ok":true,"rows":[{"a.id":2,"b.id":1},{"a.id":3,"b.id":2}]})");
}

TEST_F(JoinTables, OutputColumnErrorsFailTheQuery) {
    struct Case {
        const char* sql;
        const char* msg;
    } cases[] = {
        {"SELECT o.id, name FROM jorders o JOIN jcustomers c ON o.customer_id = c.id",
         "ERR:ambiguous column"},
        {"SELECT x.id FROM jorders o JOIN jcustomers c ON o.customer_id = c.id",
         "ERR:unknown qualifier"},
        {"SELECT o.zip FROM jorders o JOIN jcustomers c ON o.customer_id = c.id",
         "ERR:column not found"},
        {"SELECT o. FROM jorders o JOIN jcustomers c ON o.customer_id = c.id", "ERR:bad column"},
        {"SELECT * FROM jorders o JOIN nosuch c ON o.customer_id = c.id", "ERR:table not found"},
    };
    for (const Case& c : cases) EXPECT_EQ(run(c.sql), c.msg) << c.sql;
}

TEST_F(JoinTables, CollectVisibleRowsSkipsDeletedAndReadsNewest) {
    make("jcollect", {{"id", COL_TYPE_INT}, {"v", COL_TYPE_STRING}},
         {R"({"id":1,"v":"a"})", R"({"id":2,"v":"b"})", R"({"id":3,"v":"c"})"});
    char e[256] = "";
    ASSERT_EQ(table_apply_delete("jcollect", ++seq_, "2", e, sizeof e), 0) << e;
    const char* names[] = {"v"};
    const char* vals[] = {"\"z\""};
    ASSERT_EQ(table_apply_update("jcollect", ++seq_, "3", names, vals, 1, e, sizeof e), 0) << e;
    int idx = table_find_index("jcollect");
    ASSERT_GE(idx, 0);
    SelectRow* rows = nullptr;
    int n = 0;
    ASSERT_EQ(collect_visible_rows(&g_tables[idx], &rows, &n, e, sizeof e), 0) << e;
    std::string seen;
    for (int i = 0; i < n; ++i) seen += std::string(rows[i].key) + "=" + rows[i].row_json + ";";
    free_select_rows(rows, n);
    EXPECT_EQ(n, 2);
    EXPECT_NE(seen.find(R"(1={"id":1,"v":"a"};)"), std::string::npos) << seen;
    EXPECT_NE(seen.find(R"(3={"id":3,"v":"z"};)"), std::string::npos) << seen;
}

}  // namespace
