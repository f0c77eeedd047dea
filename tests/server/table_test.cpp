// Tables: slots, protected names, ALTER TABLE with row rewrite, DROP TABLE
// with its directory, DROP INDEX and index owner search.
#include "storage/table.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>

#include "storage/paths.h"
#include "storage/db_registry.h"
#include "storage/row_version.h"

namespace {

// Returns every slot to its never-used state so each test starts empty.
void reset_tables() {
    RwWriteGuard g(&g_tables.lock);
    for (int i = 0; i < g_tables.count; ++i) {
        Table& t = g_tables.slots[i];
        pk_latest_map_clear(&t);
        sec_index_maps_clear_all(&t);
        while (t.rows) {
            VersionedRow* n = t.rows->next;
            versioned_row_free(t.rows);
            t.rows = n;
        }
        pthread_rwlock_destroy(&t.lock);
        memset(static_cast<void*>(&t), 0, sizeof t);
    }
    g_tables.count = 0;
}

TableSchema schema_of(std::initializer_list<std::pair<const char*, int>> cols) {
    TableSchema s{};
    for (auto& c : cols) {
        ColumnDef& d = s.columns[s.column_count++];
        snprintf(d.name, sizeof d.name, "%s", c.first);
        d.type = c.second;
    }
    s.columns[0].is_primary_key = 1;
    snprintf(s.primary_key, sizeof s.primary_key, "%s", s.columns[0].name);
    return s;
}

void add_row(Table* t, uint64_t seq, const char* key, const char* json) {
    VersionedRow* r = versioned_row_new(seq, key, json, json == nullptr);
    r->next = t->rows;
    t->rows = r;
    t->row_memory_bytes += r->mem_size;
    pk_latest_map_update(t, r);
}

void add_index(Table* t, const char* name, const char* column) {
    IndexDef& d = t->indexes[t->index_count++];
    indexdef_init(&d);
    snprintf(d.name, sizeof d.name, "%s", name);
    snprintf(d.column, sizeof d.column, "%s", column);
    indexdef_ensure_defaults(&d);
}

std::string latest(Table* t, const char* key) {
    char* json = nullptr;
    if (versioned_get_latest_json(t, key, &json, nullptr, nullptr) != 0 || !json) return "";
    std::string s = json;
    free(json);
    return s;
}

struct TableTest : ::testing::Test {
    std::string old_cwd, dir;
    char err[256] = "";
    void SetUp() override {
        reset_tables();
        char buf[PATH_MAX];
        ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
        old_cwd = buf;
        char tmpl[] = "/tmp/kyrel_table_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        ASSERT_EQ(chdir(dir.c_str()), 0);
        ensure_parent_dirs();
    }
    void TearDown() override {
        EXPECT_EQ(chdir(old_cwd.c_str()), 0);
        char e[256];
        remove_path_recursive(dir.c_str(), e, sizeof e);
        reset_tables();
    }
    Table* create(const char* name, const TableSchema& s) {
        EXPECT_EQ(table_create(name, &s, err, sizeof err), 0) << err;
        int slot = table_find_index(name);
        return slot >= 0 ? &g_tables.slots[slot] : nullptr;
    }
};

TEST_F(TableTest, CreateAndSlotLimit) {
    TableSchema s = schema_of({{"id", 1}});
    Table* t = create(" \"t\" ", s);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t->schema.name, "t");
    EXPECT_EQ(t->next_segment, 1u);
    EXPECT_EQ(table_create("T", &s, err, sizeof err), -1);
    EXPECT_STREQ(err, "table already exists");
    ASSERT_EQ(table_drop_internal("t", 0, err, sizeof err), 0);
    for (int i = 1; i < KYREL_MAX_TABLES; ++i)
        ASSERT_EQ(table_create(("t" + std::to_string(i)).c_str(), &s, err, sizeof err), 0);
    // The dropped slot still counts.
    EXPECT_EQ(table_create("t", &s, err, sizeof err), -1);
    EXPECT_STREQ(err, "too many tables");
}

