// Select-item values: plain columns, scalar numeric functions and window
// functions over the sorted rows, and the reply of a window query.
//
// Scalar arithmetic runs in long double. Window inputs are read as double and
// accumulated in long double; the whole sorted result is one series (no
// partitions) and every window looks only at rows at or before its own.
#include "query/scalar_window.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "base/err.h"
#include "base/json_text.h"
#include "query/row_reply.h"
#include "storage/ident.h"
#include "storage/row_version.h"
#include "storage/table.h"

namespace {

// A numeric column of the row: its type in *type and its trimmed raw text in
// *raw, left empty for a JSON null. 0; -1 "unknown selected column",
// not_numeric (the caller's message) or "missing selected column value".
int read_numeric_column(const TableSchema* schema, const char* row_json, const char* column,
                        const char* not_numeric, int* type, CStr* raw, char* err, size_t errlen) {
    int col = schema ? schema_get_col_ci(schema, column) : -1;
    if (col < 0) {
        set_err(err, errlen, "unknown selected column");
        return -1;
    }
    *type = schema->columns[col].type;
    if (!column_type_is_numeric(*type)) {
        set_err(err, errlen, not_numeric);
        return -1;
    }
    if (!extract_trimmed(row_json, schema->columns[col].name, raw)) {
        set_err(err, errlen, "missing selected column value");
        return -1;
    }
    if (is_json_null_token(raw->get())) raw->reset();
    return 0;
}

constexpr long double kInt64Min = -9223372036854775808.0L;
constexpr long double kInt64Max = 9223372036854775807.0L;  // exact in 64-bit mantissa

bool in_int64_range(long double v) { return v >= kInt64Min && v <= kInt64Max; }

int make_raw_integral(char** out, char* err, size_t errlen, long double v) {
    if (!in_int64_range(v)) return make_raw_number(out, err, errlen, v);
    char buf[128];
    snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v));
    return copy_raw_out(buf, out, err, errlen);
}

// Numeric window input of one row, read lazily and cached per series.
struct SeriesValue {
    bool read = false;
    int is_null = 0;
    double value = 0;
};

// The series of one window item over the sorted rows. EMA state is carried
// from row to row; its values are the same as recomputing from row 0 because
// the same operations run in the same order.
class WindowSeries {
  public:
    WindowSeries(const TableSchema* schema, const char* column, const char* const* rows, int count)
        : schema_(schema), column_(column), rows_(rows), count_(count) {}

    bool init() {
        try {
            cache_.resize(static_cast<size_t>(count_ > 0 ? count_ : 0));
        } catch (...) {
            return false;
        }
        return true;
    }

    // 0 with *v / *is_null; -1 with the reader's message.
    int get(int j, long double* v, int* is_null, char* err, size_t errlen) {
        SeriesValue& sv = cache_[j];
        if (!sv.read) {
            double d = 0;
            int n = 0;
            if (get_numeric_value_from_row(schema_, rows_[j], column_, &d, &n, err, errlen) != 0)
                return -1;
            sv.read = true;
            sv.value = d;
            sv.is_null = n;
        }
        *v = static_cast<long double>(sv.value);
        *is_null = sv.is_null;
        return 0;
    }

    // EMA at row r (r >= p - 1). *is_null set when a value in 0..r is null.
    int ema(int p, int r, long double* out, int* is_null, char* err, size_t errlen) {
        if (ema_row_ < 0 || ema_row_ > r) {
            // Seed over rows 0..p-1.
            long double sum = 0;
            ema_null_ = 0;
            for (int j = 0; j < p; ++j) {
                long double v;
                int n;
                if (get(j, &v, &n, err, errlen) != 0) return -1;
                if (n) {
                    ema_null_ = 1;
                    break;
                }
                sum += v;
            }
            ema_value_ = ema_null_ ? 0 : sum / p;
            ema_row_ = p - 1;
        }
        const long double alpha = 2.0L / (static_cast<long double>(p) + 1.0L);
        while (!ema_null_ && ema_row_ < r) {
            long double v;
            int n;
            if (get(ema_row_ + 1, &v, &n, err, errlen) != 0) return -1;
            if (n) {
                ema_null_ = 1;
                break;
            }
            ema_value_ = ema_value_ * (1 - alpha) + alpha * v;
            ++ema_row_;
        }
        if (ema_null_) ema_row_ = r > ema_row_ ? r : ema_row_;
        *out = ema_value_;
        *is_null = ema_null_;
        return 0;
    }

