// Two-table JOIN execution over private copies of both tables (the statement
// is read by join_parse.cpp): the ON equality is matched through a hash of
// the right table's values, giving the pairs of the nested loop in its order
// (each left row in turn, its matches in right-row order).
#include "query/join.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/err.h"
#include "base/json_text.h"
#include "base/owned.h"
#include "base/text_util.h"
#include "query/order_by.h"
#include "query/row_reply.h"
#include "query/select_exec.h"
#include "storage/ident.h"
#include "storage/pk_map.h"
#include "storage/row_version.h"
#include "storage/table.h"

namespace {

// Splits a reference at its first "." into qualifier and column.
void split_token_qual(const char* ref, char* qual, char* col) {
    qual[0] = col[0] = '\0';
    const char* dot = strchr(ref, '.');
    if (!dot) {
        copy_substr_trim(col, 128, ref, strlen(ref));
        return;
    }
    copy_substr_trim(qual, 128, ref, static_cast<size_t>(dot - ref));
    copy_substr_trim(col, 128, dot + 1, strlen(dot + 1));
}

// Which side a reference names: 0 left, 1 right, -1 with the message.
struct JoinSides {
    const JoinQuery* q;
    const TableSchema* left;
    const TableSchema* right;
};

int side_of_ref(const JoinSides& s, const char* ref, char* col, const char** msg) {
    char qual[128];
    split_token_qual(ref, qual, col);
    if (!col[0]) {
        *msg = "bad column";
        return -1;
    }
    if (qual[0]) {
        if (strcasecmp(qual, s.q->left_alias) == 0 || strcasecmp(qual, s.q->left_table) == 0)
            return 0;
        if (strcasecmp(qual, s.q->right_alias) == 0 || strcasecmp(qual, s.q->right_table) == 0)
            return 1;
        *msg = "unknown qualifier";
        return -1;
    }
    bool in_left = schema_get_col(s.left, col) >= 0;
    bool in_right = schema_get_col(s.right, col) >= 0;
    if (in_left && in_right) {
        *msg = "ambiguous column";
        return -1;
    }
    if (in_left) return 0;
    if (in_right) return 1;
    *msg = "column not found";
    return -1;
}

// The raw JSON value of ref in the pair; "null" for a missing right row.
int extract_join_side_raw(const JoinSides& s, const char* ref, const char* left_json,
                          const char* right_json, CStr* out, const char** msg) {
    char col[128];
    int side = side_of_ref(s, ref, col, msg);
    if (side < 0) return -1;
    const char* row = side == 0 ? left_json : right_json;
    if (!row) {
        out->reset(xstrdup("null"));
        if (!*out) {
            *msg = "oom";
            return -1;
        }
        return 0;
    }
    char* raw = nullptr;
    if (json_extract_raw(row, col, &raw) != 0 || !raw) {
        free(raw);
        *msg = "column not found";
        return -1;
    }
    out->reset(raw);
    return 0;
}

// Declared type of a column in one side's schema (exact name); string when
// the schema has no such column.
int column_type(const TableSchema* schema, const char* col) {
    int i = schema_get_col(schema, col);
    return i >= 0 ? schema->columns[i].type : COL_TYPE_STRING;
}

// Type of the WHERE column: the schema of the side it belongs to, string
// when the column is not in that schema.
int where_column_type(const JoinSides& s) {
    char qual[128], col[128];
    split_token_qual(s.q->where_column, qual, col);
    const TableSchema* schema = s.right;
    if (qual[0]) {
        if (strcasecmp(qual, s.q->left_alias) == 0 || strcasecmp(qual, s.q->left_table) == 0)
            schema = s.left;
    } else if (schema_get_col(s.left, col) >= 0 && schema_get_col(s.right, col) < 0) {
        schema = s.left;
    }
    return column_type(schema, col);
}

bool is_numeric_type(int type) {
    return type == COL_TYPE_INT || type == COL_TYPE_DOUBLE || type == COL_TYPE_TIMESTAMP;
}

// The number a value of a numeric column holds, as text that is equal for
// equal numbers whatever their column type: an int or timestamp read as a
// 64-bit integer, a double as a double, both held exactly in a long double
// and printed with enough digits to tell every long double apart (so int 1
// and double 1.0 both give "1", and 2^53 + 1 stays apart from the double
// 2^53). false when the text is no finite number.
bool number_key(int type, const char* text, std::string* key) {
    char* end = nullptr;
    long double v;
    if (type == COL_TYPE_DOUBLE) {
        double d = strtod(text, &end);
        if (!std::isfinite(d)) return false;
        v = d;
    } else {
        errno = 0;
        long long n = strtoll(text, &end, 10);
        if (errno == ERANGE) return false;
        v = static_cast<long double>(n);
    }
    if (end == text || *skip_ws(end)) return false;
    if (v == 0) v = 0;  // -0 is 0
    char buf[64];
    snprintf(buf, sizeof buf, "%.*Lg", LDBL_DECIMAL_DIG, v);
    key->assign(buf);
    return true;
}

// What the ON equality compares for one reference in one row. Between two
// numeric columns: the number (number_key), so equal numbers match across
// int, double and timestamp columns. Otherwise the value as eval_compare
// under the string type sees it (trimmed, one pair of quotes removed,
// escapes decoded), so the number 7 and the string 7 match. Absent when the
// row lacks the member, holds null or (between numeric columns) no number;
// an absent value matches nothing.
struct OnValue {
    bool present = false;
    std::string text;
};

std::vector<OnValue> on_values(const SelectRow* rows, int count, const char* column,
                               int number_type) {
    std::vector<OnValue> out(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        char* raw = nullptr;
        if (json_extract_raw(rows[i].row_json, column, &raw) != 0 || !raw) {
            free(raw);
            continue;
        }
        CStr hold(raw);
        if (is_json_null_token(raw)) continue;
        strip_sql_or_json_quotes(raw);
        if (number_type != COL_TYPE_STRING) {
            out[i].present = number_key(number_type, raw, &out[i].text);
            continue;
        }
        out[i].present = true;
        out[i].text = raw;
    }
    return out;
}

// The ON condition over the collected rows. Each reference names one side
// whatever the rows hold, so its values are read once per row of that side.
// When the two references name different sides, the right rows are hashed by
// value; otherwise (both on one side, or a reference that names no side) the
// pairs are tested one by one. Either way the matches of a left row come in
// right-row order, exactly the pairs the nested loop keeps.
class OnMatcher {
  public:
    OnMatcher(const JoinSides& s, const SelectRow* lrows, int lcount, const SelectRow* rrows,
              int rcount)
        : rcount_(rcount) {
        char acol[128], bcol[128];
        const char* msg = nullptr;
        aside_ = side_of_ref(s, s.q->on_left, acol, &msg);
        bside_ = side_of_ref(s, s.q->on_right, bcol, &msg);
        if (aside_ < 0 || bside_ < 0) return;  // every pair fails to extract: no match
        int atype = column_type(aside_ == 0 ? s.left : s.right, acol);
        int btype = column_type(bside_ == 0 ? s.left : s.right, bcol);
        const bool numbers = is_numeric_type(atype) && is_numeric_type(btype);
        if (!numbers) atype = btype = COL_TYPE_STRING;
        a_ = aside_ == 0 ? on_values(lrows, lcount, acol, atype)
                         : on_values(rrows, rcount, acol, atype);
        b_ = bside_ == 0 ? on_values(lrows, lcount, bcol, btype)
                         : on_values(rrows, rcount, bcol, btype);
        hashed_ = aside_ != bside_;
        if (!hashed_) return;
        const std::vector<OnValue>& right = aside_ == 1 ? a_ : b_;
        for (int j = 0; j < rcount; ++j)
            if (right[j].present) by_value_[right[j].text].push_back(j);
    }