TEST_F(TableTest, ProtectedNames) {
    struct Case {
        const char* name;
        int prot;
    } cases[] = {
        {"config_db__anything", 1},
        {"CONFIG_DB__x", 1},
        {"kyreldb_users", 1},
        {"sales__KYRELDB_USER_ROLES", 1},
        {"a__kyreldb_stored_procedures", 1},
        {"sales__orders", 0},
        {"kyreldb_usersx", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(table_is_protected_internal_name(c.name), c.prot) << c.name;
    create("config_db__kyreldb_users", schema_of({{"username", 3}}));
    EXPECT_EQ(table_drop_internal("config_db__kyreldb_users", 0, err, sizeof err), -1);
    EXPECT_STREQ(err, "cannot drop system table");
    EXPECT_EQ(table_apply_alter("config_db__kyreldb_users", ALTER_OP_DROP_COLUMN, nullptr,
                                "username", nullptr, nullptr, 0, 0, err, sizeof err),
              -1);
    EXPECT_STREQ(err, "cannot alter system table");
}

TEST_F(TableTest, AlterRewritesNewestRows) {
    Table* t = create("sales__t", schema_of({{"id", 1}, {"a", 3}, {"b", 1}}));
    ASSERT_NE(t, nullptr);
    add_row(t, 1, "1", "{\"id\":1,\"a\":\"old\",\"b\":1}");
    add_row(t, 2, "1", "{\"b\":2,\"id\":1,\"a\":\"x\",\"junk\":9}");
    add_row(t, 3, "2", "{\"id\":2,\"b\":5}");
    VersionedRow* old_version = t->rows->next->next;  // seq 1, kept as it was

    ColumnDef flag{};
    snprintf(flag.name, sizeof flag.name, "flag");
    flag.type = COL_TYPE_BOOL;
    flag.is_primary_key = 1;  // forced off
    ASSERT_EQ(table_apply_alter("sales__t", ALTER_OP_ADD_COLUMN, &flag, nullptr, nullptr, "TRUE", 1,
                                0, err, sizeof err),
              0)
        << err;
    EXPECT_EQ(t->schema.column_count, 4);
    EXPECT_EQ(t->schema.columns[3].is_primary_key, 0);
    EXPECT_EQ(latest(t, "1"), "{\"id\":1,\"a\":\"x\",\"b\":2,\"flag\":true}");
    EXPECT_EQ(latest(t, "2"), "{\"id\":2,\"b\":5,\"flag\":true}");
    EXPECT_STREQ(old_version->json, "{\"id\":1,\"a\":\"old\",\"b\":1}");

    ASSERT_EQ(table_apply_alter("sales__t", ALTER_OP_RENAME_COLUMN, nullptr, "a", "c", nullptr, 0,
                                0, err, sizeof err),
              0)
        << err;
    EXPECT_EQ(latest(t, "1"), "{\"id\":1,\"c\":\"x\",\"b\":2,\"flag\":true}");
    ASSERT_EQ(table_apply_alter("sales__t", ALTER_OP_DROP_COLUMN, nullptr, "B", nullptr, nullptr, 0,
                                0, err, sizeof err),
              0)
        << err;
    EXPECT_EQ(latest(t, "1"), "{\"id\":1,\"c\":\"x\",\"flag\":true}");

    uint64_t sum = 0;
    for (VersionedRow* r = t->rows; r; r = r->next) sum += r->mem_size;
    EXPECT_EQ(t->row_memory_bytes, sum);

    // Replays of changes already applied succeed without change.
    EXPECT_EQ(table_apply_alter("sales__t", ALTER_OP_ADD_COLUMN, &flag, nullptr, nullptr, nullptr,
                                0, 1, err, sizeof err),
              0);
    EXPECT_EQ(table_apply_alter("sales__t", ALTER_OP_RENAME_COLUMN, nullptr, "a", "c", nullptr, 0,
                                1, err, sizeof err),
              0);
    EXPECT_EQ(table_apply_alter("sales__t", ALTER_OP_DROP_COLUMN, nullptr, "b", nullptr, nullptr, 0,
                                1, err, sizeof err),
              0);
    EXPECT_EQ(table_apply_alter("nope", ALTER_OP_DROP_COLUMN, nullptr, "b", nullptr, nullptr, 0, 1,
                                err, sizeof err),
              0);
    EXPECT_EQ(t->schema.column_count, 3);
}

TEST_F(TableTest, AlterErrors) {
    Table* t = create("t", schema_of({{"id", 1}, {"a", 3}, {"n", 1}}));
    ASSERT_NE(t, nullptr);
    add_index(t, "ix_n", "n");
    add_row(t, 1, "1", "{\"id\":1,\"a\":\"x\"}");
    ColumnDef dup{};
    snprintf(dup.name, sizeof dup.name, "A");
    ColumnDef bad_default{};
    snprintf(bad_default.name, sizeof bad_default.name, "z");
    bad_default.type = COL_TYPE_INT;
    struct Case {
        int op;
        const ColumnDef* added;
        const char *from, *to, *deflt;
        const char* msg;
    } cases[] = {
        {ALTER_OP_ADD_COLUMN, &dup, nullptr, nullptr, nullptr, "column already exists"},
        {ALTER_OP_DROP_COLUMN, nullptr, "missing", nullptr, nullptr, "column not found"},
        {ALTER_OP_DROP_COLUMN, nullptr, "ID", nullptr, nullptr, "cannot drop primary key column"},
        {ALTER_OP_DROP_COLUMN, nullptr, "n", nullptr, nullptr,
         "cannot drop column used by an index"},
        {ALTER_OP_RENAME_COLUMN, nullptr, "missing", "q", nullptr, "column not found"},
        {ALTER_OP_RENAME_COLUMN, nullptr, "a", "N", nullptr, "target column already exists"},
        {ALTER_OP_RENAME_COLUMN, nullptr, "id", "q", nullptr, "cannot rename primary key column"},
        {ALTER_OP_RENAME_COLUMN, nullptr, "n", "q", nullptr,
         "cannot rename column used by an index"},
        {9, nullptr, nullptr, nullptr, nullptr, "unsupported ALTER TABLE operation"},
        {ALTER_OP_ADD_COLUMN, &bad_default, nullptr, nullptr, "abc",
         "bad value type for column 'z'"},
    };
    for (const auto& c : cases) {
        err[0] = '\0';
        EXPECT_EQ(table_apply_alter("t", c.op, c.added, c.from, c.to, c.deflt, c.deflt != nullptr,
                                    0, err, sizeof err),
                  -1)
            << c.msg;
        EXPECT_STREQ(err, c.msg);
    }
    EXPECT_EQ(t->schema.column_count, 3);  // nothing installed by a failure
    EXPECT_EQ(table_apply_alter("nope", ALTER_OP_DROP_COLUMN, nullptr, "a", nullptr, nullptr, 0, 0,
                                err, sizeof err),
              -1);
    EXPECT_STREQ(err, "table not found");
    ColumnDef extra{};
    for (int i = 3; i < KYREL_MAX_COLUMNS; ++i) {
        snprintf(extra.name, sizeof extra.name, "c%d", i);
        ASSERT_EQ(table_apply_alter("t", ALTER_OP_ADD_COLUMN, &extra, nullptr, nullptr, nullptr, 0,
                                    0, err, sizeof err),
                  0)
            << err;
    }
    snprintf(extra.name, sizeof extra.name, "c_last");
    EXPECT_EQ(table_apply_alter("t", ALTER_OP_ADD_COLUMN, &extra, nullptr, nullptr, nullptr, 0, 0,
                                err, sizeof err),
              -1);
    EXPECT_STREQ(err, "too many columns");
}

// The drop itself keeps the files (the catalog is saved first); removing
// them is the separate last step.
TEST_F(TableTest, DropTableRemovesDirectory) {
    Table* t = create("sales__orders", schema_of({{"id", 1}}));
    ASSERT_NE(t, nullptr);
    char tdir[512];
    table_dir_path("sales__orders", tdir, sizeof tdir);
    ensure_database_storage_dirs("sales");
    ensure_dir(tdir);
    std::ofstream(std::string(tdir) + "/manifest.meta") << "x\n";
    ASSERT_EQ(table_drop_internal("SALES__orders", 0, err, sizeof err), 0) << err;
    struct stat st;
    EXPECT_EQ(stat(tdir, &st), 0);
    ASSERT_EQ(table_remove_files("sales__orders", err, sizeof err), 0) << err;
    EXPECT_NE(stat(tdir, &st), 0);
    EXPECT_EQ(stat(KYREL_DATABASES_DIR "/sales/tables", &st), 0);  // only the table's own dir
    EXPECT_EQ(table_find_index("sales__orders"), -1);
    EXPECT_EQ(table_drop_internal("sales__orders", 1, err, sizeof err), 1);
    EXPECT_EQ(table_drop_internal("sales__orders", 0, err, sizeof err), -1);
    EXPECT_STREQ(err, "table not found");
    // A table whose directory never existed drops cleanly.
    create("t2", schema_of({{"id", 1}}));
    err[0] = '\0';
    EXPECT_EQ(table_drop_internal("t2", 0, err, sizeof err), 0);
    EXPECT_STREQ(err, "");
}

TEST_F(TableTest, DropIndexAndOwnerSearch) {
    Table* a = create("sales__a", schema_of({{"id", 1}, {"x", 1}, {"y", 1}}));
    Table* b = create("sales__b", schema_of({{"id", 1}, {"x", 1}}));
    create("other__c", schema_of({{"id", 1}, {"x", 1}}));
    add_index(a, "ix_x", "x");
    add_index(a, "ix_y", "y");
    add_index(b, "ix_x", "x");
    add_index(&g_tables.slots[table_find_index("other__c")], "only_c", "x");
    ASSERT_EQ(sec_index_map_set(&a->sec_maps[1], "1", "7"), 0);

    char out[KYREL_INTERNAL_NAME_SIZE];
    EXPECT_EQ(resolve_index_target_db("sales", "IX_X", "", out, sizeof out, err, sizeof err), -1);
    EXPECT_STREQ(err, "index name is ambiguous; use DROP INDEX name ON table");
    EXPECT_EQ(resolve_index_target_db("sales", "only_c", nullptr, out, sizeof out, err, sizeof err),
              -1);
    EXPECT_STREQ(err, "index not found");
    ASSERT_EQ(resolve_index_target_db("sales", "ix_y", nullptr, out, sizeof out, err, sizeof err),
              0);
    EXPECT_STREQ(out, "sales__a");
    ASSERT_EQ(resolve_index_target_db("sales", "whatever", "b", out, sizeof out, err, sizeof err),
              0);
    EXPECT_STREQ(out, "sales__b");
    EXPECT_EQ(resolve_index_target_db("sales", "ix_y", nullptr, out, 4, err, sizeof err), -1);
    EXPECT_STREQ(err, "table name too long");

    char tdir[512];
    table_dir_path("sales__a", tdir, sizeof tdir);
    ensure_database_storage_dirs("sales");
    ensure_dir(tdir);
    std::string idx = std::string(tdir) + "/ix_x.idx";
    std::ofstream(idx) << "log\n";
    int skipped = -1;
    ASSERT_EQ(table_drop_index_internal("sales__a", "IX_X", 0, &skipped, err, sizeof err), 0)
        << err;
    EXPECT_EQ(skipped, 0);
    EXPECT_NE(access(idx.c_str(), F_OK), 0);
    ASSERT_EQ(a->index_count, 1);
    EXPECT_STREQ(a->indexes[0].name, "ix_y");
    EXPECT_EQ(sec_index_find_value_entry(&a->sec_maps[0], "7")->keys->key, std::string("1"));
    EXPECT_EQ(a->sec_maps[1].enabled, 0u);
    EXPECT_EQ(table_drop_index_internal("sales__a", "ix_x", 1, &skipped, err, sizeof err), 0);
    EXPECT_EQ(skipped, 1);
    EXPECT_EQ(table_drop_index_internal("sales__a", "ix_x", 0, &skipped, err, sizeof err), -1);
    EXPECT_STREQ(err, "index not found");
    EXPECT_EQ(table_index_uses_column(a, "Y"), 1);
    EXPECT_EQ(table_index_uses_column(a, "x"), 0);
}

TEST_F(TableTest, RemovePathRecursive) {
    ASSERT_EQ(mkdir("tree", 0755), 0);
    ASSERT_EQ(mkdir("tree/sub", 0755), 0);
    std::ofstream("tree/sub/f") << "1";
    std::ofstream("outside") << "keep";
    ASSERT_EQ(symlink("../outside", "tree/link"), 0);
    EXPECT_EQ(remove_path_recursive("tree", err, sizeof err), 0) << err;
    EXPECT_NE(access("tree", F_OK), 0);
    EXPECT_EQ(access("outside", F_OK), 0);  // links are not followed
    EXPECT_EQ(remove_path_recursive("missing", err, sizeof err), 0);
    EXPECT_EQ(remove_path_recursive("", err, sizeof err), 0);
}

}  // namespace
