// Write path: write-ingress workers move write Jobs in batches from the write
// queue to the commit queue; the one commit thread takes them in groups and
// applies them one after another, each answered through job_mark_done.
//
// Every job is applied with g_checkpoint_lock held, so no checkpoint from
// another thread can run between a change reaching memory and its log record
// (or between the log record and a truncation of the log). The row changes
// of a group are logged with one write per log file (exec/row_change.h);
// their jobs are answered once that write returned.
//
// Members of a request that do not fit their buffer are refused with
// "<member> too long", never cut.
#include "runtime/write_path.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/config.h"
#include "base/err.h"
#include "base/json_text.h"
#include "base/owned.h"
#include "base/stats.h"
#include "base/text_util.h"
#include "exec/row_change.h"
#include "exec/row_statements.h"
#include "exec/session_scope.h"
#include "exec/system_tables.h"
#include "query/session.h"
#include "query/simple_parse.h"
#include "runtime/classify.h"
#include "runtime/ddl_apply.h"
#include "runtime/job_queue.h"
#include "runtime/reply_text.h"
#include "runtime/login.h"
#include "runtime/login_throttle.h"
#include "runtime/proc_apply.h"
#include "runtime/request_members.h"
#include "runtime/server.h"
#include "storage/catalog.h"
#include "storage/checkpoint.h"
#include "storage/db_registry.h"
#include "storage/ident.h"
#include "storage/roles.h"
#include "storage/table.h"
#include "storage/wal.h"

namespace {

constexpr size_t kMsgSize = 256;

// Registered spelling of a database name, or "" when it is not registered.
std::string registered_database(const char* name) {
    RwReadGuard g(&g_databases.lock);
    int i = database_find_index_unlocked(name);
    return i >= 0 ? std::string(g_databases.names[i]) : std::string();
}

// ---- login and users ------------------------------------------------------

// The user name and password of a login request: the members, or the LOGIN
// statement. 0, or -1 with the message.
int read_login_credentials(Job* job, std::string* user, std::string* password, char* msg,
                           size_t msglen) {
    MemberRead ru = member_text(job->payload, "username", 64, true, user, msg, msglen);
    MemberRead rp = member_text(job->payload, "password", 256, false, password, msg, msglen);
    if (ru == MEMBER_REFUSED || rp == MEMBER_REFUSED) return -1;
    if (ru == MEMBER_ABSENT || rp == MEMBER_ABSENT) {
        std::string sql;
        MemberRead rs = job_sql_text(job, SIMPLE_SQL_MAX, &sql, msg, msglen);
        if (rs == MEMBER_REFUSED) return -1;
        if (rs == MEMBER_ABSENT) {
            set_err(msg, msglen, "missing login payload");
            return -1;
        }
        char ubuf[64], pbuf[256];
        if (parse_login_sql(sql.c_str(), ubuf, sizeof ubuf, pbuf, sizeof pbuf, msg, msglen) != 0)
            return -1;
        *user = ubuf;
        *password = pbuf;
    }
    return 0;
}

char* handle_login(Job* job, char* msg, size_t msglen) {
    std::string user, password;
    if (read_login_credentials(job, &user, &password, msg, msglen) != 0) return nullptr;
    char warning[256];
    if (system_authenticate(job->session, user.c_str(), password.c_str(), warning, sizeof warning,
                            msg, msglen) != 0)
        return nullptr;
    std::string out = "{\"ok\":true,\"message\":\"login successful\",\"username\":\"" +
                      json_escaped(user.c_str()) + "\",\"must_change_password\":";
    if (!warning[0])
        out += "false}";
    else
        out += "true,\"warning\":\"" + json_escaped(warning) + "\"}";
    return reply_copy(out);
}

char* handle_change_password(Job* job, char* msg, size_t msglen) {
    std::string password;
    MemberRead r = member_text(job->payload, "new_password", 256, false, &password, msg, msglen);
    if (r == MEMBER_ABSENT)
        r = member_text(job->payload, "password", 256, false, &password, msg, msglen);
    if (r == MEMBER_REFUSED) return nullptr;
    if (r == MEMBER_ABSENT) {
        std::string sql;
        MemberRead rs = job_sql_text(job, SIMPLE_SQL_MAX, &sql, msg, msglen);
        if (rs == MEMBER_REFUSED) return nullptr;
        if (rs == MEMBER_ABSENT) {
            set_err(msg, msglen, "missing new_password or sql");
            return nullptr;
        }
        char pbuf[256];
        if (parse_change_password_sql(sql.c_str(), pbuf, sizeof pbuf, msg, msglen) != 0)
            return nullptr;
        password = pbuf;
    }
    if (system_change_password(job->session, password.c_str(), msg, msglen) != 0) return nullptr;
    return reply_copy("{\"ok\":true,\"message\":\"password changed\"}");
}

// A user name must be usable as a row key, a grant-key part and a Session
// name: not empty, no '@' (grant keys "a@b"+"c" and "a"+"b@c" would collide),
// no control bytes, and shorter than the Session's 64-byte field.
bool valid_user_name(const std::string& name) {
    if (name.empty() || name.size() >= 64) return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F || c == '@') return false;
    return true;
}

