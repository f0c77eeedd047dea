// Schema changes applied by the commit thread.
//
// One contract, as for rows: everything that can refuse a statement is
// decided before its log record is written; a record that cannot be written
// and synced refuses the statement with nothing changed, live or on disk;
// once it is written the change is applied and answered ok. A later step
// that fails (the catalog save, the removal of a dropped table's files, the
// checkpoint) does not undo it: the answer carries a "warning" member, and
// the next checkpoint or start-up settles it (the checkpoint writes every
// catalog before it empties the logs; replay applies the record again).
//
// ALTER TABLE and DROP TABLE then checkpoint every table at once, so the logs
// soon hold no record older than the catalog. CREATE INDEX and DROP INDEX
// write no log record: indexes.meta is their commit point (written whole
// through a temporary file), and the .idx files follow it.
#include "runtime/ddl_apply.h"
#include "runtime/request_members.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "base/err.h"
#include "base/json_text.h"
#include "base/owned.h"
#include "base/stats.h"
#include "base/text_util.h"
#include "exec/session_scope.h"
#include "query/ddl_parse.h"
#include "query/session.h"
#include "runtime/job_queue.h"
#include "runtime/reply_text.h"
#include "storage/catalog.h"
#include "storage/checkpoint.h"
#include "storage/db_registry.h"
#include "storage/ident.h"
#include "storage/index_file.h"
#include "storage/index_values.h"
#include "storage/sec_index.h"
#include "storage/table.h"
#include "storage/wal.h"

namespace {

constexpr size_t kMsgSize = 256;

// A name member of a JSON action, checked like the same name in SQL (so a
// "table" of "other__t" cannot reach another database's table).
// MEMBER_PRESENT, MEMBER_ABSENT, or MEMBER_REFUSED (message in msg).
MemberRead json_name_member(const Job* job, const char* key, const char* label, char* out,
                            size_t cap, char* msg, size_t msglen) {
    char* v = nullptr;
    if (!job->payload || json_extract_string_alloc(job->payload, key, &v) != 0 || !v)
        return MEMBER_ABSENT;
    CStr value(v);
    if (copy_ident_checked(out, cap, value.get(), label, msg, msglen) != 0) return MEMBER_REFUSED;
    return MEMBER_PRESENT;
}

// Appends text to the warning in w ("; " between two).
void add_warning(char* w, size_t cap, const char* text) {
    if (!text || !*text || cap == 0) return;
    size_t n = strnlen(w, cap - 1);
    for (const char* part : {n ? "; " : "", text}) {
        size_t len = strlen(part);
        if (len > cap - 1 - n) len = cap - 1 - n;  // a long warning is cut, never overrun
        memcpy(w + n, part, len);
        n += len;
    }
    w[n] = '\0';
}

// Checkpoint right after an applied ALTER or DROP TABLE (the caller holds
// g_checkpoint_lock). The change is logged and live whatever happens here: a
// failure becomes the answer's warning and the next checkpoint (or start-up,
// which replays the record) makes up for it.
void checkpoint_after_schema_change(char* warning, size_t warnlen) {
    char cp[kMsgSize] = {0};
    if (checkpoint_all_tables(cp, sizeof cp) == 0) return;
    char text[kMsgSize + 32];
    snprintf(text, sizeof text, "checkpoint failed: %s", cp[0] ? cp : "unknown error");
    add_warning(warning, warnlen, text);
}

// The ALTER TABLE record, written by table_apply_alter once every check and
// every row's new shape passed.
struct AlterRecord {
    const char* table;
    const char* sql;
};

int write_alter_record(void* ctx, char* err, size_t errlen) {
    const auto* r = static_cast<const AlterRecord*>(ctx);
    return wal_append_record(WAL_OP_ALTER_TABLE, next_seq(), r->table, "", r->sql, err, errlen);
}

}  // namespace

