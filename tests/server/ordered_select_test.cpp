// SELECTs answered through the ordered trees of the primary key and of
// one-column indexes give exactly the reply of the scan: a table of WHERE
// bounds (every operator, literal spellings, null, NaN, out-of-range
// numbers), other predicates, ORDER BY the key or the indexed column either
// way or another column (ties, rows lacking the column), and LIMIT, over int,
// string, double and timestamp columns, after writes of every kind, after a
// checkpoint and after a restart.
#include <string>
#include <vector>

#include "query/select_exec.h"
#include "query/select_parse.h"
#include "storage/index_values.h"
#include "storage/pk_order.h"
#include "storage/sec_order.h"
#include "storage_fixture.h"

namespace {

class OrderedSelect : public kt::StorageTest {
  protected:
    // The reply text, or "ERR:<message>".
    std::string run(const std::string& sql) {
        SelectQuery q;
        char name[64], e[256] = "";
        if (parse_select_sql(sql.c_str(), name, sizeof name, &q, e, sizeof e) != 0)
            return std::string("PARSE:") + e;
        char* out = nullptr;
        if (select_rows_json(name, name, &q, &out, e, sizeof e) != 0)
            return std::string("ERR:") + e;
        std::string r(out);
        free(out);
        return r;
    }
    std::vector<std::string> run_all(const std::vector<std::string>& sqls) {
        std::vector<std::string> out;
        for (const std::string& s : sqls) out.push_back(run(s));
        return out;
    }
    // Every query answered with the trees, then by the scan (the trees
    // switched off): the replies must be the same, byte for byte.
    void expect_same_as_scan(const char* internal, const std::vector<std::string>& sqls,
                             const std::string& label) {
        Table* t = table(internal);
        ASSERT_NE(t, nullptr);
        ASSERT_TRUE(pk_order_usable(t)) << label;
        const std::vector<std::string> ordered = run_all(sqls);
        {
            RwWriteGuard g(&t->lock);
            pk_order_free(t->pk_map.order);
            t->pk_map.order = nullptr;
            for (SecIndexMap& m : t->sec_maps) {
                sec_order_free(m.order);
                m.order = nullptr;
            }
        }
        const std::vector<std::string> scanned = run_all(sqls);
        size_t nonempty = 0;
        for (size_t i = 0; i < sqls.size(); ++i) {
            EXPECT_EQ(ordered[i], scanned[i]) << label << ": " << sqls[i];
            if (scanned[i].find("\"rows\":[{") != std::string::npos) ++nonempty;
        }
        EXPECT_GT(nonempty, sqls.size() / 4) << label;
        // The maps rebuilt give the table its trees again.
        RwWriteGuard g(&t->lock);
        ASSERT_EQ(pk_latest_map_rebuild(t), 0);
        ASSERT_EQ(sec_index_rebuild_all(t), 0);
    }

