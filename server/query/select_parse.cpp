// SELECT parsing: statement text into a SelectQuery. Only the form is checked
// here; whether columns exist and how they compare is decided at execution.
#include "query/select_parse.h"

#include <cctype>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <initializer_list>
#include <string>
#include <vector>

#include "base/sql_scan.h"
#include "base/text_util.h"
#include "query/json_buf.h"
#include "query/parse_util.h"
#include "query/sql_split.h"
#include "storage/ident.h"

namespace {

struct SelectFunctionSpec {
    const char* prefix;  // upper case, "(" included
    int kind;
    int star_allowed;
    int arg_count;
};

// Tried in this order; the first prefix the item begins with wins.
constexpr SelectFunctionSpec kFunctions[] = {
    {"ABS(", EXPR_ABS, 0, 1},
    {"ROUND(", EXPR_ROUND, 0, 1},
    {"FLOOR(", EXPR_FLOOR, 0, 1},
    {"CEILING(", EXPR_CEIL, 0, 1},
    {"CEIL(", EXPR_CEIL, 0, 1},
    {"SIGN(", EXPR_SIGN, 0, 1},
    {"SQRT(", EXPR_SQRT, 0, 1},
    {"LOG10(", EXPR_LOG10, 0, 1},
    {"LOG(", EXPR_LOG, 0, 1},
    {"LN(", EXPR_LN, 0, 1},
    {"EXP(", EXPR_EXP, 0, 1},
    {"POW(", EXPR_POW, 0, 2},
    {"COUNT(", EXPR_COUNT, 1, 1},
    {"SUM(", EXPR_SUM, 0, 1},
    {"AVG(", EXPR_AVG, 0, 1},
    {"MEAN(", EXPR_MEAN, 0, 1},
    {"MIN(", EXPR_MIN, 0, 1},
    {"MAX(", EXPR_MAX, 0, 1},
    {"MEDIAN(", EXPR_MEDIAN, 0, 1},
    {"MED(", EXPR_MED, 0, 1},
    {"VAR(", EXPR_VAR, 0, 1},
    {"STDDEV(", EXPR_STDDEV, 0, 1},
    {"SMA(", EXPR_SMA, 0, 2},
    {"EMA(", EXPR_EMA, 0, 2},
    {"WMA(", EXPR_WMA, 0, 2},
    {"ROC(", EXPR_ROC, 0, 2},
    {"MOMENTUM(", EXPR_MOMENTUM, 0, 2},
    {"LOGRET(", EXPR_LOGRET, 0, 2},
    {"VOLATILITY(", EXPR_VOLATILITY, 0, 2},
    {"RSI(", EXPR_RSI, 0, 2},
};

constexpr size_t kItemMax = 255;     // one select item
constexpr size_t kInnerMax = 191;    // text inside a function's parentheses
constexpr size_t kNumericMax = 127;  // numeric argument / literal text
constexpr size_t kTokenMax = 63;     // number token / period
constexpr size_t kSelectListMax = 2048;
constexpr size_t kClauseMax = 1024;
constexpr size_t kOrderByMax = 256;
constexpr size_t kTableSpanMax = 256;

// Reads a numeric argument of a scalar function into arg / arg_is_literal.
int parse_scalar_numeric_arg_token(const std::string& raw, SelectQuery* q, int i, char* err,
                                   size_t errlen) {
    std::string t = sql_trimmed(raw);
    if (t.empty()) return sql_fail(err, errlen, "missing function argument");
    if (sql_is_quote(t[0]))
        return sql_fail(err, errlen,
                        "numeric scalar functions accept numeric literals or column names only");
    long double v = 0;
    int is_int = 0;
    if (t.size() <= kNumericMax && parse_numeric_literal_value(t.c_str(), &v, &is_int) == 0) {
        if (parse_number_token(t.c_str(), q->arg[i], sizeof q->arg[i], err, errlen) != 0) return -1;
        q->arg_is_literal[i] = 1;
        return 0;
    }
    if (copy_ident_checked(q->arg[i], sizeof q->arg[i], t.c_str(), "column name", err, errlen) != 0)
        return -1;
    q->arg_is_literal[i] = 0;
    return 0;
}

int set_select_expr_label(SelectQuery* q, int i, const char* name, char* err, size_t errlen) {
    char label[sizeof q->label[0]];
    size_t cap = sizeof label;
    int n;
    int kind = q->kind[i];
    if (kind == EXPR_COLUMN) {
        n = std::snprintf(label, cap, "%s", q->arg[i]);
    } else if (select_expr_is_window(kind)) {
        n = std::snprintf(label, cap, "%s(%s,%d)", name, q->arg[i], q->period[i]);
    } else if (kind == EXPR_POW) {
        n = std::snprintf(label, cap, "%s(%s,%s)", name, q->arg[i], q->second_arg[i]);
    } else {
        n = std::snprintf(label, cap, "%s(%s)", name, q->arg[i]);
    }
    if (n < 0 || static_cast<size_t>(n) >= cap)
        return sql_fail(err, errlen, "selected expression too long");
    std::memcpy(q->label[i], label, static_cast<size_t>(n) + 1);
    return 0;
}

// The two arguments of POW (a numeric operand, then an exponent) or of a
// window function (a column, then a period) into slot i.
int parse_two_args(const std::string& inner, int kind, SelectQuery* q, int i, char* err,
                   size_t errlen) {
    const char* ib = inner.data();
    const char* ie = ib + inner.size();
    const char* comma = sql_find_top_level_sep(ib, ie, ',');
    if (!comma) return sql_fail(err, errlen, "function requires two arguments");
    std::string first = sql_trimmed(ib, comma);
    std::string second = sql_trimmed(comma + 1, ie);
    if (first.empty() || second.empty())
        return sql_fail(err, errlen, "function requires two arguments");
    if (kind == EXPR_POW) {
        if (parse_scalar_numeric_arg_token(first, q, i, err, errlen) != 0) return -1;
        return parse_number_token(second.c_str(), q->second_arg[i], sizeof q->second_arg[i], err,
                                  errlen);
    }
    if (copy_ident_checked(q->arg[i], sizeof q->arg[i], first.c_str(), "column name", err,
                           errlen) != 0)
        return -1;
    int period = 0;
    if (parse_positive_int_token(second.c_str(), &period, err, errlen) != 0) return -1;
    q->period[i] = period;
    q->has_window = 1;
    return 0;
}

// One select item into slot i.
int parse_select_expr_token(const std::string& raw, SelectQuery* q, int i, char* err,
                            size_t errlen) {
    std::string item = sql_trimmed(raw);
    if (item.empty()) return sql_fail(err, errlen, "bad SELECT column list");
    if (item.size() > kItemMax) return sql_fail(err, errlen, "selected expression too long");
    if (item == "*")
        return sql_fail(err, errlen, "'*' cannot be mixed with other selected expressions");

    const SelectFunctionSpec* spec = nullptr;
    for (const auto& f : kFunctions) {
        if (ci_starts(item.c_str(), f.prefix)) {
            spec = &f;
            break;
        }
    }
    if (!spec) {
        if (copy_ident_checked(q->arg[i], sizeof q->arg[i], item.c_str(), "column name", err,
                               errlen) != 0)
            return -1;
        q->kind[i] = EXPR_COLUMN;
        q->arg_is_literal[i] = 0;
        q->period[i] = 0;
        return set_select_expr_label(q, i, "", err, errlen);
    }

    size_t plen = std::strlen(spec->prefix);
    if (item.size() <= plen || item.back() != ')')
        return sql_fail(err, errlen, "bad function syntax");
    std::string inner = sql_trimmed(item.data() + plen, item.data() + item.size() - 1);
    if (inner.empty()) return sql_fail(err, errlen, "missing function argument");
    if (inner.size() > kInnerMax) return sql_fail(err, errlen, "selected expression too long");
    q->kind[i] = spec->kind;
    q->period[i] = 0;
    q->second_arg[i][0] = '\0';
    q->arg_is_literal[i] = 0;

    if (spec->arg_count == 2) {
        if (parse_two_args(inner, spec->kind, q, i, err, errlen) != 0) return -1;
    } else if (inner == "*") {
        if (!spec->star_allowed) return sql_fail(err, errlen, "'*' is only valid with COUNT");
        std::snprintf(q->arg[i], sizeof q->arg[i], "*");
    } else if (select_expr_is_scalar_numeric(spec->kind)) {
        if (parse_scalar_numeric_arg_token(inner, q, i, err, errlen) != 0) return -1;
    } else {
        if (copy_ident_checked(q->arg[i], sizeof q->arg[i], inner.c_str(), "column name", err,
                               errlen) != 0)
            return -1;
    }

    // The label names the function as the statement chose it (CEILING stays
    // CEILING), always in upper case.
    std::string name(spec->prefix, plen - 1);
    if (set_select_expr_label(q, i, name.c_str(), err, errlen) != 0) return -1;
    if (select_expr_is_aggregate(spec->kind)) q->has_aggregate = 1;
    if (select_expr_is_window(spec->kind)) q->has_window = 1;
    return 0;
}

int parse_identifier_csv(const char* begin, const char* end, SelectQuery* q, char* err,
                         size_t errlen) {
    if (static_cast<size_t>(end - begin) >= kClauseMax)
        return sql_fail(err, errlen, "GROUP BY column too long");
    std::vector<SqlSpan> parts;
    if (sql_split_top_level(begin, end, ',', &parts) != 0)
        return sql_fail(err, errlen, "bad GROUP BY column");
    int n = 0;
    for (const SqlSpan& s : parts) {
        std::string piece = sql_trimmed(s);
        if (piece.empty()) return sql_fail(err, errlen, "bad GROUP BY column");
        if (n == SELECT_MAX_GROUP) return sql_fail(err, errlen, "too many GROUP BY column");
        if (copy_ident_checked(q->group_col[n], sizeof q->group_col[n], piece.c_str(),
                               "GROUP BY column", err, errlen) != 0)
            return -1;
        ++n;
    }
    if (n == 0) return sql_fail(err, errlen, "bad GROUP BY column");
    q->group_count = n;
    return 0;
}

// Top-level AND: outside quotes and parentheses, with whitespace or "(" (or
// the start) before it and whitespace, ")" or the end after it.
const char* sql_find_top_level_and(const char* begin, const char* end, bool* bad_quote) {
    *bad_quote = false;
    int depth = 0;
    const char* p = begin;
    while (p < end) {
        char c = *p;
        if (sql_is_quote(c)) {
            const char* q = sql_skip_quoted_string(p);
            if (!q || q > end) {
                *bad_quote = true;
                return nullptr;
            }
            p = q;
            continue;
        }
        if (c == '(') {
            ++depth;
        } else if (c == ')') {
            if (depth > 0) --depth;
        } else if (depth == 0 && end - p >= 3 && sql_ci_match_at(p, "AND")) {
            bool before_ok =
                p == begin || std::isspace(static_cast<unsigned char>(p[-1])) || p[-1] == '(';
            const char* after = p + 3;
            bool after_ok =
                after == end || std::isspace(static_cast<unsigned char>(*after)) || *after == ')';
            if (before_ok && after_ok) return p;
        }
        ++p;
    }
    return nullptr;
}

int parse_where_predicate_item(const std::string& piece, SelectQuery* q, char* err, size_t errlen) {
    const char* op = nullptr;
    const char* pos = sql_find_top_level_operator(piece.c_str(), &op);
    if (!pos || !op) return sql_fail(err, errlen, "bad WHERE");
    std::string col = sql_trimmed(piece.c_str(), pos);
    if (col.size() >= 64) return sql_fail(err, errlen, "WHERE column too long");
    if (col.size() >= 2 && sql_is_quote(col[0]) && col.back() == col[0]) {
        col = col.substr(1, col.size() - 2);
    }
    if (col.empty()) return sql_fail(err, errlen, "bad WHERE column");
    std::string value = sql_trimmed(pos + std::strlen(op), piece.c_str() + piece.size());
    if (value.size() >= 2048) return sql_fail(err, errlen, "WHERE value too long");
    if (value.empty()) return sql_fail(err, errlen, "bad WHERE value");
    // A value is one literal: a complete quoted string or one bare token. Text
    // such as "1 OR b = 2" would otherwise be compared by its leading number.
    if (!sql_is_single_literal(value))
        return sql_fail(err, errlen, "WHERE value must be a single literal");
    int k = q->pred_count;
    std::snprintf(q->pred_col[k], sizeof q->pred_col[k], "%s", col.c_str());
    std::snprintf(q->pred_op[k], sizeof q->pred_op[k], "%s", op);
    std::snprintf(q->pred_value[k], sizeof q->pred_value[k], "%s", value.c_str());
    if (k == 0) {
        std::snprintf(q->where_col, sizeof q->where_col, "%s", col.c_str());
        std::snprintf(q->where_op, sizeof q->where_op, "%s", op);
        std::snprintf(q->where_value, sizeof q->where_value, "%s", value.c_str());
    }
    q->pred_count = k + 1;
    return 0;
}

int parse_where_predicates(const char* begin, const char* end, SelectQuery* q, char* err,
                           size_t errlen) {
    q->pred_count = 0;
    const char* p = begin;
    for (;;) {
        bool bad_quote = false;
        const char* a = sql_find_top_level_and(p, end, &bad_quote);
        const char* piece_end = a ? a : end;
        std::string piece = sql_trimmed(p, piece_end);
        if (piece.empty()) return sql_fail(err, errlen, "bad WHERE");
        if (q->pred_count == SELECT_MAX_PREDICATES)
            return sql_fail(err, errlen, "too many WHERE predicates");
        if (parse_where_predicate_item(piece, q, err, errlen) != 0) return -1;
        if (!a) break;
        p = a + 3;
    }
    if (q->pred_count < 1) return sql_fail(err, errlen, "bad WHERE");
    q->has_where = 1;
    return 0;
}

// atoi-style leading integer that saturates instead of wrapping; negative
// values mean "no limit".
int32_t parse_limit_value(const char* s) {
    while (*s && std::isspace(static_cast<unsigned char>(*s))) ++s;
    bool neg = false;
    if (*s == '+' || *s == '-') {
        neg = *s == '-';
        ++s;
    }
    long long v = 0;
    while (std::isdigit(static_cast<unsigned char>(*s))) {
        if (v <= INT32_MAX) v = v * 10 + (*s - '0');
        ++s;
    }
    if (neg) return v == 0 ? 0 : -1;
    return v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v);
}

