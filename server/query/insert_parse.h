// INSERT parsing: the target table name, then one row JSON object per VALUES
// tuple, with string columns converted to JSON strings.
#pragma once

#include <cstddef>

struct TableSchema;

constexpr size_t SQL_MESSAGE_MAX = 8388608;  // largest statement accepted (8 MiB)

// Owned copy of sql with normalize_sql_ws and trim_ws applied; NULL with
// "empty SQL", "SQL statement exceeds maximum message size" or "oom".
char* sql_dup_normalized_dynamic(const char* sql, char* err, size_t errlen);

int parse_insert_table_name_sql(const char* sql, char* table_out, size_t table_cap, char* err,
                                size_t errlen);

// Rows come back as an owned array of owned texts (free_string_array).
int parse_insert_sql_multi(const char* sql, char* table_out, size_t table_cap, char*** rows_out,
                           int* count_out, const TableSchema* schema, char* err, size_t errlen);

// The two readers above for a text already normalised and trimmed (as
// sql_dup_normalized_dynamic leaves it): no copy is made, the answers are
// the same.
int parse_insert_table_name_normalized(const char* text, char* table_out, size_t table_cap,
                                       char* err, size_t errlen);
int parse_insert_sql_multi_normalized(const char* text, char* table_out, size_t table_cap,
                                      char*** rows_out, int* count_out, const TableSchema* schema,
                                      char* err, size_t errlen);

// Single-tuple form: "expected single VALUES tuple" otherwise.
int parse_insert_sql(const char* sql, char* table_out, size_t table_cap, char** row_out,
                     const TableSchema* schema, char* err, size_t errlen);

// One complete SQL string literal (single- or double-quoted) to an owned JSON
// string literal; NULL when text is not exactly one literal or on oom.
char* sql_string_literal_to_json(const char* text);
