// SQL of a procedure body, run as the caller: per-statement role check on the
// session database and execution through the same parsers, row functions and
// WAL records as direct requests.
//
// The statements themselves run exactly as direct requests do
// (exec/row_statements.h): the same resolution in the session database and
// the same change road.
#include "procedures/sp_invoker.h"

#include <strings.h>

#include <string>

#include "exec/row_statements.h"
#include "exec/session_scope.h"
#include "procedures/sp_util.h"
#include "query/session.h"

namespace {

bool is_select(const std::string& s) {
    return sp_ci_starts(s, "SELECT ") || sp_ci_equal(s, "SELECT");
}
bool is_write(const std::string& s) {
    return sp_ci_starts(s, "INSERT INTO ") || sp_ci_starts(s, "UPDATE ") ||
           sp_ci_starts(s, "DELETE FROM ");
}

}  // namespace

int sp_authorize_invoker_sql(const Session* session, const char* sql, char* err, size_t errlen) {
    if (!session || !session->authenticated) return sp_fail(err, errlen, "authentication required");
    if (session->is_admin) return 0;
    if (!sql || strlen(sql) > 8191) return sp_fail(err, errlen, "procedure SQL too long");
    std::string s = sp_norm_trim(sql);
    std::string db = session_database(session);
    UserRole role = ROLE_NONE;
    char msg[256] = "";
    if (session_db_role(session, db.c_str(), &role, msg, sizeof msg) != 0)
        return sp_fail(err, errlen, "%s", msg[0] ? msg : "role lookup failed");
    if (is_select(s)) {
        if (role == ROLE_READ || role == ROLE_FULL) return 0;
        return sp_fail(err, errlen,
                       "permission denied: procedure SELECT requires READ or FULL on database %s",
                       db.c_str());
    }
    if (is_write(s)) {
        if (role == ROLE_WRITE || role == ROLE_FULL) return 0;
        return sp_fail(err, errlen,
                       "permission denied: procedure write statement requires WRITE or FULL on "
                       "database %s",
                       db.c_str());
    }
    return sp_fail(err, errlen, "unsupported procedure statement");
}

int sp_execute_invoker_sql(Session* session, const char* sql, char** out_reply, char* err,
                           size_t errlen) {
    if (out_reply) *out_reply = nullptr;
    if (!out_reply) return sp_fail(err, errlen, "internal procedure SQL error");
    if (!sql) return sp_fail(err, errlen, "missing procedure body");
    if (!sql[0]) return sp_fail(err, errlen, "procedure body cannot be empty");
    if (strlen(sql) >= 8192)
        return sp_fail(err, errlen,
                       "phase SP2 CALL supports executable SQL bodies up to 8191 bytes");
    std::string s = sp_norm_trim(sql);
    if (sp_authorize_invoker_sql(session, s.c_str(), err, errlen) != 0) return -1;
    char* out = nullptr;
    int rc;
    if (is_select(s))
        rc = exec_select_sql(session, s.c_str(), &out, err, errlen);
    else if (sp_ci_starts(s, "INSERT INTO "))
        rc = exec_insert_sql(session, s.c_str(), &out, err, errlen);
    else if (sp_ci_starts(s, "UPDATE "))
        rc = exec_update_sql(session, s.c_str(), &out, err, errlen);
    else if (sp_ci_starts(s, "DELETE FROM "))
        rc = exec_delete_sql(session, s.c_str(), &out, err, errlen);
    else
        return sp_fail(err, errlen, "unsupported procedure statement");
    if (rc != 0) {
        free(out);
        return -1;
    }
    *out_reply = out;
    return 0;
}
