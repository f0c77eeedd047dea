// Plain text helpers (see text_util.h for the contracts).
#include "base/text_util.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

bool is_ws(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

char up(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

}  // namespace

// ---- owned copies ---------------------------------------------------------

char* xstrdup(const char* s) {
    if (!s) return nullptr;
    return xstrndup(s, strlen(s));
}

char* xstrndup(const char* s, size_t n) {
    if (!s || n == SIZE_MAX) return nullptr;
    char* r = static_cast<char*>(malloc(n + 1));
    if (!r) return nullptr;
    memcpy(r, s, n);
    r[n] = '\0';
    return r;
}

void free_string_array(char** arr, int count) {
    if (!arr) return;
    for (int i = 0; i < count; i++) free(arr[i]);
    free(arr);
}

// ---- in-place editing -----------------------------------------------------

void trim_ws(char* s) {
    if (!s) return;
    size_t len = strlen(s);
    while (len > 0 && (is_ws(s[len - 1]) || s[len - 1] == ';')) len--;
    s[len] = '\0';
    size_t lead = 0;
    while (lead < len && is_ws(s[lead])) lead++;
    if (lead > 0) memmove(s, s + lead, len - lead + 1);
}

void strtoupper(char* s) {
    if (!s) return;
    for (; *s; s++) *s = up(*s);
}

void copy_substr_trim(char* dest, size_t cap, const char* src, size_t n) {
    if (!dest || cap == 0) return;
    if (!src) {
        dest[0] = '\0';
        return;
    }
    size_t len = n < cap - 1 ? n : cap - 1;
    len = strnlen(src, len);  // never read past the source's end
    memcpy(dest, src, len);
    dest[len] = '\0';
    trim_ws(dest);
}

// ---- prefix and substring tests -------------------------------------------

const char* skip_ws(const char* p) {
    if (!p) return nullptr;
    while (is_ws(*p)) p++;
    return p;
}

char* skip_ws(char* p) { return const_cast<char*>(skip_ws(static_cast<const char*>(p))); }

int ci_starts(const char* text, const char* prefix) {
    if (!text || !prefix) return 0;
    for (; *prefix; prefix++, text++) {
        if (*text == '\0' || up(*text) != up(*prefix)) return 0;
    }
    return 1;
}

const char* ci_find(const char* haystack, const char* needle) {
    if (!haystack || !needle) return nullptr;
    if (!*needle) return haystack;
    for (const char* h = haystack; *h; h++) {
        if (ci_starts(h, needle)) return h;
    }
    return nullptr;
}

char* ci_find(char* haystack, const char* needle) {
    return const_cast<char*>(ci_find(static_cast<const char*>(haystack), needle));
}

// ---- UTF-8 ------------------------------------------------------------------

size_t utf8_sequence_len(const unsigned char* s, size_t n) {
    if (n == 0) return 0;
    const unsigned char c = s[0];
    if (c < 0x80) return 1;
    size_t len;
    // Range of the second byte: narrower than 0x80..0xBF exactly where an
    // overlong form, a surrogate or a code point above U+10FFFF would start.
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0) lo = 0xA0;  // overlong below U+0800
        if (c == 0xED) hi = 0x9F;  // U+D800..U+DFFF
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0) lo = 0x90;  // overlong below U+10000
        if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
        return 0;  // continuation byte, 0xC0/0xC1 (overlong) or 0xF5..0xFF
    }
    if (n < len || s[1] < lo || s[1] > hi) return 0;
    for (size_t i = 2; i < len; i++)
        if ((s[i] & 0xC0) != 0x80) return 0;
    return len;
}

bool utf8_valid(const char* s, size_t n, size_t* bad_at) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    size_t i = 0;
    while (i < n) {
        if (p[i] < 0x80) {
            i++;
            continue;
        }
        size_t len = utf8_sequence_len(p + i, n - i);
        if (len == 0) {
            if (bad_at) *bad_at = i;
            return false;
        }
        i += len;
    }
    return true;
}

std::vector<std::string> split_blanks(const char* line) {
    std::vector<std::string> out;
    const char* p = line ? line : "";
    while (*p) {
        while (*p == ' ' || *p == '\t') ++p;
        if (!*p) break;
        const char* b = p;
        while (*p && *p != ' ' && *p != '\t') ++p;
        out.emplace_back(b, static_cast<size_t>(p - b));
    }
    return out;
}

int text_lines(const std::string& text, size_t max_len, std::vector<std::string>* lines) {
    lines->clear();
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        std::string raw = text.substr(pos, nl - pos);
        pos = nl + 1;
        if (raw.size() > max_len || raw.find('\0') != std::string::npos)
            return static_cast<int>(lines->size()) + 1;
        std::vector<char> buf(raw.begin(), raw.end());
        buf.push_back('\0');
        trim_ws(buf.data());
        lines->emplace_back(buf.data());
    }
    return 0;
}
