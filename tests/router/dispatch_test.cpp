// Request classes, permission test, CALL policy, row changes of the system
// tables, statement values and the JSON text helpers of the router.
#include <gtest/gtest.h>

#include <cstring>

#include "router_config.h"
#include "router_harness.h"
#include "router_request.h"
#include "router_json.h"
#include "router_system_rows.h"
#include "router_wire.h"

using namespace router_test;

namespace {

// Loads a configuration into g_cfg and returns a logged-in session for user.
class RouterConfigFixture : public ::testing::Test {
  protected:
    void load(const std::string& text) {
        std::string path = dir_.file("r.config");
        write_file(path, text);
        char err[256];
        ASSERT_EQ(router_load_config(path.c_str(), err, sizeof err), 0) << err;
    }
    RouterSession session_for(const char* user) {
        RouterSession s;
        router_session_init(&s, -1);
        s.authenticated = 1;
        router_copy_str(s.username, sizeof s.username, user);
        router_session_refresh_user(&s);
        return s;
    }
    TempDir dir_;
};

void use_default_settings() {
    std::lock_guard<std::mutex> g(g_cfg_lock);
    router_config_set_defaults(&g_cfg);
}

}  // namespace

TEST(RouterClasses, SqlStatements) {
    use_default_settings();
    struct Case {
        const char* sql;
        int role;
    };
    const Case cases[] = {
        {"SELECT * FROM t", ROUTER_ROLE_READ},
        {"select * from t", ROUTER_ROLE_READ},
        {"SELECT\n* FROM t", ROUTER_ROLE_FULL},
        {"SELECT", ROUTER_ROLE_FULL},
        {"SHOW TABLES", ROUTER_ROLE_READ},
        {"  show procedures;", ROUTER_ROLE_READ},
        {"SHOW PROCEDURE(x)", ROUTER_ROLE_READ},
        {"INSERT INTO t VALUES (1)", ROUTER_ROLE_WRITE},
        {"UPDATE t SET a=1", ROUTER_ROLE_WRITE},
        {"DELETE FROM t", ROUTER_ROLE_WRITE},
        {"CREATE PROCEDURE p()", ROUTER_ROLE_FULL},
        {"create or replace procedure p", ROUTER_ROLE_FULL},
        {"DROP PROCEDURE p", ROUTER_ROLE_FULL},
        {"CALL p(1)", ROUTER_ROLE_FULL},  // sp_call_role default FULL
        {"CALLX p", ROUTER_ROLE_FULL},
        {"USE sales", 0},
        {"DROP TABLE t", ROUTER_ROLE_FULL},
        {"CREATE TABLE t (id INT)", ROUTER_ROLE_FULL},
        {"", ROUTER_ROLE_FULL},
    };
    for (const Case& c : cases) EXPECT_EQ(classify_sql_required_role(c.sql), c.role) << c.sql;
}

TEST(RouterClasses, JsonActions) {
    use_default_settings();
    struct Case {
        const char* action;
        int role;
    };
    const Case cases[] = {
        {"select", ROUTER_ROLE_READ},          {"SHOW_TABLES", ROUTER_ROLE_READ},
        {"show_index", ROUTER_ROLE_READ},      {"insert", ROUTER_ROLE_WRITE},
        {"batch_insert", ROUTER_ROLE_WRITE},   {"delete", ROUTER_ROLE_WRITE},
        {"create_database", ROUTER_ROLE_FULL}, {"vacuum", ROUTER_ROLE_FULL},
        {"anything", ROUTER_ROLE_FULL},        {"", ROUTER_ROLE_FULL},
        {"call_procedure", ROUTER_ROLE_FULL},
    };
    for (const Case& c : cases)
        EXPECT_EQ(classify_json_action_required_role(c.action), c.role) << c.action;
}

