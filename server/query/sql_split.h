// Top-level splitting of SQL text for the statement parsers. Quoted strings
// are skipped exactly as sql_skip_quoted_string does (a backslash escapes the
// next byte, a doubled quote stays inside), so every parser agrees on where a
// literal ends.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct SqlSpan {
    const char* begin;
    const char* end;  // one past the last byte
};

// Splits [begin, end) at every `sep` outside quotes and parentheses.
// 0 on success; -1 when a quoted string is unterminated or a "(" unclosed.
int sql_split_top_level(const char* begin, const char* end, char sep, std::vector<SqlSpan>* out);

// First `sep` outside quotes and parentheses in [begin, end), or NULL (also
// when a quote is unterminated).
const char* sql_find_top_level_sep(const char* begin, const char* end, char sep);

// The ")" that closes the "(" at `open`, searching up to `end`; NULL when the
// text ends first or a quoted string is unterminated.
const char* sql_find_matching_paren(const char* open, const char* end);

// Copy of [begin, end) with trim_ws applied.
std::string sql_trimmed(const char* begin, const char* end);
inline std::string sql_trimmed(SqlSpan s) { return sql_trimmed(s.begin, s.end); }
inline std::string sql_trimmed(const std::string& s) {
    return sql_trimmed(s.data(), s.data() + s.size());
}

// 1 when text is exactly one complete quoted string, or one bare token (no
// whitespace, no quotes, parentheses balanced); 0 otherwise (also for empty
// text).
int sql_is_single_literal(const std::string& text);

// 1 when every quoted string in [begin, end) is terminated and the
// parentheses outside them pair up (no ")" before its "(", none left open).
int sql_is_balanced(const char* begin, const char* end);

// Collapses in place every run of blanks outside quoted strings to one blank,
// so keywords match however many blanks the client typed between them.
void sql_collapse_blanks(char* s);
