// Aggregates and GROUP BY of a SELECT: the accumulator of one aggregate, the
// group key, the builders over collected rows and AggregateScan, which is fed
// the rows as they are read.
//
// Values are read per row under the column's schema spelling; rows without
// the member and JSON nulls take no part (except in COUNT(*)). Sums run in
// long double in row order.
#include "query/aggregate.h"

#include <strings.h>

#include <algorithm>
#include <charconv>
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

}  // namespace

// ---- one item, fed value by value -------------------------------------------

void agg_plan_item(const TableSchema* schema, int kind, const char* arg, AggPlan* plan) {
    *plan = AggPlan{};
    plan->kind = kind;
    if (!arg) arg = "";
    if (kind == EXPR_COUNT) {
        plan->star = strcmp(arg, "*") == 0;
        int col = plan->star ? -1 : schema_get_col_ci(schema, arg);
        plan->member = col >= 0 ? schema->columns[col].name : arg;
        return;
    }
    if (!select_expr_is_aggregate(kind)) {
        plan->error = "aggregate query contains invalid expression";
        return;
    }
    int col = schema_get_col_ci(schema, arg);
    if (col < 0) {
        plan->error = "unknown selected column";
        return;
    }
    plan->type = schema->columns[col].type;
    plan->member = schema->columns[col].name;
    if (kind == EXPR_MIN || kind == EXPR_MAX) return;
    if (column_type_is_numeric(plan->type)) return;
    if (kind == EXPR_SUM || kind == EXPR_AVG || kind == EXPR_MEAN) {
        plan->error = kind_name(kind);
        plan->error += " supports numeric columns only";
    } else {
        plan->error = "function supports numeric columns only";
    }
}

