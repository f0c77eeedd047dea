// Test harness JSON readers: a member reader (json_get, json_has) that finds
// a key only where it stands as a member name and decodes its string value,
// and a strict validator (json_strict_valid) for the JSON grammar with UTF-8,
// used to check that every reply the server sends is valid JSON.
#include "kyrel_test.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace kyrel_test {

namespace {

size_t skip_blanks(const std::string& s, size_t i) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) i++;
    return i;
}

// i at '"': index just past the closing quote, or npos.
size_t string_end(const std::string& s, size_t i) {
    for (i++; i < s.size(); i++) {
        if (s[i] == '\\')
            i++;
        else if (s[i] == '"')
            return i + 1;
    }
    return std::string::npos;
}

size_t value_end(const std::string& s, size_t i) {
    if (i >= s.size()) return std::string::npos;
    if (s[i] == '"') return string_end(s, i);
    if (s[i] == '{' || s[i] == '[') {
        int depth = 0;
        while (i < s.size()) {
            char c = s[i];
            if (c == '"') {
                i = string_end(s, i);
                if (i == std::string::npos) return i;
                continue;
            }
            if (c == '{' || c == '[') depth++;
            if (c == '}' || c == ']') {
                if (--depth == 0) return i + 1;
            }
            i++;
        }
        return std::string::npos;
    }
    while (i < s.size() && s[i] != ',' && s[i] != '}' && s[i] != ']') i++;
    return i;
}

std::string decode_string(const std::string& raw) {
    std::string out;
    for (size_t i = 1; i + 1 < raw.size(); i++) {
        char c = raw[i];
        if (c != '\\' || i + 2 >= raw.size()) {
            out += c;
            continue;
        }
        char e = raw[++i];
        switch (e) {
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u': {
            // \uXXXX (a surrogate pair as two) to UTF-8.
            auto hex4 = [&](size_t at, unsigned* v) {
                if (at + 4 > raw.size() - 1) return false;
                *v = 0;
                for (size_t k = at; k < at + 4; ++k) {
                    char h = raw[k];
                    int d = h >= '0' && h <= '9'   ? h - '0'
                            : h >= 'a' && h <= 'f' ? h - 'a' + 10
                            : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                                   : -1;
                    if (d < 0) return false;
                    *v = *v * 16 + static_cast<unsigned>(d);
                }
                return true;
            };
            unsigned cp = 0, low = 0;
            if (!hex4(i + 1, &cp)) {
                out += e;
                break;
            }
            i += 4;
            if (cp >= 0xd800 && cp < 0xdc00 && i + 2 < raw.size() && raw[i + 1] == '\\' &&
                raw[i + 2] == 'u' && hex4(i + 3, &low) && low >= 0xdc00 && low < 0xe000) {
                cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
                i += 6;
            }
            if (cp < 0x80) {
                out += static_cast<char>(cp);
            } else if (cp < 0x800) {
                out += static_cast<char>(0xc0 | (cp >> 6));
                out += static_cast<char>(0x80 | (cp & 0x3f));
            } else if (cp < 0x10000) {
                out += static_cast<char>(0xe0 | (cp >> 12));
                out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
                out += static_cast<char>(0x80 | (cp & 0x3f));
            } else {
                out += static_cast<char>(0xf0 | (cp >> 18));
                out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
                out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
                out += static_cast<char>(0x80 | (cp & 0x3f));
            }
            break;
        }
        default: out += e; break;
        }
    }
    return out;
}

bool find_member(const std::string& json, const std::string& key, std::string* raw) {
    size_t i = skip_blanks(json, 0);
    if (i >= json.size() || json[i] != '{') return false;
    i++;
    while (true) {
        i = skip_blanks(json, i);
        if (i >= json.size() || json[i] != '"') return false;
        size_t kend = string_end(json, i);
        if (kend == std::string::npos) return false;
        std::string name = decode_string(json.substr(i, kend - i));
        i = skip_blanks(json, kend);
        if (i >= json.size() || json[i] != ':') return false;
        i = skip_blanks(json, i + 1);
        size_t vend = value_end(json, i);
        if (vend == std::string::npos) return false;
        if (name == key) {
            std::string v = json.substr(i, vend - i);
            while (!v.empty() && (v.back() == ' ' || v.back() == '\n')) v.pop_back();
            *raw = v;
            return true;
        }
        i = skip_blanks(json, vend);
        if (i >= json.size() || json[i] != ',') return false;
        i++;
    }
}

}  // namespace

std::string json_get(const std::string& json, const std::string& key) {
    std::string raw;
    if (!find_member(json, key, &raw)) return "";
    if (!raw.empty() && raw[0] == '"') return decode_string(raw);
    return raw;
}

