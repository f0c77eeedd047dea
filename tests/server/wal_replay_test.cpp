// Start-up replay: restarts after writes, torn and damaged logs, sequence
// numbers above everything stored, and rows that predate a unique index.
#include <sys/stat.h>

#include "storage_fixture.h"

namespace {

using kt::read_file;
using kt::write_file;

const char* kDefaultWal = "kyreldb_data/databases/default/main.wal";

class Replay : public kt::StorageTest {
  protected:
    void SetUp() override {
        kt::StorageTest::SetUp();
        char err[256];
        ASSERT_EQ(database_create("sales", err, sizeof err), 0) << err;
        ASSERT_EQ(
            wal_append_record(WAL_OP_CREATE_DATABASE, next_seq(), "sales", "", "", err, sizeof err),
            0);
        create_table("t", "CREATE TABLE t (id string PRIMARY KEY, v int)");
        create_table("sales__s", "CREATE TABLE s (id string PRIMARY KEY, v int)");
    }
};

TEST_F(Replay, InsertsUpdatesDeletesSurviveRestart) {
    insert("t", "a", R"({"id":"a","v":1})");
    insert("t", "b", R"({"id":"b","v":1})");
    put("t", "a", R"({"id":"a","v":2})");
    remove("t", "b");
    insert("sales__s", "x", R"({"id":"x","v":7})");
    const uint64_t last = g_seq.next - 1;
    kt::restart();
    EXPECT_EQ(latest("t", "a"), R"({"id":"a","v":2})");
    EXPECT_EQ(latest("t", "b"), "");
    EXPECT_EQ(latest("sales__s", "x"), R"({"id":"x","v":7})");
    EXPECT_GT(g_seq.next, last);
}

TEST_F(Replay, TornTailIsCutBeforeTheNextAppend) {
    insert("t", "a", R"({"id":"a","v":1})");
    insert("t", "b", R"({"id":"b","v":1})");
    std::string log = read_file(kDefaultWal);
    write_file(kDefaultWal, log.substr(0, log.size() - 3));
    kt::restart();
    EXPECT_EQ(latest("t", "a"), R"({"id":"a","v":1})");
    EXPECT_EQ(latest("t", "b"), "");  // never completely written
    insert("t", "c", R"({"id":"c","v":1})");
    kt::restart();  // without the cut, replay would stop at the torn bytes
    EXPECT_EQ(latest("t", "a"), R"({"id":"a","v":1})");
    EXPECT_EQ(latest("t", "c"), R"({"id":"c","v":1})");
}

TEST_F(Replay, FlippedChecksumStopsOnlyItsOwnLog) {
    insert("t", "a", R"({"id":"a","v":1})");
    insert("t", "b", R"({"id":"b","v":1})");
    insert("sales__s", "x", R"({"id":"x","v":1})");
    std::string log = read_file(kDefaultWal);
    // The last record of the default log is the insert of b: flip one byte of
    // its checksum field.
    const size_t b_len = 32 + 1 + 1 + strlen(R"({"id":"b","v":1})");
    log[log.size() - b_len + 28] ^= 0x5a;
    write_file(kDefaultWal, log);
    char err[256] = {0};
    kt::drop_memory_state();
    ASSERT_EQ(databases_load(err, sizeof err), 0);
    ASSERT_EQ(checkpoint_meta_load(err, sizeof err), 0) << err;
    ASSERT_EQ(db_checkpoint_load_all(err, sizeof err), 0) << err;
    ASSERT_EQ(catalog_load(err, sizeof err), 0) << err;
    ASSERT_EQ(manifests_load(err, sizeof err), 0) << err;
    ASSERT_EQ(load_indexes_meta(err, sizeof err), 0) << err;
    ASSERT_EQ(load_segments(err, sizeof err), 0) << err;
    EXPECT_EQ(replay_wal(err, sizeof err), -1);
    EXPECT_STREQ(err, "WAL checksum mismatch");
    EXPECT_EQ(latest("t", "a"), R"({"id":"a","v":1})");
    EXPECT_EQ(latest("t", "b"), "");
    EXPECT_EQ(latest("sales__s", "x"), R"({"id":"x","v":1})");  // other log replayed
    insert("t", "c", R"({"id":"c","v":1})");
    kt::restart();
    EXPECT_EQ(latest("t", "c"), R"({"id":"c","v":1})");
    EXPECT_EQ(latest("sales__s", "x"), R"({"id":"x","v":1})");
}

TEST_F(Replay, BadHeadersAreReportedNotApplied) {
    insert("t", "a", R"({"id":"a","v":1})");
    const std::string good = read_file(kDefaultWal);
    struct Case {
        const char* name;
        size_t offset;
        char value;
        const char* message;
    } cases[] = {
        {"magic", 0, 'X', "invalid WAL magic"},
        {"version", 4, 2, "unsupported WAL version"},
        {"lengths", 27, 0x7f, "corrupt WAL lengths"},
    };
    const size_t last = good.rfind("TAW3");
    ASSERT_NE(last, std::string::npos);
    for (const Case& c : cases) {
        std::string bad = good;
        bad[last + c.offset] = c.value;
        write_file("kyreldb_data/one.wal", bad);
        char err[256] = {0};
        EXPECT_EQ(replay_wal_file("kyreldb_data/one.wal", UINT64_MAX, err, sizeof err), -1)
            << c.name;
        EXPECT_STREQ(err, c.message) << c.name;
    }
    char err[256] = {0};
    EXPECT_EQ(replay_wal_file("kyreldb_data/missing.wal", 0, err, sizeof err), 0);
}

TEST_F(Replay, CounterStartsAboveCheckpointAfterLogsWereTruncated) {
    insert("t", "a", R"({"id":"a","v":1})");
    checkpoint();
    const uint64_t c = g_checkpoint_seq.load();
    kt::restart();
    EXPECT_GT(g_seq.next, c);
    put("t", "a", R"({"id":"a","v":2})");  // must win over the segment row
    EXPECT_EQ(latest("t", "a"), R"({"id":"a","v":2})");
    kt::restart();  // and must not be skipped as already checkpointed
    EXPECT_EQ(latest("t", "a"), R"({"id":"a","v":2})");
}

TEST_F(Replay, RowsWrittenBeforeAUniqueIndexAreNotDropped) {
    insert("t", "a", R"({"id":"a","v":5})");
    insert("t", "b", R"({"id":"b","v":5})");
    put("t", "a", R"({"id":"a","v":6})");
    // CREATE UNIQUE INDEX as the commit thread does it: no WAL record.
    Table* t = table("t");
    kt::add_index(t, "u_v", "v", true);
    kt::restart();
    EXPECT_EQ(latest("t", "a"), R"({"id":"a","v":6})");
    EXPECT_EQ(latest("t", "b"), R"({"id":"b","v":5})");
    t = table("t");
    char** keys = nullptr;
    int n = 0;
    char err[256];
    ASSERT_EQ(lookup_keys_from_index_exact(t, 0, "5", &keys, &n, err, sizeof err), 0);
    ASSERT_EQ(n, 1);
    EXPECT_STREQ(keys[0], "b");
    free_string_array(keys, n);
}

TEST_F(Replay, CreateTableRecordForExistingTableIsSkipped) {
    kt::restart();
    int count = 0;
    for (int i = 0; i < g_tables.count; ++i)
        if (!g_tables.slots[i].dropped && strcasecmp(g_tables.slots[i].schema.name, "t") == 0)
            ++count;
    EXPECT_EQ(count, 1);
}

}  // namespace
