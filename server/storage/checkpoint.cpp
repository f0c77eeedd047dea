// Checkpoints and compaction.
//
// Checkpoint sequence files, text "%llu\n":
//   bootstrap: g_cfg.bootstrap_checkpoint_path (default
//              ./kyreldb_data/bootstrap.checkpoint.meta), holds g_checkpoint_seq,
//              which governs replay of ./kyreldb_data/main.wal;
//   database:  ./kyreldb_data/databases/<db>/checkpoint.meta, governs replay
//              of that database's main.wal.
// Replay skips records whose seq is not above their log's value. Each file is
// replaced atomically (temp file, fsync, rename, directory fsync).
//
// Order of a checkpoint at sequence C, chosen so that a crash at any point
// leaves every acknowledged change either in the named segment or in a log:
//   1. per table: segment N written and fsynced; chain compacted in memory
//      (unless a cursor pins the table); manifest renamed to name N; the
//      previous segment removed; indexes.meta and index files rewritten;
//   2. every database's catalog.meta (and databases.meta when its last save
//      failed): a schema change answered with a warning because its catalog
//      could not be written is settled here, before its record leaves the
//      log; the catalog follows the rows rewritten in its shape; then the
//      directory of every dropped table whose files a DROP TABLE could not
//      remove: once the log no longer holds the DROP, nothing but the
//      catalog would tell such a directory from a table the catalog lost,
//      and start-up refuses the latter;
//   3. bootstrap checkpoint file, then every database's checkpoint file;
//   4. every log truncated to 0 (and synced).
// A crash before 4 replays records that the segments already hold; replaying
// them again gives the same newest versions. A replayed ALTER TABLE whose
// change the catalog already has rewrites the rows again (table.h), so a
// crash between 2 and 4 leaves schema and rows agreeing.
// Invariant: no change is applied or logged while this runs (g_checkpoint_lock,
// see checkpoint.h).
#include "storage/checkpoint.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <set>
#include <string>
#include <vector>

#include "base/config.h"
#include "base/err.h"
#include "base/stats.h"
#include "storage/catalog.h"
#include "storage/cursor_pins.h"
#include "storage/db_registry.h"
#include "storage/ident.h"
#include "storage/index_file.h"
#include "storage/paths.h"
#include "storage/pk_map.h"
#include "storage/row_version.h"
#include "storage/segment.h"
#include "storage/table.h"
#include "storage/wal.h"

DbCheckpointList g_db_checkpoints;
std::mutex g_checkpoint_lock;

namespace {

void canonical_db_name(const char* db, char* out, size_t cap) {
    path_copy_component(out, cap, db ? db : "default");
    canonicalize_ident(out);
}

const char* bootstrap_checkpoint_file() {
    return g_cfg.bootstrap_checkpoint_path[0] ? g_cfg.bootstrap_checkpoint_path
                                              : KYREL_DATA_ROOT "/bootstrap.checkpoint.meta";
}

int write_seq_file(const char* path, uint64_t seq) {
    char text[32], werr[256];
    int n = snprintf(text, sizeof text, "%llu\n", (unsigned long long)seq);
    return meta_file_write_atomic(path, text, (size_t)n, werr, sizeof werr);
}

// Reads a checkpoint file: 1 when it does not exist, 0 and the number when it
// holds exactly one decimal number (the form written, "%llu\n"), -1 with
// "<path>: <what is wrong>" otherwise. Such a file is replaced whole, so
// anything else is damage, and guessing a number would either skip logged
// changes or replay ones the segments already hold.
int read_seq_file(const char* path, uint64_t* out, char* err, size_t errlen) {
    std::string text;
    const int got = read_file_whole(path, &text, err, errlen);
    if (got != 0) return got;
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') digits++;
    size_t end = digits;
    while (end < text.size() && (text[end] == '\n' || text[end] == '\r' || text[end] == ' ')) end++;
    if (digits == 0 || digits > 20 || end != text.size()) {
        set_errf(err, errlen, "%s: does not hold a checkpoint number (%s)", path,
                 text.empty() ? "the file is empty" : "unexpected text");
        return -1;
    }
    errno = 0;
    const unsigned long long v = strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE) {
        set_errf(err, errlen, "%s: checkpoint number out of range", path);
        return -1;
    }
    *out = v;
    return 0;
}

int truncate_log(const char* path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, KYREL_FILE_MODE);
    if (fd < 0) return -1;
    int rc = fsync(fd);
    if (close(fd) != 0) rc = -1;
    return rc;
}

void remove_segment_file(const Table* t, uint64_t segno) {
    char path[512];
    table_segment_path(t->schema.name, segno, path, sizeof path);
    unlink(path);
}

// Moves the manifest to segment n and removes the old segment once the
// manifest names the new one. -1 leaves the table's numbers as they were.
int switch_to_segment(Table* t, uint64_t n, char* err, size_t errlen) {
    const uint64_t old_active = t->active_segment, old_next = t->next_segment;
    t->active_segment = n;
    t->next_segment = n + 1;
    if (manifest_save(t, err, errlen) != 0) {
        t->active_segment = old_active;
        t->next_segment = old_next;
        return -1;
    }
    if (old_active != 0 && old_active != n) remove_segment_file(t, old_active);
    return 0;
}

}  // namespace

