// Hostile requests over the wire: broken JSON, wrong member types, huge and
// badly encoded strings, every action with missing or odd members, every
// prefix of valid statements, unbalanced quotes, absurd DDL and cursor
// arguments, numbers at 64-bit edges and names at the length limits. Each
// must get exactly one reply that is valid JSON by the strict grammar (UTF-8
// included), the connection and the server stay up, and afterwards the data
// reads back unchanged and the server stops cleanly.
//
// One file for all of them: the sweeps share the fixture, the generators of
// hostile text and the invariants every reply is held to, and read best side
// by side; the longest tests are tables of cases, not steps.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kyrel_test.h"
#include "writes_helpers.h"

using namespace kyrel_test;
using namespace writes_test;

namespace {

constexpr const char* kConfig =
    "AUTO_TUNE=OFF\nAUTO_VACUUM=OFF\nCONNECTION_WORKERS=4\nWRITE_WORKERS=1\n"
    "COMMIT_GROUP_WAIT_MS=0\nWAL_SYNC_EVERY=0\n";
constexpr const char* kPassword = "hostile pass 1";
constexpr const char* kRows =
    R"([{"id":1,"name":"a","n":10},{"id":2,"name":"b","n":20},{"id":3,"name":"c","n":30}])";

// Every action name the server knows, plus near misses.
const char* const kActions[] = {"ping",
                                "show_stats",
                                "show_performance",
                                "show_memory",
                                "show_cursors",
                                "show_wal",
                                "show_workers",
                                "show_databases",
                                "show_tables",
                                "show_table",
                                "show_indexes",
                                "show_procedures",
                                "create_procedure",
                                "drop_procedure",
                                "call_procedure",
                                "login",
                                "auth",
                                "change_password",
                                "create_user",
                                "grant_role",
                                "create_database",
                                "create_table",
                                "alter_table",
                                "drop_table",
                                "drop_index",
                                "insert",
                                "batch_insert",
                                "cursor_open",
                                "select_cursor",
                                "cursor_fetch",
                                "cursor_close",
                                "cursor_kill",
                                "kill_cursor",
                                "sql",
                                "execute",
                                "query",
                                "",
                                "Ping",
                                "ping ",
                                "sql "};

// Every request member any action reads.
const char* const kMembers[] = {"sql",          "table",     "database", "username",   "password",
                                "new_password", "role",      "columns",  "data",       "rows",
                                "index",        "procedure", "args",     "arguments",  "params",
                                "body",         "cursor_id", "fetch",    "fetch_size", "token",
                                "pin_token",    "name",      "type",     "primary_key"};

// Odd member values: empty, wrong types, 64-bit edges, escapes.
const char* const kValues[] = {R"("")",
                               "0",
                               "-1",
                               "null",
                               "true",
                               "[]",
                               "{}",
                               R"([1,"x",null])",
                               R"({"a":{"b":[]}})",
                               "18446744073709551616",
                               "-9223372036854775809",
                               "1e400",
                               R"("\u0000")",
                               R"("\ud800")",
                               R"("a\"b\\")"};

class Malformed : public ::testing::Test {
  protected:
    void SetUp() override {
        srv_.set_config(kConfig);
        ASSERT_TRUE(srv_.start()) << srv_.last_error();
        ASSERT_NO_FATAL_FAILURE(reconnect());
        for (const char* s : {"CREATE TABLE t (id int PRIMARY KEY, name string, n int)",
                              "CREATE INDEX t_n ON t (n)",
                              "CREATE TABLE s (id int PRIMARY KEY, v string, w int)"}) {
            std::string r = c_->sql(s);
            ASSERT_TRUE(ok(r)) << s << " -> " << r;
        }
        std::string r =
            c_->ask(std::string(R"({"action":"batch_insert","table":"t","rows":)") + kRows + "}");
        ASSERT_TRUE(ok(r)) << r;
        r = c_->sql("INSERT INTO s VALUES (1, 'x', 1), (2, 'y', 2)");
        ASSERT_TRUE(ok(r)) << r;
    }

    // The rows of t read back by primary key and through the index, then a
    // clean stop.
    void TearDown() override {
        if (!srv_.running()) return;
        ensure_session();
        std::string r = c_->sql("SELECT id, name, n FROM t ORDER BY id");
        EXPECT_TRUE(ok(r)) << r;
        EXPECT_EQ(json_get(r, "rows"), kRows) << r;
        r = c_->sql("SELECT name FROM t WHERE n = 20");
        EXPECT_TRUE(ok(r)) << r;
        EXPECT_NE(r.find(R"("name":"b")"), std::string::npos) << r;
        c_.reset();
        EXPECT_EQ(srv_.stop(), 0);
    }

    // A fresh logged-in client using database m (created on first use).
    void reconnect() {
        c_ = std::make_unique<Client>();
        ASSERT_TRUE(c_->connect(srv_.port()));
        std::string r = c_->login("admin", kPassword);
        if (!ok(r)) {
            r = c_->login("admin", "lumen406");
            ASSERT_TRUE(ok(r)) << r;
            r = c_->ask(R"({"action":"change_password","new_password":)" + jstr(kPassword) + "}");
            ASSERT_TRUE(ok(r)) << r;
        }
        r = c_->sql("USE m");
        if (!ok(r)) {
            r = c_->sql("CREATE DATABASE m");
            ASSERT_TRUE(ok(r)) << r;
            r = c_->sql("USE m");
        }
        ASSERT_TRUE(ok(r)) << r;
    }
    // Back to a logged-in session on m, whatever the last requests did.
    void ensure_session() {
        std::string r;
        if (c_) {
            r = c_->sql("USE m");
        }
        if (!ok(r)) reconnect();
    }

