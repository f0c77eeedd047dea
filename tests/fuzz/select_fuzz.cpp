// Fuzz target: the single-table SELECT parser.
#include <memory>

#include "fuzz_input.h"
#include "query/select_parse.h"
#include "sql_forms.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static auto q = std::make_unique<SelectQuery>();  // large: not on the stack
    for (const std::string& sql : kyrel_fuzz::sql_forms(kyrel_fuzz::text(data, size))) {
        char table[64], err[256];
        parse_select_sql(sql.c_str(), table, sizeof table, q.get(), err, sizeof err);
    }
    return 0;
}
