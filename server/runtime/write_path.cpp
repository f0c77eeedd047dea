// Write path: write-ingress workers move write Jobs in batches from the write
// queue to the commit queue; the one commit thread takes them in groups and
// applies them one after another, each answered through job_mark_done.
//
// Every job is applied with g_checkpoint_lock held, so no checkpoint from
// another thread can run between a change reaching memory and its log record
// (or between the log record and a truncation of the log).
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
#include "base/json_text.h"
#include "base/owned.h"
#include "base/stats.h"
#include "base/text_util.h"
#include "exec/row_statements.h"
#include "exec/session_scope.h"
#include "exec/system_tables.h"
#include "query/session.h"
#include "query/simple_parse.h"
#include "runtime/classify.h"
#include "runtime/ddl_apply.h"
#include "runtime/job_queue.h"
#include "runtime/login.h"
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

struct StringArray {
    char** items = nullptr;
    int count = 0;
    ~StringArray() { free_string_array(items, count); }
};

void set_msg(char* msg, const char* text) { snprintf(msg, kMsgSize, "%s", text); }

// Reply texts: one heap copy of the text (nullptr answers "out of memory").
char* reply(const std::string& text) { return xstrdup2(text.c_str()); }

std::string esc(const char* text) {
    CStr e(json_escape_string(text ? text : ""));
    return e ? std::string(e.get()) : std::string();
}

// Registered spelling of a database name, or "" when it is not registered.
std::string registered_database(const char* name) {
    RwReadGuard g(&g_databases_lock);
    int i = database_find_index_unlocked(name);
    return i >= 0 ? std::string(g_databases[i]) : std::string();
}

// ---- login and users ------------------------------------------------------

char* handle_login(Job* job, char* msg) {
    std::string user, password;
    int ru = member_text(job->payload, "username", 64, true, &user, msg);
    int rp = member_text(job->payload, "password", 256, false, &password, msg);
    if (ru < 0 || rp < 0) return nullptr;
    if (ru == 0 || rp == 0) {
        std::string sql;
        int rs = member_text(job->payload, "sql", SIMPLE_SQL_MAX, false, &sql, msg);
        if (rs < 0) return nullptr;
        if (rs == 0) {
            set_msg(msg, "missing login payload");
            return nullptr;
        }
        char ubuf[64], pbuf[256];
        if (parse_login_sql(sql.c_str(), ubuf, sizeof ubuf, pbuf, sizeof pbuf, msg, kMsgSize) != 0)
            return nullptr;
        user = ubuf;
        password = pbuf;
    }
    char warning[256];
    if (system_authenticate(job->session, user.c_str(), password.c_str(), warning, sizeof warning,
                            msg, kMsgSize) != 0)
        return nullptr;
    std::string out = "{\"ok\":true,\"message\":\"login successful\",\"username\":\"" +
                      esc(user.c_str()) + "\",\"must_change_password\":";
    if (!warning[0])
        out += "false}";
    else
        out += "true,\"warning\":\"" + esc(warning) + "\"}";
    return reply(out);
}

