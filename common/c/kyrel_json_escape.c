/* JSON string escaping of the system's clients (rules: kyrel_json_escape.h). */
#include "kyrel_json_escape.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

/* The escape of c, or NULL when c is copied (or takes a \u escape). */
static const char* kyrel_json_short_escape(unsigned char c) {
    switch (c) {
    case '"': return "\\\"";
    case '\\': return "\\\\";
    case '\b': return "\\b";
    case '\t': return "\\t";
    case '\n': return "\\n";
    case '\f': return "\\f";
    case '\r': return "\\r";
    default: return NULL;
    }
}

char* kyrel_json_escape(const char* text) {
    static const char hex[] = "0123456789abcdef";
    const unsigned char* in = (const unsigned char*)(text ? text : "");
    size_t in_len = strlen((const char*)in);
    size_t n = 0, i;
    char* out;
    char* w;
    if (in_len > (SIZE_MAX - 1) / 6) return NULL;
    for (i = 0; i < in_len; i++) {
        if (kyrel_json_short_escape(in[i]))
            n += 2;
        else
            n += in[i] < 0x20 ? 6 : 1;
    }
    out = (char*)malloc(n + 1);
    if (!out) return NULL;
    w = out;
    for (i = 0; i < in_len; i++) {
        const unsigned char c = in[i];
        const char* esc = kyrel_json_short_escape(c);
        if (esc) {
            *w++ = esc[0];
            *w++ = esc[1];
        } else if (c < 0x20) {
            memcpy(w, "\\u00", 4);
            w[4] = hex[c >> 4];
            w[5] = hex[c & 0x0F];
            w += 6;
        } else {
            *w++ = (char)c;
        }
    }
    *w = '\0';
    return out;
}