    // The right rows that match left row i, in right-row order.
    void right_rows_for(int i, std::vector<int>* out) const {
        out->clear();
        if (aside_ < 0 || bside_ < 0) return;
        if (hashed_) {
            const OnValue& v = aside_ == 0 ? a_[i] : b_[i];
            if (!v.present) return;
            auto it = by_value_.find(v.text);
            if (it != by_value_.end()) *out = it->second;
            return;
        }
        for (int j = 0; j < rcount_; ++j) {
            const OnValue& x = a_[aside_ == 0 ? i : j];
            const OnValue& y = b_[bside_ == 0 ? i : j];
            if (x.present && y.present && x.text == y.text) out->push_back(j);
        }
    }

  private:
    int rcount_;
    int aside_ = -1, bside_ = -1;  // side of on_left / on_right: 0 left, 1 right
    bool hashed_ = false;
    std::vector<OnValue> a_, b_;  // values of on_left / on_right over their side's rows
    std::unordered_map<std::string, std::vector<int>> by_value_;  // right rows per value
};

struct JoinPair {
    const char* left;   // borrowed from the collected rows
    const char* right;  // NULL for an unmatched LEFT JOIN row
};

struct RowsGuard {
    SelectRow* rows = nullptr;
    int count = 0;
    ~RowsGuard() { free_select_rows(rows, count); }
};

// Rows and a schema copy taken under one hold of the table's read lock.
int collect_table(Table* t, SelectRow** rows_out, int* count_out, TableSchema* schema, char* err,
                  size_t errlen) {
    *rows_out = nullptr;
    *count_out = 0;
    SelectRow* rows = nullptr;
    int count = 0, cap = 0;
    auto fail = [&](const char* msg) {
        free_select_rows(rows, count);
        set_err(err, errlen, msg);
        return -1;
    };
    try {
        RwReadGuard g(&t->lock);
        if (t->dropped || !t->schema.name[0]) return fail("table not found");
        if (schema) *schema = t->schema;
        const PkLatestMap& map = t->pk_map;
        if (map.buckets && map.bucket_count > 0) {
            for (uint64_t b = 0; b < map.bucket_count; ++b)
                for (const PkLatestEntry* e = map.buckets[b]; e; e = e->next) {
                    const VersionedRow* r = e->row;
                    if (!r || r->deleted || !r->json) continue;
                    if (append_select_row_from_version(&rows, &count, &cap, r, err, errlen) != 0)
                        return fail("oom");
                }
        } else {
            std::unordered_set<std::string> seen;
            for (const VersionedRow* r = t->rows; r; r = r->next) {
                std::string key = r->key ? r->key : "";
                if (!seen.insert(key).second) continue;
                if (r->deleted || !r->json) continue;
                if (append_select_row_from_version(&rows, &count, &cap, r, err, errlen) != 0)
                    return fail("oom");
            }
        }
    } catch (...) {
        return fail("oom");
    }
    *rows_out = rows;
    *count_out = count;
    return 0;
}

// Appends "key":raw with the key JSON-escaped.
bool append_member(std::string* out, bool* first, const char* key, const char* raw) {
    CStr esc(json_escape_string(key));
    if (!esc) return false;
    if (!*first) out->push_back(',');
    *first = false;
    out->push_back('"');
    out->append(esc.get());
    out->append("\":");
    out->append(raw ? raw : "null");
    return true;
}

int append_side_all(std::string* out, bool* first, const TableSchema* schema, const char* prefix,
                    const char* row, bool absent_is_null, const char** msg) {
    for (int i = 0; i < schema->column_count; ++i) {
        char key[160];
        snprintf(key, sizeof key, "%s.%s", prefix, schema->columns[i].name);
        CStr raw;
        if (row) {
            char* v = nullptr;
            if (json_extract_raw(row, schema->columns[i].name, &v) != 0 || !v) {
                free(v);
                continue;  // a column missing from the stored row is left out
            }
            raw.reset(v);
        } else if (!absent_is_null) {
            continue;
        }
        if (!append_member(out, first, key, raw ? raw.get() : "null")) {
            *msg = "oom";
            return -1;
        }
    }
    return 0;
}

int append_join_row_json(std::string* out, const JoinSides& s, const JoinPair& pair,
                         const char** msg) {
    out->push_back('{');
    bool first = true;
    const JoinQuery* q = s.q;
    if (q->select_all) {
        const char* lp = q->left_alias[0] ? q->left_alias : q->left_table;
        const char* rp = q->right_alias[0] ? q->right_alias : q->right_table;
        if (append_side_all(out, &first, s.left, lp, pair.left, false, msg) != 0) return -1;
        if (append_side_all(out, &first, s.right, rp, pair.right, true, msg) != 0) return -1;
    } else {
        for (int i = 0; i < q->column_count; ++i) {
            CStr raw;
            if (extract_join_side_raw(s, q->columns[i], pair.left, pair.right, &raw, msg) != 0)
                return -1;
            if (!append_member(out, &first, q->columns[i], raw.get())) {
                *msg = "oom";
                return -1;
            }
        }
    }
    out->push_back('}');
    return 0;
}

// 1 keep, 0 drop: the WHERE condition on one pair.
int pair_passes_where(const JoinSides& s, int where_type, const char* left, const char* right) {
    if (!s.q->has_where) return 1;
    CStr v;
    const char* msg = nullptr;
    if (extract_join_side_raw(s, s.q->where_column, left, right, &v, &msg) != 0) return 0;
    return eval_compare(where_type, v.get(), s.q->where_op, s.q->where_value) ? 1 : 0;
}

}  // namespace

