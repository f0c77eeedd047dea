// Group logging of row changes: a group's changes reach the log only with the
// group's write and memory only after it; each is answered by the flush, and
// every change is checked against the state all earlier ones left, exactly as
// when each is logged alone. Row statements read ahead follow the schema they
// meet when they run.
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "exec/row_change.h"
#include "exec/row_statements.h"
#include "query/ddl_parse.h"
#include "query/session.h"
#include "storage_fixture.h"

namespace {

// What the flushes told, by owner (owners are 1, 2, ... cast to pointers).
std::map<intptr_t, std::string> g_told;

void record_finish(void* owner, char* reply, const char* err) {
    g_told[reinterpret_cast<intptr_t>(owner)] = err     ? "error: " + std::string(err)
                                                : reply ? std::string(reply)
                                                        : "error: out of memory";
    free(reply);
}

constexpr const char* kWaits = "(waits)";

class ChangeGroupTest : public kt::StorageTest {
  protected:
    void SetUp() override {
        kt::StorageTest::SetUp();
        g_told.clear();
        strcpy(session_.current_database, "default");
    }

    // A table "name" with row 1; with_unique adds u (unique index u_u).
    void make(const std::string& name, bool with_unique) {
        std::string sql = "CREATE TABLE " + name + " (id int PRIMARY KEY, c int" +
                          (with_unique ? ", u int)" : ")");
        create_table(name.c_str(), sql.c_str());
        Table* t = table(name.c_str());
        ASSERT_NE(t, nullptr);
        if (with_unique) kt::add_index(t, "u_u", "u", true);
        ASSERT_EQ(run(nullptr, "INSERT INTO " + name + " VALUES " +
                                   (with_unique ? "(1, 10, 10)" : "(1, 10)")),
                  "{\"ok\":true,\"inserted\":1}");
    }

    // Reads sql ahead and runs it; the reply, "error: <message>", or kWaits
    // when the change waits in the group.
    std::string run(ChangeGroup* group, const std::string& sql, const Session* s = nullptr) {
        if (!s) s = &session_;
        RowStatement* st = nullptr;
        if (sql.rfind("INSERT", 0) == 0)
            st = row_statement_insert_sql(s, sql.c_str(), nullptr);
        else if (sql.rfind("UPDATE", 0) == 0)
            st = row_statement_update(sql.c_str());
        else
            st = row_statement_delete(sql.c_str());
        char* out = nullptr;
        char e[256] = "";
        int rc = exec_row_statement(s, st, group, &out, e, sizeof e);
        row_statement_free(st);
        std::string r = rc != 0 ? "error: " + std::string(e) : out ? std::string(out) : kWaits;
        free(out);
        return r;
    }

    // Newest rows of keys 1..9 of a table, for comparing two tables.
    std::string rows_of(const std::string& name) {
        std::string out;
        for (int k = 1; k <= 9; k++) out += latest(name.c_str(), std::to_string(k).c_str()) + ";";
        return out;
    }