    // Sends one request and checks it got one well-formed reply: an object
    // with "ok" true, or false with a non-empty error. A lost connection
    // fails and is replaced so the table goes on.
    void probe(const std::string& req) {
        std::string r = c_->ask(req);
        bool shaped = r.size() >= 2 && r.front() == '{' && json_strict_valid(r);
        std::string okv = json_get(r, "ok");
        EXPECT_TRUE(shaped && (okv == "true" || (okv == "false" && !error_of(r).empty())))
            << "request (" << req.size() << " bytes): " << req.substr(0, 300)
            << "\nreply: " << r.substr(0, 300);
        if (r.empty()) {
            ASSERT_TRUE(srv_.running());
            reconnect();
        }
    }
    void probe_sql(const std::string& sql) { probe(R"({"action":"sql","sql":)" + jstr(sql) + "}"); }
    // The connection still answers after a table of probes.
    void expect_alive() {
        std::string r = c_->ask(R"({"action":"ping"})");
        EXPECT_EQ(r, R"({"ok":true,"pong":true})");
    }

    TestServer srv_;
    std::unique_ptr<Client> c_;
};

// The reply checker itself tells well-formed replies from broken ones.
TEST(MalformedReplyCheck, TellsWellFormedFromBroken) {
    const struct {
        std::string text;
        bool good;
    } cases[] = {
        {"{\"v\":\"\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E\"}", true},
        {R"({"v":"\ud834\udd1e\u00e9\/"})", true},
        {R"([0,-0,1.5,-2e10,3E+2,4e-1,true,false,null,"",[],{}])", true},
        {" \r\n\t{}\n", true},
        {"{\"v\":\"i\xC0\x80"
         "d\"}",
         false},                              // overlong form
        {"{\"v\":\"\xED\xA0\x80\"}", false},  // encoded surrogate
        {"{\"v\":\"\xC3\"}", false},          // cut character
        {"{\"\xFF\":1}", false},
        {R"({"v":"\ud800"})", false},
        {R"({"v":"\udc00\ud800"})", false},
        {R"({"v":"\u12"})", false},
        {R"({"v":01})", false},
        {R"({"v":1.})", false},
        {R"({"v":.5})", false},
        {R"({"v":+1})", false},
        {R"({"v":1e})", false},
        {R"({"v":nul})", false},
        {R"({"v":[1,]})", false},
        {R"({"v":1}{})", false},
        {"{\"v\":1}\x0b", false},
        {"", false},
        {R"({"ok":true,"rows":[{"id":1,"v":"a\"b"},{}],"n":-1.5e3,"x":null})", true},
        {R"({"ok":false,"error":"x"})", true},
        {R"({"a":{},"b":[],"c":[[]]})", true},
        {R"({"ok":true)", false},
        {R"({"ok":"a"b"})", false},
        {"{\"ok\":\"a\nb\"}", false},
        {R"({"ok":true,})", false},
        {R"({"ok" true})", false},
        {R"({"ok":tru})", false},
        {R"({"ok":true}})", false},
        {R"({"a":[1,2})", false},
        {R"({"a":"\q"})", false},
        {R"({ok:true})", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(json_strict_valid(c.text), c.good) << testing::PrintToString(c.text);
}

TEST_F(Malformed, BrokenJsonTruncatedDeepAndBadlyEncoded) {
    // Every prefix of a few valid requests.
    for (std::string full :
         {std::string(R"({"action":"sql","sql":"SELECT * FROM t WHERE name = 'a\"b\\c'"})"),
          std::string(R"({"action":"insert","table":"s","data":{"id":50,"v":"q","w":[1]}})"),
          std::string(R"({"action":"cursor_fetch","cursor_id":1,"fetch_size":2})")}) {
        for (size_t n = 1; n < full.size(); ++n) probe(full.substr(0, n));
    }
    const std::string deep_arr(100000, '[');
    std::string deep_obj;
    for (int i = 0; i < 20000; ++i) deep_obj += R"({"a":)";
    std::string deep_closed = std::string(5000, '[') + std::string(5000, ']');
    const std::vector<std::string> cases = {
        " ",
        "{",
        "}",
        "[]",
        "null",
        "0",
        R"("action")",
        "{{}}",
        R"({"action"})",
        R"({"action":})",
        R"({"action":"ping",})",
        R"({"action":"ping""x":1})",
        R"({"action":'ping'})",
        R"({action:"ping"})",
        R"({"action":"ping"}{"action":"ping"})",
        R"({"action":"ping"} trailing)",
        R"({"action":"sql","sql":"SELECT 1"})" + std::string(1, '\0'),
        std::string("{\"action\":\"ping\0\"}", sizeof("{\"action\":\"ping\0\"}") - 1),
        R"({"action":"sql","sql":)" + deep_arr,
        deep_arr,
        deep_obj,
        R"({"action":"sql","x":)" + deep_closed + R"(,"sql":"SELECT * FROM t"})",
        R"({"action":"sql","sql":"SELECT * FROM t WHERE name = '\u0000'"})",
        R"({"action":"sql","sql":"SELECT * FROM t WHERE name = '\ud800'"})",
        R"({"action":"sql","sql":"SELECT * FROM t WHERE name = '\udc00\ud800'"})",
        R"({"action":"sql","sql":"SELECT * FROM t WHERE name = '\u12"})",
        R"({"action":"sql","sql":"SELECT * FROM t WHERE name = '\uZZZZ'"})",
        R"({"action":"sql","sql":"SELECT * FROM t WHERE name = '\"})",
        R"({"action":"sql","sql":"\u0053ELECT * FROM t"})",
        R"({"action":"sql","sql":"SELECT * FROM t\u0000; DROP TABLE s"})",
        R"({"action":"\u0070ing"})",
        R"({"action":"ping","action":"sql"})",
        R"({"action":"sql","sql":"SELECT * FROM t","sql":"DROP TABLE s"})",
        "{\"action\":\"sql\",\"sql\":\"SELECT * FROM t WHERE name = '\xff\xfe\xc3'\"}",
        "{\"action\":\"sql\",\"sql\":\"SELECT * FROM \xc0\xaft\"}",
        "{\"action\":\"insert\",\"table\":\"s\",\"data\":{\"id\":60,\"v\":\"\xed\xa0\x80\x80\"}}",
        "{\"action\":\"insert\",\"table\":\"s\",\"data\":{\"id\":61,\"v\xff\":\"x\"}}",
        "{\"\xff\":\"ping\",\"action\":\"ping\"}",
        R"({"action":"insert","table":"s","data":{"id":62,"v":"\u0000\u001f\\\/\b\f\n\r\t"}})",
    };
    for (const std::string& c : cases) probe(c);
    expect_alive();
}

