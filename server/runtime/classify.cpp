// Request classification: action names and SQL statement prefixes to Jobs.
// The two tables below are the protocol's request vocabulary; the first
// matching row decides, so their order matters.
#include "runtime/classify.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "base/json_text.h"
#include "base/owned.h"
#include "base/sql_scan.h"
#include "base/stats.h"
#include "base/text_util.h"
#include "runtime/job_queue.h"

namespace {

enum class Carry { None, Copy, CopyTable, BySql };

struct ActionRule {
    const char* action;
    uint32_t kind;
    int is_write;
    Carry carry;
};

// Exact, case-sensitive action names.
constexpr ActionRule kActions[] = {
    {"ping", JOB_PING, 0, Carry::None},
    {"show_stats", JOB_SHOW_STATS, 0, Carry::None},
    {"show_performance", JOB_SHOW_PERFORMANCE, 0, Carry::None},
    {"show_memory", JOB_SHOW_MEMORY, 0, Carry::None},
    {"show_cursors", JOB_SHOW_CURSORS, 0, Carry::None},
    {"show_wal", JOB_SHOW_WAL, 0, Carry::None},
    {"show_workers", JOB_SHOW_WORKERS, 0, Carry::None},
    {"show_databases", JOB_SHOW_DATABASES, 0, Carry::None},
    {"show_tables", JOB_SHOW_TABLES, 0, Carry::None},
    {"show_table", JOB_SHOW_TABLE, 0, Carry::CopyTable},
    {"show_indexes", JOB_SHOW_INDEXES, 0, Carry::CopyTable},
    {"show_procedures", JOB_SHOW_PROCEDURES, 0, Carry::CopyTable},
    {"create_procedure", JOB_CREATE_PROCEDURE, 1, Carry::Copy},
    {"drop_procedure", JOB_DROP_PROCEDURE, 1, Carry::Copy},
    {"call_procedure", JOB_CALL_PROCEDURE, 1, Carry::Copy},
    {"login", JOB_LOGIN, 1, Carry::Copy},
    {"auth", JOB_LOGIN, 1, Carry::Copy},
    {"change_password", JOB_CHANGE_PASSWORD, 1, Carry::Copy},
    {"create_user", JOB_CREATE_USER, 1, Carry::Copy},
    {"grant_role", JOB_GRANT_ROLE, 1, Carry::Copy},
    {"create_database", JOB_CREATE_DATABASE, 1, Carry::Copy},
    {"create_table", JOB_CREATE_TABLE, 1, Carry::Copy},
    {"alter_table", JOB_ALTER_TABLE, 1, Carry::Copy},
    {"drop_table", JOB_DROP_TABLE, 1, Carry::Copy},
    {"drop_index", JOB_DROP_INDEX, 1, Carry::Copy},
    {"insert", JOB_INSERT, 1, Carry::Copy},
    {"batch_insert", JOB_BATCH_INSERT, 1, Carry::Copy},
    {"cursor_open", JOB_CURSOR_OPEN, 0, Carry::Copy},
    {"select_cursor", JOB_CURSOR_OPEN, 0, Carry::Copy},
    {"cursor_fetch", JOB_CURSOR_FETCH, 0, Carry::Copy},
    {"cursor_close", JOB_CURSOR_CLOSE, 0, Carry::Copy},
    {"cursor_kill", JOB_CURSOR_KILL, 0, Carry::Copy},
    {"kill_cursor", JOB_CURSOR_KILL, 0, Carry::Copy},
    {"sql", 0, 0, Carry::BySql},
    {"execute", 0, 0, Carry::BySql},
    {"query", 0, 0, Carry::BySql},
};

struct SqlRule {
    const char* first;   // plain prefix (blanks included), or the first keyword
    const char* second;  // non-null: keyword pair matched by sql_starts_keywords2
    uint32_t kind;
    int is_write;
};

// Case-insensitive statement prefixes. SELECT is handled apart (JOIN test).
constexpr SqlRule kSqlRules[] = {
    {"LOGIN ", nullptr, JOB_LOGIN, 1},
    {"CHANGE PASSWORD ", nullptr, JOB_CHANGE_PASSWORD, 1},
    {"CREATE USER ", nullptr, JOB_CREATE_USER, 1},
    {"GRANT ", nullptr, JOB_GRANT_ROLE, 1},
    {"CREATE DATABASE ", nullptr, JOB_CREATE_DATABASE, 1},
    {"SHOW STATS", nullptr, JOB_SHOW_STATS, 0},
    {"SHOW PERFORMANCE", nullptr, JOB_SHOW_PERFORMANCE, 0},
    {"SHOW MEMORY", nullptr, JOB_SHOW_MEMORY, 0},
    {"SHOW CURSORS", nullptr, JOB_SHOW_CURSORS, 0},
    {"SHOW WAL", nullptr, JOB_SHOW_WAL, 0},
    {"SHOW WORKERS", nullptr, JOB_SHOW_WORKERS, 0},
    {"SHOW DATABASES", nullptr, JOB_SHOW_DATABASES, 0},
    {"USE ", nullptr, JOB_USE_DATABASE, 0},
    {"CREATE TABLE ", nullptr, JOB_CREATE_TABLE, 1},
    {"ALTER", "TABLE", JOB_ALTER_TABLE, 1},
    {"DROP", "TABLE", JOB_DROP_TABLE, 1},
    {"CREATE INDEX ", nullptr, JOB_CREATE_INDEX, 1},
    {"CREATE UNIQUE INDEX ", nullptr, JOB_CREATE_INDEX, 1},
    {"DROP", "INDEX", JOB_DROP_INDEX, 1},
    {"CREATE PROCEDURE ", nullptr, JOB_CREATE_PROCEDURE, 1},
    {"DROP PROCEDURE ", nullptr, JOB_DROP_PROCEDURE, 1},
    {"CALL ", nullptr, JOB_CALL_PROCEDURE, 1},
    {"INSERT INTO ", nullptr, JOB_INSERT, 1},
    {"SELECT ", nullptr, JOB_SELECT, 0},
    {"KILL CURSOR ", nullptr, JOB_CURSOR_KILL, 0},
    {"SHOW TABLES", nullptr, JOB_SHOW_TABLES, 0},
    {"SHOW TABLE ", nullptr, JOB_SHOW_TABLE, 0},
    {"SHOW INDEXES", nullptr, JOB_SHOW_INDEXES, 0},
    {"SHOW PROCEDURES", nullptr, JOB_SHOW_PROCEDURES, 0},
    {"UPDATE ", nullptr, JOB_UPDATE, 1},
    {"DELETE FROM ", nullptr, JOB_DELETE, 1},
};

bool is_word_char(unsigned char c) { return std::isalnum(c) || c == '_'; }

// Kind and road of a normalised statement; false when no prefix matches.
bool classify_sql(const char* sql, uint32_t* kind, int* is_write) {
    for (const SqlRule& r : kSqlRules) {
        bool hit = r.second ? sql_starts_keywords2(sql, r.first, r.second) != 0
                            : ci_starts(sql, r.first) != 0;
        if (!hit) continue;
        *kind = r.kind;
        *is_write = r.is_write;
        if (r.kind == JOB_SELECT && sql_find_top_level_ci(sql, " JOIN ")) *kind = JOB_SELECT_JOIN;
        return true;
    }
    return false;
}

}  // namespace