    static std::vector<std::string> queries(const char* table,
                                            const std::vector<const char*>& operands,
                                            const std::vector<const char*>& extras,
                                            const char* column = "id") {
        const char* ops[] = {"=", "<", "<=", ">", ">=", "!=", "<>"};
        const std::string c = column;
        const std::string orders[] = {"",
                                      " ORDER BY id",
                                      " ORDER BY id DESC",
                                      " ORDER BY ID",
                                      " ORDER BY n",
                                      " ORDER BY " + c,
                                      " ORDER BY " + c + " DESC"};
        const char* limits[] = {"", " LIMIT 0", " LIMIT 1", " LIMIT 7"};
        std::vector<std::string> out;
        int i = 0;
        for (const char* op : ops)
            for (const char* v : operands)
                for (const char* extra : extras)
                    for (const std::string& order : orders) {
                        const char* items = (i % 2) ? "*" : "id, n";
                        const char* limit = limits[i++ % 4];
                        out.push_back(std::string("SELECT ") + items + " FROM " + table +
                                      " WHERE " + c + " " + op + " " + v + extra + order + limit);
                    }
        for (const std::string& order : orders)
            for (const char* limit : limits)
                out.push_back(std::string("SELECT * FROM ") + table + order + limit);
        return out;
    }
};

TEST_F(OrderedSelect, AnswersAsTheScanThroughWritesCheckpointAndRestart) {
    create_table("ti", "CREATE TABLE ti (id int PRIMARY KEY, n int, s string, d double)");
    // Indexes on n, s and d, made before the rows so that every row reaches
    // the trees through the writes.
    kt::add_index(table("ti"), "ix_n", "n", false);
    kt::add_index(table("ti"), "ix_s", "s", false);
    kt::add_index(table("ti"), "ix_d", "d", false);
    create_table("ts", "CREATE TABLE ts (id string PRIMARY KEY, n int)");
    create_table("tt", "CREATE TABLE tt (id timestamp PRIMARY KEY, n int)");
    const char* string_keys[] = {"a",   "b",  "B",  "10",  "9",
                                 "a b", " a", "ab", "abc", "z",
                                 "'q'", "k1", "k2", "k10", "\xc3\xa9t\xc3\xa9",
                                 "_"};
    for (int i = 0; i < 200; ++i) {
        const int k = (i * 37) % 200 - 60;  // scrambled, negatives included
        std::string n = i % 10 == 3 ? "" : ",\"n\":" + std::to_string(i % 7);
        std::string s = i % 4 == 1 ? "" : ",\"s\":\"s" + std::to_string(i % 3) + "\"";
        // Doubles: ties, both zeros, one number in several spellings.
        const char* doubles[] = {"1.5", "1.50", "-0.0", "0", "2", "-7.25", "1e1", "0.1"};
        s += i % 6 == 5 ? "" : std::string(",\"d\":") + doubles[i % 8];
        const std::string ks = std::to_string(k);
        put("ti", ks.c_str(), ("{\"id\":" + ks + n + s + "}").c_str());
        put("tt", ks.c_str(), ("{\"id\":" + std::to_string(1700000000 + k) + n + "}").c_str());
    }
    for (size_t i = 0; i < std::size(string_keys); ++i) {
        const std::string k = string_keys[i];
        put("ts", k.c_str(),
            ("{\"id\":\"" + k + "\",\"n\":" + std::to_string(i % 5) + "}").c_str());
    }
    // Updates, deletes and a re-insert.
    for (int k = -60; k < 140; k += 9) {
        const std::string ks = std::to_string(k);
        if (k % 2)
            remove("ti", ks.c_str());
        else
            put("ti", ks.c_str(),
                ("{\"id\":" + ks + ",\"n\":" + std::to_string(k % 5) + "}").c_str());
    }
    remove("ti", "-51");
    put("ti", "-51", R"({"id":-51,"n":1})");
    remove("ts", "k2");

    const std::vector<const char*> int_operands = {"5",     "'5'",
                                                   "05",    "-3",
                                                   "5.7",   "'ab'",
                                                   "null",  "99999999999999999999",
                                                   "\"7\"", "-99999999999999999999"};
    const std::vector<const char*> int_extras = {
        "",          " AND n > 2", " AND id < 100", " AND s = 's1'", " AND id >= -10 AND id <= 10",
        " AND N > 1"};
    const std::vector<const char*> string_operands = {"'a'", "a",    "\"ab\"",     "'k1'", "'9'",
                                                      "''",  "null", "'\xc3\xa9'", "' a'", "'z'"};
    const std::vector<const char*> string_extras = {"", " AND n >= 2", " AND id < 'k'"};
    const std::vector<const char*> ts_operands = {"1700000000", "'1700000005'", "1700000005.5", "5",
                                                  "null"};
    const std::vector<const char*> ts_extras = {"", " AND n != 3"};
    const auto qi = queries("ti", int_operands, int_extras);
    const std::vector<const char*> n_operands = {"3", "'3'", "2.5", "-1", "x", "null", "6"};
    const std::vector<const char*> n_extras = {"", " AND n <= 4", " AND id > 0", " AND s >= 's1'",
                                               " AND N < 2"};
    const std::vector<const char*> s_operands = {"'s1'", "s1", "'s'", "'s2x'", "null", "''"};
    const std::vector<const char*> d_operands = {"1.5", "0", "-0", "'1.50'", "nan", "10"};
    const std::vector<const char*> d_extras = {"", " AND d < 2", " AND n > 1"};
    auto qn = queries("ti", n_operands, n_extras, "n");
    for (const std::string& q : queries("ti", s_operands, {"", " AND n > 2"}, "s")) qn.push_back(q);
    for (const std::string& q : queries("ti", d_operands, d_extras, "d")) qn.push_back(q);
    const auto qs = queries("ts", string_operands, string_extras);
    const auto qt = queries("tt", ts_operands, ts_extras);
    auto check_all = [&](const std::string& label) {
        ASSERT_NO_FATAL_FAILURE(expect_same_as_scan("ti", qi, label));
        ASSERT_NO_FATAL_FAILURE(expect_same_as_scan("ti", qn, label + ", indexed columns"));
        ASSERT_NO_FATAL_FAILURE(expect_same_as_scan("ts", qs, label));
        ASSERT_NO_FATAL_FAILURE(expect_same_as_scan("tt", qt, label));
    };
    ASSERT_NO_FATAL_FAILURE(check_all("after writes"));
    // The first reply of each kind, spelled out.
    EXPECT_EQ(run("SELECT id FROM ti WHERE id >= 130 ORDER BY id LIMIT 3"),
              R"({"ok":true,"table":"ti","rows":[{"id":130},{"id":131},{"id":132}]})");
    EXPECT_EQ(
        run("SELECT id FROM ts WHERE id > 'a' ORDER BY id DESC LIMIT 2"),
        "{\"ok\":true,\"table\":\"ts\",\"rows\":[{\"id\":\"\xc3\xa9t\xc3\xa9\"},{\"id\":\"z\"}]}");

    checkpoint();
    ASSERT_NO_FATAL_FAILURE(check_all("after a checkpoint"));
    put("ti", "500", R"({"id":500,"n":1})");
    kt::restart();
    ASSERT_NO_FATAL_FAILURE(check_all("after a restart"));

    // A key stored with an escape compares as its decoded text: the order is
    // not used for that table, and the answers stay the scan's.
    put("ts", "a\tb", R"({"id":"a\tb","n":1})");
    Table* ts = table("ts");
    ASSERT_NE(ts, nullptr);
    EXPECT_FALSE(pk_order_usable(ts));
    EXPECT_EQ(run("SELECT id FROM ts WHERE id >= 'a' ORDER BY id LIMIT 3"),
              R"({"ok":true,"table":"ts","rows":[{"id":"a"},{"id":"a\tb"},{"id":"a b"}]})");
}

}  // namespace
