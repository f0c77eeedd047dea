// Small text helpers shared by the stored-procedure units: message writing,
// trimmed/normalised std::string copies, JSON-escaped copies and owned heap
// copies (released with free(), held in CStr).
#pragma once

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/err.h"
#include "base/json_text.h"
#include "base/owned.h"
#include "base/sql_scan.h"
#include "base/text_util.h"
#include "query/sql_split.h"

// Writes a formatted message into (err, errlen); always returns -1.
__attribute__((format(printf, 3, 4))) inline int sp_fail(char* err, size_t errlen, const char* fmt,
                                                         ...) {
    va_list ap;
    va_start(ap, fmt);
    set_verrf(err, errlen, fmt, ap);
    va_end(ap);
    return -1;
}

// Steps over quoted text while scanning s at i: true when s[i] opens, lies
// inside or closes a '...' or "..." literal (a backslash inside one also
// consumes the byte after it), so the caller skips it as no separator.
inline bool sp_skip_quoted(const char* s, size_t& i, char& quote) {
    char c = s[i];
    if (quote) {
        if (c == '\\')
            ++i;
        else if (c == quote)
            quote = 0;
        return true;
    }
    if (c == '\'' || c == '"') {
        quote = c;
        return true;
    }
    return false;
}

inline void sp_clear(char* buf, size_t cap) {
    if (buf && cap > 0) buf[0] = '\0';
}

// trim_ws (leading blanks; trailing blanks and ';') on a copy.
inline std::string sp_trim(const std::string& s) { return sql_trimmed(s); }

// normalize_sql_ws then trim_ws on a copy.
inline std::string sp_norm_trim(const std::string& s) {
    std::vector<char> buf(s.begin(), s.end());
    buf.push_back('\0');
    normalize_sql_ws(buf.data());
    trim_ws(buf.data());
    return std::string(buf.data());
}

inline std::string sp_cut(const char* s, size_t max_bytes) {
    if (!s) return std::string();
    size_t n = strnlen(s, max_bytes);
    return std::string(s, n);
}

inline bool sp_ci_starts(const std::string& s, const char* prefix) {
    return ci_starts(s.c_str(), prefix) != 0;
}

// Case-insensitive substring search from position from; npos when absent.
inline size_t sp_ci_find(const std::string& s, const char* needle, size_t from = 0) {
    size_t n = strlen(needle);
    if (n == 0 || s.size() < n) return std::string::npos;
    for (size_t i = from; i + n <= s.size(); ++i) {
        if (strncasecmp(s.c_str() + i, needle, n) == 0) return i;
    }
    return std::string::npos;
}

inline bool sp_ci_equal(const std::string& s, const char* word) {
    return strcasecmp(s.c_str(), word) == 0;
}

inline bool sp_is_ws(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }
inline bool sp_is_ident_start(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
inline bool sp_is_ident_char(char c) { return sp_is_ident_start(c) || (c >= '0' && c <= '9'); }

// Heap copy released with free(); NULL when memory runs out.
inline char* sp_dup(const std::string& s) { return xstrndup(s.data(), s.size()); }
