// The change road: refusals are decided before the log is written and leave
// nothing behind; a logged change is applied even when its index-file write
// fails, and the index files are then not trusted until rebuilt.
#include <sys/stat.h>

#include <functional>

#include "exec/row_change.h"
#include "storage_fixture.h"

namespace {

using kt::file_exists;
using kt::read_file;

constexpr const char* kWal = "kyreldb_data/databases/default/main.wal";
constexpr const char* kIdx = "kyreldb_data/databases/default/tables/t/by_c.idx";

class RowChangeRoad : public kt::StorageTest {
  protected:
    void SetUp() override {
        kt::StorageTest::SetUp();
        create_table("t", "CREATE TABLE t (id int PRIMARY KEY, c int)");
        t_ = table("t");
        ASSERT_NE(t_, nullptr);
        add_index("by_c", "c", false);
        ASSERT_EQ(insert_row("{\"id\":1,\"c\":10}"), 0) << err_;
    }
    void add_index(const char* name, const char* column, bool unique) {
        kt::add_index(t_, name, column, unique);
    }
    int insert_row(const char* row) {
        const char* rows[] = {row};
        return change_insert_rows(t_, rows, 1, ChangeRules(), err_, sizeof err_);
    }
    int update_c(const char* key, const char* value) {
        const char* names[] = {"c"};
        const char* values[] = {value};
        return change_update_row(t_, key, names, values, 1, ChangeRules(), err_, sizeof err_);
    }
    int remove_row(const char* key) {
        return change_delete_row(t_, key, ChangeRules(), nullptr, err_, sizeof err_);
    }
    // Keys whose indexed c equals value, as the index answers; "scan" when
    // the index declines and the caller would scan.
    std::string index_keys(const char* value) {
        char** keys = nullptr;
        int n = 0;
        char e[256];
        int r = lookup_keys_from_index(t_, "c", "=", value, &keys, &n, e, sizeof e);
        if (r == 1) return "scan";
        std::string out;
        for (int i = 0; i < n; i++) out += std::string(i ? "," : "") + keys[i];
        free_string_array(keys, n);
        return r == 0 ? out : "error";
    }
    Table* t_ = nullptr;
    char err_[256] = "";
};

TEST_F(RowChangeRoad, RefusalsWriteNoRecordAndChangeNothing) {
    add_index("u_c", "c", true);
    ASSERT_EQ(insert_row("{\"id\":2,\"c\":20}"), 0) << err_;
    struct Case {
        const char* what;
        std::function<int()> run;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"live key", [&] { return insert_row("{\"id\":1,\"c\":99}"); }, "duplicate primary key"},
        {"bad value", [&] { return insert_row("{\"id\":3,\"c\":\"x\"}"); },
         "bad value type for column 'c'"},
        {"unique insert", [&] { return insert_row("{\"id\":3,\"c\":20}"); },
         "unique index 'u_c' violation"},
        {"missing row", [&] { return update_c("7", "1"); }, "row not found"},
        {"unique update", [&] { return update_c("1", "20"); }, "unique index 'u_c' violation"},
        {"bad update", [&] { return update_c("1", "\"x\""); }, "bad value type for column 'c'"},
    };
    for (const Case& c : cases) {
        const uint64_t wal = file_size_bytes(kWal);
        const int versions = chain_length(t_);
        err_[0] = '\0';
        EXPECT_EQ(c.run(), -1) << c.what;
        EXPECT_STREQ(err_, c.message) << c.what;
        EXPECT_EQ(file_size_bytes(kWal), wal) << c.what;
        EXPECT_EQ(chain_length(t_), versions) << c.what;
    }
}

// A log that cannot be written refuses the change, and memory keeps the old
// state: no UPDATE or DELETE is left applied behind an error.
TEST_F(RowChangeRoad, UnwritableLogAppliesNothing) {
    wal_writer_close();
    ASSERT_EQ(::remove(kWal), 0);
    ASSERT_EQ(mkdir(kWal, 0755), 0);
    EXPECT_EQ(insert_row("{\"id\":2,\"c\":20}"), -1);
    EXPECT_STREQ(err_, "cannot open WAL");
    EXPECT_EQ(update_c("1", "11"), -1);
    EXPECT_EQ(remove_row("1"), -1);
    EXPECT_EQ(latest("t", "1"), "{\"id\":1,\"c\":10}");
    EXPECT_EQ(latest("t", "2"), "");
    EXPECT_EQ(chain_length(t_), 1);
}

TEST_F(RowChangeRoad, IndexFileFailureAfterTheLogKeepsTheChange) {
    ASSERT_EQ(::remove(kIdx), 0);
    ASSERT_EQ(mkdir(kIdx, 0755), 0);
    EXPECT_EQ(insert_row("{\"id\":2,\"c\":20}"), 0) << err_;
    EXPECT_EQ(insert_row("{\"id\":3,\"c\":30}"), 0) << err_;
    EXPECT_EQ(update_c("1", "11"), 0) << err_;
    EXPECT_EQ(remove_row("3"), 0) << err_;
    EXPECT_EQ(t_->index_files_stale, 1u);
    EXPECT_EQ(latest("t", "1"), "{\"id\":1,\"c\":11}");
    EXPECT_EQ(latest("t", "2"), "{\"id\":2,\"c\":20}");
    EXPECT_EQ(latest("t", "3"), "");

    // The maps stay right; without them the stale file is not read.
    EXPECT_EQ(index_keys("11"), "1");
    EXPECT_EQ(index_keys("30"), "");
    sec_index_maps_mark_invalid(t_);
    EXPECT_EQ(index_keys("11"), "scan");

    // A restart replays the changes; the rebuild cannot write the file yet.
    kt::restart();
    t_ = table("t");
    EXPECT_EQ(latest("t", "1"), "{\"id\":1,\"c\":11}");
    EXPECT_EQ(latest("t", "2"), "{\"id\":2,\"c\":20}");
    EXPECT_EQ(latest("t", "3"), "");
    EXPECT_EQ(t_->index_files_stale, 1u);
    EXPECT_EQ(index_keys("11"), "1");

    // Once the path is free again the next rebuild rewrites the file.
    ASSERT_EQ(rmdir(kIdx), 0);
    kt::restart();
    t_ = table("t");
    EXPECT_EQ(t_->index_files_stale, 0u);
    ASSERT_TRUE(file_exists(kIdx));
    sec_index_maps_mark_invalid(t_);
    EXPECT_EQ(index_keys("11"), "1");
    EXPECT_EQ(index_keys("20"), "2");
    EXPECT_EQ(index_keys("10"), "");
}

}  // namespace