// Text that is not UTF-8, raw or escaped, is refused before anything reads
// it, so no name or value can hold it and later listings stay valid JSON.
TEST_F(Malformed, TextThatIsNotUtf8IsRefusedBeforeParsing) {
    const struct {
        std::string request;
        std::string bad;  // the first offending bytes; the error names their offset
    } cases[] = {
        {"{\"action\":\"sql\",\"sql\":\"CREATE TABLE u (i\xc0\x80"
         "d int PRIMARY KEY)\"}",
         "\xc0"},
        {"{\"action\":\"sql\",\"sql\":\"ALTER TABLE s ADD COLUMN \xed\xa0\x80 int\"}", "\xed"},
        {"{\"action\":\"create_table\",\"table\":\"u\xff\",\"columns\":"
         "[{\"name\":\"id\",\"type\":\"int\",\"primary_key\":true}]}",
         "\xff"},
        {"{\"action\":\"insert\",\"table\":\"s\",\"data\":{\"id\":90,\"v\":\"\xe2\x82\"}}", "\xe2"},
        {R"({"action":"insert","table":"s","data":{"id":91,"v":"\ud800"}})", "\\ud800"},
        {R"({"action":"insert","table":"s","data":{"id":92,"v\udfff":"x"}})", "\\udfff"},
        {R"J({"action":"sql","sql":"INSERT INTO s VALUES (93, '\udc00\ud800', 1)"})J", "\\udc00"},
        {"{\"action\":\"sql\",\"sql\":\"SELECT * FROM nosuch\xf4\x90\x80\x80\"}", "\xf4"},
        {"{\"action\":\"login\",\"username\":\"admin\xc3\",\"password\":\"x\"}", "\xc3"},
    };
    for (const auto& c : cases) {
        std::string r = c_->ask(c.request);
        EXPECT_TRUE(json_strict_valid(r)) << r;
        EXPECT_EQ(error_of(r),
                  "request is not valid UTF-8 (byte " + std::to_string(c.request.find(c.bad)) + ")")
            << testing::PrintToString(c.request);
    }
    // The session is as it was, nothing was created or stored, and the
    // listings and rows read back as valid JSON.
    for (const std::string& q : {std::string("SHOW TABLES"), std::string("SHOW TABLE s"),
                                 std::string("SELECT * FROM s ORDER BY id")}) {
        std::string r = c_->sql(q);
        EXPECT_TRUE(ok(r)) << q << " -> " << r;
        EXPECT_TRUE(json_strict_valid(r)) << r;
        EXPECT_EQ(r.find("\"u"), std::string::npos) << r;
    }
    EXPECT_EQ(json_get(c_->sql("SELECT id FROM s ORDER BY id"), "rows"), R"([{"id":1},{"id":2}])");
    expect_alive();
}

TEST_F(Malformed, EveryActionWithMissingEmptyOrWrongMembers) {
    for (const char* a : kActions) {
        const std::string head = R"({"action":)" + jstr(a);
        // These would end the session or change the login itself.
        const bool own_login = std::string(a) == "login" || std::string(a) == "auth" ||
                               std::string(a) == "change_password";
        probe(head + "}");
        for (const char* v : kValues) {
            std::string all = head;
            for (const char* m : kMembers) all += std::string(",\"") + m + "\":" + v;
            if (!own_login) probe(all + "}");
            for (const char* m : kMembers) {
                if (own_login && std::string(v) != "null" && std::string(v)[0] != '[' &&
                    std::string(v)[0] != '{')
                    continue;
                probe(head + ",\"" + m + "\":" + v + "}");
            }
        }
        // The action itself of the wrong type.
        probe(std::string(R"({"action":)") + "[" + jstr(a) + "]}");
        ensure_session();
    }
    for (const char* v : kValues) probe(std::string(R"({"action":)") + v + "}");
    expect_alive();
}

TEST_F(Malformed, EveryPrefixOfEveryStatementKind) {
    // Statements that change data act on the scratch table s (or new names),
    // so prefixes such as "DELETE FROM s" never touch t.
    const char* const statements[] = {
        "SELECT id, name FROM t WHERE n >= 10 AND name <> 'x' ORDER BY id DESC LIMIT 2",
        "SELECT COUNT(*) FROM t WHERE (n = 10 OR n = 20) AND id IN (1, 2, 3)",
        "SELECT t.id, s.v FROM t JOIN s ON t.id = s.id WHERE t.n > 0 ORDER BY t.id",
        "SELECT * FROM t WHERE name LIKE 'a%' AND n BETWEEN 1 AND 99 LIMIT 10 OFFSET 1",
        "INSERT INTO s (id, v, w) VALUES (100, 'it''s', -5), (101, \"b\", 0)",
        "UPDATE s SET v = 'z', w = w + 1 WHERE id = 1",
        "DELETE FROM s WHERE id = 100",
        "CREATE TABLE zz2 (id int PRIMARY KEY, v varchar(10) NOT NULL, w double DEFAULT 1.5)",
        "ALTER TABLE s ADD COLUMN extra int DEFAULT 5",
        "ALTER TABLE s RENAME COLUMN extra TO more",
        "ALTER TABLE s DROP COLUMN more",
        "CREATE INDEX s_w ON s (w)",
        "CREATE UNIQUE INDEX s_v ON s (v)",
        "DROP INDEX s_w ON s",
        "CREATE PROCEDURE q(IN k INT, IN tag STRING) ON s AS $$ SELECT * FROM s WHERE id = :k; $$",
        "CALL q(1, 'x')",
        "DROP PROCEDURE q ON s",
        "CREATE USER eve IDENTIFIED BY 'pw x'",
        "GRANT READ ON m TO eve",
        "CREATE DATABASE m2",
        "SHOW TABLE s",
        "SHOW INDEXES s",
        "SHOW PROCEDURES s",
        "KILL CURSOR PIN 12345",
        "DROP TABLE zz2",
        "USE m",
    };
    for (const char* s : statements) {
        const std::string full(s);
        for (size_t n = 1; n <= full.size(); ++n) probe_sql(full.substr(0, n));
        ensure_session();
    }
    expect_alive();
}

