// Users, grants and the procedure catalog as tables of "config_db": schemas,
// row texts, the logged write layer (the change road, so every system row is
// checked before its record is written and applied once it is), and
// bootstrap.
#include "exec/system_tables.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "base/err.h"
#include "base/json_text.h"
#include "base/owned.h"
#include "exec/row_change.h"
#include "storage/catalog.h"
#include "storage/db_registry.h"
#include "storage/ident.h"
#include "storage/roles.h"
#include "storage/row_version.h"
#include "storage/table.h"
#include "storage/wal.h"

namespace {

struct SysColumn {
    const char* name;
    int type;
    int max_length;
};

const SysColumn kUserColumns[] = {
    {"username", COL_TYPE_STRING, 128},         {"password_hash", COL_TYPE_STRING, 256},
    {"must_change_password", COL_TYPE_BOOL, 0}, {"active", COL_TYPE_BOOL, 0},
    {"created_at", COL_TYPE_TIMESTAMP, 0},      {"last_login_at", COL_TYPE_TIMESTAMP, 0},
};
const SysColumn kRoleColumns[] = {
    {"grant_key", COL_TYPE_STRING, 192},
    {"username", COL_TYPE_STRING, 128},
    {"database_name", COL_TYPE_STRING, 128},
    {"role", COL_TYPE_STRING, 16},
};
const SysColumn kProcColumns[] = {
    {"proc_key", COL_TYPE_STRING, 256},       {"owner_user", COL_TYPE_STRING, 128},
    {"database_name", COL_TYPE_STRING, 128},  {"table_name", COL_TYPE_STRING, 128},
    {"procedure_name", COL_TYPE_STRING, 128}, {"file_path", COL_TYPE_STRING, 1024},
    {"body_sha256", COL_TYPE_STRING, 128},    {"enabled", COL_TYPE_BOOL, 0},
    {"created_at", COL_TYPE_TIMESTAMP, 0},    {"updated_at", COL_TYPE_TIMESTAMP, 0},
    {"param_defs", COL_TYPE_STRING, 2048},
};

const char* const kUsersSql =
    "CREATE TABLE %s (username varchar(128) PRIMARY KEY, password_hash varchar(256), "
    "must_change_password bool, active bool, created_at date, last_login_at date)";
const char* const kRolesSql =
    "CREATE TABLE %s (grant_key varchar(192) PRIMARY KEY, username varchar(128), "
    "database_name varchar(128), role varchar(16))";
const char* const kProcsSql =
    "CREATE TABLE %s (proc_key varchar(256) PRIMARY KEY, owner_user varchar(128), "
    "database_name varchar(128), table_name varchar(128), procedure_name varchar(128), "
    "file_path varchar(1024), body_sha256 varchar(128), enabled bool, created_at date, "
    "updated_at date, param_defs varchar(2048))";

// The plain table name: the part after the first "__".
const char* plain_table_name(const char* internal) {
    const char* p = strstr(internal, "__");
    return p ? p + 2 : internal;
}

int create_system_table(const char* internal_name, const SysColumn* cols, int ncols,
                        const char* sql_format, char* err, size_t errlen) {
    if (table_find_index(internal_name) >= 0) return 0;
    auto schema = std::make_unique<TableSchema>();
    memset(schema.get(), 0, sizeof *schema);
    snprintf(schema->name, sizeof schema->name, "%s", internal_name);
    schema->column_count = ncols;
    for (int i = 0; i < ncols; i++) {
        ColumnDef& c = schema->columns[i];
        snprintf(c.name, sizeof c.name, "%s", cols[i].name);
        c.type = cols[i].type;
        c.max_length = cols[i].max_length;
        c.is_primary_key = i == 0 ? 1 : 0;
    }
    snprintf(schema->primary_key, sizeof schema->primary_key, "%s", cols[0].name);
    char sql[1024];
    snprintf(sql, sizeof sql, sql_format, plain_table_name(internal_name));
    // A catalog save that fails after the record is settled by the next
    // checkpoint: the table exists either way.
    char warning[256];
    return table_create_logged(internal_name, schema.get(), sql, warning, sizeof warning, err,
                               errlen);
}

std::string users_table() {
    char t[KYREL_INTERNAL_NAME_SIZE];
    make_users_internal_table(t, sizeof t);
    return t;
}

std::string roles_table() {
    char t[KYREL_INTERNAL_NAME_SIZE];
    make_roles_internal_table(t, sizeof t);
    return t;
}

}  // namespace

