// Database registry, databases.meta and internal table names.
//
// databases.meta ("./kyreldb_data/databases.meta") holds one database name per
// line ("%s\n") in registry order.  It is always rewritten whole: written to
// "databases.meta.tmp", fsynced, renamed over the old file, and the directory
// fsynced, so a crash leaves either the old or the new list.
//
// Internal table name: "%s__%s" (database, two underscores, table) for every
// database other than "default"; for "default" the plain table name.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

constexpr int KYREL_MAX_DATABASES = 64;
constexpr size_t KYREL_INTERNAL_NAME_SIZE = 130;

// The registered databases in registry order (the order of databases.meta).
struct DatabaseRegistry {
    pthread_rwlock_t lock;                // lock order: storage/lock_order.h
    char names[KYREL_MAX_DATABASES][64];  // guarded by lock
    int32_t count;                        // guarded by lock
};
extern DatabaseRegistry g_databases;

// Slot of the database (canonicalised, case-insensitive), or -1.  Caller holds
// g_databases.lock.
int database_find_index_unlocked(const char* name);
// 1 when registered, else 0 (takes the read lock).
int database_exists(const char* name);
// Adds a client-supplied name (copy_ident_checked, label "database name").
// Existing: 0 when allow_existing, else "database already exists".  Full:
// "too many databases".  Caller holds the write lock.
int database_add_unlocked(const char* name, int allow_existing, char* err, size_t errlen);
// CREATE DATABASE from a client: add, create directories, save databases.meta.
// Whether CREATE DATABASE name may go ahead, changing nothing: 0 with the
// checked name in canon, or -1 (a refused name, "database already exists",
// "too many databases"). The caller holds g_checkpoint_lock, under which
// databases are created, so the answer holds until it creates it.
int database_create_check(const char* name, char* canon, size_t cap, char* err, size_t errlen);
int database_create(const char* name, char* err, size_t errlen);
// Start-up bootstrap and WAL replay (names not held to the client rules);
// NULL means "default".
int database_create_if_missing(const char* name, char* err, size_t errlen);
// Rewrites databases.meta atomically; -1 "cannot write databases meta".
int databases_save(char* err, size_t errlen);
// databases_save when the last save failed, else 0 (the checkpoint's step).
int databases_save_if_stale(char* err, size_t errlen);
// Start-up: rebuilds the registry from databases.meta (or "default",
// "config_db" when the file does not exist) and rewrites it.  A file that
// exists but cannot be read is an error (-1 with a message); start-up prints it
// and exits 1 rather than replace the list.
int databases_load(char* err, size_t errlen);

void make_internal_table_name(const char* database, const char* table, char* out, size_t capacity);
void split_internal_table_name(const char* internal, char* db_out, size_t db_capacity,
                               char* table_out, size_t table_capacity);
// 0 when the table exists in the session's database (NULL/empty = "default"),
// else -1; out holds the built internal name in both cases.
int resolve_table_for_session(const char* session_db, const char* table, char* out,
                              size_t capacity);

// Writes a whole metadata file through "<path>.tmp", fsync, rename and a
// directory fsync.  -1 with "cannot write <path>" style message on failure.
int meta_file_write_atomic(const char* path, const char* data, size_t len, char* err,
                           size_t errlen);
// Start-up: removes "<path>.tmp" left by a writer that died before its
// rename. The file at path is still the last one written whole, so the
// leftover holds nothing that is needed.
void meta_file_remove_leftover(const char* path);
