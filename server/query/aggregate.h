// Aggregates (COUNT, SUM, AVG, MEAN, MIN, MAX, MED, MEDIAN, VAR, STDDEV) and
// GROUP BY: the reply of an aggregate query, one row over all collected rows
// or one row per group.
//
// Rows whose GROUP BY values are equal under each column's comparison
// (compare_json_values) form one group: the int 1 and 1.0, the doubles 1.5
// and 1.50, the strings "é" and "\u00e9". JSON null forms its own group. A
// group shows the values of its first row as stored. Groups keep the order of
// their first row unless ORDER BY (a GROUP BY column) reorders them.
//
// Two ways to the same reply: the builders over collected rows
// (build_grouped_rows_json, build_aggregate_rows_json), and AggregateScan,
// which is fed each row as it is read and keeps no row.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "query/row_read.h"

#include "query/json_buf.h"
#include "query/select_parse.h"

struct TableSchema;

// One group. The row pointers are shared with the collected SelectRow array.
struct GroupBucket {
    std::string key;
    std::vector<std::string> values;  // trimmed raw value of each GROUP BY column
    std::vector<const char*> rows;    // row_json of the group's rows, collection order
};

// ---- one aggregate, fed value by value -------------------------------------

// A select item of an aggregate query resolved against the schema.
struct AggPlan {
    int kind = 0;
    int type = 0;
    bool star = false;   // COUNT(*)
    std::string member;  // the member each row is read for
    int field = -1;      // its index in a scan's RowFields
    std::string error;   // raised when the item is written; empty when valid
};

// The running state of one aggregate.
struct AggAcc {
    long long n = 0;                  // values (rows for COUNT(*); 1 once MIN/MAX holds one)
    long double sum = 0;              // SUM, AVG, MEAN: in row order
    std::string held;                 // MIN, MAX: the value as stored
    std::vector<long double> values;  // MED, MEDIAN, VAR, STDDEV
};

void agg_plan_item(const TableSchema* schema, int kind, const char* arg, AggPlan* plan);
// One row's value of the item: trimmed raw text, NULL when the member is
// absent or JSON null. 0; -1 "oom".
int agg_feed(const AggPlan& plan, AggAcc* acc, const char* value, char* err, size_t errlen);
// 0 and *out (heap raw JSON); -1 with the plan's error or "oom". MED and
// MEDIAN sort acc's values.
int agg_finish(const AggPlan& plan, AggAcc* acc, char** out, char* err, size_t errlen);

// Aggregate `kind` of `arg` (a column name, or * for COUNT) over the rows.
// 0 and *out (heap raw JSON); -1 and a message.
int compute_aggregate_expr_raw(const TableSchema* schema, int kind, const char* arg,
                               const SelectRow* rows, int count, char** out, char* err,
                               size_t errlen);

// Present, non-null values of a numeric column in row order. *out is a heap
// array (malloc, at least one slot) owned by the caller. 0; -1 "unknown
// selected column" / "function supports numeric columns only" / "oom".
int collect_numeric_values(const TableSchema* schema, const char* column, const SelectRow* rows,
                           int count, long double** out, int* out_count, char* err, size_t errlen);

// qsort comparator over long double: -1, 0, +1 ascending.
int cmp_long_double_for_qsort(const void* a, const void* b);

// Appends to *key the part of a group key for one trimmed value of a column
// of `type`: equal parts exactly for values compare_json_values finds equal.
// -1 "oom" (no message).
int group_key_append(int type, const char* value, std::string* key);

// Group key and group values of one row. 0; -1 "unknown GROUP BY column" /
// "missing GROUP BY column value".
int make_group_key_and_values(const TableSchema* schema, const SelectQuery* query,
                              const char* row_json, std::string* key,
                              std::vector<std::string>* values, char* err, size_t errlen);

// Index of `column` among the GROUP BY columns (case-insensitive) with its
// schema type in *type; -1 when it is not grouped or not in the schema.
int group_order_col_index(const TableSchema* schema, const SelectQuery* query, const char* column,
                          int* type);

// Reply of a GROUP BY query (LIMIT counts groups). 0 and *out; -1. In both
// builders table_name goes into the reply as given (already escaped).
int build_grouped_rows_json(const TableSchema* schema, const char* table_name,
                            const SelectQuery* query, const SelectRow* rows, int count, char** out,
                            char* err, size_t errlen);

// Reply of an aggregate query without GROUP BY: exactly one row (none with
// LIMIT 0). 0 and *out; -1.
int build_aggregate_rows_json(const TableSchema* schema, const char* table_name,
                              const SelectQuery* query, const SelectRow* rows, int count,
                              char** out, char* err, size_t errlen);

// Aggregation while scanning: each matching row, its members read into the
// RowFields given to prepare(), is fed once into the accumulators of its
// group (or of the single row without GROUP BY). The reply equals the
// builders' above over the same rows in the same order, errors included.
class AggregateScan {
  public:
    // Registers the members the items and GROUP BY columns read.
    void prepare(const TableSchema* schema, const SelectQuery* query, RowFields* fields);
    // False when no row can change the reply (LIMIT 0 without GROUP BY).
    bool needs_rows() const;
    // 0; -1 "unknown GROUP BY column", "missing GROUP BY column value", "oom".
    int add(RowFields& fields, char* err, size_t errlen);
    // The reply (table_name as given, already escaped). 0 and *out; -1.
    int finish(const char* table_name, char** out, char* err, size_t errlen);

  private:
    struct Group {
        std::vector<std::string> values;  // trimmed values of the first row
        std::vector<AggAcc> accs;         // one per select item
    };
    int feed(RowFields& fields, Group* group, char* err, size_t errlen);
    const TableSchema* schema_ = nullptr;
    const SelectQuery* query_ = nullptr;
    std::vector<AggPlan> plans_;
    std::vector<int> group_type_;  // -1: not a column of the schema
    std::vector<int> group_field_;
    std::unordered_map<std::string, size_t> index_;
    std::vector<Group> groups_;
    std::string key_;
};
