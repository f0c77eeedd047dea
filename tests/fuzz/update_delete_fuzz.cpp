// Fuzz target: the UPDATE and DELETE parsers, and the check of SET values
// against a schema.
#include <cstdio>

#include "base/text_util.h"
#include "fuzz_input.h"
#include "query/update_delete_parse.h"
#include "sql_forms.h"
#include "storage/table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const TableSchema schema = [] {
        TableSchema s{};
        snprintf(s.name, sizeof s.name, "t");
        const char* names[] = {"id", "v", "n", "b"};
        const int types[] = {1, 3, 2, 4};
        for (int i = 0; i < 4; i++) {
            snprintf(s.columns[i].name, sizeof s.columns[i].name, "%s", names[i]);
            s.columns[i].type = types[i];
        }
        s.column_count = 4;
        s.columns[0].is_primary_key = 1;
        snprintf(s.primary_key, sizeof s.primary_key, "id");
        return s;
    }();
    for (const std::string& sql : kyrel_fuzz::sql_forms(kyrel_fuzz::text(data, size))) {
        char table[64], key[2048], column[64], err[256];
        char** cols = nullptr;
        char** vals = nullptr;
        int count = 0;
        if (parse_update_sql(sql.c_str(), table, sizeof table, key, sizeof key, &cols, &vals,
                             &count, column, err, sizeof err) == 0) {
            normalize_update_values_for_schema(&schema, cols, vals, count, err, sizeof err);
            free_string_array(cols, count);
            free_string_array(vals, count);
        }
        parse_delete_sql(sql.c_str(), table, sizeof table, key, sizeof key, column, sizeof column,
                         err, sizeof err);
    }
    return 0;
}
