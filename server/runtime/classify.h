// Request classification: turns one request text into a Job.
//
// A request is a JSON object with an "action" member. Action names are
// compared case-sensitively; for "sql", "execute" and "query" the kind is
// decided by the statement's leading keywords (case-insensitive). The kind
// fixes the road: write kinds go through the write queue to the commit
// thread, the others run on the connection worker.
#pragma once

#include <cstdint>

struct Job;

enum JobKind : uint32_t {
    JOB_PING = 1,
    JOB_SHOW_STATS = 3,
    JOB_SHOW_PERFORMANCE = 4,
    JOB_SHOW_MEMORY = 5,
    JOB_SHOW_WAL = 6,
    JOB_SHOW_WORKERS = 7,
    JOB_SHOW_DATABASES = 8,
    JOB_SHOW_TABLES = 9,
    JOB_SHOW_TABLE = 10,
    JOB_SHOW_INDEXES = 11,
    JOB_SHOW_PROCEDURES = 12,
    JOB_SHOW_CURSORS = 13,
    JOB_LOGIN = 14,
    JOB_CHANGE_PASSWORD = 15,
    JOB_CREATE_USER = 16,
    JOB_GRANT_ROLE = 17,
    JOB_CREATE_DATABASE = 18,
    JOB_USE_DATABASE = 19,
    JOB_CREATE_TABLE = 20,
    JOB_ALTER_TABLE = 21,
    JOB_DROP_TABLE = 22,
    JOB_CREATE_INDEX = 23,
    JOB_DROP_INDEX = 24,
    JOB_CREATE_PROCEDURE = 25,
    JOB_DROP_PROCEDURE = 26,
    JOB_CALL_PROCEDURE = 27,
    JOB_INSERT = 28,
    JOB_BATCH_INSERT = 29,
    JOB_SELECT = 30,
    JOB_SELECT_JOIN = 31,
    JOB_CURSOR_OPEN = 32,
    JOB_CURSOR_FETCH = 33,
    JOB_CURSOR_CLOSE = 34,
    JOB_CURSOR_KILL = 35,
    JOB_UPDATE = 36,
    JOB_DELETE = 37,
};

// A zeroed Job of that kind; nullptr on failure. No request copy, is_write 0.
Job* job_new(uint32_t kind);
// job_new plus is_write and an owned copy of the whole request text (when not
// nullptr); nullptr when the copy fails.
Job* job_new_payload(uint32_t kind, const char* json, int is_write);

// A new Job for the request, or nullptr, which the caller answers with
// "invalid request" unless *refusal names a more precise reason.
constexpr const char* ONE_STATEMENT_ONLY = "only one statement per request";
Job* parse_request(const char* json, const char** refusal = nullptr);

// At *p: skip blanks, match kw case-insensitively, require that no letter,
// digit or '_' follows, skip the blanks after it and advance *p. 1 on a match,
// 0 otherwise (*p unchanged).
int sql_keyword_match_start(const char** p, const char* kw);
// 1 when kw1 then kw2 match from the start of sql (any blanks between).
int sql_starts_keywords2(const char* sql, const char* kw1, const char* kw2);