char* handle_create_user(Job* job, char* msg, size_t msglen) {
    std::string user, password;
    MemberRead ru = member_text(job->payload, "username", 64, true, &user, msg, msglen);
    MemberRead rp = member_text(job->payload, "password", 256, false, &password, msg, msglen);
    if (ru == MEMBER_REFUSED || rp == MEMBER_REFUSED) return nullptr;
    if (ru == MEMBER_ABSENT || rp == MEMBER_ABSENT) {
        std::string sql;
        if (job_sql_member(job, SIMPLE_SQL_MAX, &sql, msg, msglen) != 0) return nullptr;
        char ubuf[64], pbuf[256];
        if (parse_create_user_sql(sql.c_str(), ubuf, sizeof ubuf, pbuf, sizeof pbuf, msg, msglen) !=
            0)
            return nullptr;
        user = ubuf;
        password = pbuf;
    }
    if (!valid_user_name(user)) {
        set_err(msg, msglen, "invalid username");
        return nullptr;
    }
    if (password.empty()) {
        set_err(msg, msglen, "missing password");
        return nullptr;
    }
    // Any spelling of the administrator's name logs in as administrator.
    if (strcasecmp(user.c_str(), DEFAULT_ADMIN_USER) == 0) {
        set_err(msg, msglen, "user already exists");
        return nullptr;
    }
    // Built before the change: nothing that can throw follows it.
    const std::string done = "{\"ok\":true,\"message\":\"user created\",\"username\":\"" +
                             json_escaped(user.c_str()) + "\"}";
    if (system_create_user_record(user.c_str(), password.c_str(), 1, 1, msg, msglen) != 0)
        return nullptr;
    return reply_copy(done);
}

