// Row changes: puts, batch inserts with their WAL batch, deletes and updates.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/stats.h"
#include "exec/row_change.h"
#include "storage/paths.h"
#include "storage/row_changes.h"
#include "storage/row_version.h"
#include "storage/table.h"
#include "table_fixture.h"

namespace {

class RowChangesTest : public TableFixture {
  protected:
    void SetUp() override {
        TableFixture::SetUp();
        t_ = make_table({{"id", COL_TYPE_STRING, true},
                         {"name", COL_TYPE_STRING, false},
                         {"n", COL_TYPE_INT, false}},
                        &name_);
        ASSERT_NE(t_, nullptr);
    }
    std::string latest(const char* key, int* deleted = nullptr, uint64_t* seq = nullptr) {
        RwReadGuard g(&t_->lock);
        char* json = nullptr;
        int del = 0;
        if (versioned_get_latest_json(t_, key, &json, seq, &del) != 0) return "<none>";
        if (deleted) *deleted = del;
        std::string out = json ? json : "<tombstone>";
        free(json);
        return out;
    }
    int chain_length() {
        RwReadGuard g(&t_->lock);
        int n = 0;
        for (VersionedRow* r = t_->rows; r; r = r->next) n++;
        return n;
    }
    int batch(std::vector<const char*> rows, std::vector<const char*> keys, uint64_t first_seq) {
        std::vector<uint64_t> seqs;
        for (size_t i = 0; i < rows.size(); i++) seqs.push_back(first_seq + i);
        return table_apply_insert_batch_with_wal(name_.c_str(), rows.data(), keys.data(),
                                                 seqs.data(), (int)rows.size(), err_, sizeof err_);
    }
    uint64_t wal_size() { return file_size_bytes("kyreldb_data/databases/default/main.wal"); }
    Table* t_ = nullptr;
    std::string name_;
};

TEST_F(RowChangesTest, PutOnLiveKeyAddsNewerVersion) {
    ASSERT_EQ(table_apply_insert(name_.c_str(), 1, "{\"id\":\"a\",\"n\":1}", err_, sizeof err_), 0)
        << err_;
    ASSERT_EQ(table_apply_insert(name_.c_str(), 2, "{\"id\":\"a\",\"n\":2}", err_, sizeof err_), 0);
    EXPECT_EQ(chain_length(), 2);
    uint64_t seq = 0;
    EXPECT_EQ(latest("a", nullptr, &seq), "{\"id\":\"a\",\"n\":2}");
    EXPECT_EQ(seq, 2u);
    EXPECT_EQ(table_apply_insert("missing", 3, "{\"id\":\"a\"}", err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "table not found");
    EXPECT_EQ(table_apply_insert(name_.c_str(), 3, "{\"n\":1}", err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "missing primary key");
}

TEST_F(RowChangesTest, OverlongKeyIsRefusedNotCut) {
    std::string k1(2100, 'k');
    std::string row = "{\"id\":\"" + k1 + "\"}";
    EXPECT_EQ(table_apply_insert(name_.c_str(), 1, row.c_str(), err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "primary key too long");
    EXPECT_EQ(chain_length(), 0);
}

TEST_F(RowChangesTest, DeleteRecordsTombstoneAndChargesMemory) {
    uint64_t before = t_->row_memory_bytes;
    ASSERT_EQ(table_apply_delete(name_.c_str(), 5, "ghost", err_, sizeof err_), 0);
    EXPECT_EQ(t_->row_memory_bytes - before, 48u + 5 + 1);
    int deleted = 0;
    EXPECT_EQ(latest("ghost", &deleted), "<tombstone>");
    EXPECT_EQ(deleted, 1);
    EXPECT_EQ(table_key_exists_live(name_.c_str(), "ghost"), 0);
}

TEST_F(RowChangesTest, UpdateMergesAndGuardsThePrimaryKey) {
    ASSERT_EQ(table_apply_insert(name_.c_str(), 1, "{\"n\":1,\"id\":\"a\",\"name\":\"x\"}", err_,
                                 sizeof err_),
              0);
    struct Case {
        const char* col;
        const char* val;
        int rc;
        const char* msg;
        const char* row_after;
    } cases[] = {
        {"name", "\"y\"", 0, "", "{\"id\":\"a\",\"name\":\"y\",\"n\":1}"},
        {"id", "\"a\"", 0, "", "{\"id\":\"a\",\"name\":\"y\",\"n\":1}"},
        {"id", "\"b\"", -1, "primary key update not supported",
         "{\"id\":\"a\",\"name\":\"y\",\"n\":1}"},
        {"nosuch", "1", 0, "", "{\"id\":\"a\",\"name\":\"y\",\"n\":1}"},
        {"n", "\"x\"", -1, "bad value type for column 'n'",
         "{\"id\":\"a\",\"name\":\"y\",\"n\":1}"},
    };
    uint64_t seq = 10;
    for (const Case& c : cases) {
        int versions = chain_length();
        const char* names[] = {c.col};
        const char* vals[] = {c.val};
        err_[0] = '\0';
        EXPECT_EQ(table_apply_update(name_.c_str(), seq++, "a", names, vals, 1, err_, sizeof err_),
                  c.rc)
            << c.col << "=" << c.val;
        EXPECT_STREQ(err_, c.msg);
        EXPECT_EQ(latest("a"), c.row_after);
        EXPECT_EQ(chain_length(), versions + (c.rc == 0 ? 1 : 0));
    }
    const char* names[] = {"name"};
    const char* vals[] = {"\"z\""};
    EXPECT_EQ(table_apply_update(name_.c_str(), 20, "zz", names, vals, 1, err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "row not found");
    ASSERT_EQ(table_apply_delete(name_.c_str(), 21, "a", err_, sizeof err_), 0);
    EXPECT_EQ(table_apply_update(name_.c_str(), 22, "a", names, vals, 1, err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "row not found");
}

TEST_F(RowChangesTest, BatchInsertLogsOneRunAndLinksInOrder) {
    ServerStats before, after;
    stats_snapshot(&before);
    ASSERT_EQ(batch({"{\"id\":\"a\"}", "{\"id\":\"b\"}", "{\"id\":\"c\"}"}, {"a", "b", "c"}, 100),
              0)
        << err_;
    stats_snapshot(&after);
    EXPECT_EQ(after.wal_appends - before.wal_appends, 3);
    EXPECT_EQ((uint64_t)(after.wal_bytes - before.wal_bytes), wal_size());
    EXPECT_EQ(wal_size(), 3 * (32u + name_.size() + 1 + 10));
    EXPECT_EQ(chain_length(), 3);
    EXPECT_STREQ(t_->rows->key, "c");  // input order: the last row is the newest
    uint64_t seq = 0;
    latest("b", nullptr, &seq);
    EXPECT_EQ(seq, 101u);
}

TEST_F(RowChangesTest, BatchRefusalsWriteNothing) {
    ASSERT_EQ(batch({"{\"id\":\"a\"}"}, {"a"}, 1), 0);
    uint64_t wal = wal_size();
    int versions = chain_length();

    EXPECT_EQ(batch({"{\"id\":\"a\"}"}, {"a"}, 2), -1);
    EXPECT_STREQ(err_, "duplicate primary key");

    std::vector<std::string> texts;
    std::vector<const char*> rows, keys;
    for (int i = 0; i < 200; i++) texts.push_back(std::to_string(i == 150 ? 7 : i));
    for (auto& s : texts) {
        keys.push_back(s.c_str());
        rows.push_back("{}");
    }
    EXPECT_EQ(batch(rows, keys, 10), -1);
    EXPECT_STREQ(err_, "duplicate primary key in batch");

    EXPECT_EQ(table_apply_insert_batch_with_wal(name_.c_str(), nullptr, nullptr, nullptr, 1, err_,
                                                sizeof err_),
              -1);
    EXPECT_STREQ(err_, "invalid insert batch");
    EXPECT_EQ(wal_size(), wal);
    EXPECT_EQ(chain_length(), versions);

    // A key whose newest version is a tombstone may be inserted again.
    ASSERT_EQ(table_apply_delete(name_.c_str(), 300, "a", err_, sizeof err_), 0);
    EXPECT_EQ(batch({"{\"id\":\"a\",\"n\":2}"}, {"a"}, 301), 0) << err_;
    EXPECT_EQ(latest("a"), "{\"id\":\"a\",\"n\":2}");
}

TEST_F(RowChangesTest, BatchUniqueViolationWritesNothing) {
    add_index(t_, "ux_name", {"name"}, true);
    ASSERT_EQ(batch({"{\"id\":\"a\",\"name\":\"x\"}"}, {"a"}, 1), 0);
    uint64_t wal = wal_size();
    EXPECT_EQ(batch({"{\"id\":\"b\",\"name\":\"x\"}"}, {"b"}, 2), -1);
    EXPECT_STREQ(err_, "unique index 'ux_name' violation");
    EXPECT_EQ(
        batch({"{\"id\":\"c\",\"name\":\"y\"}", "{\"id\":\"d\",\"name\":\"y\"}"}, {"c", "d"}, 3),
        -1);
    EXPECT_STREQ(err_, "unique index 'ux_name' violation in batch");
    EXPECT_EQ(wal_size(), wal);
    // The batch's rows reach the index maps.
    ASSERT_EQ(batch({"{\"id\":\"e\",\"name\":\"z\"}"}, {"e"}, 5), 0);
    EXPECT_EQ(
        table_apply_insert(name_.c_str(), 6, "{\"id\":\"f\",\"name\":\"z\"}", err_, sizeof err_),
        -1);
    EXPECT_STREQ(err_, "unique index 'ux_name' violation");
}

}  // namespace
