// Path builders and creation of the data-directory tree.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "storage/paths.h"

namespace fs = std::filesystem;

namespace {

// Runs the test inside a fresh temporary directory and removes it afterwards.
class TempCwd : public ::testing::Test {
  protected:
    void SetUp() override {
        old_ = fs::current_path();
        char tmpl[] = "/tmp/kyrel_paths_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        fs::current_path(dir_);
    }
    void TearDown() override {
        fs::current_path(old_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    fs::path old_, dir_;
};

bool is_dir(const char* p) {
    struct stat st;
    return stat(p, &st) == 0 && S_ISDIR(st.st_mode);
}

TEST(Paths, Builders) {
    char b[512];
    struct Case {
        void (*fn)(const char*, char*, size_t);
        const char* arg;
        const char* want;
    } cases[] = {
        {table_dir_path, "sales__orders", "./kyreldb_data/databases/sales/tables/orders"},
        {table_dir_path, "orders", "./kyreldb_data/databases/default/tables/orders"},
        {table_dir_path, "a__b__c", "./kyreldb_data/databases/a/tables/b__c"},
        {table_segments_dir_path, "orders",
         "./kyreldb_data/databases/default/tables/orders/segments"},
        {table_manifest_path, "s__t", "./kyreldb_data/databases/s/tables/t/manifest.meta"},
        {db_dir_path, "sales", "./kyreldb_data/databases/sales"},
        {db_dir_path, nullptr, "./kyreldb_data/databases/default"},
        {db_tables_dir_path, "x", "./kyreldb_data/databases/x/tables"},
        {db_catalog_path, nullptr, "./kyreldb_data/databases/default/catalog.meta"},
        {db_wal_path, "x", "./kyreldb_data/databases/x/main.wal"},
        {db_checkpoint_path, "x", "./kyreldb_data/databases/x/checkpoint.meta"},
        {db_procedures_dir_path, "x", "./kyreldb_data/databases/x/procedures"},
        {legacy_table_manifest_path, "s__t", "./kyreldb_data/tables/s__t/manifest.meta"},
        {legacy_table_indexes_meta_path, "s__t", "./kyreldb_data/tables/s__t/indexes.meta"},
    };
    for (const auto& c : cases) {
        c.fn(c.arg, b, sizeof b);
        EXPECT_STREQ(b, c.want) << (c.arg ? c.arg : "(null)");
    }
    table_segment_path("orders", 7, b, sizeof b);
    EXPECT_STREQ(b, "./kyreldb_data/databases/default/tables/orders/segments/seg_000007.dat");
    table_segment_path("orders", 1234567, b, sizeof b);
    EXPECT_STREQ(b, "./kyreldb_data/databases/default/tables/orders/segments/seg_1234567.dat");
    legacy_table_segment_path("s__t", 3, b, sizeof b);
    EXPECT_STREQ(b, "./kyreldb_data/tables/s__t/segments/seg_000003.dat");
}

TEST(Paths, LongComponentsAreCutAndBuffersRespected) {
    char b[512];
    // Database and table parts are each cut to 63 bytes.
    std::string internal = std::string(60, 'd') + "__" + std::string(200, 't');
    table_dir_path(internal.c_str(), b, sizeof b);
    EXPECT_EQ(std::string(b), "./kyreldb_data/databases/" + std::string(60, 'd') + "/tables/" +
                                  std::string(63, 't'));
    db_dir_path(std::string(100, 'x').c_str(), b, sizeof b);
    EXPECT_EQ(std::string(b), "./kyreldb_data/databases/" + std::string(63, 'x'));
    // The internal name is cut to 129 bytes before it is split, so a separator
    // beyond that point is not seen.
    internal = std::string(140, 'd') + "__t";
    table_dir_path(internal.c_str(), b, sizeof b);
    EXPECT_EQ(std::string(b), "./kyreldb_data/databases/default/tables/" + std::string(63, 'd'));
    char small[16];
    db_wal_path("sales", small, sizeof small);
    EXPECT_STREQ(small, "./kyreldb_data/");
}

TEST_F(TempCwd, EnsureParentDirsCreatesTree) {
    ensure_parent_dirs();
    for (const char* p :
         {"./kyreldb_data", "./kyreldb_data/databases", "./kyreldb_data/databases/default",
          "./kyreldb_data/databases/default/tables", "./kyreldb_data/databases/config_db",
          "./kyreldb_data/databases/config_db/tables"})
        EXPECT_TRUE(is_dir(p)) << p;
    ensure_parent_dirs();  // idempotent
    ensure_database_storage_dirs("sales");
    EXPECT_TRUE(is_dir("./kyreldb_data/databases/sales/tables"));
}

TEST_F(TempCwd, FileSize) {
    EXPECT_EQ(file_size_bytes(nullptr), 0u);
    EXPECT_EQ(file_size_bytes("missing"), 0u);
    FILE* f = fopen("f.bin", "wb");
    ASSERT_NE(f, nullptr);
    fwrite("12345", 1, 5, f);
    fclose(f);
    EXPECT_EQ(file_size_bytes("f.bin"), 5u);
}

}  // namespace
