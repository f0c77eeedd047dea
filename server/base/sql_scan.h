// SQL text scanning: whitespace normalisation and the top-level scanners that
// look for a keyword, a character or a comparison operator outside quoted
// strings and parentheses. The server never builds a syntax tree; every SQL
// parser is written on these.
//
// Quoting rule shared by every scanner: a string opens with ' or ", a
// backslash escapes the next byte, and a doubled quote stays inside it.
#pragma once

#include <cstddef>

// Backslash + r/n/t (two characters) and real CR/LF/TAB each become one blank.
void normalize_sql_ws(char* s);
int sql_ci_match_at(const char* pos, const char* keyword);

// Past the closing quote of a '...' or "..." string at p; p itself when p is
// not at a quote; NULL when unterminated (or p is NULL).
const char* sql_skip_quoted_string(const char* p);
const char* sql_find_top_level_ci(const char* sql, const char* needle);
char* sql_find_top_level_ci(char* sql, const char* needle);
const char* sql_find_top_level_char(const char* sql, char c);
char* sql_find_top_level_char(char* sql, char c);
// Start of what follows the statement in sql: the first text other than
// blanks and ';' after a ';' that stands outside quoted strings and outside
// a $$ ... $$ procedure body. NULL when the text holds one statement (also
// when a quote or a body is left open: the statement's parser reports it).
const char* sql_text_after_statement(const char* sql);
// First top-level comparison operator; *op receives its static text or NULL.
const char* sql_find_top_level_operator(const char* sql, const char** op);
char* sql_find_top_level_operator(char* sql, const char** op);
// Copies [start, end) into dest and trims it. Errors: "%s too long" (label
// default "SQL clause"), "bad %s" (label default "SQL span").
int sql_copy_span_trim(char* dest, size_t cap, const char* start, const char* end,
                       const char* label, char* err, size_t errlen);

// A literal nullptr picks neither the const nor the mutable overload above.
inline const char* sql_find_top_level_ci(std::nullptr_t, const char*) { return nullptr; }
inline const char* sql_find_top_level_char(std::nullptr_t, char) { return nullptr; }
inline const char* sql_find_top_level_operator(std::nullptr_t, const char** op) {
    if (op) *op = nullptr;
    return nullptr;
}
