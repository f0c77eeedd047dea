// Values of select items: plain columns, scalar numeric functions of one row
// and window functions over the rows before it in ORDER BY order, plus the
// reply of a window query.
//
// Values travel as raw JSON heap texts owned by the caller: a number written
// as text, the word null, or a column's stored value unchanged. Computed
// numbers are written by make_raw_number ("%.15Lg", 17 digits where 15 would
// read back as infinity; integral results of ROUND, FLOOR, CEIL and SIGN in
// the 64-bit range "%lld"); a result that is not finite as a double is null.
#pragma once

#include <cstddef>

#include "query/json_buf.h"
#include "query/select_parse.h"

struct TableSchema;

// Value of select item `item` for one row. 0 and *out (heap); -1 and a message:
// "unknown selected column", "missing selected column value", "unsupported
// scalar expression", "invalid numeric literal", "numeric function supports
// numeric columns only", "invalid POW exponent", "oom".
int select_expr_value_raw(const TableSchema* schema, const SelectQuery* query, int item,
                          const char* row_json, char** out, char* err, size_t errlen);

// Numeric value of `column` in the row: 0 with *out, or *is_null = 1 and
// *out = 0 for JSON null; -1 "unknown selected column", "numeric functions
// support numeric columns only", "missing selected column value".
int get_numeric_value_from_row(const TableSchema* schema, const char* row_json, const char* column,
                               double* out, int* is_null, char* err, size_t errlen);

// The number as format_reply_number writes it, or null when the value does
// not fit a finite double. Aggregates and scalar and window functions all
// write their computed numbers through it.
int make_raw_number(char** out, char* err, size_t errlen, long double value);
int make_raw_null(char** out, char* err, size_t errlen);

// Value of item `item` at sorted position `pos` of rows[0..count). Window
// items look only at positions 0..pos; other items are evaluated on row pos.
int compute_window_expr_raw(const TableSchema* schema, const SelectQuery* query, int item,
                            const SelectRow* rows, int count, int pos, char** out, char* err,
                            size_t errlen);

// Whole reply of a window query over the sorted rows, LIMIT applied to the
// output only. table_name goes into the reply as given (already escaped).
// 0 and *out (heap); -1 and a message.
int build_window_rows_json(const TableSchema* schema, const char* table_name,
                           const SelectQuery* query, const SelectRow* rows, int count, char** out,
                           char* err, size_t errlen);
// The same over the row texts themselves (stored rows read in place).
int build_window_rows_json_texts(const TableSchema* schema, const char* table_name,
                                 const SelectQuery* query, const char* const* rows, int count,
                                 char** out, char* err, size_t errlen);