char* handle_grant_role(Job* job, char* msg, size_t msglen) {
    std::string role, database, user;
    MemberRead rr = member_text(job->payload, "role", 16, true, &role, msg, msglen);
    MemberRead rd = rr == MEMBER_REFUSED
                        ? MEMBER_ABSENT
                        : member_text(job->payload, "database", 64, true, &database, msg, msglen);
    MemberRead ru = (rr == MEMBER_REFUSED || rd == MEMBER_REFUSED)
                        ? MEMBER_ABSENT
                        : member_text(job->payload, "username", 64, true, &user, msg, msglen);
    if (rr == MEMBER_REFUSED || rd == MEMBER_REFUSED || ru == MEMBER_REFUSED) return nullptr;
    if (rr == MEMBER_ABSENT || rd == MEMBER_ABSENT || ru == MEMBER_ABSENT) {
        std::string sql;
        if (job_sql_member(job, SIMPLE_SQL_MAX, &sql, msg, msglen) != 0) return nullptr;
        char rbuf[16], dbuf[64], ubuf[64];
        if (parse_grant_sql(sql.c_str(), rbuf, sizeof rbuf, dbuf, sizeof dbuf, ubuf, sizeof ubuf,
                            msg, msglen) != 0)
            return nullptr;
        role = rbuf;
        database = dbuf;
        user = ubuf;
    }
    // Only the words GRANT accepts: anything else would be stored and then
    // act as no access at all.
    if (parse_user_role_name(role.c_str()) == ROLE_NONE) {
        set_err(msg, msglen, "unknown role");
        return nullptr;
    }
    std::string db = registered_database(database.c_str());
    if (db.empty()) {
        set_err(msg, msglen, "database not found");
        return nullptr;
    }
    {
        char* row_p = nullptr;
        int deleted = 0;
        char lookup_err[128];
        int found =
            user_lookup_row(user.c_str(), &row_p, &deleted, lookup_err, sizeof lookup_err) == 0;
        CStr row(row_p);
        if (!found || !row || deleted) {
            set_err(msg, msglen, "user not found");
            return nullptr;
        }
    }
    // Built before the change: nothing that can throw follows it.
    const std::string done = "{\"ok\":true,\"message\":\"role granted\",\"username\":\"" +
                             json_escaped(user.c_str()) + "\",\"database\":\"" +
                             json_escaped(db.c_str()) + "\",\"role\":\"" +
                             json_escaped(role.c_str()) + "\"}";
    if (system_grant_role_record(user.c_str(), db.c_str(), role.c_str(), msg, msglen) != 0)
        return nullptr;
    return reply_copy(done);
}

// ---- databases and tables -------------------------------------------------

char* handle_create_database(Job* job, char* msg, size_t msglen) {
    std::string name;
    MemberRead r = member_text(job->payload, "database", 64, true, &name, msg, msglen);
    if (r == MEMBER_REFUSED) return nullptr;
    if (r == MEMBER_ABSENT) {
        std::string sql;
        if (job_sql_member(job, SIMPLE_SQL_MAX, &sql, msg, msglen) != 0) return nullptr;
        char dbuf[64];
        if (parse_create_database_sql(sql.c_str(), dbuf, sizeof dbuf, msg, msglen) != 0)
            return nullptr;
        name = dbuf;
    }
    // Decided first, logged next, created last: a record that cannot be
    // written leaves no database behind, live or in databases.meta.
    char db[64];
    if (database_create_check(name.c_str(), db, sizeof db, msg, msglen) != 0) return nullptr;
    // Built before the change: nothing that can throw follows it.
    const std::string done =
        "{\"ok\":true,\"message\":\"database created\",\"database\":\"" + json_escaped(db) + "\"}";
    if (wal_append_record(WAL_OP_CREATE_DATABASE, next_seq(), db, "", "", msg, msglen) != 0)
        return nullptr;
    // Logged: a databases.meta that cannot be written is written by the next
    // checkpoint, and replay creates the database until then.
    char warning[kMsgSize] = "";
    database_create(db, warning, sizeof warning);
    return reply_with_warning(done, warning);
}

