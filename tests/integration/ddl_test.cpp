// Schema changes over the wire: CREATE/DROP INDEX with unique enforcement,
// ALTER TABLE and DROP TABLE surviving a SIGKILL and restart, the JSON DDL
// actions, and auto-vacuum checkpointing an idle server.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "kyrel_test.h"
#include "writes_helpers.h"

using namespace kyrel_test;
using namespace writes_test;

namespace {

constexpr const char* kConfig =
    "AUTO_TUNE=OFF\nAUTO_VACUUM=OFF\nCONNECTION_WORKERS=4\nWRITE_WORKERS=1\n"
    "COMMIT_GROUP_WAIT_MS=0\nWAL_SYNC_EVERY=1\n";
constexpr const char* kPassword = "ddl pass 1";

// Logs in as the administrator, making the first forced password change.
void login_admin(Client& c) { login_admin_as(c, kPassword); }

class Ddl : public ::testing::Test {
  protected:
    void SetUp() override { start_with(kConfig); }

    void start_with(const std::string& config) {
        srv_.set_config(config);
        ASSERT_TRUE(srv_.start()) << srv_.last_error();
        ASSERT_NO_FATAL_FAILURE(reconnect());
    }
    // A fresh logged-in client using database "d" when it exists.
    void reconnect() {
        c_ = std::make_unique<Client>();
        ASSERT_TRUE(c_->connect(srv_.port()));
        ASSERT_NO_FATAL_FAILURE(login_admin(*c_));
        ASSERT_NO_FATAL_FAILURE(use_or_create_database(*c_, "d"));
    }
    std::string sql(const std::string& s) { return c_->sql(s); }
    void expect_ok(const std::string& s) {
        std::string r = sql(s);
        EXPECT_TRUE(ok(r)) << s << " -> " << r;
    }
    std::string db_dir() const { return srv_.dir() + "/kyreldb_data/databases/d"; }
    static std::string slurp(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    static bool exists(const std::string& path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0;
    }

    TestServer srv_;
    std::unique_ptr<Client> c_;
};

TEST_F(Ddl, UniqueIndexRefusesDuplicatesAndDropIndexLiftsIt) {
    expect_ok("CREATE TABLE u (id int PRIMARY KEY, email string, n int)");
    expect_ok("INSERT INTO u VALUES (1, 'a@x', 1), (2, 'b@x', 1)");

    // Existing duplicates block a unique index, not a plain one.
    EXPECT_FALSE(ok(sql("CREATE UNIQUE INDEX un ON u (n)")));
    std::string r = sql("CREATE INDEX by_n ON u (n DESC)");
    ASSERT_TRUE(ok(r)) << r;
    EXPECT_EQ(json_get(r, "message"), "index created");

    r = sql("CREATE UNIQUE INDEX ue ON u (email)");
    ASSERT_TRUE(ok(r)) << r;
    r = sql("INSERT INTO u VALUES (3, 'a@x', 2)");
    EXPECT_FALSE(ok(r)) << r;
    expect_ok("INSERT INTO u VALUES (4, 'c@x', 2)");

    const struct {
        const char* sql;
        const char* error;
    } refusals[] = {
        {"CREATE INDEX ue ON u (n)", "index already exists"},
        {"CREATE INDEX zz ON u (nope)", "unknown index column 'nope'"},
        {"CREATE INDEX zz ON u (n, N)", "unknown index column 'N'"},
        {"CREATE INDEX zz ON u (n, n)", "duplicate column in index definition"},
        {"CREATE INDEX zz ON missing (n)", "table not found"},
        {"CREATE INDEX zz ON u USING hash (n)",
         "unsupported index method; only btree is supported"},
        {"DROP INDEX nope", "index not found"},
        {"ALTER TABLE u DROP COLUMN email", "cannot drop column used by an index"},
    };
    for (const auto& c : refusals) EXPECT_EQ(error_of(sql(c.sql)), c.error) << c.sql;

    r = sql("CREATE INDEX IF NOT EXISTS ue ON u (n)");
    EXPECT_TRUE(ok(r)) << r;
    EXPECT_EQ(json_get(r, "message"), "index already exists");
    EXPECT_EQ(json_get(r, "skipped"), "true");

    // Definitions live in indexes.meta; each index has its own event file.
    EXPECT_NE(slurp(db_dir() + "/tables/u/indexes.meta").find("ue"), std::string::npos);
    EXPECT_TRUE(exists(db_dir() + "/tables/u/ue.idx"));

    // A unique index outlives a crash.
    srv_.kill9();
    ASSERT_TRUE(srv_.start()) << srv_.last_error();
    ASSERT_NO_FATAL_FAILURE(reconnect());
    EXPECT_FALSE(ok(sql("INSERT INTO u VALUES (5, 'c@x', 3)")));

    r = sql("DROP INDEX ue ON u");
    ASSERT_TRUE(ok(r)) << r;
    EXPECT_EQ(json_get(r, "message"), "index dropped");
    EXPECT_EQ(json_get(r, "skipped"), "false");
    EXPECT_FALSE(exists(db_dir() + "/tables/u/ue.idx"));
    expect_ok("INSERT INTO u VALUES (5, 'c@x', 3)");

    for (const char* s : {"DROP INDEX IF EXISTS ue", "DROP INDEX IF EXISTS ue ON nosuch"}) {
        r = sql(s);
        EXPECT_TRUE(ok(r)) << s << " -> " << r;
        EXPECT_EQ(json_get(r, "skipped"), "true") << s;
    }
    EXPECT_EQ(error_of(sql("DROP INDEX ue ON nosuch")), "table not found");
    r = c_->ask(R"({"action":"drop_index","index":"by_n"})");
    EXPECT_TRUE(ok(r)) << r;
    EXPECT_EQ(json_get(r, "index"), "by_n");

    // Index creation and removal write no log record.
    for (const WalRecord& w : read_wal(db_dir() + "/main.wal"))
        EXPECT_TRUE(w.op == 2 || w.op == 1) << w.op;

    // The dropped index stays dropped after a restart.
    ASSERT_TRUE(srv_.restart());
    ASSERT_NO_FATAL_FAILURE(reconnect());
    expect_ok("INSERT INTO u VALUES (6, 'c@x', 3)");
}

TEST_F(Ddl, AlterAndDropTableSurviveSigkill) {
    expect_ok("CREATE TABLE p (id int PRIMARY KEY, name string, qty int, tmp string)");
    expect_ok("CREATE TABLE gone (id int PRIMARY KEY)");
    expect_ok("INSERT INTO p VALUES (1, 'a', 10, 'x'), (2, 'b', 20, 'y')");
    expect_ok("INSERT INTO gone VALUES (1)");

    std::string r = sql("ALTER TABLE p ADD COLUMN note varchar(20) DEFAULT 'none'");
    ASSERT_TRUE(ok(r)) << r;
    EXPECT_EQ(json_get(r, "message"), "table altered");
    EXPECT_EQ(json_get(r, "database"), "d");
    EXPECT_EQ(json_get(r, "table"), "p");
    // The checkpoint after the change leaves no older record in the log.
    for (const WalRecord& w : read_wal(db_dir() + "/main.wal"))
        EXPECT_NE(w.op, 2) << "insert record left behind the ALTER: " << w.key;

    expect_ok("ALTER TABLE p RENAME COLUMN qty TO amount");
    expect_ok("ALTER TABLE p DROP tmp");
    expect_ok("INSERT INTO p VALUES (3, 'c', 30, 'new')");
    r = sql("DROP TABLE gone");
    ASSERT_TRUE(ok(r)) << r;
    EXPECT_EQ(json_get(r, "skipped"), "false");
    // Rows logged after the last schema change are replayed onto the new shape.
    expect_ok("INSERT INTO p VALUES (4, 'd', 40, 'late')");

    srv_.kill9();
    ASSERT_TRUE(srv_.start()) << srv_.last_error();
    ASSERT_NO_FATAL_FAILURE(reconnect());

    EXPECT_EQ(error_of(sql("INSERT INTO gone VALUES (2)")), "table not found");
    EXPECT_FALSE(ok(sql("INSERT INTO p (id, name, qty) VALUES (9, 'z', 1)")));
    EXPECT_EQ(error_of(sql("INSERT INTO p VALUES (4, 'd', 40, 'again')")), "duplicate primary key");
    EXPECT_EQ(error_of(sql("INSERT INTO p VALUES (1, 'a', 10, 'again')")), "duplicate primary key");
    expect_ok("INSERT INTO p (id, name, amount, note) VALUES (5, 'e', 50, 'ok')");

    // Old rows took the new shape; rows logged after the changes kept theirs.
    r = sql("SELECT * FROM p WHERE id = 1");
    EXPECT_NE(r.find(R"("rows":[{"id":1,"name":"a","amount":10,"note":"none"}])"),
              std::string::npos)
        << r;
    r = sql("SELECT * FROM p WHERE id = 4");
    EXPECT_NE(r.find(R"("rows":[{"id":4,"name":"d","amount":40,"note":"late"}])"),
              std::string::npos)
        << r;

    // A dropped table's name is free again and starts empty.
    expect_ok("CREATE TABLE gone (id int PRIMARY KEY)");
    expect_ok("INSERT INTO gone VALUES (1)");
}

TEST_F(Ddl, SchemaChangeRefusalsAndJsonActions) {
    expect_ok("CREATE TABLE t (id int PRIMARY KEY, a int)");
    const struct {
        const char* sql;
        const char* error;
    } refusals[] = {
        {"ALTER TABLE nope ADD b int", "table not found"},
        {"ALTER TABLE t ADD a int", "column already exists"},
        {"ALTER TABLE t ADD A int", "column already exists"},
        {"ALTER TABLE t DROP COLUMN id", "cannot drop primary key column"},
        {"ALTER TABLE t DROP COLUMN zz", "column not found"},
        {"ALTER TABLE t RENAME COLUMN id TO key2", "cannot rename primary key column"},
        {"ALTER TABLE t RENAME COLUMN a TO id", "target column already exists"},
        {"ALTER TABLE t ADD b int DEFAULT 'x'", "bad integer default"},
        {"ALTER TABLE t MODIFY a string", "unsupported ALTER TABLE operation"},
        {"DROP TABLE nope", "table not found"},
        {"DROP TABLE t extra", "unexpected text after DROP TABLE"},
    };
    for (const auto& c : refusals) EXPECT_EQ(error_of(sql(c.sql)), c.error) << c.sql;

    std::string r = sql("DROP TABLE IF EXISTS nope");
    EXPECT_TRUE(ok(r)) << r;
    EXPECT_EQ(json_get(r, "skipped"), "true");

    EXPECT_EQ(error_of(c_->ask(R"({"action":"alter_table"})")), "missing sql");
    EXPECT_EQ(error_of(c_->ask(R"({"action":"drop_table"})")), "missing table or sql");
    EXPECT_EQ(error_of(c_->ask(R"({"action":"drop_index"})")), "missing index or sql");
    // A JSON name cannot reach another database's table.
    EXPECT_EQ(error_of(c_->ask(R"({"action":"drop_table","table":"config_db__kyreldb_users"})")),
              "invalid table name");
    r = c_->ask(R"({"action":"alter_table","sql":"ALTER TABLE t ADD b int DEFAULT 7"})");
    EXPECT_TRUE(ok(r)) << r;
    r = c_->ask(R"({"action":"drop_table","table":"t"})");
    EXPECT_TRUE(ok(r)) << r;
    EXPECT_EQ(json_get(r, "table"), "t");
    EXPECT_EQ(error_of(sql("INSERT INTO t VALUES (1, 2, 3)")), "table not found");

    ASSERT_TRUE(ok(sql("USE config_db")));
    EXPECT_EQ(error_of(sql("ALTER TABLE kyreldb_users ADD x int")), "cannot alter system table");
    EXPECT_EQ(error_of(sql("DROP TABLE kyreldb_users")), "cannot drop system table");
}

TEST(AutoVacuum, CheckpointsAnIdleServerOverItsLogThreshold) {
    TestServer srv;
    srv.set_config(
        "AUTO_TUNE=OFF\nAUTO_VACUUM=ON\nAUTO_VACUUM_INTERVAL_SECONDS=5\n"
        "AUTO_VACUUM_IDLE_SECONDS=1\nAUTO_VACUUM_WAL_MB=1\nCONNECTION_WORKERS=2\n"
        "WRITE_WORKERS=1\nCOMMIT_GROUP_WAIT_MS=0\n");
    ASSERT_TRUE(srv.start()) << srv.last_error();
    Client c;
    ASSERT_TRUE(c.connect(srv.port()));
    ASSERT_NO_FATAL_FAILURE(login_admin(c));
    ASSERT_TRUE(ok(c.sql("CREATE DATABASE av")));
    ASSERT_TRUE(ok(c.sql("USE av")));
    ASSERT_TRUE(ok(c.sql("CREATE TABLE big (id int PRIMARY KEY, pad string)")));
    const std::string pad(1000, 'p');
    for (int b = 0; b < 12; b++) {
        std::string stmt = "INSERT INTO big VALUES ";
        for (int i = 0; i < 100; i++) {
            stmt += (i ? ", (" : "(") + std::to_string(b * 100 + i) + ", '" + pad + "')";
        }
        std::string r = c.sql(stmt);
        ASSERT_TRUE(ok(r)) << r;
    }
    const std::string wal = srv.dir() + "/kyreldb_data/databases/av/main.wal";
    struct stat st;
    ASSERT_EQ(stat(wal.c_str(), &st), 0);
    ASSERT_GE(st.st_size, 1024 * 1024);

    // No requests while waiting: any request would count as activity.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    off_t size = st.st_size;
    while (std::chrono::steady_clock::now() < deadline) {
        if (stat(wal.c_str(), &st) == 0 && st.st_size < 1024) {
            size = st.st_size;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_LT(size, 1024) << "log was not checkpointed";
    // At least the one run that cut the log (a slow machine may have seen
    // another interval pass since).
    std::string r = c.ask(R"({"action":"show_stats"})");
    EXPECT_GE(std::atoi(json_get(json_get(r, "stats"), "auto_vacuum_runs").c_str()), 1) << r;

    // The rows now come from the segments: all still there after a crash.
    srv.kill9();
    ASSERT_TRUE(srv.start()) << srv.last_error();
    Client d;
    ASSERT_TRUE(d.connect(srv.port()));
    ASSERT_NO_FATAL_FAILURE(login_admin(d));
    ASSERT_TRUE(ok(d.sql("USE av")));
    EXPECT_EQ(error_of(d.sql("INSERT INTO big VALUES (0, 'x')")), "duplicate primary key");
    EXPECT_EQ(error_of(d.sql("INSERT INTO big VALUES (1199, 'x')")), "duplicate primary key");

    // Shutdown joins the vacuum thread promptly.
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(srv.stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
}

}  // namespace
