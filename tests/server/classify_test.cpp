// parse_request: every action name and every SQL prefix, with road and carry.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "base/stats.h"
#include "runtime/classify.h"
#include "runtime/job_queue.h"

namespace {

struct JobDeleter {
    void operator()(Job* j) const { job_free(j); }
};
using JobPtr = std::unique_ptr<Job, JobDeleter>;

JobPtr parse(const std::string& json) { return JobPtr(parse_request(json.c_str())); }

std::string sql_request(const std::string& sql, const char* action = "sql") {
    return std::string("{\"action\":\"") + action + "\",\"sql\":\"" + sql + "\"}";
}

struct ActionCase {
    const char* action;
    uint32_t kind;
    uint32_t is_write;
    bool carries_payload;
};

TEST(ParseRequest, EveryActionName) {
    const ActionCase cases[] = {
        {"ping", JOB_PING, 0, false},
        {"show_stats", JOB_SHOW_STATS, 0, false},
        {"show_performance", JOB_SHOW_PERFORMANCE, 0, false},
        {"show_memory", JOB_SHOW_MEMORY, 0, false},
        {"show_cursors", JOB_SHOW_CURSORS, 0, false},
        {"show_wal", JOB_SHOW_WAL, 0, false},
        {"show_workers", JOB_SHOW_WORKERS, 0, false},
        {"show_databases", JOB_SHOW_DATABASES, 0, false},
        {"show_tables", JOB_SHOW_TABLES, 0, false},
        {"show_table", JOB_SHOW_TABLE, 0, true},
        {"show_indexes", JOB_SHOW_INDEXES, 0, true},
        {"show_procedures", JOB_SHOW_PROCEDURES, 0, true},
        {"create_procedure", JOB_CREATE_PROCEDURE, 1, true},
        {"drop_procedure", JOB_DROP_PROCEDURE, 1, true},
        {"call_procedure", JOB_CALL_PROCEDURE, 1, true},
        {"login", JOB_LOGIN, 1, true},
        {"auth", JOB_LOGIN, 1, true},
        {"change_password", JOB_CHANGE_PASSWORD, 1, true},
        {"create_user", JOB_CREATE_USER, 1, true},
        {"grant_role", JOB_GRANT_ROLE, 1, true},
        {"create_database", JOB_CREATE_DATABASE, 1, true},
        {"create_table", JOB_CREATE_TABLE, 1, true},
        {"alter_table", JOB_ALTER_TABLE, 1, true},
        {"drop_table", JOB_DROP_TABLE, 1, true},
        {"drop_index", JOB_DROP_INDEX, 1, true},
        {"insert", JOB_INSERT, 1, true},
        {"batch_insert", JOB_BATCH_INSERT, 1, true},
        {"cursor_open", JOB_CURSOR_OPEN, 0, true},
        {"select_cursor", JOB_CURSOR_OPEN, 0, true},
        {"cursor_fetch", JOB_CURSOR_FETCH, 0, true},
        {"cursor_close", JOB_CURSOR_CLOSE, 0, true},
        {"cursor_kill", JOB_CURSOR_KILL, 0, true},
        {"kill_cursor", JOB_CURSOR_KILL, 0, true},
    };
    for (const ActionCase& c : cases) {
        std::string req = std::string("{\"action\":\"") + c.action + "\",\"table\":\"t1\"}";
        JobPtr job = parse(req);
        ASSERT_TRUE(job) << c.action;
        EXPECT_EQ(job->kind, c.kind) << c.action;
        EXPECT_EQ(job->is_write, c.is_write) << c.action;
        EXPECT_EQ(job->done, 0) << c.action;
        if (c.carries_payload) {
            ASSERT_NE(job->payload, nullptr) << c.action;
            EXPECT_EQ(std::string(job->payload), req) << c.action;
        } else {
            EXPECT_EQ(job->payload, nullptr) << c.action;
        }
        bool carries_table =
            c.kind == JOB_SHOW_TABLE || c.kind == JOB_SHOW_INDEXES || c.kind == JOB_SHOW_PROCEDURES;
        EXPECT_EQ(std::string(job->table), carries_table ? "t1" : "") << c.action;
    }
}

TEST(ParseRequest, RejectedRequests) {
    const char* cases[] = {
        "{\"action\":\"PING\"}",  // action names are case-sensitive
        "{\"action\":\"nope\"}",
        "{\"action\":1}",                 // not a string
        "{\"sql\":\"SELECT * FROM t\"}",  // no action
        "{\"action\":\"sql\"}",           // sql action without sql
        "{\"action\":\"sql\",\"sql\":5}",
        "not json at all",
        "",
    };
    for (const char* c : cases) EXPECT_FALSE(parse(c)) << c;
    EXPECT_EQ(parse_request(nullptr), nullptr);
}

TEST(ParseRequest, OneStatementPerRequest) {
    const char* refusal = "unset";
    EXPECT_EQ(
        parse_request(
            R"J({"action":"sql","sql":"INSERT INTO t VALUES (1,'a'); INSERT INTO t VALUES (2,'b');"})J",
            &refusal),
        nullptr);
    EXPECT_STREQ(refusal, "only one statement per request");
    refusal = "unset";
    EXPECT_EQ(parse_request(R"J({"action":"sql","sql":"SHOW TABLES; nonsense"})J", &refusal),
              nullptr);
    EXPECT_STREQ(refusal, "only one statement per request");
    for (
        const char* one : {
            R"J({"action":"sql","sql":"INSERT INTO t VALUES (1,'a;b');"})J",
            R"J({"action":"sql","sql":"CREATE PROCEDURE p() ON t AS $$ SELECT * FROM t; SELECT * FROM t; $$;"})J",
        }) {
        refusal = "unset";
        Job* job = parse_request(one, &refusal);
        EXPECT_NE(job, nullptr) << one;
        EXPECT_EQ(refusal, nullptr) << one;
        job_free(job);
    }
}

struct SqlCase {
    const char* sql;
    uint32_t kind;  // 0: invalid request
    uint32_t is_write;
};

TEST(ParseRequest, EverySqlPrefix) {
    const SqlCase cases[] = {
        {"LOGIN admin 'pw'", JOB_LOGIN, 1},
        {"change password 'x'", JOB_CHANGE_PASSWORD, 1},
        {"CREATE USER bob 'pw'", JOB_CREATE_USER, 1},
        {"GRANT READ ON db TO bob", JOB_GRANT_ROLE, 1},
        {"CREATE DATABASE shop", JOB_CREATE_DATABASE, 1},
        {"SHOW STATS", JOB_SHOW_STATS, 0},
        {"SHOW PERFORMANCE", JOB_SHOW_PERFORMANCE, 0},
        {"show memory", JOB_SHOW_MEMORY, 0},
        {"SHOW CURSORS", JOB_SHOW_CURSORS, 0},
        {"SHOW WAL", JOB_SHOW_WAL, 0},
        {"SHOW WALRUS", JOB_SHOW_WAL, 0},  // plain prefix, no word boundary
        {"SHOW WORKERS", JOB_SHOW_WORKERS, 0},
        {"SHOW DATABASES", JOB_SHOW_DATABASES, 0},
        {"USE shop", JOB_USE_DATABASE, 0},
        {"CREATE TABLE t (id INT PRIMARY KEY)", JOB_CREATE_TABLE, 1},
        {"CREATE  TABLE t (id INT)", 0, 0},  // two blanks: no prefix matches
        {"ALTER TABLE t ADD COLUMN x INT", JOB_ALTER_TABLE, 1},
        {"alter   table t DROP COLUMN x", JOB_ALTER_TABLE, 1},
        {"DROP TABLE t", JOB_DROP_TABLE, 1},
        {"DROP    TABLE t", JOB_DROP_TABLE, 1},
        {"DROP TABLES t", 0, 0},  // keyword pair needs a word boundary
        {"CREATE INDEX i ON t (a)", JOB_CREATE_INDEX, 1},
        {"CREATE UNIQUE INDEX i ON t (a)", JOB_CREATE_INDEX, 1},
        {"DROP INDEX i", JOB_DROP_INDEX, 1},
        {"CREATE PROCEDURE p() AS $$ $$", JOB_CREATE_PROCEDURE, 1},
        {"DROP PROCEDURE p", JOB_DROP_PROCEDURE, 1},
        {"CALL p(1)", JOB_CALL_PROCEDURE, 1},
        {"INSERT INTO t (id) VALUES (1)", JOB_INSERT, 1},
        {"select * from t", JOB_SELECT, 0},
        {"SELECT", 0, 0},  // no blank after SELECT
        {"SELECT * FROM a JOIN b ON a.id = b.id", JOB_SELECT_JOIN, 0},
        {"SELECT * FROM a WHERE n = ' JOIN '", JOB_SELECT, 0},
        {"SELECT * FROM a WHERE id IN (SELECT x FROM b JOIN c ON 1)", JOB_SELECT, 0},
        {"KILL CURSOR 3", JOB_CURSOR_KILL, 0},
        {"SHOW TABLES", JOB_SHOW_TABLES, 0},
        {"SHOW TABLESxyz", JOB_SHOW_TABLES, 0},  // tested before SHOW TABLE
        {"SHOW TABLE t", JOB_SHOW_TABLE, 0},
        {"SHOW INDEXES ON t", JOB_SHOW_INDEXES, 0},
        {"SHOW PROCEDURES", JOB_SHOW_PROCEDURES, 0},
        {"UPDATE t SET a = 1", JOB_UPDATE, 1},
        {"DELETE FROM t WHERE id = 1", JOB_DELETE, 1},
        {"   SELECT 1 ;  ; ", JOB_SELECT, 0},  // trimmed
        {"SELECT\\n* FROM t", JOB_SELECT, 0},  // escaped newline becomes a blank
        {"SELECT\\t* FROM t", JOB_SELECT, 0},
        {"EXPLAIN SELECT 1", 0, 0},
        {"", 0, 0},
    };
    for (const char* action : {"sql", "execute", "query"}) {
        for (const SqlCase& c : cases) {
            std::string req = sql_request(c.sql, action);
            JobPtr job = parse(req);
            if (c.kind == 0) {
                EXPECT_FALSE(job) << action << ": " << c.sql;
                continue;
            }
            ASSERT_TRUE(job) << action << ": " << c.sql;
            EXPECT_EQ(job->kind, c.kind) << c.sql;
            EXPECT_EQ(job->is_write, c.is_write) << c.sql;
            ASSERT_NE(job->payload, nullptr);
            EXPECT_EQ(std::string(job->payload), req) << "payload is the whole request";
        }
    }
}

TEST(ParseRequest, SqlRequestsCountedEvenWhenInvalid) {
    ServerStats before{}, after{};
    stats_snapshot(&before);
    parse(sql_request("SELECT * FROM t"));
    parse(sql_request("BOGUS"));
    parse("{\"action\":\"sql\"}");  // no sql member: not counted
    parse("{\"action\":\"ping\"}");
    stats_snapshot(&after);
    EXPECT_EQ(after.sql_requests - before.sql_requests, 2);
}

TEST(ParseRequest, ActionInsideStringValueIsNotAMember) {
    // A value that spells "action" must not be taken for the member.
    EXPECT_FALSE(parse("{\"note\":\"\\\"action\\\":\\\"ping\\\"\"}"));
    JobPtr job = parse("{\"user\":\"action\",\"action\":\"ping\"}");
    ASSERT_TRUE(job);
    EXPECT_EQ(job->kind, JOB_PING);
}

TEST(SqlKeywords, MatchStartRules) {
    const char* text = "  drop\t  index_x";
    const char* p = text;
    EXPECT_EQ(sql_keyword_match_start(&p, "DROP"), 1);
    EXPECT_STREQ(p, "index_x");
    EXPECT_EQ(sql_keyword_match_start(&p, "INDEX"), 0);  // '_' follows: no boundary
    EXPECT_STREQ(p, "index_x");                          // cursor unchanged

    const char* end = "TABLE";
    EXPECT_EQ(sql_keyword_match_start(&end, "table"), 1);  // end of text is a boundary
    EXPECT_STREQ(end, "");

    const char* null_text = nullptr;
    EXPECT_EQ(sql_keyword_match_start(&null_text, "X"), 0);
    EXPECT_EQ(sql_keyword_match_start(nullptr, "X"), 0);
    const char* q = "X";
    EXPECT_EQ(sql_keyword_match_start(&q, nullptr), 0);

    EXPECT_EQ(sql_starts_keywords2("drop table t", "DROP", "TABLE"), 1);
    EXPECT_EQ(sql_starts_keywords2("droptable t", "DROP", "TABLE"), 0);
    EXPECT_EQ(sql_starts_keywords2("DROP INDEX", "DROP", "TABLE"), 0);
}

}  // namespace
