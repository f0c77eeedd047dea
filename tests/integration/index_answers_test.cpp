// Indexes never change an answer, over the wire: a table of WHERE clauses
// (every operator, every column type, literal spellings, composite prefixes,
// members missing from rows, null) answers the same rows with no index, with
// each single and composite index alone, with all of them, and after a
// restart that rebuilds the indexes from their files.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kyrel_test.h"
#include "writes_helpers.h"

using namespace kyrel_test;
using namespace writes_test;

namespace {

constexpr const char* kConfig =
    "AUTO_TUNE=OFF\nAUTO_VACUUM=OFF\nCONNECTION_WORKERS=2\nCOMMIT_GROUP_WAIT_MS=0\n";

// Rows of iv (id int, n int, d double, s text, b bool, t timestamp). Members
// are left out by the column lists: a row without n is in no index over n.
const char* const kRows[] = {
    "INSERT INTO iv (id, s) VALUES (2, 'zz')",
    "INSERT INTO iv VALUES (1, 1, 1.5, 'zz', true, 1700000000)",
    "INSERT INTO iv VALUES (3, 1, 1.50, 'a', false, 5)",
    "INSERT INTO iv VALUES (4, 2, -0.0, 'A', true, 0)",
    "INSERT INTO iv VALUES (5, -3, 0, 'a b', false, -5)",
    "INSERT INTO iv VALUES (6, 0, 100, 'q\"uo', true, 1700000000)",
    "INSERT INTO iv VALUES (7, 1, 1e2, 'back\\\\slash', false, 5)",
    "INSERT INTO iv VALUES (8, 10, 2.25, '\xc3\xa9t\xc3\xa9', true, 17)",
    "INSERT INTO iv VALUES (9, 9, -7.5, '10', false, 17)",
    "INSERT INTO iv VALUES (10, 1, 1.5, '9', true, 5)",
    "INSERT INTO iv VALUES (11, 2, 0.1, '', false, 0)",
    "INSERT INTO iv (id, n, s) VALUES (12, 1, 'zz')",
    "INSERT INTO iv (id, s, b) VALUES (13, 'zz', true)",
    "INSERT INTO iv (id, n, d) VALUES (14, 1, 1.5)",
    "INSERT INTO iv (id, d, t) VALUES (15, 1.5, 5)",
    "INSERT INTO iv (id, b, t) VALUES (16, false, 1700000000)",
    "INSERT INTO iv (id, t, s) VALUES (17, 17, 'a')",
    "INSERT INTO iv (id) VALUES (18)",
    "INSERT INTO iv VALUES (19, 1, 1.5, 'zz', false, 5)",
    "INSERT INTO iv VALUES (20, 1, 1.5, 'zz', true, 5)",
};

const char* const kWheres[] = {
    // int: operators and spellings
    "n = 1",
    "n != 1",
    "n <> 1",
    "n < 1",
    "n <= 1",
    "n > 1",
    "n >= 2",
    "n = '1'",
    "n = 01",
    "n = +1",
    "n = 1.0",
    "n = 1.9",
    "n = one",
    "n = null",
    "n = 99999999999999999999",
    // double
    "d = 1.5",
    "d = '1.5'",
    "d = 1.50",
    "d = 0",
    "d = -0",
    "d = 100",
    "d = 1e2",
    "d < 0",
    "d >= 1.5",
    "d != 1.5",
    "d = 0x64",
    "d = nan",
    "d = inf",
    "d = null",
    // string
    "s = 'zz'",
    "s = zz",
    "s = \"zz\"",
    "s = 'a'",
    "s = 'A'",
    "s = 'a b'",
    "s = 'q\"uo'",
    "s = 'back\\\\slash'",
    "s = '\xc3\xa9t\xc3\xa9'",
    "s = ''",
    "s < 'a'",
    "s > '9'",
    "s != 'zz'",
    "s = null",
    "s = 'null'",
    // bool
    "b = true",
    "b = TRUE",
    "b = 1",
    "b = 'true'",
    "b = false",
    "b = 0",
    "b = yes",
    "b != true",
    "b = null",
    // timestamp
    "t = 5",
    "t = '5'",
    "t = 05",
    "t = 1700000000",
    "t = '1700000000'",
    "t > 5",
    "t <= 0",
    "t = 5.0",
    "t = null",
    // several predicates: composite prefixes, exact keys, ranges, repeats
    "s = 'zz' AND n = 1",
    "n = 1 AND s = 'zz'",
    "s = zz AND n = 1",
    "s = 'zz' AND n = 1.0",
    "n = 1 AND d = 1.5",
    "n = 1 AND d = -0",
    "n = 2 AND d = 0",
    "n = 1 AND d = 1.5 AND s = 'zz'",
    "s = 'zz' AND b = true AND t = 5",
    "s = 'zz' AND b = true",
    "s = 'zz' AND b = 1 AND t = '5'",
    "t = 5 AND s = 'a'",
    "t = 5 AND s = a",
    "b = false AND s = 'a'",
    "d = 1.5 AND t = 5",
    "n = 1 AND id = 14",
    "n = 1 AND id > 3",
    "s = 'a' AND n > 0",
    "n = 1 AND n = 2",
    "s = 'zz' AND n = null",
    "id = 2 AND s = 'zz'",
    "n = 1 AND d = 1.5 AND s = zz",
};

const char* const kIndexes[] = {
    "(n)",    "(d)",       "(s)",    "(b)",    "(t)",    "(s, n)",  "(n, d)",          "(n, d, s)",
    "(s, b)", "(s, b, t)", "(t, s)", "(b, s)", "(d, t)", "(n, id)", "(s, n, b, t, d)",
};

class IndexAnswers : public ::testing::Test {
  protected:
    void SetUp() override {
        srv_.set_config(kConfig);
        ASSERT_TRUE(srv_.start()) << srv_.last_error();
        ASSERT_NO_FATAL_FAILURE(connect());
    }
    void connect() {
        c_ = std::make_unique<Client>();
        ASSERT_TRUE(c_->connect(srv_.port()));
        c_->login_ready("admin", "lumen406");
    }
    void must(const std::string& sql) {
        std::string r = c_->sql(sql);
        ASSERT_TRUE(ok(r)) << sql << " -> " << r;
    }
    // The answer of each query: the projected ids in order, and the streamed
    // SELECT * rows sorted (a scan and an index visit rows in other orders).
    std::vector<std::string> answers() {
        std::vector<std::string> out;
        for (const char* w : kWheres) {
            const std::string where = std::string(" FROM iv WHERE ") + w;
            out.push_back(c_->sql("SELECT id" + where + " ORDER BY id"));
            std::string all = c_->sql("SELECT *" + where);
            std::vector<std::string> rows;
            size_t at = all.find("\"rows\":[");
            if (at != std::string::npos) {
                // Rows are flat objects: each ends at the first "}" after its "{".
                for (size_t p = all.find('{', at); p != std::string::npos;
                     p = all.find('{', p + 1)) {
                    size_t e = all.find('}', p);
                    if (e == std::string::npos) break;
                    rows.push_back(all.substr(p, e - p + 1));
                    p = e;
                }
            } else {
                rows.push_back(all);
            }
            std::sort(rows.begin(), rows.end());
            std::string joined;
            for (const std::string& r : rows) joined += r + "\n";
            out.push_back(joined);
        }
        return out;
    }
    void expect_same(const std::vector<std::string>& want, const std::string& label) {
        std::vector<std::string> got = answers();
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < got.size(); ++i)
            EXPECT_EQ(got[i], want[i]) << label << ": WHERE " << kWheres[i / 2]
                                       << (i % 2 ? " (SELECT *)" : " (SELECT id)");
    }