// Random edits of valid statements and requests: characters replaced,
// spans dropped, doubled or swapped, and tokens that parsers treat specially
// put in anywhere. The seed is fixed, so a failure repeats. Every reply must
// be valid JSON and the server must stay up; afterwards t is rebuilt, since
// an edit may well have turned a statement on s into one on t.
TEST_F(Malformed, MutationsOfValidStatementsAndRequests) {
    const std::vector<std::string> statements = {
        "SELECT id, name FROM t WHERE n >= 10 AND name <> 'x' ORDER BY id DESC LIMIT 2",
        "SELECT name, COUNT(*), SUM(n) FROM t WHERE id IN (1, 2, 3) GROUP BY name ORDER BY name",
        "SELECT t.id, s.v FROM t JOIN s ON t.id = s.id WHERE t.n > 0 ORDER BY t.id LIMIT 5",
        "SELECT id, ROW_NUMBER() OVER (ORDER BY n DESC) FROM t WHERE name LIKE 'a%'",
        "SELECT * FROM t WHERE (n = 10 OR n = 20) AND id BETWEEN 1 AND 3 LIMIT 1 OFFSET 1",
        "INSERT INTO s (id, v, w) VALUES (100, 'it''s', -5), (101, \"b\", 0)",
        "UPDATE s SET v = 'z', w = w + 1 WHERE id = 1",
        "DELETE FROM s WHERE id = 100",
        "CREATE TABLE zz3 (id int PRIMARY KEY, v varchar(10) NOT NULL, w double DEFAULT 1.5)",
        "ALTER TABLE s ADD COLUMN extra int DEFAULT 5",
        "CREATE UNIQUE INDEX s_vw ON s (v DESC, w ASC NULLS FIRST)",
        "DROP INDEX s_vw ON s",
        "CREATE PROCEDURE q2(IN k INT, IN tag STRING) ON s AS $$ DECLARE i INT DEFAULT 0; "
        "WHILE i < 3 DO SET i = i + 1; ENDWHILE; IF k > 1 THEN SELECT * FROM s WHERE id = :k; "
        "ELSE UPDATE s SET w = :i WHERE id = 1; ENDIF; $$",
        "CALL q2(1, 'x')",
        "CREATE USER mallory IDENTIFIED BY 'pw x'",
        "GRANT READ ON m TO mallory",
        "SHOW TABLE s",
        "KILL CURSOR PIN 12345",
    };
    const std::vector<std::string> requests = {
        R"({"action":"insert","table":"s","data":{"id":300,"v":"q","w":1}})",
        R"({"action":"batch_insert","table":"s","rows":[{"id":301,"v":"a"},{"id":302,"w":2}]})",
        R"J({"action":"create_table","table":"zz4","columns":[{"name":"id","type":"int",)J"
        R"J("primary_key":true},{"name":"v","type":"varchar(5)"}]})J",
        R"({"action":"cursor_open","sql":"SELECT * FROM s ORDER BY id","fetch_size":1})",
        R"({"action":"cursor_fetch","cursor_id":1,"fetch":2})",
        R"({"action":"call_procedure","procedure":"q2","args":"1, 'x'"})",
        R"({"action":"grant_role","username":"mallory","database":"m","role":"READ"})",
        R"({"action":"show_indexes","table":"s"})",
    };
    // Tokens that parsers treat specially, between '|' marks.
    std::vector<std::string> tokens;
    {
        const std::string all =
            "'|\"|(|)|,|;|$$|\\|*|%|=|<>| |NULL|JOIN|WHERE| ORDER BY | LIMIT | GROUP BY |OVER (|"
            "DESC|9223372036854775808|-1|1e400|''|\xc3\xa9|\xe2\x82\xac|\xf0\x9f\x98\x80|:k|__|..|"
            "/|{|}|[|]|:|\\u0000|\\ud800|\\\"|true|0";
        for (size_t p = 0, q; p <= all.size(); p = q + 1) {
            q = all.find('|', p);
            if (q == std::string::npos) q = all.size();
            tokens.push_back(all.substr(p, q - p));
        }
    }
    std::mt19937 rng(20260612);
    auto pick = [&](size_t n) { return n ? size_t(rng() % n) : 0; };
    // One to three edits; a multi-byte character is only ever put in whole.
    auto mutate = [&](std::string text) {
        for (int edits = 1 + int(rng() % 3); edits > 0 && !text.empty(); --edits) {
            const size_t at = pick(text.size()), len = 1 + pick(6);
            switch (rng() % 5) {
            case 0: text[at] = "'\"()$,;=<>*%_-+.09 aZ\\"[pick(23)]; break;
            case 1: text.erase(at, len); break;
            case 2: text.insert(at, tokens[pick(tokens.size())]); break;
            case 3: text.insert(at, text.substr(pick(text.size()), len)); break;
            default: {
                const size_t other = pick(text.size());
                std::string a = text.substr(at, len);
                text.erase(at, a.size());
                text.insert(std::min(other, text.size()), a);
            }
            }
        }
        return text;
    };
    for (const std::string& st : statements) {
        for (int i = 0; i < 60; i++) probe_sql(mutate(st));
        ensure_session();
    }
    for (const std::string& rq : requests) {
        for (int i = 0; i < 60; i++) probe(mutate(rq));
        ensure_session();
    }
    srv_.wait_exit(std::chrono::milliseconds(0));
    ASSERT_TRUE(srv_.running()) << "the server stopped:\n" << srv_.stderr_text();
    expect_alive();

    // Back to the rows TearDown reads.
    c_->sql("DROP TABLE t");
    for (const char* q :
         {"CREATE TABLE t (id int PRIMARY KEY, name string, n int)", "CREATE INDEX t_n ON t (n)"}) {
        std::string r = c_->sql(q);
        ASSERT_TRUE(ok(r)) << q << " -> " << r;
    }
    std::string r =
        c_->ask(std::string(R"({"action":"batch_insert","table":"t","rows":)") + kRows + "}");
    ASSERT_TRUE(ok(r)) << r;
}

