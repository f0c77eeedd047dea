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

// What reading one optional member found. The values order the outcomes
// (refused < absent < present), so a caller may test "< MEMBER_ABSENT".
enum MemberRead : int { MEMBER_REFUSED = -1, MEMBER_ABSENT = 0, MEMBER_PRESENT = 1 };

// A string member: MEMBER_PRESENT (decoded into *out), MEMBER_ABSENT (absent
// or not a string), or MEMBER_REFUSED when it does not fit cap bytes ("<key>
// too long" in msg; cap 0: any length). ident: canonicalised like every
// client name.
inline MemberRead member_text(const char* payload, const char* key, size_t cap, bool ident,
                              std::string* out, char* msg, size_t msglen) {
    char* v = nullptr;
    if (!payload || json_extract_string_alloc(payload, key, &v) != 0 || !v) {
        free(v);
        return MEMBER_ABSENT;
    }
    if (ident) canonicalize_ident(v);
    if (cap && strlen(v) >= cap) {
        free(v);
        set_errf(msg, msglen, "%s too long", key);
        return MEMBER_REFUSED;
    }
    *out = v;
    free(v);
    return MEMBER_PRESENT;
}

// The request's "sql" member, required: 0 and the text, or -1 with
// "missing sql" or "sql too long" in msg.
inline int member_sql(const char* payload, size_t cap, std::string* out, char* msg, size_t msglen) {
    MemberRead r = member_text(payload, "sql", cap, false, out, msg, msglen);
    if (r == MEMBER_ABSENT) set_err(msg, msglen, "missing sql");
    return r == MEMBER_PRESENT ? 0 : -1;
}

// The request's "sql" member as member_text reads it: MEMBER_PRESENT (copied
// into *out), MEMBER_ABSENT (absent or not a string), MEMBER_REFUSED "sql too
// long" (cap 0: any length).
inline MemberRead job_sql_text(const Job* job, size_t cap, std::string* out, char* msg,
                               size_t msglen) {
    const char* sql = job ? job->request.sql : nullptr;
    if (!sql) return MEMBER_ABSENT;
    if (cap && strlen(sql) >= cap) {
        set_err(msg, msglen, "sql too long");
        return MEMBER_REFUSED;
    }
    *out = sql;
    return MEMBER_PRESENT;
}

// The same, required: 0, or -1 with "missing sql" or "sql too long".
inline int job_sql_member(const Job* job, size_t cap, std::string* out, char* msg, size_t msglen) {
    MemberRead r = job_sql_text(job, cap, out, msg, msglen);
    if (r == MEMBER_ABSENT) set_err(msg, msglen, "missing sql");
    return r == MEMBER_PRESENT ? 0 : -1;
}
