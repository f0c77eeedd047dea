// ORDER BY sorting of the collected rows of a non-grouped SELECT.
//
// The order is typed by the ORDER BY column's declared type; nulls (and rows
// without the column) come last ascending and first descending. Rows that
// compare equal keep their collection order in both directions, so the order
// is total and the result does not depend on the sorting algorithm.
#pragma once

#include <cstddef>
#include <cstdint>

#include "query/json_buf.h"
#include "query/select_parse.h"

struct TableSchema;

// Sort key of one row, converted once before sorting. Only the field that
// matches the column type is set; the others stay zero.
struct SortKey {
    int32_t is_null;         // the row lacks the column or holds JSON null
    int32_t position;        // index of the row before sorting (tie-break)
    long double real_value;  // double columns
    int64_t int_value;       // int, timestamp and unknown columns
    int32_t bool_value;      // bool columns: 1 for true (or 1), else 0
    char* text;              // string columns: owned unquoted text
};

// One element of the merge passes: the row's index in the collected array
// and its key. The rows themselves are moved only once, after sorting.
struct SortItem {
    int32_t row_index;
    SortKey key;
};

// Reorders rows[0..count) by query->order_by (ascending, or descending when
// query->order_desc). Nothing happens with fewer than two rows or without
// ORDER BY. 0; -1 "unknown ORDER BY column" / "oom" (rows left untouched).
int select_sort_rows_by_order(const TableSchema* schema, const SelectQuery* query, SelectRow* rows,
                              int count, char* err, size_t errlen);

// Key of member `column` of the row (an absent member sorts as null).
int select_sort_key_from_row_json(const char* row_json, const char* column, int type, int position,
                                  SortKey* out, char* err, size_t errlen);

// Key of a raw JSON value text (NULL reads as null). 0; -1 "oom"; -1 without
// a message when out is NULL.
int select_sort_key_from_raw(int type, const char* raw, int position, SortKey* out, char* err,
                             size_t errlen);

// Key of a trimmed value in the mutable text, which is unquoted in place. A
// string key's text points into that text (not owned: never pass this key to
// select_sort_key_free).
void select_sort_key_from_text(int type, char* text, int position, SortKey* out);

// Negative, 0 or positive. A NULL key counts as null. Ties (also between two
// nulls) are broken by position ascending, never reversed by desc.
int select_sort_key_compare(const SortKey* a, const SortKey* b, int type, int desc);

// Frees the key's text and clears the pointer.
void select_sort_key_free(SortKey* key);
