// JSON text helpers (see json_text.h for the contracts and the member rule).
#include "base/json_text.h"

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "base/owned.h"
#include "base/text_util.h"

namespace {

const char kOomReply[] = "{\"ok\":false,\"error\":\"oom\"}";

// Drops a trailing multi-byte UTF-8 sequence left incomplete by a cut.
size_t utf8_safe_cut(const char* s, size_t len) {
    size_t back = 0;
    while (back < len && back < 4) {
        unsigned char c = static_cast<unsigned char>(s[len - 1 - back]);
        if ((c & 0xC0) != 0x80) {
            if (c < 0x80) return len;  // ASCII ends the text cleanly
            size_t need = (c >= 0xF0) ? 4 : (c >= 0xE0) ? 3 : (c >= 0xC0) ? 2 : 1;
            return (back + 1 >= need) ? len : len - 1 - back;
        }
        back++;
    }
    return len;
}

}  // namespace

// ---- JSON writing ---------------------------------------------------------

char* json_escape_string(const char* s) {
    if (!s) s = "";
    const unsigned char* in = reinterpret_cast<const unsigned char*>(s);
    const size_t in_len = strlen(s);
    if (in_len > (SIZE_MAX - 1) / 6) return nullptr;
    // Two passes over the same rules: the first (w == NULL) only counts.
    auto run = [&](char* w) -> size_t {
        size_t n = 0;
        auto put = [&](const void* bytes, size_t len) {
            if (w) memcpy(w + n, bytes, len);
            n += len;
        };
        for (size_t i = 0; i < in_len;) {
            const unsigned char c = in[i];
            if (c >= 0x80) {
                // Text cut inside a character, or read from an old file, must
                // not make the reply invalid: a malformed byte becomes U+FFFD.
                size_t len = utf8_sequence_len(in + i, in_len - i);
                if (len == 0) {
                    put("\\ufffd", 6);
                    i++;
                } else {
                    put(in + i, len);
                    i += len;
                }
                continue;
            }
            i++;
            const char* esc = nullptr;
            switch (c) {
            case '"': esc = "\\\""; break;
            case '\\': esc = "\\\\"; break;
            case '\t': esc = "\\t"; break;
            case '\n': esc = "\\n"; break;
            case '\r': esc = "\\r"; break;
            default: break;
            }
            if (esc) {
                put(esc, 2);
            } else if (c < 0x20) {
                char u[8];
                snprintf(u, sizeof u, "\\u%04x", c);
                put(u, 6);
            } else {
                put(&c, 1);
            }
        }
        return n;
    };
    const size_t out_len = run(nullptr);
    char* out = static_cast<char*>(malloc(out_len + 1));
    if (!out) return nullptr;
    run(out);
    out[out_len] = '\0';
    return out;
}

char* json_quote_token(const char* s) {
    if (!s) return xstrdup("\"\"");
    char* esc = json_escape_string(s);
    if (!esc) return nullptr;
    size_t len = strlen(esc);
    char* out = static_cast<char*>(malloc(len + 3));
    if (out) {
        out[0] = '"';
        memcpy(out + 1, esc, len);
        out[len + 1] = '"';
        out[len + 2] = '\0';
    }
    free(esc);
    return out;
}

std::string json_escaped(const char* s) {
    CStr e(json_escape_string(s));
    if (!e) throw std::bad_alloc();
    return std::string(e.get());
}

char* make_error_json(const char* message) {
    char* esc = json_escape_string(message ? message : "error");
    if (!esc) return xstrdup(kOomReply);
    size_t need = strlen(esc) + sizeof("{\"ok\":false,\"error\":\"\"}");
    char* out = static_cast<char*>(malloc(need));
    if (!out) {
        free(esc);
        return xstrdup(kOomReply);
    }
    snprintf(out, need, "{\"ok\":false,\"error\":\"%s\"}", esc);
    free(esc);
    return out;
}

void json_append_raw_member(std::string* out, bool* first, const char* name,
                            const std::string& value) {
    if (!*first) *out += ",";
    *first = false;
    *out += "\"";
    *out += name;
    *out += "\":";
    *out += value;
}

// ---- JSON reading ---------------------------------------------------------

char* json_find_key(char* json, const char* key) {
    return const_cast<char*>(json_find_key(static_cast<const char*>(json), key));
}

int json_is_one_string(const char* text) {
    if (!text || text[0] != '"') return 0;
    const char* end = scan_json_string_end(text);
    if (!end || *end != '\0') return 0;
    const size_t n = static_cast<size_t>(end - text);
    for (size_t i = 1; i + 1 < n; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20) return 0;
        if (c != '\\') continue;
        char e = text[++i];
        if (e == 'u') {
            if (i + 4 >= n - 1) return 0;
            for (int k = 1; k <= 4; ++k)
                if (!isxdigit(static_cast<unsigned char>(text[i + k]))) return 0;
            i += 4;
        } else if (e == '\0' || !strchr("\"\\/bfnrt", e)) {
            return 0;
        }
    }
    return 1;
}