  private:
    const TableSchema* schema_;
    const char* column_;
    const char* const* rows_;
    int count_;
    std::vector<SeriesValue> cache_;
    int ema_row_ = -1;
    int ema_null_ = 0;
    long double ema_value_ = 0;
};

// The windows over rows r - p + 1 .. r (each reads rows before r from the
// series); a null input makes the value null.
int window_sma(WindowSeries& series, int p, int r, char** out, char* err, size_t errlen) {
    long double v = 0, sum = 0;
    int n = 0;
    for (int j = r - p + 1; j <= r; ++j) {
        if (series.get(j, &v, &n, err, errlen) != 0) return -1;
        if (n) return make_raw_null(out, err, errlen);
        sum += v;
    }
    return make_raw_number(out, err, errlen, sum / p);
}

int window_wma(WindowSeries& series, int p, int r, char** out, char* err, size_t errlen) {
    long double v = 0, sum = 0, weights = 0;
    int n = 0;
    int weight = 1;
    for (int j = r - p + 1; j <= r; ++j, ++weight) {
        if (series.get(j, &v, &n, err, errlen) != 0) return -1;
        if (n) return make_raw_null(out, err, errlen);
        sum += static_cast<long double>(weight) * v;
        weights += weight;
    }
    if (weights == 0) return make_raw_null(out, err, errlen);
    return make_raw_number(out, err, errlen, sum / weights);
}

// ROC, MOMENTUM and LOGRET compare row r with row r - p.
int window_change(WindowSeries& series, int kind, int p, int r, char** out, char* err,
                  size_t errlen) {
    long double v = 0, w = 0;
    int n = 0, m = 0;
    if (series.get(r, &v, &n, err, errlen) != 0) return -1;
    if (series.get(r - p, &w, &m, err, errlen) != 0) return -1;
    if (n || m) return make_raw_null(out, err, errlen);
    if (kind == EXPR_ROC) {
        if (w == 0) return make_raw_null(out, err, errlen);
        return make_raw_number(out, err, errlen, (v - w) / w * 100);
    }
    if (kind == EXPR_MOMENTUM) return make_raw_number(out, err, errlen, v - w);
    if (!(v > 0) || !(w > 0)) return make_raw_null(out, err, errlen);
    return make_raw_number(out, err, errlen, logl(v / w));
}

// The population deviation of the p log returns ending at row r.
int window_volatility(WindowSeries& series, int p, int r, char** out, char* err, size_t errlen) {
    long double v = 0, w = 0, sum = 0, sumsq = 0;
    int n = 0, m = 0;
    for (int j = r - p + 1; j <= r; ++j) {
        if (series.get(j, &v, &n, err, errlen) != 0) return -1;
        if (series.get(j - 1, &w, &m, err, errlen) != 0) return -1;
        if (n || m || !(v > 0) || !(w > 0)) return make_raw_null(out, err, errlen);
        long double x = logl(v / w);
        sum += x;
        sumsq += x * x;
    }
    long double mean = sum / p;
    long double var = sumsq / p - mean * mean;
    if (var < 0 && var > -1e-18L) var = 0;
    if (var < 0) return make_raw_null(out, err, errlen);
    return make_raw_number(out, err, errlen, sqrtl(var));
}

