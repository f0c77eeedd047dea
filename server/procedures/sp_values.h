// Procedure runtime variables and expressions.
//
// Every value inside a procedure is held as the text of a SQL literal of its
// type: INT decimal digits, DOUBLE "%.17Lg", BOOL true/false, STRING a
// double-quoted backslash-escaped literal. This unit owns the variable table
// (bound parameters, then DECLAREd variables), the placeholder (:name)
// substitution into SQL text and the expressions of DECLARE defaults and SET:
// a literal, one placeholder, or for numeric targets one binary + or -
// computed in extended precision. 0/-1 results with the message in (err, errlen).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int SP_MAX_VARS = 64;

struct ProcRuntimeVar {
    char name[64];
    int32_t type;  // ColumnType 1..4
    char* value;   // owned literal text; NULL reads as the type default
    int32_t is_param;
};

int sp_add_runtime_var(ProcRuntimeVar* vars, int* count, const char* name, int32_t type,
                       const char* literal, int is_param, char* err, size_t errlen);
int sp_find_runtime_var(const ProcRuntimeVar* vars, int count, const char* name);
// SET name = expr: the index of the variable it assigns in *index and the
// expression's literal for that variable's type in *literal (heap, the
// caller's). 0; -1 "SET target variable '%s' is not declared", "cannot SET
// input parameter '%s'" or the expression's message.
int sp_eval_set(const ProcRuntimeVar* vars, int count, const char* name, const char* expr,
                int* index, char** literal, char* err, size_t errlen);
// DECLARE: the default expression's literal for the type, then the new
// (non-parameter) variable. 0; -1.
int sp_declare_runtime_var(ProcRuntimeVar* vars, int* count, const char* name, int32_t type,
                           const char* expr, char* err, size_t errlen);
void sp_free_runtime_vars(ProcRuntimeVar* vars, int* count);

// Owns a variable table and frees its values on scope exit.
struct VarTable {
    ProcRuntimeVar vars[SP_MAX_VARS] = {};
    int count = 0;
    ~VarTable() { sp_free_runtime_vars(vars, &count); }
};
const char* sp_default_sql_literal_for_type(int32_t type);
int sp_type_assignable(int32_t target, int32_t source);
// 1 when the whole (trimmed) expression is one placeholder; name copied.
int sp_parse_placeholder_expr(const char* expr, char* name, size_t cap);
int sp_substitute_runtime_placeholders(const char* sql, const ProcRuntimeVar* vars, int count,
                                       char** out_sql, char* err, size_t errlen);
// target_name is the variable being assigned (for the assignment message).
int sp_expr_to_sql_literal(const char* expr, int32_t target_type, const char* target_name,
                           const ProcRuntimeVar* vars, int count, char** out_literal, char* err,
                           size_t errlen);
// 1 with a literal, 0 when expr is not a binary + / -, -1 on error.
int sp_expr_numeric_binary_to_sql_literal(const char* expr, int32_t target_type,
                                          const ProcRuntimeVar* vars, int count, char** out_literal,
                                          char* err, size_t errlen);
int sp_expr_find_numeric_binary_op(const char* expr, size_t* out_pos, char* out_op);
int sp_expr_operand_to_number(const char* operand, const ProcRuntimeVar* vars, int count,
                              long double* out, char* err, size_t errlen);
int sp_sql_numeric_literal_to_ld(const char* literal, long double* out, char* err, size_t errlen);
