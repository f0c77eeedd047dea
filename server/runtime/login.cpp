// Login and password change (see login.h): the throttle of failed logins is
// consulted, the stored hash compared, the login time recorded, and the
// Session marked logged in.
#include "runtime/login.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "base/err.h"
#include "base/json_text.h"
#include "base/owned.h"
#include "exec/system_tables.h"
#include "query/session.h"
#include "runtime/login_throttle.h"
#include "storage/db_registry.h"
#include "storage/roles.h"

namespace {

// What looking a user up found.
enum class UserLookup { kFound, kNoLiveRow, kNoPasswordHash };

// The user's live row and its stored password hash: kFound; kNoLiveRow
// (*row stays empty); kNoPasswordHash when the row has no password_hash.
UserLookup read_user_hash(const char* user, CStr* row, char* hash, size_t cap) {
    char* row_p = nullptr;
    int deleted = 0;
    char lookup_err[128];
    int found = user_lookup_row(user, &row_p, &deleted, lookup_err, sizeof lookup_err) == 0;
    row->reset(row_p);
    if (!found || !*row || deleted) return UserLookup::kNoLiveRow;
    if (json_row_string_field(row->get(), "password_hash", hash, cap) != 0)
        return UserLookup::kNoPasswordHash;
    return UserLookup::kFound;
}

// The password check of a login: on success the Session is marked logged in.
int check_password(Session* session, const char* user, const char* password, char* warning,
                   size_t warning_cap, char* err, size_t errlen) {
    CStr row;
    char stored_hash[128];
    UserLookup looked = read_user_hash(user, &row, stored_hash, sizeof stored_hash);
    if (looked == UserLookup::kNoLiveRow) {
        set_err(err, errlen, "invalid username or password");
        return -1;
    }
    if (looked != UserLookup::kFound) {
        set_err(err, errlen, "corrupt user record");
        return -1;
    }
    int active = 0;
    int must_change = 0;
    if (json_row_bool_field(row.get(), "active", &active) != 0) active = 0;
    if (json_row_bool_field(row.get(), "must_change_password", &must_change) != 0) must_change = 0;
    if (!active) {
        set_err(err, errlen, "user is inactive");
        return -1;
    }
    char hash[64];
    hash_password_string(user, password, hash, sizeof hash);
    if (strcmp(hash, stored_hash) != 0) {
        set_err(err, errlen, "invalid username or password");
        return -1;
    }

    // Recording the login time never fails the login.
    {
        char ts[32];
        snprintf(ts, sizeof ts, "%llu", (unsigned long long)now_unix_ts());
        const char* names[1] = {"last_login_at"};
        const char* values[1] = {ts};
        char ignored[256];
        char users[KYREL_INTERNAL_NAME_SIZE];
        make_users_internal_table(users, sizeof users);
        system_update_row_with_wal(users, user, names, values, 1, ignored, sizeof ignored);
    }

    if (session) {
        session->authenticated = 1;
        session->must_change_password = must_change ? 1u : 0u;
        session->is_admin = strcasecmp(user, DEFAULT_ADMIN_USER) == 0 ? 1u : 0u;
        snprintf(session->username, sizeof session->username, "%s", user);
    }
    if (warning && warning_cap && must_change)
        snprintf(warning, warning_cap, "%s", PASSWORD_CHANGE_WARNING);
    return 0;
}

}  // namespace

int system_authenticate(Session* session, const char* user, const char* password, char* warning,
                        size_t warning_cap, char* err, size_t errlen) {
    if (warning && warning_cap) warning[0] = '\0';
    if (!user || !password) {
        set_err(err, errlen, "invalid username or password");
        return -1;
    }
    // Attempts are counted per client address and user name; without a
    // Session (start-up, tests) there is no client to count.
    const char* address = session ? session->peer_address : nullptr;
    if (address && login_throttle_check(address, user, err, errlen) != 0) return -1;
    int rc = check_password(session, user, password, warning, warning_cap, err, errlen);
    if (address) login_throttle_note(address, user, rc == 0);
    return rc;
}

int system_change_password(Session* session, const char* new_password, char* err, size_t errlen) {
    if (!session || !session->authenticated || !session->username[0]) {
        set_err(err, errlen, "not authenticated");
        return -1;
    }
    if (!new_password || !*new_password) {
        set_err(err, errlen, "new password cannot be empty");
        return -1;
    }
    char hash[64];
    hash_password_string(session->username, new_password, hash, sizeof hash);
    // Keeping the current password is no change: above all, a forced change
    // from the default password must not leave that known password in place.
    {
        CStr row;
        char stored_hash[128];
        if (read_user_hash(session->username, &row, stored_hash, sizeof stored_hash) ==
                UserLookup::kFound &&
            strcmp(hash, stored_hash) == 0) {
            set_err(err, errlen, "new password must differ from the current password");
            return -1;
        }
    }
    CStr quoted(json_quote_token(hash));
    if (!quoted) {
        set_err(err, errlen, "oom");
        return -1;
    }
    const char* names[2] = {"password_hash", "must_change_password"};
    const char* values[2] = {quoted.get(), "false"};
    char users[KYREL_INTERNAL_NAME_SIZE];
    make_users_internal_table(users, sizeof users);
    if (system_update_row_with_wal(users, session->username, names, values, 2, err, errlen) != 0)
        return -1;
    session->must_change_password = 0;
    return 0;
}
