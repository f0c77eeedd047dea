// Pieces shared by the reply builders of the SELECT engine: heap copies of
// raw values, the frame of a {"ok":true,"table":"...","rows":[...]} reply and
// trimmed member values of a stored row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "base/err.h"
#include "base/json_text.h"
#include "base/owned.h"
#include "base/text_util.h"
#include "query/json_buf.h"

// Heap copy of text in *out; -1 "oom".
inline int copy_raw_out(const char* text, char** out, char* err, size_t errlen) {
    *out = xstrdup(text);
    if (!*out) {
        set_err(err, errlen, "oom");
        return -1;
    }
    return 0;
}
// The same for a finished reply built in a std::string.
inline int copy_raw_out(const std::string& text, char** out, char* err, size_t errlen) {
    *out = xstrndup(text.data(), text.size());
    if (!*out) {
        set_err(err, errlen, "oom");
        return -1;
    }
    return 0;
}

// Trimmed raw text of member `name` of the row in *value; false when the
// member is absent (a JSON null is a value here).
inline bool extract_trimmed(const char* row_json, const char* name, CStr* value) {
    char* raw = nullptr;
    if (json_extract_raw(row_json, name, &raw) != 0) return false;
    value->reset(raw);
    trim_ws(raw);
    return true;
}

// Frees the reply text unless it was handed out.
struct JsonBufGuard {
    JsonBuf& b;
    ~JsonBufGuard() { json_buf_free(&b); }
};

// Starts a fresh reply {"ok":true,"table":"<name>","rows":[ of `initial`
// bytes; name goes in as given (escaped by the caller). -1 "oom".
inline int open_table_rows_reply(JsonBuf* b, uint64_t initial, const char* name, char* err,
                                 size_t errlen) {
    if (json_buf_init(b, initial, err, errlen) != 0 ||
        json_buf_append_str(b, "{\"ok\":true,\"table\":\"", err, errlen) != 0 ||
        json_buf_append_str(b, name, err, errlen) != 0 ||
        json_buf_append_str(b, "\",\"rows\":[", err, errlen) != 0) {
        set_err(err, errlen, "oom");
        return -1;
    }
    return 0;
}

// Closes the rows array and the reply and hands the text to *out.
inline int close_table_rows_reply(JsonBuf* b, char** out, char* err, size_t errlen) {
    if (json_buf_append_str(b, "]}", err, errlen) != 0) return -1;
    *out = b->data;
    *b = JsonBuf{};
    return 0;
}

// Appends "label":value to the row object and frees value (a heap raw text).
inline int append_owned_member(JsonBuf* b, int* first, const char* label, char* value, char* err,
                               size_t errlen) {
    CStr hold(value);
    return append_json_key_raw(&b->data, &b->capacity, &b->length, first, label, value, err,
                               errlen);
}
