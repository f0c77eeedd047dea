// Growable reply text (JsonBuf) and the working row copy of the SELECT engine
// (SelectRow).
//
// A JsonBuf travels as three values: the heap text, the bytes allocated and
// the bytes used (the text is NUL-terminated after every append). It grows
// only by doubling, and never past the reply limit. Reply buffers start at JSON_BUF_INITIAL bytes.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint64_t JSON_BUF_INITIAL = 8192;
constexpr uint64_t JSON_BUF_AGGREGATE_INITIAL = 4096;

struct JsonBuf {
    char* data = nullptr;   // heap text, NUL-terminated after each append
    uint64_t capacity = 0;  // bytes allocated
    uint64_t length = 0;    // bytes used, not counting the NUL
};

// One copied row. Arrays of SelectRow are held as (array, count, capacity);
// capacity 0 becomes 32, then doubles. The owner of the array frees every
// row_json; copies made by sorting and grouping share the pointers.
constexpr size_t SELECT_ROW_KEY_MAX = 2048;
struct SelectRow {
    char key[SELECT_ROW_KEY_MAX];  // primary-key text, unquoted, cut at 2047 bytes
    char* row_json;                // owned heap copy of the stored row JSON
};

// The reply limit (g_cfg.max_reply_bytes, MAX_REPLY_MB): 0 when a reply of
// `bytes` bytes is allowed; else -1 with "reply too large (limit N MiB):
// narrow the query or use a cursor". Every reply builder checks it while the
// reply grows, so a reply's memory stops at the limit.
int reply_size_check(uint64_t bytes, char* err, size_t errlen);

// Makes sure *capacity >= needed (at most the reply limit, see above): doubles *capacity until it reaches needed,
// then reallocates *data. 0 on success; -1 "oom" on allocation failure; -1
// without a message when data or capacity is missing. A buffer with
// capacity 0 starts from JSON_BUF_INITIAL.
int ensure_json_buf_capacity(char** data, uint64_t* capacity, uint64_t needed, char* err,
                             size_t errlen);

// Allocates a fresh buffer of `initial` bytes holding the empty text.
int json_buf_init(char** data, uint64_t* capacity, uint64_t* length, uint64_t initial, char* err,
                  size_t errlen);

// Appends n raw bytes (growing as needed) and keeps the NUL terminator.
int json_buf_append(char** data, uint64_t* capacity, uint64_t* length, const char* text, size_t n,
                    char* err, size_t errlen);
// Same for a NUL-terminated text (NULL appends nothing).
int json_buf_append_str(char** data, uint64_t* capacity, uint64_t* length, const char* text,
                        char* err, size_t errlen);

// Appends one object member "key":raw. The key is JSON-escaped (NULL is the
// empty key); a NULL raw value is written as null. A comma is written first
// unless *first is set; *first is then cleared.
int append_json_key_raw(char** data, uint64_t* capacity, uint64_t* length, int* first,
                        const char* key, const char* raw, char* err, size_t errlen);

// Appends one array element: a comma when *row_count > 0, then the row text
// verbatim, then *row_count += 1. A NULL row appends nothing.
int append_raw_row_json_to_result(char** data, uint64_t* capacity, uint64_t* length, int* row_count,
                                  const char* row_json, char* err, size_t errlen);

// JsonBuf-record conveniences over the three-value forms above.
inline int json_buf_init(JsonBuf* b, uint64_t initial, char* err, size_t errlen) {
    return json_buf_init(&b->data, &b->capacity, &b->length, initial, err, errlen);
}
inline int json_buf_append_str(JsonBuf* b, const char* text, char* err, size_t errlen) {
    return json_buf_append_str(&b->data, &b->capacity, &b->length, text, err, errlen);
}
// Frees the text and resets the record.
void json_buf_free(JsonBuf* b);

// The text of a computed number in a reply: "%.15Lg", except where that text
// would read back beyond the double range (the largest doubles round up at 15
// digits, 1.79769313486232e+308), then 17 significant digits, which always
// read back finite. false, with buf empty, when the value itself does not fit
// a finite double (infinite, NaN or beyond the largest double): no JSON
// number stands for it and callers write null.
bool format_reply_number(long double value, char* buf, size_t cap);

// Frees row_json of rows[0..count) and the array itself.
void free_select_rows(SelectRow* rows, int count);
