// Conditions of IF, ELSEIF and WHILE: a small boolean language over literals
// and :placeholders (OR, AND, NOT, parentheses, one comparison per primary),
// parsed and evaluated in one recursive-descent pass. Nothing is cached.
#pragma once

#include <cstddef>
#include <cstdint>

struct ProcRuntimeVar;

struct CondValue {
    int32_t type;        // ColumnType 1..4
    long double number;  // INT/DOUBLE value, 1/0 for BOOL
    int32_t truth;
    char text[2048];  // unquoted STRING value
};

// 0 with *out_truth, or -1 with a message.
int sp_eval_condition(const char* cond, const ProcRuntimeVar* vars, int count, int* out_truth,
                      char* err, size_t errlen);
int sp_cond_value_to_bool(const CondValue* v);
int sp_cond_value_from_sql_lit(const char* literal, int32_t declared_type, CondValue* out,
                               char* err, size_t errlen);
// Unquotes a quoted literal of len bytes into out->text.
int sp_cond_copy_plain_string(const char* quoted, size_t len, CondValue* out, char* err,
                              size_t errlen);
int sp_cond_unquote_to_buf(const char* text, size_t len, char* out, size_t cap, char* err,
                           size_t errlen);
