// CALL and the procedure interpreter.
//
// The interpreter walks the statement list once with a stack of control
// frames; WHILE loops jump back from ENDWHILE to the statement after their
// WHILE. Every statement visited (also skipped ones and every loop pass)
// writes one step object, numbered in execution order. The work of one CALL
// is bounded by the step limit and the WHILE iteration limit, since it holds
// up the single writer.
#include "procedures/sp_interpreter.h"

#include <cstdlib>
#include <memory>

#include "base/err.h"
#include "base/json_text.h"
#include "procedures/sp_body.h"
#include "procedures/sp_catalog.h"
#include "procedures/sp_conditions.h"
#include "procedures/sp_invoker.h"
#include "procedures/sp_statements.h"
#include "procedures/sp_util.h"
#include "procedures/sp_values.h"
#include "query/session.h"

namespace {

const char* tf(int v) { return v ? "true" : "false"; }

// State of one CALL.
struct Run {
    Session* session;
    VarTable vt;
    ProcControlFrame frames[SP_MAX_BLOCKS];
    SpBlockNesting nest;
    std::string out;
    int steps = 0, executed = 0, sql = 0, loop_iterations = 0;
    bool has_last = false;
    std::string last_result;

    ProcControlFrame& top() { return frames[nest.depth - 1]; }
    int top_kind() const { return nest.depth > 0 ? frames[nest.depth - 1].kind : 0; }
    int top_has_else() const { return nest.depth > 0 ? frames[nest.depth - 1].has_else : 0; }
};

int sp_append_step_prefix(Run& r, char* err, size_t errlen) {
    if (r.steps >= SP_MAX_STEPS)
        return sp_fail(err, errlen, "procedure execution step limit exceeded");
    if (r.steps > 0) r.out += ',';
    ++r.steps;
    return 0;
}

int count_loop(Run& r, char* err, size_t errlen) {
    if (++r.loop_iterations > SP_MAX_LOOP_ITERATIONS)
        return sp_fail(err, errlen, "procedure WHILE iteration limit exceeded");
    return 0;
}

std::string idx(const Run& r) { return "{\"index\":" + std::to_string(r.steps); }

// Every step below writes one step object; a failing statement fails the
// CALL with the unwrapped message.

// IF opens a frame; its condition is evaluated only in an active branch.
int run_if(Run& r, const char* st, int active, char* err, size_t errlen) {
    if (sp_block_check_open(&r.nest, SP_BLOCK_IF, err, errlen) != 0) return -1;
    char cond[4096];
    if (sp_extract_then_condition(st, "IF ", cond, sizeof cond, err, errlen) != 0) return -1;
    int truth = 0;
    if (active && sp_eval_condition(cond, r.vt.vars, r.vt.count, &truth, err, errlen) != 0)
        return -1;
    ProcControlFrame& f = r.frames[r.nest.depth];
    sp_block_open(&r.nest, SP_BLOCK_IF);
    memset(&f, 0, sizeof f);
    f.kind = SP_BLOCK_IF;
    f.parent_active = active;
    f.branch_taken = f.active = active && truth;
    f.loop_start = -1;
    if (sp_append_step_prefix(r, err, errlen) != 0) return -1;
    r.out += idx(r) + ",\"kind\":\"IF\",\"condition\":\"" + json_escaped(cond) +
             "\",\"evaluated\":" + tf(active) + ",\"truth\":" + tf(active && truth) +
             ",\"active\":" + tf(f.active) + ",\"ok\":true}";
    ++r.executed;
    return 0;
}

// ELSEIF is evaluated while no earlier branch of its IF was taken.
int run_elseif(Run& r, const char* st, char* err, size_t errlen) {
    if (sp_block_check_branch(&r.nest, r.top_kind(), r.top_has_else(), SP_STMT_ELSEIF, err,
                              errlen) != 0)
        return -1;
    ProcControlFrame& f = r.top();
    char cond[4096];
    if (sp_extract_then_condition(st, "ELSEIF ", cond, sizeof cond, err, errlen) != 0) return -1;
    int evaluated = f.parent_active && !f.branch_taken;
    int truth = 0;
    if (evaluated && sp_eval_condition(cond, r.vt.vars, r.vt.count, &truth, err, errlen) != 0)
        return -1;
    f.active = evaluated && truth;
    if (f.active) f.branch_taken = 1;
    if (sp_append_step_prefix(r, err, errlen) != 0) return -1;
    r.out += idx(r) + ",\"kind\":\"ELSEIF\",\"condition\":\"" + json_escaped(cond) +
             "\",\"evaluated\":" + tf(evaluated) + ",\"truth\":" + tf(evaluated && truth) +
             ",\"active\":" + tf(f.active) + ",\"ok\":true}";
    ++r.executed;
    return 0;
}

int run_else(Run& r, char* err, size_t errlen) {
    if (sp_block_check_branch(&r.nest, r.top_kind(), r.top_has_else(), SP_STMT_ELSE, err, errlen) !=
        0)
        return -1;
    ProcControlFrame& f = r.top();
    f.has_else = 1;
    f.active = f.parent_active && !f.branch_taken;
    f.branch_taken = 1;
    if (sp_append_step_prefix(r, err, errlen) != 0) return -1;
    r.out += idx(r) + ",\"kind\":\"ELSE\",\"active\":" + tf(f.active) + ",\"ok\":true}";
    ++r.executed;
    return 0;
}

int run_endif(Run& r, char* err, size_t errlen) {
    if (sp_block_check_branch(&r.nest, r.top_kind(), r.top_has_else(), SP_STMT_ENDIF, err,
                              errlen) != 0)
        return -1;
    sp_block_close(&r.nest, SP_BLOCK_IF);
    if (sp_append_step_prefix(r, err, errlen) != 0) return -1;
    r.out += idx(r) + ",\"kind\":\"ENDIF\",\"ok\":true}";
    ++r.executed;
    return 0;
}

// WHILE at statement i opens a frame that remembers i and its condition; a
// true condition starts a pass.
int run_while(Run& r, const char* st, int i, int active, char* err, size_t errlen) {
    if (sp_block_check_open(&r.nest, SP_BLOCK_WHILE, err, errlen) != 0) return -1;
    char cond[4096];
    if (sp_extract_do_condition(st, cond, sizeof cond, err, errlen) != 0) return -1;
    int truth = 0;
    if (active && sp_eval_condition(cond, r.vt.vars, r.vt.count, &truth, err, errlen) != 0)
        return -1;
    if (active && truth && count_loop(r, err, errlen) != 0) return -1;
    ProcControlFrame& f = r.frames[r.nest.depth];
    sp_block_open(&r.nest, SP_BLOCK_WHILE);
    memset(&f, 0, sizeof f);
    f.kind = SP_BLOCK_WHILE;
    f.parent_active = active;
    f.active = active && truth;
    f.loop_start = i;
    snprintf(f.condition, sizeof f.condition, "%s", cond);
    if (sp_append_step_prefix(r, err, errlen) != 0) return -1;
    r.out += idx(r) + ",\"kind\":\"WHILE\",\"condition\":\"" + json_escaped(cond) +
             "\",\"evaluated\":" + tf(active) + ",\"truth\":" + tf(active && truth) +
             ",\"active\":" + tf(f.active) + ",\"ok\":true}";
    ++r.executed;
    return 0;
}

// ENDWHILE tests the loop's condition again: true sends *i back to the WHILE
// (the next pass starts after it), false closes the frame.
int run_endwhile(Run& r, int* i, char* err, size_t errlen) {
    if (sp_block_check_branch(&r.nest, r.top_kind(), r.top_has_else(), SP_STMT_ENDWHILE, err,
                              errlen) != 0)
        return -1;
    ProcControlFrame& f = r.top();
    int evaluated = f.parent_active && f.active;
    int truth = 0;
    if (evaluated &&
        sp_eval_condition(f.condition, r.vt.vars, r.vt.count, &truth, err, errlen) != 0)
        return -1;
    int repeat = evaluated && truth;
    if (repeat && count_loop(r, err, errlen) != 0) return -1;
    if (sp_append_step_prefix(r, err, errlen) != 0) return -1;
    r.out += idx(r) + ",\"kind\":\"ENDWHILE\",\"evaluated\":" + tf(evaluated) +
             ",\"truth\":" + tf(evaluated && truth) + ",\"repeat\":" + tf(repeat) + ",\"ok\":true}";
    ++r.executed;
    if (repeat)
        *i = f.loop_start;
    else
        sp_block_close(&r.nest, SP_BLOCK_WHILE);
    return 0;
}

// A statement in an inactive branch is only recorded.
int run_skipped(Run& r, const char* st, char* err, size_t errlen) {
    if (sp_append_step_prefix(r, err, errlen) != 0) return -1;
    r.out +=
        idx(r) + ",\"kind\":\"" + sp_statement_kind_name(st) + "\",\"ok\":true,\"skipped\":true}";
    return 0;
}

int run_declare(Run& r, const char* st, char* err, size_t errlen) {
    if (sp_append_step_prefix(r, err, errlen) != 0) return -1;
    char name[64], expr[2048];
    int32_t type = 0;
    if (sp_parse_declare_stmt(st, name, &type, expr, err, errlen) != 0) return -1;
    if (sp_declare_runtime_var(r.vt.vars, &r.vt.count, name, type, expr, err, errlen) != 0)
        return -1;
    r.out +=
        idx(r) + ",\"kind\":\"DECLARE\",\"variable\":\"" + json_escaped(name) + "\",\"ok\":true}";
    ++r.executed;
    return 0;
}

int run_set(Run& r, const char* st, char* err, size_t errlen) {
    if (sp_append_step_prefix(r, err, errlen) != 0) return -1;
    char name[64], expr[2048];
    if (sp_parse_set_stmt(st, name, expr, err, errlen) != 0) return -1;
    int v = 0;
    char* lit = nullptr;
    if (sp_eval_set(r.vt.vars, r.vt.count, name, expr, &v, &lit, err, errlen) != 0) return -1;
    free(r.vt.vars[v].value);
    r.vt.vars[v].value = lit;
    r.out += idx(r) + ",\"kind\":\"SET\",\"variable\":\"" + json_escaped(name) + "\",\"ok\":true}";
    ++r.executed;
    return 0;
}

// A SQL statement runs as the invoker with its placeholders replaced; its
// reply becomes the step's result and the last result.
int run_sql(Run& r, const char* st, char* err, size_t errlen) {
    if (sp_append_step_prefix(r, err, errlen) != 0) return -1;
    char* sql = nullptr;
    if (sp_substitute_runtime_placeholders(st, r.vt.vars, r.vt.count, &sql, err, errlen) != 0)
        return -1;
    CStr sql_hold(sql);
    if (strlen(sql) > SP_MAX_SQL_STATEMENT)
        return sp_fail(err, errlen, "procedure SQL statement exceeds %d bytes",
                       static_cast<int>(SP_MAX_SQL_STATEMENT));
    char* result = nullptr;
    if (sp_execute_invoker_sql(r.session, sql, &result, err, errlen) != 0) return -1;
    CStr result_hold(result);
    r.has_last = result != nullptr;
    r.last_result = result ? result : "";
    ++r.sql;
    r.out += idx(r) + ",\"kind\":\"SQL\",\"ok\":true,\"result\":" +
             (result ? std::string(result) : std::string("null")) + "}";
    return 0;
}

// Statement *i; ENDWHILE may move *i back to its WHILE.
int run_statement(Run& r, const char* st, int* i, char* err, size_t errlen) {
    const int active = sp_control_current_active(r.frames, r.nest.depth);
    const SpStatementKind kind = sp_statement_kind(st);
    switch (kind) {
    case SP_STMT_IF: return run_if(r, st, active, err, errlen);
    case SP_STMT_ELSEIF: return run_elseif(r, st, err, errlen);
    case SP_STMT_ELSE: return run_else(r, err, errlen);
    case SP_STMT_ENDIF: return run_endif(r, err, errlen);
    case SP_STMT_WHILE: return run_while(r, st, *i, active, err, errlen);
    case SP_STMT_ENDWHILE: return run_endwhile(r, i, err, errlen);
    default: break;
    }
    if (!active) return run_skipped(r, st, err, errlen);
    switch (kind) {
    case SP_STMT_DECLARE: return run_declare(r, st, err, errlen);
    case SP_STMT_SET: return run_set(r, st, err, errlen);
    case SP_STMT_SQL: return run_sql(r, st, err, errlen);
    default:
        if (sp_append_step_prefix(r, err, errlen) != 0) return -1;
        return sp_fail(err, errlen, "unsupported procedure statement: %s",
                       sp_statement_kind_name(st));
    }
}

// Runs statements; -1 with the unwrapped message on failure.
int walk(Run& r, const StatementList& list, char* err, size_t errlen) {
    for (int i = 0; i < list.count; ++i)
        if (run_statement(r, list.items[i], &i, err, errlen) != 0) return -1;
    return sp_block_check_closed(&r.nest, r.top_kind(), err, errlen);
}

}  // namespace