int build_user_row_json(const char* user, const char* password_hash, int must_change, int active,
                        uint64_t created_at, uint64_t last_login_at, char** out_row, char* err,
                        size_t errlen) {
    if (!out_row) return -1;
    *out_row = nullptr;
    CStr u(json_quote_token(user ? user : ""));
    CStr h(json_quote_token(password_hash ? password_hash : ""));
    if (!u || !h) {
        set_err(err, errlen, "oom");
        return -1;
    }
    const char* fmt =
        "{\"username\":%s,\"password_hash\":%s,\"must_change_password\":%s,\"active\":%s,"
        "\"created_at\":%llu,\"last_login_at\":%llu}";
    int n = snprintf(nullptr, 0, fmt, u.get(), h.get(), must_change ? "true" : "false",
                     active ? "true" : "false", (unsigned long long)created_at,
                     (unsigned long long)last_login_at);
    char* row = static_cast<char*>(malloc((size_t)n + 1));
    if (!row) {
        set_err(err, errlen, "oom");
        return -1;
    }
    snprintf(row, (size_t)n + 1, fmt, u.get(), h.get(), must_change ? "true" : "false",
             active ? "true" : "false", (unsigned long long)created_at,
             (unsigned long long)last_login_at);
    *out_row = row;
    return 0;
}

int build_role_row_json(const char* grant_key, const char* user, const char* database,
                        const char* role, char** out_row, char* err, size_t errlen) {
    if (!out_row) return -1;
    *out_row = nullptr;
    CStr k(json_quote_token(grant_key ? grant_key : ""));
    CStr u(json_quote_token(user ? user : ""));
    CStr d(json_quote_token(database ? database : ""));
    CStr r(json_quote_token(role ? role : ""));
    if (!k || !u || !d || !r) {
        set_err(err, errlen, "oom");
        return -1;
    }
    const char* fmt = "{\"grant_key\":%s,\"username\":%s,\"database_name\":%s,\"role\":%s}";
    int n = snprintf(nullptr, 0, fmt, k.get(), u.get(), d.get(), r.get());
    char* row = static_cast<char*>(malloc((size_t)n + 1));
    if (!row) {
        set_err(err, errlen, "oom");
        return -1;
    }
    snprintf(row, (size_t)n + 1, fmt, k.get(), u.get(), d.get(), r.get());
    *out_row = row;
    return 0;
}

int system_table_create_if_missing(const char* internal_name, int users_flag, char* err,
                                   size_t errlen) {
    if (!internal_name || !*internal_name) {
        set_err(err, errlen, "table not found");
        return -1;
    }
    if (users_flag)
        return create_system_table(internal_name, kUserColumns,
                                   (int)(sizeof kUserColumns / sizeof kUserColumns[0]), kUsersSql,
                                   err, errlen);
    return create_system_table(internal_name, kRoleColumns,
                               (int)(sizeof kRoleColumns / sizeof kRoleColumns[0]), kRolesSql, err,
                               errlen);
}

int system_procedure_table_create_if_missing(char* err, size_t errlen) {
    char t[KYREL_INTERNAL_NAME_SIZE];
    make_procedures_internal_table(t, sizeof t);
    return create_system_table(t, kProcColumns, (int)(sizeof kProcColumns / sizeof kProcColumns[0]),
                               kProcsSql, err, errlen);
}

namespace {

// System rows take the change road like every row, but are not held to the
// hard memory stop: a login or a password change must still work then.
ChangeRules system_rules() {
    ChangeRules rules;
    rules.new_keys = false;
    rules.memory_stop = false;
    return rules;
}

}  // namespace