int collect_visible_rows(Table* table, SelectRow** rows_out, int* count_out, char* err,
                         size_t errlen) {
    if (!rows_out || !count_out || !table) {
        set_err(err, errlen, "table not found");
        return -1;
    }
    return collect_table(table, rows_out, count_out, nullptr, err, errlen);
}

namespace {

// Both tables, each copied with its schema under its own read lock, the left
// one first.
int collect_join_tables(int li, int ri, RowsGuard* left, TableSchema* ls, RowsGuard* right,
                        TableSchema* rs, char* err, size_t errlen) {
    if (collect_table(&g_tables.slots[li], &left->rows, &left->count, ls, err, errlen) != 0)
        return -1;
    return collect_table(&g_tables.slots[ri], &right->rows, &right->count, rs, err, errlen);
}

// The pairs the nested loop keeps, in its order: each left row with its ON
// matches that pass the WHERE, and for LEFT JOIN a left row without matches
// on its own when it passes. -1 with the reply-limit message once the pairs
// alone take more memory than a reply may (json_buf.h).
int match_pairs(const JoinSides& sides, const RowsGuard& left, const RowsGuard& right,
                std::vector<JoinPair>* out, char* err, size_t errlen) {
    const JoinQuery* q = sides.q;
    const int where_type = q->has_where ? where_column_type(sides) : COL_TYPE_STRING;
    const OnMatcher on(sides, left.rows, left.count, right.rows, right.count);
    std::vector<JoinPair>& pairs = *out;
    // The pairs' memory, with the old array alive while it grows, stays
    // within the reply limit.
    auto keep = [&](const char* l, const char* r) {
        if (pairs.size() == pairs.capacity()) {
            const size_t grown = pairs.capacity() ? 2 * pairs.capacity() : 64;
            if (reply_size_check((pairs.capacity() + grown) * sizeof(JoinPair), err, errlen) != 0)
                return false;
            pairs.reserve(grown);
        }
        pairs.push_back(JoinPair{l, r});
        return true;
    };
    std::vector<int> matches;
    for (int i = 0; i < left.count; ++i) {
        const char* lrow = left.rows[i].row_json;
        on.right_rows_for(i, &matches);
        const bool matched = !matches.empty();
        for (int j : matches) {
            const char* rrow = right.rows[j].row_json;
            if (pair_passes_where(sides, where_type, lrow, rrow) && !keep(lrow, rrow)) return -1;
        }
        if (q->left_join && !matched && pair_passes_where(sides, where_type, lrow, nullptr) &&
            !keep(lrow, nullptr))
            return -1;
    }
    return 0;
}

// ORDER BY over the pairs by the column's declared type, the order of a
// single-table ORDER BY (select_sort_key_compare: numbers as numbers, nulls
// last ascending and first descending, equal values in pair order). A pair
// whose row lacks the column (or has no row on that side) sorts as null; a
// reference that names no side leaves the order as it is.
int sort_pairs(const JoinSides& sides, std::vector<JoinPair>* pairs, char* err, size_t errlen) {
    const JoinQuery* q = sides.q;
    char col[128];
    const char* msg = nullptr;
    const int side = side_of_ref(sides, q->order_by, col, &msg);
    if (side < 0) return 0;
    const int type = column_type(side == 0 ? sides.left : sides.right, col);
    struct Keyed {
        JoinPair pair;
        SortKey key;
    };
    std::vector<Keyed> keyed(pairs->size());
    struct KeysGuard {
        std::vector<Keyed>& keyed;
        ~KeysGuard() {
            for (Keyed& k : keyed) select_sort_key_free(&k.key);
        }
    } guard{keyed};
    for (size_t i = 0; i < pairs->size(); ++i) {
        const JoinPair& p = (*pairs)[i];
        keyed[i].pair = p;
        const char* row = side == 0 ? p.left : p.right;
        const int pos = static_cast<int>(i);
        int rc =
            row ? select_sort_key_from_row_json(row, col, type, pos, &keyed[i].key, err, errlen)
                : select_sort_key_from_raw(type, nullptr, pos, &keyed[i].key, err, errlen);
        if (rc != 0) return -1;
    }
    std::sort(keyed.begin(), keyed.end(), [&](const Keyed& a, const Keyed& b) {
        return select_sort_key_compare(&a.key, &b.key, type, q->order_desc) < 0;
    });
    for (size_t i = 0; i < keyed.size(); ++i) (*pairs)[i] = keyed[i].pair;
    return 0;
}

// {"ok":true,"rows":[...]} with the pairs up to the LIMIT.
int format_join_reply(const JoinSides& sides, const std::vector<JoinPair>& pairs, char** out,
                      char* err, size_t errlen) {
    std::string reply;
    reply.reserve(JSON_BUF_INITIAL);
    reply.append("{\"ok\":true,\"rows\":[");
    int written = 0;
    for (const JoinPair& p : pairs) {
        if (sides.q->limit >= 0 && written >= sides.q->limit) break;
        if (written > 0) reply.push_back(',');
        const char* msg = nullptr;
        if (append_join_row_json(&reply, sides, p, &msg) != 0) {
            set_err(err, errlen, msg ? msg : "oom");
            return -1;
        }
        // The pairs count with the reply: both are this statement's memory.
        if (reply_size_check(reply.size() + pairs.capacity() * sizeof(JoinPair), err, errlen) != 0)
            return -1;
        ++written;
    }
    reply.append("]}");
    return copy_raw_out(reply, out, err, errlen);
}

}  // namespace

