// JSON text helpers: escaping and quoting, the error reply, and readers that
// find a member by name and copy out its value.
//
// Requests, rows and catalog values are handled as JSON text; nothing builds
// a document tree. A member is found by walking the text string by string: a
// quoted string counts as a member name only when it stands outside every
// string value and is followed by optional blanks and ':'. Text inside a
// string value therefore never matches a key, whatever it contains. That
// rule and the decoding of string bodies are shared with the router, which
// must read requests exactly as the server does (common/cpp/json_scan.h:
// json_find_key, scan_json_string_end, json_member_value).
//
// Heap results belong to the caller and are released with free(); bounded
// copies are cut at capacity - 1 and always terminated.
#pragma once

#include <cstddef>
#include <string>

#include "json_scan.h"

// ---- JSON writing ----------------------------------------------------------
char* json_escape_string(const char* s);  // NULL input reads as ""
char* json_quote_token(const char* s);    // "\"" + escaped + "\""
// json_escape_string as a std::string for the text of a reply or a stored
// row. Running out of memory throws std::bad_alloc, which the guard where the
// request runs answers "oom" (base/err.h, run_unless_oom): never a text with
// the value left out.
std::string json_escaped(const char* s);
// {"ok":false,"error":"<escaped message>"}; NULL message -> "error"; falls
// back to {"ok":false,"error":"oom"} when memory runs out.
char* make_error_json(const char* message);
// Appends "name":value to an object being built, after a comma unless *first
// (then cleared). The name is written as it is and the value as raw JSON
// text: both come from a stored schema and row.
void json_append_raw_member(std::string* out, bool* first, const char* name,
                            const std::string& value);

// ---- JSON reading ----------------------------------------------------------
// json_find_key of json_scan.h for a mutable text.
char* json_find_key(char* json, const char* key);
// 1 when text is exactly one JSON string literal: it spans the whole text,
// every escape is one of \" \\ \/ \b \f \n \r \t \uXXXX, and no raw control
// byte stands inside. Else 0.
int json_is_one_string(const char* text);
// True when the n bytes at s are exactly one JSON object (blanks around it
// allowed), by the strict grammar: quoted member names, valid escapes, no raw
// control byte inside a string, numbers in JSON form, nested at most 64 deep.
bool json_text_is_object(const char* s, size_t n);
// End of the value that starts at p (after blanks); NULL when unterminated.
const char* scan_json_value_end(const char* p);
// Decodes the escapes of a JSON string body (\" \\ \/ \b \f \n \r \t and
// \uXXXX with surrogate pairs, written as UTF-8). NULL gives "". Returns NULL
// when memory runs out or the text holds \u0000, a malformed \u escape or an
// unpaired surrogate.
char* json_unescape_fragment(const char* text);
// True when every \u escape inside the string literals of the n bytes at s
// that names a UTF-16 surrogate is one half of a high-low pair, so that every
// string decodes to text that UTF-8 can hold. *bad_at (may be NULL) receives
// the offset of the first offending backslash. Nothing else is checked.
bool json_surrogates_paired(const char* s, size_t n, size_t* bad_at);
// Decoded string value of member key into dest (cut at cap - 1). 0 / -1.
int json_extract_string(const char* json, const char* key, char* dest, size_t cap);
int json_extract_string_alloc(const char* json, const char* key, char** out);
// Raw value text (strings keep quotes and escapes).
int json_extract_raw(const char* json, const char* key, char** out);
int json_extract_object_raw(const char* json, const char* key, char** out);
// Each element of an array of objects as raw text; empty array -> 0, NULL, 0.
int json_extract_array_objects_raw(const char* json, const char* key, char*** out, int* count);
// Integer value (strtol base 10 semantics, saturating); 0 if a digit was read.
int json_extract_ll(const char* json, const char* key, long long* out);
int json_extract_int(const char* json, const char* key, int* out);

// A literal nullptr picks neither the const nor the mutable overload above.
inline const char* json_find_key(std::nullptr_t, const char*) { return nullptr; }