const char* scan_json_value_end(const char* p) {
    if (!p) return nullptr;
    p = skip_ws(p);
    if (!*p) return nullptr;
    if (*p == '"') return scan_json_string_end(p);
    if (*p == '{' || *p == '[') {
        char open = *p;
        char close = open == '{' ? '}' : ']';
        long depth = 0;
        while (*p) {
            char c = *p;
            if (c == '"' || c == '\'') {
                p++;
                while (*p && *p != c) {
                    if (p[0] == '\\' && p[1]) p++;
                    p++;
                }
                if (!*p) return nullptr;
                p++;
                continue;
            }
            if (c == open) {
                depth++;
            } else if (c == close) {
                if (--depth == 0) return p + 1;
            }
            p++;
        }
        return nullptr;
    }
    while (*p && *p != ',' && *p != '}' && *p != ']' && *p != '\r' && *p != '\n') p++;
    return p;
}

char* json_unescape_fragment(const char* text) {
    if (!text) text = "";
    size_t n = strlen(text);
    char* out = static_cast<char*>(malloc(n + 1));
    if (!out) return nullptr;
    size_t w = 0;
    if (json_decode_string(text, n, out, n, &w, nullptr) != 0) {
        free(out);
        return nullptr;
    }
    out[w] = '\0';
    return out;
}

bool json_surrogates_paired(const char* s, size_t n, size_t* bad_at) {
    bool in_string = false;
    for (size_t i = 0; i < n; i++) {
        const char c = s[i];
        if (!in_string) {
            if (c == '"') in_string = true;
            continue;
        }
        if (c == '"') {
            in_string = false;
            continue;
        }
        if (c != '\\' || i + 1 >= n) continue;
        if (s[i + 1] != 'u') {
            i++;  // a one-character escape: skip the escaped character
            continue;
        }
        const long unit = json_hex4(s + i + 2, n - (i + 2));
        bool bad = unit >= 0xDC00 && unit <= 0xDFFF;  // low half alone
        size_t used = 6;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            const long lo = (i + 12 <= n && s[i + 6] == '\\' && s[i + 7] == 'u')
                                ? json_hex4(s + i + 8, n - (i + 8))
                                : -1;
            bad = lo < 0xDC00 || lo > 0xDFFF;
            used = 12;
        }
        if (bad) {
            if (bad_at) *bad_at = i;
            return false;
        }
        if (unit >= 0) i += used - 1;  // a malformed escape is left to the readers
    }
    return true;
}

int json_extract_string(const char* json, const char* key, char* dest, size_t cap) {
    if (!dest || cap == 0) return -1;
    const char* v = json_member_value(json, key);
    if (!v || *v != '"') return -1;
    const char* end = scan_json_string_end(v);
    if (!end) return -1;
    size_t w = 0;
    bool cut = false;
    if (json_decode_string(v + 1, static_cast<size_t>(end - v) - 2, dest, cap - 1, &w, &cut) != 0) {
        dest[0] = '\0';
        return -1;
    }
    if (cut) w = utf8_safe_cut(dest, w);
    dest[w] = '\0';
    return 0;
}

int json_extract_string_alloc(const char* json, const char* key, char** out) {
    if (!out) return -1;
    *out = nullptr;
    if (!json || !key) return -1;
    const char* v = json_member_value(json, key);
    if (!v || *v != '"') return -1;
    const char* end = scan_json_string_end(v);
    if (!end) return -1;
    size_t n = static_cast<size_t>(end - v) - 2;
    char* buf = static_cast<char*>(malloc((n < 32 ? 32 : n) + 1));
    if (!buf) return -1;
    size_t w = 0;
    if (json_decode_string(v + 1, n, buf, n, &w, nullptr) != 0) {
        free(buf);
        return -1;
    }
    buf[w] = '\0';
    *out = buf;
    return 0;
}

int json_extract_raw(const char* json, const char* key, char** out) {
    if (!out) return -1;
    *out = nullptr;
    const char* v = json_member_value(json, key);
    if (!v) return -1;
    const char* end = scan_json_value_end(v);
    if (!end) return -1;
    *out = xstrndup(v, static_cast<size_t>(end - v));
    return *out ? 0 : -1;
}

int json_extract_object_raw(const char* json, const char* key, char** out) {
    if (json_extract_raw(json, key, out) != 0) return -1;
    trim_ws(*out);
    if ((*out)[0] != '{') {
        free(*out);
        *out = nullptr;
        return -1;
    }
    return 0;
}

