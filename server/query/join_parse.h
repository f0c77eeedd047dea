// The two-table JOIN statement: SELECT <list> FROM a [[AS] x] [LEFT [OUTER]]
// JOIN b [[AS] y] ON p = q [WHERE c op v] [ORDER BY c [ASC|DESC]] [LIMIT n],
// read into a JoinQuery. join.h runs it.
#pragma once

#include <cstddef>
#include <cstdint>

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