// Reads the "columns" array of a JSON create_table request into schema. Each
// column's members are read from its own object only.
int json_columns_to_schema(const char* payload, TableSchema* schema, char* msg, size_t msglen) {
    if (!json_find_key(payload, "columns")) {
        set_err(msg, msglen, "missing columns");
        return -1;
    }
    StringArray cols;
    if (json_extract_array_objects_raw(payload, "columns", &cols.items, &cols.count) != 0) {
        set_err(msg, msglen, "invalid columns");
        return -1;
    }
    if (cols.count < 1) {
        set_err(msg, msglen, "missing columns");
        return -1;
    }
    if (cols.count > KYREL_MAX_COLUMNS) {
        set_err(msg, msglen, "too many columns");
        return -1;
    }
    int pk_count = 0;
    for (int i = 0; i < cols.count; i++) {
        const char* obj = cols.items[i];
        std::string name, type, pk;
        if (member_text(obj, "name", 64, false, &name, msg, msglen) == MEMBER_REFUSED) return -1;
        if (name.empty()) {
            set_err(msg, msglen, "missing column name");
            return -1;
        }
        if (ident_check_client_name(name.c_str(), "column name", msg, msglen) != 0) return -1;
        // Unique ignoring case, as in CREATE TABLE.
        for (int j = 0; j < schema->column_count; j++) {
            if (strcasecmp(name.c_str(), schema->columns[j].name) == 0) {
                set_errf(msg, msglen, "duplicate column name '%s'", name.c_str());
                return -1;
            }
        }
        if (member_text(obj, "type", 64, false, &type, msg, msglen) == MEMBER_REFUSED) return -1;
        int t = parse_type_name(type.c_str());
        if (t == COL_TYPE_UNKNOWN) {
            set_err(msg, msglen, "unsupported type");
            return -1;
        }
        ColumnDef& c = schema->columns[schema->column_count];
        snprintf(c.name, sizeof c.name, "%s", name.c_str());
        c.type = t;
        c.max_length = t == COL_TYPE_STRING ? 2047 : 0;
        // Only a string "true" (any case) or "1" marks the key column.
        if (member_text(obj, "primary_key", 16, false, &pk, msg, msglen) == MEMBER_REFUSED)
            return -1;
        if (strcasecmp(pk.c_str(), "true") == 0 || pk == "1") {
            if (++pk_count > 1) {
                set_err(msg, msglen, "only one primary key column is allowed");
                return -1;
            }
            c.is_primary_key = 1;
            snprintf(schema->primary_key, sizeof schema->primary_key, "%s", c.name);
        }
        schema->column_count++;
    }
    if (pk_count == 0) {
        set_err(msg, msglen, "primary key required");
        return -1;
    }
    return 0;
}

char* handle_create_table(Job* job, char* msg, size_t msglen) {
    const std::string db = session_database(job->session);
    auto schema = std::make_unique<TableSchema>();
    memset(schema.get(), 0, sizeof *schema);
    std::string sql;
    MemberRead rs = job_sql_text(job, 8192, &sql, msg, msglen);
    if (rs == MEMBER_REFUSED) return nullptr;
    std::string wal_text;
    if (rs == MEMBER_PRESENT) {
        if (parse_create_table_sql(sql.c_str(), schema.get(), msg, msglen) != 0) return nullptr;
        wal_text = sql;
    } else {
        std::string table;
        MemberRead rt = member_text(job->payload, "table", 130, false, &table, msg, msglen);
        if (rt == MEMBER_REFUSED) return nullptr;
        if (copy_ident_checked(schema->name, KYREL_IDENT_SIZE, table.c_str(), "table name", msg,
                               msglen) != 0)
            return nullptr;
        if (json_columns_to_schema(job->payload, schema.get(), msg, msglen) != 0) return nullptr;
        wal_text = std::string("CREATE TABLE ") + schema->name + " (";
        for (int i = 0; i < schema->column_count; i++) {
            const ColumnDef& c = schema->columns[i];
            if (i) wal_text += ", ";
            wal_text += c.name;
            wal_text += " ";
            wal_text += type_name(c.type);
            if (c.is_primary_key) wal_text += " PRIMARY KEY";
        }
        wal_text += ")";
        // Replay parses this text again; a statement it would refuse must
        // not be logged (the table would vanish at the next start).
        if (wal_text.size() >= CREATE_TABLE_SQL_MAX) {
            set_err(msg, msglen, "CREATE TABLE statement too long");
            return nullptr;
        }
    }
    SessionTable st;
    if (session_table_name(job->session, schema->name, &st, msg, msglen) != 0) return nullptr;
    const char* internal = st.internal;
    // Built before the change: nothing that can throw follows it.
    const std::string done = "{\"ok\":true,\"message\":\"table created\",\"database\":\"" +
                             json_escaped(db.c_str()) + "\"}";
    char warning[kMsgSize] = "";
    if (table_create_logged(internal, schema.get(), wal_text.c_str(), warning, sizeof warning, msg,
                            msglen) != 0)
        return nullptr;
    return reply_with_warning(done, warning);
}

