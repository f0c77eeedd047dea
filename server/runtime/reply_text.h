// Reply texts of the request handlers: the owned copy a handler hands out
// (names in a reply are escaped by json_escaped, base/json_text.h).
#pragma once

#include <new>
#include <string>

#include "base/json_text.h"
#include "base/owned.h"
#include "base/text_util.h"

// The owned reply a handler returns; nullptr when memory runs out. The
// literal form allocates nothing that can throw.
inline char* reply_copy(const char* text) { return xstrdup(text); }
inline char* reply_copy(const std::string& text) { return xstrdup(text.c_str()); }
