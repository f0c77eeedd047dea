// Procedure statements: CREATE / SHOW / DROP PROCEDURE and CALL, parameter
// declarations and their stored metadata text ("qty:INT,label:STRING"), CALL
// argument splitting and the conversion of one argument into a SQL literal of
// its parameter's type.
//
// Pure text processing on caller buffers: no locks, no I/O. Every function
// returns 0 on success or -1 with a message in (err, errlen); output buffers
// are cleared first. Owned texts are heap strings released with free().
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int SP_MAX_PARAMS = 16;
constexpr size_t SP_NAME_SIZE = 64;
constexpr size_t SP_ARG_SIZE = 2048;
constexpr size_t SP_PARAM_DEFS_SIZE = 2048;

struct ProcParamDef {
    char name[SP_NAME_SIZE];
    int32_t type;  // ColumnType 1..4
};

struct ProcCallArgs {
    char args[SP_MAX_PARAMS][SP_ARG_SIZE];  // as written, trimmed
    int32_t count;
};

// Strict identifier: [A-Za-z_][A-Za-z0-9_]*.
int sp_ident_is_strict(const char* text);
// copy_ident_checked, then the strict rule ("%s must contain only ...").
int copy_sp_ident_checked(char* dest, size_t cap, const char* source, const char* label, char* err,
                          size_t errlen);

int sp_parse_param_type_token(const char* token, int32_t* out_type, char* err, size_t errlen);
const char* sp_param_type_name(int32_t type);
int sp_find_param(const ProcParamDef* params, int count, const char* name);

int sp_parse_param_declaration_list(const char* text, ProcParamDef* params, int* count, char* err,
                                    size_t errlen);
int sp_parse_param_defs_string(const char* text, ProcParamDef* params, int* count, char* err,
                               size_t errlen);
int sp_param_defs_to_string(const ProcParamDef* params, int count, char* out, size_t cap, char* err,
                            size_t errlen);

// name and table buffers hold SP_NAME_SIZE bytes; params SP_MAX_PARAMS.
int parse_create_procedure_sql(const char* sql, char* proc_name, char* table_name,
                               ProcParamDef* params, int* param_count, char** out_body, char* err,
                               size_t errlen);
int parse_show_procedures_sql(const char* sql, char* table_filter, char* err, size_t errlen);
int parse_drop_procedure_sql(const char* sql, char* proc_name, char* table_name, char* err,
                             size_t errlen);
int parse_call_procedure_sql(const char* sql, char* proc_name, ProcCallArgs* args, char* err,
                             size_t errlen);
int sp_parse_call_args_list(const char* text, ProcCallArgs* args, char* err, size_t errlen);

int sp_arg_to_sql_literal(const ProcParamDef* param, const char* arg, char** out_literal, char* err,
                          size_t errlen);
int sp_sql_string_arg_to_plain(const char* arg, char** out_plain, char* err, size_t errlen);
// NULL when memory runs out.
char* sp_plain_string_to_sql_literal(const char* plain);
