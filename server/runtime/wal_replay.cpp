// Start-up replay of the write-ahead logs (record format: storage/wal.cpp).
//
// Each log is read record by record. A record is applied when its seq is
// above its log's checkpoint sequence; every valid record raises the sequence
// counter. What ends a file:
//   - its end, or a torn last record (short header or fields): silently;
//   - a damaged record (magic, version, lengths, checksum): one line on
//     standard error; the other logs are still replayed.
// In both cases the end of the last good record is noted with the WAL writer,
// which cuts the file there before its first append, so new records are
// never written behind bytes that would stop the next replay.
// Apply errors of single records are ignored. Row records take the change
// road in replay mode (exec/row_change.h).
#include "runtime/wal_replay.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/owned.h"
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
        if (table_apply_alter_sql(table, json, 1, e, sizeof e) == 0) {
            save_catalog_of(table);
            g_replay_schema_changed = true;
        }
        break;
    case WAL_OP_DROP_TABLE:
        if (table_drop_internal(table, 1, e, sizeof e) >= 0) {
            save_catalog_of(table);
            table_remove_files(table, e, sizeof e);
            g_replay_schema_changed = true;
        }
        break;
    case WAL_OP_INSERT:
    case WAL_OP_UPDATE:
        if (Table* t = table_find_live(table, nullptr, 0)) {
            const char* rows[1] = {json};
            change_insert_rows(t, rows, 1, replay_rules(seq), e, sizeof e);
        }
        break;
    case WAL_OP_DELETE:
        if (Table* t = table_find_live(table, nullptr, 0))
            change_delete_row(t, key, replay_rules(seq), e, sizeof e);
        break;
    default: break;
    }
}

std::vector<std::string> registered_databases() {
    std::vector<std::string> names;
    RwReadGuard g(&g_databases_lock);
    for (int i = 0; i < g_database_count && i < KYREL_MAX_DATABASES; ++i)
        names.emplace_back(g_databases[i]);
    return names;
}

}  // namespace

int replay_wal_file(const char* path, uint64_t checkpoint_seq, char* err, size_t errlen) {
    FilePtr f(fopen(path, "rb"));
    if (!f) return 0;
    struct stat st;
    if (fstat(fileno(f.get()), &st) != 0) return 0;
    const uint64_t size = (uint64_t)st.st_size;
    uint64_t good_end = 0;
    int rc = 0;
    std::string table, key, json;
    while (good_end < size) {
        unsigned char raw[WAL_HEADER_SIZE];
        if (size - good_end < WAL_HEADER_SIZE || read_exact_file(f.get(), raw, sizeof raw) != 0)
            break;  // torn header
        WalRecordHeader h;
        wal_header_decode(raw, &h);
        const char* bad = nullptr;
        if (h.magic != WAL_MAGIC)
            bad = "invalid WAL magic";
        else if (h.version != WAL_VERSION)
            bad = "unsupported WAL version";
        else if (h.table_len > WAL_FIELD_MAX || h.key_len > WAL_FIELD_MAX ||
                 h.json_len > WAL_FIELD_MAX)
            bad = "corrupt WAL lengths";
        if (!bad) {
            const uint64_t body = (uint64_t)h.table_len + h.key_len + h.json_len;
            if (body > size - good_end - WAL_HEADER_SIZE) break;  // torn fields
            try {
                table.assign(h.table_len, '\0');
                key.assign(h.key_len, '\0');
                json.assign(h.json_len, '\0');
            } catch (...) {
                bad = "oom";
            }
            if (!bad && (read_exact_file(f.get(), table.data(), h.table_len) != 0 ||
                         read_exact_file(f.get(), key.data(), h.key_len) != 0 ||
                         read_exact_file(f.get(), json.data(), h.json_len) != 0))
                break;
            if (!bad && wal_checksum_calc(h.op, h.seq, table.data(), h.table_len, key.data(),
                                          h.key_len, json.data(), h.json_len) != h.checksum)
                bad = "WAL checksum mismatch";
        }
        if (bad) {
            fprintf(stderr, "replay: %s in %s at offset %llu; the rest of this log is ignored\n",
                    bad, path, (unsigned long long)good_end);
            snprintf(err, errlen, "%s", bad);
            rc = -1;
            break;
        }
        bump_seq(h.seq);
        if (h.seq > checkpoint_seq) {
            apply_record(h.op, h.seq, table.c_str(), key.c_str(), json.c_str());
            stats_add(&g_stats.recovery_records, 1);
        }
        good_end += WAL_HEADER_SIZE + h.table_len + h.key_len + h.json_len;
    }
    if (good_end < size) {
        if (rc == 0)
            fprintf(stderr, "replay: torn record at the end of %s (offset %llu) ignored\n", path,
                    (unsigned long long)good_end);
        wal_note_valid_end(path, good_end);
    }
    return rc;
}

int replay_wal(char* err, size_t errlen) {
    int rc = 0;
    g_replay_schema_changed = false;
    char e[256] = {0};
    if (replay_wal_file(KYREL_DATA_ROOT "/main.wal", g_checkpoint_seq.load(), e, sizeof e) != 0) {
        snprintf(err, errlen, "%s", e);
        rc = -1;
    }
    // Databases created by the bootstrap log are in the registry by now.
    for (const std::string& db : registered_databases()) {
        char path[512];
        db_wal_path(db.c_str(), path, sizeof path);
        e[0] = '\0';
        if (replay_wal_file(path, db_checkpoint_get(db.c_str()), e, sizeof e) != 0 && rc == 0) {
            snprintf(err, errlen, "%s", e);
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
        std::lock_guard<std::recursive_mutex> g(g_checkpoint_lock);
        e[0] = '\0';
        if (checkpoint_all_tables(e, sizeof e) != 0)
            fprintf(stderr, "replay: checkpoint after schema change failed: %s\n", e);
    }
    return rc;
}
