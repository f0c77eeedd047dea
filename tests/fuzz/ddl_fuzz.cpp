// Fuzz target: the DDL parsers (CREATE/ALTER/DROP TABLE, CREATE/DROP INDEX,
// DEFAULT values per column type) and the simple statement parsers (CREATE
// DATABASE, USE, LOGIN, CHANGE PASSWORD, CREATE USER, GRANT).
#include <memory>

#include "fuzz_input.h"
#include "query/ddl_parse.h"
#include "query/simple_parse.h"
#include "sql_forms.h"
#include "storage/sec_index.h"
#include "storage/table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static auto schema = std::make_unique<TableSchema>();
    static auto alter = std::make_unique<AlterTableCmd>();
    static auto index = std::make_unique<IndexDef>();
    for (const std::string& sql : kyrel_fuzz::sql_forms(kyrel_fuzz::text(data, size))) {
        const char* s = sql.c_str();
        char err[256], a[256], b[256], c[256];
        int flag = 0;
        parse_create_table_sql(s, schema.get(), err, sizeof err);
        parse_alter_table_sql(s, alter.get(), err, sizeof err);
        parse_create_index_def(s, a, 64, index.get(), &flag, err, sizeof err);
        parse_create_index_sql(s, a, 64, b, 64, c, 64, err, sizeof err);
        parse_drop_table_sql(s, a, 64, &flag, err, sizeof err);
        parse_drop_index_sql(s, a, 64, b, 64, &flag, err, sizeof err);
        parse_create_database_sql(s, a, 64, err, sizeof err);
        parse_use_database_sql(s, a, 64, err, sizeof err);
        parse_login_sql(s, a, 64, b, 256, err, sizeof err);
        parse_change_password_sql(s, a, 256, err, sizeof err);
        parse_create_user_sql(s, a, 64, b, 256, err, sizeof err);
        parse_grant_sql(s, a, 16, b, 64, c, 64, err, sizeof err);
        char json[2048];
        for (int type = 1; type <= 5; type++) {
            ddl_sql_value_to_json(type, s, json, sizeof json, err, sizeof err);
            ddl_validate_raw_for_type(type, s, err, sizeof err);
        }
    }
    return 0;
}