    TestServer srv_;
    std::unique_ptr<Client> c_;
};

TEST_F(IndexAnswers, NoIndexChangesAnyAnswer) {
    must("CREATE TABLE iv (id int PRIMARY KEY, n int, d double, s text, b bool, t timestamp)");
    for (const char* r : kRows) ASSERT_NO_FATAL_FAILURE(must(r));
    const std::vector<std::string> want = answers();
    // The reference itself: the row lacking n is found by s alone; quoted and
    // bare strings and every spelling of a number find the same rows.
    EXPECT_EQ(want[2 * 29], R"({"ok":true,"table":"iv","rows":[{"id":1},{"id":2},)"
                            R"({"id":12},{"id":13},{"id":19},{"id":20}]})");
    EXPECT_EQ(want[2 * 30], want[2 * 29]);
    EXPECT_EQ(want[2 * 7], want[0]);
    size_t nonempty = 0;
    for (size_t i = 0; i < want.size(); i += 2)
        if (want[i].find("\"id\"") != std::string::npos) ++nonempty;
    EXPECT_GT(nonempty, std::size(kWheres) * 2 / 3);

    for (size_t i = 0; i < std::size(kIndexes); ++i) {
        const std::string name = "ix" + std::to_string(i);
        ASSERT_NO_FATAL_FAILURE(must("CREATE INDEX " + name + " ON iv " + kIndexes[i]));
        ASSERT_NO_FATAL_FAILURE(expect_same(want, std::string("index ") + kIndexes[i]));
        ASSERT_NO_FATAL_FAILURE(must("DROP INDEX " + name + " ON iv"));
    }
    for (size_t i = 0; i < std::size(kIndexes); ++i)
        ASSERT_NO_FATAL_FAILURE(
            must("CREATE INDEX all" + std::to_string(i) + " ON iv " + kIndexes[i]));
    ASSERT_NO_FATAL_FAILURE(expect_same(want, "all indexes"));
    // Rows written while the indexes exist reach them as well.
    ASSERT_NO_FATAL_FAILURE(must("DELETE FROM iv WHERE id = 20"));
    ASSERT_NO_FATAL_FAILURE(must("INSERT INTO iv VALUES (20, 1, 1.5, 'zz', true, 5)"));
    ASSERT_NO_FATAL_FAILURE(expect_same(want, "all indexes, row rewritten"));
    ASSERT_TRUE(srv_.restart()) << srv_.last_error();
    ASSERT_NO_FATAL_FAILURE(connect());
    ASSERT_NO_FATAL_FAILURE(expect_same(want, "all indexes after restart"));
}

}  // namespace
