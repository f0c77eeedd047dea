// Session scope: the role lookup behind request authorisation and the
// per-statement checks of procedures, and the resolution of the table names
// a client writes.
#include "exec/session_scope.h"

#include <cstdio>

#include "base/err.h"

#include "query/session.h"
#include "storage/table.h"

int session_is_local_admin(const Session* s) {
    return s && s->authenticated && s->is_admin && s->from_localhost ? 1 : 0;
}

int session_db_role(const Session* session, const char* database, UserRole* out_role, char* msg,
                    size_t msglen) {
    if (out_role) *out_role = ROLE_NONE;
    if (!session || !session->authenticated) {
        set_err(msg, msglen, "not authenticated");
        return -1;
    }
    if (session->is_admin) {
        if (out_role) *out_role = ROLE_FULL;
        return 0;
    }
    UserRole role = ROLE_NONE;
    const char* db = (database && *database) ? database : "default";
    if (role_lookup(&role, session->username, db) != 0) {
        set_err(msg, msglen, "role lookup failed");
        return -1;
    }
    if (out_role) *out_role = role;
    return 0;
}

int session_table_name(const Session* s, const char* written, SessionTable* out, char* err,
                       size_t errlen) {
    *out = SessionTable();
    if (copy_ident_checked(out->name, sizeof out->name, written, "table name", err, errlen) != 0)
        return -1;
    make_internal_table_name(session_database(s), out->name, out->internal, sizeof out->internal);
    return 0;
}

int session_table_resolve(const Session* s, const char* written, TableUse use, SessionTable* out,
                          char* err, size_t errlen) {
    if (session_table_name(s, written, out, err, errlen) != 0) return -1;
    Table* t = table_find_live(out->internal, err, errlen);
    if (!t) return -1;
    // The system tables' rows are changed by the statements made for them
    // (CREATE USER, GRANT, CREATE PROCEDURE); by hand only with the rights of
    // user management, never through a grant on config_db.
    if (use == TableUse::Change && table_is_protected_internal_name(out->internal) &&
        !session_is_local_admin(s)) {
        set_err(err, errlen, "cannot change system table");
        return -1;
    }
    out->table = t;
    return 0;
}
