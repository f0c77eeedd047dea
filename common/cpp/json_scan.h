// The JSON member rule and string decoding by which both the server and the
// router read requests, so that the router classifies and checks exactly
// what the server will run.
//
// Requests are handled as text; nothing builds a document tree. A member is
// found by walking the text string by string: a quoted string counts as a
// member name only when it stands outside every string value and is followed
// by optional blanks and ':'. The first such name equal to the key wins, at
// any depth; text inside a string value never matches, whatever it holds.
//
// String bodies decode \" \\ \/ \b \f \n \r \t and \uXXXX (surrogate pairs
// joined), writing code points as UTF-8; any other backslash pair stands for
// its second character. A body holding \u0000, a malformed \u escape or an
// unpaired surrogate does not decode.
#pragma once

#include <cstddef>

// p at a double quote: just past the closing quote (a backslash and the byte
// after it are skipped together); NULL when p is not at a quote or the string
// does not end.
const char* scan_json_string_end(const char* p);
// Opening quote of the first member name equal to key, or NULL. Keys longer
// than 124 bytes are never found.
const char* json_find_key(const char* json, const char* key);
// Start of the value of member key (after ':' and blanks), or NULL.
const char* json_member_value(const char* json, const char* key);
// Four hex digits at s, within the n bytes left: their value, or -1.
long json_hex4(const char* s, size_t n);
// Decodes the n-byte body of a JSON string into out. At most `limit` bytes
// are written, whole characters only (the rest of the body is still
// checked); *written receives the count and *cut (may be NULL) whether
// output was dropped. A decoded character never takes more bytes than the
// escape it came from, so limit = n always holds the whole text. 0, or -1
// when the body does not decode.
int json_decode_string(const char* s, size_t n, char* out, size_t limit, size_t* written,
                       bool* cut);
