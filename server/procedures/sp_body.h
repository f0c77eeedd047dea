// Procedure bodies: splitting into statements, recognising each statement's
// kind, DECLARE and SET parsing, and the two checks a body passes before it is
// stored or run: the static structure check (sp_validate_body) and the linear
// dry run with parameters at their defaults (sp_validate_body_placeholders).
#pragma once

#include <cstddef>
#include <cstdint>

struct ProcParamDef;

constexpr size_t SP_BODY_MAX = 262144;
constexpr int SP_MAX_STATEMENTS = 100;
constexpr int SP_MAX_IF_DEPTH = 16;
constexpr int SP_MAX_WHILE_DEPTH = 8;
constexpr int SP_MAX_BLOCKS = 24;

// Owned statement texts, trimmed and non-empty, in body order.
int sp_split_statements(const char* body, char*** out_list, int* out_count, char* err,
                        size_t errlen);
void sp_free_statement_list(char** list, int count);

// Owns a split statement list and frees it on scope exit.
struct StatementList {
    char** items = nullptr;
    int count = 0;
    ~StatementList() { sp_free_statement_list(items, count); }
};

int sp_statement_is_if_stmt(const char* stmt);
int sp_statement_is_elseif_stmt(const char* stmt);
int sp_statement_is_else_stmt(const char* stmt);
int sp_statement_is_endif_stmt(const char* stmt);
int sp_statement_is_while_stmt(const char* stmt);
int sp_statement_is_endwhile_stmt(const char* stmt);
int sp_statement_is_control_stmt(const char* stmt);
int sp_statement_is_executable_sql(const char* stmt);
const char* sp_statement_kind_name(const char* stmt);

// keyword is "IF " or "ELSEIF "; out holds 4096 bytes.
int sp_extract_then_condition(const char* stmt, const char* keyword, char* out, size_t cap,
                              char* err, size_t errlen);
int sp_extract_do_condition(const char* stmt, char* out, size_t cap, char* err, size_t errlen);
// name 64 bytes, default/expr 2048 bytes (empty default = none).
int sp_parse_declare_stmt(const char* stmt, char* name, int32_t* type, char* default_expr,
                          char* err, size_t errlen);
int sp_parse_set_stmt(const char* stmt, char* name, char* expr, char* err, size_t errlen);

int sp_validate_body(const char* body, char* err, size_t errlen);
int sp_validate_body_placeholders(const char* body, const ProcParamDef* params, int count,
                                  char* err, size_t errlen);
