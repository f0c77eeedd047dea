// Tables: the schema records and column look-up in them, the global table
// array, look-up by internal name and the operations that change a table as a
// whole (create, ALTER TABLE, DROP TABLE, DROP INDEX).
//
// Lock order: storage/lock_order.h.
// Slots are handed out in order and never reused while the server runs; a
// slot is live while dropped == 0 and schema.name is not empty.
#pragma once

#include <set>
#include <string>

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "storage/ident.h"
#include "storage/pk_map.h"
#include "storage/sec_index.h"

struct VersionedRow;

constexpr int KYREL_MAX_TABLES = 128;
constexpr int KYREL_MAX_COLUMNS = 64;
constexpr int KYREL_MAX_INDEXES = 32;

struct ColumnDef {
    char name[64];
    int32_t type;        // ColumnType
    int32_t max_length;  // declared length of a string column, else 0 (not enforced)
    int32_t is_primary_key;
};

struct TableSchema {
    char name[130];  // internal table name
    int32_t column_count;
    ColumnDef columns[KYREL_MAX_COLUMNS];
    char primary_key[64];  // empty when the table has none
};

// Column index by exact name / case-insensitive name, or -1.
int schema_get_col(const TableSchema* schema, const char* name);
int schema_get_col_ci(const TableSchema* schema, const char* name);

struct Table {
    TableSchema schema;
    uint32_t dropped;
    VersionedRow* rows;  // newest first, all keys in one chain
    PkLatestMap pk_map;
    uint64_t row_memory_bytes;
    uint64_t active_segment;  // 0 = none yet
    uint64_t next_segment;    // 1 for a new table
    int32_t index_count;
    IndexDef indexes[KYREL_MAX_INDEXES];
    SecIndexMap sec_maps[KYREL_MAX_INDEXES];  // map i belongs to indexes[i]
    pthread_rwlock_t lock;                    // guards every field of the slot
    // 1 after a failed index-map addition: the maps may be partial and must not
    // answer lookups until a full rebuild (sec_index_maps_mark_valid).
    uint32_t sec_maps_invalid;
    // 1 after a failed write to an index file: the .idx files may miss events,
    // so lookups do not read them until a rebuild has rewritten them all.
    uint32_t index_files_stale;
};

// The table slots: slots[0 .. count) have been handed out.
struct TableList {
    pthread_rwlock_t lock = PTHREAD_RWLOCK_INITIALIZER;  // lock order: storage/lock_order.h
    Table slots[KYREL_MAX_TABLES];  // guarded by lock; a slot's fields by its own lock
    int32_t count = 0;              // guarded by lock
};
extern TableList g_tables;

// RAII guards over a pthread rwlock.  A NULL lock is ignored.
class RwReadGuard {
  public:
    explicit RwReadGuard(pthread_rwlock_t* l) : l_(l) {
        if (l_) pthread_rwlock_rdlock(l_);
    }
    ~RwReadGuard() {
        if (l_) pthread_rwlock_unlock(l_);
    }
    void unlock() {
        if (l_) {
            pthread_rwlock_unlock(l_);
            l_ = nullptr;
        }
    }
    RwReadGuard(const RwReadGuard&) = delete;
    RwReadGuard& operator=(const RwReadGuard&) = delete;

  private:
    pthread_rwlock_t* l_;
};

class RwWriteGuard {
  public:
    explicit RwWriteGuard(pthread_rwlock_t* l) : l_(l) {
        if (l_) pthread_rwlock_wrlock(l_);
    }
    ~RwWriteGuard() {
        if (l_) pthread_rwlock_unlock(l_);
    }
    void unlock() {
        if (l_) {
            pthread_rwlock_unlock(l_);
            l_ = nullptr;
        }
    }
    RwWriteGuard(const RwWriteGuard&) = delete;
    RwWriteGuard& operator=(const RwWriteGuard&) = delete;

  private:
    pthread_rwlock_t* l_;
};

// Slot of the live table whose internal name equals the canonicalised argument
// case-insensitively, or -1.  The _unlocked form expects g_tables.lock held.
int table_find_index_unlocked(const char* internal_name);
int table_find_index(const char* internal_name);
// The live table of that internal name, or nullptr with "table not found"
// (err may be NULL).
Table* table_find_live(const char* internal_name, char* err, size_t errlen);

// Under the table's read lock (after the look-up, never both locks at once):
// a heap copy of the newest version's JSON of key and its deleted flag. -1
// with "table not found" or "row not found".
int table_get_latest_row_by_key(const char* table_name, const char* key, char** out_json,
                                int* out_deleted, char* err, size_t errlen);

// Hands out slot g_tables.count for a new live table (schema copied, name set
// to the canonicalised internal name, empty chain, maps zeroed, pk map and lock
// initialised).  Returns the slot or -1 "too many tables".  Caller holds
// g_tables.lock for writing.  Used by table_create and the catalog loader.
int table_alloc_slot_unlocked(const char* internal_name, const TableSchema* schema, char* err,
                              size_t errlen);

