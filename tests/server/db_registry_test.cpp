// Database registry: databases.meta load/save, creation rules and internal
// table names.  Each test runs in a fresh temporary working directory.
#include "storage/db_registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "storage/paths.h"
#include "storage/table.h"

namespace {

struct RegistryTest : ::testing::Test {
    std::string old_cwd, dir;
    void SetUp() override {
        char buf[PATH_MAX];
        ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
        old_cwd = buf;
        char tmpl[] = "/tmp/kyrel_registry_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        ASSERT_EQ(chdir(dir.c_str()), 0);
        ensure_parent_dirs();
    }
    void TearDown() override {
        char err[256];
        EXPECT_EQ(chdir(old_cwd.c_str()), 0);
        remove_path_recursive(dir.c_str(), err, sizeof err);
    }
    static std::string meta() {
        std::ifstream f(KYREL_DATA_ROOT "/databases.meta");
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    static void write_meta(const std::string& text) {
        std::ofstream f(KYREL_DATA_ROOT "/databases.meta");
        f << text;
    }
};

TEST_F(RegistryTest, FreshDirectoryAndExistingList) {
    char err[256] = "";
    ASSERT_EQ(databases_load(err, sizeof err), 0) << err;
    EXPECT_EQ(meta(), "default\nconfig_db\n");

    write_meta("  sales \n\nbad__name\n");
    ASSERT_EQ(databases_load(err, sizeof err), 0) << err;
    // Stored names keep loading even when a client could not create them now.
    EXPECT_EQ(meta(), "sales\nbad__name\ndefault\nconfig_db\n");
    EXPECT_EQ(g_databases.count, 4);
    struct stat st;
    EXPECT_EQ(stat(KYREL_DATABASES_DIR "/sales/tables", &st), 0);
    EXPECT_NE(access(KYREL_DATA_ROOT "/databases.meta.tmp", F_OK), 0);  // temp file renamed

    // A list that says nothing new is not written again (a full disk must
    // still open): the file keeps its inode.
    struct stat before, after;
    ASSERT_EQ(stat(KYREL_DATA_ROOT "/databases.meta", &before), 0);
    ASSERT_EQ(databases_load(err, sizeof err), 0) << err;
    ASSERT_EQ(database_create_if_missing("sales", err, sizeof err), 0) << err;
    ASSERT_EQ(stat(KYREL_DATA_ROOT "/databases.meta", &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
}

// Skipping a name would hide that database's tables: a damaged list is
// refused with the file's name and what is wrong.
TEST_F(RegistryTest, DamagedListIsRefusedWithItsName) {
    const struct {
        const char* text;
        const char* what;
    } cases[] = {
        {"", "is empty"},
        {"sales\ndefau", "cut short"},
        {"sales\nSALES\n", "line 2: database SALES is listed twice"},
        {"sales\nabcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabcdefghijklmnop\n",
         "line 2: "},  // longer than a name may be
    };
    for (const auto& c : cases) {
        write_meta(c.text);
        char err[256] = "";
        EXPECT_EQ(databases_load(err, sizeof err), -1) << c.text;
        EXPECT_NE(strstr(err, "databases.meta: "), nullptr) << err;
        EXPECT_NE(strstr(err, c.what), nullptr) << c.text << " -> " << err;
        EXPECT_EQ(meta(), c.text);  // left as it was
    }
}

TEST_F(RegistryTest, UnreadableFileIsAnErrorNotAReset) {
    char err[256] = "";
    ASSERT_EQ(mkdir(KYREL_DATA_ROOT "/databases.meta", 0755), 0);  // exists, cannot be read
    EXPECT_EQ(databases_load(err, sizeof err), -1);
    EXPECT_NE(std::string(err).find("databases.meta"), std::string::npos) << err;
}

TEST_F(RegistryTest, CreateRules) {
    char err[256] = "";
    ASSERT_EQ(databases_load(err, sizeof err), 0);
    ASSERT_EQ(database_create("sales", err, sizeof err), 0) << err;
    EXPECT_EQ(database_exists("Sales"), 1);
    EXPECT_EQ(database_create("SALES", err, sizeof err), -1);
    EXPECT_STREQ(err, "database already exists");
    EXPECT_EQ(database_create("x__y", err, sizeof err), -1);
    EXPECT_STREQ(err, "invalid database name");
    EXPECT_EQ(database_create("..", err, sizeof err), -1);
    EXPECT_STREQ(err, "invalid database name");
    EXPECT_EQ(database_create_if_missing("sales", err, sizeof err), 0);
    EXPECT_EQ(meta(), "default\nconfig_db\nsales\n");
    for (int i = g_databases.count; i < KYREL_MAX_DATABASES; ++i)
        ASSERT_EQ(database_create(("db" + std::to_string(i)).c_str(), err, sizeof err), 0) << err;
    EXPECT_EQ(database_create("one_more", err, sizeof err), -1);
    EXPECT_STREQ(err, "too many databases");
}

TEST(InternalNames, MakeSplitResolve) {
    struct Case {
        const char *db, *table, *internal;
    } cases[] = {
        {"Default", "orders", "orders"},
        {nullptr, "orders", "orders"},
        {"", "t", "t"},
        {"sales", "orders", "sales__orders"},
        {" 'Sales' ", "\"orders\"", "Sales__orders"},
    };
    for (const auto& c : cases) {
        char out[KYREL_INTERNAL_NAME_SIZE];
        make_internal_table_name(c.db, c.table, out, sizeof out);
        EXPECT_STREQ(out, c.internal);
    }
    char db[64], tb[64];
    split_internal_table_name("sales__orders__x", db, sizeof db, tb, sizeof tb);
    EXPECT_STREQ(db, "sales");
    EXPECT_STREQ(tb, "orders__x");
    split_internal_table_name("plain", db, sizeof db, tb, sizeof tb);
    EXPECT_STREQ(db, "default");
    EXPECT_STREQ(tb, "plain");

    TableSchema s{};
    char err[256], out[KYREL_INTERNAL_NAME_SIZE];
    ASSERT_EQ(table_create("Sales__orders", &s, err, sizeof err), 0);
    ASSERT_EQ(table_create("orders2", &s, err, sizeof err), 0);
    EXPECT_EQ(resolve_table_for_session("sales", "ORDERS", out, sizeof out), 0);
    EXPECT_STREQ(out, "sales__ORDERS");
    // A missing table in another database does not fall back to "default".
    EXPECT_EQ(resolve_table_for_session("sales", "orders2", out, sizeof out), -1);
    EXPECT_EQ(resolve_table_for_session(nullptr, "orders2", out, sizeof out), 0);
}

}  // namespace
