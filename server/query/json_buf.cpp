// JsonBuf growth, the reply limit and the small append helpers shared by
// every reply builder of the query engine.
#include "query/json_buf.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/config.h"
#include "base/err.h"
#include "base/json_text.h"

int reply_size_check(uint64_t bytes, char* err, size_t errlen) {
    if (bytes <= g_cfg.max_reply_bytes) return 0;
    set_errf(err, errlen, "reply too large (limit %llu MiB): narrow the query or use a cursor",
             static_cast<unsigned long long>(g_cfg.max_reply_bytes >> 20));
    return -1;
}

int ensure_json_buf_capacity(char** data, uint64_t* capacity, uint64_t needed, char* err,
                             size_t errlen) {
    if (!data || !capacity) return -1;
    if (*data && *capacity >= needed) return 0;
    // needed counts the NUL after the text.
    if (needed > 0 && reply_size_check(needed - 1, err, errlen) != 0) return -1;
    uint64_t cap = *capacity ? *capacity : JSON_BUF_INITIAL;
    while (cap < needed) {
        if (cap > UINT64_MAX / 2) {
            set_err(err, errlen, "oom");
            return -1;
        }
        cap *= 2;
    }
    // Doubling stops at the reply limit: no reply buffer grows past it.
    if (cap > g_cfg.max_reply_bytes + 1) cap = g_cfg.max_reply_bytes + 1;
    if (cap > SIZE_MAX) {
        set_err(err, errlen, "oom");
        return -1;
    }
    char* grown = static_cast<char*>(std::realloc(*data, static_cast<size_t>(cap)));
    if (!grown) {
        set_err(err, errlen, "oom");
        return -1;
    }
    if (!*data) grown[0] = '\0';
    *data = grown;
    *capacity = cap;
    return 0;
}

int json_buf_init(char** data, uint64_t* capacity, uint64_t* length, uint64_t initial, char* err,
                  size_t errlen) {
    if (!data || !capacity || !length) return -1;
    if (initial == 0) initial = JSON_BUF_INITIAL;
    char* p = static_cast<char*>(std::malloc(static_cast<size_t>(initial)));
    if (!p) {
        set_err(err, errlen, "oom");
        return -1;
    }
    p[0] = '\0';
    *data = p;
    *capacity = initial;
    *length = 0;
    return 0;
}

int json_buf_append(char** data, uint64_t* capacity, uint64_t* length, const char* text, size_t n,
                    char* err, size_t errlen) {
    if (!data || !capacity || !length) return -1;
    if (!text) n = 0;
    if (ensure_json_buf_capacity(data, capacity, *length + n + 1, err, errlen) != 0) return -1;
    if (n) std::memcpy(*data + *length, text, n);
    *length += n;
    (*data)[*length] = '\0';
    return 0;
}

int json_buf_append_str(char** data, uint64_t* capacity, uint64_t* length, const char* text,
                        char* err, size_t errlen) {
    return json_buf_append(data, capacity, length, text, text ? std::strlen(text) : 0, err, errlen);
}

int append_json_key_raw(char** data, uint64_t* capacity, uint64_t* length, int* first,
                        const char* key, const char* raw, char* err, size_t errlen) {
    if (!data || !capacity || !length) return -1;
    char* esc = json_escape_string(key ? key : "");
    if (!esc) {
        set_err(err, errlen, "oom");
        return -1;
    }
    const char* value = raw ? raw : "null";
    size_t klen = std::strlen(esc);
    size_t vlen = std::strlen(value);
    int rc = ensure_json_buf_capacity(data, capacity, *length + klen + vlen + 10, err, errlen);
    if (rc == 0) {
        char* out = *data + *length;
        size_t pos = 0;
        if (!(first && *first)) out[pos++] = ',';
        if (first) *first = 0;
        out[pos++] = '"';
        std::memcpy(out + pos, esc, klen);
        pos += klen;
        out[pos++] = '"';
        out[pos++] = ':';
        std::memcpy(out + pos, value, vlen);
        pos += vlen;
        out[pos] = '\0';
        *length += pos;
    }
    std::free(esc);
    return rc;
}

int append_raw_row_json_to_result(char** data, uint64_t* capacity, uint64_t* length, int* row_count,
                                  const char* row_json, char* err, size_t errlen) {
    if (!data || !capacity || !length) return -1;
    if (!row_json) return 0;
    size_t rlen = std::strlen(row_json);
    if (ensure_json_buf_capacity(data, capacity, *length + rlen + 4, err, errlen) != 0) return -1;
    char* out = *data + *length;
    size_t pos = 0;
    if (row_count && *row_count > 0) out[pos++] = ',';
    std::memcpy(out + pos, row_json, rlen);
    pos += rlen;
    out[pos] = '\0';
    *length += pos;
    if (row_count) *row_count += 1;
    return 0;
}

void json_buf_free(JsonBuf* b) {
    if (!b) return;
    std::free(b->data);
    b->data = nullptr;
    b->capacity = 0;
    b->length = 0;
}

bool format_reply_number(long double value, char* buf, size_t cap) {
    if (!buf || cap == 0) return false;
    buf[0] = '\0';
    if (!std::isfinite(value) || fabsl(value) > static_cast<long double>(DBL_MAX)) return false;
    snprintf(buf, cap, "%.15Lg", value);
    if (!std::isfinite(strtod(buf, nullptr))) snprintf(buf, cap, "%.17Lg", value);
    return true;
}

void free_select_rows(SelectRow* rows, int count) {
    if (!rows) return;
    for (int i = 0; i < count; ++i) std::free(rows[i].row_json);
    std::free(rows);
}
