// Text, JSON and SQL scanning helpers shared by every part of the server.
//
// The server handles requests, rows and catalog values as JSON text and never
// builds a syntax tree; these routines are its only tools for that: owned
// copies, in-place trimming, case-insensitive prefix tests, top-level SQL
// scanners (outside quotes and parentheses), JSON escaping and extractors that
// find a member by name and copy out its value.
//
// Conventions: whitespace is the C-locale isspace set; case-insensitive means
// ASCII toupper equality; heap results belong to the caller and are released
// with free(); bounded copies are cut at capacity - 1 and always terminated.
#pragma once

#include <cstddef>

// ---- owned copies ---------------------------------------------------------
char *xstrdup2(const char *s);                 // NULL for NULL or out of memory
char *xstrndup2(const char *s, size_t n);      // first n bytes + NUL
void free_string_array(char **arr, int count); // frees entries, then the array

// ---- in-place editing (NULL is a no-op) -----------------------------------
// Strips trailing whitespace and semicolons, then leading whitespace.
void trim_ws(char *s);
void strtoupper(char *s);
// Backslash + r/n/t (two characters) and real CR/LF/TAB each become one blank.
void normalize_sql_ws(char *s);
// Copies min(n, cap - 1) bytes of src into dest, then trims dest.
void copy_substr_trim(char *dest, size_t cap, const char *src, size_t n);

// ---- prefix and substring tests -------------------------------------------
const char *skip_ws(const char *p);
char *skip_ws(char *p);
int ci_starts(const char *text, const char *prefix);
int sql_ci_match_at(const char *pos, const char *keyword);
const char *ci_find(const char *haystack, const char *needle);
char *ci_find(char *haystack, const char *needle);

// ---- SQL top-level scanners -----------------------------------------------
// Past the closing quote of a '...' or "..." string at p; p itself when p is
// not at a quote; NULL when unterminated (or p is NULL).
const char *sql_skip_quoted_string(const char *p);
const char *sql_find_top_level_ci(const char *sql, const char *needle);
char *sql_find_top_level_ci(char *sql, const char *needle);
const char *sql_find_top_level_char(const char *sql, char c);
char *sql_find_top_level_char(char *sql, char c);
// First top-level comparison operator; *op receives its static text or NULL.
const char *sql_find_top_level_operator(const char *sql, const char **op);
char *sql_find_top_level_operator(char *sql, const char **op);
// Copies [start, end) into dest and trims it. Errors: "%s too long" (label
// default "SQL clause"), "bad %s" (label default "SQL span").
int sql_copy_span_trim(char *dest, size_t cap, const char *start, const char *end,
                       const char *label, char *err, size_t errlen);

// ---- JSON writing ----------------------------------------------------------
char *json_escape_string(const char *s);  // NULL input reads as ""
char *json_quote_token(const char *s);    // "\"" + escaped + "\""
// {"ok":false,"error":"<escaped message>"}; NULL message -> "error"; falls
// back to {"ok":false,"error":"oom"} when memory runs out.
char *make_error_json(const char *message);

// ---- JSON reading ----------------------------------------------------------
// Opening quote of the first member NAME equal to key (a quoted string outside
// any string value, followed by optional blanks and ':'), at any depth; NULL
// when absent. Text inside string values never matches.
const char *json_find_key(const char *json, const char *key);
char *json_find_key(char *json, const char *key);
// p at a double quote: just past the closing quote; NULL otherwise.
const char *scan_json_string_end(const char *p);
// End of the value that starts at p (after blanks); NULL when unterminated.
const char *scan_json_value_end(const char *p);
// Decodes the escapes of a JSON string body (\" \\ \/ \b \f \n \r \t and
// \uXXXX with surrogate pairs, written as UTF-8). NULL gives "". Returns NULL
// when memory runs out or the text holds \u0000, a malformed \u escape or an
// unpaired surrogate.
char *json_unescape_fragment(const char *text);
// Decoded string value of member key into dest (cut at cap - 1). 0 / -1.
int json_extract_string(const char *json, const char *key, char *dest, size_t cap);
int json_extract_string_alloc(const char *json, const char *key, char **out);
// Raw value text (strings keep quotes and escapes).
int json_extract_raw(const char *json, const char *key, char **out);
int json_extract_object_raw(const char *json, const char *key, char **out);
// Each element of an array of objects as raw text; empty array -> 0, NULL, 0.
int json_extract_array_objects_raw(const char *json, const char *key, char ***out,
                                   int *count);
// Integer value (strtol base 10 semantics, saturating); 0 if a digit was read.
int json_extract_ll(const char *json, const char *key, long long *out);
int json_extract_int2(const char *json, const char *key, int *out);

// A literal nullptr picks neither the const nor the mutable overload above.
inline const char *skip_ws(std::nullptr_t) { return nullptr; }
inline const char *ci_find(std::nullptr_t, const char *) { return nullptr; }
inline const char *sql_find_top_level_ci(std::nullptr_t, const char *) { return nullptr; }
inline const char *sql_find_top_level_char(std::nullptr_t, char) { return nullptr; }
inline const char *sql_find_top_level_operator(std::nullptr_t, const char **op) {
  if (op) *op = nullptr;
  return nullptr;
}
inline const char *json_find_key(std::nullptr_t, const char *) { return nullptr; }
