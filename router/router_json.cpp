// JSON member lookup, string reading and the reply writers of the router
// (the member rule is described in router_json.h; the rule itself and the
// decoding of string bodies are the server's, shared through
// common/cpp/json_scan.h).
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

// The quoted string [p, end) is the key followed by optional blanks and ':'.
bool is_member_name(const char* p, const char* end, const char* key, size_t klen) {
    return static_cast<size_t>(end - p) == klen + 2 && memcmp(p + 1, key, klen) == 0 &&
           *skip_blanks(end) == ':';
}

// Decodes the n-byte body of a JSON string into out; -1 when it does not
// decode. May throw std::bad_alloc.
int decode_string(const char* s, size_t n, std::string& out) {
    out.resize(n);  // a decoded character never outgrows its escape
    size_t w = 0;
    if (json_decode_string(s, n, out.data(), n, &w, nullptr) != 0) {
        out.clear();
        return -1;
    }
    out.resize(w);
    return 0;
}

// The raw (still escaped) body of the string value of member key:
// [*begin, *end). -1 when absent, not a string or unterminated.
int find_string_value(const char* json, const char* key, const char** begin, const char** end) {
    const char* p = json_member_value(json, key);
    if (p == nullptr || *p != '"') return -1;
    const char* q = scan_json_string_end(p);
    if (q == nullptr) return -1;
    *begin = p + 1;
    *end = q - 1;
    return 0;
}

}  // namespace

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
            const char* end = scan_json_string_end(p);
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
        if (decode_string(b, static_cast<size_t>(e - b), out) != 0) return -1;
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