int json_extract_array_objects_raw(const char* json, const char* key, char*** out, int* count) {
    if (!out || !count) return -1;
    *out = nullptr;
    *count = 0;
    char* raw = nullptr;
    if (json_extract_raw(json, key, &raw) != 0) return -1;
    trim_ws(raw);
    char** arr = nullptr;
    int n = 0;
    bool ok = raw[0] == '[';
    const char* p = raw + 1;
    while (ok) {
        p = skip_ws(p);
        if (*p == ']' || *p == '\0') break;
        if (*p != '{' || n == INT_MAX) {
            ok = false;
            break;
        }
        const char* end = scan_json_value_end(p);
        char* elem = end ? xstrndup(p, static_cast<size_t>(end - p)) : nullptr;
        char** grown = elem ? static_cast<char**>(realloc(arr, sizeof(char*) * (n + 1))) : nullptr;
        if (!grown) {
            free(elem);
            ok = false;
            break;
        }
        arr = grown;
        arr[n++] = elem;
        p = skip_ws(end);
        if (*p == ',') p++;
    }
    free(raw);
    if (!ok) {
        free_string_array(arr, n);
        return -1;
    }
    *out = arr;
    *count = n;
    return 0;
}

int json_extract_ll(const char* json, const char* key, long long* out) {
    if (!out) return -1;
    const char* v = json_member_value(json, key);
    if (!v) return -1;
    char* end = nullptr;
    long long val = strtoll(v, &end, 10);
    if (end == v) return -1;
    *out = val;
    return 0;
}

int json_extract_int(const char* json, const char* key, int* out) {
    long long v = 0;
    if (!out || json_extract_ll(json, key, &v) != 0) return -1;
    *out = static_cast<int>(static_cast<uint32_t>(static_cast<unsigned long long>(v)));
    return 0;
}

namespace {

// Strict JSON grammar over [p, end): one value, nested at most 64 deep.
// Returns the position after the value, or NULL.
const char* json_skip_ws(const char* p, const char* end) {
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) ++p;
    return p;
}

const char* json_check_string(const char* p, const char* end) {
    if (p >= end || *p != '"') return nullptr;
    for (++p; p < end; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"') return p + 1;
        if (c < 0x20) return nullptr;
        if (c != '\\') continue;
        if (++p >= end) return nullptr;
        if (*p == 'u') {
            for (int k = 1; k <= 4; ++k)
                if (p + k >= end || !isxdigit(static_cast<unsigned char>(p[k]))) return nullptr;
            p += 4;
        } else if (*p == '\0' || !strchr("\"\\/bfnrt", *p)) {
            return nullptr;
        }
    }
    return nullptr;
}

const char* json_check_number(const char* p, const char* end) {
    auto digits = [&](const char* q) {
        const char* b = q;
        while (q < end && *q >= '0' && *q <= '9') ++q;
        return q == b ? nullptr : q;
    };
    if (p < end && *p == '-') ++p;
    if (p < end && *p == '0')
        ++p;
    else if (!(p = digits(p)))
        return nullptr;
    if (p < end && *p == '.' && !(p = digits(p + 1))) return nullptr;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p < end && (*p == '+' || *p == '-')) ++p;
        if (!(p = digits(p))) return nullptr;
    }
    return p;
}

const char* json_check_value(const char* p, const char* end, int depth) {
    p = json_skip_ws(p, end);
    if (p >= end) return nullptr;
    if (*p == '"') return json_check_string(p, end);
    if (*p == '{' || *p == '[') {
        if (depth >= 64) return nullptr;
        const char close = *p == '{' ? '}' : ']';
        p = json_skip_ws(p + 1, end);
        if (p < end && *p == close) return p + 1;
        for (;;) {
            if (close == '}') {
                p = json_check_string(json_skip_ws(p, end), end);
                if (!p) return nullptr;
                p = json_skip_ws(p, end);
                if (p >= end || *p != ':') return nullptr;
                ++p;
            }
            p = json_check_value(p, end, depth + 1);
            if (!p) return nullptr;
            p = json_skip_ws(p, end);
            if (p >= end) return nullptr;
            if (*p == close) return p + 1;
            if (*p != ',') return nullptr;
            ++p;
        }
    }
    for (const char* word : {"true", "false", "null"}) {
        const size_t n = strlen(word);
        if ((size_t)(end - p) >= n && memcmp(p, word, n) == 0) return p + n;
    }
    return json_check_number(p, end);
}

}  // namespace

bool json_text_is_object(const char* s, size_t n) {
    if (!s) return false;
    const char* end = s + n;
    const char* p = json_skip_ws(s, end);
    if (p >= end || *p != '{') return false;
    p = json_check_value(p, end, 0);
    return p && json_skip_ws(p, end) == end;
}