int table_create(const char* internal_name, const TableSchema* schema, char* err, size_t errlen);
// CREATE TABLE as a client or the server makes it: every refusal ("table
// already exists", "too many tables", "invalid table name", a directory left
// by an earlier table that cannot be removed) comes before the WAL record
// (op 1, statement text sql); a failed record refuses the creation with
// nothing changed. Once logged the table is created and the catalog saved; a
// failed catalog save is 0 with the message in warning (the next checkpoint
// writes the catalog, replay creates the table until then). Caller holds
// g_checkpoint_lock.
int table_create_logged(const char* internal_name, const TableSchema* schema, const char* sql,
                        char* warning, size_t warnlen, char* err, size_t errlen);
// 1 when the internal name is a system table's (system_table_is_protected on
// its database and table parts): by hand only the local administrator
// changes its rows (session_table_resolve), and it is never altered or
// dropped.
int table_is_protected_internal_name(const char* internal_name);
int table_index_uses_column(const Table* table, const char* column);
int remove_path_recursive(const char* path, char* err, size_t errlen);
// The directory of every live table (table_dir_path of its stored name).
// Throws std::bad_alloc.
std::set<std::string> live_table_dirs();

// Builds the row in the new schema's shape (heap text in *out_row).
int row_rewrite_for_altered_schema(const char* row_json, const TableSchema* new_schema,
                                   const char* rename_from, const char* rename_to,
                                   const char* added_column, const char* default_text,
                                   char** out_row, char* err, size_t errlen);
// Caller holds the table's write lock.
int table_rewrite_latest_rows_for_alter(Table* table, const TableSchema* new_schema,
                                        const char* rename_from, const char* rename_to,
                                        const char* added_column, const char* default_text,
                                        char* err, size_t errlen);

// ALTER TABLE operation codes.
enum AlterOp : int32_t {
    ALTER_OP_ADD_COLUMN = 1,
    ALTER_OP_DROP_COLUMN = 2,
    ALTER_OP_RENAME_COLUMN = 3
};

// Writes the record of a change that has passed all its checks; 0, or -1
// with the message in err (the change is then refused, nothing changed).
struct AlterLog {
    int (*write)(void* ctx, char* err, size_t errlen);
    void* ctx;
};

// Applies one parsed ALTER TABLE: op, the added column (ADD), old and new
// names (DROP uses old_name; RENAME both), the DEFAULT text when has_default.
// Every refusal, the new shape of every row included, is decided before
// log->write is called (under the table's write lock); once it returned 0
// the change is applied and cannot fail. ddl_alter_table_from_sql (internal
// name, statement, replaying, err, log) is this after parse_alter_table_sql;
// it lives with the DDL parser.
//
// Replaying, a change the table already has is not refused: its row rewrite
// is made again (a projection onto the schema's columns, so doing it twice
// is harmless). The catalog may have been saved with the change before the
// rewritten rows were durable; replay then brings the rows to the schema.
int table_apply_alter(const char* internal_name, int op, const ColumnDef* added,
                      const char* old_name, const char* new_name, const char* default_text,
                      int has_default, int replaying, char* err, size_t errlen,
                      const AlterLog* log = nullptr);

// Whether DROP TABLE may go ahead, changing nothing: 0 with the table's name
// as stored in `stored`, 1 missing with if_exists, -1 "table not found" /
// "cannot drop system table".
int table_drop_check(const char* internal_name, int if_exists, char* stored, size_t stored_cap,
                     char* err, size_t errlen);
// 0 dropped, 1 missing with if_exists, -1 error; `stored` (may be NULL) gets
// the name as stored, which every later file operation must use. The table's
// files stay on disk: the caller saves the catalog first and then removes
// them with table_remove_files, so that a crash in between finds the table
// either whole (still in the catalog, its segment there) or gone, never half.
int table_drop_internal(const char* internal_name, int if_exists, char* err, size_t errlen,
                        char* stored = nullptr, size_t stored_cap = 0);
// Removes the directory of a table (manifest, index files, segments). 0, or
// -1 with "table dropped from catalog; file cleanup warning: ..." in err.
int table_remove_files(const char* internal_name, char* err, size_t errlen);
// DROP INDEX: indexes.meta without the index is its commit point (a failed
// write is -1 and leaves the index as it was). An index file that cannot be
// removed afterwards is 0 with the message in warning (may be NULL).
int table_drop_index_internal(const char* internal_name, const char* index_name, int if_exists,
                              int* out_skipped, char* err, size_t errlen, char* warning = nullptr,
                              size_t warnlen = 0);
int resolve_index_target_db(const char* database, const char* index_name, const char* table_name,
                            char* out, size_t capacity, char* err, size_t errlen);
