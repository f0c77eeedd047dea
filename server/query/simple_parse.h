// Parsers of the short administrative statements: CREATE TABLE, CREATE
// DATABASE, USE, LOGIN, CHANGE PASSWORD, CREATE USER and GRANT. They check
// form only; existence and rights are decided by their callers.
#pragma once

#include <cstddef>

struct TableSchema;

// Work-buffer sizes: a statement that does not fit is refused, never cut.
constexpr size_t CREATE_TABLE_SQL_MAX = 4096;
constexpr size_t SIMPLE_SQL_MAX = 1024;

int parse_create_table_sql(const char* sql, TableSchema* schema, char* err, size_t errlen);
int parse_create_database_sql(const char* sql, char* name_out, size_t name_cap, char* err,
                              size_t errlen);
int parse_use_database_sql(const char* sql, char* name_out, size_t name_cap, char* err,
                           size_t errlen);
int parse_login_sql(const char* sql, char* user_out, size_t user_cap, char* password_out,
                    size_t password_cap, char* err, size_t errlen);
int parse_change_password_sql(const char* sql, char* password_out, size_t password_cap, char* err,
                              size_t errlen);
int parse_create_user_sql(const char* sql, char* user_out, size_t user_cap, char* password_out,
                          size_t password_cap, char* err, size_t errlen);
int parse_grant_sql(const char* sql, char* role_out, size_t role_cap, char* db_out, size_t db_cap,
                    char* user_out, size_t user_cap, char* err, size_t errlen);
