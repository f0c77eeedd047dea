// System tables of "config_db": users, role grants and the procedure catalog,
// the write layer that changes their rows (one sequence number and one WAL
// record per change) and the start-up bootstrap with the default
// administrator.
//
// Every operation runs on the commit thread or during start-up, with
// g_checkpoint_lock held. All return 0 on success, -1 with a message in
// (err, errlen).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr const char* DEFAULT_ADMIN_USER = "admin";
constexpr const char* DEFAULT_ADMIN_PASSWORD = "lumen406";
constexpr const char* PASSWORD_CHANGE_WARNING =
    "Default or temporary password in use. Change it immediately.";

// Heap row texts in the stored formats (free with free()).
int build_user_row_json(const char* user, const char* password_hash, int must_change, int active,
                        uint64_t created_at, uint64_t last_login_at, char** out_row, char* err,
                        size_t errlen);
int build_role_row_json(const char* grant_key, const char* user, const char* database,
                        const char* role, char** out_row, char* err, size_t errlen);

// users_flag 1: the users table, 0: the grants table.
int system_table_create_if_missing(const char* internal_name, int users_flag, char* err,
                                   size_t errlen);
int system_procedure_table_create_if_missing(char* err, size_t errlen);

// Puts a row (a live key gets a newer version); the key of the record is the
// row's own primary-key value, which `key` names.
int system_insert_row_with_wal(const char* internal_name, const char* key, const char* row_json,
                               char* err, size_t errlen);
// values are raw JSON values (strings with their quotes).
int system_update_row_with_wal(const char* internal_name, const char* key, const char* const* names,
                               const char* const* values, int count, char* err, size_t errlen);
int system_delete_row_with_wal(const char* internal_name, const char* key, char* err,
                               size_t errlen);

int system_create_user_record(const char* user, const char* password, int must_change, int active,
                              char* err, size_t errlen);
// role is a role word (READ, WRITE or FULL in any case), stored as given.
int system_grant_role_record(const char* user, const char* database, const char* role, char* err,
                             size_t errlen);

int system_bootstrap_security(char* err, size_t errlen);
