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

// What a body statement is, tested in this order (the first that fits).
enum SpStatementKind {
    SP_STMT_IF,
    SP_STMT_ELSEIF,
    SP_STMT_ELSE,
    SP_STMT_ENDIF,
    SP_STMT_WHILE,
    SP_STMT_ENDWHILE,
    SP_STMT_DECLARE,
    SP_STMT_SET,
    SP_STMT_SQL,    // SELECT, INSERT, UPDATE or DELETE
    SP_STMT_OTHER,  // refused by the check, unsupported at CALL
};
SpStatementKind sp_statement_kind(const char* stmt);

// IF and WHILE blocks: the nesting rules that the body check and the
// interpreter share, with their messages.
constexpr int SP_BLOCK_IF = 1;
constexpr int SP_BLOCK_WHILE = 2;
struct SpBlockNesting {
    int depth = 0;  // blocks open, innermost last
    int open_if = 0;
    int open_while = 0;
};
// 0 when a block of that kind may open here; -1 "IF nesting too deep",
// "WHILE nesting too deep" or "procedure control nesting too deep".
int sp_block_check_open(const SpBlockNesting* n, int kind, char* err, size_t errlen);
void sp_block_open(SpBlockNesting* n, int kind);
void sp_block_close(SpBlockNesting* n, int kind);
// ELSEIF, ELSE, ENDIF or ENDWHILE against the innermost open block (its kind
// and whether it had its ELSE; both unread at depth 0). -1 "<word> without
// matching IF|WHILE", "ELSEIF cannot appear after ELSE" or "duplicate ELSE
// in IF block"; 0.
int sp_block_check_branch(const SpBlockNesting* n, int top_kind, int top_has_else,
                          SpStatementKind branch, char* err, size_t errlen);
// At the end of the body: -1 "missing ENDIF for IF block" or "missing
// ENDWHILE for WHILE block" while a block (innermost of kind top_kind) is
// open; 0.
int sp_block_check_closed(const SpBlockNesting* n, int top_kind, char* err, size_t errlen);

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
