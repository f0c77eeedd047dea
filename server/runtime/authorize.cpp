// Request authorisation: the fixed order of tests that decides whether a
// Session may run a Job, and the per-database role of a Session's user.
#include "runtime/authorize.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "base/err.h"
#include "base/json_text.h"
#include "base/owned.h"
#include "exec/session_scope.h"
#include "query/session.h"
#include "query/simple_parse.h"
#include "runtime/classify.h"
#include "runtime/job_queue.h"
#include "storage/db_registry.h"
#include "storage/ident.h"

namespace {

bool role_in(UserRole role, std::initializer_list<UserRole> allowed) {
    for (UserRole r : allowed)
        if (r == role) return true;
    return false;
}

}  // namespace

int use_target_database(const Job* job, char* out, size_t cap, char* msg, size_t msglen) {
    if (out && cap) out[0] = '\0';
    if (!job || !job->payload) {
        set_err(msg, msglen, "missing payload");
        return -1;
    }
    if (const char* sql = job->request.sql)
        return parse_use_database_sql(sql, out, cap, msg, msglen) == 0 ? 0 : -1;
    char* db_p = nullptr;
    if (json_extract_string_alloc(job->payload, "database", &db_p) == 0 && db_p) {
        CStr db(db_p);
        canonicalize_ident(db.get());
        if (!db.get()[0]) {
            set_err(msg, msglen, "missing database");
            return -1;
        }
        if (strlen(db.get()) >= cap || strlen(db.get()) >= KYREL_IDENT_SIZE) {
            set_err(msg, msglen, "database name too long");
            return -1;
        }
        snprintf(out, cap, "%s", db.get());
        return 0;
    }
    set_err(msg, msglen, "missing database");
    return -1;
}

int authorize_use_db(const Session* session, const Job* job, char* msg, size_t msglen) {
    char db[KYREL_IDENT_SIZE];
    if (use_target_database(job, db, sizeof db, msg, msglen) != 0) return -1;
    if (!database_exists(db)) {
        set_err(msg, msglen, "database not found");
        return -1;
    }
    if (session && session->is_admin) return 0;
    UserRole role = ROLE_NONE;
    if (session_db_role(session, db, &role, msg, msglen) != 0) return -1;
    if (role == ROLE_NONE) {
        set_err(msg, msglen, "permission denied");
        return -1;
    }
    return 0;
}

int authorize_job(const Session* session, const Job* job, char* msg, size_t msglen) {
    if (!job) {
        set_err(msg, msglen, "invalid request");
        return -1;
    }
    const uint32_t kind = job->kind;
    if (kind == JOB_PING || kind == JOB_LOGIN) return 0;
    if (!session || !session->authenticated) {
        set_err(msg, msglen, "authentication required");
        return -1;
    }
    if (session->must_change_password && kind != JOB_CHANGE_PASSWORD) {
        set_err(msg, msglen, "password must be changed before using KyrelDB");
        return -1;
    }
    if (kind == JOB_CREATE_USER || kind == JOB_GRANT_ROLE) {
        if (!session->is_admin) {
            set_err(msg, msglen, "permission denied");
            return -1;
        }
        if (session_is_local_admin(session)) return 0;
        set_err(msg, msglen, "user management is allowed only from localhost");
        return -1;
    }
    if (kind == JOB_CHANGE_PASSWORD || kind == JOB_SHOW_DATABASES) return 0;
    if (kind == JOB_USE_DATABASE) return authorize_use_db(session, job, msg, msglen);
    if (session->is_admin) return 0;
    switch (kind) {
    case JOB_SHOW_STATS:
    case JOB_SHOW_PERFORMANCE:
    case JOB_SHOW_MEMORY:
    case JOB_SHOW_WAL:
    case JOB_SHOW_WORKERS:
    case JOB_SHOW_CURSORS:
    case JOB_CREATE_DATABASE: set_err(msg, msglen, "permission denied"); return -1;
    default: break;
    }
    UserRole role = ROLE_NONE;
    const char* db = session->current_database[0] ? session->current_database : "default";
    if (session_db_role(session, db, &role, msg, msglen) != 0) return -1;

    bool allowed = false;
    switch (kind) {
    case JOB_SHOW_TABLES:
    case JOB_SHOW_TABLE:
    case JOB_SHOW_INDEXES:
    case JOB_SHOW_PROCEDURES:
    case JOB_SELECT:
    case JOB_SELECT_JOIN:
    case JOB_CURSOR_OPEN:
    case JOB_CURSOR_FETCH:
    case JOB_CURSOR_CLOSE:
    case JOB_CURSOR_KILL: allowed = role_in(role, {ROLE_READ, ROLE_FULL}); break;
    case JOB_CREATE_TABLE:
    case JOB_ALTER_TABLE:
    case JOB_DROP_TABLE:
    case JOB_CREATE_INDEX:
    case JOB_DROP_INDEX:
    case JOB_CREATE_PROCEDURE:
    case JOB_DROP_PROCEDURE: allowed = role == ROLE_FULL; break;
    case JOB_CALL_PROCEDURE: allowed = role_in(role, {ROLE_READ, ROLE_WRITE, ROLE_FULL}); break;
    case JOB_INSERT:
    case JOB_BATCH_INSERT:
    case JOB_UPDATE:
    case JOB_DELETE: allowed = role_in(role, {ROLE_WRITE, ROLE_FULL}); break;
    default: allowed = false; break;
    }
    if (!allowed) {
        set_err(msg, msglen, "permission denied");
        return -1;
    }
    return 0;
}