    Session session_{};
};

std::string with_table(std::string sql, const std::string& name) {
    for (size_t at; (at = sql.find(" T ")) != std::string::npos;)
        sql.replace(at, 3, " " + name + " ");
    return sql;
}

struct GroupCase {
    const char* what;
    bool unique;  // the table has the unique index u_u
    std::vector<const char*> statements;
};

// Each list runs as one group on one table and alone on a twin: the answers
// and the rows left must be the same.
TEST_F(ChangeGroupTest, EveryChangeSeesWhatTheEarlierOnesLeft) {
    const std::vector<GroupCase> cases = {
        {"same key twice", false, {"INSERT INTO T VALUES (5, 1)", "INSERT INTO T VALUES (5, 2)"}},
        {"insert after delete",
         false,
         {"DELETE FROM T WHERE id = 1", "INSERT INTO T VALUES (1, 3)"}},
        {"delete after insert",
         false,
         {"INSERT INTO T VALUES (6, 1)", "DELETE FROM T WHERE id = 6"}},
        {"update after insert",
         false,
         {"INSERT INTO T VALUES (6, 4)", "UPDATE T SET c = 9 WHERE id = 6"}},
        {"update after update",
         false,
         {"UPDATE T SET c = 8 WHERE id = 1", "UPDATE T SET c = 7 WHERE id = 1"}},
        {"update after delete",
         false,
         {"DELETE FROM T WHERE id = 1", "UPDATE T SET c = 9 WHERE id = 1"}},
        {"key twice in a batch", false, {"INSERT INTO T VALUES (5, 1), (5, 2)"}},
        {"batch over a waiting key",
         false,
         {"INSERT INTO T VALUES (4, 1)", "INSERT INTO T VALUES (3, 1), (4, 2), (5, 3)"}},
        {"disjoint keys",
         false,
         {"INSERT INTO T VALUES (5, 1)", "INSERT INTO T VALUES (6, 2), (7, 3)",
          "DELETE FROM T WHERE id = 1", "UPDATE T SET c = 0 WHERE id = 5"}},
        {"unique value twice",
         true,
         {"INSERT INTO T VALUES (7, 5, 60)", "INSERT INTO T VALUES (8, 6, 60)"}},
        {"unique value freed",
         true,
         {"UPDATE T SET u = 61 WHERE id = 1", "INSERT INTO T VALUES (9, 7, 10)"}},
        {"unique value taken by update",
         true,
         {"INSERT INTO T VALUES (7, 5, 60)", "UPDATE T SET u = 60 WHERE id = 1"}},
    };
    int n = 0;
    for (const GroupCase& c : cases) {
        const std::string grouped = "g" + std::to_string(++n), alone = "a" + std::to_string(n);
        make(grouped, c.unique);
        make(alone, c.unique);
        g_told.clear();
        std::vector<std::string> in_group, by_itself;
        {
            ChangeGroup group(record_finish);
            for (size_t i = 0; i < c.statements.size(); i++) {
                group.owner = reinterpret_cast<void*>(static_cast<intptr_t>(i + 1));
                in_group.push_back(run(&group, with_table(c.statements[i], grouped)));
            }
            change_group_flush(&group);
        }
        for (size_t i = 0; i < in_group.size(); i++)
            if (in_group[i] == kWaits) in_group[i] = g_told[static_cast<intptr_t>(i + 1)];
        for (const char* sql : c.statements)
            by_itself.push_back(run(nullptr, with_table(sql, alone)));
        EXPECT_EQ(in_group, by_itself) << c.what;
        EXPECT_EQ(rows_of(grouped), rows_of(alone)) << c.what;
    }
}

TEST_F(ChangeGroupTest, NothingIsLoggedOrVisibleBeforeTheGroupsWrite) {
    make("t", false);
    ASSERT_EQ(run(nullptr, "INSERT INTO t VALUES (9, 90)"), "{\"ok\":true,\"inserted\":1}");
    const char* wal = "kyreldb_data/databases/default/main.wal";
    const uint64_t size = file_size_bytes(wal);
    const uint64_t first = g_seq.next;
    ChangeGroup group(record_finish);
    const std::vector<std::string> statements = {
        "INSERT INTO t VALUES (2, 20), (3, 30)", "UPDATE t SET c = 11 WHERE id = 1",
        "DELETE FROM t WHERE id = 9", "INSERT INTO t VALUES (4, 40)"};
    for (size_t i = 0; i < statements.size(); i++) {
        group.owner = reinterpret_cast<void*>(static_cast<intptr_t>(i + 1));
        EXPECT_EQ(run(&group, statements[i]), kWaits) << statements[i];
    }
    EXPECT_EQ(file_size_bytes(wal), size);
    EXPECT_EQ(latest("t", "1"), "{\"id\":1,\"c\":10}");
    EXPECT_EQ(latest("t", "2"), "");
    EXPECT_TRUE(g_told.empty());

    change_group_flush(&group);
    EXPECT_EQ(g_told, (std::map<intptr_t, std::string>{{1, "{\"ok\":true,\"inserted\":2}"},
                                                       {2, "{\"ok\":true,\"updated\":1}"},
                                                       {3, "{\"ok\":true,\"deleted\":1}"},
                                                       {4, "{\"ok\":true,\"inserted\":1}"}}));
    EXPECT_EQ(latest("t", "1"), "{\"id\":1,\"c\":11}");
    EXPECT_EQ(latest("t", "3"), "{\"id\":3,\"c\":30}");
    EXPECT_EQ(latest("t", "4"), "{\"id\":4,\"c\":40}");

    // The records follow the statements, with consecutive sequence numbers.
    const std::string log = kt::read_file(wal).substr(size);
    std::vector<std::pair<uint16_t, std::string>> records;
    uint64_t expect_seq = first;
    for (size_t p = 0; p + WAL_HEADER_SIZE <= log.size();) {
        WalRecordHeader h;
        wal_header_decode(reinterpret_cast<const unsigned char*>(log.data() + p), &h);
        EXPECT_EQ(h.seq, expect_seq++);
        records.emplace_back(h.op, log.substr(p + WAL_HEADER_SIZE + h.table_len, h.key_len));
        p += WAL_HEADER_SIZE + h.table_len + h.key_len + h.json_len;
    }
    EXPECT_EQ(records, (std::vector<std::pair<uint16_t, std::string>>{{WAL_OP_INSERT, "2"},
                                                                      {WAL_OP_INSERT, "3"},
                                                                      {WAL_OP_UPDATE, "1"},
                                                                      {WAL_OP_DELETE, "9"},
                                                                      {WAL_OP_INSERT, "4"}}));

    // A restart finds exactly what was answered.
    kt::restart();
    EXPECT_EQ(latest("t", "1"), "{\"id\":1,\"c\":11}");
    EXPECT_EQ(latest("t", "2"), "{\"id\":2,\"c\":20}");
    EXPECT_EQ(latest("t", "4"), "{\"id\":4,\"c\":40}");
}

// A log file that cannot be written refuses every waiting change bound for
// it and applies none of them; another database's changes of the same group
// are written, applied and answered.
TEST_F(ChangeGroupTest, AFailedWriteRefusesTheChangesOfThatLogOnly) {
    make("t", false);
    char e[256] = "";
    ASSERT_EQ(database_create("other", e, sizeof e), 0) << e;
    create_table("other__t", "CREATE TABLE t (id int PRIMARY KEY, c int)");
    Session other{};
    strcpy(other.current_database, "other");

    const char* wal = "kyreldb_data/databases/default/main.wal";
    wal_writer_close();
    ASSERT_EQ(::remove(wal), 0);
    ASSERT_EQ(mkdir(wal, 0755), 0);

    ChangeGroup group(record_finish);
    group.owner = reinterpret_cast<void*>(1);
    EXPECT_EQ(run(&group, "INSERT INTO t VALUES (2, 20)"), kWaits);
    group.owner = reinterpret_cast<void*>(2);
    EXPECT_EQ(run(&group, "INSERT INTO t VALUES (5, 50)", &other), kWaits);
    group.owner = reinterpret_cast<void*>(3);
    EXPECT_EQ(run(&group, "UPDATE t SET c = 11 WHERE id = 1"), kWaits);
    change_group_flush(&group);

    EXPECT_EQ(g_told, (std::map<intptr_t, std::string>{{1, "error: cannot open WAL"},
                                                       {2, "{\"ok\":true,\"inserted\":1}"},
                                                       {3, "error: cannot open WAL"}}));
    EXPECT_EQ(latest("t", "2"), "");
    EXPECT_EQ(latest("t", "1"), "{\"id\":1,\"c\":10}");
    EXPECT_EQ(latest("other__t", "5"), "{\"id\":5,\"c\":50}");
}

// A change that brings row memory to the pressure level takes the pressure
// rule alone: the group before it is written and answered first.
TEST_F(ChangeGroupTest, AChangeAtThePressureLevelIsLoggedAlone) {
    make("t", false);
    g_cfg.memory_flush_percent = 100;
    g_cfg.memory_hard_stop_percent = 100;
    // Room for the first row (about 70 bytes) but not for both.
    g_cfg.memory_limit_bytes = mem_current() + 100;
    ChangeGroup group(record_finish);
    group.owner = reinterpret_cast<void*>(1);
    EXPECT_EQ(run(&group, "INSERT INTO t VALUES (2, 20)"), kWaits);
    group.owner = reinterpret_cast<void*>(2);
    EXPECT_EQ(run(&group, "INSERT INTO t VALUES (3, 30)"), "{\"ok\":true,\"inserted\":1}");
    EXPECT_EQ(g_told, (std::map<intptr_t, std::string>{{1, "{\"ok\":true,\"inserted\":1}"}}));
    EXPECT_EQ(latest("t", "2"), "{\"id\":2,\"c\":20}");
    EXPECT_EQ(latest("t", "3"), "{\"id\":3,\"c\":30}");
}

struct AheadCase {
    const char* what;
    const char* change;  // applied between reading and running; "DROP" drops t
    const char* statement;
    const char* answer;
};

// Rows built ahead are used only for the schema they were built for; after
// a change of the table the statement answers as if read when it runs.
TEST_F(ChangeGroupTest, RowsBuiltAheadFollowTheSchemaTheyMeet) {
    const std::vector<AheadCase> cases = {
        {"no change", "", "INSERT INTO T VALUES (2, 20)", "{\"ok\":true,\"inserted\":1}"},
        {"column added", "ALTER TABLE T ADD COLUMN d int", "INSERT INTO T VALUES (2, 20)",
         "error: value count mismatch"},
        {"column dropped", "ALTER TABLE T DROP COLUMN c", "INSERT INTO T VALUES (2, 20)",
         "error: value count mismatch"},
        {"named column dropped", "ALTER TABLE T DROP COLUMN c",
         "INSERT INTO T (id, c) VALUES (2, 20)", "error: unknown column 'c'"},
        {"table dropped", "DROP", "INSERT INTO T VALUES (2, 20)", "error: table not found"},
    };
    int n = 0;
    for (const AheadCase& c : cases) {
        const std::string name = "r" + std::to_string(++n);
        make(name, false);
        RowStatement* st =
            row_statement_insert_sql(&session_, with_table(c.statement, name).c_str(), nullptr);
        ASSERT_NE(st, nullptr);
        char e[256] = "";
        if (std::string(c.change) == "DROP") {
            ASSERT_GE(table_drop_internal(name.c_str(), 0, e, sizeof e), 0) << e;
        } else if (c.change[0]) {
            ASSERT_EQ(ddl_alter_table_from_sql(name.c_str(), with_table(c.change, name).c_str(), 0,
                                               e, sizeof e),
                      0)
                << e;
        }
        char* out = nullptr;
        int rc = exec_row_statement(&session_, st, nullptr, &out, e, sizeof e);
        row_statement_free(st);
        EXPECT_EQ(rc == 0 && out ? std::string(out) : "error: " + std::string(e), c.answer)
            << c.what;
        free(out);
    }
}

}  // namespace