int select_join_rows_json(const JoinQuery* q, char** out, char* err, size_t errlen) {
    if (out) *out = nullptr;
    if (!q || !out) {
        set_err(err, errlen, "invalid SELECT");
        return -1;
    }
    int li = table_find_index(q->left_table);
    int ri = table_find_index(q->right_table);
    if (li < 0 || ri < 0) {
        set_err(err, errlen, "table not found");
        return -1;
    }
    std::unique_ptr<TableSchema> ls(new (std::nothrow) TableSchema);
    std::unique_ptr<TableSchema> rs(new (std::nothrow) TableSchema);
    if (!ls || !rs) {
        set_err(err, errlen, "oom");
        return -1;
    }
    RowsGuard left, right;
    if (collect_join_tables(li, ri, &left, ls.get(), &right, rs.get(), err, errlen) != 0) return -1;
    const JoinSides sides{q, ls.get(), rs.get()};
    // The pairs and the reply live in growable containers: running out of
    // memory on the way ends the statement with its message.
    try {
        std::vector<JoinPair> pairs;
        if (match_pairs(sides, left, right, &pairs, err, errlen) != 0) return -1;
        if (q->order_by[0] && pairs.size() > 1 && sort_pairs(sides, &pairs, err, errlen) != 0)
            return -1;
        return format_join_reply(sides, pairs, out, err, errlen);
    } catch (const std::length_error&) {
        set_err(err, errlen, "join result too large");
        return -1;
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
}
