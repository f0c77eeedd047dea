// Roles, the password hash, system-table names, grant keys and
// the lookups of a user's row and of a user's role on a database.
#pragma once

#include <cstddef>
#include <cstdint>

#include "system_table_names.h"

enum UserRole : int32_t {
    ROLE_NONE = 0,
    ROLE_READ = 1,
    ROLE_WRITE = 2,
    ROLE_FULL = 3,
};

constexpr const char* SYSTEM_DB_NAME = KYREL_SYSTEM_DB_NAME;
constexpr const char* USERS_TABLE_NAME = KYREL_USERS_TABLE_NAME;
constexpr const char* ROLES_TABLE_NAME = KYREL_ROLES_TABLE_NAME;
constexpr const char* PROCEDURES_TABLE_NAME = KYREL_PROCEDURES_TABLE_NAME;
constexpr const char* PASSWORD_SALT = "Quillon-Basin-8305";

UserRole parse_user_role_name(const char* text);
uint64_t now_unix_ts(void);
void hash_password_string(const char* user, const char* password, char* out, size_t cap);

void make_users_internal_table(char* out, size_t cap);
void make_roles_internal_table(char* out, size_t cap);
void make_procedures_internal_table(char* out, size_t cap);

// "user@database" with the database in its registered spelling when it is
// registered. A user name containing '@' is refused ("invalid grant").
int make_grant_key(const char* user, const char* database, char* out, size_t cap, char* err,
                   size_t errlen);

int json_raw_is_true(const char* raw);
int json_row_string_field(const char* row_json, const char* key, char* out, size_t cap);
int json_row_bool_field(const char* row_json, const char* key, int* out_flag);
int user_lookup_row(const char* user, char** out_json, int* out_deleted, char* err, size_t errlen);
int role_lookup(UserRole* out_role, const char* user, const char* database);
