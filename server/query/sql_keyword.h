// The keyword scanner of the DDL parsers: a cursor walks a mutable,
// normalised and trimmed copy of the statement, skipping blanks (space, tab,
// CR, LF), consuming keywords in any case and reading simple tokens that end
// at a blank, '(', ')', ',' or '='.
#pragma once

#include <cstddef>

#include "base/owned.h"

// The normalised, trimmed owned copy a cursor walks (NULL reads as "");
// NULL with a message when memory runs out.
CStr sql_keyword_copy(const char* sql, char* err, size_t errlen);
// 1 for the blanks the scanner skips: space, tab, CR and LF.
int sql_keyword_blank(char c);

void sql_skip_ws_mut(char** cursor);
// 1 when only blanks remain at cursor.
int sql_at_end_mut(char* cursor);
// 1 when c ends a keyword: end of text, whitespace, '(', ')', ',' or '='.
int sql_keyword_delim(char c);
// Skips blanks; when the keyword (any case) follows with a delimiter after it,
// advances past it and returns 1; else leaves the cursor and returns 0.
int sql_consume_keyword_mut(char** cursor, const char* keyword);
// Skips blanks and reads up to whitespace, '(', ')', ',' or '='.  Messages:
// "missing %s", "%s too long" (label defaults to "token").
int sql_read_simple_token(char** cursor, char* out, size_t cap, const char* label, char* err,
                          size_t errlen);
// From a '(' the matching ')', skipping quoted strings; nullptr if unbalanced.
const char* sql_find_matching_rparen(const char* open);