Job* job_new(uint32_t kind) {
    Job* job = static_cast<Job*>(calloc(1, sizeof(Job)));
    if (!job) return nullptr;
    job->kind = kind;
    job->client_fd = -1;
    return job;
}

namespace {

// The normalised form of a decoded "sql" member; nullptr when out of memory.
char* normalized_copy(const char* sql) {
    char* norm = xstrdup(sql);
    if (!norm) return nullptr;
    normalize_sql_ws(norm);
    trim_ws(norm);
    return norm;
}

// job_new_payload with the "sql" member already read: sql (owned, taken over,
// may be nullptr) and its normalised form norm (owned, taken over; built here
// when nullptr).
Job* job_with_request(uint32_t kind, const char* json, int is_write, char* sql, char* norm) {
    CStr raw(sql), normal(norm);
    Job* job = job_new(kind);
    if (!job) return nullptr;
    job->is_write = is_write ? 1u : 0u;
    if (json) {
        job->payload = xstrdup(json);
        if (!job->payload) {
            job_free(job);
            return nullptr;
        }
    }
    if (raw && !normal) {
        normal.reset(normalized_copy(raw.get()));
        if (!normal) {
            job_free(job);
            return nullptr;
        }
    }
    job->request.sql = raw.release();
    job->request.sql_norm = normal.release();
    return job;
}

}  // namespace

