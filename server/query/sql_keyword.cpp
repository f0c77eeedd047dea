// The DDL keyword scanner (see sql_keyword.h).
#include "query/sql_keyword.h"

#include <strings.h>

#include <cstring>

#include "base/err.h"
#include "base/sql_scan.h"
#include "query/insert_parse.h"
#include "query/sql_split.h"

CStr sql_keyword_copy(const char* sql, char* err, size_t errlen) {
    return CStr(sql_dup_normalized_dynamic(sql ? sql : "", err, errlen));
}

int sql_keyword_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

void sql_skip_ws_mut(char** cursor) {
    if (!cursor || !*cursor) return;
    while (sql_keyword_blank(**cursor)) (*cursor)++;
}

int sql_at_end_mut(char* cursor) {
    sql_skip_ws_mut(&cursor);
    return *cursor == '\0';
}

int sql_keyword_delim(char c) {
    return c == '\0' || sql_keyword_blank(c) || c == '(' || c == ')' || c == ',' || c == '=';
}

int sql_consume_keyword_mut(char** cursor, const char* keyword) {
    if (!cursor || !*cursor || !keyword) return 0;
    char* p = *cursor;
    sql_skip_ws_mut(&p);
    size_t n = strlen(keyword);
    if (strncasecmp(p, keyword, n) != 0 || !sql_keyword_delim(p[n])) return 0;
    *cursor = p + n;
    return 1;
}

int sql_read_simple_token(char** cursor, char* out, size_t cap, const char* label, char* err,
                          size_t errlen) {
    const char* lab = (label && *label) ? label : "token";
    if (out && cap) out[0] = '\0';
    if (!cursor || !*cursor || !out || cap == 0) {
        set_errf(err, errlen, "missing %s", lab);
        return -1;
    }
    sql_skip_ws_mut(cursor);
    char* p = *cursor;
    size_t n = 0;
    while (p[n] && !sql_keyword_blank(p[n]) && p[n] != '(' && p[n] != ')' && p[n] != ',' &&
           p[n] != '=')
        n++;
    if (n == 0) {
        set_errf(err, errlen, "missing %s", lab);
        return -1;
    }
    if (n >= cap) {
        set_errf(err, errlen, "%s too long", lab);
        return -1;
    }
    memcpy(out, p, n);
    out[n] = '\0';
    *cursor = p + n;
    return 0;
}

const char* sql_find_matching_rparen(const char* open) {
    if (!open || *open != '(') return nullptr;
    return sql_find_matching_paren(open, open + strlen(open));
}
