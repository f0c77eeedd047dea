// The JSON member rule and string decoding of the server and the router (see
// json_scan.h).
#include "json_scan.h"

#include <cctype>
#include <cstring>

namespace {

const char* skip_blanks(const char* p) {
    while (*p && isspace(static_cast<unsigned char>(*p))) p++;
    return p;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

size_t utf8_encode(unsigned long cp, char* out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

}  // namespace

const char* scan_json_string_end(const char* p) {
    if (!p || *p != '"') return nullptr;
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

const char* json_find_key(const char* json, const char* key) {
    if (!json || !key) return nullptr;
    size_t klen = strlen(key);
    if (klen > 124) return nullptr;
    const char* p = json;
    while (*p) {
        if (*p != '"') {
            p++;
            continue;
        }
        const char* end = scan_json_string_end(p);
        if (!end) return nullptr;
        size_t body = static_cast<size_t>(end - p) - 2;
        if (body == klen && memcmp(p + 1, key, klen) == 0 && *skip_blanks(end) == ':') return p;
        p = end;  // a value or a different name: skip it whole
    }
    return nullptr;
}

const char* json_member_value(const char* json, const char* key) {
    const char* k = json_find_key(json, key);
    if (!k) return nullptr;
    const char* e = scan_json_string_end(k);
    if (!e) return nullptr;
    e = skip_blanks(e);
    if (*e != ':') return nullptr;
    return skip_blanks(e + 1);
}

long json_hex4(const char* s, size_t n) {
    if (n < 4) return -1;
    long v = 0;
    for (int i = 0; i < 4; i++) {
        int h = hex_value(s[i]);
        if (h < 0) return -1;
        v = v * 16 + h;
    }
    return v;
}

int json_decode_string(const char* s, size_t n, char* out, size_t limit, size_t* written,
                       bool* cut) {
    size_t w = 0;
    bool dropped = false;
    auto put = [&](const char* bytes, size_t len) {
        if (dropped || w + len > limit) {
            dropped = true;
            return;
        }
        memcpy(out + w, bytes, len);
        w += len;
    };
    size_t i = 0;
    while (i < n) {
        char c = s[i];
        if (c != '\\' || i + 1 >= n) {
            put(&c, 1);
            i++;
            continue;
        }
        char e = s[i + 1];
        char one = e;
        switch (e) {
        case 'b': one = '\b'; break;
        case 'f': one = '\f'; break;
        case 'n': one = '\n'; break;
        case 'r': one = '\r'; break;
        case 't': one = '\t'; break;
        case 'u': {
            long hi = json_hex4(s + i + 2, n - (i + 2));
            if (hi <= 0) return -1;  // malformed, or \u0000
            unsigned long cp = static_cast<unsigned long>(hi);
            size_t used = 6;
            if (cp >= 0xDC00 && cp <= 0xDFFF) return -1;  // low half alone
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                if (i + 12 > n || s[i + 6] != '\\' || s[i + 7] != 'u') return -1;
                long lo = json_hex4(s + i + 8, n - (i + 8));
                if (lo < 0xDC00 || lo > 0xDFFF) return -1;
                cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<unsigned long>(lo) - 0xDC00);
                used = 12;
            }
            char buf[4];
            size_t len = utf8_encode(cp, buf);
            put(buf, len);
            i += used;
            continue;
        }
        default: break;  // \" \\ \/ and any other character stand for themselves
        }
        put(&one, 1);
        i += 2;
    }
    *written = w;
    if (cut) *cut = dropped;
    return 0;
}
