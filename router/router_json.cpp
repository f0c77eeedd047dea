// JSON member lookup, string decoding and the reply writers of the router
// (the member rule is described in router_json.h).
#include "router_json.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>

#include "router_wire.h"

namespace {

const char* skip_blanks(const char* p) {
    while (*p && isspace(static_cast<unsigned char>(*p))) p++;
    return p;
}

// p at a double quote: just past the closing quote, a backslash and the byte
// after it being skipped together; NULL when the string is unterminated.
const char* string_end(const char* p) {
    const char* s = p + 1;
    while (*s) {
        if (s[0] == '\\' && s[1]) {
            s += 2;
            continue;
        }
        if (*s == '"') return s + 1;
        s++;
    }
    return nullptr;
}

// The quoted string [p, end) is the key followed by optional blanks and ':'.
bool is_member_name(const char* p, const char* end, const char* key, size_t klen) {
    return static_cast<size_t>(end - p) == klen + 2 && memcmp(p + 1, key, klen) == 0 &&
           *skip_blanks(end) == ':';
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Four hex digits at s, within the n bytes left; -1 when malformed.
long read_hex4(const char* s, size_t n) {
    if (n < 4) return -1;
    long v = 0;
    for (int i = 0; i < 4; i++) {
        int h = hex_value(s[i]);
        if (h < 0) return -1;
        v = v * 16 + h;
    }
    return v;
}

void append_utf8(unsigned long cp, std::string& out) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Decodes the n-byte body of a JSON string into out; -1 for \u0000, a
// malformed \u escape or an unpaired surrogate. May throw std::bad_alloc.
int decode_string(const char* s, size_t n, std::string& out) {
    size_t i = 0;
    while (i < n) {
        char c = s[i];
        if (c != '\\' || i + 1 >= n) {
            out.push_back(c);
            i++;
            continue;
        }
        char e = s[i + 1];
        switch (e) {
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u': {
            long hi = read_hex4(s + i + 2, n - (i + 2));
            if (hi <= 0) return -1;  // malformed, or \u0000
            unsigned long cp = static_cast<unsigned long>(hi);
            size_t used = 6;
            if (cp >= 0xDC00 && cp <= 0xDFFF) return -1;  // low half alone
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                if (i + 12 > n || s[i + 6] != '\\' || s[i + 7] != 'u') return -1;
                long lo = read_hex4(s + i + 8, n - (i + 8));
                if (lo < 0xDC00 || lo > 0xDFFF) return -1;
                cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<unsigned long>(lo) - 0xDC00);
                used = 12;
            }
            append_utf8(cp, out);
            i += used;
            continue;
        }
        default: out.push_back(e); break;  // \" \\ \/ and any other pair
        }
        i += 2;
    }
    return 0;
}

// The raw (still escaped) body of the string value of member key:
// [*begin, *end). -1 when absent, not a string or unterminated.
int find_string_value(const char* json, const char* key, const char** begin, const char** end) {
    const char* k = json_find_key(json, key);
    if (k == nullptr) return -1;
    const char* p = skip_blanks(string_end(k));
    if (*p != ':') return -1;
    p = skip_blanks(p + 1);
    if (*p != '"') return -1;
    const char* q = string_end(p);
    if (q == nullptr) return -1;
    *begin = p + 1;
    *end = q - 1;
    return 0;
}

}  // namespace

const char* json_find_key(const char* json, const char* key) {
    if (json == nullptr || key == nullptr) return nullptr;
    size_t klen = strlen(key);
    if (klen > 124) return nullptr;
    const char* p = json;
    while (*p) {
        if (*p != '"') {
            p++;
            continue;
        }
        const char* end = string_end(p);
        if (end == nullptr) return nullptr;
        if (is_member_name(p, end, key, klen)) return p;
        p = end;  // a value or another name: skipped whole
    }
    return nullptr;
}

int json_member_is_unambiguous(const char* json, const char* key) {
    const char* first = json_find_key(json, key);
    if (first == nullptr) return 1;
    size_t klen = strlen(key);
    const char* p = skip_blanks(json);
    if (*p != '{') return 0;
    // Depth counts braces and brackets outside strings; the outermost
    // object's own members stand at depth 1 until that object closes.
    int depth = 0;
    bool outer_closed = false;
    int at_top = 0;
    while (*p) {
        char c = *p;
        if (c == '"') {
            const char* end = string_end(p);
            if (end == nullptr) break;
            if (is_member_name(p, end, key, klen)) {
                bool top = depth == 1 && !outer_closed;
                if (p == first && !top) return 0;  // the backend would read a nested decoy
                if (top && ++at_top > 1) return 0;
            }
            p = end;
            continue;
        }
        if (c == '{' || c == '[') {
            depth++;
        } else if (c == '}' || c == ']') {
            if (--depth <= 0) outer_closed = true;
        }
        p++;
    }
    return 1;
}

int json_extract_string(const char* json, const char* key, char* out, size_t cap) {
    if (out == nullptr || cap == 0) return -1;
    out[0] = '\0';
    const char *b, *e;
    if (find_string_value(json, key, &b, &e) != 0) return -1;
    std::string v;
    try {
        if (decode_string(b, static_cast<size_t>(e - b), v) != 0) return -1;
    } catch (const std::bad_alloc&) {
        return -1;
    }
    size_t n = v.size() >= cap ? cap - 1 : v.size();
    memcpy(out, v.data(), n);
    out[n] = '\0';
    router_wipe(v.data(), v.size());  // values may be passwords
    return n < v.size() ? -2 : 0;
}

int json_extract_string_alloc(const char* json, const char* key, size_t limit, std::string& out) {
    if (limit == 0 || limit > ROUTER_MAX_FRAME) limit = ROUTER_MAX_FRAME;
    const char *b, *e;
    if (find_string_value(json, key, &b, &e) != 0) return -1;
    if (static_cast<size_t>(e - b) > limit) return -2;
    try {
        out.clear();
        out.reserve(static_cast<size_t>(e - b));
        if (decode_string(b, static_cast<size_t>(e - b), out) != 0) {
            out.clear();
            return -1;
        }
    } catch (const std::bad_alloc&) {
        return -3;
    }
    return 0;
}

std::string json_escape(const char* text) {
    std::string out;
    if (text == nullptr) return out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; p++) {
        unsigned char c = *p;
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char tmp[8];
                snprintf(tmp, sizeof tmp, "\\u%04x", c);
                out += tmp;
            } else {
                out.push_back(static_cast<char>(c));
            }
        }
    }
    return out;
}

std::string make_error_json(const char* text) {
    try {
        return "{\"ok\":false,\"error\":\"" + json_escape(text ? text : "error") + "\"}";
    } catch (const std::bad_alloc&) {
        return "{\"ok\":false,\"error\":\"oom\"}";
    }
}

std::string make_ok_message_json(const char* text) {
    try {
        return "{\"ok\":true,\"message\":\"" + json_escape(text ? text : "") + "\"}";
    } catch (const std::bad_alloc&) {
        return "{\"ok\":true}";
    }
}
