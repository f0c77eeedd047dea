// Aggregates and GROUP BY over the collected rows of a SELECT.
//
// Values are read per row under the column's schema spelling; rows without
// the member and JSON nulls take no part (except in COUNT(*)). Sums run in
// long double in row order.
#include "query/aggregate.h"

#include <strings.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "base/err.h"
#include "base/json_text.h"
#include "base/text_util.h"
#include "query/order_by.h"
#include "query/row_reply.h"
#include "query/scalar_window.h"
#include "storage/ident.h"
#include "storage/row_version.h"
#include "storage/table.h"

namespace {

// A computed number of an aggregate: null when it does not fit a finite
// double (a sum of two 1e308 values, say), else the shared reply form.
int out_real(long double v, char** out, char* err, size_t errlen) {
    return make_raw_number(out, err, errlen, v);
}

// Trimmed raw value of member `name`; false when absent or null.
bool present_value(const char* row_json, const char* name, CStr* value) {
    return extract_trimmed(row_json, name, value) && !is_json_null_token(value->get());
}

long double numeric_of(const char* text, int type) {
    if (type == COL_TYPE_DOUBLE) return strtold(text, nullptr);
    return static_cast<long double>(strtoimax(text, nullptr, 10));
}

const char* kind_name(int kind) {
    switch (kind) {
    case EXPR_SUM: return "SUM";
    case EXPR_AVG: return "AVG";
    case EXPR_MEAN: return "MEAN";
    default: return "function";
    }
}

// COUNT(*) counts the rows, COUNT(column) the rows where it is present.
int count_over(const TableSchema* schema, const char* arg, const char* const* rows, int count,
               char** out, char* err, size_t errlen) {
    long long n = 0;
    if (strcmp(arg, "*") == 0) {
        n = count;
    } else {
        int col = schema_get_col_ci(schema, arg);
        const char* name = col >= 0 ? schema->columns[col].name : arg;
        for (int i = 0; i < count; ++i) {
            CStr v;
            if (present_value(rows[i], name, &v)) ++n;
        }
    }
    char buf[256];
    snprintf(buf, sizeof buf, "%lld", n);
    return copy_raw_out(buf, out, err, errlen);
}

// MIN and MAX compare as the column's type; the value is written as stored.
int min_max_over(int kind, int type, const char* name, const char* const* rows, int count,
                 char** out, char* err, size_t errlen) {
    CStr held;
    for (int i = 0; i < count; ++i) {
        CStr v;
        if (!present_value(rows[i], name, &v)) continue;
        if (!held) {
            held = std::move(v);
            continue;
        }
        int c = compare_json_values(type, v.get(), held.get());
        if ((kind == EXPR_MIN && c < 0) || (kind == EXPR_MAX && c > 0)) held = std::move(v);
    }
    return copy_raw_out(held ? held.get() : "null", out, err, errlen);
}

// SUM, AVG and MEAN of a numeric column.
int sum_over(int kind, int type, const char* name, const char* const* rows, int count, char** out,
             char* err, size_t errlen) {
    if (!column_type_is_numeric(type)) {
        set_errf(err, errlen, "%s supports numeric columns only", kind_name(kind));
        return -1;
    }
    long double sum = 0;
    long long n = 0;
    for (int i = 0; i < count; ++i) {
        CStr v;
        if (!present_value(rows[i], name, &v)) continue;
        sum += numeric_of(v.get(), type);
        ++n;
    }
    if (n == 0) return copy_raw_out("null", out, err, errlen);
    if (kind != EXPR_SUM) return out_real(sum / n, out, err, errlen);
    // An integer sum is written as an integer while it fits in 64 bits;
    // beyond that a truncation would be meaningless, so it takes the
    // floating form.
    if (type != COL_TYPE_DOUBLE && sum >= -9223372036854775808.0L &&
        sum <= 9223372036854775807.0L) {
        char buf[256];
        snprintf(buf, sizeof buf, "%lld", static_cast<long long>(sum));
        return copy_raw_out(buf, out, err, errlen);
    }
    return out_real(sum, out, err, errlen);
}

// MED, MEDIAN, VAR and STDDEV over the collected numeric values.
int spread_over(int kind, int type, const char* name, const char* const* rows, int count,
                char** out, char* err, size_t errlen) {
    if (!column_type_is_numeric(type)) {
        set_err(err, errlen, "function supports numeric columns only");
        return -1;
    }
    std::vector<long double> values;
    try {
        values.reserve(static_cast<size_t>(count > 0 ? count : 1));
        for (int i = 0; i < count; ++i) {
            CStr v;
            if (present_value(rows[i], name, &v)) values.push_back(numeric_of(v.get(), type));
        }
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    const size_t n = values.size();
    if (n == 0) return copy_raw_out("null", out, err, errlen);
    if (kind == EXPR_MED || kind == EXPR_MEDIAN) {
        qsort(values.data(), n, sizeof(long double), cmp_long_double_for_qsort);
        long double m = (n % 2) ? values[n / 2] : (values[n / 2] + values[n / 2 - 1]) / 2;
        return out_real(m, out, err, errlen);
    }
    long double sum = 0;
    for (long double v : values) sum += v;
    const long double mean = sum / static_cast<long double>(n);
    long double sq = 0;
    for (long double v : values) sq += (v - mean) * (v - mean);
    long double var = sq / static_cast<long double>(n);
    if (var < 0 && var > -1e-18L) var = 0;
    return out_real(kind == EXPR_STDDEV ? sqrtl(var) : var, out, err, errlen);
}

// Aggregate over row texts (the shared core of the table and group forms).
int aggregate_over(const TableSchema* schema, int kind, const char* arg, const char* const* rows,
                   int count, char** out, char* err, size_t errlen) {
    *out = nullptr;
    if (!arg) arg = "";
    if (kind == EXPR_COUNT) return count_over(schema, arg, rows, count, out, err, errlen);
    if (!select_expr_is_aggregate(kind)) {
        set_err(err, errlen, "aggregate query contains invalid expression");
        return -1;
    }
    int col = schema_get_col_ci(schema, arg);
    if (col < 0) {
        set_err(err, errlen, "unknown selected column");
        return -1;
    }
    const int type = schema->columns[col].type;
    const char* name = schema->columns[col].name;
    if (kind == EXPR_MIN || kind == EXPR_MAX)
        return min_max_over(kind, type, name, rows, count, out, err, errlen);
    if (kind == EXPR_SUM || kind == EXPR_AVG || kind == EXPR_MEAN)
        return sum_over(kind, type, name, rows, count, out, err, errlen);
    return spread_over(kind, type, name, rows, count, out, err, errlen);
}

// The row texts of the collected rows, in order; -1 "oom".
int row_texts(const SelectRow* rows, int count, std::vector<const char*>* texts, char* err,
              size_t errlen) {
    try {
        texts->reserve(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) texts->push_back(rows[i].row_json);
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    return 0;
}

// Puts the groups in ORDER BY order of their value of GROUP BY column g:
// typed as the column, nulls last ascending and first descending, as
// compare_json_values orders them. Each value is converted once; groups
// with equal values keep their first-row order. -1 "oom".
int sort_groups(std::vector<GroupBucket>* buckets, int g, int type, int desc, char* err,
                size_t errlen) {
    const size_t n = buckets->size();
    if (n < 2) return 0;
    std::vector<SortKey> keys;
    struct KeysGuard {
        std::vector<SortKey>& k;
        ~KeysGuard() {
            for (SortKey& key : k) select_sort_key_free(&key);
        }
    } guard{keys};
    std::vector<int> order;
    std::vector<GroupBucket> sorted;
    try {
        keys.reserve(n);
        order.reserve(n);
        sorted.reserve(n);
        for (size_t i = 0; i < n; ++i) {
            SortKey k{};
            if (select_sort_key_from_raw(type, (*buckets)[i].values[g].c_str(), static_cast<int>(i),
                                         &k, err, errlen) != 0)
                return -1;
            keys.push_back(k);
            order.push_back(static_cast<int>(i));
        }
        std::sort(order.begin(), order.end(), [&](int a, int b) {
            return select_sort_key_compare(&keys[a], &keys[b], type, desc) < 0;
        });
        for (int i : order) sorted.push_back(std::move((*buckets)[i]));
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    buckets->swap(sorted);
    return 0;
}

int item_count(const SelectQuery* q) {
    return q->column_count < SELECT_MAX_ITEMS ? q->column_count : SELECT_MAX_ITEMS;
}

}  // namespace

int cmp_long_double_for_qsort(const void* a, const void* b) {
    long double x = *static_cast<const long double*>(a);
    long double y = *static_cast<const long double*>(b);
    return (x > y) - (y > x);
}

int compute_aggregate_expr_raw(const TableSchema* schema, int kind, const char* arg,
                               const SelectRow* rows, int count, char** out, char* err,
                               size_t errlen) {
    if (!out) return -1;
    *out = nullptr;
    if (!schema || count < 0 || (count > 0 && !rows)) {
        set_err(err, errlen, "aggregate query contains invalid expression");
        return -1;
    }
    std::vector<const char*> texts;
    if (row_texts(rows, count, &texts, err, errlen) != 0) return -1;
    return aggregate_over(schema, kind, arg, texts.data(), count, out, err, errlen);
}

int collect_numeric_values(const TableSchema* schema, const char* column, const SelectRow* rows,
                           int count, long double** out, int* out_count, char* err, size_t errlen) {
    if (!out || !out_count) return -1;
    *out = nullptr;
    *out_count = 0;
    int col = schema ? schema_get_col_ci(schema, column) : -1;
    if (col < 0) {
        set_err(err, errlen, "unknown selected column");
        return -1;
    }
    const int type = schema->columns[col].type;
    if (!column_type_is_numeric(type)) {
        set_err(err, errlen, "function supports numeric columns only");
        return -1;
    }
    size_t slots = count > 1 ? static_cast<size_t>(count) : 1;
    long double* values = static_cast<long double*>(malloc(slots * sizeof(long double)));
    if (!values) {
        set_err(err, errlen, "oom");
        return -1;
    }
    int n = 0;
    for (int i = 0; i < count; ++i) {
        CStr v;
        if (present_value(rows[i].row_json, schema->columns[col].name, &v))
            values[n++] = numeric_of(v.get(), type);
    }
    *out = values;
    *out_count = n;
    return 0;
}

int make_group_key_and_values(const TableSchema* schema, const SelectQuery* query,
                              const char* row_json, std::string* key,
                              std::vector<std::string>* values, char* err, size_t errlen) {
    if (!schema || !query || !key || !values) return -1;
    key->clear();
    values->clear();
    try {
        for (int g = 0; g < query->group_count && g < SELECT_MAX_GROUP; ++g) {
            int col = schema_get_col_ci(schema, query->group_col[g]);
            if (col < 0) {
                set_err(err, errlen, "unknown GROUP BY column");
                return -1;
            }
            char* raw = nullptr;
            if (json_extract_raw(row_json, schema->columns[col].name, &raw) != 0) {
                set_err(err, errlen, "missing GROUP BY column value");
                return -1;
            }
            CStr hold(raw);
            trim_ws(raw);
            size_t len = strlen(raw);
            *key += std::to_string(len);
            *key += ':';
            key->append(raw, len);
            *key += '|';
            values->emplace_back(raw, len);
        }
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    return 0;
}

int group_order_col_index(const TableSchema* schema, const SelectQuery* query, const char* column,
                          int* type) {
    if (!schema || !query || !column) return -1;
    int g = group_col_index(query, column);
    if (g < 0) return -1;
    int col = schema_get_col_ci(schema, column);
    if (col < 0) return -1;
    if (type) *type = schema->columns[col].type;
    return g;
}

namespace {

// The groups of the rows in the order of their first row; the map only
// speeds up the search for an existing key.
int gather_groups(const TableSchema* schema, const SelectQuery* query, const SelectRow* rows,
                  int count, std::vector<GroupBucket>* buckets, char* err, size_t errlen) {
    try {
        std::unordered_map<std::string, size_t> index;
        std::string key;
        std::vector<std::string> values;
        for (int i = 0; i < count; ++i) {
            if (make_group_key_and_values(schema, query, rows[i].row_json, &key, &values, err,
                                          errlen) != 0)
                return -1;
            auto found = index.find(key);
            if (found != index.end()) {
                (*buckets)[found->second].rows.push_back(rows[i].row_json);
                continue;
            }
            index.emplace(key, buckets->size());
            buckets->push_back(GroupBucket{key, values, {rows[i].row_json}});
        }
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    return 0;
}

// Item i of one group: an aggregate over the group's rows, or the group's
// value of a GROUP BY column.
int group_item_value(const TableSchema* schema, const SelectQuery* query, const GroupBucket& bucket,
                     int i, char** value, char* err, size_t errlen) {
    const int kind = query->kind[i];
    if (select_expr_is_aggregate(kind))
        return aggregate_over(schema, kind, query->arg[i], bucket.rows.data(),
                              static_cast<int>(bucket.rows.size()), value, err, errlen);
    if (kind != EXPR_COLUMN) {
        set_err(err, errlen, "unsupported expression with GROUP BY");
        return -1;
    }
    int g = group_col_index(query, query->arg[i]);
    if (g < 0) {
        set_err(err, errlen, "non-aggregate SELECT columns must appear in GROUP BY");
        return -1;
    }
    return copy_raw_out(bucket.values[g].c_str(), value, err, errlen);
}

// One row object per group up to the LIMIT.
int write_groups(const TableSchema* schema, const char* table_name, const SelectQuery* query,
                 const std::vector<GroupBucket>& buckets, char** out, char* err, size_t errlen) {
    JsonBuf b;
    JsonBufGuard guard{b};
    const char* name = table_name ? table_name : schema->name;
    if (open_table_rows_reply(&b, JSON_BUF_INITIAL, name, err, errlen) != 0) return -1;
    const int items = item_count(query);
    int written = 0;
    for (const GroupBucket& bucket : buckets) {
        if (query->limit >= 0 && written >= query->limit) break;
        if (json_buf_append_str(&b, written > 0 ? ",{" : "{", err, errlen) != 0) return -1;
        int first = 1;
        for (int i = 0; i < items; ++i) {
            char* value = nullptr;
            if (group_item_value(schema, query, bucket, i, &value, err, errlen) != 0) return -1;
            if (append_owned_member(&b, &first, query->label[i], value, err, errlen) != 0)
                return -1;
        }
        if (json_buf_append_str(&b, "}", err, errlen) != 0) return -1;
        ++written;
    }
    return close_table_rows_reply(&b, out, err, errlen);
}

}  // namespace

int build_grouped_rows_json(const TableSchema* schema, const char* table_name,
                            const SelectQuery* query, const SelectRow* rows, int count, char** out,
                            char* err, size_t errlen) {
    if (!out) return -1;
    *out = nullptr;
    if (!schema || !query || count < 0 || (count > 0 && !rows)) {
        set_err(err, errlen, "unsupported expression with GROUP BY");
        return -1;
    }
    std::vector<GroupBucket> buckets;
    if (gather_groups(schema, query, rows, count, &buckets, err, errlen) != 0) return -1;
    if (query->order_by[0] != '\0') {
        int type = COL_TYPE_STRING;
        int g = group_order_col_index(schema, query, query->order_by, &type);
        if (g < 0) {
            set_err(err, errlen, "unknown ORDER BY column");
            return -1;
        }
        if (sort_groups(&buckets, g, type, query->order_desc ? 1 : 0, err, errlen) != 0) return -1;
    }
    return write_groups(schema, table_name, query, buckets, out, err, errlen);
}

int build_aggregate_rows_json(const TableSchema* schema, const char* table_name,
                              const SelectQuery* query, const SelectRow* rows, int count,
                              char** out, char* err, size_t errlen) {
    if (!out) return -1;
    *out = nullptr;
    if (!schema || !query || count < 0 || (count > 0 && !rows)) {
        set_err(err, errlen, "aggregate query contains invalid expression");
        return -1;
    }
    JsonBuf b;
    JsonBufGuard guard{b};
    const char* name = table_name ? table_name : schema->name;
    if (open_table_rows_reply(&b, JSON_BUF_AGGREGATE_INITIAL, name, err, errlen) != 0) return -1;
    if (query->limit != 0) {
        std::vector<const char*> texts;
        if (row_texts(rows, count, &texts, err, errlen) != 0) return -1;
        if (json_buf_append_str(&b, "{", err, errlen) != 0) return -1;
        int first = 1;
        for (int i = 0; i < item_count(query); ++i) {
            char* value = nullptr;
            if (aggregate_over(schema, query->kind[i], query->arg[i], texts.data(), count, &value,
                               err, errlen) != 0)
                return -1;
            if (append_owned_member(&b, &first, query->label[i], value, err, errlen) != 0)
                return -1;
        }
        if (json_buf_append_str(&b, "}", err, errlen) != 0) return -1;
    }
    return close_table_rows_reply(&b, out, err, errlen);
}