// Which requests change rows of the server's system tables, read as the
// backend reads them: in config_db every row change (a CALL included),
// elsewhere a row change naming a table called like a system table.
TEST(RouterSystemRows, RowChangesOfSystemTablesAreFound) {
    struct Case {
        const char* database;
        const char* request;  // a request with "action":"sql" is passed with its statement
        int changes;
    };
    const Case cases[] = {
        // config_db: every table is a system table, reading is not a change.
        {"config_db", R"J({"action":"sql","sql":"INSERT INTO kyreldb_users VALUES ('m')"})J", 1},
        {"CONFIG_DB", R"J({"action":"sql","sql":"update t SET a = 1 WHERE id = 1"})J", 1},
        {"config_db", R"J({"action":"sql","sql":"DELETE FROM kyreldb_user_roles WHERE k = 'x'"})J",
         1},
        {"config_db", R"J({"action":"sql","sql":"CALL fix()"})J", 1},
        {"config_db", R"J({"action":"sql","sql":"call(fix)"})J", 1},
        {"config_db", R"J({"action":"call_procedure","procedure":"fix"})J", 1},
        {"config_db", R"J({"action":"insert","table":"t","data":{"id":1}})J", 1},
        {"config_db", R"J({"action":"BATCH_INSERT","table":"t","rows":[{"id":1}]})J", 1},
        {"config_db", R"J({"action":"sql","sql":"SELECT * FROM kyreldb_users"})J", 0},
        {"config_db", R"J({"action":"select","table":"kyreldb_users"})J", 0},
        {"config_db", R"J({"action":"sql","sql":"SHOW TABLE kyreldb_users"})J", 0},
        {"config_db", R"J({"action":"sql","sql":"CREATE PROCEDURE p() ON t AS $$ SELECT 1 $$"})J",
         0},
        {"config_db", R"J({"action":"sql","sql":"INSERTS"})J", 0},
        // Elsewhere: the statement's table, in any spelling the backend reads
        // as that name.
        {"default", R"J({"action":"sql","sql":"INSERT INTO kyreldb_users VALUES ('m')"})J", 1},
        {"default", R"J({"action":"sql","sql":"insert into \"KYRELDB_USERS\"(a) values (1)"})J", 1},
        {"default", R"J({"action":"sql","sql":"INSERT INTO kyreldb_users(a) VALUES (1)"})J", 1},
        {"default",
         R"J({"action":"sql","sql":"UPDATE ' kyreldb_user_roles ' SET a = 1 WHERE k = 1"})J", 1},
        {"default",
         R"J({"action":"sql","sql":"DELETE FROM kyreldb_stored_procedures; WHERE k = 1"})J", 1},
        {"default", R"J({"action":"sql","sql":"INSERT INTO t VALUES ('kyreldb_users')"})J", 0},
        {"default", R"J({"action":"sql","sql":"UPDATE t SET a = 'kyreldb_users' WHERE id = 1"})J",
         0},
        {"default", R"J({"action":"sql","sql":"INSERT INTO kyreldb_users_old VALUES (1)"})J", 0},
        {"default", R"J({"action":"sql","sql":"CALL kyreldb_users()"})J", 0},
        {"default", R"J({"action":"call_procedure","procedure":"p"})J", 0},
        // The "table" member, which the backend's inserts take first, and
        // an insert's statement when it has none.
        {"default", R"J({"action":"insert","table":"kyreldb_users","data":{"id":1}})J", 1},
        {"default", R"J({"action":"insert","table":" 'Kyreldb_Users' ","data":{"id":1}})J", 1},
        {"default", R"J({"action":"insert","data":{"table":"kyreldb_users"},"table":"t"})J", 1},
        {"default",
         R"J({"action":"sql","sql":"INSERT INTO t VALUES (1)","table":"kyreldb_user_roles","data":{}})J",
         1},
        {"default", R"J({"action":"insert","sql":"INSERT INTO kyreldb_users VALUES (1)"})J", 1},
        {"default", R"J({"action":"insert","table":"t","data":{"id":1}})J", 0},
        {"default", R"J({"action":"select","table":"kyreldb_users"})J", 0},
    };
    for (const Case& c : cases) {
        char action[64];
        ASSERT_EQ(json_extract_string(c.request, "action", action, sizeof action), 0) << c.request;
        std::string sql;
        const bool statement = strcmp(action, "sql") == 0;
        if (statement) {
            ASSERT_EQ(json_extract_string_alloc(c.request, "sql", 0, sql), 0) << c.request;
            sql = router_trim(router_normalize_sql_ws(sql));
        }
        EXPECT_EQ(router_changes_system_rows(c.database, action, c.request,
                                             statement ? sql.c_str() : nullptr),
                  c.changes)
            << c.database << ": " << c.request;
    }
    EXPECT_EQ(router_row_change_target("INSERT INTO \" kyreldb_users\" (a) VALUES (1)"),
              "kyreldb_users");
    EXPECT_EQ(router_row_change_target("DELETE FROM `t`;"), "t");
    EXPECT_EQ(router_row_change_target("DELETE t WHERE a = 1"), "");
    EXPECT_EQ(router_row_change_target("SELECT * FROM t"), "");
}