char* handle_change_password(Job* job, char* msg) {
    std::string password;
    int r = member_text(job->payload, "new_password", 256, false, &password, msg);
    if (r == 0) r = member_text(job->payload, "password", 256, false, &password, msg);
    if (r < 0) return nullptr;
    if (r == 0) {
        std::string sql;
        int rs = member_text(job->payload, "sql", SIMPLE_SQL_MAX, false, &sql, msg);
        if (rs < 0) return nullptr;
        if (rs == 0) {
            set_msg(msg, "missing new_password or sql");
            return nullptr;
        }
        char pbuf[256];
        if (parse_change_password_sql(sql.c_str(), pbuf, sizeof pbuf, msg, kMsgSize) != 0)
            return nullptr;
        password = pbuf;
    }
    if (system_change_password(job->session, password.c_str(), msg, kMsgSize) != 0) return nullptr;
    return reply("{\"ok\":true,\"message\":\"password changed\"}");
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

char* handle_create_user(Job* job, char* msg) {
    std::string user, password;
    int ru = member_text(job->payload, "username", 64, true, &user, msg);
    int rp = member_text(job->payload, "password", 256, false, &password, msg);
    if (ru < 0 || rp < 0) return nullptr;
    if (ru == 0 || rp == 0) {
        std::string sql;
        if (member_sql(job->payload, SIMPLE_SQL_MAX, &sql, msg) != 0) return nullptr;
        char ubuf[64], pbuf[256];
        if (parse_create_user_sql(sql.c_str(), ubuf, sizeof ubuf, pbuf, sizeof pbuf, msg,
                                  kMsgSize) != 0)
            return nullptr;
        user = ubuf;
        password = pbuf;
    }
    if (!valid_user_name(user)) {
        set_msg(msg, "invalid username");
        return nullptr;
    }
    if (password.empty()) {
        set_msg(msg, "missing password");
        return nullptr;
    }
    // Any spelling of the administrator's name logs in as administrator.
    if (strcasecmp(user.c_str(), DEFAULT_ADMIN_USER) == 0) {
        set_msg(msg, "user already exists");
        return nullptr;
    }
    if (system_create_user_record(user.c_str(), password.c_str(), 1, 1, msg, kMsgSize) != 0)
        return nullptr;
    return reply("{\"ok\":true,\"message\":\"user created\",\"username\":\"" + esc(user.c_str()) +
                 "\"}");
}

char* handle_grant_role(Job* job, char* msg) {
    std::string role, database, user;
    int rr = member_text(job->payload, "role", 16, true, &role, msg);
    int rd = rr < 0 ? 0 : member_text(job->payload, "database", 64, true, &database, msg);
    int ru = (rr < 0 || rd < 0) ? 0 : member_text(job->payload, "username", 64, true, &user, msg);
    if (rr < 0 || rd < 0 || ru < 0) return nullptr;
    if (rr == 0 || rd == 0 || ru == 0) {
        std::string sql;
        if (member_sql(job->payload, SIMPLE_SQL_MAX, &sql, msg) != 0) return nullptr;
        char rbuf[16], dbuf[64], ubuf[64];
        if (parse_grant_sql(sql.c_str(), rbuf, sizeof rbuf, dbuf, sizeof dbuf, ubuf, sizeof ubuf,
                            msg, kMsgSize) != 0)
            return nullptr;
        role = rbuf;
        database = dbuf;
        user = ubuf;
    }
    // Only the words GRANT accepts: anything else would be stored and then
    // act as no access at all.
    if (parse_user_role_name(role.c_str()) == ROLE_NONE) {
        set_msg(msg, "unknown role");
        return nullptr;
    }
    std::string db = registered_database(database.c_str());
    if (db.empty()) {
        set_msg(msg, "database not found");
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
            set_msg(msg, "user not found");
            return nullptr;
        }
    }
    if (system_grant_role_record(user.c_str(), db.c_str(), role.c_str(), msg, kMsgSize) != 0)
        return nullptr;
    return reply("{\"ok\":true,\"message\":\"role granted\",\"username\":\"" + esc(user.c_str()) +
                 "\",\"database\":\"" + esc(db.c_str()) + "\",\"role\":\"" + esc(role.c_str()) +
                 "\"}");
}

// ---- databases and tables -------------------------------------------------

char* handle_create_database(Job* job, char* msg) {
    std::string name;
    int r = member_text(job->payload, "database", 64, true, &name, msg);
    if (r < 0) return nullptr;
    if (r == 0) {
        std::string sql;
        if (member_sql(job->payload, SIMPLE_SQL_MAX, &sql, msg) != 0) return nullptr;
        char dbuf[64];
        if (parse_create_database_sql(sql.c_str(), dbuf, sizeof dbuf, msg, kMsgSize) != 0)
            return nullptr;
        name = dbuf;
    }
    if (database_create(name.c_str(), msg, kMsgSize) != 0) return nullptr;
    std::string db = registered_database(name.c_str());
    if (db.empty()) db = name;
    uint64_t seq = next_seq();
    if (wal_append_record(WAL_OP_CREATE_DATABASE, seq, db.c_str(), "", "", msg, kMsgSize) != 0)
        return nullptr;
    return reply("{\"ok\":true,\"message\":\"database created\",\"database\":\"" + esc(db.c_str()) +
                 "\"}");
}

