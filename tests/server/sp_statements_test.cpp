// Procedure statements: CREATE / SHOW / DROP / CALL parsing, parameter lists,
// metadata strings and CALL argument conversion.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "procedures/sp_statements.h"

namespace {

struct Create {
    int rc;
    std::string name, table, err, body, params;
};

Create parse_create(const std::string& sql) {
    Create c;
    char name[64], table[64], err[256] = "";
    ProcParamDef params[16];
    int n = 0;
    char* body = nullptr;
    c.rc = parse_create_procedure_sql(sql.c_str(), name, table, params, &n, &body, err, sizeof err);
    c.name = name;
    c.table = table;
    c.err = err;
    if (body) c.body = body;
    free(body);
    char defs[2048] = "";
    sp_param_defs_to_string(params, n, defs, sizeof defs, err, sizeof err);
    c.params = defs;
    return c;
}

TEST(SpStatements, CreateProcedureForms) {
    struct Row {
        const char* sql;
        const char* name;
        const char* table;
        const char* params;
        const char* body;
    } ok[] = {
        {"CREATE PROCEDURE p(IN a INT) ON t AS $$ SELECT * FROM t WHERE id = :a $$", "p", "t",
         "a:INT", "SELECT * FROM t WHERE id = :a"},
        {"CREATE PROCEDURE p ON t(IN a INT, b TEXT) AS $$ SELECT * FROM t $$", "p", "t",
         "a:INT,b:STRING", "SELECT * FROM t"},
        {"create procedure p() on t(a bool) as $$ select * from t; $$;", "p", "t", "a:BOOL",
         "select * from t"},
        {"CREATE PROCEDURE p\nON\tt AS $$\nSELECT * FROM t\n$$", "p", "t", "", "SELECT * FROM t"},
    };
    for (const Row& r : ok) {
        Create c = parse_create(r.sql);
        ASSERT_EQ(c.rc, 0) << r.sql << ": " << c.err;
        EXPECT_EQ(c.name, r.name);
        EXPECT_EQ(c.table, r.table);
        EXPECT_EQ(c.params, r.params);
        EXPECT_EQ(c.body, r.body);
    }
}

TEST(SpStatements, CreateProcedureErrors) {
    struct Row {
        const char* sql;
        const char* err;
    } bad[] = {
        {"", "missing sql"},
        {"CREATE PROC p ON t AS $$ SELECT 1 $$", "invalid CREATE PROCEDURE"},
        {"CREATE PROCEDURE p ON t AS SELECT", "CREATE PROCEDURE requires AS $$ body $$"},
        {"CREATE PROCEDURE p ON t AS $$ SELECT * FROM t",
         "procedure body terminator $$ is missing"},
        {"CREATE PROCEDURE p ON t AS $$ SELECT * FROM t $$ junk",
         "unexpected text after procedure body"},
        {"CREATE PROCEDURE p ON assets AS $$ SELECT * FROM t $$",
         "unexpected text before procedure body"},
        {"CREATE PROCEDURE p t AS $$ SELECT * FROM t $$",
         "CREATE PROCEDURE syntax: CREATE PROCEDURE name[(IN p TYPE,...)] ON table[(IN p "
         "TYPE,...)] AS $$ SQL $$"},
        {"CREATE PROCEDURE p(a INT) ON t(b INT) AS $$ SELECT * FROM t $$",
         "procedure parameter list can appear after name or table, not both"},
        {"CREATE PROCEDURE p(a INT ON t AS $$ SELECT * FROM t $$",
         "procedure parameter list is missing ')'"},
        {"CREATE PROCEDURE p(a INT) x ON t AS $$ SELECT * FROM t $$",
         "unexpected text after procedure parameter list"},
        {"CREATE PROCEDURE p.q ON t AS $$ SELECT * FROM t $$",
         "procedure name must contain only A-Z, a-z, 0-9 and underscore, and must not start "
         "with a digit"},
        {"CREATE PROCEDURE p ON t AS $$ SELECT * FROM t WHERE id = :nope $$",
         "unknown procedure variable or parameter :nope"},
        {"CREATE PROCEDURE p ON t AS $$ DROP TABLE t $$",
         "procedure bodies cannot contain DROP TABLE statements in this phase"},
    };
    for (const Row& r : bad) {
        Create c = parse_create(r.sql);
        EXPECT_EQ(c.rc, -1) << r.sql;
        EXPECT_EQ(c.err, r.err) << r.sql;
        EXPECT_EQ(c.body, "");
    }
}

TEST(SpStatements, ParameterDeclarationLists) {
    struct Row {
        const char* list;
        const char* result;  // metadata string or the error
    } rows[] = {
        {"", ""},
        {"a INT", "a:INT"},
        {"IN a INT", "a:INT"},
        {"in a integer, IN b real, c varchar, d boolean", "a:INT,b:DOUBLE,c:STRING,d:BOOL"},
        {"IN a", "parameter syntax: IN name TYPE"},
        {"IN a INT extra", "parameter syntax: IN name TYPE"},
        {"a VARCHAR(20)", "unsupported procedure parameter type 'VARCHAR(20)'"},
        {"a TIMESTAMP", "unsupported procedure parameter type 'TIMESTAMP'"},
        {"IN A INT, IN a BOOL", "duplicate procedure parameter 'a'"},
        {"a INT,", "empty procedure parameter declaration"},
        {"1a INT",
         "parameter name must contain only A-Z, a-z, 0-9 and underscore, and must not start "
         "with a digit"},
        {"a1 INT,a2 INT,a3 INT,a4 INT,a5 INT,a6 INT,a7 INT,a8 INT,a9 INT,b1 INT,b2 INT,b3 "
         "INT,b4 INT,b5 INT,b6 INT,b7 INT,b8 INT",
         "too many procedure parameters"},
    };
    for (const Row& r : rows) {
        ProcParamDef params[16];
        int n = -1;
        char err[256] = "", defs[2048] = "";
        int rc = sp_parse_param_declaration_list(r.list, params, &n, err, sizeof err);
        if (rc == 0) {
            ASSERT_EQ(sp_param_defs_to_string(params, n, defs, sizeof defs, err, sizeof err), 0);
            EXPECT_EQ(std::string(defs), r.result) << r.list;
        } else {
            EXPECT_EQ(std::string(err), r.result) << r.list;
            EXPECT_EQ(n, 0);
        }
    }
}

TEST(SpStatements, MetadataStringRoundTrip) {
    ProcParamDef params[16];
    int n = 0;
    char err[256] = "", defs[2048] = "";
    ASSERT_EQ(sp_parse_param_defs_string("a:int, b:TEXT", params, &n, err, sizeof err), 0) << err;
    ASSERT_EQ(n, 2);
    EXPECT_EQ(params[1].type, 3);
    ASSERT_EQ(sp_param_defs_to_string(params, n, defs, sizeof defs, err, sizeof err), 0);
    EXPECT_STREQ(defs, "a:INT,b:STRING");
    // A buffer too small for the text is refused rather than cut.
    EXPECT_EQ(sp_param_defs_to_string(params, n, defs, 5, err, sizeof err), -1);
    EXPECT_STREQ(err, "procedure parameter definition too long");

    const char* corrupt[] = {"a", "a:INT,,b:INT", "a:INT,"};
    for (const char* c : corrupt) {
        EXPECT_EQ(sp_parse_param_defs_string(c, params, &n, err, sizeof err), -1) << c;
        EXPECT_STREQ(err, "corrupt procedure parameter metadata");
    }
    EXPECT_EQ(sp_parse_param_defs_string("a:INT,A:BOOL", params, &n, err, sizeof err), -1);
    EXPECT_STREQ(err, "duplicate procedure parameter metadata");
}

TEST(SpStatements, ShowAndDrop) {
    char table[64], name[64], err[256];
    ASSERT_EQ(parse_show_procedures_sql("show procedures;", table, err, sizeof err), 0);
    EXPECT_STREQ(table, "");
    ASSERT_EQ(parse_show_procedures_sql("SHOW PROCEDURES ON orders", table, err, sizeof err), 0);
    EXPECT_STREQ(table, "orders");
    EXPECT_EQ(parse_show_procedures_sql("SHOW PROCEDURES FOR x", table, err, sizeof err), -1);
    EXPECT_STREQ(err, "SHOW PROCEDURES syntax: SHOW PROCEDURES [ON table]");
    EXPECT_EQ(parse_show_procedures_sql("SHOW TABLES", table, err, sizeof err), -1);
    EXPECT_STREQ(err, "invalid SHOW PROCEDURES");

    ASSERT_EQ(parse_drop_procedure_sql("drop procedure p on t;", name, table, err, sizeof err), 0);
    EXPECT_STREQ(name, "p");
    EXPECT_STREQ(table, "t");
    ASSERT_EQ(parse_drop_procedure_sql("DROP PROCEDURE p", name, table, err, sizeof err), 0);
    EXPECT_STREQ(table, "");
    EXPECT_EQ(parse_drop_procedure_sql("DROP PROCEDURE ../x", name, table, err, sizeof err), -1);
    EXPECT_EQ(parse_drop_procedure_sql("DROP TABLE p", name, table, err, sizeof err), -1);
    EXPECT_STREQ(err, "invalid DROP PROCEDURE");
}

TEST(SpStatements, CallStatementsAndArgumentLists) {
    struct Row {
        const char* sql;
        int argc;  // -1: error
        const char* first_or_err;
    } rows[] = {
        {"CALL p", 0, ""},
        {"call p();", 0, ""},
        {"CALL p(1, 'a,b', \"x'y\")", 3, "1"},
        {"CALL p('it\\'s', 2)", 2, "'it\\'s'"},
        {"CALL p(1,)", -1, "empty CALL argument"},
        {"CALL p(1,,2)", -1, "empty CALL argument"},
        {"CALL p(1) x", -1, "unexpected text after CALL"},
        {"CALL p(1", -1, "CALL syntax: CALL procedure_name([args...])"},
        {"CALL p('abc)", -1, "unterminated quoted CALL argument"},
        {"CALL ", -1, "invalid CALL"},
        {"CALL  ;", -1, "invalid CALL"},
        {"CALL p(1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17)", -1, "too many CALL arguments"},
        // Whitespace is normalised outside quoted arguments only: their tabs,
        // line ends and escapes reach the argument rules as written.
        {"CALL\tp(\n'a\tb\\n'\r,\t2)", 2, "'a\tb\\n'"},
        {"CALL\\tp('x\\ty')", 1, "'x\\ty'"},
        {"CALL p(\"l1\nl2\", 'it\\'s\t')", 2, "\"l1\nl2\""},
    };
    for (const Row& r : rows) {
        char name[64], err[256] = "";
        ProcCallArgs args;
        int rc = parse_call_procedure_sql(r.sql, name, &args, err, sizeof err);
        if (r.argc < 0) {
            EXPECT_EQ(rc, -1) << r.sql;
            EXPECT_STREQ(err, r.first_or_err) << r.sql;
        } else {
            ASSERT_EQ(rc, 0) << r.sql << ": " << err;
            EXPECT_STREQ(name, "p");
            EXPECT_EQ(args.count, r.argc) << r.sql;
            if (r.argc > 0) {
                EXPECT_STREQ(args.args[0], r.first_or_err);
            }
        }
    }
    char name[64], err[256];
    ProcCallArgs args;
    EXPECT_EQ(
        parse_call_procedure_sql(std::string(5000, 'x').c_str(), name, &args, err, sizeof err), -1);
    EXPECT_STREQ(err, "CALL statement too long");
}

TEST(SpStatements, ArgumentToLiteral) {
    struct Row {
        int type;
        const char* arg;
        const char* literal;  // nullptr: error below
        const char* err;
    } rows[] = {
        {1, "42", "42", nullptr},
        {1, "-7", "-7", nullptr},
        {1, "99999999999999999999", "9223372036854775807", nullptr},
        {1, "12abc", nullptr, "bad INT argument for parameter 'p'"},
        {1, "1.5", nullptr, "bad INT argument for parameter 'p'"},
        {1, "", nullptr, "bad INT argument for parameter 'p'"},
        {2, "1e3", "1000", nullptr},
        {2, "0.5", "0.5", nullptr},
        {2, "1e999", nullptr, "bad DOUBLE argument for parameter 'p'"},
        {2, "nan", nullptr, "bad DOUBLE argument for parameter 'p'"},
        {4, "TRUE", "true", nullptr},
        {4, "0", "false", nullptr},
        {4, "yes", nullptr, "bad BOOL argument for parameter 'p'"},
        {3, "abc", nullptr, "STRING procedure arguments must be quoted"},
        {3, "'it\\'s'", "\"it's\"", nullptr},
        {3, "\"it's\"", "\"it's\"", nullptr},
        // Control bytes become \u escapes, which no SQL normaliser changes.
        {3, "'a\\tb'", "\"a\\u0009b\"", nullptr},
        {3, "'l1\nl2\r\x01'", "\"l1\\u000al2\\u000d\\u0001\"", nullptr},
        {3, "'say \"hi\"\\\\'", "\"say \\\"hi\\\"\\\\\"", nullptr},
        {3, "'a'b'", nullptr, "unescaped quote inside STRING argument"},
        {5, "1", nullptr, "unsupported parameter type for 'p'"},
    };
    for (const Row& r : rows) {
        ProcParamDef p = {"p", r.type};
        char* lit = nullptr;
        char err[256] = "";
        int rc = sp_arg_to_sql_literal(&p, r.arg, &lit, err, sizeof err);
        if (r.literal) {
            ASSERT_EQ(rc, 0) << r.arg << ": " << err;
            EXPECT_STREQ(lit, r.literal) << r.arg;
        } else {
            EXPECT_EQ(rc, -1) << r.arg;
            EXPECT_EQ(lit, nullptr);
            EXPECT_STREQ(err, r.err) << r.arg;
        }
        free(lit);
    }
    char* lit = sp_plain_string_to_sql_literal("a\x01\n'\xc3\xa9\x7f\"\\");
    EXPECT_STREQ(lit, "\"a\\u0001\\u000a'\xc3\xa9\x7f\\\"\\\\\"");
    free(lit);
}

}  // namespace