// The gains and losses of the p changes ending at row r.
int window_rsi(WindowSeries& series, int p, int r, char** out, char* err, size_t errlen) {
    long double v = 0, w = 0, gains = 0, losses = 0;
    int n = 0, m = 0;
    for (int j = r - p + 1; j <= r; ++j) {
        if (series.get(j, &v, &n, err, errlen) != 0) return -1;
        if (series.get(j - 1, &w, &m, err, errlen) != 0) return -1;
        if (n || m) return make_raw_null(out, err, errlen);
        long double d = v - w;
        if (d > 0)
            gains += d;
        else
            losses += -d;
    }
    if (losses == 0) return make_raw_number(out, err, errlen, gains == 0 ? 50 : 100);
    return make_raw_number(out, err, errlen, 100 - 100 / (1 + gains / losses));
}

// Window value of one item at position r using (and filling) the series.
int window_value(const TableSchema* schema, const SelectQuery* query, int item,
                 const char* const* rows, int r, WindowSeries& series, char** out, char* err,
                 size_t errlen) {
    const int kind = query->kind[item];
    if (!select_expr_is_window(kind))
        return select_expr_value_raw(schema, query, item, rows[r], out, err, errlen);
    const int p = query->period[item];
    if (p < 1) {
        set_err(err, errlen, "invalid window function period");
        return -1;
    }
    const bool short_warmup = kind == EXPR_SMA || kind == EXPR_EMA || kind == EXPR_WMA;
    if (short_warmup ? r < p - 1 : r < p) return make_raw_null(out, err, errlen);
    switch (kind) {
    case EXPR_SMA: return window_sma(series, p, r, out, err, errlen);
    case EXPR_WMA: return window_wma(series, p, r, out, err, errlen);
    case EXPR_EMA: {
        long double e = 0;
        int n = 0;
        if (series.ema(p, r, &e, &n, err, errlen) != 0) return -1;
        if (n) return make_raw_null(out, err, errlen);
        return make_raw_number(out, err, errlen, e);
    }
    case EXPR_ROC:
    case EXPR_MOMENTUM:
    case EXPR_LOGRET: return window_change(series, kind, p, r, out, err, errlen);
    case EXPR_VOLATILITY: return window_volatility(series, p, r, out, err, errlen);
    case EXPR_RSI: return window_rsi(series, p, r, out, err, errlen);
    default: set_err(err, errlen, "unsupported window expression"); return -1;
    }
}

// The value of a plain column item: its raw text in the row.
int column_value_raw(const TableSchema* schema, const char* arg, const char* row_json, char** out,
                     char* err, size_t errlen) {
    int col = schema_get_col_ci(schema, arg);
    if (col < 0) {
        set_err(err, errlen, "unknown selected column");
        return -1;
    }
    if (json_extract_raw(row_json, schema->columns[col].name, out) != 0) {
        *out = nullptr;
        set_err(err, errlen, "missing selected column value");
        return -1;
    }
    return 0;
}

// The operand of a scalar function: a numeric literal, or the row's value of
// a numeric column (*is_null for a JSON null). *integer is set for an
// integer literal and a non-double column.
int scalar_operand(const TableSchema* schema, const SelectQuery* query, int item,
                   const char* row_json, long double* x, bool* integer, bool* is_null, char* err,
                   size_t errlen) {
    const char* arg = query->arg[item];
    if (query->arg_is_literal[item]) {
        int is_int = 0;
        if (parse_numeric_literal_value(arg, x, &is_int) != 0) {
            set_err(err, errlen, "invalid numeric literal");
            return -1;
        }
        *integer = is_int != 0;
        return 0;
    }
    int type = 0;
    CStr raw;
    if (read_numeric_column(schema, row_json, arg, "numeric function supports numeric columns only",
                            &type, &raw, err, errlen) != 0)
        return -1;
    if (!raw) {
        *is_null = true;
        return 0;
    }
    if (type == COL_TYPE_DOUBLE) {
        *x = strtold(raw.get(), nullptr);
    } else {
        *x = static_cast<long double>(strtol(raw.get(), nullptr, 10));
        *integer = true;
    }
    return 0;
}

