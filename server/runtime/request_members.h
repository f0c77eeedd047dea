// Reading string members of a request for the handlers (writes, DDL,
// procedures, reports): one rule for length limits and the "missing sql"
// reply. The "sql" member is read from the Job's request record, where
// classification left it decoded.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/err.h"
#include "base/json_text.h"
#include "runtime/job_queue.h"
#include "storage/ident.h"

// A string member: 1 present (decoded into *out), 0 absent or not a string,
// -1 when it does not fit cap bytes ("<key> too long" in msg; cap 0: any
// length). ident: canonicalised like every client name.
inline int member_text(const char* payload, const char* key, size_t cap, bool ident,
                       std::string* out, char* msg, size_t msglen) {
    char* v = nullptr;
    if (!payload || json_extract_string_alloc(payload, key, &v) != 0 || !v) {
        free(v);
        return 0;
    }
    if (ident) canonicalize_ident(v);
    if (cap && strlen(v) >= cap) {
        free(v);
        set_errf(msg, msglen, "%s too long", key);
        return -1;
    }
    *out = v;
    free(v);
    return 1;
}

// The request's "sql" member, required: 0 and the text, or -1 with
// "missing sql" or "sql too long" in msg.
inline int member_sql(const char* payload, size_t cap, std::string* out, char* msg, size_t msglen) {
    int r = member_text(payload, "sql", cap, false, out, msg, msglen);
    if (r == 0) set_err(msg, msglen, "missing sql");
    return r == 1 ? 0 : -1;
}

// The request's "sql" member as member_text reads it: 1 present (copied into
// *out), 0 absent or not a string, -1 "sql too long" (cap 0: any length).
inline int job_sql_text(const Job* job, size_t cap, std::string* out, char* msg, size_t msglen) {
    const char* sql = job ? job->request.sql : nullptr;
    if (!sql) return 0;
    if (cap && strlen(sql) >= cap) {
        set_err(msg, msglen, "sql too long");
        return -1;
    }
    *out = sql;
    return 1;
}

// The same, required: 0, or -1 with "missing sql" or "sql too long".
inline int job_sql_member(const Job* job, size_t cap, std::string* out, char* msg, size_t msglen) {
    int r = job_sql_text(job, cap, out, msg, msglen);
    if (r == 0) set_err(msg, msglen, "missing sql");
    return r == 1 ? 0 : -1;
}
