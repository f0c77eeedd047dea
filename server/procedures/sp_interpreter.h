// CALL: load and verify a procedure, bind the arguments and interpret the body
// (DECLARE, SET, IF/ELSEIF/ELSE/ENDIF, WHILE/ENDWHILE, SQL statements), with
// one JSON step object per statement visited. Runs on the commit thread only.
#pragma once

#include <cstddef>
#include <cstdint>

struct Session;
struct ProcParamDef;
struct ProcCallArgs;
struct ProcRuntimeVar;

constexpr int SP_MAX_STEPS = 20000;
constexpr int SP_MAX_LOOP_ITERATIONS = 10000;
constexpr size_t SP_MAX_SQL_STATEMENT = 8191;

struct ProcControlFrame {
    int32_t kind;  // SP_BLOCK_IF or SP_BLOCK_WHILE (sp_body.h)
    int32_t parent_active;
    int32_t branch_taken;
    int32_t active;
    int32_t has_else;
    int32_t loop_start;  // statement index of the WHILE, -1 for IF
    char condition[4096];
};

int sp_call_procedure(Session* session, const char* procedure, const ProcCallArgs* args,
                      char** out_reply, char* err, size_t errlen);
int sp_execute_procedure_script(Session* session, const char* procedure, const char* body,
                                const ProcParamDef* params, int param_count,
                                const ProcCallArgs* args, char** out_reply, char* err,
                                size_t errlen);
int sp_bind_params_to_runtime_vars(const ProcParamDef* params, int param_count,
                                   const ProcCallArgs* args, ProcRuntimeVar* vars, int* var_count,
                                   char* err, size_t errlen);
int sp_control_current_active(const ProcControlFrame* frames, int count);