// ABS of an integer operand within 64 bits, written as an integer.
int integer_abs_raw(long double x, char** out, char* err, size_t errlen) {
    long long iv = static_cast<long long>(x);
    unsigned long long uv =
        iv < 0 ? 0ULL - static_cast<unsigned long long>(iv) : static_cast<unsigned long long>(iv);
    char buf[128];
    snprintf(buf, sizeof buf, "%llu", uv);
    return copy_raw_out(buf, out, err, errlen);
}

// The scalar function of the item applied to x. Out of its domain (a root
// or logarithm of a negative number, say) the value is null.
int apply_scalar(const SelectQuery* query, int item, long double x, bool integer_operand,
                 char** out, char* err, size_t errlen) {
    long double result = 0;
    bool integral = false;
    switch (query->kind[item]) {
    case EXPR_ABS:
        // An integer operand beyond the 64-bit range (only a literal can be)
        // cannot be truncated safely; it takes the floating form instead.
        if (integer_operand && in_int64_range(x)) return integer_abs_raw(x, out, err, errlen);
        result = fabsl(x);
        break;
    case EXPR_ROUND:
        result = roundl(x);
        integral = true;
        break;
    case EXPR_FLOOR:
        result = floorl(x);
        integral = true;
        break;
    case EXPR_CEIL:
        result = ceill(x);
        integral = true;
        break;
    case EXPR_SIGN:
        result = x > 0 ? 1 : (x < 0 ? -1 : 0);
        integral = true;
        break;
    case EXPR_SQRT:
        if (x < 0) return make_raw_null(out, err, errlen);
        result = sqrtl(x);
        break;
    case EXPR_LOG:
    case EXPR_LN:
        if (!(x > 0)) return make_raw_null(out, err, errlen);
        result = logl(x);
        break;
    case EXPR_LOG10:
        if (!(x > 0)) return make_raw_null(out, err, errlen);
        result = log10l(x);
        break;
    case EXPR_EXP: result = expl(x); break;
    case EXPR_POW: {
        const char* exp_text = query->second_arg[item];
        char* endp = nullptr;
        long double e = strtold(exp_text, &endp);
        if (endp == exp_text) {
            set_err(err, errlen, "invalid POW exponent");
            return -1;
        }
        result = powl(x, e);
        break;
    }
    default: set_err(err, errlen, "unsupported scalar expression"); return -1;
    }
    if (integral) return make_raw_integral(out, err, errlen, result);
    return make_raw_number(out, err, errlen, result);
}

}  // namespace

int make_raw_null(char** out, char* err, size_t errlen) {
    if (!out) return -1;
    return copy_raw_out("null", out, err, errlen);
}

int make_raw_number(char** out, char* err, size_t errlen, long double value) {
    if (!out) return -1;
    char buf[128];
    if (!format_reply_number(value, buf, sizeof buf)) return make_raw_null(out, err, errlen);
    return copy_raw_out(buf, out, err, errlen);
}

int select_expr_value_raw(const TableSchema* schema, const SelectQuery* query, int item,
                          const char* row_json, char** out, char* err, size_t errlen) {
    if (!out) return -1;
    *out = nullptr;
    if (!schema || !query || item < 0 || item >= query->column_count || item >= SELECT_MAX_ITEMS) {
        set_err(err, errlen, "unsupported scalar expression");
        return -1;
    }
    const int kind = query->kind[item];
    if (kind == EXPR_COLUMN)
        return column_value_raw(schema, query->arg[item], row_json, out, err, errlen);
    if (!select_expr_is_scalar_numeric(kind)) {
        set_err(err, errlen, "unsupported scalar expression");
        return -1;
    }
    long double x = 0;
    bool integer_operand = false, is_null = false;
    if (scalar_operand(schema, query, item, row_json, &x, &integer_operand, &is_null, err,
                       errlen) != 0)
        return -1;
    if (is_null) return make_raw_null(out, err, errlen);
    return apply_scalar(query, item, x, integer_operand, out, err, errlen);
}

