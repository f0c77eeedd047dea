// SQL text scanning (see sql_scan.h for the contracts).
#include "base/err.h"
#include "base/sql_scan.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "base/text_util.h"

namespace {

template <typename Fn>
const char* scan_top_level(const char* sql, Fn match) {
    int depth = 0;
    const char* p = sql;
    while (*p) {
        if (*p == '\'' || *p == '"') {
            p = sql_skip_quoted_string(p);
            if (!p) return nullptr;
            continue;
        }
        if (*p == '(') {
            depth++;
        } else if (*p == ')') {
            if (depth > 0) depth--;
        } else if (depth == 0 && match(p)) {
            return p;
        }
        p++;
    }
    return nullptr;
}

}  // namespace

void normalize_sql_ws(char* s) {
    if (!s) return;
    char* w = s;
    const char* r = s;
    while (*r) {
        if (r[0] == '\\' && r[1] == '\\') {
            // An escaped backslash is one character of a literal: it must not
            // pair with a following r, n or t ('C:\\new' keeps its backslash).
            *w++ = *r++;
            *w++ = *r++;
        } else if (r[0] == '\\' && (r[1] == 'r' || r[1] == 'n' || r[1] == 't')) {
            *w++ = ' ';
            r += 2;
        } else if (*r == '\r' || *r == '\n' || *r == '\t') {
            *w++ = ' ';
            r++;
        } else {
            *w++ = *r++;
        }
    }
    *w = '\0';
}

int sql_ci_match_at(const char* pos, const char* keyword) { return ci_starts(pos, keyword); }

// ---- SQL top-level scanners -----------------------------------------------

const char* sql_text_after_statement(const char* sql) {
    const char* p = sql;
    while (p && *p) {
        if (p[0] == '$' && p[1] == '$') {
            const char* close = strstr(p + 2, "$$");
            if (!close) return nullptr;
            p = close + 2;
            continue;
        }
        if (*p == '\'' || *p == '"') {
            p = sql_skip_quoted_string(p);
            continue;
        }
        if (*p == ';') {
            const char* rest = p + 1;
            while (*rest == ';' || isspace(static_cast<unsigned char>(*rest))) rest++;
            return *rest ? rest : nullptr;
        }
        p++;
    }
    return nullptr;
}

const char* sql_skip_quoted_string(const char* p) {
    if (!p) return nullptr;
    char q = *p;
    if (q != '\'' && q != '"') return p;
    const char* s = p + 1;
    while (*s) {
        if (s[0] == '\\' && s[1]) {
            s += 2;
            continue;
        }
        if (*s == q) {
            if (s[1] == q) {
                s += 2;
                continue;
            }
            return s + 1;
        }
        s++;
    }
    return nullptr;
}

const char* sql_find_top_level_ci(const char* sql, const char* needle) {
    if (!sql || !needle) return nullptr;
    if (!*needle) return sql;
    return scan_top_level(sql, [&](const char* p) { return sql_ci_match_at(p, needle) != 0; });
}

char* sql_find_top_level_ci(char* sql, const char* needle) {
    return const_cast<char*>(sql_find_top_level_ci(static_cast<const char*>(sql), needle));
}

const char* sql_find_top_level_char(const char* sql, char c) {
    if (!sql) return nullptr;
    return scan_top_level(sql, [&](const char* p) { return *p == c; });
}

char* sql_find_top_level_char(char* sql, char c) {
    return const_cast<char*>(sql_find_top_level_char(static_cast<const char*>(sql), c));
}

const char* sql_find_top_level_operator(const char* sql, const char** op) {
    static const char* const kOps[] = {"<=", ">=", "!=", "<>", "=", "<", ">"};
    if (op) *op = nullptr;
    if (!sql) return nullptr;
    const char* found_op = nullptr;
    const char* pos = scan_top_level(sql, [&](const char* p) {
        for (const char* o : kOps) {
            if (strncmp(p, o, strlen(o)) == 0) {
                found_op = o;
                return true;
            }
        }
        return false;
    });
    if (pos && op) *op = found_op;
    return pos;
}

char* sql_find_top_level_operator(char* sql, const char** op) {
    return const_cast<char*>(sql_find_top_level_operator(static_cast<const char*>(sql), op));
}

int sql_copy_span_trim(char* dest, size_t cap, const char* start, const char* end,
                       const char* label, char* err, size_t errlen) {
    if (!dest || cap == 0 || !start || !end || end < start) {
        set_errf(err, errlen, "bad %s", label ? label : "SQL span");
        return -1;
    }
    size_t len = static_cast<size_t>(end - start);
    if (len >= cap) {
        set_errf(err, errlen, "%s too long", label ? label : "SQL clause");
        return -1;
    }
    memcpy(dest, start, len);
    dest[len] = '\0';
    trim_ws(dest);
    return 0;
}