// ---- row changes ----------------------------------------------------------

bool is_row_change(uint32_t kind) {
    return kind == JOB_INSERT || kind == JOB_BATCH_INSERT || kind == JOB_UPDATE ||
           kind == JOB_DELETE;
}

// The row statement of an INSERT, UPDATE or DELETE job, from its request.
RowStatement* read_row_statement(const Job* job) {
    char msg[kMsgSize] = {0};
    if (job->kind == JOB_UPDATE || job->kind == JOB_DELETE) {
        std::string sql;
        const bool update = job->kind == JOB_UPDATE;
        if (job_sql_member(job, update ? 8192 : 4096, &sql, msg, sizeof msg) != 0)
            return row_statement_refused(msg);
        return update ? row_statement_update(sql.c_str()) : row_statement_delete(sql.c_str());
    }
    std::string table;
    MemberRead rt = member_text(job->payload, "table", 64, false, &table, msg, sizeof msg);
    if (rt == MEMBER_REFUSED) return row_statement_refused(msg);
    if (rt == MEMBER_ABSENT) {
        if (!job->request.sql) return row_statement_refused("missing sql");
        return row_statement_insert_sql(job->session, job->request.sql, job->request.sql_norm);
    }
    StringArray rows;
    if (job->kind == JOB_BATCH_INSERT) {
        if (json_extract_array_objects_raw(job->payload, "rows", &rows.items, &rows.count) != 0 ||
            rows.count < 1)
            return row_statement_refused("missing rows");
    } else {
        char* data = nullptr;
        if (json_extract_object_raw(job->payload, "data", &data) != 0 || !data)
            return row_statement_refused("missing data");
        rows.items = static_cast<char**>(malloc(sizeof(char*)));
        if (!rows.items) {
            free(data);
            return row_statement_refused("oom");
        }
        rows.items[0] = data;
        rows.count = 1;
    }
    RowStatement* st =
        row_statement_insert_rows(job->session, table.c_str(), rows.items, rows.count);
    rows.items = nullptr;  // taken over
    rows.count = 0;
    return st;
}

// Runs the job's row statement (read ahead, or read now); with a group, a
// change that waits in it returns nullptr with msg empty.
char* handle_row_change(Job* job, char* msg, size_t msglen, ChangeGroup* group) {
    if (!job->request.row) job->request.row = read_row_statement(job);
    char* out = nullptr;
    int rc = exec_row_statement(job->session, job->request.row, group, &out, msg, msglen);
    if (rc == 0) return out;
    free(out);
    if (!msg[0] && (job->kind == JOB_INSERT || job->kind == JOB_BATCH_INSERT))
        set_err(msg, msglen, "insert failed");
    return nullptr;
}

// The group's answer to a row change that waited in it.
void finish_row_change(void* owner, char* reply, const char* err) {
    Job* job = static_cast<Job*>(owner);
    job_mark_done(job, err ? make_error_json(err) : reply);
}

}  // namespace

// Reading ahead only saves the commit thread work: when it runs out of
// memory, the commit side reads the statement itself and answers.
int write_login_gate(Job* job, char* msg, size_t msglen) {
    if (!job || job->kind != JOB_LOGIN || !job->session) return 0;
    std::string user, password;
    // A request the handler will refuse anyway is left to it.
    if (read_login_credentials(job, &user, &password, msg, msglen) != 0) return 0;
    return login_throttle_check(job->session->peer_address, user.c_str(), msg, msglen);
}

void write_read_ahead(Job* job) {
    if (!job || !is_row_change(job->kind) || job->request.row) return;
    run_unless_oom([job] { job->request.row = read_row_statement(job); });
}