TEST_F(RouterConfigFixture, SystemRowChangesNeedALocalRouterAdministrator) {
    load(
        "BACKEND main 127.0.0.1 9191\nDATABASE default main\nDATABASE config_db main\n"
        "ADMIN root pw admin apw\nUSER cfg pw admin apw\nGRANT cfg config_db FULL\n");
    const char* insert = R"({"action":"insert","table":"kyreldb_users","data":{"username":"m"}})";
    // A session that is not on a socket has no local peer.
    for (const char* user : {"root", "cfg"}) {
        RouterSession s = session_for(user);
        router_copy_str(s.current_database, sizeof s.current_database, "config_db");
        EXPECT_EQ(json_get(router_system_rows_refusal(&s, "insert", insert, nullptr), "error"),
                  "system table rows can be changed through router only by a router "
                  "administrator from localhost")
            << user;
        EXPECT_EQ(router_system_rows_refusal(&s, "select", R"({"action":"select"})", nullptr), "")
            << user;
    }
    RouterSession anon;
    router_session_init(&anon, -1);
    router_copy_str(anon.current_database, sizeof anon.current_database, "config_db");
    EXPECT_EQ(router_system_rows_refusal(&anon, "insert", insert, nullptr), "")
        << "forwarding answers a session that is not logged in";
}

TEST(RouterStatementValues, CanonicalFormAndWhitespace) {
    struct Case {
        const char *in, *out;
    };
    const Case cases[] = {
        {"sales;", "sales"}, {"'sales' ; ", "sales"},
        {"\"pw\";", "pw"},   {"'pw\"", "'pw\""},
        {"''", ""},          {"'", "'"},
    };
    for (const Case& c : cases) EXPECT_EQ(router_canonical_value(c.in), c.out) << c.in;
    EXPECT_EQ(router_normalize_sql_ws("USE\tx\r\n"), "USE x  ");
    EXPECT_EQ(router_normalize_sql_ws("USE\\nx"), "USE x");
}

TEST_F(RouterConfigFixture, PermissionTestUsesHighestGrant) {
    load(
        "BACKEND main 127.0.0.1 9191\nDATABASE default main\nDATABASE sales main\n"
        "ADMIN root pw\nUSER reader pw\nUSER writer pw\nUSER full pw\nUSER nobody pw\n"
        "GRANT reader default READ\nGRANT writer SALES WRITE\nGRANT full * FULL\nGRANT nobody "
        "default bogus\n");
    struct Case {
        const char *user, *db;
        int cls, allowed;
    };
    const Case cases[] = {
        {"reader", "default", ROUTER_ROLE_READ, 1},
        {"reader", "", ROUTER_ROLE_READ, 1},
        {"reader", "default", ROUTER_ROLE_WRITE, 0},
        {"reader", "sales", 0, 0},
        {"writer", "sales", ROUTER_ROLE_WRITE, 1},
        {"writer", "sales", ROUTER_ROLE_READ, 0},
        {"writer", "sales", 0, 1},
        {"full", "anything", ROUTER_ROLE_FULL, 1},
        {"root", "sales", ROUTER_ROLE_FULL, 1},
        {"nobody", "default", 0, 0},
    };
    for (const Case& c : cases) {
        RouterSession s = session_for(c.user);
        EXPECT_EQ(session_can_use_db(&s, c.db, c.cls), c.allowed)
            << c.user << " " << c.db << " " << c.cls;
    }
    RouterSession ghost = session_for("ghost");
    EXPECT_EQ(session_can_use_db(&ghost, "default", 0), 0);
    RouterSession full = session_for("full"), reader = session_for("reader"),
                  root = session_for("root");
    EXPECT_EQ(session_is_router_admin(&full), 1);
    EXPECT_EQ(session_is_router_admin(&root), 1);
    EXPECT_EQ(session_is_router_admin(&reader), 0);
    RouterSession anon;
    router_session_init(&anon, -1);
    EXPECT_EQ(session_can_use_db(&anon, "default", 0), 0);
}

TEST_F(RouterConfigFixture, CallPolicyNeedsOneToOneMappingBelowFull) {
    const std::string users =
        "BACKEND main 127.0.0.1 9191\nDATABASE default main\n"
        "USER same pw\nUSER mapped pw shared spw\nUSER boss pw other opw\n"
        "GRANT same default READ\nGRANT mapped default READ\nGRANT boss default FULL\n";
    char err[256];
    load(users + "SP_CALL_ROLE=READ\n");
    EXPECT_EQ(classify_sql_required_role("CALL p()"), ROUTER_ROLE_READ);
    RouterSession same = session_for("same"), mapped = session_for("mapped"),
                  boss = session_for("boss");
    EXPECT_EQ(router_check_stored_procedure_call_policy(&same, "default", err, sizeof err), 0);
    EXPECT_EQ(router_check_stored_procedure_call_policy(&boss, "default", err, sizeof err), 0);
    EXPECT_EQ(router_check_stored_procedure_call_policy(&mapped, "default", err, sizeof err), -1);
    EXPECT_STREQ(
        err,
        "stored procedure CALL denied by Router policy: non-FULL users require one-to-one backend "
        "username mapping");
    load(users + "SP_CALL_ROLE=READ\nSP_CALL_REQUIRE_SAME_BACKEND_USER=OFF\n");
    mapped = session_for("mapped");
    EXPECT_EQ(router_check_stored_procedure_call_policy(&mapped, "default", err, sizeof err), 0);
}

