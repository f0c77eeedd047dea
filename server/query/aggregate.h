// Aggregates (COUNT, SUM, AVG, MEAN, MIN, MAX, MED, MEDIAN, VAR, STDDEV) and
// GROUP BY: the reply of an aggregate query, one row over all collected rows
// or one row per group.
//
// A group key is the concatenation, over the GROUP BY columns in order, of
// "<byte length>:<trimmed raw value>|"; keys compare as exact texts, so 1 and
// 1.0 are different groups and null forms its own group. Groups keep the
// order of their first row unless ORDER BY (a GROUP BY column) reorders them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "query/json_buf.h"
#include "query/select_parse.h"

struct TableSchema;

// One group. The row pointers are shared with the collected SelectRow array.
struct GroupBucket {
    std::string key;
    std::vector<std::string> values;  // trimmed raw value of each GROUP BY column
    std::vector<const char*> rows;    // row_json of the group's rows, collection order
};

// Aggregate `kind` of `arg` (a column name, or * for COUNT) over the rows.
// 0 and *out (heap raw JSON); -1 and a message.
int compute_aggregate_expr_raw(const TableSchema* schema, int kind, const char* arg,
                               const SelectRow* rows, int count, char** out, char* err,
                               size_t errlen);

// Present, non-null values of a numeric column in row order. *out is a heap
// array (malloc, at least one slot) owned by the caller. 0; -1 "unknown
// selected column" / "function supports numeric columns only" / "oom".
int collect_numeric_values(const TableSchema* schema, const char* column, const SelectRow* rows,
                           int count, long double** out, int* out_count, char* err, size_t errlen);

// qsort comparator over long double: -1, 0, +1 ascending.
int cmp_long_double_for_qsort(const void* a, const void* b);

// Group key and group values of one row. 0; -1 "unknown GROUP BY column" /
// "missing GROUP BY column value".
int make_group_key_and_values(const TableSchema* schema, const SelectQuery* query,
                              const char* row_json, std::string* key,
                              std::vector<std::string>* values, char* err, size_t errlen);

// Index of `column` among the GROUP BY columns (case-insensitive) with its
// schema type in *type; -1 when it is not grouped or not in the schema.
int group_order_col_index(const TableSchema* schema, const SelectQuery* query, const char* column,
                          int* type);

// Reply of a GROUP BY query (LIMIT counts groups). 0 and *out; -1. In both
// builders table_name goes into the reply as given (already escaped).
int build_grouped_rows_json(const TableSchema* schema, const char* table_name,
                            const SelectQuery* query, const SelectRow* rows, int count, char** out,
                            char* err, size_t errlen);

// Reply of an aggregate query without GROUP BY: exactly one row (none with
// LIMIT 0). 0 and *out; -1.
int build_aggregate_rows_json(const TableSchema* schema, const char* table_name,
                              const SelectQuery* query, const SelectRow* rows, int count,
                              char** out, char* err, size_t errlen);
