// Two-table JOIN: the parser's fields and messages, and execution over real
// tables (keys of SELECT *, projections, LEFT JOIN, WHERE, ORDER BY, LIMIT,
// loose ON matching and self-joins).
#include "query/join.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/json_text.h"
#include "storage/row_version.h"
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

    ASSERT_EQ(parse_select_join_sql("SELECT * FROM a JOIN b ON a.x = b.y WHERE a.v >= 1", &q, err,
                                    sizeof err),
              0);
    EXPECT_EQ(q.select_all, 1);
    EXPECT_EQ(q.left_join, 0);
    EXPECT_STREQ(q.left_alias, "a");  // no alias: the table name
    EXPECT_STREQ(q.where_op, ">=");
    EXPECT_STREQ(q.where_value, "1");
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
        // An empty select list, also where FROM takes the blank after SELECT.
        {"SELECT FROM a JOIN b ON a.id = b.id", "bad select list"},
        {"SELECT  FROM a JOIN b ON a.id = b.id", "bad select list"},
        {"SELECT , FROM a JOIN b ON a.id = b.id", "bad select list"},
        // ON is one equality of two columns and WHERE one condition with one
        // literal: trailing text is refused, not compared as part of a value.
        {"SELECT * FROM a JOIN b ON a.id = b.id AND a.k = b.k",
         "JOIN ON must be a single column = column condition"},
        {"SELECT * FROM a JOIN b ON a.id AND a.k = b.k",
         "JOIN ON must be a single column = column condition"},
        {"SELECT * FROM a JOIN b ON a.id = b.id WHERE a.p > 10 AND a.p < 30",
         "WHERE value must be a single literal"},
        {"SELECT * FROM a JOIN b ON a.id = b.id WHERE a.p = 1 OR a.p = 2 ORDER BY a.p",
         "WHERE value must be a single literal"},
        {"SELECT * FROM a JOIN b ON a.id = b.id WHERE a.p = 'x' 'y'",
         "WHERE value must be a single literal"},
        {"SELECT * FROM a JOIN b ON a.id = b.id WHERE NOT a.p = 1", "bad WHERE column"},
    };
    for (const Case& c : cases) {
        JoinQuery q;
        char err[256] = "";
        EXPECT_EQ(parse_select_join_sql(c.sql.c_str(), &q, err, sizeof err), -1)
            << c.sql.substr(0, 80);
        EXPECT_STREQ(err, c.msg) << c.sql.substr(0, 80);
    }
}

