// Status reports (stats, performance, memory, WAL, workers) and the
// catalogue listings (databases, tables, one table, indexes).
//
// The reports read one statistics snapshot and then the other figures one by
// one, so a report is not an atomic picture. Listings hold the registry or
// table-list read lock (and a table's read lock for its schema and indexes)
// while they walk the slots; lock order is table list, then table.
#include "runtime/reports.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>

#include <strings.h>

#include "base/config.h"
#include "base/err.h"
#include "base/json_text.h"
#include "base/stats.h"
#include "base/text_util.h"
#include "exec/session_scope.h"
#include "query/session.h"
#include "runtime/job_queue.h"
#include "runtime/reply_text.h"
#include "runtime/server.h"
#include "storage/cursor_pins.h"
#include "storage/db_registry.h"
#include "storage/ident.h"
#include "storage/sec_index.h"
#include "storage/table.h"
#include "storage/wal.h"

namespace {

using ull = unsigned long long;
using ll = long long;

// snprintf into buf; -1 when it failed or did not fit.
int format_into(char* buf, size_t size, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
int format_into(char* buf, size_t size, const char* fmt, ...) {
    if (!buf || size == 0) return -1;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    return (n < 0 || static_cast<size_t>(n) >= size) ? -1 : 0;
}

int hand_out(const std::string& text, char** out, char* err, size_t errlen) {
    *out = xstrdup(text.c_str());
    if (!*out) {
        set_err(err, errlen, "oom");
        return -1;
    }
    return 0;
}

const char* tf(int v) { return v ? "true" : "false"; }

// Runs build(&text) and hands the text out. A build that fails has set its
// own message; one that runs out of memory ends in "oom".
template <typename Build>
int build_report(char** out, char* err, size_t errlen, Build build) {
    *out = nullptr;
    try {
        std::string s;
        if (build(&s) != 0) return -1;
        return hand_out(s, out, err, errlen);
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
}

struct CursorFigures {
    int count = 0;
    uint64_t memory = 0;
    uint64_t lowest = 0;
    int64_t oldest_age = 0;
};

CursorFigures cursor_figures() {
    CursorFigures f;
    cursor_registry_stats(&f.count, &f.memory, &f.lowest, &f.oldest_age);
    return f;
}

// Slot of a table the Session names; -1 with the resolution's message.
int report_slot(const Session* s, const char* table, char* err, size_t errlen) {
    SessionTable st;
    if (session_table_resolve(s, table, TableUse::Read, &st, err, errlen) != 0) return -1;
    return static_cast<int>(st.table - g_tables.slots);
}

bool table_live(const Table& t) { return !t.dropped && t.schema.name[0]; }

// One index object; with_table adds a leading "table" member.
void append_index_json(std::string& out, const IndexDef& src, const char* table, bool with_table) {
    IndexDef d = src;
    indexdef_ensure_defaults(&d);
    out += '{';
    if (with_table) {
        out += "\"table\":\"" + json_escaped(table) + "\",";
    }
    out += "\"name\":\"" + json_escaped(d.name) + "\",\"column\":\"" + json_escaped(d.column) +
           "\",\"method\":\"" + json_escaped(d.method[0] ? d.method : "btree") +
           "\",\"unique\":" + tf(d.unique) + ",\"columns\":[";
    int n = d.column_count < KYREL_MAX_INDEX_COLUMNS ? d.column_count : KYREL_MAX_INDEX_COLUMNS;
    for (int i = 0; i < n; ++i) {
        if (i) out += ',';
        out += "{\"name\":\"" + json_escaped(d.columns[i].name) + "\",\"direction\":\"" +
               index_direction_name(d.columns[i].ascending) + "\",\"nulls\":\"" +
               index_nulls_name(d.columns[i].nulls_first) + "\"}";
    }
    out += "],\"options\":{\"fillfactor\":" + std::to_string(d.fillfactor) +
           ",\"deduplicate_items\":" + tf(d.deduplicate_items) + "}}";
}

// Calls visit(table, table name) for every live table of database db, in
// slot order, under the table-list lock and each table's read lock.
template <typename Visit>
void for_each_table_in_db(const char* db, Visit visit) {
    RwReadGuard g(&g_tables.lock);
    for (int i = 0; i < g_tables.count && i < KYREL_MAX_TABLES; ++i) {
        Table& t = g_tables.slots[i];
        RwReadGuard tg(&t.lock);
        if (!table_live(t)) continue;
        char tdb[64], tname[64];
        split_internal_table_name(t.schema.name, tdb, sizeof tdb, tname, sizeof tname);
        if (strcasecmp(tdb, db) != 0) continue;
        visit(t, tname);
    }
}

}  // namespace

// ---- fixed reports ----------------------------------------------------------

int build_stats_json(char* buf, size_t size) {
    ServerStats s;
    stats_snapshot(&s);
    return format_into(
        buf, size,
        "{\"ok\":true,\"stats\":{\"total_requests\":%lld,\"total_connections\":%lld,"
        "\"wal_appends\":%lld,\"wal_bytes\":%lld,\"total_writes\":%lld,\"rows_inserted\":%lld,"
        "\"rows_updated\":%lld,\"rows_deleted\":%lld,\"recovery_records\":%lld,"
        "\"sql_requests\":%lld,\"read_requests\":%lld,\"write_requests\":%lld,"
        "\"memory_bytes\":%llu,\"memory_limit_bytes\":%llu,\"wal_file_bytes\":%llu,"
        "\"checkpoint_seq\":%llu,\"read_workers\":%d,\"write_workers\":%d,"
        "\"connection_workers\":%d,\"read_queue_depth\":%d,\"write_queue_depth\":%d,"
        "\"commit_queue_depth\":%d,\"auto_vacuum_enabled\":%d,\"auto_vacuum_runs\":%lld,"
        "\"auto_vacuum_skips\":%lld,\"auto_vacuum_errors\":%lld,\"auto_vacuum_last_run\":%lld,"
        "\"auto_vacuum_idle_seconds\":%d,\"auto_vacuum_interval_seconds\":%d,"
        "\"auto_vacuum_memory_percent\":%d,\"auto_vacuum_wal_bytes\":%llu,"
        "\"auto_tune_enabled\":%d,\"wal_sync_every\":%d,\"commit_group_wait_ms\":%d,"
        "\"detected_cpu_count\":%lld,\"detected_ram_bytes\":%llu,\"detected_wal_fsync_us\":%lld,"
        "\"detected_disk_class\":%d}}",
        (ll)s.total_requests, (ll)s.total_connections, (ll)s.wal_appends, (ll)s.wal_bytes,
        (ll)s.total_writes, (ll)s.rows_inserted, (ll)s.rows_updated, (ll)s.rows_deleted,
        (ll)s.recovery_records, (ll)s.sql_requests, (ll)s.read_requests, (ll)s.write_requests,
        (ull)mem_current(), (ull)g_cfg.memory_limit_bytes, (ull)wal_total_file_bytes(),
        (ull)g_checkpoint_seq.load(), g_cfg.read_workers, g_cfg.write_workers,
        g_cfg.connection_workers, queue_depth(&g_read_queue), queue_depth(&g_write_queue),
        queue_depth(&g_commit), g_cfg.auto_vacuum, (ll)s.auto_vacuum_runs, (ll)s.auto_vacuum_skips,
        (ll)s.auto_vacuum_errors, (ll)auto_vacuum_last_run_ts(), g_cfg.auto_vacuum_idle_seconds,
        g_cfg.auto_vacuum_interval_seconds, g_cfg.auto_vacuum_memory_percent,
        (ull)g_cfg.auto_vacuum_wal_bytes, g_cfg.auto_tune, g_cfg.wal_sync_every,
        g_cfg.commit_group_wait_ms, (ll)g_runtime.cpu_count, (ull)g_runtime.ram_bytes,
        (ll)g_runtime.wal_fsync_us, g_runtime.disk_class);
}

int build_performance_json(char* buf, size_t size) {
    ServerStats s;
    stats_snapshot(&s);
    int64_t now = static_cast<int64_t>(time(nullptr));
    if (g_server_start_ts < 1) g_server_start_ts = now;
    int64_t up = now - g_server_start_ts;
    if (up < 0) up = 0;
    double div = static_cast<double>(up < 1 ? 1 : up);
    CursorFigures c = cursor_figures();
    return format_into(
        buf, size,
        "{\"ok\":true,\"performance\":{\"uptime_seconds\":%lld,\"total_requests\":%lld,"
        "\"sql_requests\":%lld,\"read_requests\":%lld,\"write_requests\":%lld,"
        "\"requests_per_second\":%.3f,\"sql_requests_per_second\":%.3f,"
        "\"read_requests_per_second\":%.3f,\"write_requests_per_second\":%.3f,"
        "\"rows_inserted\":%lld,\"rows_updated\":%lld,\"rows_deleted\":%lld,"
        "\"total_writes\":%lld,\"wal_appends\":%lld,\"wal_bytes\":%lld,"
        "\"active_memory_bytes\":%llu,\"wal_file_bytes\":%llu,\"cursor_count\":%d,"
        "\"cursor_memory_bytes\":%llu,\"oldest_cursor_snapshot_seq\":%llu,"
        "\"oldest_cursor_age_seconds\":%lld}}",
        (ll)up, (ll)s.total_requests, (ll)s.sql_requests, (ll)s.read_requests, (ll)s.write_requests,
        (double)s.total_requests / div, (double)s.sql_requests / div, (double)s.read_requests / div,
        (double)s.write_requests / div, (ll)s.rows_inserted, (ll)s.rows_updated, (ll)s.rows_deleted,
        (ll)s.total_writes, (ll)s.wal_appends, (ll)s.wal_bytes, (ull)mem_current(),
        (ull)wal_total_file_bytes(), c.count, (ull)c.memory, (ull)c.lowest, (ll)c.oldest_age);
}

int build_memory_json(char* buf, size_t size) {
    uint64_t used = mem_current();
    uint64_t limit = g_cfg.memory_limit_bytes;
    double pct = limit ? (double)used * 100.0 / (double)limit : 0.0;
    CursorFigures c = cursor_figures();
    return format_into(
        buf, size,
        "{\"ok\":true,\"memory\":{\"used_bytes\":%llu,\"limit_bytes\":%llu,\"used_percent\":%.3f,"
        "\"flush_percent\":%d,\"hard_stop_percent\":%d,\"detected_ram_bytes\":%llu,"
        "\"memory_limit_configured\":%d,\"auto_vacuum_memory_percent\":%d,\"cursor_count\":%d,"
        "\"cursor_memory_bytes\":%llu,\"oldest_cursor_snapshot_seq\":%llu,"
        "\"oldest_cursor_age_seconds\":%lld}}",
        (ull)used, (ull)limit, pct, g_cfg.memory_flush_percent, g_cfg.memory_hard_stop_percent,
        (ull)g_runtime.ram_bytes, g_cfg_set.memory_limit ? 1 : 0, g_cfg.auto_vacuum_memory_percent,
        c.count, (ull)c.memory, (ull)c.lowest, (ll)c.oldest_age);
}

int build_wal_json(char* buf, size_t size) {
    ServerStats s;
    stats_snapshot(&s);
    return format_into(
        buf, size,
        "{\"ok\":true,\"wal\":{\"wal_appends\":%lld,\"wal_bytes\":%lld,\"wal_file_bytes\":%llu,"
        "\"wal_sync_every\":%d,\"commit_group_wait_ms\":%d,\"commit_queue_depth\":%d,"
        "\"checkpoint_seq\":%llu,\"recovery_records\":%lld,\"detected_wal_fsync_us\":%lld,"
        "\"detected_disk_class\":%d,\"auto_vacuum_wal_bytes\":%llu}}",
        (ll)s.wal_appends, (ll)s.wal_bytes, (ull)wal_total_file_bytes(), g_cfg.wal_sync_every,
        g_cfg.commit_group_wait_ms, queue_depth(&g_commit), (ull)g_checkpoint_seq.load(),
        (ll)s.recovery_records, (ll)g_runtime.wal_fsync_us, g_runtime.disk_class,
        (ull)g_cfg.auto_vacuum_wal_bytes);
}

int build_workers_json(char* buf, size_t size) {
    return format_into(buf, size,
                       "{\"ok\":true,\"workers\":{\"read_workers\":%d,\"write_workers\":%d,"
                       "\"connection_workers\":%d,\"read_queue_depth\":%d,\"write_queue_depth\":%d,"
                       "\"connection_queue_capacity\":%d,\"configured_read_workers\":%d,"
                       "\"configured_write_workers\":%d,\"configured_connection_workers\":%d,"
                       "\"detected_cpu_count\":%lld,\"auto_tune_enabled\":%d}}",
                       g_cfg.read_workers, g_cfg.write_workers, g_cfg.connection_workers,
                       queue_depth(&g_read_queue), queue_depth(&g_write_queue), kQueueSlots,
                       g_cfg_set.read_workers ? 1 : 0, g_cfg_set.write_workers ? 1 : 0,
                       g_cfg_set.connection_workers ? 1 : 0, (ll)g_runtime.cpu_count,
                       g_cfg.auto_tune);
}

// ---- listings ---------------------------------------------------------------

int build_show_databases_json(char** out, char* err, size_t errlen) {
    return build_report(out, err, errlen, [&](std::string* s) {
        *s = "{\"ok\":true,\"databases\":[";
        {
            RwReadGuard g(&g_databases.lock);
            for (int i = 0; i < g_databases.count && i < KYREL_MAX_DATABASES; ++i) {
                if (i) *s += ',';
                *s += "{\"name\":\"" + json_escaped(g_databases.names[i]) + "\"}";
            }
        }
        *s += "]}";
        return 0;
    });
}

int build_show_tables_json_db(const char* database, char** out, char* err, size_t errlen) {
    const char* db = database && *database ? database : "default";
    return build_report(out, err, errlen, [&](std::string* s) {
        *s = "{\"ok\":true,\"database\":\"" + json_escaped(db) + "\",\"tables\":[";
        bool first = true;
        for_each_table_in_db(db, [&](Table& t, const char* tname) {
            if (!first) *s += ',';
            first = false;
            *s += "{\"name\":\"" + json_escaped(tname) + "\",\"primary_key\":\"" +
                  json_escaped(t.schema.primary_key) +
                  "\",\"columns\":" + std::to_string(t.schema.column_count) + "}";
        });
        *s += "]}";
        return 0;
    });
}

int build_show_table_json_db(const Session* session, const char* table, char** out, char* err,
                             size_t errlen) {
    *out = nullptr;
    int slot = report_slot(session, table, err, errlen);
    if (slot < 0) return -1;
    std::unique_ptr<TableSchema> schema(new (std::nothrow) TableSchema);
    if (!schema) {
        set_err(err, errlen, "oom");
        return -1;
    }
    {
        RwReadGuard g(&g_tables.lock);
        Table& t = g_tables.slots[slot];
        RwReadGuard tg(&t.lock);
        if (!table_live(t)) {
            set_err(err, errlen, "table not found");
            return -1;
        }
        *schema = t.schema;
    }
    return build_report(out, err, errlen, [&](std::string* s) {
        char tdb[64], tname[64];
        split_internal_table_name(schema->name, tdb, sizeof tdb, tname, sizeof tname);
        *s = "{\"ok\":true,\"database\":\"" + json_escaped(tdb) + "\",\"table\":{\"name\":\"" +
             json_escaped(tname) + "\",\"primary_key\":\"" + json_escaped(schema->primary_key) +
             "\",\"column_count\":" + std::to_string(schema->column_count) + ",\"columns\":[";
        for (int i = 0; i < schema->column_count && i < KYREL_MAX_COLUMNS; ++i) {
            const ColumnDef& c = schema->columns[i];
            if (i) *s += ',';
            *s += "{\"name\":\"" + json_escaped(c.name) + "\",\"type\":\"" + type_name(c.type) +
                  "\",\"max_length\":" + std::to_string(c.max_length) +
                  ",\"is_primary_key\":" + tf(c.is_primary_key) + "}";
        }
        *s += "]}}";
        return 0;
    });
}

int build_show_indexes_json_db(const Session* session, const char* table, char** out, char* err,
                               size_t errlen) {
    *out = nullptr;
    int slot = report_slot(session, table, err, errlen);
    if (slot < 0) return -1;
    return build_report(out, err, errlen, [&](std::string* s) {
        RwReadGuard g(&g_tables.lock);
        Table& t = g_tables.slots[slot];
        RwReadGuard tg(&t.lock);
        if (!table_live(t)) {
            set_err(err, errlen, "table not found");
            return -1;
        }
        char tdb[64], tname[64];
        split_internal_table_name(t.schema.name, tdb, sizeof tdb, tname, sizeof tname);
        *s = "{\"ok\":true,\"database\":\"" + json_escaped(tdb) + "\",\"table\":\"" +
             json_escaped(tname) + "\",\"indexes\":[";
        int n = t.index_count < KYREL_MAX_INDEXES ? t.index_count : KYREL_MAX_INDEXES;
        for (int i = 0; i < n; ++i) {
            if (i) *s += ',';
            append_index_json(*s, t.indexes[i], tname, false);
        }
        *s += "]}";
        return 0;
    });
}

int build_show_indexes_all_json(const Session* session, char** out, char* err, size_t errlen) {
    const char* db = session_database(session);
    return build_report(out, err, errlen, [&](std::string* s) {
        *s = "{\"ok\":true,\"database\":\"" + json_escaped(db) + "\",\"indexes\":[";
        bool first = true;
        for_each_table_in_db(db, [&](Table& t, const char* tname) {
            int n = t.index_count < KYREL_MAX_INDEXES ? t.index_count : KYREL_MAX_INDEXES;
            for (int k = 0; k < n; ++k) {
                if (!first) *s += ',';
                first = false;
                append_index_json(*s, t.indexes[k], tname, true);
            }
        });
        *s += "]}";
        return 0;
    });
}
