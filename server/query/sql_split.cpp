// Top-level splitting helpers shared by the statement parsers.
#include "query/sql_split.h"

#include <cctype>
#include <cstring>

#include "base/sql_scan.h"
#include "base/text_util.h"

namespace {

// Past the quoted string at p, or NULL when it does not close before end.
const char* skip_quoted_in(const char* p, const char* end) {
    const char* q = sql_skip_quoted_string(p);
    if (!q || q > end) return nullptr;
    return q;
}

// Walks [begin, end) outside quotes and parentheses and calls on_sep(p) at
// every top-level `sep`, stopping there when it returns true. Returns where
// it stopped, `end` when it walked through, NULL at an unterminated quote;
// *depth is the parenthesis depth left open.
template <typename OnSep>
const char* walk_top_level(const char* begin, const char* end, char sep, int* depth, OnSep on_sep) {
    *depth = 0;
    const char* p = begin;
    while (p < end) {
        char c = *p;
        if (c == '\'' || c == '"') {
            p = skip_quoted_in(p, end);
            if (!p) return nullptr;
            continue;
        }
        if (c == '(') {
            ++*depth;
        } else if (c == ')') {
            if (*depth > 0) --*depth;
        } else if (c == sep && *depth == 0) {
            if (on_sep(p)) return p;
        }
        ++p;
    }
    return end;
}

}  // namespace

int sql_split_top_level(const char* begin, const char* end, char sep, std::vector<SqlSpan>* out) {
    out->clear();
    int depth = 0;
    const char* start = begin;
    const char* stop = walk_top_level(begin, end, sep, &depth, [&](const char* p) {
        out->push_back({start, p});
        start = p + 1;
        return false;
    });
    if (!stop) return -1;
    out->push_back({start, end});
    return depth == 0 ? 0 : -1;
}

const char* sql_find_top_level_sep(const char* begin, const char* end, char sep) {
    int depth = 0;
    const char* p = walk_top_level(begin, end, sep, &depth, [](const char*) { return true; });
    return p == end ? nullptr : p;
}

const char* sql_find_matching_paren(const char* open, const char* end) {
    int depth = 0;
    const char* p = open;
    while (p < end) {
        char c = *p;
        if (c == '\'' || c == '"') {
            p = skip_quoted_in(p, end);
            if (!p) return nullptr;
            continue;
        }
        if (c == '(') {
            ++depth;
        } else if (c == ')') {
            if (--depth == 0) return p;
        }
        ++p;
    }
    return nullptr;
}

std::string sql_trimmed(const char* begin, const char* end) {
    std::string s(begin, static_cast<size_t>(end - begin));
    trim_ws(s.data());
    s.resize(std::strlen(s.c_str()));
    return s;
}

int sql_is_single_literal(const std::string& text) {
    if (text.empty()) return 0;
    const char* p = text.c_str();
    if (*p == '\'' || *p == '"') {
        const char* q = sql_skip_quoted_string(p);
        return (q && *q == '\0') ? 1 : 0;
    }
    // A bare token may hold parentheses, but only balanced ones: "(1" or "1)"
    // is a broken expression, not a value.
    int depth = 0;
    for (unsigned char c : text) {
        if (std::isspace(c) || c == '\'' || c == '"') return 0;
        if (c == '(') ++depth;
        if (c == ')' && --depth < 0) return 0;
    }
    return depth == 0 ? 1 : 0;
}

int sql_is_balanced(const char* begin, const char* end) {
    if (!begin || !end || end < begin) return 0;
    // Quotes are scanned on a bounded copy so a string cannot run past end.
    std::string text(begin, static_cast<size_t>(end - begin));
    int depth = 0;
    for (const char* p = text.c_str(); *p;) {
        if (*p == '\'' || *p == '"') {
            p = sql_skip_quoted_string(p);
            if (!p) return 0;
            continue;
        }
        if (*p == '(') ++depth;
        if (*p == ')' && --depth < 0) return 0;
        ++p;
    }
    return depth == 0 ? 1 : 0;
}

void sql_collapse_blanks(char* s) {
    char* w = s;
    char quote = 0;
    for (const char* r = s; *r; ++r) {
        char ch = *r;
        if (quote) {
            *w++ = ch;
            if (ch == '\\' && r[1]) {
                *w++ = *++r;
            } else if (ch == quote) {
                quote = 0;
            }
            continue;
        }
        if (ch == '\'' || ch == '"') quote = ch;
        if (ch == ' ' && w > s && w[-1] == ' ') continue;
        *w++ = ch;
    }
    *w = '\0';
}