// Every prefix of a full statement, and the statement with each of its
// blanks removed, is answered (parsed or refused with a message): no
// search may start before the text or run past it.
TEST(JoinParse, TruncatedAndSqueezedStatementsAreAnswered) {
    const std::string full =
        "SELECT a.id, b.v FROM ta a LEFT OUTER JOIN tb AS b ON a.id = b.id WHERE b.v <> 'x y' "
        "ORDER BY a.id DESC LIMIT 3";
    std::vector<std::string> texts;
    for (size_t n = 0; n <= full.size(); ++n) texts.push_back(full.substr(0, n));
    for (size_t i = 0; i < full.size(); ++i)
        if (full[i] == ' ') texts.push_back(full.substr(0, i) + full.substr(i + 1));
    for (const std::string& t : texts) {
        JoinQuery q;
        char err[256] = "";
        int rc = parse_select_join_sql(t.c_str(), &q, err, sizeof err);
        EXPECT_TRUE(rc == 0 || (rc == -1 && err[0])) << t;
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

// The pairs of the nested loop, written the way the test queries project
// them ({"l.id":..,"r.id":..}): for each left row in collection order, each
// right row in collection order whose ON values are equal as eval_compare
// with the string type decides, kept when WHERE holds; then, for LEFT JOIN,
// each unmatched left row with null right columns when WHERE holds.
struct LoopRef {
    int side;         // 0 left, 1 right, -1 names no side (never extracts)
    const char* col;  // the column in that side's rows
};
struct LoopCase {
    std::string on;  // the ON condition
    LoopRef a, b;    // its two references
    bool left_join;
    std::string where;  // "" or "<column> <op> <value>"
    LoopRef w;
    int w_type;
    const char* w_op;
    const char* w_value;
};

std::string loop_join_reply(const SelectRow* l, int nl, const SelectRow* r, int nr,
                            const LoopCase& c) {
    auto raw = [](const LoopRef& ref, const char* lrow, const char* rrow, std::string* out) {
        const char* row = ref.side == 0 ? lrow : ref.side == 1 ? rrow : nullptr;
        if (ref.side == 1 && !rrow) {
            *out = "null";
            return true;
        }
        char* v = nullptr;
        if (!row || json_extract_raw(row, ref.col, &v) != 0 || !v) {
            free(v);
            return false;
        }
        *out = v;
        free(v);
        return true;
    };
    auto passes = [&](const char* lrow, const char* rrow) {
        std::string v;
        if (c.where.empty()) return true;
        return raw(c.w, lrow, rrow, &v) && eval_compare(c.w_type, v.c_str(), c.w_op, c.w_value);
    };
    auto id = [](const char* row) {
        char* v = nullptr;
        json_extract_raw(row, "id", &v);
        std::string s = v ? v : "?";
        free(v);
        return s;
    };
    std::string out = "{\"ok\":true,\"rows\":[";
    bool first = true;
    auto emit = [&](const char* lrow, const char* rrow) {
        out += first ? "" : ",";
        first = false;
        out += "{\"l.id\":" + id(lrow) + ",\"r.id\":" + (rrow ? id(rrow) : "null") + "}";
    };
    for (int i = 0; i < nl; ++i) {
        bool matched = false;
        for (int j = 0; j < nr; ++j) {
            std::string x, y;
            if (!raw(c.a, l[i].row_json, r[j].row_json, &x) ||
                !raw(c.b, l[i].row_json, r[j].row_json, &y) ||
                !eval_compare(COL_TYPE_STRING, x.c_str(), "=", y.c_str()))
                continue;
            matched = true;
            if (passes(l[i].row_json, r[j].row_json)) emit(l[i].row_json, r[j].row_json);
        }
        if (c.left_join && !matched && passes(l[i].row_json, nullptr)) emit(l[i].row_json, nullptr);
    }
    return out + "]}";
}

TEST_F(JoinTables, MatchesAreThePairsOfTheNestedLoopInItsOrder) {
    // Left keys are numbers, right keys strings holding numbers, so matches
    // cross the types; several rows share each key, some lack it, and the
    // strings include quotes and escapes that compare decoded.
    create_table(
        "jl",
        {{"id", COL_TYPE_INT}, {"k", COL_TYPE_INT}, {"s", COL_TYPE_STRING}, {"v", COL_TYPE_INT}});
    create_table("jr", {{"id", COL_TYPE_INT},
                        {"k", COL_TYPE_STRING},
                        {"s", COL_TYPE_STRING},
                        {"n", COL_TYPE_INT}});
    const char* strings[] = {R"("a")", R"("b c")", R"("q\"t")", R"("tab\tx")", R"("7")"};
    for (int i = 1; i <= 40; ++i) {
        std::string row = "{\"id\":" + std::to_string(i);
        if (i % 9 != 0) row += ",\"k\":" + std::to_string(i % 6);
        row += ",\"s\":" + std::string(strings[i % 5]);
        row += ",\"v\":" + std::to_string(i % 4) + "}";
        insert_row("jl", row.c_str());
    }
    for (int j = 1; j <= 30; ++j) {
        std::string row = "{\"id\":" + std::to_string(100 + j);
        if (j % 7 != 0) row += ",\"k\":\"" + std::to_string(j % 8) + "\"";
        row += ",\"s\":" + std::string(strings[(j * 3) % 5]);
        row += ",\"n\":" + std::to_string(j % 3) + "}";
        insert_row("jr", row.c_str());
    }
    const LoopRef lk{0, "k"}, rk{1, "k"}, ls{0, "s"}, rs{1, "s"}, lv{0, "v"}, rn{1, "n"},
        none{-1, ""};
    std::vector<LoopCase> cases;
    for (bool lj : {false, true}) {
        cases.push_back({"l.k = r.k", lk, rk, lj, "", none, 0, "", ""});
        cases.push_back({"r.k = l.k", rk, lk, lj, "", none, 0, "", ""});
        cases.push_back({"l.s = r.s", ls, rs, lj, "", none, 0, "", ""});
        cases.push_back({"v = n", lv, rn, lj, "", none, 0, "", ""});
        cases.push_back({"l.k = r.s", lk, rs, lj, "", none, 0, "", ""});
        // Both references on one side, or one naming no side.
        cases.push_back({"l.k = l.v", lk, lv, lj, "", none, 0, "", ""});
        cases.push_back({"r.n = jr.k", rn, rk, lj, "", none, 0, "", ""});
        cases.push_back({"l.k = r.missing", lk, {1, "missing"}, lj, "", none, 0, "", ""});
        cases.push_back({"x.k = r.k", none, rk, lj, "", none, 0, "", ""});
        cases.push_back({"k = r.k", none, rk, lj, "", none, 0, "", ""});  // k is ambiguous
        cases.push_back({"l.k = r.k", lk, rk, lj, "r.n > 0", rn, COL_TYPE_INT, ">", "0"});
        cases.push_back({"l.k = r.k", lk, rk, lj, "l.v = 2", lv, COL_TYPE_INT, "=", "2"});
        cases.push_back({"l.s = r.s", ls, rs, lj, "r.s != 'a'", rs, COL_TYPE_STRING, "!=", "'a'"});
    }
    int li = table_find_index("jl"), ri = table_find_index("jr");
    ASSERT_GE(li, 0);
    ASSERT_GE(ri, 0);
    SelectRow *l = nullptr, *r = nullptr;
    int nl = 0, nr = 0;
    char e[256] = "";
    ASSERT_EQ(collect_visible_rows(&g_tables.slots[li], &l, &nl, e, sizeof e), 0) << e;
    ASSERT_EQ(collect_visible_rows(&g_tables.slots[ri], &r, &nr, e, sizeof e), 0) << e;
    size_t nonempty = 0;
    for (const LoopCase& c : cases) {
        std::string sql = std::string("SELECT l.id, r.id FROM jl l ") +
                          (c.left_join ? "LEFT JOIN" : "JOIN") + " jr r ON " + c.on +
                          (c.where.empty() ? "" : " WHERE " + c.where);
        std::string want = loop_join_reply(l, nl, r, nr, c);
        EXPECT_EQ(run(sql), want) << sql;
        if (want.size() > 30) ++nonempty;
    }
    free_select_rows(l, nl);
    free_select_rows(r, nr);
    EXPECT_GT(nonempty, cases.size() / 2);  // the cases do find pairs
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
    ASSERT_EQ(collect_visible_rows(&g_tables.slots[idx], &rows, &n, e, sizeof e), 0) << e;
    std::string seen;
    for (int i = 0; i < n; ++i) seen += std::string(rows[i].key) + "=" + rows[i].row_json + ";";
    free_select_rows(rows, n);
    EXPECT_EQ(n, 2);
    EXPECT_NE(seen.find(R"(1={"id":1,"v":"a"};)"), std::string::npos) << seen;
    EXPECT_NE(seen.find(R"(3={"id":3,"v":"z"};)"), std::string::npos) << seen;
}

}  // namespace
