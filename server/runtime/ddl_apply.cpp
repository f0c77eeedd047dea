// Schema changes applied by the commit thread.
//
// ALTER TABLE and DROP TABLE change memory and the catalog first, then write
// their log record, then checkpoint every table at once: after that the logs
// hold no record older than the catalog, so a replay never applies rows of
// the old shape to the new schema.  CREATE INDEX and DROP INDEX write no log
// record; the definitions live in indexes.meta and the .idx files.
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

// Checkpoint right after an applied ALTER or DROP TABLE (the caller holds
// g_checkpoint_lock).  A failure is answered: the change is in memory and in
// the log, but the client must not take it as settled.
int checkpoint_after_schema_change(const char* what, char* msg, size_t msglen) {
    char cp[kMsgSize] = {0};
    if (checkpoint_all_tables(cp, sizeof cp) == 0) return 0;
    set_errf(msg, msglen, "%s applied but checkpoint failed: %s", what,
             cp[0] ? cp : "unknown error");
    return -1;
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
    if (ddl_alter_table_from_sql(st.internal, sql, 0, msg, msglen) != 0) return nullptr;
    if (catalog_save_db(db, msg, msglen) != 0) return nullptr;
    uint64_t seq = next_seq();
    if (wal_append_record(WAL_OP_ALTER_TABLE, seq, st.internal, "", sql, msg, msglen) != 0)
        return nullptr;
    stats_add(&g_stats.counters.total_writes, 1);
    if (checkpoint_after_schema_change("ALTER TABLE", msg, msglen) != 0) return nullptr;
    return reply_copy(done);
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
    const char* internal = st.internal;
    // Both answers are built before the change: nothing that can throw follows it.
    const std::string head = "{\"ok\":true,\"message\":\"table dropped\",\"database\":\"" +
                             json_escaped(db) + "\",\"table\":\"" + json_escaped(table) +
                             "\",\"skipped\":";
    const std::string done = head + "false}", skipped_done = head + "true}";
    int rc = table_drop_internal(internal, if_exists, msg, msglen);
    if (rc < 0) return nullptr;
    const bool skipped = rc == 1;
    if (!skipped) {
        if (catalog_save_db(db, msg, msglen) != 0) return nullptr;
        // Only once the catalog no longer names the table: a failed cleanup
        // leaves unused files, which is no reason to fail the drop.
        char cleanup[256];
        table_remove_files(internal, cleanup, sizeof cleanup);
        uint64_t seq = next_seq();
        if (wal_append_record(WAL_OP_DROP_TABLE, seq, internal, "", "", msg, msglen) != 0)
            return nullptr;
        stats_add(&g_stats.counters.total_writes, 1);
        if (checkpoint_after_schema_change("DROP TABLE", msg, msglen) != 0) return nullptr;
    }
    return reply_copy(skipped ? skipped_done : done);
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
    int skipped = 0;
    if (table_drop_index_internal(internal, index, if_exists, &skipped, msg, msglen) != 0)
        return nullptr;
    if (!skipped) stats_add(&g_stats.counters.total_writes, 1);
    return reply_copy("{\"ok\":true,\"message\":\"index dropped\",\"index\":\"" +
                      json_escaped(index) + "\",\"skipped\":" + (skipped ? "true" : "false") + "}");
}