// Reads the "columns" array of a JSON create_table request into schema. Each
// column's members are read from its own object only.
int json_columns_to_schema(const char* payload, TableSchema* schema, char* msg) {
    if (!json_find_key(payload, "columns")) {
        set_msg(msg, "missing columns");
        return -1;
    }
    StringArray cols;
    if (json_extract_array_objects_raw(payload, "columns", &cols.items, &cols.count) != 0) {
        set_msg(msg, "invalid columns");
        return -1;
    }
    if (cols.count < 1) {
        set_msg(msg, "missing columns");
        return -1;
    }
    if (cols.count > KYREL_MAX_COLUMNS) {
        set_msg(msg, "too many columns");
        return -1;
    }
    int pk_count = 0;
    for (int i = 0; i < cols.count; i++) {
        const char* obj = cols.items[i];
        std::string name, type, pk;
        if (member_text(obj, "name", 64, false, &name, msg) < 0) return -1;
        if (name.empty()) {
            set_msg(msg, "missing column name");
            return -1;
        }
        if (ident_check_client_name(name.c_str(), "column name", msg, kMsgSize) != 0) return -1;
        // Unique ignoring case, as in CREATE TABLE.
        for (int j = 0; j < schema->column_count; j++) {
            if (strcasecmp(name.c_str(), schema->columns[j].name) == 0) {
                snprintf(msg, kMsgSize, "duplicate column name '%s'", name.c_str());
                return -1;
            }
        }
        if (member_text(obj, "type", 64, false, &type, msg) < 0) return -1;
        int t = parse_type_name(type.c_str());
        if (t == COL_TYPE_UNKNOWN) {
            set_msg(msg, "unsupported type");
            return -1;
        }
        ColumnDef& c = schema->columns[schema->column_count];
        snprintf(c.name, sizeof c.name, "%s", name.c_str());
        c.type = t;
        c.max_length = t == COL_TYPE_STRING ? 2047 : 0;
        // Only a string "true" (any case) or "1" marks the key column.
        if (member_text(obj, "primary_key", 16, false, &pk, msg) < 0) return -1;
        if (strcasecmp(pk.c_str(), "true") == 0 || pk == "1") {
            if (++pk_count > 1) {
                set_msg(msg, "only one primary key column is allowed");
                return -1;
            }
            c.is_primary_key = 1;
            snprintf(schema->primary_key, sizeof schema->primary_key, "%s", c.name);
        }
        schema->column_count++;
    }
    if (pk_count == 0) {
        set_msg(msg, "primary key required");
        return -1;
    }
    return 0;
}

char* handle_create_table(Job* job, char* msg) {
    const std::string db = session_database(job->session);
    auto schema = std::make_unique<TableSchema>();
    memset(schema.get(), 0, sizeof *schema);
    std::string sql;
    int rs = member_text(job->payload, "sql", 8192, false, &sql, msg);
    if (rs < 0) return nullptr;
    std::string wal_text;
    if (rs == 1) {
        if (parse_create_table_sql(sql.c_str(), schema.get(), msg, kMsgSize) != 0) return nullptr;
        wal_text = sql;
    } else {
        std::string table;
        int rt = member_text(job->payload, "table", 130, false, &table, msg);
        if (rt < 0) return nullptr;
        if (copy_ident_checked(schema->name, KYREL_IDENT_SIZE, table.c_str(), "table name", msg,
                               kMsgSize) != 0)
            return nullptr;
        if (json_columns_to_schema(job->payload, schema.get(), msg) != 0) return nullptr;
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
            set_msg(msg, "CREATE TABLE statement too long");
            return nullptr;
        }
    }
    SessionTable st;
    if (session_table_name(job->session, schema->name, &st, msg, kMsgSize) != 0) return nullptr;
    const char* internal = st.internal;
    if (table_create(internal, schema.get(), msg, kMsgSize) != 0) return nullptr;
    {
        char ignored[kMsgSize];
        catalog_save(ignored, sizeof ignored);
    }
    uint64_t seq = next_seq();
    if (wal_append_record(WAL_OP_CREATE_TABLE, seq, internal, "", wal_text.c_str(), msg,
                          kMsgSize) != 0)
        return nullptr;
    return reply("{\"ok\":true,\"message\":\"table created\",\"database\":\"" + esc(db.c_str()) +
                 "\"}");
}

// ---- row changes ----------------------------------------------------------

char* reply_or_null(int rc, char* out) {
    if (rc == 0) return out;
    free(out);
    return nullptr;
}

char* handle_insert(Job* job, char* msg) {
    std::string table;
    int rt = member_text(job->payload, "table", 64, false, &table, msg);
    if (rt < 0) return nullptr;
    char* out = nullptr;
    int rc;
    if (rt == 0) {
        CStr sql;
        char* raw = nullptr;
        if (json_extract_string_alloc(job->payload, "sql", &raw) != 0 || !raw) {
            free(raw);
            set_msg(msg, "missing sql");
            return nullptr;
        }
        sql.reset(raw);
        rc = exec_insert_sql(job->session, sql.get(), &out, msg, kMsgSize);
    } else {
        StringArray rows;
        if (job->kind == JOB_BATCH_INSERT) {
            if (json_extract_array_objects_raw(job->payload, "rows", &rows.items, &rows.count) !=
                    0 ||
                rows.count < 1) {
                set_msg(msg, "missing rows");
                return nullptr;
            }
        } else {
            char* data = nullptr;
            if (json_extract_object_raw(job->payload, "data", &data) != 0 || !data) {
                set_msg(msg, "missing data");
                return nullptr;
            }
            rows.items = static_cast<char**>(malloc(sizeof(char*)));
            if (!rows.items) {
                free(data);
                set_msg(msg, "oom");
                return nullptr;
            }
            rows.items[0] = data;
            rows.count = 1;
        }
        rc = exec_insert_json_rows(job->session, table.c_str(), rows.items, rows.count, &out, msg,
                                   kMsgSize);
    }
    if (rc != 0 && !msg[0]) set_msg(msg, "insert failed");
    return reply_or_null(rc, out);
}

