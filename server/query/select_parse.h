// SELECT statement parsing: SQL text of a single-table SELECT into a
// SelectQuery record, plus the select-item vocabulary (ExprKind) and the
// numeric-literal rules shared with scalar evaluation.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int SELECT_MAX_ITEMS = 64;
constexpr int SELECT_MAX_PREDICATES = 8;
constexpr int SELECT_MAX_GROUP = 64;
constexpr size_t SELECT_SQL_MAX = 4096;  // work buffer: longer statements are refused

// Kind of one select item. Codes are in-memory only.
enum ExprKind : int32_t {
    EXPR_COLUMN = 0,
    EXPR_ABS = 1,
    EXPR_COUNT = 2,
    EXPR_SUM = 3,
    EXPR_AVG = 4,
    EXPR_MIN = 5,
    EXPR_MAX = 6,
    EXPR_SMA = 7,
    EXPR_EMA = 8,
    EXPR_MEAN = 9,
    EXPR_MED = 10,
    EXPR_MEDIAN = 11,
    EXPR_VAR = 12,
    EXPR_STDDEV = 13,
    EXPR_ROUND = 14,
    EXPR_SQRT = 15,
    EXPR_LOG = 16,
    EXPR_LN = 17,
    EXPR_LOG10 = 18,
    EXPR_EXP = 19,
    EXPR_POW = 20,
    EXPR_FLOOR = 21,
    EXPR_CEIL = 22,
    EXPR_SIGN = 23,
    EXPR_WMA = 24,
    EXPR_ROC = 25,
    EXPR_MOMENTUM = 26,
    EXPR_LOGRET = 27,
    EXPR_VOLATILITY = 28,
    EXPR_RSI = 29,
};

// One parsed SELECT. Zeroed by parse_select_sql, which alone fills it.
// Predicate k of the WHERE list is (pred_col[k], pred_op[k], pred_value[k]).
struct SelectQuery {
    int32_t select_star;
    int32_t column_count;
    char label[SELECT_MAX_ITEMS][128];
    int32_t kind[SELECT_MAX_ITEMS];
    char arg[SELECT_MAX_ITEMS][64];
    int32_t arg_is_literal[SELECT_MAX_ITEMS];
    char second_arg[SELECT_MAX_ITEMS][64];
    int32_t period[SELECT_MAX_ITEMS];
    int32_t has_aggregate;
    int32_t has_window;
    int32_t has_group_by;
    int32_t group_count;
    char group_col[SELECT_MAX_GROUP][64];
    char where_col[64];
    char where_op[4];
    char where_value[2048];
    int32_t has_where;
    int32_t pred_count;
    char pred_col[SELECT_MAX_PREDICATES][64];
    char pred_op[SELECT_MAX_PREDICATES][4];
    char pred_value[SELECT_MAX_PREDICATES][2048];
    char order_by[64];
    int32_t order_desc;
    int32_t limit;  // -1: no limit
};

// Parses one SELECT. 0 with query and table_out filled; -1 with a message.
int parse_select_sql(const char* sql, char* table_out, size_t table_cap, SelectQuery* query,
                     char* err, size_t errlen);

int select_expr_is_aggregate(int kind);
int select_expr_is_window(int kind);
int select_expr_is_scalar_numeric(int kind);
int column_type_is_numeric(int type);
int select_expr_column_in_group(const SelectQuery* query, const char* name);
int group_col_index(const SelectQuery* query, const char* name);

// 0 when text (trimmed, at most 127 bytes) is a finite numeric literal within
// the double range; *is_integer is 1 when it has no '.', 'e' or 'E'. -1 else.
int parse_numeric_literal_value(const char* text, long double* value_out, int* is_integer_out);

// Normalises a numeric literal into out with "%.15Lg". 0 / -1 with message.
int parse_number_token(const char* text, char* out, size_t cap, char* err, size_t errlen);

// Base-10 integer in 1..1000000. 0 / -1 with message.
int parse_positive_int_token(const char* text, int* out, char* err, size_t errlen);
