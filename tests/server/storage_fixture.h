// Test fixture for the storage files: each test runs in its own temporary
// working directory (the data root is "./kyreldb_data"), and a "restart"
// drops every in-memory table and reloads from disk in start-up order.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/config.h"
#include "base/stats.h"
#include "base/text_util.h"
#include "exec/row_change.h"
#include "query/simple_parse.h"
#include "runtime/wal_replay.h"
#include "storage/catalog.h"
#include "storage/checkpoint.h"
#include "storage/cursor_pins.h"
#include "storage/db_registry.h"
#include "storage/index_file.h"
#include "storage/paths.h"
#include "storage/pk_map.h"
#include "storage/row_changes.h"
#include "storage/row_version.h"
#include "storage/sec_index.h"
#include "storage/segment.h"
#include "storage/table.h"
#include "storage/wal.h"
#include "storage_reset.h"

namespace kt {

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void write_file(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

inline bool file_exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Forgets every table and sequence as a process exit would.
inline void drop_memory_state() { kyrel_storage::drop_memory_state(); }

// Start-up storage order: loaders, replay, index rebuild.
inline void start_storage() {
    char err[256] = {0};
    ASSERT_EQ(kyrel_storage::load_storage(err, sizeof err), 0) << err;
}

inline void restart() {
    drop_memory_state();
    start_storage();
}

// Adds an index on one column of t as CREATE INDEX leaves it: definition,
// indexes.meta and the index files (no log record).
inline void add_index(Table* t, const char* name, const char* column, bool unique) {
    RwWriteGuard g(&t->lock);
    IndexDef& d = t->indexes[t->index_count++];
    indexdef_init(&d);
    snprintf(d.name, sizeof d.name, "%s", name);
    snprintf(d.column, sizeof d.column, "%s", column);
    d.unique = unique ? 1 : 0;
    indexdef_ensure_defaults(&d);
    char err[256];
    ASSERT_EQ(indexes_meta_save(t, err, sizeof err), 0) << err;
    ASSERT_EQ(rebuild_table_indexes(t, err, sizeof err), 0) << err;
}

class StorageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kyrel_storage_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        char cwd[1024];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        old_cwd_ = cwd;
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        config_reset_defaults();
        g_cfg.wal_sync_every = 1;
        memset(g_cursor_registry.pins, 0, sizeof g_cursor_registry.pins);
        drop_memory_state();
        ensure_parent_dirs();
        start_storage();
    }
    void TearDown() override {
        drop_memory_state();
        if (chdir(old_cwd_.c_str()) != 0) ADD_FAILURE() << "chdir back failed";
        char err[256];
        remove_path_recursive(dir_.c_str(), err, sizeof err);
    }

    // Only the catalogs are read again (no replay), to test the loader alone.
    void drop_and_load() {
        kt::drop_memory_state();
        char err[256];
        ASSERT_EQ(databases_load(err, sizeof err), 0) << err;
        ASSERT_EQ(catalog_load(err, sizeof err), 0) << err;
    }

    Table* table(const char* internal) {
        int i = table_find_index(internal);
        return i < 0 ? nullptr : &g_tables.slots[i];
    }

    // The commit thread's steps for CREATE TABLE: create, save catalog, log.
    void create_table(const char* internal, const char* sql) {
        TableSchema s;
        memset(&s, 0, sizeof s);
        char err[256] = {0};
        ASSERT_EQ(parse_create_table_sql(sql, &s, err, sizeof err), 0) << err;
        ASSERT_EQ(table_create(internal, &s, err, sizeof err), 0) << err;
        char db[64], tn[130];
        split_internal_table_name(internal, db, sizeof db, tn, sizeof tn);
        ASSERT_EQ(catalog_save_db(db, err, sizeof err), 0) << err;
        ASSERT_EQ(
            wal_append_record(WAL_OP_CREATE_TABLE, next_seq(), internal, "", sql, err, sizeof err),
            0)
            << err;
    }
    void insert(const char* internal, const char* key, const char* row) {
        uint64_t seq = next_seq();
        const char* rows[] = {row};
        const char* keys[] = {key};
        char err[256] = {0};
        ASSERT_EQ(table_apply_insert_batch_with_wal(internal, rows, keys, &seq, 1, err, sizeof err),
                  0)
            << err;
    }
    // UPDATE and DELETE: apply, then log.
    void put(const char* internal, const char* key, const char* row) {
        uint64_t seq = next_seq();
        char err[256] = {0};
        ASSERT_EQ(table_apply_insert(internal, seq, row, err, sizeof err), 0) << err;
        ASSERT_EQ(wal_append_record(WAL_OP_UPDATE, seq, internal, key, row, err, sizeof err), 0)
            << err;
    }
    void remove(const char* internal, const char* key) {
        uint64_t seq = next_seq();
        char err[256] = {0};
        ASSERT_EQ(table_apply_delete(internal, seq, key, err, sizeof err), 0) << err;
        ASSERT_EQ(wal_append_record(WAL_OP_DELETE, seq, internal, key, "", err, sizeof err), 0)
            << err;
    }
    void checkpoint() {
        std::lock_guard<std::mutex> g(g_checkpoint_lock);
        char err[256] = {0};
        ASSERT_EQ(checkpoint_all_tables(err, sizeof err), 0) << err;
    }
    // Newest JSON of the key, "" when absent or deleted.
    std::string latest(const char* internal, const char* key) {
        Table* t = table(internal);
        if (!t) return "";
        RwReadGuard g(&t->lock);
        char* json = nullptr;
        int deleted = 0;
        if (versioned_get_latest_json(t, key, &json, nullptr, &deleted) != 0 || deleted || !json) {
            free(json);
            return "";
        }
        std::string out = json;
        free(json);
        return out;
    }
    int chain_length(Table* t) {
        int n = 0;
        for (VersionedRow* v = t->rows; v; v = v->next) ++n;
        return n;
    }

    std::string dir_, old_cwd_;
};

}  // namespace kt
