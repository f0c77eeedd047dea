// Plain text helpers shared by every part of the server: owned copies,
// in-place trimming and case folding, case-insensitive prefix and substring
// tests. JSON lives in json_text.h, SQL scanning in sql_scan.h.
//
// Conventions: whitespace is the C-locale isspace set; case-insensitive means
// ASCII toupper equality; heap results belong to the caller and are released
// with free(); bounded copies are cut at capacity - 1 and always terminated.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// ---- owned copies ---------------------------------------------------------
char* xstrdup(const char* s);                   // NULL for NULL or out of memory
char* xstrndup(const char* s, size_t n);        // first n bytes + NUL
void free_string_array(char** arr, int count);  // frees entries, then the array

// ---- in-place editing (NULL is a no-op) -----------------------------------
// Strips trailing whitespace and semicolons, then leading whitespace.
void trim_ws(char* s);
void strtoupper(char* s);
// Copies min(n, cap - 1) bytes of src into dest, then trims dest.
void copy_substr_trim(char* dest, size_t cap, const char* src, size_t n);

// ---- prefix and substring tests -------------------------------------------
const char* skip_ws(const char* p);
char* skip_ws(char* p);
int ci_starts(const char* text, const char* prefix);
const char* ci_find(const char* haystack, const char* needle);
char* ci_find(char* haystack, const char* needle);

// ---- line files -------------------------------------------------------------
// Fields of a line split at blanks and tabs (no empty fields).
std::vector<std::string> split_blanks(const char* line);
// The lines of a whole file's text (split at line feeds, each trimmed with
// trim_ws; blank lines kept so that *lines[i] is line i + 1). 0, or the number
// of the first line longer than max_len bytes or holding a NUL byte.
int text_lines(const std::string& text, size_t max_len, std::vector<std::string>* lines);

// ---- UTF-8 ------------------------------------------------------------------
// True when the n bytes at s are well-formed UTF-8: no stray continuation
// byte, no sequence cut short, no overlong form, no encoded surrogate
// (U+D800..U+DFFF) and nothing above U+10FFFF. *bad_at (may be NULL) receives
// the offset of the first byte of the first bad sequence.
bool utf8_valid(const char* s, size_t n, size_t* bad_at);
// Length of the well-formed UTF-8 sequence at s (1..4 bytes, within n), or 0
// when the bytes there do not start one.
size_t utf8_sequence_len(const unsigned char* s, size_t n);

// A literal nullptr picks neither the const nor the mutable overload above.
inline const char* skip_ws(std::nullptr_t) { return nullptr; }
inline const char* ci_find(std::nullptr_t, const char*) { return nullptr; }
