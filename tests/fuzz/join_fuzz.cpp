// Fuzz target: the two-table JOIN SELECT parser.
#include <memory>

#include "fuzz_input.h"
#include "query/join.h"
#include "sql_forms.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static auto q = std::make_unique<JoinQuery>();
    for (const std::string& sql : kyrel_fuzz::sql_forms(kyrel_fuzz::text(data, size))) {
        char err[256];
        parse_select_join_sql(sql.c_str(), q.get(), err, sizeof err);
    }
    return 0;
}