int get_numeric_value_from_row(const TableSchema* schema, const char* row_json, const char* column,
                               double* out, int* is_null, char* err, size_t errlen) {
    if (out) *out = 0;
    if (is_null) *is_null = 0;
    int type = 0;
    CStr raw;
    if (read_numeric_column(schema, row_json, column,
                            "numeric functions support numeric columns only", &type, &raw, err,
                            errlen) != 0)
        return -1;
    if (!raw) {
        if (is_null) *is_null = 1;
        return 0;
    }
    double v = type == COL_TYPE_DOUBLE ? strtod(raw.get(), nullptr)
                                       : static_cast<double>(strtol(raw.get(), nullptr, 10));
    if (out) *out = v;
    return 0;
}

int compute_window_expr_raw(const TableSchema* schema, const SelectQuery* query, int item,
                            const SelectRow* rows, int count, int pos, char** out, char* err,
                            size_t errlen) {
    if (!out) return -1;
    *out = nullptr;
    if (!schema || !query || !rows || item < 0 || item >= query->column_count ||
        item >= SELECT_MAX_ITEMS || pos < 0 || pos >= count) {
        set_err(err, errlen, "unsupported window expression");
        return -1;
    }
    std::vector<const char*> texts;
    try {
        for (int j = 0; j <= pos; ++j) texts.push_back(rows[j].row_json);
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    WindowSeries series(schema, query->arg[item], texts.data(), pos + 1);
    if (!series.init()) {
        set_err(err, errlen, "oom");
        return -1;
    }
    return window_value(schema, query, item, texts.data(), pos, series, out, err, errlen);
}

int build_window_rows_json(const TableSchema* schema, const char* table_name,
                           const SelectQuery* query, const SelectRow* rows, int count, char** out,
                           char* err, size_t errlen) {
    if (!out) return -1;
    *out = nullptr;
    if (!schema || !query || (count > 0 && !rows)) {
        set_err(err, errlen, "unsupported window expression");
        return -1;
    }
    std::vector<const char*> texts;
    try {
        for (int j = 0; j < count; ++j) texts.push_back(rows[j].row_json);
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    return build_window_rows_json_texts(schema, table_name, query, texts.data(), count, out, err,
                                        errlen);
}

int build_window_rows_json_texts(const TableSchema* schema, const char* table_name,
                                 const SelectQuery* query, const char* const* rows, int count,
                                 char** out, char* err, size_t errlen) {
    if (!out) return -1;
    *out = nullptr;
    if (!schema || !query || (count > 0 && !rows)) {
        set_err(err, errlen, "unsupported window expression");
        return -1;
    }
    const int items =
        query->column_count < SELECT_MAX_ITEMS ? query->column_count : SELECT_MAX_ITEMS;
    std::vector<std::unique_ptr<WindowSeries>> series;
    try {
        for (int i = 0; i < items; ++i) {
            series.push_back(std::make_unique<WindowSeries>(schema, query->arg[i], rows, count));
            if (!series.back()->init()) throw std::bad_alloc();
        }
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    JsonBuf b;
    JsonBufGuard guard{b};
    const char* name = table_name ? table_name : schema->name;
    if (open_table_rows_reply(&b, JSON_BUF_INITIAL, name, err, errlen) != 0) return -1;
    for (int r = 0; r < count; ++r) {
        if (query->limit >= 0 && r >= query->limit) break;
        if (json_buf_append_str(&b, r > 0 ? ",{" : "{", err, errlen) != 0) return -1;
        int first = 1;
        for (int i = 0; i < items; ++i) {
            char* value = nullptr;
            if (window_value(schema, query, i, rows, r, *series[i], &value, err, errlen) != 0)
                return -1;
            if (append_owned_member(&b, &first, query->label[i], value, err, errlen) != 0)
                return -1;
        }
        if (json_buf_append_str(&b, "}", err, errlen) != 0) return -1;
    }
    return close_table_rows_reply(&b, out, err, errlen);
}
