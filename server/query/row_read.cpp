// Stored rows read in place (see row_read.h).
#include "query/row_read.h"

#include <strings.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/err.h"
#include "base/json_text.h"
#include "base/text_util.h"
#include "storage/ident.h"
#include "storage/row_version.h"
#include "storage/table.h"

namespace {

const char* skip_blanks(const char* p) {
    while (*p && isspace(static_cast<unsigned char>(*p))) p++;
    return p;
}

// The operators of eval_compare; index 0 stands for any other text.
const char* const kOps[] = {"", "=", "!=", "<>", "<", "<=", ">", ">="};

int op_index(const char* op) {
    for (int i = 1; i < static_cast<int>(sizeof kOps / sizeof kOps[0]); ++i)
        if (strcmp(op, kOps[i]) == 0) return i;
    return 0;
}

bool op_holds(int op, int c) {
    switch (op) {
    case 1: return c == 0;
    case 2:
    case 3: return c != 0;
    case 4: return c < 0;
    case 5: return c <= 0;
    case 6: return c > 0;
    case 7: return c >= 0;
    default: return false;
    }
}

int truth_of(const char* s) { return (!strcasecmp(s, "true") || !strcmp(s, "1")) ? 1 : 0; }

}  // namespace

// ---- members ----------------------------------------------------------------

int RowFields::add(const char* name) {
    const char* n = name ? name : "";
    for (size_t i = 0; i < names_.size(); ++i)
        if (names_[i] == n) return static_cast<int>(i);
    names_.emplace_back(n);
    begin_.push_back(nullptr);
    end_.push_back(nullptr);
    state_.push_back(UNSEEN);
    raw_.emplace_back();
    trim_.emplace_back();
    have_raw_.push_back(0);
    have_trim_.push_back(0);
    return static_cast<int>(names_.size() - 1);
}

void RowFields::read(const char* json) {
    const size_t n = names_.size();
    for (size_t f = 0; f < n; ++f) {
        state_[f] = json ? UNSEEN : ABSENT;
        have_raw_[f] = have_trim_[f] = 0;
    }
    p_ = json;
}

// The walk of json_find_key, once for every wanted name: string by string,
// each one skipped whole, a name counting where ':' follows it.
void RowFields::step() {
    const char* p = p_;
    while (*p && *p != '"') p++;
    const char* end = *p ? scan_json_string_end(p) : nullptr;
    if (!end) {
        for (State& st : state_)
            if (st == UNSEEN) st = ABSENT;
        p_ = p;
        return;
    }
    const char* after = skip_blanks(end);
    if (*after == ':') {
        const size_t body = static_cast<size_t>(end - p) - 2;
        for (size_t f = 0; f < names_.size(); ++f) {
            if (state_[f] != UNSEEN || names_[f].size() != body || body > 124 ||
                memcmp(p + 1, names_[f].data(), body) != 0)
                continue;
            const char* v = skip_blanks(after + 1);
            const char* ve = scan_json_value_end(v);
            state_[f] = ve ? FOUND : ABSENT;
            begin_[f] = v;
            end_[f] = ve;
            break;
        }
    }
    p_ = end;
}

void RowFields::raw_span(int f, const char** begin, size_t* len) const {
    *begin = begin_[f];
    *len = static_cast<size_t>(end_[f] - begin_[f]);
}

const char* RowFields::raw(int f) {
    if (!have_raw_[f]) {
        raw_[f].assign(begin_[f], static_cast<size_t>(end_[f] - begin_[f]));
        have_raw_[f] = 1;
    }
    return raw_[f].c_str();
}

const char* RowFields::trimmed(int f) {
    if (!have_trim_[f]) {
        trim_[f].assign(begin_[f], static_cast<size_t>(end_[f] - begin_[f]));
        trim_ws(trim_[f].data());
        have_trim_[f] = 1;
    }
    return trim_[f].c_str();
}

// ---- WHERE ------------------------------------------------------------------

void WherePlan::prepare(const TableSchema* schema, const SelectQuery* query, RowFields* fields) {
    preds_.clear();
    active_ = query && query->has_where;
    may_fail_ = false;
    if (!active_) return;
    int n = query->pred_count > 0 ? query->pred_count : 1;
    if (n > SELECT_MAX_PREDICATES) n = SELECT_MAX_PREDICATES;
    for (int k = 0; k < n; ++k) {
        const char* col = query->pred_count > 0 ? query->pred_col[k] : query->where_col;
        const char* op = query->pred_count > 0 ? query->pred_op[k] : query->where_op;
        const char* val = query->pred_count > 0 ? query->pred_value[k] : query->where_value;
        Pred p;
        int c = schema ? schema_get_col(schema, col) : -1;
        if (c < 0) {
            may_fail_ = true;
            preds_.push_back(std::move(p));
            continue;
        }
        p.known = true;
        p.type = schema->columns[c].type;
        p.field = fields->add(col);
        p.op = op_index(op);
        p.value_null = is_json_null_token(val) != 0;
        p.value = val;
        strip_sql_or_json_quotes(p.value.data());
        p.value.resize(strlen(p.value.c_str()));
        p.real = strtod(p.value.c_str(), nullptr);
        p.integer = strtol(p.value.c_str(), nullptr, 10);
        p.truth = truth_of(p.value.c_str());
        preds_.push_back(std::move(p));
    }
}

SelectMatch WherePlan::match(RowFields& fields, char* err, size_t errlen) {
    if (!active_) return SELECT_MATCH_YES;
    for (const Pred& p : preds_) {
        if (!p.known) {
            set_err(err, errlen, "unknown WHERE column");
            return SELECT_MATCH_ERROR;
        }
        if (!fields.present(p.field)) return SELECT_MATCH_NO;
        // eval_compare with the predicate side converted once.
        const char* a = fields.raw(p.field);
        if (p.op == 0 || p.value_null || is_json_null_token(a)) return SELECT_MATCH_NO;
        work_.assign(a);
        strip_sql_or_json_quotes(work_.data());
        const char* x = work_.c_str();
        int c;
        switch (p.type) {
        case COL_TYPE_STRING: c = strcmp(x, p.value.c_str()); break;
        case COL_TYPE_BOOL: {
            int t = truth_of(x);
            c = t < p.truth ? -1 : (t > p.truth ? 1 : 0);
            break;
        }
        case COL_TYPE_DOUBLE: {
            double d = strtod(x, nullptr);
            if (std::isnan(d) || std::isnan(p.real))
                c = 0;
            else
                c = d < p.real ? -1 : (d > p.real ? 1 : 0);
            break;
        }
        default: {
            long l = strtol(x, nullptr, 10);
            c = l < p.integer ? -1 : (l > p.integer ? 1 : 0);
            break;
        }
        }
        if (!op_holds(p.op, c)) return SELECT_MATCH_NO;
    }
    return SELECT_MATCH_YES;
}