namespace {

// The job's handler: its reply, or nullptr with the message in msg.
char* run_write_kind(Job* job, char* msg, size_t msglen, ChangeGroup* group) {
    switch (job->kind) {
    case JOB_LOGIN: return handle_login(job, msg, msglen);
    case JOB_CHANGE_PASSWORD: return handle_change_password(job, msg, msglen);
    case JOB_CREATE_USER: return handle_create_user(job, msg, msglen);
    case JOB_GRANT_ROLE: return handle_grant_role(job, msg, msglen);
    case JOB_CREATE_DATABASE: return handle_create_database(job, msg, msglen);
    case JOB_CREATE_TABLE: return handle_create_table(job, msg, msglen);
    case JOB_INSERT:
    case JOB_BATCH_INSERT:
    case JOB_UPDATE:
    case JOB_DELETE: return handle_row_change(job, msg, msglen, group);
    case JOB_ALTER_TABLE: return ddl_handle_alter_table(job, msg, msglen);
    case JOB_DROP_TABLE: return ddl_handle_drop_table(job, msg, msglen);
    case JOB_CREATE_INDEX: return ddl_handle_create_index(job, msg, msglen);
    case JOB_DROP_INDEX: return ddl_handle_drop_index(job, msg, msglen);
    case JOB_CREATE_PROCEDURE: return proc_handle_create(job, msg, msglen);
    case JOB_DROP_PROCEDURE: return proc_handle_drop(job, msg, msglen);
    case JOB_CALL_PROCEDURE: return proc_handle_call(job, msg, msglen);
    default: set_err(msg, msglen, "unsupported action"); return nullptr;
    }
}

}  // namespace

void apply_write_job(Job* job, ChangeGroup* group) {
    if (!job) return;
    if (group) group->owner = job;
    char msg[kMsgSize] = {0};
    char* out = nullptr;
    // A handler's containers running out of memory end the job with "oom".
    // Nothing that can throw follows a change's log record (exec/row_change),
    // so a change that joined the group is still answered by its flush.
    if (!run_unless_oom([&] { out = run_write_kind(job, msg, sizeof msg, group); }))
        set_err(msg, sizeof msg, "oom");
    if (change_group_holds(group, job)) {
        free(out);  // the group's flush answers this job
        return;
    }
    if (!out) out = make_error_json(msg[0] ? msg : "write failed");
    job_mark_done(job, out);
}

void* write_ingress_worker(void*) {
    Job* batch[COMMIT_GROUP_MAX];
    while (g_running) {
        // One Job waited for, then every one there is, up to 128.
        const int n = queue_pop_batch(&g_write_queue, batch, COMMIT_GROUP_MAX, -1);
        if (n < 1) continue;
        // One addition per counter for the whole batch.
        stats_add(&g_stats.counters.total_requests, n);
        stats_add(&g_stats.counters.write_requests, n);
        queue_push_batch(&g_commit, batch, n);
    }
    return nullptr;
}

void* commit_thread(void*) {
    Job* group[COMMIT_GROUP_MAX];
    ChangeGroup changes(finish_row_change);  // kept: its buffers serve every group
    while (g_running) {
        // One Job waited for up to 200 ms, then every one there is, up to
        // 128; then, when set, one more wait of commit_group_wait_ms to fill
        // the group.
        int n = queue_pop_batch(&g_commit, group, COMMIT_GROUP_MAX, COMMIT_POP_WAIT_MS);
        if (n < 1) continue;
        const int wait_ms = g_cfg.commit_group_wait_ms;
        if (n < COMMIT_GROUP_MAX && wait_ms > 0)
            n += queue_pop_batch(&g_commit, group + n, COMMIT_GROUP_MAX - n, wait_ms);
        // The row changes of the group are logged together; every other job
        // first has the changes before it written and linked, so each job
        // sees what all earlier ones did. The checkpoint lock is held from
        // the first job to the last flush (see ChangeGroup).
        std::lock_guard<std::mutex> cp(g_checkpoint_lock);
        for (int i = 0; i < n; i++) {
            if (!is_row_change(group[i]->kind)) change_group_flush(&changes);
            apply_write_job(group[i], &changes);
        }
        change_group_flush(&changes);
    }
    return nullptr;
}