int db_checkpoint_find_index_unlocked(const char* db) {
    char name[64];
    canonical_db_name(db, name, sizeof name);
    for (int i = 0; i < g_db_checkpoints.count && i < DB_CHECKPOINT_SLOTS; ++i)
        if (strcasecmp(g_db_checkpoints.items[i].database, name) == 0) return i;
    return -1;
}

uint64_t db_checkpoint_get(const char* db) {
    int i = db_checkpoint_find_index_unlocked(db);
    return i < 0 ? 0 : g_db_checkpoints.items[i].checkpoint_seq;
}

void db_checkpoint_set(const char* db, uint64_t seq) {
    int i = db_checkpoint_find_index_unlocked(db);
    if (i < 0) {
        if (g_db_checkpoints.count >= DB_CHECKPOINT_SLOTS) return;
        i = g_db_checkpoints.count++;
        canonical_db_name(db, g_db_checkpoints.items[i].database,
                          sizeof g_db_checkpoints.items[i].database);
    }
    g_db_checkpoints.items[i].checkpoint_seq = seq;
}

int db_checkpoint_save_one(const char* db, uint64_t seq, char* err, size_t errlen) {
    char name[64], path[512];
    canonical_db_name(db, name, sizeof name);
    ensure_database_storage_dirs(name);
    db_checkpoint_path(name, path, sizeof path);
    if (write_seq_file(path, seq) != 0) {
        set_err(err, errlen, "cannot write database checkpoint meta");
        return -1;
    }
    return 0;
}

int db_checkpoint_load_one(const char* db, char* err, size_t errlen) {
    char name[64], path[512];
    canonical_db_name(db, name, sizeof name);
    db_checkpoint_path(name, path, sizeof path);
    meta_file_remove_leftover(path);
    uint64_t seq = 0;
    if (read_seq_file(path, &seq, err, errlen) < 0) return -1;
    db_checkpoint_set(name, seq);
    // New writes must be numbered above the checkpoint: replay skips records
    // at or below it.
    if (seq > 0) bump_seq(seq);
    return 0;
}

int db_checkpoint_load_all(char* err, size_t errlen) {
    memset(g_db_checkpoints.items, 0, sizeof g_db_checkpoints.items);
    g_db_checkpoints.count = 0;
    std::vector<std::string> names;
    {
        RwReadGuard g(&g_databases.lock);
        for (int i = 0; i < g_databases.count && i < KYREL_MAX_DATABASES; ++i)
            names.emplace_back(g_databases.names[i]);
    }
    for (const auto& n : names)
        if (db_checkpoint_load_one(n.c_str(), err, errlen) != 0) return -1;
    return 0;
}

int checkpoint_meta_save(char* err, size_t errlen) {
    if (write_seq_file(bootstrap_checkpoint_file(), g_checkpoint_seq.load()) != 0) {
        set_err(err, errlen, "cannot write bootstrap checkpoint meta");
        return -1;
    }
    return 0;
}

int checkpoint_meta_load(char* err, size_t errlen) {
    meta_file_remove_leftover(bootstrap_checkpoint_file());
    uint64_t seq = 0;
    const int got = read_seq_file(bootstrap_checkpoint_file(), &seq, err, errlen);
    if (got < 0) return -1;
    if (got == 0) {
        g_checkpoint_seq = seq;
        if (seq > 0) bump_seq(seq);
    }
    return 0;
}

const char* checkpoint_meta_path() { return bootstrap_checkpoint_file(); }

void free_versioned_rows_chain(VersionedRow* first) {
    while (first) {
        VersionedRow* next = first->next;
        versioned_row_free(first);
        first = next;
    }
}

int table_checkpoint_compact(Table* t, uint64_t checkpoint_seq, char* err, size_t errlen) {
    uint64_t n = t->next_segment ? t->next_segment : 1;
    // Never overwrite the segment the manifest names.
    if (n == t->active_segment) ++n;
    if (segment_write_latest(t, checkpoint_seq, n, err, errlen) != 0) return -1;

    int pins = 0;
    uint64_t lowest = 0;
    if (cursor_table_pin_stats(t->schema.name, &pins, &lowest)) {
        // Open snapshots still read old versions: keep the chain whole.
        if (switch_to_segment(t, n, err, errlen) != 0) return -1;
        return indexes_meta_save(t, err, errlen);
    }

    VersionedRow* fresh = nullptr;
    uint64_t fresh_mem = 0;
    {
        SeenKeyList seen;
        for (VersionedRow* v = t->rows; v; v = v->next) {
            int r = seen_key_list_add(&seen, v->key);
            if (r == 0) continue;
            if (r < 0) {
                free_versioned_rows_chain(fresh);
                set_err(err, errlen, "oom");
                return -1;
            }
            if (v->deleted || !v->json) continue;
            VersionedRow* c = versioned_row_new(checkpoint_seq, v->key, v->json, 0);
            if (!c) {
                free_versioned_rows_chain(fresh);
                set_err(err, errlen, "oom");
                return -1;
            }
            c->next = fresh;
            fresh = c;
            fresh_mem += c->mem_size;
        }
    }
    // The seen-key list borrowed keys of the old chain; it is gone now.
    free_versioned_rows_chain(t->rows);
    t->rows = fresh;
    pk_latest_map_rebuild(t);
    const uint64_t old_mem = t->row_memory_bytes;
    t->row_memory_bytes = fresh_mem;
    mem_add((int64_t)fresh_mem - (int64_t)old_mem);

    if (switch_to_segment(t, n, err, errlen) != 0) return -1;
    if (indexes_meta_save(t, err, errlen) != 0) return -1;
    return rebuild_table_indexes(t, err, errlen);
}