int sp_control_current_active(const ProcControlFrame* frames, int count) {
    if (!frames || count <= 0) return 1;
    return frames[count - 1].active ? 1 : 0;
}

int sp_bind_params_to_runtime_vars(const ProcParamDef* params, int param_count,
                                   const ProcCallArgs* args, ProcRuntimeVar* vars, int* var_count,
                                   char* err, size_t errlen) {
    if (!vars || !var_count) return sp_fail(err, errlen, "internal procedure binding error");
    int argc = args ? args->count : 0;
    if (argc != param_count)
        return sp_fail(err, errlen, "CALL argument count mismatch: expected %d, got %d",
                       param_count, argc);
    for (int i = 0; i < param_count; ++i) {
        char* lit = nullptr;
        if (sp_arg_to_sql_literal(&params[i], args->args[i], &lit, err, errlen) != 0 ||
            sp_add_runtime_var(vars, var_count, params[i].name, params[i].type, lit, 1, err,
                               errlen) != 0) {
            free(lit);
            sp_free_runtime_vars(vars, var_count);
            return -1;
        }
        free(lit);
    }
    return 0;
}

namespace {

int execute_script(Session* session, const char* procedure, const char* body,
                   const ProcParamDef* params, int param_count, const ProcCallArgs* args,
                   char** out_reply, char* err, size_t errlen) {
    StatementList list;
    if (sp_split_statements(body, &list.items, &list.count, err, errlen) != 0) return -1;
    std::unique_ptr<Run> r(new (std::nothrow) Run());
    if (!r) return sp_fail(err, errlen, "oom");
    r->session = session;
    if (sp_bind_params_to_runtime_vars(params, param_count, args, r->vt.vars, &r->vt.count, err,
                                       errlen) != 0)
        return -1;
    r->out = "{\"ok\":true,\"procedure\":\"" + json_escaped(procedure) + "\",\"results\":[";
    char msg[512] = "";
    if (walk(*r, list, msg, sizeof msg) != 0) {
        return sp_fail(err, errlen, "procedure statement %d failed: %.400s",
                       r->steps < 0 ? 0 : r->steps, msg);
    }
    std::string reply;
    if (r->sql == 1 && r->executed == 0 && r->has_last) {
        reply = r->last_result;
    } else {
        r->out += "],\"statements_executed\":" + std::to_string(r->steps) +
                  ",\"sql_statements_executed\":" + std::to_string(r->sql) +
                  ",\"loop_iterations\":" + std::to_string(r->loop_iterations) +
                  ",\"last_result\":" + (r->has_last ? r->last_result : std::string("null")) + "}";
        reply.swap(r->out);
    }
    char* owned = sp_dup(reply);
    if (!owned) return sp_fail(err, errlen, "oom");
    *out_reply = owned;
    return 0;
}

}  // namespace

