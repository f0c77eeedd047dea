// Connector core without the network: defaults, quoting, statement builders
// and reading reply fields.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "connector_owners.h"
#include "kyrelconnect_core.h"

namespace {

TEST(ConnectorCore, ConnectionDefaultsAndAccessors) {
    struct Case {
        const char* host;
        int port, timeout, mode;
        const char* want_host;
        int want_port, want_timeout;
    } cases[] = {
        {nullptr, 0, 0, 2, "127.0.0.1", 9292, 120},
        {"", -5, -1, 1, "127.0.0.1", 9191, 120},
        {"db.local", 7000, 3, 1, "db.local", 7000, 3},
        {"h", 0, 5, 7, "h", 9191, 5},  // unknown mode: database default port
    };
    for (const auto& c : cases) {
        kc_connection* conn = kc_connection_new(c.host, c.port, c.timeout, c.mode);
        ASSERT_NE(conn, nullptr);
        EXPECT_STREQ(kc_connection_host(conn), c.want_host);
        EXPECT_EQ(kc_connection_port(conn), c.want_port);
        EXPECT_EQ(kc_connection_timeout(conn), c.want_timeout);
        EXPECT_EQ(kc_connection_mode(conn), c.mode);
        EXPECT_EQ(kc_connection_is_connected(conn), 0);
        kc_connection_set_timeout(conn, 0);  // ignored
        EXPECT_EQ(kc_connection_timeout(conn), c.want_timeout);
        kc_connection_set_timeout(conn, 9);
        EXPECT_EQ(kc_connection_timeout(conn), 9);
        kc_connection_close(conn);  // closing an unconnected connection is harmless
        kc_connection_free(conn);
    }
    EXPECT_STREQ(kc_connection_host(nullptr), "");
    EXPECT_EQ(kc_connection_port(nullptr), 0);
    EXPECT_EQ(kc_connection_mode(nullptr), 1);
    EXPECT_EQ(kc_connection_timeout(nullptr), 0);
    EXPECT_EQ(kc_connection_is_connected(nullptr), 0);
    EXPECT_EQ(kc_connection_connect(nullptr), -1);
    kc_connection_set_timeout(nullptr, 5);
    kc_connection_close(nullptr);
    kc_connection_free(nullptr);
}

TEST(ConnectorCore, ArgumentConstructors) {
    EXPECT_EQ(kc_arg_null().type, KC_ARG_NULL);
    EXPECT_EQ(kc_arg_int(-7).int_value, -7);
    EXPECT_EQ(kc_arg_double(2.5).double_value, 2.5);
    EXPECT_EQ(kc_arg_bool(42).bool_value, 1);
    EXPECT_EQ(kc_arg_bool(0).bool_value, 0);
    const char* t = "x";
    EXPECT_EQ(kc_arg_string(t).type, KC_ARG_STRING);
    EXPECT_EQ(kc_arg_string(t).text, t);
    EXPECT_EQ(kc_arg_sql(t).type, KC_ARG_SQL);
}

TEST(ConnectorCore, JsonEscapeAndQuote) {
    struct Case {
        const char* in;
        const char* want;
    } cases[] = {
        {nullptr, ""},
        {"plain", "plain"},
        {"a\"b\\c", "a\\\"b\\\\c"},
        {"\b\t\n\f\r", "\\b\\t\\n\\f\\r"},
        {"\x01\x1f", "\\u0001\\u001f"},
        {"\x7f\xc3\xa9/", "\x7f\xc3\xa9/"},  // DEL, UTF-8 and slash copied
    };
    for (const auto& c : cases) EXPECT_EQ(take(kc_json_escape(c.in)), c.want) << c.want;
    EXPECT_EQ(take(kc_json_quote("say \"hi\"")), "\"say \\\"hi\\\"\"");
    EXPECT_EQ(take(kc_json_quote(nullptr)), "\"\"");
}

// The server reads quoted literals with backslash escapes, so quotes and
// backslashes are written with a backslash; a trailing backslash must not
// escape the closing quote.
TEST(ConnectorCore, SqlLiteralString) {
    struct Case {
        const char* in;
        const char* want;
    } cases[] = {
        {nullptr, "''"},
        {"", "''"},
        {"abc", "'abc'"},
        {"O'Brien", "'O\\'Brien'"},
        {"end\\", "'end\\\\'"},
        {"\\'", "'\\\\\\''"},
        {"say \"x\"", "'say \"x\"'"},
    };
    for (const auto& c : cases) EXPECT_EQ(take(kc_sql_literal_string(c.in)), c.want) << c.want;
}

TEST(ConnectorCore, IdentifierSafety) {
    struct Case {
        const char* in;
        int want;
    } cases[] = {
        {"users", 1}, {"_x9", 1},      {"A_b_C", 1},   {nullptr, 0}, {"", 0},
        {"9abc", 0},  {"a-b", 0},      {"a b", 0},     {"a;", 0},    {"a'b", 0},
        {"t.c", 0},   {"\xc3\xa9", 0}, {"users--", 0}, {"x\n", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(kc_identifier_is_safe(c.in), c.want) << (c.in ? c.in : "NULL");
}

TEST(ConnectorCore, BuildCallSql) {
    kc_arg args[] = {kc_arg_int(5),       kc_arg_string("it's"),
                     kc_arg_null(),       kc_arg_bool(1),
                     kc_arg_sql("NOW()"), kc_arg_double(0.1),
                     kc_arg_bool(0),      kc_arg_string(nullptr),
                     kc_arg_sql(nullptr), kc_arg_int(-9223372036854775807LL - 1)};
    EXPECT_EQ(take(kc_build_call_sql("p", 10, args)),
              "CALL p(5,'it\\'s',NULL,true,NOW(),0.10000000000000001,false,'',NULL,"
              "-9223372036854775808);");
    EXPECT_EQ(take(kc_build_call_sql("p", 0, nullptr)), "CALL p();");
    EXPECT_EQ(take(kc_build_call_sql("p", 2, nullptr)), "CALL p(NULL,NULL);");

    // A string argument ending in a backslash stays one literal.
    kc_arg tricky[] = {kc_arg_string("a\\"), kc_arg_string("),(1);--")};
    EXPECT_EQ(take(kc_build_call_sql("p", 2, tricky)), "CALL p('a\\\\','),(1);--');");

    kc_arg bad_type = kc_arg_int(1);
    bad_type.type = 6;
    kc_arg inf = kc_arg_double(std::numeric_limits<double>::infinity());
    kc_arg nan = kc_arg_double(std::nan(""));
    EXPECT_EQ(take(kc_build_call_sql("p", 1, &bad_type)), "<null>");
    EXPECT_EQ(take(kc_build_call_sql("p", 1, &inf)), "<null>");
    EXPECT_EQ(take(kc_build_call_sql("p", 1, &nan)), "<null>");
    EXPECT_EQ(take(kc_build_call_sql("p", -1, args)), "<null>");
    for (const char* name : {"1p", "p-q", "p q", "p;DROP", "", static_cast<const char*>(nullptr)})
        EXPECT_EQ(take(kc_build_call_sql(name, 0, nullptr)), "<null>");
}

TEST(ConnectorCore, BuildCreateProcedureSql) {
    EXPECT_EQ(take(kc_build_create_procedure_sql("add_user", "users", "IN id INT",
                                                 "INSERT INTO users VALUES (:id);")),
              "CREATE PROCEDURE add_user\nON users (IN id INT)\nAS $$\n"
              "INSERT INTO users VALUES (:id);\n$$;");
    EXPECT_EQ(take(kc_build_create_procedure_sql("p", "t", "", nullptr)),
              "CREATE PROCEDURE p\nON t\nAS $$\n\n$$;");
    EXPECT_EQ(take(kc_build_create_procedure_sql("p", "t", nullptr, "SELECT 1")),
              "CREATE PROCEDURE p\nON t\nAS $$\nSELECT 1\n$$;");
    EXPECT_EQ(take(kc_build_create_procedure_sql("p q", "t", nullptr, "x")), "<null>");
    EXPECT_EQ(take(kc_build_create_procedure_sql("p", "t;", nullptr, "x")), "<null>");
    EXPECT_EQ(take(kc_build_create_procedure_sql("p", nullptr, nullptr, "x")), "<null>");
}

// The fields are the reply object's own members; a reply that is not one JSON
// object with a boolean "ok" has failed, with "invalid reply" unless it names
// an error of its own.
TEST(ConnectorCore, ResultFromReply) {
    struct Case {
        const char* reply;
        int ok, must_change;
        const char* error;    // nullptr when absent
        const char* message;  // nullptr when absent
    } cases[] = {
        {nullptr, 0, 0, "invalid reply", nullptr},
        {"{}", 0, 0, "invalid reply", nullptr},
        {R"({"ok":false,"error":"no such table"})", 0, 0, "no such table", nullptr},
        {R"({"ok" : true , "message" : "login successful", "must_change_password":true})", 1, 1,
         nullptr, "login successful"},
        {R"({"ok":0,"must_change_password":1})", 0, 1, nullptr, nullptr},
        {R"({"ok":1})", 1, 0, nullptr, nullptr},
        {R"({"ok":"no"})", 0, 0, "invalid reply", nullptr},    // not a boolean
        {R"({"ok":"true"})", 0, 0, "invalid reply", nullptr},  // nor is this
        {R"({"ok":False})", 0, 0, "invalid reply", nullptr},   // case matters
        {R"({"ok":truex})", 0, 0, "invalid reply", nullptr},
        {R"({"ok":tru)", 0, 0, "invalid reply", nullptr},  // cut short
        {R"({"ok":true)", 0, 0, "invalid reply", nullptr},
        {R"({"ok":true} {"ok":true})", 0, 0, "invalid reply", nullptr},
        {R"([{"ok":true}])", 0, 0, "invalid reply", nullptr},
        {"success", 0, 0, "invalid reply", nullptr},
        {R"({"inner":{"ok":false},"ok":true})", 1, 0, nullptr, nullptr},  // own member only
        {R"({"ok":false,"ok":true})", 0, 0, nullptr, nullptr},  // the first of a name counts
        {R"({"ok":true,"rows":[{"error":"e","message":"m","must_change_password":true}]})", 1, 0,
         nullptr, nullptr},
        {R"({"ok":true,"note":"\"error\":\"x\""})", 1, 0, nullptr, nullptr},
        {R"({"error":{"message":"inner"},"message":"outer","ok":false})", 0, 0, nullptr, "outer"},
        {R"({"ok":false,"error":"caf\u00e9!"})", 0, 0, "caf?!", nullptr},
        {R"({"error":"a\"b\\c\/d\n\tx\q"})", 0, 0, "a\"b\\c/d\n\txq", nullptr},
        {R"({"error":"\u12"})", 0, 0, "?", nullptr},  // short \u escape at the end
        {R"({"error":42,"message":null})", 0, 0, "invalid reply", nullptr},
        {R"({"error":"unterminated)", 0, 0, "invalid reply", nullptr},
        {R"({"error":"ends in \)", 0, 0, "invalid reply", nullptr},
        {R"({"error" "x"})", 0, 0, "invalid reply", nullptr},  // no colon
    };
    for (const auto& c : cases) {
        const char* label = c.reply ? c.reply : "NULL";
        kc_result* r = kc_result_from_json(c.reply);
        ASSERT_NE(r, nullptr);
        EXPECT_STREQ(kc_result_json(r), c.reply ? c.reply : "{}") << label;
        EXPECT_EQ(kc_result_ok(r), c.ok) << label;
        EXPECT_EQ(kc_result_must_change_password(r), c.must_change) << label;
        if (c.error) {
            ASSERT_NE(r->error, nullptr) << label;
            EXPECT_STREQ(r->error, c.error) << label;
        } else {
            EXPECT_EQ(r->error, nullptr) << label;
            EXPECT_STREQ(kc_result_error(r), "") << label;
        }
        if (c.message) {
            EXPECT_STREQ(kc_result_message(r), c.message) << label;
        } else {
            EXPECT_EQ(r->message, nullptr) << label;
        }
        kc_result_free(r);
    }
    // Nesting of any depth is walked without recursion.
    std::string deep =
        R"({"x":)" + std::string(1000000, '[') + std::string(1000000, ']') + R"(,"ok":true})";
    kc_result* r = kc_result_from_json(deep.c_str());
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(kc_result_ok(r), 1);
    kc_result_free(r);

    EXPECT_STREQ(kc_result_json(nullptr), "");
    EXPECT_STREQ(kc_result_error(nullptr), "");
    EXPECT_STREQ(kc_result_message(nullptr), "");
    EXPECT_EQ(kc_result_ok(nullptr), 0);
    EXPECT_EQ(kc_result_must_change_password(nullptr), 0);
    kc_result_free(nullptr);
}

}  // namespace
