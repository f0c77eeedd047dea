// Checkpoints: compaction, pins holding chains back, segment turnover, files.
#include "storage_fixture.h"

namespace {

using kt::file_exists;
using kt::read_file;

const char* kSegDir = "kyreldb_data/databases/default/tables/t/segments/";

class Checkpoint : public kt::StorageTest {
  protected:
    void SetUp() override {
        kt::StorageTest::SetUp();
        create_table("t", "CREATE TABLE t (id string PRIMARY KEY, v int)");
        first_seq_ = g_seq.next;
        put("t", "a", R"({"id":"a","v":1})");
        put("t", "b", R"({"id":"b","v":1})");
        put("t", "a", R"({"id":"a","v":2})");
        put("t", "a", R"({"id":"a","v":3})");
        remove("t", "b");
        t_ = table("t");
    }
    Table* t_ = nullptr;
    uint64_t first_seq_ = 0;
};

TEST_F(Checkpoint, UnpinnedCompactsChainsWritesFilesAndTruncatesLogs) {
    const uint64_t c = g_seq.next - 1;
    checkpoint();
    ASSERT_EQ(chain_length(t_), 1);
    EXPECT_EQ(t_->rows->seq, c);
    EXPECT_STREQ(t_->rows->key, "a");
    EXPECT_EQ(latest("t", "a"), R"({"id":"a","v":3})");
    EXPECT_EQ(latest("t", "b"), "");
    EXPECT_EQ(t_->row_memory_bytes, t_->rows->mem_size);
    EXPECT_EQ(read_file("kyreldb_data/bootstrap.checkpoint.meta"), std::to_string(c) + "\n");
    EXPECT_EQ(read_file("kyreldb_data/databases/default/checkpoint.meta"),
              std::to_string(c) + "\n");
    EXPECT_EQ(read_file("kyreldb_data/databases/default/main.wal"), "");
    EXPECT_EQ(read_file("kyreldb_data/main.wal"), "");
    EXPECT_TRUE(file_exists(std::string(kSegDir) + "seg_000001.dat"));

    // Two checkpoints in a row: only the newer segment remains.
    put("t", "c", R"({"id":"c","v":1})");
    checkpoint();
    EXPECT_FALSE(file_exists(std::string(kSegDir) + "seg_000001.dat"));
    EXPECT_TRUE(file_exists(std::string(kSegDir) + "seg_000002.dat"));
    EXPECT_EQ(t_->active_segment, 2u);
    EXPECT_EQ(t_->next_segment, 3u);

    // After a restart the rows come from the segment, and new writes are
    // numbered above the checkpoint so that they win over segment rows.
    const uint64_t c2 = g_checkpoint_seq.load();
    kt::restart();
    EXPECT_GT(g_seq.next, c2);
    put("t", "a", R"({"id":"a","v":4})");
    EXPECT_EQ(latest("t", "a"), R"({"id":"a","v":4})");
    kt::restart();
    EXPECT_EQ(latest("t", "a"), R"({"id":"a","v":4})");
    EXPECT_EQ(latest("t", "c"), R"({"id":"c","v":1})");
    EXPECT_EQ(latest("t", "b"), "");
}

// A drop is committed by the catalog: cut short before the catalog is
// saved, the table comes back whole at the next start, its checkpointed rows
// included; once the catalog is saved and the files removed, it is gone.
TEST_F(Checkpoint, DropCutShortBeforeTheCatalogKeepsTheTableWhole) {
    checkpoint();
    put("t", "c", R"({"id":"c","v":4})");
    char err[256] = {0};
    ASSERT_EQ(table_drop_internal("t", 0, err, sizeof err), 0) << err;
    kt::restart();  // the crash: neither catalog nor log heard of the drop
    EXPECT_EQ(latest("t", "a"), R"({"id":"a","v":3})");
    EXPECT_EQ(latest("t", "c"), R"({"id":"c","v":4})");

    ASSERT_EQ(table_drop_internal("t", 0, err, sizeof err), 0) << err;
    ASSERT_EQ(catalog_save_db("default", err, sizeof err), 0) << err;
    ASSERT_EQ(table_remove_files("t", err, sizeof err), 0) << err;
    kt::restart();
    EXPECT_EQ(table("t"), nullptr);
    EXPECT_FALSE(file_exists("kyreldb_data/databases/default/tables/t"));
}

TEST_F(Checkpoint, PinnedTableKeepsWholeChainButMovesSegment) {
    char err[128];
    uint64_t token = 0;
    ASSERT_EQ(cursor_registry_register("t", first_seq_, 0, &token, err, sizeof err), 0);
    const int before = chain_length(t_);
    const uint64_t mem_before = mem_current();
    checkpoint();
    EXPECT_EQ(chain_length(t_), before);
    EXPECT_EQ(mem_current(), mem_before);
    EXPECT_EQ(t_->active_segment, 1u);
    EXPECT_TRUE(file_exists(std::string(kSegDir) + "seg_000001.dat"));
    EXPECT_EQ(read_file("kyreldb_data/databases/default/main.wal"), "");
    {
        // The snapshot at the first put still reads the first version of a.
        RwReadGuard g(&t_->lock);
        char* json = nullptr;
        ASSERT_EQ(versioned_get_visible_json(t_, "a", first_seq_, &json, nullptr, nullptr), 0);
        EXPECT_STREQ(json, R"({"id":"a","v":1})");
        free(json);
    }
    cursor_registry_unregister(token);
    checkpoint();
    EXPECT_EQ(chain_length(t_), 1);
    EXPECT_FALSE(file_exists(std::string(kSegDir) + "seg_000001.dat"));
}

TEST_F(Checkpoint, SequenceFilesGiveZeroWhenAbsentAndRefuseJunk) {
    EXPECT_EQ(db_checkpoint_get("nosuch"), 0u);
    char err[512] = "";
    for (const char* junk : {"12 13\n", "", "x\n", "12x\n"}) {
        kt::write_file("kyreldb_data/bootstrap.checkpoint.meta", junk);
        g_checkpoint_seq = 5;
        EXPECT_EQ(checkpoint_meta_load(err, sizeof err), -1) << junk;
        EXPECT_NE(strstr(err, "bootstrap.checkpoint.meta: does not hold a checkpoint number"),
                  nullptr)
            << err;
        EXPECT_EQ(g_checkpoint_seq.load(), 5u);
    }
    kt::write_file("kyreldb_data/bootstrap.checkpoint.meta", "900\n");
    ASSERT_EQ(checkpoint_meta_load(err, sizeof err), 0) << err;
    EXPECT_EQ(g_checkpoint_seq.load(), 900u);
    EXPECT_GT(next_seq(), 900u);
}

TEST_F(Checkpoint, TryEntryPointSkipsWhileAnotherThreadHoldsTheLock) {
    std::mutex m;
    std::condition_variable cv;
    bool held = false, release = false;
    std::thread holder([&] {
        std::lock_guard<std::mutex> g(g_checkpoint_lock);
        std::unique_lock<std::mutex> lk(m);
        held = true;
        cv.notify_all();
        cv.wait(lk, [&] { return release; });
    });
    {
        std::unique_lock<std::mutex> lk(m);
        cv.wait(lk, [&] { return held; });
    }
    char err[256];
    EXPECT_EQ(checkpoint_try_all_tables(err, sizeof err), 1);
    {
        std::lock_guard<std::mutex> lk(m);
        release = true;
    }
    cv.notify_all();
    holder.join();
    EXPECT_EQ(checkpoint_try_all_tables(err, sizeof err), 0) << err;
    EXPECT_EQ(chain_length(t_), 1);
}

}  // namespace
