// Start-up replay of the write-ahead logs. The record format and the rule for
// a valid record, a torn one and a damaged one are the log's own
// (storage/wal.cpp); the log's reader walks a file and hands over its valid
// records, and this unit applies them.
//
// A record is applied when its seq is above its log's checkpoint sequence;
// every valid record raises the sequence counter. A torn last record ends the
// file with one line on standard error; a damaged record also stops only its
// own file (one line on standard error, the other logs are still replayed).
// In both cases the end of the last good record is noted with the WAL writer,
// which cuts the file there before its first append, so new records are
// never written behind bytes that would stop the next replay.
// Apply errors of single records are ignored. Row records take the change
// road in replay mode (exec/row_change.h). An ALTER TABLE record is applied
// even when the catalog already has its change: the catalog can be saved
// before the rows rewritten in its shape are durable, and the replayed
// rewrite brings every row to the schema (storage/table.h).
#include "runtime/wal_replay.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/err.h"
#include "base/stats.h"
#include "exec/row_change.h"
#include "query/ddl_parse.h"
#include "query/simple_parse.h"
#include "storage/catalog.h"
#include "storage/checkpoint.h"
#include "storage/db_registry.h"
#include "storage/ident.h"
#include "storage/paths.h"
#include "storage/segment.h"
#include "storage/table.h"
#include "storage/wal.h"

namespace {

bool g_replay_schema_changed = false;  // start-up only (single thread)

// Logged rows and deletions take the change road in replay mode: the
// record's seq, no new record, no unique checks (a row was valid when
// written, and indexes may have been created later: the index rebuild after
// replay validates the final rows).
ChangeRules replay_rules(uint64_t seq) {
    ChangeRules rules;
    rules.replay = true;
    rules.replay_seq = seq;
    rules.new_keys = false;
    rules.memory_stop = false;
    return rules;
}

void save_catalog_of(const char* internal) {
    char db[64], tname[130], err[256];
    split_internal_table_name(internal, db, sizeof db, tname, sizeof tname);
    if (catalog_save_db(db, err, sizeof err) != 0)
        fprintf(stderr, "replay: cannot save catalog of %s: %s\n", db, err);
}

void apply_record(uint16_t op, uint64_t seq, const char* table, const char* key, const char* json) {
    char e[256] = {0};
    switch (op) {
    case WAL_OP_CREATE_DATABASE:
        if (*table) database_create_if_missing(table, e, sizeof e);
        break;
    case WAL_OP_CREATE_TABLE: {
        auto schema = std::make_unique<TableSchema>();
        memset(schema.get(), 0, sizeof *schema);
        if (parse_create_table_sql(json, schema.get(), e, sizeof e) != 0) break;
        const char* name = *table ? table : schema->name;
        if (table_find_index(name) >= 0) break;
        // The catalog is saved before this record is written; saving it again
        // covers a catalog write that failed.
        if (table_create(name, schema.get(), e, sizeof e) == 0) save_catalog_of(name);
        break;
    }
    case WAL_OP_ALTER_TABLE:
        if (ddl_alter_table_from_sql(table, json, 1, e, sizeof e) == 0) {
            save_catalog_of(table);
            g_replay_schema_changed = true;
        }
        break;
    case WAL_OP_DROP_TABLE: {
        // The files go by the name as stored (the record's own when the
        // catalog no longer has the table), never by another spelling.
        char stored[KYREL_INTERNAL_NAME_SIZE];
        if (table_drop_internal(table, 1, e, sizeof e, stored, sizeof stored) >= 0) {
            save_catalog_of(stored);
            table_remove_files(stored, e, sizeof e);
            g_replay_schema_changed = true;
        }
        break;
    }
    case WAL_OP_INSERT:
    case WAL_OP_UPDATE:
        if (Table* t = table_find_live(table, nullptr, 0)) {
            const char* rows[1] = {json};
            change_insert_rows(t, rows, 1, replay_rules(seq), e, sizeof e);
        }
        break;
    case WAL_OP_DELETE:
        if (Table* t = table_find_live(table, nullptr, 0))
            change_delete_row(t, key, replay_rules(seq), nullptr, e, sizeof e);
        break;
    default: break;
    }
}

std::vector<std::string> registered_databases() {
    std::vector<std::string> names;
    RwReadGuard g(&g_databases.lock);
    for (int i = 0; i < g_databases.count && i < KYREL_MAX_DATABASES; ++i)
        names.emplace_back(g_databases.names[i]);
    return names;
}

}  // namespace

int replay_wal_file(const char* path, uint64_t checkpoint_seq, char* err, size_t errlen) {
    WalReader r;
    if (wal_reader_open(&r, path) != 0) return 0;
    WalRecord rec;
    char bad[64] = "";
    int got;
    while ((got = wal_reader_next(&r, &rec, bad, sizeof bad)) == WAL_READ_RECORD) {
        const WalRecordHeader& h = rec.h;
        bump_seq(h.seq);
        if (h.seq > checkpoint_seq) {
            apply_record(h.op, h.seq, rec.table.c_str(), rec.key.c_str(), rec.json.c_str());
            stats_add(&g_stats.counters.recovery_records, 1);
        }
    }
    if (got == WAL_READ_BAD) {
        fprintf(stderr, "replay: %s in %s at offset %llu; the rest of this log is ignored\n", bad,
                path, (unsigned long long)r.valid_end);
        set_err(err, errlen, bad);
    } else if (r.valid_end < r.size) {
        fprintf(stderr, "replay: torn record at the end of %s (offset %llu) ignored\n", path,
                (unsigned long long)r.valid_end);
    }
    if (r.valid_end < r.size) wal_note_valid_end(path, r.valid_end);
    return got == WAL_READ_BAD ? -1 : 0;
}

int replay_wal(char* err, size_t errlen) {
    int rc = 0;
    g_replay_schema_changed = false;
    char e[256] = {0};
    if (replay_wal_file(KYREL_DATA_ROOT "/main.wal", g_checkpoint_seq.load(), e, sizeof e) != 0) {
        set_err(err, errlen, e);
        rc = -1;
    }
    // Databases created by the bootstrap log are in the registry by now.
    for (const std::string& db : registered_databases()) {
        char path[512];
        db_wal_path(db.c_str(), path, sizeof path);
        e[0] = '\0';
        if (replay_wal_file(path, db_checkpoint_get(db.c_str()), e, sizeof e) != 0 && rc == 0) {
            set_err(err, errlen, e);
            rc = -1;
        }
        if (uint64_t c = db_checkpoint_get(db.c_str())) bump_seq(c);
    }
    // New writes are numbered above everything already stored: checkpoints,
    // segment rows and replayed records (the latter bumped as they were read).
    if (g_checkpoint_seq.load() > 0) bump_seq(g_checkpoint_seq.load());
    if (segment_max_loaded_seq() > 0) bump_seq(segment_max_loaded_seq());

    // After a replayed ALTER or DROP TABLE the catalog is newer than the
    // records before it: checkpoint so that no log holds them any more.
    if (g_replay_schema_changed) {
        std::lock_guard<std::mutex> g(g_checkpoint_lock);
        e[0] = '\0';
        if (checkpoint_all_tables(e, sizeof e) != 0)
            fprintf(stderr, "replay: checkpoint after schema change failed: %s\n", e);
    }
    return rc;
}