char* ddl_handle_alter_table(Job* job, char* msg, size_t msglen) {
    const char* sql = job->request.sql;
    if (!sql) {
        set_err(msg, msglen, "missing sql");
        return nullptr;
    }
    auto cmd = std::make_unique<AlterTableCmd>();
    if (parse_alter_table_sql(sql, cmd.get(), msg, msglen) != 0) return nullptr;
    const char* db = session_database(job->session);
    SessionTable st;
    if (session_table_name(job->session, cmd->table, &st, msg, msglen) != 0) return nullptr;
    // Built before the change: nothing that can throw follows it.
    const std::string done = "{\"ok\":true,\"message\":\"table altered\",\"database\":\"" +
                             json_escaped(db) + "\",\"table\":\"" + json_escaped(cmd->table) +
                             "\"}";
    AlterRecord rec{st.internal, sql};
    const AlterLog log{write_alter_record, &rec};
    if (ddl_alter_table_from_sql(st.internal, sql, 0, msg, msglen, &log) != 0) return nullptr;
    stats_add(&g_stats.counters.total_writes, 1);
    char warning[kMsgSize] = "";
    checkpoint_after_schema_change(warning, sizeof warning);
    return reply_with_warning(done, warning);
}

char* ddl_handle_drop_table(Job* job, char* msg, size_t msglen) {
    char table[64] = {0};
    int if_exists = 0;
    const char* sql = job->request.sql;
    if (sql) {
        if (parse_drop_table_sql(sql, table, sizeof table, &if_exists, msg, msglen) != 0)
            return nullptr;
    } else {
        MemberRead r =
            json_name_member(job, "table", "table name", table, sizeof table, msg, msglen);
        if (r == MEMBER_REFUSED) return nullptr;
        if (r == MEMBER_ABSENT) {
            set_err(msg, msglen, "missing table or sql");
            return nullptr;
        }
    }
    const char* db = session_database(job->session);
    SessionTable st;
    if (session_table_name(job->session, table, &st, msg, msglen) != 0) return nullptr;
    // Both answers are built before the change: nothing that can throw follows it.
    const std::string head = "{\"ok\":true,\"message\":\"table dropped\",\"database\":\"" +
                             json_escaped(db) + "\",\"table\":\"" + json_escaped(table) +
                             "\",\"skipped\":";
    const std::string done = head + "false}", skipped_done = head + "true}";
    // Every file operation from here on uses the name as stored, whatever
    // the spelling of the statement.
    char stored[KYREL_INTERNAL_NAME_SIZE];
    int rc = table_drop_check(st.internal, if_exists, stored, sizeof stored, msg, msglen);
    if (rc < 0) return nullptr;
    if (rc == 1) return reply_copy(skipped_done);
    if (wal_append_record(WAL_OP_DROP_TABLE, next_seq(), stored, "", "", msg, msglen) != 0)
        return nullptr;
    // Logged: the table is gone from here on (the check above holds, as
    // tables change only under g_checkpoint_lock).
    char e[kMsgSize] = "";
    table_drop_internal(stored, 1, e, sizeof e);
    stats_add(&g_stats.counters.total_writes, 1);
    char warning[kMsgSize] = "";
    char sdb[64], stable[KYREL_INTERNAL_NAME_SIZE];
    split_internal_table_name(stored, sdb, sizeof sdb, stable, sizeof stable);
    e[0] = '\0';
    if (catalog_save_db(sdb, e, sizeof e) != 0) {
        // The files stay while the catalog on disk still names the table;
        // replay drops it again, and a new table of the name removes them.
        add_warning(warning, sizeof warning, e);
    } else if (table_remove_files(stored, e, sizeof e) != 0) {
        add_warning(warning, sizeof warning, e);
    }
    checkpoint_after_schema_change(warning, sizeof warning);
    return reply_with_warning(done, warning);
}