int system_insert_row_with_wal(const char* internal_name, const char* key, const char* row_json,
                               char* err, size_t errlen) {
    (void)key;  // the key is the row's own primary-key value
    Table* t = table_find_live(internal_name, err, errlen);
    if (!t) return -1;
    const char* rows[1] = {row_json};
    return change_insert_rows_locked(t, rows, 1, system_rules(), err, errlen);
}

int system_update_row_with_wal(const char* internal_name, const char* key, const char* const* names,
                               const char* const* values, int count, char* err, size_t errlen) {
    Table* t = table_find_live(internal_name, err, errlen);
    if (!t) return -1;
    return change_update_row_locked(t, key, names, values, count, system_rules(), err, errlen);
}

int system_delete_row_with_wal(const char* internal_name, const char* key, char* err,
                               size_t errlen) {
    Table* t = table_find_live(internal_name, err, errlen);
    if (!t) return -1;
    return change_delete_row_locked(t, key, system_rules(), nullptr, err, errlen);
}

int system_create_user_record(const char* user, const char* password, int must_change, int active,
                              char* err, size_t errlen) {
    if (!user || !password) {
        set_err(err, errlen, "invalid username");
        return -1;
    }
    std::string table = users_table();
    if (table_key_exists_live(table.c_str(), user)) {
        set_err(err, errlen, "user already exists");
        return -1;
    }
    char hash[64];
    hash_password_string(user, password, hash, sizeof hash);
    char* row_p = nullptr;
    if (build_user_row_json(user, hash, must_change, active, now_unix_ts(), 0, &row_p, err,
                            errlen) != 0)
        return -1;
    CStr row(row_p);
    return system_insert_row_with_wal(table.c_str(), user, row.get(), err, errlen);
}

int system_grant_role_record(const char* user, const char* database, const char* role, char* err,
                             size_t errlen) {
    if (!user || !database || !role || !*user || !*database) {
        set_err(err, errlen, "invalid grant");
        return -1;
    }
    char key[2048];
    if (make_grant_key(user, database, key, sizeof key, err, errlen) != 0) return -1;
    std::string table = roles_table();
    char* row_p = nullptr;
    int deleted = 0;
    char lookup_err[128];
    int found = table_get_latest_row_by_key(table.c_str(), key, &row_p, &deleted, lookup_err,
                                            sizeof lookup_err) == 0;
    CStr existing(row_p);
    if (found && existing && !deleted) {
        CStr quoted(json_quote_token(role));
        if (!quoted) {
            set_err(err, errlen, "oom");
            return -1;
        }
        const char* names[1] = {"role"};
        const char* values[1] = {quoted.get()};
        return system_update_row_with_wal(table.c_str(), key, names, values, 1, err, errlen);
    }
    char* new_row = nullptr;
    if (build_role_row_json(key, user, database, role, &new_row, err, errlen) != 0) return -1;
    CStr row(new_row);
    return system_insert_row_with_wal(table.c_str(), key, row.get(), err, errlen);
}

int system_bootstrap_security(char* err, size_t errlen) {
    if (database_create_if_missing(SYSTEM_DB_NAME, err, errlen) != 0) return -1;
    if (system_table_create_if_missing(users_table().c_str(), 1, err, errlen) != 0) return -1;
    if (system_table_create_if_missing(roles_table().c_str(), 0, err, errlen) != 0) return -1;
    if (system_procedure_table_create_if_missing(err, errlen) != 0) return -1;
    char* row_p = nullptr;
    int deleted = 0;
    char lookup_err[128];
    int found =
        user_lookup_row(DEFAULT_ADMIN_USER, &row_p, &deleted, lookup_err, sizeof lookup_err) == 0;
    CStr row(row_p);
    if (found && row && !deleted) return 0;
    return system_create_user_record(DEFAULT_ADMIN_USER, DEFAULT_ADMIN_PASSWORD, 1, 1, err, errlen);
}