int agg_feed(const AggPlan& plan, AggAcc* acc, const char* value, char* err, size_t errlen) {
    if (!plan.error.empty()) return 0;
    if (plan.kind == EXPR_COUNT) {
        if (plan.star || value) ++acc->n;
        return 0;
    }
    if (!value) return 0;
    try {
        switch (plan.kind) {
        case EXPR_MIN:
        case EXPR_MAX: {
            // The earliest of equal values is kept.
            if (acc->n == 0) {
                acc->held = value;
                acc->n = 1;
                break;
            }
            int c = compare_json_values(plan.type, value, acc->held.c_str());
            if ((plan.kind == EXPR_MIN && c < 0) || (plan.kind == EXPR_MAX && c > 0))
                acc->held = value;
            break;
        }
        case EXPR_SUM:
        case EXPR_AVG:
        case EXPR_MEAN:
            acc->sum += numeric_of(value, plan.type);
            ++acc->n;
            break;
        default: acc->values.push_back(numeric_of(value, plan.type)); break;
        }
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    return 0;
}

int agg_finish(const AggPlan& plan, AggAcc* acc, char** out, char* err, size_t errlen) {
    *out = nullptr;
    if (!plan.error.empty()) {
        set_err(err, errlen, plan.error.c_str());
        return -1;
    }
    char buf[256];
    switch (plan.kind) {
    case EXPR_COUNT:
        snprintf(buf, sizeof buf, "%lld", acc->n);
        return copy_raw_out(buf, out, err, errlen);
    case EXPR_MIN:
    case EXPR_MAX: return copy_raw_out(acc->n ? acc->held.c_str() : "null", out, err, errlen);
    case EXPR_SUM:
    case EXPR_AVG:
    case EXPR_MEAN: {
        const long double sum = acc->sum;
        const long long n = acc->n;
        if (n == 0) return copy_raw_out("null", out, err, errlen);
        if (plan.kind != EXPR_SUM) return out_real(sum / n, out, err, errlen);
        // An integer sum is written as an integer while it fits in 64 bits;
        // beyond that a truncation would be meaningless, so it takes the
        // floating form.
        if (plan.type != COL_TYPE_DOUBLE && sum >= -9223372036854775808.0L &&
            sum <= 9223372036854775807.0L) {
            snprintf(buf, sizeof buf, "%lld", static_cast<long long>(sum));
            return copy_raw_out(buf, out, err, errlen);
        }
        return out_real(sum, out, err, errlen);
    }
    default: break;
    }
    // MED, MEDIAN, VAR and STDDEV over the collected values.
    std::vector<long double>& values = acc->values;
    const size_t n = values.size();
    if (n == 0) return copy_raw_out("null", out, err, errlen);
    if (plan.kind == EXPR_MED || plan.kind == EXPR_MEDIAN) {
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
    return out_real(plan.kind == EXPR_STDDEV ? sqrtl(var) : var, out, err, errlen);
}

namespace {

// Aggregate over row texts (the shared core of the table and group forms of
// the collected rows).
int aggregate_over(const TableSchema* schema, int kind, const char* arg, const char* const* rows,
                   int count, char** out, char* err, size_t errlen) {
    *out = nullptr;
    AggPlan plan;
    AggAcc acc;
    agg_plan_item(schema, kind, arg, &plan);
    if (plan.error.empty() && !(plan.kind == EXPR_COUNT && plan.star)) {
        for (int i = 0; i < count; ++i) {
            CStr v;
            if (agg_feed(plan, &acc,
                         present_value(rows[i], plan.member.c_str(), &v) ? v.get() : nullptr, err,
                         errlen) != 0)
                return -1;
        }
    } else if (plan.error.empty()) {
        acc.n = count;
    }
    return agg_finish(plan, &acc, out, err, errlen);
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

// The ORDER BY order of the groups by their value of GROUP BY column g
// (values[i] is group i's text): typed as the column, nulls last ascending
// and first descending, as compare_json_values orders them. Each value is
// converted once; groups with equal values keep their first-row order.
// -1 "oom".
int order_groups(const std::vector<const std::string*>& values, int type, int desc,
                 std::vector<size_t>* order, char* err, size_t errlen) {
    const size_t n = values.size();
    std::vector<SortKey> keys;
    struct KeysGuard {
        std::vector<SortKey>& k;
        ~KeysGuard() {
            for (SortKey& key : k) select_sort_key_free(&key);
        }
    } guard{keys};
    try {
        order->clear();
        for (size_t i = 0; i < n; ++i) order->push_back(i);
        if (n < 2) return 0;
        keys.reserve(n);
        for (size_t i = 0; i < n; ++i) {
            SortKey k{};
            if (select_sort_key_from_raw(type, values[i]->c_str(), static_cast<int>(i), &k, err,
                                         errlen) != 0)
                return -1;
            keys.push_back(k);
        }
        std::sort(order->begin(), order->end(), [&](size_t a, size_t b) {
            return select_sort_key_compare(&keys[a], &keys[b], type, desc) < 0;
        });
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
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

int group_key_append(int type, const char* value, std::string* key) {
    try {
        if (is_json_null_token(value)) {
            *key += "n|";
            return 0;
        }
        // The text compare_json_values compares: trimmed, unquoted, decoded.
        std::string text(value);
        strip_sql_or_json_quotes(text.data());
        const char* x = text.c_str();
        char buf[64];
        switch (type) {
        case COL_TYPE_STRING: {
            size_t len = strlen(x);
            *key += 's';
            *key += std::to_string(len);
            *key += ':';
            key->append(x, len);
            break;
        }
        case COL_TYPE_BOOL:
            *key += (!strcasecmp(x, "true") || !strcmp(x, "1")) ? "b1" : "b0";
            break;
        case COL_TYPE_DOUBLE: {
            double d = strtod(x, nullptr);
            if (d == 0) d = 0;  // -0 equals 0
            *key += 'd';
            if (std::isnan(d)) {
                *key += "nan";
            } else {
                uint64_t bits;
                memcpy(&bits, &d, sizeof bits);
                key->append(buf, std::to_chars(buf, buf + sizeof buf, bits, 16).ptr);
            }
            break;
        }
        default:
            *key += 'i';
            key->append(buf, std::to_chars(buf, buf + sizeof buf, strtol(x, nullptr, 10)).ptr);
            break;
        }
        *key += '|';
    } catch (...) {
        return -1;
    }
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
            if (group_key_append(schema->columns[col].type, raw, key) != 0) throw std::bad_alloc();
            values->emplace_back(raw);
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

// The groups' order: ORDER BY (a GROUP BY column) or first-row order.
// values_of(i) is group i's value list. -1 "unknown ORDER BY column", "oom".
template <typename ValuesOf>
int group_output_order(const TableSchema* schema, const SelectQuery* query, size_t n,
                       ValuesOf&& values_of, std::vector<size_t>* order, char* err, size_t errlen) {
    int type = COL_TYPE_STRING;
    int g = -1;
    if (query->order_by[0] != '\0') {
        g = group_order_col_index(schema, query, query->order_by, &type);
        if (g < 0) {
            set_err(err, errlen, "unknown ORDER BY column");
            return -1;
        }
    }
    std::vector<const std::string*> values;
    try {
        order->clear();
        if (g < 0) {
            for (size_t i = 0; i < n; ++i) order->push_back(i);
            return 0;
        }
        values.reserve(n);
        for (size_t i = 0; i < n; ++i) values.push_back(&values_of(i)[g]);
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    return order_groups(values, type, query->order_desc ? 1 : 0, order, err, errlen);
}

// One row object per group, in `order`, up to the LIMIT. Item i of a group
// is an aggregate (aggregate(group, i, &value)) or the group's value of a
// GROUP BY column.
template <typename ValuesOf, typename Aggregate>
int write_groups(const TableSchema* schema, const char* table_name, const SelectQuery* query,
                 const std::vector<size_t>& order, ValuesOf&& values_of, Aggregate&& aggregate,
                 char** out, char* err, size_t errlen) {
    JsonBuf b;
    JsonBufGuard guard{b};
    const char* name = table_name ? table_name : schema->name;
    if (open_table_rows_reply(&b, JSON_BUF_INITIAL, name, err, errlen) != 0) return -1;
    const int items = item_count(query);
    int written = 0;
    for (size_t group : order) {
        if (query->limit >= 0 && written >= query->limit) break;
        if (json_buf_append_str(&b, written > 0 ? ",{" : "{", err, errlen) != 0) return -1;
        int first = 1;
        for (int i = 0; i < items; ++i) {
            char* value = nullptr;
            const int kind = query->kind[i];
            if (select_expr_is_aggregate(kind)) {
                if (aggregate(group, i, &value) != 0) return -1;
            } else if (kind != EXPR_COLUMN) {
                set_err(err, errlen, "unsupported expression with GROUP BY");
                return -1;
            } else {
                int g = group_col_index(query, query->arg[i]);
                if (g < 0) {
                    set_err(err, errlen, "non-aggregate SELECT columns must appear in GROUP BY");
                    return -1;
                }
                if (copy_raw_out(values_of(group)[g].c_str(), &value, err, errlen) != 0) return -1;
            }
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
    auto values_of = [&](size_t i) -> const std::vector<std::string>& { return buckets[i].values; };
    std::vector<size_t> order;
    if (group_output_order(schema, query, buckets.size(), values_of, &order, err, errlen) != 0)
        return -1;
    return write_groups(
        schema, table_name, query, order, values_of,
        [&](size_t group, int i, char** value) {
            const GroupBucket& bucket = buckets[group];
            return aggregate_over(schema, query->kind[i], query->arg[i], bucket.rows.data(),
                                  static_cast<int>(bucket.rows.size()), value, err, errlen);
        },
        out, err, errlen);
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

// ---- aggregation while scanning ---------------------------------------------

void AggregateScan::prepare(const TableSchema* schema, const SelectQuery* query,
                            RowFields* fields) {
    schema_ = schema;
    query_ = query;
    const int items = item_count(query);
    plans_.assign(static_cast<size_t>(items), AggPlan{});
    for (int i = 0; i < items; ++i) {
        agg_plan_item(schema, query->kind[i], query->arg[i], &plans_[i]);
        if (plans_[i].error.empty() && !plans_[i].star)
            plans_[i].field = fields->add(plans_[i].member.c_str());
    }
    if (!query->has_group_by) {
        groups_.assign(1, Group{{}, std::vector<AggAcc>(static_cast<size_t>(items))});
        return;
    }
    for (int g = 0; g < query->group_count && g < SELECT_MAX_GROUP; ++g) {
        int col = schema_get_col_ci(schema, query->group_col[g]);
        group_type_.push_back(col < 0 ? -1 : schema->columns[col].type);
        group_field_.push_back(col < 0 ? -1 : fields->add(schema->columns[col].name));
    }
}

bool AggregateScan::needs_rows() const { return query_->has_group_by || query_->limit != 0; }

int AggregateScan::feed(RowFields& fields, Group* group, char* err, size_t errlen) {
    for (size_t i = 0; i < plans_.size(); ++i) {
        const AggPlan& plan = plans_[i];
        const char* value = nullptr;
        if (plan.field >= 0 && fields.present(plan.field)) {
            value = fields.trimmed(plan.field);
            if (is_json_null_token(value)) value = nullptr;
        }
        if (agg_feed(plan, &group->accs[i], value, err, errlen) != 0) return -1;
    }
    return 0;
}

int AggregateScan::add(RowFields& fields, char* err, size_t errlen) {
    if (!query_->has_group_by) return feed(fields, &groups_[0], err, errlen);
    try {
        key_.clear();
        for (size_t g = 0; g < group_field_.size(); ++g) {
            if (group_type_[g] < 0) {
                set_err(err, errlen, "unknown GROUP BY column");
                return -1;
            }
            if (!fields.present(group_field_[g])) {
                set_err(err, errlen, "missing GROUP BY column value");
                return -1;
            }
            if (group_key_append(group_type_[g], fields.trimmed(group_field_[g]), &key_) != 0)
                throw std::bad_alloc();
        }
        auto found = index_.find(key_);
        if (found != index_.end()) return feed(fields, &groups_[found->second], err, errlen);
        Group group;
        for (int f : group_field_) group.values.emplace_back(fields.trimmed(f));
        group.accs.resize(plans_.size());
        index_.emplace(key_, groups_.size());
        groups_.push_back(std::move(group));
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    return feed(fields, &groups_.back(), err, errlen);
}

int AggregateScan::finish(const char* table_name, char** out, char* err, size_t errlen) {
    *out = nullptr;
    const char* name = table_name ? table_name : schema_->name;
    if (!query_->has_group_by) {
        JsonBuf b;
        JsonBufGuard guard{b};
        if (open_table_rows_reply(&b, JSON_BUF_AGGREGATE_INITIAL, name, err, errlen) != 0)
            return -1;
        if (query_->limit != 0) {
            if (json_buf_append_str(&b, "{", err, errlen) != 0) return -1;
            int first = 1;
            for (size_t i = 0; i < plans_.size(); ++i) {
                char* value = nullptr;
                if (agg_finish(plans_[i], &groups_[0].accs[i], &value, err, errlen) != 0) return -1;
                if (append_owned_member(&b, &first, query_->label[i], value, err, errlen) != 0)
                    return -1;
            }
            if (json_buf_append_str(&b, "}", err, errlen) != 0) return -1;
        }
        return close_table_rows_reply(&b, out, err, errlen);
    }
    auto values_of = [&](size_t i) -> const std::vector<std::string>& { return groups_[i].values; };
    std::vector<size_t> order;
    if (group_output_order(schema_, query_, groups_.size(), values_of, &order, err, errlen) != 0)
        return -1;
    return write_groups(
        schema_, table_name, query_, order, values_of,
        [&](size_t group, int i, char** value) {
            return agg_finish(plans_[i], &groups_[group].accs[i], value, err, errlen);
        },
        out, err, errlen);
}