char* ddl_handle_create_index(Job* job, char* msg, size_t msglen) {
    const char* sql = job->request.sql;
    if (!sql) {
        set_err(msg, msglen, "missing sql");
        return nullptr;
    }
    auto def = std::make_unique<IndexDef>();
    char table[64];
    int if_not_exists = 0;
    if (parse_create_index_def(sql, table, sizeof table, def.get(), &if_not_exists, msg, msglen) !=
        0)
        return nullptr;
    SessionTable st;
    if (session_table_resolve(job->session, table, TableUse::Read, &st, msg, msglen) != 0)
        return nullptr;
    Table* t = st.table;
    RwWriteGuard g(&t->lock);
    if (t->dropped || !t->schema.name[0]) {
        set_err(msg, msglen, "table not found");
        return nullptr;
    }
    for (int i = 0; i < def->column_count; i++) {
        if (schema_get_col(&t->schema, def->columns[i].name) < 0) {
            set_errf(msg, msglen, "unknown index column '%s'", def->columns[i].name);
            return nullptr;
        }
        for (int j = 0; j < i; j++) {
            if (strcasecmp(def->columns[i].name, def->columns[j].name) == 0) {
                set_err(msg, msglen, "duplicate column in index definition");
                return nullptr;
            }
        }
    }
    if (table_find_indexdef(t, def->name) >= 0) {
        if (if_not_exists)
            return reply_copy(
                "{\"ok\":true,\"message\":\"index already exists\",\"skipped\":true}");
        set_err(msg, msglen, "index already exists");
        return nullptr;
    }
    if (t->index_count >= KYREL_MAX_INDEXES) {
        set_err(msg, msglen, "too many indexes");
        return nullptr;
    }
    if (def->unique && unique_index_validate_existing_rows_locked(t, def.get(), msg, msglen) != 0)
        return nullptr;
    const int pos = t->index_count;
    t->indexes[pos] = *def;
    memset(&t->sec_maps[pos], 0, sizeof t->sec_maps[pos]);
    t->index_count++;
    // Running out of memory while saving or building is a failed creation
    // like any other: the index is taken back below.
    bool created = false;
    if (!run_unless_oom([&] {
            created = indexes_meta_save(t, msg, msglen) == 0 &&
                      rebuild_table_indexes(t, msg, msglen) == 0;
        }))
        set_err(msg, msglen, "oom");
    if (created) return reply_copy("{\"ok\":true,\"message\":\"index created\"}");
    // A failed creation leaves no index behind: neither in memory (where it
    // would be used until a restart silently lost it) nor in indexes.meta.
    sec_index_map_clear(&t->sec_maps[pos]);
    memset(&t->sec_maps[pos], 0, sizeof t->sec_maps[pos]);
    memset(&t->indexes[pos], 0, sizeof t->indexes[pos]);
    t->index_count--;
    char ignored[kMsgSize];
    if (indexes_meta_save(t, ignored, sizeof ignored) == 0)
        rebuild_table_indexes(t, ignored, sizeof ignored);
    char path[512];
    table_index_file_path(t->schema.name, def->name, path, sizeof path);
    remove(path);
    return nullptr;
}

char* ddl_handle_drop_index(Job* job, char* msg, size_t msglen) {
    char index[64] = {0}, table[64] = {0};
    int if_exists = 0;
    const char* sql = job->request.sql;
    if (sql) {
        if (parse_drop_index_sql(sql, index, sizeof index, table, sizeof table, &if_exists, msg,
                                 msglen) != 0)
            return nullptr;
    } else {
        MemberRead r =
            json_name_member(job, "index", "index name", index, sizeof index, msg, msglen);
        if (r == MEMBER_REFUSED) return nullptr;
        if (r == MEMBER_ABSENT) {
            set_err(msg, msglen, "missing index or sql");
            return nullptr;
        }
        if (json_name_member(job, "table", "table name", table, sizeof table, msg, msglen) ==
            MEMBER_REFUSED)
            return nullptr;
    }
    // A named table is checked like every written name; without one, the
    // owner is searched among the Session database's tables.
    SessionTable st;
    if (table[0] && session_table_name(job->session, table, &st, msg, msglen) != 0) return nullptr;
    char internal[KYREL_INTERNAL_NAME_SIZE];
    int resolved = resolve_index_target_db(session_database(job->session), index, st.name, internal,
                                           sizeof internal, msg, msglen);
    // IF EXISTS also tolerates a named table that does not exist.
    if (resolved != 0 || (if_exists && table_find_index(internal) < 0)) {
        if (if_exists)
            return reply_copy("{\"ok\":true,\"message\":\"index not found\",\"skipped\":true}");
        return nullptr;
    }
    // Built before the change: nothing that can throw follows it.
    const std::string head = "{\"ok\":true,\"message\":\"index dropped\",\"index\":\"" +
                             json_escaped(index) + "\",\"skipped\":";
    const std::string done = head + "false}", skipped_done = head + "true}";
    int skipped = 0;
    char warning[kMsgSize] = "";
    if (table_drop_index_internal(internal, index, if_exists, &skipped, msg, msglen, warning,
                                  sizeof warning) != 0)
        return nullptr;
    if (skipped) return reply_copy(skipped_done);
    stats_add(&g_stats.counters.total_writes, 1);
    return reply_with_warning(done, warning);
}