namespace {

// Removes every directory under the databases' tables directories that no
// live table owns: what DROP TABLE could not remove after its record. -1
// with the message when one cannot be removed (the logs then keep the DROP).
// Under g_checkpoint_lock, so no table is created or dropped meanwhile.
int remove_dropped_table_dirs(const std::vector<std::string>& dbs, char* err, size_t errlen) {
    try {
        const std::set<std::string> live = live_table_dirs();
        for (const std::string& db : dbs) {
            char tables[512];
            db_tables_dir_path(db.c_str(), tables, sizeof tables);
            DIR* d = opendir(tables);
            if (!d) continue;
            std::vector<std::string> leftovers;
            while (dirent* e = readdir(d)) {
                if (e->d_name[0] == '.') continue;
                std::string dir = std::string(tables) + "/" + e->d_name;
                if (!live.count(dir)) leftovers.push_back(dir);
            }
            closedir(d);
            for (const std::string& dir : leftovers) {
                char rmerr[256] = "";
                if (remove_path_recursive(dir.c_str(), rmerr, sizeof rmerr) != 0) {
                    set_errf(err, errlen, "cannot remove the files of a dropped table: %s", rmerr);
                    return -1;
                }
            }
        }
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    return 0;
}

}  // namespace

int checkpoint_all_tables(char* err, size_t errlen) {
    // The database names are taken before anything changes, so a failed
    // allocation refuses the checkpoint instead of leaving it half done.
    // Databases are created only under the checkpoint lock, which the caller
    // holds, so the list cannot change before it is used.
    std::vector<std::string> names;
    try {
        RwReadGuard g(&g_databases.lock);
        for (int i = 0; i < g_databases.count && i < KYREL_MAX_DATABASES; ++i)
            names.emplace_back(g_databases.names[i]);
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    uint64_t c;
    {
        std::lock_guard<std::mutex> g(g_seq.lock);
        c = g_seq.next ? g_seq.next - 1 : 0;
    }
    {
        RwReadGuard g(&g_tables.lock);
        for (int i = 0; i < g_tables.count && i < KYREL_MAX_TABLES; ++i) {
            Table* t = &g_tables.slots[i];
            if (t->dropped || !t->schema.name[0]) continue;
            RwWriteGuard tg(&t->lock);
            if (table_checkpoint_compact(t, c, err, errlen) != 0) return -1;
        }
    }
    if (catalog_save(err, errlen) != 0) return -1;
    if (databases_save_if_stale(err, errlen) != 0) return -1;
    if (remove_dropped_table_dirs(names, err, errlen) != 0) return -1;
    g_checkpoint_seq = c;
    if (checkpoint_meta_save(err, errlen) != 0) return -1;

    for (const auto& n : names) {
        db_checkpoint_set(n.c_str(), c);
        if (db_checkpoint_save_one(n.c_str(), c, err, errlen) != 0) return -1;
    }

    std::lock_guard<std::mutex> wg(g_wal.lock);
    if (wal_writer_close_all_locked(err, errlen) != 0) return -1;
    if (truncate_log(KYREL_DATA_ROOT "/main.wal") != 0) {
        set_err(err, errlen, "cannot truncate bootstrap WAL");
        return -1;
    }
    {
        RwReadGuard g(&g_databases.lock);
        for (int i = 0; i < g_databases.count && i < KYREL_MAX_DATABASES; ++i) {
            char path[512];
            ensure_database_storage_dirs(g_databases.names[i]);
            db_wal_path(g_databases.names[i], path, sizeof path);
            if (truncate_log(path) != 0) {
                set_err(err, errlen, "cannot truncate database WAL");
                return -1;
            }
        }
    }
    // Every log is empty now: a tail noted by replay no longer applies, and
    // a log closed after a failed cut is open again.
    wal_logs_emptied_locked();
    return wal_writer_open_locked(WAL_BOOTSTRAP_SCOPE, err, errlen);
}

int checkpoint_try_all_tables(char* err, size_t errlen) {
    std::unique_lock<std::mutex> g(g_checkpoint_lock, std::try_to_lock);
    if (!g.owns_lock()) return 1;
    return checkpoint_all_tables(err, errlen);
}