// Earliest non-NULL pointer of the candidates that lies after `after`.
const char* earliest_after(const char* after, std::initializer_list<const char*> cands) {
    const char* best = nullptr;
    for (const char* c : cands) {
        if (c && c > after && (!best || c < best)) best = c;
    }
    return best;
}

}  // namespace

int select_expr_is_aggregate(int kind) {
    switch (kind) {
    case EXPR_COUNT:
    case EXPR_SUM:
    case EXPR_AVG:
    case EXPR_MIN:
    case EXPR_MAX:
    case EXPR_MEAN:
    case EXPR_MED:
    case EXPR_MEDIAN:
    case EXPR_VAR:
    case EXPR_STDDEV: return 1;
    default: return 0;
    }
}

int select_expr_is_window(int kind) {
    switch (kind) {
    case EXPR_SMA:
    case EXPR_EMA:
    case EXPR_WMA:
    case EXPR_ROC:
    case EXPR_MOMENTUM:
    case EXPR_LOGRET:
    case EXPR_VOLATILITY:
    case EXPR_RSI: return 1;
    default: return 0;
    }
}

int select_expr_is_scalar_numeric(int kind) {
    return kind == EXPR_ABS || (kind >= EXPR_ROUND && kind <= EXPR_SIGN) ? 1 : 0;
}

