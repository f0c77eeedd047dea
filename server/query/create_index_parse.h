// CREATE [UNIQUE] INDEX [IF NOT EXISTS] name ON table [USING btree]
// (column [ASC|DESC] [NULLS FIRST|LAST], ...) [WITH (fillfactor = n,
// deduplicate_items = bool)]: the parser fills a caller-owned IndexDef and
// leaves the index work to its caller. 0, or -1 with one message in err.
// Callers pass 64 bytes for every name buffer.
#pragma once

#include <cstddef>

#include "storage/sec_index.h"

int parse_create_index_def(const char* sql, char* table_out, size_t table_cap, IndexDef* index_def,
                           int* if_not_exists_out, char* err, size_t errlen);
// The one-column form: index, table and (first) column names.
int parse_create_index_sql(const char* sql, char* index_out, size_t index_cap, char* table_out,
                           size_t table_cap, char* column_out, size_t column_cap, char* err,
                           size_t errlen);
