// Fuzz target: the INSERT parser, against a schema of every column type.
#include <cstdio>
#include <cstdlib>

#include "base/text_util.h"
#include "fuzz_input.h"
#include "query/insert_parse.h"
#include "sql_forms.h"
#include "storage/table.h"

namespace {

TableSchema make_schema() {
    TableSchema s{};
    snprintf(s.name, sizeof s.name, "t");
    const struct {
        const char* name;
        int type;
        int max_length;
    } cols[] = {{"id", 1, 0}, {"name", 3, 8}, {"d", 2, 0}, {"b", 4, 0}, {"ts", 5, 0}, {"s", 3, 0}};
    for (const auto& c : cols) {
        ColumnDef& d = s.columns[s.column_count++];
        snprintf(d.name, sizeof d.name, "%s", c.name);
        d.type = c.type;
        d.max_length = c.max_length;
    }
    s.columns[0].is_primary_key = 1;
    snprintf(s.primary_key, sizeof s.primary_key, "id");
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const TableSchema schema = make_schema();
    for (const std::string& sql : kyrel_fuzz::sql_forms(kyrel_fuzz::text(data, size))) {
        char table[64], err[256];
        char** rows = nullptr;
        int count = 0;
        if (parse_insert_sql_multi(sql.c_str(), table, sizeof table, &rows, &count, &schema, err,
                                   sizeof err) == 0)
            free_string_array(rows, count);
        char* row = nullptr;
        if (parse_insert_sql(sql.c_str(), table, sizeof table, &row, &schema, err, sizeof err) == 0)
            free(row);
        parse_insert_table_name_sql(sql.c_str(), table, sizeof table, err, sizeof err);
        free(sql_string_literal_to_json(sql.c_str()));
    }
    return 0;
}
