// The JOIN statement parser. The statement is copied whole into a work buffer
// (never cut: a shortened WHERE value or LIMIT would silently answer another
// query), its blanks normalised and collapsed, and then read clause by
// clause: the select list before FROM, the two table parts around the join
// words, the ON equality, and the optional WHERE, ORDER BY and LIMIT.
#include "query/join_parse.h"

#include <strings.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/err.h"
#include "base/sql_scan.h"
#include "base/text_util.h"
#include "query/parse_util.h"
#include "query/sql_split.h"

namespace {

constexpr size_t kJoinSqlMax = 8192;

// Copies [start, end) trimmed, cut to cap - 1 bytes.
void copy_span_cut(char* dest, size_t cap, const char* start, const char* end) {
    copy_substr_trim(dest, cap, start, static_cast<size_t>(end - start));
}

// One enclosing pair of matching quotes removed.
std::string unquote_word(const std::string& w) {
    if (w.size() >= 2 && (w[0] == '"' || w[0] == '\'' || w[0] == '`') && w.back() == w[0])
        return w.substr(1, w.size() - 2);
    return w;
}

// "table [AS] [alias]" of one side.
int parse_join_from_part(const char* text, char* table, size_t table_cap, char* alias,
                         size_t alias_cap) {
    std::vector<std::string> words;
    const char* p = text;
    while (*p) {
        while (*p == ' ') ++p;
        if (!*p) break;
        const char* s = p;
        while (*p && *p != ' ') ++p;
        words.emplace_back(s, static_cast<size_t>(p - s));
        if (words.size() == 3) break;
    }
    if (words.empty() || words[0].size() > 255) return -1;
    std::string name = unquote_word(words[0]);
    if (name.empty() || name.size() >= table_cap) return -1;
    std::string al = name;
    if (words.size() >= 2) {
        if (strcasecmp(words[1].c_str(), "AS") == 0) {
            if (words.size() < 3) return -1;
            al = unquote_word(words[2]);
        } else {
            al = unquote_word(words[1]);
        }
    }
    if (al.empty() || al.size() >= alias_cap) return -1;
    snprintf(table, table_cap, "%s", name.c_str());
    snprintf(alias, alias_cap, "%s", al.c_str());
    return 0;
}

// A column reference or literal without blanks outside quotes.
bool is_one_word(const char* text) { return sql_is_single_literal(text) == 1; }

// Where the clauses of the statement stand in the work copy.
struct JoinClauses {
    char* from;        // " FROM "
    char* after_from;  // the left table part
    char* kw;          // the join words
    char* after_kw;    // the right table part
    char* on;          // " ON "
};

// The work copy: the whole statement, blanks normalised and collapsed,
// trimmed, starting with SELECT.
int load_join_statement(const char* sql, char* buf, char* err, size_t errlen) {
    if (!sql) return sql_fail(err, errlen, "invalid SELECT");
    if (strlen(sql) >= kJoinSqlMax) return sql_fail(err, errlen, "JOIN statement too long");
    snprintf(buf, kJoinSqlMax, "%s", sql);
    normalize_sql_ws(buf);
    sql_collapse_blanks(buf);
    trim_ws(buf);
    if (!ci_starts(buf, "SELECT ")) return sql_fail(err, errlen, "invalid SELECT");
    return 0;
}

// FROM, the join words (setting left_join) and ON.
int find_join_clauses(char* buf, JoinQuery* q, JoinClauses* c, char* err, size_t errlen) {
    c->from = sql_find_top_level_ci(buf, " FROM ");
    if (!c->from) return sql_fail(err, errlen, "missing FROM");
    c->after_from = c->from + strlen(" FROM ");
    struct Kw {
        const char* text;
        int left;
    };
    static const Kw kws[] = {{" LEFT OUTER JOIN ", 1}, {" LEFT JOIN ", 1}, {" JOIN ", 0}};
    c->kw = nullptr;
    size_t kw_len = 0;
    // after_from starts past the blank, so a join word right after FROM is
    // searched from one byte earlier.
    for (const Kw& k : kws) {
        c->kw = sql_find_top_level_ci(c->after_from - 1, k.text);
        if (c->kw) {
            kw_len = strlen(k.text);
            q->left_join = k.left;
            break;
        }
    }
    if (!c->kw) return sql_fail(err, errlen, "bad JOIN syntax");
    c->after_kw = c->kw + kw_len;
    c->on = sql_find_top_level_ci(c->after_kw - 1, " ON ");
    if (!c->on) return sql_fail(err, errlen, "missing ON");
    return 0;
}

// The select list: "*" or column references separated by top-level commas.
// FROM may stand right after SELECT (its blank is the one that ends
// "SELECT "): the list is then empty and refused.
int parse_join_select_list(const char* buf, const char* from, JoinQuery* q, char* err,
                           size_t errlen) {
    const char* list_start = buf + strlen("SELECT ");
    std::string list;
    if (from > list_start) list.assign(list_start, static_cast<size_t>(from - list_start));
    std::unique_ptr<char[]> lb(new (std::nothrow) char[list.size() + 1]);
    if (!lb) return sql_fail(err, errlen, "oom");
    memcpy(lb.get(), list.c_str(), list.size() + 1);
    trim_ws(lb.get());
    if (strcmp(lb.get(), "*") == 0) {
        q->select_all = 1;
        return 0;
    }
    if (strlen(lb.get()) >= 2048) return sql_fail(err, errlen, "JOIN SELECT list too long");
    char* p = lb.get();
    for (;;) {
        char* comma = sql_find_top_level_char(p, ',');
        char* end = comma ? comma : p + strlen(p);
        char item[128];
        copy_span_cut(item, sizeof item, p, end);
        if (!item[0]) return sql_fail(err, errlen, "bad select list");
        if (q->column_count >= JOIN_MAX_COLUMNS)
            return sql_fail(err, errlen, "too many selected columns");
        snprintf(q->columns[q->column_count++], sizeof q->columns[0], "%s", item);
        if (!comma) break;
        p = comma + 1;
    }
    return 0;
}

// The left part between FROM and the join words, the right one between
// those and ON.
int parse_join_tables(const JoinClauses& c, JoinQuery* q, char* err, size_t errlen) {
    if (c.kw - c.after_from >= 512 || c.kw < c.after_from)
        return sql_fail(err, errlen,
                        c.kw < c.after_from ? "bad left table" : "left JOIN table too long");
    if (c.on - c.after_kw >= 512 || c.on < c.after_kw)
        return sql_fail(err, errlen,
                        c.on < c.after_kw ? "bad right table" : "right JOIN table too long");
    char part[512];
    copy_span_cut(part, sizeof part, c.after_from, c.kw);
    if (parse_join_from_part(part, q->left_table, sizeof q->left_table, q->left_alias,
                             sizeof q->left_alias) != 0)
        return sql_fail(err, errlen, "bad left table");
    copy_span_cut(part, sizeof part, c.after_kw, c.on);
    if (parse_join_from_part(part, q->right_table, sizeof q->right_table, q->right_alias,
                             sizeof q->right_alias) != 0)
        return sql_fail(err, errlen, "bad right table");
    return 0;
}

// ON [on_text, on_end): one column reference = one column reference.
int parse_join_on(const char* on_text, const char* on_end, JoinQuery* q, char* err, size_t errlen) {
    if (on_end - on_text >= 512) return sql_fail(err, errlen, "JOIN ON clause too long");
    char on_buf[512];
    copy_span_cut(on_buf, sizeof on_buf, on_text, on_end);
    const char* op = nullptr;
    char* op_pos = sql_find_top_level_operator(on_buf, &op);
    if (!op_pos || !op || strcmp(op, "=") != 0) return sql_fail(err, errlen, "JOIN ON must use =");
    copy_span_cut(q->on_left, sizeof q->on_left, on_buf, op_pos);
    copy_span_cut(q->on_right, sizeof q->on_right, op_pos + 1, on_buf + strlen(on_buf));
    if (!q->on_left[0] || !q->on_right[0]) return sql_fail(err, errlen, "bad JOIN ON clause");
    // Each side is one column reference: "a.id = b.id AND a.k = b.k" would
    // otherwise compare a.id with a column named by the whole rest.
    if (!is_one_word(q->on_left) || !is_one_word(q->on_right))
        return sql_fail(err, errlen, "JOIN ON must be a single column = column condition");
    return 0;
}

// WHERE [w, w_end): one condition on one column with one literal.
int parse_join_where(const char* w, const char* w_end, JoinQuery* q, char* err, size_t errlen) {
    if (w_end < w) return sql_fail(err, errlen, "bad JOIN WHERE clause");
    if (w_end - w >= 512) return sql_fail(err, errlen, "JOIN WHERE clause too long");
    char wb[512];
    copy_span_cut(wb, sizeof wb, w, w_end);
    const char* wop = nullptr;
    char* wpos = sql_find_top_level_operator(wb, &wop);
    if (!wpos || !wop) return sql_fail(err, errlen, "bad WHERE");
    copy_span_cut(q->where_column, sizeof q->where_column, wb, wpos);
    snprintf(q->where_op, sizeof q->where_op, "%s", wop);
    copy_span_cut(q->where_value, sizeof q->where_value, wpos + strlen(wop), wb + strlen(wb));
    if (!q->where_column[0] || !q->where_value[0]) return sql_fail(err, errlen, "bad WHERE");
    // As in a single-table WHERE value: "10 AND a.p < 30" would otherwise be
    // compared by its leading number.
    if (!is_one_word(q->where_column)) return sql_fail(err, errlen, "bad WHERE column");
    if (!sql_is_single_literal(q->where_value))
        return sql_fail(err, errlen, "WHERE value must be a single literal");
    q->has_where = 1;
    return 0;
}

// ORDER BY [o, o_end): one column, then ASC or DESC.
int parse_join_order_by(const char* o, const char* o_end, JoinQuery* q, char* err, size_t errlen) {
    if (o_end < o) return sql_fail(err, errlen, "bad JOIN ORDER BY clause");
    if (o_end - o >= 256) return sql_fail(err, errlen, "JOIN ORDER BY clause too long");
    char ob[256];
    copy_span_cut(ob, sizeof ob, o, o_end);
    char* last = strrchr(ob, ' ');
    const char* word = last ? last + 1 : ob;
    if (strcasecmp(word, "DESC") == 0 || strcasecmp(word, "ASC") == 0) {
        q->order_desc = strcasecmp(word, "DESC") == 0 ? 1 : 0;
        if (last) {
            *last = '\0';
        } else {
            ob[0] = '\0';
        }
        trim_ws(ob);
    }
    if (!ob[0]) return sql_fail(err, errlen, "bad JOIN ORDER BY clause");
    copy_substr_trim(q->order_by, sizeof q->order_by, ob, strlen(ob));
    return 0;
}

// LIMIT: its leading integer, capped at INT_MAX; negative means none.
void parse_join_limit(const char* l, JoinQuery* q) {
    long long v = strtoll(l, nullptr, 10);
    if (v > INT_MAX) v = INT_MAX;
    q->limit = v < 0 ? -1 : static_cast<int>(v);
}

// The earliest of the clause positions, else end.
char* first_of(std::initializer_list<char*> marks, char* end) {
    char* first = end;
    for (char* m : marks)
        if (m && m < first) first = m;
    return first;
}

// Everything after ON: the ON equality up to the first of WHERE, ORDER BY and
// LIMIT, then each of those up to the next.
int parse_join_tail(char* buf, const JoinClauses& c, JoinQuery* q, char* err, size_t errlen) {
    char* on_text = c.on + strlen(" ON ");
    char* where = sql_find_top_level_ci(on_text - 1, " WHERE ");
    char* order = sql_find_top_level_ci(on_text - 1, " ORDER BY ");
    char* limit = sql_find_top_level_ci(on_text - 1, " LIMIT ");
    char* end = buf + strlen(buf);
    char* on_end = first_of({where, order, limit}, end);
    if (on_end < on_text) on_end = on_text;
    if (parse_join_on(on_text, on_end, q, err, errlen) != 0) return -1;
    if (where && parse_join_where(where + strlen(" WHERE "), first_of({order, limit}, end), q, err,
                                  errlen) != 0)
        return -1;
    if (order &&
        parse_join_order_by(order + strlen(" ORDER BY "), limit ? limit : end, q, err, errlen) != 0)
        return -1;
    if (limit) parse_join_limit(limit + strlen(" LIMIT "), q);
    return 0;
}

}  // namespace

int parse_select_join_sql(const char* sql, JoinQuery* q, char* err, size_t errlen) {
    if (!q) return sql_fail(err, errlen, "invalid SELECT");
    memset(q, 0, sizeof *q);
    q->limit = -1;
    char buf[kJoinSqlMax];
    if (load_join_statement(sql, buf, err, errlen) != 0) return -1;
    JoinClauses c;
    if (find_join_clauses(buf, q, &c, err, errlen) != 0) return -1;
    if (parse_join_select_list(buf, c.from, q, err, errlen) != 0) return -1;
    if (parse_join_tables(c, q, err, errlen) != 0) return -1;
    return parse_join_tail(buf, c, q, err, errlen);
}