int sp_execute_procedure_script(Session* session, const char* procedure, const char* body,
                                const ProcParamDef* params, int param_count,
                                const ProcCallArgs* args, char** out_reply, char* err,
                                size_t errlen) {
    if (out_reply) *out_reply = nullptr;
    if (!out_reply) return sp_fail(err, errlen, "internal procedure error");
    // The interpreter's strings and lists running out of memory end the call
    // with "oom"; the statements it ran before stay done, as after any failed
    // statement.
    int rc = -1;
    if (run_unless_oom([&] {
            rc = execute_script(session, procedure, body, params, param_count, args, out_reply, err,
                                errlen);
        }))
        return rc;
    free(*out_reply);
    *out_reply = nullptr;
    return sp_fail(err, errlen, "oom");
}

int sp_call_procedure(Session* session, const char* procedure, const ProcCallArgs* args,
                      char** out_reply, char* err, size_t errlen) {
    if (out_reply) *out_reply = nullptr;
    char* body = nullptr;
    char table[64];
    ProcParamDef params[SP_MAX_PARAMS] = {};
    int n = 0;
    if (sp_load_procedure_body_checked(session, procedure, &body, table, params, &n, err, errlen) !=
        0)
        return -1;
    CStr hold(body);
    return sp_execute_procedure_script(session, procedure, body, params, n, args, out_reply, err,
                                       errlen);
}
