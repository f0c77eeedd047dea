// Two-table JOIN (join_parse.h reads the statement): an in-memory join of
// two tables on one equality, with an optional single WHERE condition, one
// ORDER BY column and a LIMIT. The pairs and their order are those of a
// nested loop (each left row in collection order, its matching right rows in
// collection order); equality between the two sides is found through a hash
// of the right side's values. Both tables are copied whole (each under its
// own read lock, one after the other); matching, sorting and formatting run
// on private copies.
//
// Reply: {"ok":true,"rows":[...]}; SELECT * rows carry "<alias>.<column>"
// members for every column of both schemas.
#pragma once

#include <cstddef>
#include <cstdint>

#include "query/join_parse.h"
#include "query/json_buf.h"

struct Table;

// left_table/right_table hold internal names. 0 with *out an owned reply.
int select_join_rows_json(const JoinQuery* query, char** out, char* err, size_t errlen);

// Copies of the table's live rows (newest version of each key), under the
// table's read lock. Caller frees with free_select_rows. 0; -1 "oom".
int collect_visible_rows(Table* table, SelectRow** rows_out, int* count_out, char* err,
                         size_t errlen);
