// Schema changes under failing file calls (the fault library, fault_shim.c):
// a refused statement changes nothing, live or after a restart; an answered
// one is whole, its later failures a "warning"; a log whose refused record
// cannot be cut off takes no more records; a table's files go by the name
// as stored, and a new table never adopts what an old one left.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "fault_injection.h"
#include "kyrel_test.h"
#include "writes_helpers.h"

using kyrel_test::FaultInjection;
using kyrel_test::json_get;
using kyrel_test::TestServer;
using writes_test::Client;
using writes_test::error_of;
using writes_test::login_admin_as;
using writes_test::ok;

namespace {

constexpr const char* kPassword = "ddl faults pw";

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// A server with the fault library, a logged-in client and table `keep`
// holding two rows.
class DdlFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        srv_.set_config("WAL_SYNC_EVERY=1\n");  // every row record synced, so "sync" is met
        faults_ = std::make_unique<FaultInjection>(srv_);
        if (!faults_->available()) GTEST_SKIP() << faults_->why_unavailable();
        ASSERT_TRUE(srv_.start()) << srv_.last_error();
        ASSERT_NO_FATAL_FAILURE(connect());
        for (const char* s :
             {"CREATE TABLE keep (id int PRIMARY KEY, email string, c int)",
              "INSERT INTO keep VALUES (1, 'a@x', 10)", "INSERT INTO keep VALUES (2, 'b@x', 20)"}) {
            std::string r = c_->sql(s);
            ASSERT_TRUE(ok(r)) << s << " -> " << r;
        }
    }

    void connect() {
        c_ = std::make_unique<Client>();
        ASSERT_TRUE(c_->connect(srv_.port()));
        ASSERT_NO_FATAL_FAILURE(login_admin_as(*c_, kPassword));
    }
    // Kill (nothing is written at a stop either, but a kill is the harder
    // case), start again without faults, log in again.
    void crash_and_start() {
        faults_->clear();
        srv_.kill9();
        ASSERT_TRUE(srv_.start()) << srv_.last_error();
        ASSERT_NO_FATAL_FAILURE(connect());
    }
    std::string rows(const std::string& table) {
        return c_->sql("SELECT * FROM " + table + " ORDER BY id");
    }
    std::string tables_dir() const {
        return srv_.dir() + "/kyreldb_data/databases/default/tables/";
    }

    TestServer srv_;
    std::unique_ptr<FaultInjection> faults_;
    std::unique_ptr<Client> c_;
};

// A schema change whose WAL record cannot be written and synced is refused
// and leaves nothing behind: not live, not after a restart.
TEST_F(DdlFaults, RefusedRecordLeavesNoSchemaChange) {
    // The database's log is opened anew after a checkpoint, so "open" is met.
    const char* rules[] = {"write main.wal EIO", "write main.wal ENOSPC", "write main.wal short",
                           "sync main.wal EIO", "open main.wal EIO"};
    const char* keep_rows = R"([{"id":1,"email":"a@x","c":10},{"id":2,"email":"b@x","c":20}])";
    for (const char* rule : rules) {
        SCOPED_TRACE(rule);
        // A checkpoint closes the database's log writer.
        ASSERT_TRUE(ok(c_->sql("CREATE TABLE cp (id int PRIMARY KEY)")));
        ASSERT_TRUE(ok(c_->sql("DROP TABLE cp")));
        faults_->set(std::string(rule) + "\n");
        std::vector<std::string> refused = {
            "CREATE TABLE x (id int PRIMARY KEY)", "DROP TABLE keep",
            "ALTER TABLE keep ADD COLUMN z int DEFAULT 5", "ALTER TABLE keep DROP COLUMN c"};
        // The bootstrap log stays open across a checkpoint.
        if (std::string(rule).rfind("open", 0) != 0) refused.push_back("CREATE DATABASE other");
        for (const std::string& s : refused) {
            std::string r = c_->sql(s);
            EXPECT_FALSE(ok(r)) << s << " -> " << r;
        }
        faults_->clear();
        for (int pass = 0; pass < 2; pass++) {
            SCOPED_TRACE(pass ? "after a restart" : "live");
            EXPECT_FALSE(ok(c_->sql("SELECT * FROM x")));
            EXPECT_EQ(json_get(rows("keep"), "rows"), keep_rows);
            EXPECT_FALSE(ok(c_->sql("USE other")));
            if (pass == 0) {
                ASSERT_NO_FATAL_FAILURE(crash_and_start());
            }
        }
        EXPECT_NE(faults_->log().find("main.wal"), std::string::npos) << faults_->log();
        EXPECT_FALSE(exists(tables_dir() + "x"));
    }
}

