// The small pieces every statement parser of the query floor shares: the
// refusal (message, then -1), the blank and quote tests, the load of a
// statement into a bounded work buffer and the plain value token.
#pragma once

#include <cstddef>
#include <string>

#include "base/err.h"

// Writes msg into (err, errlen) and returns -1: a parser's refusal.
inline int sql_fail(char* err, size_t errlen, const char* msg) {
    set_err(err, errlen, msg);
    return -1;
}

// The C-locale isspace set.
bool sql_is_blank(char c);
// A quote that opens a SQL string: ' or ".
inline bool sql_is_quote(char c) { return c == '\'' || c == '"'; }

// Copies sql (NULL reads as "") into buf of cap bytes, then normalises its
// blanks and trims it. The statement must fit whole, since a cut statement
// could say something else; trailing blanks and semicolons do not count.
// -1 "<what> statement too long" when it does not fit.
int sql_load_statement(const char* sql, char* buf, size_t cap, const char* what, char* err,
                       size_t errlen);

// A value for a non-string column: one bare token without blanks or JSON
// structure characters, so that it cannot add members or close the row.
bool sql_is_plain_value_token(const std::string& v);
