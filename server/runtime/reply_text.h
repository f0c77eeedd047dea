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

// The reply of a change that was applied (its record is logged) followed by
// a step that failed, such as a checkpoint or a file cleanup: done with a
// "warning" member holding the message when there is one. done ends in '}'.
// Never throws: without memory for the warning, done is answered alone.
inline char* reply_with_warning(const std::string& done, const char* warning) {
    if (!warning || !*warning || done.empty() || done.back() != '}') return reply_copy(done);
    try {
        std::string out = done.substr(0, done.size() - 1);
        out += ",\"warning\":\"";
        out += json_escaped(warning);
        out += "\"}";
        return reply_copy(out);
    } catch (...) {
        return reply_copy(done);
    }
}
