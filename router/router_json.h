// The router's JSON text readers and writers.
//
// Requests are read the way the backend reads them, so that the router
// classifies and checks exactly what the backend will run: a member is found
// by walking the text string by string, and a quoted string counts as a
// member name only when it stands outside every string value and is followed
// by optional blanks and ':'. The first such name equal to the key wins, at
// any depth. String values are decoded as the backend decodes them (\" \\ \/
// \b \f \n \r \t and \uXXXX with surrogate pairs, written as UTF-8; any other
// backslash pair stands for its second character); a value holding \u0000, a
// malformed \u escape or an unpaired surrogate is unreadable, as it is on the
// backend, and counts as absent. The member rule and the decoding are the
// very code the backend runs (common/cpp/json_scan.h, which also gives the
// router json_find_key: the opening quote of the first member name equal to
// a key).
#pragma once

#include <cstddef>
#include <string>

#include "json_scan.h"
// 1 when key is absent, or when the member the backend reads (the first name
// at any depth) belongs to the outermost object and no other member of that
// object has the same name; 0 when a decoy or a duplicate could make another
// reader see a different member.
int json_member_is_unambiguous(const char* json, const char* key);
// 0 found, -1 absent/not a string/unterminated/undecodable, -2 decoded value
// of cap bytes or more (the buffer holds the first cap-1 bytes).
int json_extract_string(const char* json, const char* key, char* out, size_t cap);
// 0 found, -1 absent/not a string/undecodable, -2 raw value longer than limit
// (0 = 8 MiB), -3 no memory.
int json_extract_string_alloc(const char* json, const char* key, size_t limit, std::string& out);

std::string json_escape(const char* text);
std::string make_error_json(const char* text);
std::string make_ok_message_json(const char* text);