int column_type_is_numeric(int type) {
    return type == COL_TYPE_INT || type == COL_TYPE_DOUBLE || type == COL_TYPE_TIMESTAMP ? 1 : 0;
}

int group_col_index(const SelectQuery* query, const char* name) {
    if (!query || !name) return -1;
    for (int i = 0; i < query->group_count && i < SELECT_MAX_GROUP; ++i) {
        if (strcasecmp(query->group_col[i], name) == 0) return i;
    }
    return -1;
}

int select_expr_column_in_group(const SelectQuery* query, const char* name) {
    return group_col_index(query, name) >= 0 ? 1 : 0;
}

int parse_numeric_literal_value(const char* text, long double* value_out, int* is_integer_out) {
    if (value_out) *value_out = 0;
    if (is_integer_out) *is_integer_out = 0;
    if (!text) return -1;
    std::string t = sql_trimmed(text, text + std::strlen(text));
    // A longer literal is refused rather than cut: a cut number is a different number.
    if (t.empty() || t.size() > kNumericMax) return -1;
    errno = 0;
    char* endp = nullptr;
    long double v = std::strtold(t.c_str(), &endp);
    if (endp == t.c_str()) return -1;
    while (*endp && std::isspace(static_cast<unsigned char>(*endp))) ++endp;
    if (*endp != '\0' || errno == ERANGE) return -1;
    if (!std::isfinite(v) || std::fabs(static_cast<double>(v)) > DBL_MAX) return -1;
    if (value_out) *value_out = v;
    if (is_integer_out) *is_integer_out = t.find_first_of(".eE") == std::string::npos ? 1 : 0;
    return 0;
}

