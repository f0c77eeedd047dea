// Reply texts of the request handlers: names escaped for a JSON string body,
// and the owned copy a handler hands out.
#pragma once

#include <new>
#include <string>

#include "base/json_text.h"
#include "base/owned.h"
#include "base/text_util.h"

// s escaped for a JSON string body (nullptr reads as ""). Running out of
// memory throws std::bad_alloc, which the job's guard answers "oom".
inline std::string reply_esc(const char* s) {
    CStr e(json_escape_string(s ? s : ""));
    if (!e) throw std::bad_alloc();
    return std::string(e.get());
}

// The owned reply a handler returns; nullptr when memory runs out. The
// literal form allocates nothing that can throw.
inline char* reply_copy(const char* text) { return xstrdup(text); }
inline char* reply_copy(const std::string& text) { return xstrdup(text.c_str()); }