Job* job_new_payload(uint32_t kind, const char* json, int is_write) {
    char* sql = nullptr;
    if (!json || json_extract_string_alloc(json, "sql", &sql) != 0) {
        free(sql);
        sql = nullptr;
    }
    return job_with_request(kind, json, is_write, sql, nullptr);
}

Job* parse_request(const char* json, const char** refusal) {
    if (refusal) *refusal = nullptr;
    if (!json) return nullptr;
    char action[64];
    if (json_extract_string(json, "action", action, sizeof action) != 0) return nullptr;

    const ActionRule* rule = nullptr;
    for (const ActionRule& r : kActions) {
        if (strcmp(action, r.action) == 0) {
            rule = &r;
            break;
        }
    }
    if (!rule) return nullptr;

    switch (rule->carry) {
    case Carry::None: return job_new(rule->kind);
    case Carry::Copy: return job_new_payload(rule->kind, json, rule->is_write);
    case Carry::CopyTable: {
        Job* job = job_new_payload(rule->kind, json, rule->is_write);
        if (job && json_extract_string(json, "table", job->table, sizeof job->table) != 0)
            job->table[0] = '\0';
        return job;
    }
    case Carry::BySql: break;
    }

    char* raw = nullptr;
    if (json_extract_string_alloc(json, "sql", &raw) != 0) return nullptr;
    CStr sql(raw);
    CStr norm(normalized_copy(sql.get()));
    if (!norm) return nullptr;
    stats_add(&g_stats.counters.sql_requests, 1);
    uint32_t kind = 0;
    int is_write = 0;
    bool known = classify_sql(norm.get(), &kind, &is_write);
    // A request carries one statement: a second one after the first ';'
    // would be silently dropped by every statement parser.
    if (sql_text_after_statement(norm.get()) != nullptr) {
        if (refusal) *refusal = ONE_STATEMENT_ONLY;
        return nullptr;
    }
    if (!known) return nullptr;
    return job_with_request(kind, json, is_write, sql.release(), norm.release());
}

int sql_keyword_match_start(const char** p, const char* kw) {
    if (!p || !*p || !kw) return 0;
    const char* s = *p;
    while (*s && std::isspace(static_cast<unsigned char>(*s))) s++;
    size_t n = strlen(kw);
    for (size_t i = 0; i < n; i++) {
        if (!s[i] || std::toupper(static_cast<unsigned char>(s[i])) !=
                         std::toupper(static_cast<unsigned char>(kw[i])))
            return 0;
    }
    s += n;
    if (*s && is_word_char(static_cast<unsigned char>(*s))) return 0;
    while (*s && std::isspace(static_cast<unsigned char>(*s))) s++;
    *p = s;
    return 1;
}

int sql_starts_keywords2(const char* sql, const char* kw1, const char* kw2) {
    const char* p = sql;
    return sql_keyword_match_start(&p, kw1) && sql_keyword_match_start(&p, kw2);
}