int parse_number_token(const char* text, char* out, size_t cap, char* err, size_t errlen) {
    std::string t = text ? sql_trimmed(text, text + std::strlen(text)) : std::string();
    if (t.empty()) return sql_fail(err, errlen, "missing numeric argument");
    if (t.size() > kTokenMax) return sql_fail(err, errlen, "numeric argument too long");
    errno = 0;
    char* endp = nullptr;
    long double v = std::strtold(t.c_str(), &endp);
    if (endp == t.c_str()) return sql_fail(err, errlen, "invalid numeric argument");
    while (*endp && std::isspace(static_cast<unsigned char>(*endp))) ++endp;
    if (*endp != '\0' || errno == ERANGE || !std::isfinite(v) ||
        std::fabs(static_cast<double>(v)) > DBL_MAX)
        return sql_fail(err, errlen, "invalid numeric argument");
    if (!out || cap == 0) return sql_fail(err, errlen, "numeric argument too long");
    // A literal just past the largest double still reads as that double; its
    // normalised text is the double's, so it parses again at evaluation.
    if (fabsl(v) > static_cast<long double>(DBL_MAX)) v = copysignl(DBL_MAX, v);
    char normalised[64];
    if (!format_reply_number(v, normalised, sizeof normalised) || std::strlen(normalised) >= cap)
        return sql_fail(err, errlen, "numeric argument too long");
    std::memcpy(out, normalised, std::strlen(normalised) + 1);
    return 0;
}