TEST_F(Malformed, UnbalancedQuotesParenthesesAndBodies) {
    const char* const cases[] = {
        "SELECT * FROM t WHERE name = 'a",
        "SELECT * FROM t WHERE name = \"a",
        "SELECT * FROM t WHERE name = 'a''",
        "SELECT * FROM t WHERE name = '''",
        "SELECT * FROM t WHERE (id = 1",
        "SELECT * FROM t WHERE id = 1)",
        "SELECT * FROM t WHERE ((((((((((id = 1",
        "SELECT * FROM t WHERE ))))))))) id = 1",
        "SELECT * FROM t WHERE id IN (1, 2",
        "SELECT * FROM t WHERE id IN ()",
        "SELECT * FROM t WHERE id IN (,,,)",
        "SELECT COUNT( FROM t",
        "SELECT * FROM `t",
        "SELECT * FROM \"t",
        "SELECT * FROM 't'",
        "INSERT INTO s VALUES (1, 'x",
        "INSERT INTO s VALUES (1, 'x', 3",
        "INSERT INTO s VALUES 1, 'x', 3)",
        "INSERT INTO s VALUES ((7, 'x', 3))",
        "INSERT INTO s (id, v VALUES (7, 'x')",
        "INSERT INTO s VALUES (8, 'x', 3),",
        "INSERT INTO s VALUES (8, 'x', 3),,(9, 'y', 1)",
        "UPDATE s SET v = 'z WHERE id = 1",
        "UPDATE s SET v = (1 WHERE id = 1",
        "DELETE FROM s WHERE id = (1",
        "CREATE TABLE u1 (id int PRIMARY KEY, v string",
        "CREATE TABLE u2 id int PRIMARY KEY, v string)",
        "CREATE TABLE u3 (id int PRIMARY KEY, v varchar(10)",
        "CREATE TABLE u4 (id int PRIMARY KEY, v string DEFAULT 'x)",
        "CREATE TABLE u5 (id int PRIMARY KEY, (v string))",
        "CREATE TABLE u6 ()",
        "CREATE INDEX i1 ON s (v",
        "CREATE INDEX i2 ON s v)",
        "CREATE PROCEDURE p1() ON s AS $$ SELECT * FROM s",
        "CREATE PROCEDURE p2() ON s AS $$",
        "CREATE PROCEDURE p3() ON s AS $",
        "CREATE PROCEDURE p4() ON s AS $$$$",
        "CREATE PROCEDURE p5() ON s AS $$ $$ $$",
        "CREATE PROCEDURE p6() ON s AS $$ SELECT * FROM s WHERE v = '$$'",
        "CREATE PROCEDURE p7(IN k INT ON s AS $$ SELECT * FROM s; $$",
        "CREATE PROCEDURE p8(IN k) ON s AS $$ SELECT * FROM s; $$",
        "CREATE PROCEDURE p9(IN k INT, ) ON s AS $$ SELECT * FROM s; $$",
        "CREATE PROCEDURE p10() ON s AS $$ WHILE 1 < 2 DO $$",
        "CREATE PROCEDURE p11() ON s AS $$ IF 1 = 1 THEN SELECT * FROM s; $$",
        "CREATE PROCEDURE p12() ON s AS $$ ENDIF ENDWHILE ELSE $$",
        "CREATE PROCEDURE p13() ON s AS $$ DECLARE i INT DEFAULT; $$",
        "CREATE PROCEDURE p14() ON s AS $$ SET = 1; $$",
        "CALL p1(",
        "CALL p1('x",
        "CALL p1)",
        "CALL (1)",
        "CALL",
        "CALL ",
        "LOGIN",
        "CREATE USER x IDENTIFIED BY 'unterminated",
        "CREATE USER 'x IDENTIFIED BY 'p'",
        "GRANT READ ON 'm TO eve",
        "SHOW TABLE 's",
        "USE 'm",
        "USE \"",
        "KILL CURSOR '",
        "SELECT * FROM t WHERE name = 'a' OR 'b",
        "SELECT * FROM t;;;;",
        ";",
        "'",
        "\"",
        "(",
        ")",
        "$$",
    };
    for (const char* s : cases) probe_sql(s);
    expect_alive();
}