// Once its record is written a DROP TABLE is applied and answered ok; the
// catalog or checkpoint failing after it is a warning, and the table stays
// dropped after a restart.
TEST_F(DdlFaults, DropAppliedDespiteLaterFailuresStaysDropped) {
    const char* rules[] = {"rename catalog.meta EIO", "write segments/ EIO",
                           "rename checkpoint.meta EIO"};
    int round = 0;
    for (const char* rule : rules) {
        SCOPED_TRACE(rule);
        const std::string t = "gone" + std::to_string(round++);
        ASSERT_TRUE(ok(c_->sql("CREATE TABLE " + t + " (id int PRIMARY KEY, v int)")));
        ASSERT_TRUE(ok(c_->sql("INSERT INTO " + t + " VALUES (1, 1)")));
        faults_->set(std::string(rule) + "\n");
        std::string r = c_->sql("DROP TABLE " + t);
        EXPECT_TRUE(ok(r)) << r;
        EXPECT_FALSE(json_get(r, "warning").empty()) << r;
        EXPECT_FALSE(ok(rows(t)));
        ASSERT_NO_FATAL_FAILURE(crash_and_start());
        EXPECT_FALSE(ok(rows(t))) << "came back after the restart";
        EXPECT_EQ(json_get(rows("keep"), "rows").find("\"id\":2") != std::string::npos, true);
    }
}

// ALTER TABLE that rewrites rows, answered ok while its checkpoint failed,
// is whole after a crash: the schema and every row agree, also when another
// statement saved the catalog with the change before the rows were durable.
TEST_F(DdlFaults, AlterWithFailedCheckpointKeepsSchemaAndRowsAgreeing) {
    struct Case {
        const char* alter;
        const char* gone;  // member no row may carry
        const char* want;  // the rows after
    } cases[] = {
        {"ALTER TABLE keep DROP COLUMN c", "\"c\"",
         R"([{"id":1,"email":"a@x"},{"id":2,"email":"b@x"}])"},
        {"ALTER TABLE keep RENAME COLUMN email TO mail", "\"email\"",
         R"([{"id":1,"mail":"a@x"},{"id":2,"mail":"b@x"}])"},
        {"ALTER TABLE keep ADD COLUMN n int DEFAULT 7", "\"q\"",
         R"([{"id":1,"mail":"a@x","n":7},{"id":2,"mail":"b@x","n":7}])"},
    };
    int round = 0;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.alter);
        faults_->set("write segments/ EIO\n");
        std::string r = c_->sql(k.alter);
        EXPECT_TRUE(ok(r)) << r;
        EXPECT_NE(json_get(r, "warning").find("checkpoint failed"), std::string::npos) << r;
        // A statement that writes the catalog of the database (with the
        // altered schema) while the rows on disk still have the old shape.
        r = c_->sql("CREATE TABLE side" + std::to_string(round++) + " (id int PRIMARY KEY)");
        EXPECT_TRUE(ok(r)) << r;
        ASSERT_NO_FATAL_FAILURE(crash_and_start());
        r = rows("keep");
        EXPECT_EQ(r.find(k.gone), std::string::npos) << r;
        EXPECT_EQ(json_get(r, "rows"), k.want);
        // The schema agrees with the rows: new rows take the new shape.
        EXPECT_TRUE(ok(c_->sql("SELECT * FROM keep WHERE id = 1")));
    }
    std::string r = c_->sql("INSERT INTO keep (id, email) VALUES (3, 'c@x')");
    EXPECT_FALSE(ok(r)) << "the renamed column is still known: " << r;
}