TEST(RouterJson, ExtractAndEscape) {
    char buf[8];
    EXPECT_EQ(json_extract_string(R"({"a" : "x\"y\\z\n"})", "a", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "x\"y\\z\n");
    EXPECT_EQ(json_extract_string(R"({"a":"0123456789"})", "a", buf, sizeof buf), -2);
    EXPECT_STREQ(buf, "0123456");
    EXPECT_EQ(json_extract_string(R"({"a":12})", "a", buf, sizeof buf), -1);
    EXPECT_EQ(json_extract_string(R"({"a":"open)", "a", buf, sizeof buf), -1);
    EXPECT_EQ(json_extract_string(R"({"a":"x\)", "a", buf, sizeof buf), -1);
    EXPECT_EQ(json_extract_string(R"({"b":"x"})", "a", buf, sizeof buf), -1);
    std::string big;
    EXPECT_EQ(json_extract_string_alloc(R"({"sql":"abcdef"})", "sql", 3, big), -2);
    EXPECT_EQ(json_extract_string_alloc(R"({"sql":"ab\tc"})", "sql", 0, big), 0);
    EXPECT_EQ(big, "ab\tc");
    EXPECT_EQ(json_escape("q\"b\\\n\x01\xc3\xa9"), "q\\\"b\\\\\\n\\u0001\xc3\xa9");
    EXPECT_EQ(make_error_json("bad \"x\""), R"({"ok":false,"error":"bad \"x\""})");
    EXPECT_EQ(make_error_json(nullptr), R"({"ok":false,"error":"error"})");
}

TEST(RouterJson, MembersAreFoundByNameAndDecodedLikeTheBackend) {
    struct Case {
        const char *json, *key;
        int rc;
        const char* value;
    };
    const Case cases[] = {
        // Text inside a string value never counts as a member name.
        {R"({"action":"sql","a":"SELECT 1","sql":"DELETE"})", "sql", 0, "DELETE"},
        {R"({"note":"action","action":"x"})", "action", 0, "x"},
        {R"({"a":"\"action\":\"y\"","action":"x"})", "action", 0, "x"},
        {R"({"note":"action"})", "action", -1, ""},
        // The first name at any depth, as the backend reads it.
        {R"({"o":{"action":"in"},"action":"out"})", "action", 0, "in"},
        {R"({"k"  :  "v"})", "k", 0, "v"},
        {R"({"k" "v"})", "k", -1, ""},
        {R"({"k":"v})", "k", -1, ""},
        // Escapes, \u forms included; undecodable values are absent.
        {R"({"k":"\u0041\u00e9\ud83d\ude00"})", "k", 0, "A\xc3\xa9\xf0\x9f\x98\x80"},
        {R"({"k":"a\bb\fc\/d\qe"})", "k", 0, "a\bb\fc/dqe"},
        {R"({"k":"x\u0000"})", "k", -1, ""},
        {R"({"k":"\u12g4"})", "k", -1, ""},
        {R"({"k":"\udc00"})", "k", -1, ""},
        {R"({"k":"\ud800x"})", "k", -1, ""},
    };
    for (const Case& c : cases) {
        char buf[64];
        EXPECT_EQ(json_extract_string(c.json, c.key, buf, sizeof buf), c.rc) << c.json;
        EXPECT_STREQ(buf, c.value) << c.json;
        std::string big;
        EXPECT_EQ(json_extract_string_alloc(c.json, c.key, 0, big), c.rc) << c.json;
        if (c.rc == 0) {
            EXPECT_EQ(big, c.value) << c.json;
        }
    }
}

TEST(RouterJson, AmbiguousMembersAreDetected) {
    struct Case {
        const char* json;
        int unambiguous;
    };
    const Case cases[] = {
        {R"({"action":"a"})", 1},
        {R"({"sql":"a"})", 1},  // no action at all
        {R"({"note":"action","a":"\"action\":1"})", 1},
        {R"({"action":"a","o":{"action":"x"},"l":[{"action":"y"}]})", 1},
        {R"({"action":"a","action":"b"})", 0},
        {R"({"action" : "a", "x":1, "action":"b"})", 0},
        {R"({"o":{"action":"x"},"action":"a"})", 0},
        {R"({"l":[{"action":"x"}],"action":"a"})", 0},
        {R"({"o":{"action":"x"}})", 0},
        {R"({"a":1} {"action":"x"})", 0},
        {R"(["action",{"action":"x"}])", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(json_member_is_unambiguous(c.json, "action"), c.unambiguous) << c.json;
}
