// UPDATE and DELETE parsing: both address one row by its primary key.
#pragma once

#include <cstddef>

struct TableSchema;

constexpr size_t UPDATE_SQL_MAX = 4096;
constexpr size_t DELETE_SQL_MAX = 2048;

// key_out receives the WHERE literal as written (trimmed, quotes and escapes
// kept); pk_key_form(PK_FROM_LITERAL) reads it into the key a row is stored
// under. Columns and values come back as parallel owned arrays of owned texts
// (free_string_array each); values stay raw SQL until normalised.
int parse_update_sql(const char* sql, char* table_out, size_t table_cap, char* key_out,
                     size_t key_cap, char*** columns_out, char*** values_out, int* count_out,
                     char* where_column_out, char* err, size_t errlen);

// Checks SET columns against the schema (exact names) and turns string values
// into JSON string literals in place.
int normalize_update_values_for_schema(const TableSchema* schema, char** columns, char** values,
                                       int count, char* err, size_t errlen);

// key_out as for parse_update_sql.
int parse_delete_sql(const char* sql, char* table_out, size_t table_cap, char* key_out,
                     size_t key_cap, char* column_out, size_t column_cap, char* err, size_t errlen);