bool json_has(const std::string& json, const std::string& key) {
    std::string raw;
    return find_member(json, key, &raw);
}

namespace {

// Length of the well-formed UTF-8 sequence at i, or 0.
size_t utf8_len_at(const std::string& s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    if (c < 0x80) return 1;
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        lo = c == 0xE0 ? 0xA0 : 0x80;
        hi = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        lo = c == 0xF0 ? 0x90 : 0x80;
        hi = c == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (i + len > s.size() || b(i + 1) < lo || b(i + 1) > hi) return 0;
    for (size_t k = 2; k < len; k++)
        if ((b(i + k) & 0xC0) != 0x80) return 0;
    return len;
}

long hex4_at(const std::string& s, size_t i) {
    if (i + 4 > s.size()) return -1;
    long v = 0;
    for (size_t k = i; k < i + 4; k++) {
        const char c = s[k];
        int h = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (h < 0) return -1;
        v = v * 16 + h;
    }
    return v;
}

// i at '"': just past the closing quote of a strictly valid string, or npos.
size_t strict_string_end(const std::string& s, size_t i) {
    for (i++; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '"') return i + 1;
        if (c < 0x20) return std::string::npos;
        if (c != '\\') {
            size_t len = utf8_len_at(s, i);
            if (len == 0) return std::string::npos;
            i += len;
            continue;
        }
        if (i + 1 >= s.size()) return std::string::npos;
        const char e = s[i + 1];
        if (e != 'u') {
            if (!strchr("\"\\/bfnrt", e) || e == '\0') return std::string::npos;
            i += 2;
            continue;
        }
        const long unit = hex4_at(s, i + 2);
        if (unit < 0 || (unit >= 0xDC00 && unit <= 0xDFFF)) return std::string::npos;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 7 >= s.size() || s[i + 6] != '\\' || s[i + 7] != 'u') return std::string::npos;
            const long low = hex4_at(s, i + 8);
            if (low < 0xDC00 || low > 0xDFFF) return std::string::npos;
            i += 12;
        } else {
            i += 6;
        }
    }
    return std::string::npos;
}

// i at the first character of a number: just past it, or npos.
size_t strict_number_end(const std::string& s, size_t i) {
    const auto digit = [&](size_t k) { return k < s.size() && s[k] >= '0' && s[k] <= '9'; };
    if (i < s.size() && s[i] == '-') i++;
    if (!digit(i)) return std::string::npos;
    if (s[i] == '0') {
        i++;
    } else {
        while (digit(i)) i++;
    }
    if (i < s.size() && s[i] == '.') {
        if (!digit(++i)) return std::string::npos;
        while (digit(i)) i++;
    }
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        i++;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) i++;
        if (!digit(i)) return std::string::npos;
        while (digit(i)) i++;
    }
    return i;
}

}  // namespace

bool json_strict_valid(const std::string& s) {
    // Open containers; for an object, whether a member name comes next.
    struct Open {
        char kind;
        bool want_name;
    };
    std::vector<Open> stack;
    size_t i = skip_blanks(s, 0);
    for (;;) {
        // A value starts at i (or, in an object, a member name).
        if (i >= s.size()) return false;
        if (!stack.empty() && stack.back().kind == '{' && stack.back().want_name) {
            if (s[i] != '"') return false;
            i = strict_string_end(s, i);
            if (i == std::string::npos) return false;
            i = skip_blanks(s, i);
            if (i >= s.size() || s[i] != ':') return false;
            stack.back().want_name = false;
            i = skip_blanks(s, i + 1);
            continue;
        }
        const char c = s[i];
        if (c == '{' || c == '[') {
            stack.push_back({c, c == '{'});
            i = skip_blanks(s, i + 1);
            if (i < s.size() && s[i] == (c == '{' ? '}' : ']')) {
                stack.pop_back();
                i++;
            } else {
                continue;
            }
        } else if (c == '"') {
            i = strict_string_end(s, i);
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            i = strict_number_end(s, i);
        } else {
            bool word = false;
            for (const char* w : {"true", "false", "null"})
                if (s.compare(i, strlen(w), w) == 0) {
                    i += strlen(w);
                    word = true;
                    break;
                }
            if (!word) return false;
        }
        if (i == std::string::npos) return false;
        // After a value: close containers, or go on after a comma.
        for (;;) {
            i = skip_blanks(s, i);
            if (stack.empty()) return i == s.size();
            if (i >= s.size()) return false;
            const char close = stack.back().kind == '{' ? '}' : ']';
            if (s[i] == ',') {
                if (stack.back().kind == '{') stack.back().want_name = true;
                i = skip_blanks(s, i + 1);
                break;
            }
            if (s[i] != close) return false;
            stack.pop_back();
            i++;
        }
    }
}

}  // namespace kyrel_test
