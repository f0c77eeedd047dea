// Security building blocks: the role scale, local-peer test, the password
// hash, the system tables of config_db, grant keys, row field readers and the
// user/role lookups the login and authorisation code is built on.
//
// Password hash: 2048 rounds over user ":" password salt ("Quillon-Basin-8305")
// of two 64-bit words, printed "%016llx%016llx". Stored user rows depend on it
// byte for byte: it must never change.
#include "storage/roles.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <strings.h>

#include "base/err.h"
#include "base/json_text.h"
#include "base/owned.h"
#include "base/text_util.h"
#include "storage/db_registry.h"
#include "storage/ident.h"
#include "storage/row_version.h"
#include "storage/table.h"

namespace {}  // namespace

UserRole parse_user_role_name(const char* text) {
    if (!text) return ROLE_NONE;
    if (strcasecmp(text, "READ") == 0) return ROLE_READ;
    if (strcasecmp(text, "WRITE") == 0) return ROLE_WRITE;
    if (strcasecmp(text, "FULL") == 0) return ROLE_FULL;
    return ROLE_NONE;
}

uint64_t now_unix_ts(void) { return (uint64_t)time(nullptr); }

void hash_password_string(const char* user, const char* password, char* out, size_t cap) {
    const uint64_t P = 0x100000001b3ULL;
    uint64_t a = 0x14650fb0739d0383ULL;
    uint64_t b = 0x100000001b3ULL;
    const char* parts[4] = {user ? user : "", ":", password ? password : "", PASSWORD_SALT};
    for (uint64_t i = 0; i < 2048; i++) {
        for (const char* part : parts) {
            for (const unsigned char* p = reinterpret_cast<const unsigned char*>(part); *p; p++) {
                a = (a ^ *p) * P;
                b = (b << 16) + (b << 6) + *p;
            }
        }
        a ^= i + 0x9e3779b97f4a7c15ULL;
        b ^= (i << 17) ^ (a >> 7);
    }
    if (out && cap > 0)
        snprintf(out, cap, "%016llx%016llx", (unsigned long long)a, (unsigned long long)b);
}

void make_users_internal_table(char* out, size_t cap) {
    make_internal_table_name(SYSTEM_DB_NAME, USERS_TABLE_NAME, out, cap);
}

void make_roles_internal_table(char* out, size_t cap) {
    make_internal_table_name(SYSTEM_DB_NAME, ROLES_TABLE_NAME, out, cap);
}

void make_procedures_internal_table(char* out, size_t cap) {
    make_internal_table_name(SYSTEM_DB_NAME, PROCEDURES_TABLE_NAME, out, cap);
}

int make_grant_key(const char* user, const char* database, char* out, size_t cap, char* err,
                   size_t errlen) {
    if (!user || !database || !out || cap == 0) {
        set_err(err, errlen, "invalid grant");
        return -1;
    }
    out[0] = '\0';
    // '@' in the user part would let two different (user, database) pairs
    // share one key.
    if (strchr(user, '@')) {
        set_err(err, errlen, "invalid grant");
        return -1;
    }
    // Databases compare case-insensitively: the key always carries the
    // registered spelling, so a grant on "Sales" is found from "sales".
    std::string db = database;
    {
        RwReadGuard g(&g_databases.lock);
        int i = database_find_index_unlocked(database);
        if (i >= 0) db = g_databases.names[i];
    }
    int n = snprintf(out, cap, "%s@%s", user, db.c_str());
    if (n < 0 || (size_t)n >= cap) {
        out[0] = '\0';
        set_err(err, errlen, "grant key too long");
        return -1;
    }
    return 0;
}

int json_raw_is_true(const char* raw) {
    if (!raw) return 0;
    const char* p = skip_ws(raw);
    if (strncasecmp(p, "true", 4) == 0) return 1;
    if (p[0] == '1') {
        char c = p[1];
        return c == '\0' || isspace((unsigned char)c) || c == ',' || c == '}';
    }
    return 0;
}

int json_row_string_field(const char* row_json, const char* key, char* out, size_t cap) {
    if (out && cap) out[0] = '\0';
    char* raw_p = nullptr;
    if (!row_json || !key || json_extract_raw(row_json, key, &raw_p) != 0) return -1;
    CStr raw(raw_p);
    // Unquote the whole value first so that a long value cut to the buffer
    // is still decoded text, not a quoted fragment.
    strip_sql_or_json_quotes(raw.get());
    if (out && cap) snprintf(out, cap, "%s", raw.get());
    return 0;
}

int json_row_bool_field(const char* row_json, const char* key, int* out_flag) {
    if (out_flag) *out_flag = 0;
    char* raw_p = nullptr;
    if (!row_json || !key || json_extract_raw(row_json, key, &raw_p) != 0) return -1;
    CStr raw(raw_p);
    trim_ws(raw.get());
    if (out_flag) *out_flag = json_raw_is_true(raw.get());
    return 0;
}

int user_lookup_row(const char* user, char** out_json, int* out_deleted, char* err, size_t errlen) {
    char table[KYREL_INTERNAL_NAME_SIZE];
    make_users_internal_table(table, sizeof table);
    return table_get_latest_row_by_key(table, user, out_json, out_deleted, err, errlen);
}

int role_lookup(UserRole* out_role, const char* user, const char* database) {
    if (out_role) *out_role = ROLE_NONE;
    char key[256];
    char err[128];
    if (make_grant_key(user, database, key, sizeof key, err, sizeof err) != 0) return -1;
    char table[KYREL_INTERNAL_NAME_SIZE];
    make_roles_internal_table(table, sizeof table);
    char* row_p = nullptr;
    int deleted = 0;
    if (table_get_latest_row_by_key(table, key, &row_p, &deleted, err, sizeof err) != 0) return 0;
    CStr row(row_p);
    if (deleted || !row) return 0;
    char role[32];
    if (json_row_string_field(row.get(), "role", role, sizeof role) != 0) return 0;
    if (out_role) *out_role = parse_user_role_name(role);
    return 0;
}
