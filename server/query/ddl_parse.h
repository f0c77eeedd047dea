// DDL statement parsers: CREATE [UNIQUE] INDEX (create_index_parse.h), DROP
// TABLE, DROP INDEX and ALTER TABLE, with the checks and conversion of a
// DEFAULT value, all written on the keyword scanner of sql_keyword.h. They
// fill caller-owned records and leave all table work to their callers; the
// one exception is ddl_alter_table_from_sql, which parses ALTER TABLE and
// applies it (the commit thread and WAL replay both use it).
//
// Every function returns 0 or -1 with one message in err.  Callers pass 64
// bytes for every name buffer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "query/create_index_parse.h"
#include "query/sql_keyword.h"
#include "storage/sec_index.h"
#include "storage/table.h"

struct AlterTableCmd {
    int32_t op;               // AlterOp (table.h): 1 ADD, 2 DROP, 3 RENAME COLUMN
    char table[64];           // table name as written, canonicalised
    ColumnDef column;         // ADD only; is_primary_key always 0
    char old_name[64];        // DROP: the column; RENAME: its current name
    char new_name[64];        // RENAME: the new name
    char default_json[2048];  // ADD ... DEFAULT: the default as JSON value text
    int32_t has_default;      // 1 when DEFAULT was given
};

// ---- parsers (CREATE INDEX: create_index_parse.h) ----
int parse_drop_table_sql(const char* sql, char* table_out, size_t table_cap, int* if_exists_out,
                         char* err, size_t errlen);
// table_out is left empty when the statement has no ON part.
int parse_drop_index_sql(const char* sql, char* index_out, size_t index_cap, char* table_out,
                         size_t table_cap, int* if_exists_out, char* err, size_t errlen);
int parse_alter_table_sql(const char* sql, AlterTableCmd* cmd, char* err, size_t errlen);

// DEFAULT value: SQL text to a JSON value text for a column type, then its
// check by type.
int ddl_sql_value_to_json(int type, const char* sql_value, char* out, size_t out_cap, char* err,
                          size_t errlen);
int ddl_validate_raw_for_type(int type, const char* value, char* err, size_t errlen);

// Parses one ALTER TABLE statement and applies it to the table of that
// internal name (the statement's own table name is not used for lookup).
// replaying 1: during WAL replay, changes already present are tolerated.
// log (may be NULL): writes the change's record once every check passed (see
// table_apply_alter).
int ddl_alter_table_from_sql(const char* internal_name, const char* sql, int replaying, char* err,
                             size_t errlen, const AlterLog* log = nullptr);
