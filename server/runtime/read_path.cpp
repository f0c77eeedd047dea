// Read path: per read kind, what is taken from the request, which builder
// answers it and the error texts. Runs on connection workers, many at once;
// it changes only its own Session (USE) and reads table data under the locks
// that the builders take.
#include "runtime/read_path.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>

#include "base/err.h"
#include "base/json_text.h"
#include "base/owned.h"
#include "base/sql_scan.h"
#include "base/stats.h"
#include "base/text_util.h"
#include "exec/row_statements.h"
#include "query/session.h"
#include "query/session_cursor.h"
#include "runtime/authorize.h"
#include "runtime/classify.h"
#include "runtime/job_queue.h"
#include "runtime/proc_apply.h"
#include "runtime/reports.h"
#include "runtime/server.h"
#include "storage/cursor_pins.h"
#include "storage/db_registry.h"
#include "storage/ident.h"
#include "storage/table.h"

namespace {

constexpr size_t kMsgSize = 256;

void done_error(Job* job, const char* msg) { job_mark_done(job, make_error_json(msg)); }

// A fixed-size report: the builder's text, or the named error.
template <typename Build>
void done_fixed(Job* job, size_t size, Build build, const char* too_large) {
    std::unique_ptr<char[]> buf(new (std::nothrow) char[size]);
    if (!buf) {
        done_error(job, "oom");
        return;
    }
    buf[0] = '\0';
    if (build(buf.get(), size) != 0 && too_large) {
        done_error(job, too_large);
        return;
    }
    job_mark_done(job, xstrdup(buf.get()));
}

// A heap-text builder: its reply, or its message.
template <typename Build>
void done_heap(Job* job, Build build) {
    char* out = nullptr;
    char msg[kMsgSize] = {0};
    if (build(&out, msg, sizeof msg) != 0) {
        free(out);
        done_error(job, msg[0] ? msg : "error");
        return;
    }
    job_mark_done(job, out);
}

// The request's "sql" string (any length) as classification decoded it, or
// nullptr.
const char* request_sql(const Job* job) { return job->request.sql; }

// Expired cursor pins are dropped at most once per second: pins expire with
// one-second resolution, and the scan covers every slot under the registry
// lock, which every read request would otherwise contend on.
void expire_cursor_pins() {
    static std::atomic<int64_t> last_second{0};
    int64_t now = static_cast<int64_t>(time(nullptr));
    int64_t prev = last_second.load(std::memory_order_relaxed);
    if (prev == now) return;
    if (!last_second.compare_exchange_strong(prev, now, std::memory_order_relaxed)) return;
    cursor_registry_expire_timed_out();
}

void run_use(Job* job) {
    char db[64] = {0};
    char msg[kMsgSize] = {0};
    if (use_target_database(job, db, sizeof db, msg, sizeof msg) != 0) {
        done_error(job, msg[0] ? msg : "missing sql");
        return;
    }
    {
        // Databases compare case-insensitively; the Session keeps the spelling
        // under which the database is registered, since paths, WAL scopes and
        // grant keys are built from it.
        RwReadGuard g(&g_databases.lock);
        int i = database_find_index_unlocked(db);
        if (i < 0) {
            g.unlock();
            done_error(job, "database not found");
            return;
        }
        snprintf(db, sizeof db, "%s", g_databases.names[i]);
    }
    if (job->session)
        snprintf(job->session->current_database, sizeof job->session->current_database, "%s", db);
    CStr esc(json_escape_string(db));
    if (!esc) {
        done_error(job, "oom");
        return;
    }
    std::string reply = std::string("{\"ok\":true,\"database\":\"") + esc.get() + "\"}";
    job_mark_done(job, xstrdup(reply.c_str()));
}

// Table name of SHOW TABLE / SHOW INDEXES from the Job or the statement.
// 0 with the name (may be empty for SHOW INDEXES), -1 with the message.
int show_target_table(Job* job, bool indexes, char* table, size_t cap, char* msg, size_t msglen) {
    table[0] = '\0';
    if (job->table[0]) {
        // Passed on as written: the table resolution canonicalises and checks
        // it like every name a client writes. Only blanks: no name at all.
        snprintf(table, cap, "%s", job->table);
        char canon[sizeof job->table];
        snprintf(canon, sizeof canon, "%s", job->table);
        canonicalize_ident(canon);
        if (!canon[0]) table[0] = '\0';
        return 0;
    }
    if (!request_sql(job)) {
        set_err(msg, msglen, "missing sql");
        return -1;
    }
    CStr sql(xstrdup(request_sql(job)));
    if (!sql) {
        set_err(msg, msglen, "oom");
        return -1;
    }
    char* s = sql.get();
    trim_ws(s);
    // The statement's words, then the end or a blank: "SHOW TABLE   " trims
    // to "SHOW TABLE" and answers the name check's message for its empty name.
    const char* prefix = indexes ? "SHOW INDEXES" : "SHOW TABLE";
    size_t plen = strlen(prefix);
    if (!ci_starts(s, prefix) || (!indexes && s[plen] != '\0' && s[plen] != ' ')) {
        set_err(msg, msglen, indexes ? "invalid SHOW INDEXES" : "invalid SHOW TABLE");
        return -1;
    }
    char* rest = s + plen;
    trim_ws(rest);
    if (indexes) {
        if (ci_starts(rest, "ON ")) {
            rest += 3;
            trim_ws(rest);
        }
        if (!rest[0]) return 0;
    }
    return copy_ident_checked(table, cap, rest, "table name", msg, msglen) == 0 ? 0 : -1;
}

// SELECT and JOIN: the statement decides which (exec_select_sql).
void run_select(Job* job) {
    const char* sql = request_sql(job);
    if (!sql) {
        done_error(job, "missing sql");
        return;
    }
    const Session* s = job->session;
    done_heap(job, [s, sql](char** out, char* err, size_t errlen) {
        return exec_select_sql(s, sql, out, err, errlen);
    });
}

// The request's "cursor_id" as a positive id, else 0.
uint64_t request_cursor_id(const Job* job) {
    long long v = 0;
    if (!job->payload || json_extract_ll(job->payload, "cursor_id", &v) != 0 || v < 1) return 0;
    return static_cast<uint64_t>(v);
}

void run_cursor_open(Job* job) {
    const int batch = cursor_fetch_limit_from_payload(job->payload, CURSOR_FETCH_DEFAULT);
    // Normalised and trimmed, as classification left it.
    const char* sql = job->request.sql_norm;
    if (!sql) {
        done_error(job, "missing sql");
        return;
    }
    Session* s = job->session;
    done_heap(job, [s, sql, batch](char** out, char* err, size_t errlen) {
        return session_cursor_open_select(s, sql, batch, out, err, errlen);
    });
}

void run_cursor_fetch_close(Job* job, bool close) {
    const uint64_t id = request_cursor_id(job);
    if (id == 0) {
        done_error(job, "missing cursor_id");
        return;
    }
    Session* s = job->session;
    if (close) {
        done_heap(job, [s, id](char** out, char* err, size_t errlen) {
            return session_cursor_close(s, id, out, err, errlen);
        });
        return;
    }
    const int batch = cursor_fetch_limit_from_payload(job->payload, CURSOR_FETCH_DEFAULT);
    done_heap(job, [s, id, batch](char** out, char* err, size_t errlen) {
        return session_cursor_fetch(s, id, batch, out, err, errlen);
    });
}

void run_cursor_kill(Job* job) {
    uint64_t id = 0, token = 0;
    const char* sql = request_sql(job);
    if (sql) {
        char msg[kMsgSize] = {0};
        if (parse_kill_cursor_sql(sql, &id, &token, msg, sizeof msg) != 0) {
            done_error(job, msg[0] ? msg : "invalid KILL CURSOR");
            return;
        }
    } else if (job->payload) {
        long long v = 0;
        if (json_extract_ll(job->payload, "cursor_id", &v) == 0 && v > 0)
            id = static_cast<uint64_t>(v);
        v = 0;
        if ((json_extract_ll(job->payload, "pin_token", &v) == 0 ||
             json_extract_ll(job->payload, "token", &v) == 0) &&
            v > 0)
            token = static_cast<uint64_t>(v);
    }
    if (id == 0 && token == 0) {
        done_error(job, "missing cursor_id or pin_token");
        return;
    }
    Session* s = job->session;
    done_heap(job, [s, id, token](char** out, char* err, size_t errlen) {
        return session_cursor_kill_request(s, id, token, out, err, errlen);
    });
}

// SHOW TABLE and SHOW INDEXES (without a table: the indexes of every table
// of the Session's database).
void run_show_table(Job* job) {
    const bool indexes = job->kind == JOB_SHOW_INDEXES;
    char table[64];
    char msg[kMsgSize] = {0};
    if (show_target_table(job, indexes, table, sizeof table, msg, sizeof msg) != 0) {
        done_error(job, msg[0] ? msg : "missing table");
        return;
    }
    const Session* s = job->session;
    if (!indexes) {
        if (!table[0]) {
            done_error(job, "missing table");
            return;
        }
        done_heap(job, [s, &table](char** out, char* err, size_t errlen) {
            return build_show_table_json_db(s, table, out, err, errlen);
        });
    } else if (table[0]) {
        done_heap(job, [s, &table](char** out, char* err, size_t errlen) {
            return build_show_indexes_json_db(s, table, out, err, errlen);
        });
    } else {
        done_heap(job, [s](char** out, char* err, size_t errlen) {
            return build_show_indexes_all_json(s, out, err, errlen);
        });
    }
}

// Answers the job by its kind; every path ends in one job_mark_done.
void run_read_kind(Job* job) {
    switch (job->kind) {
    case JOB_PING: job_mark_done(job, xstrdup("{\"ok\":true,\"pong\":true}")); return;
    case JOB_SHOW_STATS: done_fixed(job, 4096, build_stats_json, nullptr); return;
    case JOB_SHOW_PERFORMANCE:
        done_fixed(job, 4096, build_performance_json, "performance response too large");
        return;
    case JOB_SHOW_MEMORY:
        done_fixed(job, 2048, build_memory_json, "memory response too large");
        return;
    case JOB_SHOW_WAL: done_fixed(job, 2048, build_wal_json, "wal response too large"); return;
    case JOB_SHOW_WORKERS:
        done_fixed(job, 2048, build_workers_json, "workers response too large");
        return;
    case JOB_SHOW_DATABASES: done_heap(job, build_show_databases_json); return;
    case JOB_SHOW_TABLES: {
        const char* db = session_database(job->session);
        done_heap(job, [db](char** out, char* err, size_t errlen) {
            return build_show_tables_json_db(db, out, err, errlen);
        });
        return;
    }
    case JOB_USE_DATABASE: run_use(job); return;
    case JOB_SHOW_TABLE:
    case JOB_SHOW_INDEXES: run_show_table(job); return;
    case JOB_SELECT: run_select(job); return;
    case JOB_SHOW_CURSORS: {
        Session* s = job->session;
        done_heap(job, [s](char** out, char* err, size_t errlen) {
            return build_show_cursors_json(s, out, err, errlen);
        });
        return;
    }
    case JOB_CURSOR_OPEN: run_cursor_open(job); return;
    case JOB_CURSOR_FETCH: run_cursor_fetch_close(job, false); return;
    case JOB_CURSOR_CLOSE: run_cursor_fetch_close(job, true); return;
    case JOB_CURSOR_KILL: run_cursor_kill(job); return;
    case JOB_SELECT_JOIN: run_select(job); return;
    case JOB_SHOW_PROCEDURES:
        done_heap(job, [job](char** out, char* err, size_t errlen) {
            return proc_show_json(job, out, err, errlen);
        });
        return;
    default: done_error(job, "unsupported action"); return;
    }
}

}  // namespace

void execute_read_job(Job* job) {
    if (!job) return;
    stats_add(&g_stats.counters.total_requests, 1);
    stats_add(&g_stats.counters.read_requests, 1);
    // A builder's containers running out of memory end the request with
    // "oom": a throw comes before the job is marked done, which is always
    // the last step of a read.
    const bool ran = run_unless_oom([job] {
        expire_cursor_pins();
        // Fetch, close and kill report an expired cursor themselves.
        if (job->kind != JOB_CURSOR_FETCH && job->kind != JOB_CURSOR_CLOSE &&
            job->kind != JOB_CURSOR_KILL)
            session_cursors_expire_timed_out(job->session);
        run_read_kind(job);
    });
    if (!ran) done_error(job, "oom");
}

void* read_worker_thread(void*) {
    Job* batch[128];
    while (g_running.load()) {
        const int n = queue_pop_batch(&g_read_queue, batch, 128, -1);
        for (int i = 0; i < n; ++i) execute_read_job(batch[i]);
    }
    return nullptr;
}
