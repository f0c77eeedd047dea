// Two-table JOIN: the parser's fields and messages, and execution over real
// tables (keys of SELECT *, projections, LEFT JOIN, WHERE, ORDER BY, LIMIT,
// loose ON matching and self-joins).
#include "query/join.h"

#include <gtest/gtest.h>

#include <algorithm>
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
        // An int column orders as numbers: 9 before 10.
        {"SELECT o.amount FROM jorders o JOIN jcustomers c ON o.customer_id = c.id "
         "WHERE c.id = 1 ORDER BY o.amount",
         R"({"ok":true,"rows":[{"o.amount":9},{"o.amount":10}]})"},
        {"SELECT o.amount FROM jorders o JOIN jcustomers c ON o.customer_id = c.id "
         "WHERE c.id = 1 ORDER BY o.amount DESC",
         R"({"ok":true,"rows":[{"o.amount":10},{"o.amount":9}]})"},
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

// Values of each numeric type on both sides of ON and under ORDER BY, and
// strings written with and without escapes (run() as for JoinTables, over a
// data directory of this suite's own).
class JoinTyped : public JoinTables {
  protected:
    static void SetUpTestSuite() {
        enter_data_dir("/tmp/kyrel_join_typed_XXXXXX");
        for (const char* name : {"ja", "jb"})
            create_table(name, {{"id", COL_TYPE_INT},
                                {"i", COL_TYPE_INT},
                                {"t", COL_TYPE_TIMESTAMP},
                                {"d", COL_TYPE_DOUBLE},
                                {"s", COL_TYPE_STRING}});
        // 2^53 + 1 is an int no double holds: it must not meet the double 2^53.
        for (const char* r : {R"({"id":1,"i":1,"t":100,"d":1,"s":"1"})",
                              R"({"id":2,"i":0,"t":9,"d":2.5,"s":"caf\u00e9"})",
                              R"({"id":3,"i":9007199254740993,"t":10,"d":10,"s":"b"})",
                              R"({"id":4,"i":100,"d":9,"s":"a"})"})
            insert_row("ja", r);
        for (const char* r : {R"({"id":11,"i":1,"t":1,"d":1.0,"s":"1.0"})",
                              R"({"id":12,"i":2,"t":100,"d":-0.0,"s":"caf\u00e9"})",
                              R"({"id":13,"i":3,"t":2,"d":9007199254740992,"s":"1"})",
                              R"({"id":14,"i":4,"t":3,"d":1e2,"s":"café"})",
                              R"({"id":15,"i":5,"t":5,"d":2.50,"s":"a"})"})
            insert_row("jb", r);
    }
    static void TearDownTestSuite() { leave_data_dir(); }
    // The values of member key in the reply's rows, in reply order.
    static std::vector<std::string> values(const std::string& reply, const char* key) {
        std::vector<std::string> out;
        const std::string needle = std::string("\"") + key + "\":";
        for (size_t p = reply.find(needle); p != std::string::npos; p = reply.find(needle, p + 1)) {
            size_t b = p + needle.size();
            out.push_back(reply.substr(b, reply.find_first_of(",}", b) - b));
        }
        return out;
    }
    static std::string joined(const std::vector<std::string>& v) {
        std::string out;
        for (const std::string& x : v) out += (out.empty() ? "" : " ") + x;
        return out;
    }
};

TEST_F(JoinTyped, OnComparesNumbersBetweenNumericColumns) {
    struct Case {
        const char* on;
        const char* pairs;  // "a.id:b.id" of the matches, sorted
    } cases[] = {
        // int against double: 1 = 1.0, 0 = -0.0, 100 = 1e2; 2^53 + 1 != 2^53.
        {"a.i = b.d", "1:11 2:12 4:14"},
        {"b.d = a.i", "1:11 2:12 4:14"},
        {"a.d = b.d", "1:11 2:15"},  // 2.5 = 2.50
        {"a.i = b.t", "1:11 4:12"},  // int against timestamp
        {"a.t = b.d", "1:14"},
        {"a.t = b.t", "1:12"},
        // A numeric column against a string column keeps the text match: the
        // int 1 meets "1" but not "1.0".
        {"a.i = b.s", "1:13"},
        // Strings match decoded: the escaped and the plain e-acute are one text.
        {"a.s = b.s", "1:13 2:12 2:14 4:15"},
        // Both references on one side: int 1 = double 1 in row 1.
        {"a.i = a.d", "1:11 1:12 1:13 1:14 1:15"},
    };
    for (const Case& c : cases) {
        std::string r = run(std::string("SELECT a.id, b.id FROM ja a JOIN jb b ON ") + c.on);
        std::vector<std::string> a = values(r, "a.id"), b = values(r, "b.id"), pairs;
        ASSERT_EQ(a.size(), b.size()) << r;
        for (size_t i = 0; i < a.size(); ++i) pairs.push_back(a[i] + ":" + b[i]);
        std::sort(pairs.begin(), pairs.end());
        EXPECT_EQ(joined(pairs), c.pairs) << c.on << " -> " << r;
    }
}

TEST_F(JoinTyped, OrderByFollowsTheColumnType) {
    struct Case {
        const char* sql;
        const char* ids;  // a.id in reply order
    } cases[] = {
        // Every left row has one partner (a.id = b.i).
        {"ON a.id = b.i ORDER BY a.i", "2 1 4 3"},  // int: 0, 1, 100, 2^53 + 1
        {"ON a.id = b.i ORDER BY a.i DESC", "3 4 1 2"},
        {"ON a.id = b.i ORDER BY a.d", "1 2 4 3"},  // double: 1, 2.5, 9, 10
        {"ON a.id = b.i ORDER BY a.d DESC", "3 4 2 1"},
        {"ON a.id = b.i ORDER BY a.t", "2 3 1 4"},       // timestamp: 9, 10, 100, no t last
        {"ON a.id = b.i ORDER BY a.t DESC", "4 1 3 2"},  // ... and first descending
        {"ON a.id = b.i ORDER BY a.s", "1 4 3 2"},       // bytes: "1", "a", "b", "café"
        {"ON a.id = b.i ORDER BY a.s DESC", "2 3 4 1"},
        // Left row 4 has no partner: its b.d is null, last ascending, first
        // descending.
        {"LEFT JOIN ON a.id = b.t ORDER BY b.d", "1 3 2 4"},  // 1.0, 1e2, 2^53, null
        {"LEFT JOIN ON a.id = b.t ORDER BY b.d DESC", "4 2 3 1"},
    };
    for (const Case& c : cases) {
        std::string tail = c.sql;
        const bool left = tail.rfind("LEFT JOIN ", 0) == 0;
        if (left) tail = tail.substr(10);
        std::string r = run(std::string("SELECT a.id, b.d FROM ja a ") +
                            (left ? "LEFT JOIN" : "JOIN") + " jb b " + tail);
        EXPECT_EQ(joined(values(r, "a.id")), c.ids) << c.sql << " -> " << r;
    }
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
