// Session scope: the role lookup behind request authorisation and the
// per-statement checks of procedures.
#include "exec/session_scope.h"

#include <cstdio>

#include "query/session.h"

namespace {

void set_msg(char* msg, size_t msglen, const char* text) {
    if (msg && msglen) snprintf(msg, msglen, "%s", text);
}

}  // namespace

int session_db_role(const Session* session, const char* database, UserRole* out_role, char* msg,
                    size_t msglen) {
    if (out_role) *out_role = ROLE_NONE;
    if (!session || !session->authenticated) {
        set_msg(msg, msglen, "not authenticated");
        return -1;
    }
    if (session->is_admin) {
        if (out_role) *out_role = ROLE_FULL;
        return 0;
    }
    UserRole role = ROLE_NONE;
    const char* db = (database && *database) ? database : "default";
    if (role_lookup(&role, session->username, db) != 0) {
        set_msg(msg, msglen, "role lookup failed");
        return -1;
    }
    if (out_role) *out_role = role;
    return 0;
}
