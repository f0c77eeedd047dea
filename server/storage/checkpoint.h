// Checkpoints: every live table's newest rows into a new segment, chain
// compaction (unless a cursor pins the table), checkpoint sequence files, and
// truncation of every write-ahead log.
//
// Rule (g_checkpoint_lock): no change may be applied or logged while a
// checkpoint runs, or it could land in neither the segment nor the log.
//  - The commit thread holds g_checkpoint_lock (a plain mutex) around every
//    job it applies; the changes inside a job use the change road's _locked
//    forms, which expect it held, so it is never taken twice.
//  - A checkpoint is started only with g_checkpoint_lock held:
//    checkpoint_all_tables() when the caller already holds it (the commit
//    thread between or inside its jobs), or checkpoint_try_all_tables()
//    from any other thread (auto-vacuum), which only tries the lock.
//  - After an applied ALTER TABLE or DROP TABLE (catalog saved, WAL record
//    written) the commit thread runs checkpoint_all_tables() at once, so the
//    logs never hold records older than the catalog.
// Lock order: storage/lock_order.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

struct Table;
struct VersionedRow;

struct DbCheckpoint {
    char database[64];        // canonical name, compared case-insensitively
    uint64_t checkpoint_seq;  // replay of the database's log skips seq <= this
};

constexpr int DB_CHECKPOINT_SLOTS = 64;
// Each database's last checkpoint. No lock of its own: filled at start-up,
// changed only under g_checkpoint_lock.
struct DbCheckpointList {
    DbCheckpoint items[DB_CHECKPOINT_SLOTS];
    int32_t count;  // used entries, at the front of items
};
extern DbCheckpointList g_db_checkpoints;

extern std::mutex g_checkpoint_lock;

int db_checkpoint_find_index_unlocked(const char* db);
uint64_t db_checkpoint_get(const char* db);
void db_checkpoint_set(const char* db, uint64_t seq);
int db_checkpoint_save_one(const char* db, uint64_t seq, char* err, size_t errlen);
// Start-up loaders. A missing file is checkpoint 0; a file that exists but
// does not hold one number is damage: -1 with "<path>: <what is wrong>".
int db_checkpoint_load_one(const char* db, char* err, size_t errlen);
int db_checkpoint_load_all(char* err, size_t errlen);
int checkpoint_meta_save(char* err, size_t errlen);
int checkpoint_meta_load(char* err, size_t errlen);
// The bootstrap checkpoint file in use (the configured path or the default).
const char* checkpoint_meta_path();

void free_versioned_rows_chain(VersionedRow* first);
// Caller holds the table's write lock.
int table_checkpoint_compact(Table* t, uint64_t checkpoint_seq, char* err, size_t errlen);
// Caller holds g_checkpoint_lock. 0 / -1.
int checkpoint_all_tables(char* err, size_t errlen);
// Tries g_checkpoint_lock: 1 when it is busy (nothing done), else the result
// of checkpoint_all_tables.
int checkpoint_try_all_tables(char* err, size_t errlen);