int parse_positive_int_token(const char* text, int* out, char* err, size_t errlen) {
    std::string t = text ? sql_trimmed(text, text + std::strlen(text)) : std::string();
    if (t.empty()) return sql_fail(err, errlen, "missing numeric argument");
    if (t.size() > kTokenMax) return sql_fail(err, errlen, "invalid numeric argument");
    errno = 0;
    char* endp = nullptr;
    long long v = std::strtoll(t.c_str(), &endp, 10);
    if (endp == t.c_str()) return sql_fail(err, errlen, "invalid numeric argument");
    while (*endp && std::isspace(static_cast<unsigned char>(*endp))) ++endp;
    if (*endp != '\0' || errno == ERANGE || v < 1 || v > 1000000)
        return sql_fail(err, errlen, "invalid numeric argument");
    if (out) *out = static_cast<int>(v);
    return 0;
}

namespace {

// The select list between SELECT and FROM: "*" or the items.
int parse_select_list(const char* buf, const char* from, SelectQuery* query, char* err,
                      size_t errlen) {
    const char* list_begin = buf + 7;
    std::string list = from > list_begin ? sql_trimmed(list_begin, from) : std::string();
    if (list == "*") {
        query->select_star = 1;
        return 0;
    }
    if (list.size() >= kSelectListMax) return sql_fail(err, errlen, "SELECT column list too long");
    std::vector<SqlSpan> items;
    int split_rc = sql_split_top_level(list.data(), list.data() + list.size(), ',', &items);
    for (const SqlSpan& s : items) {
        std::string item = sql_trimmed(s);
        if (item.empty()) return sql_fail(err, errlen, "bad SELECT column list");
        if (split_rc != 0) break;
        if (query->column_count == SELECT_MAX_ITEMS)
            return sql_fail(err, errlen, "too many selected columns");
        if (parse_select_expr_token(item, query, query->column_count, err, errlen) != 0) return -1;
        query->column_count++;
    }
    if (split_rc != 0) return sql_fail(err, errlen, "bad SELECT column list");
    return 0;
}

// Where the clauses after FROM begin (NULL when absent) and where the
// statement ends.
struct SelectClauses {
    const char* rest;  // the table name
    const char* end;
    const char* where;
    const char* group;
    const char* order;
    const char* limit;
};

SelectClauses find_select_clauses(const char* buf, const char* from) {
    SelectClauses c;
    c.rest = from + 6;
    c.end = buf + std::strlen(buf);
    c.where = sql_find_top_level_ci(c.rest, " WHERE ");
    c.group = sql_find_top_level_ci(c.rest, " GROUP BY ");
    c.order = sql_find_top_level_ci(c.rest, " ORDER BY ");
    c.limit = sql_find_top_level_ci(c.rest, " LIMIT ");
    return c;
}

// The end of the clause that starts at `at`: the next of the later clauses,
// else the end of the statement.
const char* clause_end(const SelectClauses& c, const char* at,
                       std::initializer_list<const char*> later) {
    const char* e = earliest_after(at, later);
    return e ? e : c.end;
}

int parse_select_table(const SelectClauses& c, char* table_out, size_t table_cap, char* err,
                       size_t errlen) {
    const char* tend = clause_end(c, c.rest - 1, {c.where, c.group, c.order, c.limit});
    if (static_cast<size_t>(tend - c.rest) >= kTableSpanMax)
        return sql_fail(err, errlen, "table name too long");
    std::string tname = sql_trimmed(c.rest, tend);
    return copy_ident_checked(table_out, table_cap, tname.c_str(), "table name", err, errlen);
}

// ORDER BY [ob, oe): one column, then ASC or DESC.
int parse_select_order_by(const char* ob, const char* oe, SelectQuery* query, char* err,
                          size_t errlen) {
    if (static_cast<size_t>(oe - ob) >= kOrderByMax)
        return sql_fail(err, errlen, "ORDER BY clause too long");
    std::string ord = sql_trimmed(ob, oe);
    size_t blank = ord.find_last_of(' ');
    if (blank != std::string::npos) {
        std::string word = ord.substr(blank + 1);
        if (strcasecmp(word.c_str(), "DESC") == 0) {
            query->order_desc = 1;
            ord = sql_trimmed(ord.substr(0, blank));
        } else if (strcasecmp(word.c_str(), "ASC") == 0) {
            ord = sql_trimmed(ord.substr(0, blank));
        }
    }
    // A longer name is refused, not cut: a cut name could match another column.
    if (ord.size() >= sizeof query->order_by)
        return sql_fail(err, errlen, "ORDER BY column too long");
    std::snprintf(query->order_by, sizeof query->order_by, "%s", ord.c_str());
    return 0;
}

// WHERE, GROUP BY, ORDER BY and LIMIT, each up to the next clause.
int parse_select_clauses(const SelectClauses& c, SelectQuery* query, char* err, size_t errlen) {
    if (c.where) {
        const char* wb = c.where + 7;
        const char* we = clause_end(c, c.where, {c.group, c.order, c.limit});
        if (static_cast<size_t>(we - wb) >= kClauseMax)
            return sql_fail(err, errlen, "WHERE clause too long");
        if (parse_where_predicates(wb, we, query, err, errlen) != 0) return -1;
    }
    if (c.group) {
        const char* gb = c.group + 10;
        const char* ge = clause_end(c, c.group, {c.order, c.limit});
        if (static_cast<size_t>(ge - gb) >= kClauseMax)
            return sql_fail(err, errlen, "GROUP BY clause too long");
        if (parse_identifier_csv(gb, ge, query, err, errlen) != 0) return -1;
        query->has_group_by = 1;
    }
    if (c.order) {
        const char* oe = (c.limit && c.limit > c.order) ? c.limit : c.end;
        if (parse_select_order_by(c.order + 10, oe, query, err, errlen) != 0) return -1;
    }
    if (c.limit) query->limit = parse_limit_value(c.limit + 7);
    return 0;
}

// Shapes the engine does not run.
int check_select_shape(const SelectQuery* query, char* err, size_t errlen) {
    if (!query->has_group_by && query->has_aggregate) {
        for (int i = 0; i < query->column_count; ++i) {
            if (!select_expr_is_aggregate(query->kind[i]))
                return sql_fail(
                    err, errlen,
                    "cannot mix aggregate and non-aggregate expressions without GROUP BY");
        }
        if (query->order_by[0])
            return sql_fail(err, errlen, "ORDER BY is not supported with aggregate queries yet");
    }
    if (query->has_group_by) {
        if (query->select_star)
            return sql_fail(err, errlen, "SELECT * is not supported with GROUP BY");
        if (query->has_window)
            return sql_fail(err, errlen, "window functions cannot be used with GROUP BY");
        for (int i = 0; i < query->column_count; ++i) {
            if (select_expr_is_aggregate(query->kind[i])) continue;
            if (query->kind[i] != EXPR_COLUMN || !select_expr_column_in_group(query, query->arg[i]))
                return sql_fail(err, errlen,
                                "non-aggregate SELECT columns must appear in GROUP BY");
        }
        if (query->order_by[0] && !select_expr_column_in_group(query, query->order_by))
            return sql_fail(err, errlen, "ORDER BY with GROUP BY supports GROUP BY columns only");
    }
    if (query->has_window && !query->order_by[0])
        return sql_fail(err, errlen, "SMA/EMA require ORDER BY");
    return 0;
}

}  // namespace

int parse_select_sql(const char* sql, char* table_out, size_t table_cap, SelectQuery* query,
                     char* err, size_t errlen) {
    if (!query) return sql_fail(err, errlen, "invalid SELECT");
    std::memset(query, 0, sizeof *query);
    query->limit = -1;
    if (!sql) return sql_fail(err, errlen, "invalid SELECT");

    char buf[SELECT_SQL_MAX];
    if (sql_load_statement(sql, buf, sizeof buf, "SELECT", err, errlen) != 0) return -1;
    if (!ci_starts(buf, "SELECT ")) return sql_fail(err, errlen, "invalid SELECT");
    const char* from = sql_find_top_level_ci(buf + 6, " FROM ");
    if (!from) return sql_fail(err, errlen, "missing FROM");
    if (parse_select_list(buf, from, query, err, errlen) != 0) return -1;
    const SelectClauses c = find_select_clauses(buf, from);
    if (parse_select_table(c, table_out, table_cap, err, errlen) != 0) return -1;
    if (parse_select_clauses(c, query, err, errlen) != 0) return -1;
    return check_select_shape(query, err, errlen);
}
