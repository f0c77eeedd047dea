// Two-table JOIN: an in-memory join of two tables on one equality, with an
// optional single WHERE condition, one ORDER BY column and a LIMIT. The pairs
// and their order are those of a nested loop (each left row in collection
// order, its matching right rows in collection order); equality between the
// two sides is found through a hash of the right side's values. Both tables
// are copied whole (each under its own read lock, one after the other);
// matching, sorting and formatting run on private copies.
//
// Reply: {"ok":true,"rows":[...]}; SELECT * rows carry "<alias>.<column>"
// members for every column of both schemas.
#pragma once

#include <cstddef>
#include <cstdint>

#include "query/json_buf.h"

struct Table;

constexpr int JOIN_MAX_COLUMNS = 64;

struct JoinQuery {
    int32_t select_all;
    int32_t column_count;
    int32_t left_join;
    char columns[JOIN_MAX_COLUMNS][128];
    char left_table[130];  // as written; the caller writes the internal name back
    char left_alias[64];   // the table name as written when no alias is given
    char right_table[130];
    char right_alias[64];
    char on_left[128];
    char on_right[128];
    int32_t has_where;
    char where_column[128];
    char where_op[4];
    char where_value[2048];
    char order_by[128];  // empty when none
    int32_t order_desc;
    int32_t limit;  // -1: none
};

// 0 with *query filled (zeroed first); -1 with a message.
int parse_select_join_sql(const char* sql, JoinQuery* query, char* err, size_t errlen);

// left_table/right_table hold internal names. 0 with *out an owned reply.
int select_join_rows_json(const JoinQuery* query, char** out, char* err, size_t errlen);

// Copies of the table's live rows (newest version of each key), under the
// table's read lock. Caller frees with free_select_rows. 0; -1 "oom".
int collect_visible_rows(Table* table, SelectRow** rows_out, int* count_out, char* err,
                         size_t errlen);
