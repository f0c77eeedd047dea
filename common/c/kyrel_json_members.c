/* Top-level members of a JSON reply (contract: kyrel_json_members.h). */
#include "kyrel_json_members.h"

#include <stdlib.h>
#include <string.h>

static int kyrel_json_is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

/* Characters that end a bare scalar (number, true, false, null). */
static int kyrel_json_ends_scalar(char c) {
    return kyrel_json_is_space(c) || c == '\0' || strchr(",:{}[]\"", c) != NULL;
}

/* p on an opening quote: the position just after the closing quote, or NULL
 * when the string does not end (a backslash takes the next byte along). */
static const char* kyrel_json_skip_string(const char* p) {
    for (p++; *p; p++) {
        if (*p == '\\') {
            if (!p[1]) return NULL;
            p++;
        } else if (*p == '"') {
            return p + 1;
        }
    }
    return NULL;
}

/* What the walk expects next. */
enum {
    KYREL_WANT_KEY_OR_END,
    KYREL_WANT_KEY,
    KYREL_WANT_COLON,
    KYREL_WANT_VALUE_OR_END,
    KYREL_WANT_VALUE,
    KYREL_WANT_AFTER_VALUE
};

/* The member sought whose name is the quoted string [p, end), or count. */
static size_t kyrel_json_sought(const char* p, const char* end, const char* const* names,
                                size_t count, const kyrel_json_span* out) {
    size_t klen = (size_t)(end - p) - 2, i;
    for (i = 0; i < count; i++) {
        if (!out[i].p && strlen(names[i]) == klen && memcmp(p + 1, names[i], klen) == 0) return i;
    }
    return count;
}

//~ Longer than its neighbours: one walk over the reply's bytes whose state
//~ (position, expected token, bracket stack, member being read) every branch
//~ reads and changes; split into functions, that state would be passed around
//~ whole. Lines starting with //~ are left out of the compiled programs' text.
int kyrel_json_top_members(const char* json, const char* const* names, size_t count,
                           kyrel_json_span* out) {
    size_t cap = 64, depth = 0;
    char* open;
    int rc = -1;
    int want = KYREL_WANT_KEY_OR_END;
    size_t target = count; /* the top-level member being read, count for none */
    const char* start = NULL;
    const char* p = json;
    memset(out, 0, count * sizeof *out);
    if (!json) return -1;
    open = (char*)malloc(cap); /* '{' or '[' per open bracket */
    if (!open) return -2;
    while (kyrel_json_is_space(*p)) p++;
    if (*p != '{') goto done;
    open[depth++] = '{';
    p++;
    for (;;) {
        char c;
        int closes = 0;
        while (kyrel_json_is_space(*p)) p++;
        c = *p;
        if (!c) goto done;
        if (want == KYREL_WANT_KEY_OR_END || want == KYREL_WANT_KEY) {
            if (c == '}' && want == KYREL_WANT_KEY_OR_END) {
                closes = 1;
            } else {
                const char* end;
                if (c != '"') goto done;
                end = kyrel_json_skip_string(p);
                if (!end) goto done;
                if (depth == 1) target = kyrel_json_sought(p, end, names, count, out);
                p = end;
                want = KYREL_WANT_COLON;
                continue;
            }
        } else if (want == KYREL_WANT_COLON) {
            if (c != ':') goto done;
            p++;
            want = KYREL_WANT_VALUE;
            continue;
        } else if (want == KYREL_WANT_VALUE_OR_END || want == KYREL_WANT_VALUE) {
            if (c == ']' && want == KYREL_WANT_VALUE_OR_END) {
                closes = 1;
            } else {
                if (depth == 1) start = p;
                if (c == '{' || c == '[') {
                    if (depth == cap) {
                        char* grown = (char*)realloc(open, cap * 2);
                        if (!grown) {
                            rc = -2;
                            goto done;
                        }
                        open = grown;
                        cap *= 2;
                    }
                    open[depth++] = c;
                    p++;
                    want = c == '{' ? KYREL_WANT_KEY_OR_END : KYREL_WANT_VALUE_OR_END;
                    continue;
                }
                if (c == '"') {
                    p = kyrel_json_skip_string(p);
                    if (!p) goto done;
                } else {
                    if (kyrel_json_ends_scalar(c)) goto done;
                    while (!kyrel_json_ends_scalar(*p)) p++;
                }
            }
        } else { /* after a value */
            if (c == ',') {
                p++;
                want = open[depth - 1] == '{' ? KYREL_WANT_KEY : KYREL_WANT_VALUE;
                continue;
            }
            if (c != (open[depth - 1] == '{' ? '}' : ']')) goto done;
            closes = 1;
        }
        if (closes) {
            depth--;
            p++;
            if (depth == 0) {
                while (kyrel_json_is_space(*p)) p++;
                rc = *p ? -1 : 0;
                goto done;
            }
        }
        /* A value has ended; at the top level it may be a member sought. */
        if (depth == 1 && target < count) {
            out[target].p = start;
            out[target].len = (size_t)(p - start);
            target = count;
        }
        want = KYREL_WANT_AFTER_VALUE;
    }
done:
    free(open);
    if (rc != 0) memset(out, 0, count * sizeof *out);
    return rc;
}
