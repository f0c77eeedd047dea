// Fuzz target: the procedure statements (CREATE, DROP and SHOW PROCEDURE(S),
// CALL), parameter declarations and stored parameter lists, and the CALL
// argument conversions.
#include <cstdlib>
#include <memory>

#include "fuzz_input.h"
#include "procedures/sp_statements.h"
#include "sql_forms.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static auto args = std::make_unique<ProcCallArgs>();
    for (const std::string& sql : kyrel_fuzz::sql_forms(kyrel_fuzz::text(data, size))) {
        const char* s = sql.c_str();
        char name[SP_NAME_SIZE], table[SP_NAME_SIZE], err[256];
        ProcParamDef params[SP_MAX_PARAMS];
        int count = 0;
        char* body = nullptr;
        if (parse_create_procedure_sql(s, name, table, params, &count, &body, err, sizeof err) ==
            0) {
            char defs[SP_PARAM_DEFS_SIZE];
            if (sp_param_defs_to_string(params, count, defs, sizeof defs, err, sizeof err) == 0) {
                ProcParamDef again[SP_MAX_PARAMS];
                int n = 0;
                sp_parse_param_defs_string(defs, again, &n, err, sizeof err);
            }
        }
        free(body);
        parse_drop_procedure_sql(s, name, table, err, sizeof err);
        parse_show_procedures_sql(s, table, err, sizeof err);
        if (parse_call_procedure_sql(s, name, args.get(), err, sizeof err) == 0) {
            for (int i = 0; i < args->count; i++) {
                for (int32_t type = 1; type <= 4; type++) {
                    ProcParamDef p{"p", type};
                    char* lit = nullptr;
                    if (sp_arg_to_sql_literal(&p, args->args[i], &lit, err, sizeof err) == 0)
                        free(lit);
                }
                char* plain = nullptr;
                if (sp_sql_string_arg_to_plain(args->args[i], &plain, err, sizeof err) == 0) {
                    free(sp_plain_string_to_sql_literal(plain));
                    free(plain);
                }
            }
        }
        sp_parse_call_args_list(s, args.get(), err, sizeof err);
        sp_parse_param_declaration_list(s, params, &count, err, sizeof err);
        sp_parse_param_defs_string(s, params, &count, err, sizeof err);
    }
    return 0;
}
