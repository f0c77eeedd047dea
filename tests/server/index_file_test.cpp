// indexes.meta lines and .idx event logs read back by the file look-ups.
#include "storage_fixture.h"

namespace {

using kt::read_file;
using kt::write_file;

class IndexFile : public kt::StorageTest {
  protected:
    void SetUp() override {
        kt::StorageTest::SetUp();
        create_table("t", "CREATE TABLE t (id string PRIMARY KEY, email string, n int)");
        t_ = table("t");
    }
    Table* t_ = nullptr;
};

TEST_F(IndexFile, MetaLineFormatsAndLegacyForms) {
    IndexDef& d = t_->indexes[t_->index_count++];
    indexdef_init(&d);
    snprintf(d.name, sizeof d.name, "u");
    snprintf(d.column, sizeof d.column, "email");
    d.unique = 1;
    d.fillfactor = 90;
    indexdef_ensure_defaults(&d);
    char err[256];
    ASSERT_EQ(indexes_meta_save(t_, err, sizeof err), 0) << err;
    EXPECT_EQ(read_file("kyreldb_data/databases/default/tables/t/indexes.meta"),
              "INDEX3 u btree 1 90 1 1 email 1 0\n");

    const char* path = "kyreldb_data/databases/default/tables/t/indexes.meta";
    write_file(path, "INDEX by_name email\nINDEX2 two btree 80 off 2 email 0 1 n 1 0\n\n");
    t_->index_count = 0;
    ASSERT_EQ(load_indexes_meta(err, sizeof err), 0) << err;
    ASSERT_EQ(t_->index_count, 2);
    const IndexDef& legacy = t_->indexes[0];
    EXPECT_STREQ(legacy.name, "by_name");
    EXPECT_EQ(legacy.column_count, 1);
    EXPECT_EQ(legacy.fillfactor, 100);
    EXPECT_EQ(legacy.unique, 0);
    EXPECT_STREQ(legacy.method, "btree");
    const IndexDef& two = t_->indexes[1];
    EXPECT_EQ(two.column_count, 2);
    EXPECT_EQ(two.deduplicate_items, 0);
    EXPECT_EQ(two.columns[0].ascending, 0);
    EXPECT_EQ(two.columns[0].nulls_first, 1);
    EXPECT_STREQ(two.columns[1].name, "n");
}

// A damaged indexes.meta would drop an index (a unique one lets duplicates
// in): loading refuses it, naming the file and what is wrong.
TEST_F(IndexFile, DamagedMetaIsRefusedWithItsName) {
    std::string many;
    for (int i = 0; i < 33; ++i) many += "INDEX i" + std::to_string(i) + " n\n";
    const struct {
        const char* text;
        const char* what;
    } cases[] = {
        {"INDEX3 u btree 1 90 1 1 email 1 0", "cut short"},
        {"INDEX3 u btree 1 90 1 1 email 1\n", "line 1: not an index line"},
        {"INDEX3 bad btree 1 90 1 9 email 1 0\n", "line 1: not an index line"},
        {"INDEX3 u btree 1 90 1 1 email 1 0 extra\n", "line 1: not an index line"},
        {"INDEX3 u btree 1 90 1 1 email 1 0\nJUNK\n", "line 2: not an index line"},
        {"INDEX3 u btree 1 90 1 1 emaik 1 0\n", "over column emaik"},
        {"INDEX u email\nINDEX U n\n", "line 2: index listed twice"},
        {many.c_str(), "line 33: more indexes than a table can hold"},
    };
    for (const auto& c : cases) {
        write_file("kyreldb_data/databases/default/tables/t/indexes.meta", c.text);
        t_->index_count = 0;
        char err[512] = "";
        EXPECT_EQ(load_indexes_meta(err, sizeof err), -1) << c.text;
        EXPECT_NE(strstr(err, "kyreldb_data/databases/default/tables/t/indexes.meta: "), nullptr)
            << err;
        EXPECT_NE(strstr(err, c.what), nullptr) << c.text << " -> " << err;
    }
}

TEST_F(IndexFile, LastEventPerKeyDecidesFileLookups) {
    IndexDef& d = t_->indexes[t_->index_count++];
    indexdef_init(&d);
    snprintf(d.name, sizeof d.name, "by_n");
    snprintf(d.column, sizeof d.column, "n");
    indexdef_ensure_defaults(&d);
    char err[256];
    ASSERT_EQ(index_append_row_events(t_, R"({"id":"k1","n":5})", "k1", 'I', err, sizeof err), 0);
    ASSERT_EQ(index_append_row_events(t_, nullptr, "k1", 'D', err, sizeof err), 0);
    ASSERT_EQ(index_append_row_events(t_, R"({"id":"k2","n":5})", "k2", 'I', err, sizeof err), 0);
    ASSERT_EQ(index_append_row_events(t_, R"({"id":"k3"})", "k3", 'I', err, sizeof err), 0);
    EXPECT_EQ(read_file("kyreldb_data/databases/default/tables/t/by_n.idx"),
              "I\t5\tk1\nD\t\tk1\nI\t5\tk2\n");
    auto keys_for = [&](const char* op, const char* v) {
        char** keys = nullptr;
        int n = 0;
        std::string out;
        int r = lookup_keys_from_index(t_, "n", op, v, &keys, &n, err, sizeof err);
        if (r != 0) return std::string("rc") + std::to_string(r);
        for (int i = 0; i < n; ++i) out += std::string(keys[i]) + ",";
        free_string_array(keys, n);
        return out;
    };
    EXPECT_EQ(keys_for("=", "5"), "k2,");
    ASSERT_EQ(index_append_record(t_, 0, 'I', "7", "k1", err, sizeof err), 0);
    EXPECT_EQ(keys_for("=", "7"), "k1,");
    EXPECT_EQ(keys_for(">", "4"), "k1,k2,");
    // Look-ups on a column that leads no index, or with the file gone.
    char** keys = nullptr;
    int n = 0;
    EXPECT_EQ(lookup_keys_from_index(t_, "email", "=", "'x'", &keys, &n, err, sizeof err), 1);
    unlink("kyreldb_data/databases/default/tables/t/by_n.idx");
    EXPECT_EQ(keys_for("=", "5"), "rc1");
}

TEST_F(IndexFile, RebuildWritesLiveNewestRowsOnly) {
    put("t", "a", R"({"id":"a","n":1})");
    put("t", "a", R"({"id":"a","n":2})");
    put("t", "b", R"({"id":"b","n":3})");
    put("t", "c", R"({"id":"c"})");
    remove("t", "b");
    IndexDef& d = t_->indexes[t_->index_count++];
    indexdef_init(&d);
    snprintf(d.name, sizeof d.name, "by_n");
    snprintf(d.column, sizeof d.column, "n");
    char err[256];
    {
        RwWriteGuard g(&t_->lock);
        ASSERT_EQ(rebuild_table_indexes(t_, err, sizeof err), 0) << err;
    }
    EXPECT_EQ(read_file("kyreldb_data/databases/default/tables/t/by_n.idx"), "I\t2\ta\n");
}

}  // namespace
