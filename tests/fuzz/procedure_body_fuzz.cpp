// Fuzz target: the procedure language. The input is a body, optionally
// followed (after a 0x01 byte) by parameter declarations: the body's
// structure check and its dry run with the parameters at their defaults,
// then each statement's own parser, and the conditions and expressions of
// the language evaluated against a few variables.
#include <cstdlib>
#include <cstring>

#include "fuzz_input.h"
#include "procedures/sp_body.h"
#include "procedures/sp_conditions.h"
#include "procedures/sp_statements.h"
#include "procedures/sp_values.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> in = kyrel_fuzz::parts(data, size, 2);
    const char* body = in[0].c_str();
    char err[256];
    ProcParamDef params[SP_MAX_PARAMS];
    int count = 0;
    if (sp_parse_param_declaration_list(in[1].c_str(), params, &count, err, sizeof err) != 0)
        count = 0;
    if (sp_validate_body(body, err, sizeof err) == 0)
        sp_validate_body_placeholders(body, params, count, err, sizeof err);

    ProcRuntimeVar vars[SP_MAX_VARS] = {};
    int nvars = 0;
    sp_add_runtime_var(vars, &nvars, "i", 1, "7", 0, err, sizeof err);
    sp_add_runtime_var(vars, &nvars, "d", 2, "2.5", 0, err, sizeof err);
    sp_add_runtime_var(vars, &nvars, "s", 3, "'it''s'", 1, err, sizeof err);
    sp_add_runtime_var(vars, &nvars, "b", 4, "true", 0, err, sizeof err);

    StatementList list;
    if (sp_split_statements(body, &list.items, &list.count, err, sizeof err) == 0) {
        for (int k = 0; k < list.count && k < 64; k++) {
            const char* st = list.items[k];
            char cond[4096], name[64], expr[2048];
            int32_t type = 0;
            int truth = 0;
            sp_statement_kind_name(st);
            if (sp_extract_then_condition(st, "IF ", cond, sizeof cond, err, sizeof err) == 0 ||
                sp_extract_then_condition(st, "ELSEIF ", cond, sizeof cond, err, sizeof err) == 0 ||
                sp_extract_do_condition(st, cond, sizeof cond, err, sizeof err) == 0)
                sp_eval_condition(cond, vars, nvars, &truth, err, sizeof err);
            if (sp_parse_declare_stmt(st, name, &type, expr, err, sizeof err) == 0 && expr[0]) {
                char* lit = nullptr;
                if (sp_expr_to_sql_literal(expr, type, name, vars, nvars, &lit, err, sizeof err) ==
                    0)
                    free(lit);
            }
            if (sp_parse_set_stmt(st, name, expr, err, sizeof err) == 0) {
                for (int32_t t = 1; t <= 4; t++) {
                    char* lit = nullptr;
                    if (sp_expr_to_sql_literal(expr, t, name, vars, nvars, &lit, err, sizeof err) ==
                        0)
                        free(lit);
                }
            }
            if (sp_statement_is_executable_sql(st)) {
                char* sql = nullptr;
                if (sp_substitute_runtime_placeholders(st, vars, nvars, &sql, err, sizeof err) == 0)
                    free(sql);
            }
        }
    }
    int truth = 0;
    sp_eval_condition(body, vars, nvars, &truth, err, sizeof err);
    sp_free_runtime_vars(vars, &nvars);
    return 0;
}