// A failed record whose cut also fails closes the log: no later record is
// appended behind the refused bytes, and the refused change is not replayed.
TEST_F(DdlFaults, LogThatCannotBeCutTakesNoMoreRecords) {
    struct Case {
        const char* fail;   // makes the record fail
        bool kill_at_once;  // crash while the cut still fails
    } cases[] = {{"write main.wal short", false},
                 {"sync main.wal EIO", false},
                 {"sync main.wal EIO", true},
                 {"write main.wal short", true}};
    int id = 100;
    std::vector<int> acked, refused;
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.fail) + (k.kill_at_once ? ", killed" : ""));
        faults_->set(std::string(k.fail) + "\ntruncate main.wal EIO\n");
        std::string r = c_->sql("INSERT INTO keep VALUES (" + std::to_string(++id) + ", 'r', 0)");
        EXPECT_FALSE(ok(r)) << r;
        refused.push_back(id);
        if (k.kill_at_once) {
            ASSERT_NO_FATAL_FAILURE(crash_and_start());
        } else {
            // The write itself works again, the cut still does not.
            faults_->set("truncate main.wal EIO\n");
            r = c_->sql("INSERT INTO keep VALUES (" + std::to_string(++id) + ", 'k', 0)");
            (ok(r) ? acked : refused).push_back(id);
            if (!ok(r)) {
                EXPECT_NE(error_of(r).find("closed"), std::string::npos) << r;
            }
            faults_->clear();
        }
        r = c_->sql("INSERT INTO keep VALUES (" + std::to_string(++id) + ", 'k', 0)");
        EXPECT_TRUE(ok(r)) << "the log is open again once it can be cut: " << r;
        acked.push_back(id);
        ASSERT_NO_FATAL_FAILURE(crash_and_start());
        r = rows("keep");
        for (int a : acked)
            EXPECT_NE(r.find("\"id\":" + std::to_string(a) + ","), std::string::npos)
                << "acknowledged " << a << " lost: " << r;
        for (int f : refused)
            EXPECT_EQ(r.find("\"id\":" + std::to_string(f) + ","), std::string::npos)
                << "refused " << f << " applied: " << r;
    }
}

// DROP TABLE by another spelling removes the files of the table as stored,
// and CREATE TABLE never adopts files an earlier table left.
TEST_F(DdlFaults, TableFilesGoByTheStoredNameAndAreNeverAdopted) {
    ASSERT_TRUE(ok(c_->sql("CREATE TABLE Orders (id int PRIMARY KEY, email string)")));
    ASSERT_TRUE(ok(c_->sql("CREATE UNIQUE INDEX uo ON Orders (email)")));
    ASSERT_TRUE(exists(tables_dir() + "Orders/uo.idx"));
    std::string r = c_->sql("DROP TABLE orders");
    ASSERT_TRUE(ok(r)) << r;
    EXPECT_TRUE(json_get(r, "warning").empty()) << r;
    EXPECT_FALSE(exists(tables_dir() + "Orders")) << "left behind by DROP TABLE orders";

    // Files an earlier table left (a cleanup that failed, a crash): the
    // directory is cleared before the new table is created.
    const std::string left = tables_dir() + "Lefty";
    ASSERT_EQ(mkdir(left.c_str(), 0755), 0);
    std::ofstream(left + "/indexes.meta") << "INDEX3 ul btree 1 90 1 1 email 1 0\n";
    std::ofstream(left + "/ul.idx") << "";
    for (const char* t : {"Orders", "Lefty"}) {
        SCOPED_TRACE(t);
        r = c_->sql(std::string("CREATE TABLE ") + t + " (id int PRIMARY KEY, email string)");
        ASSERT_TRUE(ok(r)) << r;
        for (const char* v : {"(1, 'same')", "(2, 'same')"}) {
            r = c_->sql(std::string("INSERT INTO ") + t + " VALUES " + v);
            EXPECT_TRUE(ok(r)) << r;
        }
    }
    EXPECT_FALSE(exists(left + "/ul.idx"));
    ASSERT_NO_FATAL_FAILURE(crash_and_start());
    for (const char* t : {"Orders", "Lefty"}) {
        r = rows(t);
        EXPECT_EQ(json_get(r, "rows"), R"([{"id":1,"email":"same"},{"id":2,"email":"same"}])") << t;
    }
    // A checkpoint (DROP TABLE of another table) meets no old unique index.
    ASSERT_TRUE(ok(c_->sql("CREATE TABLE other (id int PRIMARY KEY)")));
    r = c_->sql("DROP TABLE other");
    EXPECT_TRUE(ok(r)) << r;
    EXPECT_TRUE(json_get(r, "warning").empty()) << r;
}

}  // namespace