char* handle_update(Job* job, char* msg) {
    std::string sql;
    if (member_sql(job->payload, 8192, &sql, msg) != 0) return nullptr;
    char* out = nullptr;
    int rc = exec_update_sql(job->session, sql.c_str(), &out, msg, kMsgSize);
    return reply_or_null(rc, out);
}

char* handle_delete(Job* job, char* msg) {
    std::string sql;
    if (member_sql(job->payload, 4096, &sql, msg) != 0) return nullptr;
    char* out = nullptr;
    int rc = exec_delete_sql(job->session, sql.c_str(), &out, msg, kMsgSize);
    return reply_or_null(rc, out);
}

}  // namespace

void apply_write_job(Job* job) {
    if (!job) return;
    char msg[kMsgSize] = {0};
    char* out = nullptr;
    switch (job->kind) {
    case JOB_LOGIN: out = handle_login(job, msg); break;
    case JOB_CHANGE_PASSWORD: out = handle_change_password(job, msg); break;
    case JOB_CREATE_USER: out = handle_create_user(job, msg); break;
    case JOB_GRANT_ROLE: out = handle_grant_role(job, msg); break;
    case JOB_CREATE_DATABASE: out = handle_create_database(job, msg); break;
    case JOB_CREATE_TABLE: out = handle_create_table(job, msg); break;
    case JOB_INSERT:
    case JOB_BATCH_INSERT: out = handle_insert(job, msg); break;
    case JOB_UPDATE: out = handle_update(job, msg); break;
    case JOB_DELETE: out = handle_delete(job, msg); break;
    case JOB_ALTER_TABLE: out = ddl_handle_alter_table(job, msg); break;
    case JOB_DROP_TABLE: out = ddl_handle_drop_table(job, msg); break;
    case JOB_CREATE_INDEX: out = ddl_handle_create_index(job, msg); break;
    case JOB_DROP_INDEX: out = ddl_handle_drop_index(job, msg); break;
    case JOB_CREATE_PROCEDURE: out = proc_handle_create(job, msg); break;
    case JOB_DROP_PROCEDURE: out = proc_handle_drop(job, msg); break;
    case JOB_CALL_PROCEDURE: out = proc_handle_call(job, msg); break;
    default: set_msg(msg, "unsupported action"); break;
    }
    if (!out) out = make_error_json(msg[0] ? msg : "write failed");
    job_mark_done(job, out);
}

void* write_ingress_worker(void*) {
    Job* batch[COMMIT_GROUP_MAX];
    while (g_running) {
        Job* first = queue_pop(&g_write_queue, -1);
        if (!first) continue;
        int n = 0;
        batch[n++] = first;
        while (n < COMMIT_GROUP_MAX) {
            Job* next = queue_pop(&g_write_queue, 0);
            if (!next) break;
            batch[n++] = next;
        }
        // One addition per counter for the whole batch.
        stats_add(&g_stats.total_requests, n);
        stats_add(&g_stats.write_requests, n);
        queue_push_batch(&g_commit, batch, n);
    }
    return nullptr;
}

void* commit_thread(void*) {
    Job* group[COMMIT_GROUP_MAX];
    while (g_running) {
        Job* first = queue_pop(&g_commit, COMMIT_POP_WAIT_MS);
        if (!first) continue;
        int n = 0;
        group[n++] = first;
        auto drain = [&] {
            while (n < COMMIT_GROUP_MAX) {
                Job* next = queue_pop(&g_commit, 0);
                if (!next) break;
                group[n++] = next;
            }
        };
        drain();
        const int wait_ms = g_cfg.commit_group_wait_ms;
        if (n < COMMIT_GROUP_MAX && wait_ms > 0) {
            Job* more = queue_pop(&g_commit, wait_ms);
            if (more) {
                group[n++] = more;
                drain();
            }
        }
        for (int i = 0; i < n; i++) {
            std::lock_guard<std::recursive_mutex> cp(g_checkpoint_lock);
            apply_write_job(group[i]);
        }
    }
    return nullptr;
}