TEST_F(Malformed, AbsurdDdlCallCursorAndNumericArguments) {
    const std::string many_cols = [] {
        std::string s = "CREATE INDEX wide ON s (";
        for (int i = 0; i < 2000; ++i) s += i ? ", v" : "v";
        return s + ")";
    }();
    const std::string many_args = [] {
        std::string s = "CALL q(";
        for (int i = 0; i < 5000; ++i) s += i ? ", 1" : "1";
        return s + ")";
    }();
    const std::string many_table_cols = [] {
        std::string s = "CREATE TABLE wide (id int PRIMARY KEY";
        for (int i = 0; i < 3000; ++i) s += ", c" + std::to_string(i) + " int";
        return s + ")";
    }();
    const std::string many_values = [] {
        std::string s = "INSERT INTO s VALUES (200, 'x', 1";
        for (int i = 0; i < 3000; ++i) s += ", 1";
        return s + ")";
    }();
    const std::string deep_parens =
        "SELECT * FROM t WHERE " + std::string(20000, '(') + "id = 1" + std::string(20000, ')');
    const std::string long_in = [] {
        std::string s = "SELECT * FROM t WHERE id IN (";
        for (int i = 0; i < 20000; ++i) s += i ? ",1" : "1";
        return s + ")";
    }();
    const std::string long_and = [] {
        std::string s = "SELECT * FROM t WHERE id = 1";
        for (int i = 0; i < 5000; ++i) s += " AND n = 10";
        return s;
    }();
    ASSERT_TRUE(
        ok(c_->sql("CREATE PROCEDURE q(IN k INT) ON s AS $$ SELECT * FROM s WHERE id = :k; $$")));
    const std::vector<std::string> sql = {
        // LIMIT, OFFSET and literals at the 64-bit edges.
        "SELECT * FROM t LIMIT 9223372036854775807",
        "SELECT * FROM t LIMIT 9223372036854775808",
        "SELECT * FROM t LIMIT 18446744073709551615",
        "SELECT * FROM t LIMIT 18446744073709551616",
        "SELECT * FROM t LIMIT 99999999999999999999999999999999",
        "SELECT * FROM t LIMIT -1",
        "SELECT * FROM t LIMIT -9223372036854775808",
        "SELECT * FROM t LIMIT 0",
        "SELECT * FROM t LIMIT 1e3",
        "SELECT * FROM t LIMIT x",
        "SELECT * FROM t LIMIT",
        "SELECT * FROM t LIMIT 1 OFFSET 9223372036854775807",
        "SELECT * FROM t LIMIT 9223372036854775807 OFFSET 9223372036854775807",
        "SELECT * FROM t LIMIT 1 OFFSET -1",
        "SELECT * FROM t WHERE id = 9223372036854775807",
        "SELECT * FROM t WHERE id = -9223372036854775808",
        "SELECT * FROM t WHERE id = 9223372036854775808",
        "SELECT * FROM t WHERE id = -9223372036854775809",
        "SELECT * FROM t WHERE id = 1e400",
        "SELECT * FROM t WHERE id = -1e400",
        "SELECT * FROM t WHERE id = 0x10",
        "SELECT * FROM t WHERE id = --1",
        "SELECT * FROM t WHERE n > 9223372036854775807 OR n < -9223372036854775808",
        "SELECT * FROM t WHERE n BETWEEN 9223372036854775807 AND -9223372036854775808",
        "SELECT * FROM t WHERE n = 10 ORDER BY n LIMIT 9223372036854775807",
        "INSERT INTO s VALUES (9223372036854775807, 'max', -9223372036854775808)",
        "INSERT INTO s VALUES (9223372036854775808, 'over', 0)",
        "INSERT INTO s VALUES (-9223372036854775809, 'under', 0)",
        "INSERT INTO s VALUES (300, 'inf', 1e400)",
        "UPDATE s SET w = w + 9223372036854775807 WHERE id = 9223372036854775807",
        "UPDATE s SET w = w - 9223372036854775807 WHERE id = 9223372036854775807",
        "UPDATE s SET w = w * 9223372036854775807 WHERE id = 1",
        "UPDATE s SET w = w - 1 WHERE id = 9223372036854775807",
        "UPDATE s SET w = w + 1 WHERE id = 9223372036854775807",
        "UPDATE s SET w = w / 0 WHERE id = 1",
        "UPDATE s SET w = w % 0 WHERE id = 1",
        "UPDATE s SET w = -9223372036854775808 / -1 WHERE id = 1",
        "SELECT * FROM s WHERE w + 9223372036854775807 > 0",
        "SELECT * FROM s WHERE w * -9223372036854775808 > 0",
        "DELETE FROM s WHERE id = 9223372036854775807",
        // DDL with absurd arguments.
        "ALTER TABLE s ADD COLUMN big int DEFAULT 99999999999999999999",
        "ALTER TABLE s ADD COLUMN v2 varchar(-1)",
        "ALTER TABLE s ADD COLUMN v3 varchar(0)",
        "ALTER TABLE s ADD COLUMN v4 varchar(99999999999999999999)",
        "ALTER TABLE s ADD COLUMN v5 varchar(4294967297)",
        "ALTER TABLE s ADD COLUMN v6 nosuchtype",
        "ALTER TABLE s ADD COLUMN",
        "ALTER TABLE s ADD",
        "ALTER TABLE s DROP COLUMN id",
        "ALTER TABLE s DROP COLUMN nosuch",
        "ALTER TABLE s RENAME COLUMN id TO id",
        "ALTER TABLE s RENAME COLUMN v TO w",
        "ALTER TABLE s RENAME COLUMN nosuch TO x",
        "ALTER TABLE s RENAME COLUMN v TO",
        "ALTER TABLE s FROBNICATE",
        "ALTER TABLE",
        "ALTER TABLE t DROP COLUMN n",
        "CREATE INDEX i ON s ()",
        "CREATE INDEX i ON s (nosuch)",
        "CREATE INDEX i ON s (v, v)",
        "CREATE INDEX  ON s (v)",
        "CREATE INDEX i ON (v)",
        "CREATE INDEX i ON nosuch (v)",
        "CREATE INDEX t_n ON t (n)",
        "CREATE INDEX i ON s (v) USING nosuch",
        "CREATE UNIQUE INDEX i ON t (name, name, name)",
        many_cols,
        many_table_cols,
        many_values,
        "CREATE TABLE nopk (v int)",
        "CREATE TABLE twopk (a int PRIMARY KEY, b int PRIMARY KEY)",
        "CREATE TABLE dup (a int PRIMARY KEY, a int)",
        "DROP INDEX nosuch",
        "DROP INDEX",
        "DROP TABLE",
        // CALL with absurd arguments.
        "CALL q()",
        "CALL q(1, 2)",
        "CALL q('x')",
        "CALL q(9223372036854775808)",
        "CALL q(-9223372036854775809)",
        "CALL q(((1)))",
        "CALL q(NULL)",
        "CALL nosuch(1)",
        many_args,
        // Cursor statements with absurd ids.
        "KILL CURSOR 18446744073709551616",
        "KILL CURSOR -1",
        "KILL CURSOR 0",
        "KILL CURSOR PIN -1",
        "KILL CURSOR PIN 99999999999999999999999",
        "KILL CURSOR PIN",
        "KILL CURSOR ",
        deep_parens,
        long_in,
        long_and,
    };
    for (const std::string& s : sql) probe_sql(s);
    ensure_session();

    std::string open = c_->ask(R"({"action":"cursor_open","sql":"SELECT * FROM t","fetch":1})");
    ASSERT_TRUE(ok(open)) << open;
    const std::string id = json_get(open, "cursor_id");
    const std::vector<std::string> cursor = {
        R"({"action":"cursor_open","sql":"DELETE FROM t"})",
        R"J({"action":"cursor_open","sql":"INSERT INTO t VALUES (9, 'z', 90)"})J",
        R"({"action":"cursor_open","sql":"SELECT * FROM t","fetch":-1})",
        R"({"action":"cursor_open","sql":"SELECT * FROM t","fetch":0})",
        R"({"action":"cursor_open","sql":"SELECT * FROM t","fetch":18446744073709551616})",
        R"({"action":"cursor_open","sql":"SELECT * FROM t","fetch_size":"x"})",
        R"({"action":"cursor_open","sql":"SELECT * FROM t LIMIT 18446744073709551616"})",
        R"({"action":"cursor_open","sql":"SELECT * FROM nosuch"})",
        R"({"action":"cursor_open","sql":"SELECT * FROM t JOIN s ON t.id = s.id"})",
        R"({"action":"cursor_fetch","cursor_id":)" + id + R"(,"fetch":0})",
        R"({"action":"cursor_fetch","cursor_id":)" + id + R"(,"fetch":-1})",
        R"({"action":"cursor_fetch","cursor_id":)" + id + R"(,"fetch_size":-9223372036854775808})",
        R"({"action":"cursor_fetch","cursor_id":)" + id + R"(,"fetch_size":9223372036854775807})",
        R"({"action":"cursor_fetch","cursor_id":)" + id + R"(,"fetch_size":1e400})",
        R"({"action":"cursor_fetch","cursor_id":")" + id + R"("})",
        R"({"action":"cursor_fetch","cursor_id":0})",
        R"({"action":"cursor_fetch","cursor_id":-9223372036854775808})",
        R"({"action":"cursor_fetch","cursor_id":9223372036854775807})",
        R"({"action":"cursor_fetch","cursor_id":18446744073709551617})",
        R"({"action":"cursor_fetch","cursor_id":1.5})",
        R"({"action":"cursor_fetch","cursor_id":[1]})",
        R"({"action":"cursor_kill","cursor_id":-1})",
        R"({"action":"cursor_kill","token":"-1"})",
        R"({"action":"cursor_kill","pin_token":18446744073709551616})",
        R"({"action":"cursor_kill","pin_token":"x"})",
        R"({"action":"cursor_close","cursor_id":)" + id + "}",
        R"({"action":"cursor_close","cursor_id":)" + id + "}",
        R"({"action":"cursor_fetch","cursor_id":)" + id + "}",
        R"({"action":"call_procedure","procedure":"q","args":"1, 2, 3"})",
        R"({"action":"call_procedure","procedure":"q","args":[1,2]})",
        R"({"action":"call_procedure","procedure":"q","args":"9223372036854775808"})",
        R"({"action":"call_procedure","procedure":"q","args":"'"})",
        R"({"action":"call_procedure","procedure":"q","table":"s","args":"("})",
        R"({"action":"alter_table","sql":"ALTER TABLE s ADD c int DEFAULT 9223372036854775808"})",
        R"({"action":"alter_table","sql":"DROP TABLE t"})",
        R"({"action":"alter_table","sql":"SELECT * FROM t"})",
        R"({"action":"alter_table","table":"t","sql":""})",
        R"({"action":"create_table","table":"j1","columns":[]})",
        R"({"action":"create_table","table":"j2","columns":[{}]})",
        R"({"action":"create_table","table":"j3","columns":[1,2]})",
        R"({"action":"create_table","table":"j4","columns":{"name":"id"}})",
        R"({"action":"create_table","table":"j5","columns":[{"name":"id","type":"int","primary_key":"1","length":-1}]})",
        R"J({"action":"create_table","table":"j6","columns":[{"name":"id","type":"varchar(99999999999)","primary_key":"1"}]})J",
        R"({"action":"create_table","table":"j7","columns":[{"name":["id"],"type":{},"primary_key":[]}]})",
        R"({"action":"insert","table":"s","data":[]})",
        R"({"action":"insert","table":"s","data":"id=1"})",
        R"({"action":"insert","table":"s","data":{"id":null}})",
        R"({"action":"insert","table":"s","data":{"id":{"x":1},"v":[1]}})",
        R"({"action":"insert","table":"s","data":{"id":9223372036854775808,"v":"x"}})",
        R"({"action":"insert","table":"s","data":{"id":400,"nosuch":1}})",
        R"({"action":"insert","table":"s","data":{"id":401,"id":402}})",
        R"({"action":"batch_insert","table":"s","rows":{}})",
        R"({"action":"batch_insert","table":"s","rows":[1,"x",null,[]]})",
        R"({"action":"batch_insert","table":"s","rows":[{"id":500},{"id":500}]})",
        R"({"action":"drop_index","index":"t_n","table":"nosuch"})",
    };
    for (const std::string& r : cursor) probe(r);
    expect_alive();
}

TEST_F(Malformed, NamesAtTheLengthLimitAndWithForbiddenBytes) {
    std::vector<std::string> names;
    for (size_t n : {63u, 64u, 65u, 511u, 512u, 4000u}) names.push_back(std::string(n, 'n'));
    for (const char* bad :
         {"a b", "a/b",  "..",   "../x",      "a\\b",          "a\x01",  "\xc3\xa4", "\xff", "a\"b",
          "a'b", "a;b",  "a__b", "_",         "9lead",         "a-b",    "a.b",      "a*",   "a,b",
          "a)b", "a$$b", "a\tb", "config_db", "kyreldb_users", "select", "null"}) {
        names.push_back(bad);
    }
    for (const std::string& n : names) {
        const std::string q = "\"" + n + "\"";
        for (const std::string& s :
             {"CREATE TABLE " + n + " (id int PRIMARY KEY)",
              "CREATE TABLE " + q + " (id int PRIMARY KEY)",
              "CREATE TABLE x1 (" + n + " int PRIMARY KEY)",
              "ALTER TABLE s ADD COLUMN " + n + " int",
              "ALTER TABLE s RENAME COLUMN w TO " + n,
              "ALTER TABLE s RENAME COLUMN " + n + " TO w",
              "ALTER TABLE s DROP COLUMN " + n,
              "CREATE INDEX " + n + " ON s (v)",
              "CREATE INDEX ix ON s (" + n + ")",
              "DROP INDEX " + n,
              "CREATE DATABASE " + n,
              "USE " + n,
              "SHOW TABLE " + n,
              "CREATE USER " + n + " IDENTIFIED BY 'p'",
              "GRANT READ ON " + n + " TO " + n,
              "CREATE PROCEDURE " + n + "() ON s AS $$ SELECT * FROM s; $$",
              "CREATE PROCEDURE pp(IN " + n + " INT) ON s AS $$ SELECT * FROM s; $$",
              "CALL " + n + "()",
              "DROP PROCEDURE " + n,
              "SELECT " + n + " FROM t",
              "SELECT * FROM " + n,
              "SELECT * FROM t WHERE " + n + " = 1",
              "SELECT * FROM t ORDER BY " + n,
              "INSERT INTO " + n + " VALUES (1)",
              "INSERT INTO s (" + n + ") VALUES (1)",
              "UPDATE s SET " + n + " = 1 WHERE id = 1",
              "DELETE FROM " + n + " WHERE id = 1",
              "DROP TABLE " + n}) {
            probe_sql(s);
        }
        for (const std::string& j :
             {R"({"action":"create_table","table":)" + jstr(n) +
                  R"(,"columns":[{"name":"id","type":"int","primary_key":true}]})",
              R"({"action":"create_table","table":"x2","columns":[{"name":)" + jstr(n) +
                  R"(,"type":"int","primary_key":true}]})",
              R"({"action":"insert","table":"s","data":{)" + jstr(n) + ":1}}",
              R"({"action":"insert","table":)" + jstr(n) + R"(,"data":{"id":1}})",
              R"({"action":"show_table","table":)" + jstr(n) + "}",
              R"({"action":"show_indexes","table":)" + jstr(n) + "}",
              R"({"action":"drop_index","index":)" + jstr(n) + "}",
              R"({"action":"create_database","database":)" + jstr(n) + "}",
              R"({"action":"create_user","username":)" + jstr(n) + R"(,"password":"p"})",
              R"({"action":"grant_role","username":)" + jstr(n) + R"(,"database":)" + jstr(n) +
                  R"(,"role":)" + jstr(n) + "}",
              R"({"action":"call_procedure","procedure":)" + jstr(n) + "}",
              R"({"action":"drop_procedure","procedure":)" + jstr(n) + R"(,"table":)" + jstr(n) +
                  "}",
              R"({"action":"drop_table","table":)" + jstr(n) + "}"}) {
            probe(j);
        }
        ensure_session();
        // Undo whatever a legal name created so the next round starts alike.
        c_->sql("DROP TABLE x1");
        c_->sql("DROP TABLE x2");
    }
    expect_alive();
}

TEST_F(Malformed, StringsNearTheFrameLimit) {
    constexpr size_t kMax = 8u * 1024u * 1024u;
    auto sized = [&](const std::string& head, const std::string& tail, char fill) {
        return head + std::string(kMax - head.size() - tail.size(), fill) + tail;
    };
    const std::vector<std::string> cases = {
        sized(R"({"action":"sql","sql":"SELECT * FROM t WHERE name = ')", R"('"})", 'x'),
        sized(R"({"action":"sql","sql":"SELECT * FROM t WHERE name = ')", R"("})", 'x'),
        sized(R"({"action":"sql","sql":"SELECT )", R"( FROM t"})", 'c'),
        sized(R"({"action":"sql","sql":"SELECT * FROM )", R"("})", 't'),
        sized(R"({"action":"sql","sql":")", R"("})", ' '),
        sized(R"({"action":"sql","sql":")", R"("})", '('),
        sized(R"({"action":"sql","sql":"SELECT * FROM t WHERE id IN (1)", R"J()"})J", '1'),
        sized(R"({"action":"insert","table":"s","data":{"id":700,"v":")", R"("}})", 'v'),
        sized(R"({"action":"sql","sql":"INSERT INTO s VALUES (701, ')", R"J(', 1)"})J", 'w'),
        sized(R"({"action":"sql","sql":"UPDATE s SET v = ')", R"(' WHERE id = 1"})", 'u'),
        sized(R"({"action":"sql","sql":"CREATE PROCEDURE big() ON s AS $$ )", R"( $$"})", ' '),
        sized(R"({"action":"sql","sql":"CREATE TABLE )", R"J( (id int PRIMARY KEY)"})J", 'n'),
        sized(R"({"action":"create_database","database":")", R"("})", 'd'),
        sized(R"({"action":"login","username":")", R"(","password":"x"})", 'u'),
        sized(R"({"action":")", R"("})", 'a'),
        sized(R"({"action":"sql","sql":"SELECT * FROM t WHERE name = ')", R"('"})", '\\'),
        sized(R"({"action":"ping","pad":")", R"("})", '\\'),
    };
    // \u escapes filling the frame, each decoding to a multi-byte character.
    std::string esc = R"({"action":"insert","table":"s","data":{"id":702,"v":")";
    while (esc.size() + 6 + 4 <= kMax) esc += "\\u20ac";
    std::string esc_req = esc + R"("}})";
    for (const std::string& c : cases) probe(c);
    probe(esc_req);
    ensure_session();
    expect_alive();
}

}  // namespace
