// Procedure language: variables and expressions, conditions, statement
// splitting and the two body validators.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "procedures/sp_body.h"
#include "procedures/sp_conditions.h"
#include "procedures/sp_statements.h"
#include "procedures/sp_values.h"

namespace {

// A variable table that releases its values.
struct Vars {
    ProcRuntimeVar v[SP_MAX_VARS] = {};
    int n = 0;
    ~Vars() { sp_free_runtime_vars(v, &n); }
    void add(const char* name, int type, const char* lit) {
        char err[256] = "";
        ASSERT_EQ(sp_add_runtime_var(v, &n, name, type, lit, 0, err, sizeof err), 0) << err;
    }
};

// Literal text of expr assigned to a variable of type, or "ERR: message".
std::string assign(const Vars& vars, const char* expr, int type) {
    char* lit = nullptr;
    char err[256] = "";
    if (sp_expr_to_sql_literal(expr, type, "target", vars.v, vars.n, &lit, err, sizeof err) != 0)
        return std::string("ERR: ") + err;
    std::string s = lit;
    free(lit);
    return s;
}

TEST(SpValues, VariableTable) {
    Vars vars;
    vars.add("n", 1, nullptr);
    vars.add("s", 3, nullptr);
    vars.add("f", 4, nullptr);
    EXPECT_STREQ(vars.v[0].value, "0");
    EXPECT_STREQ(vars.v[1].value, "\"\"");
    EXPECT_STREQ(vars.v[2].value, "false");
    EXPECT_EQ(sp_find_runtime_var(vars.v, vars.n, "N"), 0);
    char err[256];
    EXPECT_EQ(sp_add_runtime_var(vars.v, &vars.n, "S", 1, nullptr, 0, err, sizeof err), -1);
    EXPECT_STREQ(err, "duplicate procedure variable or parameter 'S'");
    EXPECT_EQ(sp_add_runtime_var(vars.v, &vars.n, "9x", 1, nullptr, 0, err, sizeof err), -1);
    while (vars.n < SP_MAX_VARS) vars.add(("v" + std::to_string(vars.n)).c_str(), 1, nullptr);
    EXPECT_EQ(sp_add_runtime_var(vars.v, &vars.n, "extra", 1, nullptr, 0, err, sizeof err), -1);
    EXPECT_STREQ(err, "too many procedure variables");
    EXPECT_EQ(vars.n, SP_MAX_VARS);
}

TEST(SpValues, Expressions) {
    Vars vars;
    vars.add("i", 1, "5");
    vars.add("d", 2, "2.5");
    vars.add("rate", 2, "1");
    vars.add("b", 4, "true");
    vars.add("s", 3, "\"x\"");
    struct Row {
        const char* expr;
        int type;
        const char* want;
    } rows[] = {
        {"", 1, "0"},
        {"2 + 3", 1, "5"},
        {"7 - 10", 1, "-3"},
        {"1.5 + 1.5", 1, "3"},
        {"1.5 + 1", 1, "ERR: INT SET expression must produce a whole number"},
        {"9223372036854775807 + 1", 1, "ERR: INT SET expression result out of range"},
        {"0.1 + 0.2", 2, "0.3"},
        {"1e-20 + 0", 2, "0"},
        {"1 + 2 + 3", 1, "ERR: bad numeric expression operand '2 + 3'"},
        {"2 - -3", 1, "5"},
        {"-5", 1, "-5"},
        {"1e-5", 2, "1e-05"},
        {":i + 1", 1, "6"},
        {":d - 0.5", 1, "2"},
        {":rate - 1", 2, "ERR: bad DOUBLE argument for parameter 'value'"},
        {":i", 2, "5"},
        {":d", 1, "ERR: cannot assign DOUBLE to INT variable 'target'"},
        {":b + 1", 1, "ERR: numeric expression variable 'b' must be INT or DOUBLE"},
        {"'a' + 1", 1, "ERR: numeric expression operand must be INT or DOUBLE"},
        {"1 + true", 1, "ERR: numeric expression operand must not be BOOL"},
        {"true + 1", 1, "ERR: bad INT argument for parameter 'value'"},
        {":nope", 3, "ERR: unknown procedure variable or parameter :nope"},
        {":s", 3, "\"x\""},
        {"'it''s'", 3, "ERR: unescaped quote inside STRING argument"},
        {"'a-b'", 3, "\"a-b\""},
        {"abc", 3, "ERR: STRING procedure arguments must be quoted"},
        {"1", 4, "true"},
        {"x", 1, "ERR: bad INT argument for parameter 'value'"},
    };
    for (const Row& r : rows) EXPECT_EQ(assign(vars, r.expr, r.type), r.want) << r.expr;
}

TEST(SpValues, PlaceholderSubstitution) {
    Vars vars;
    vars.add("n", 3, "\"bob\"");
    vars.add("k", 1, "7");
    struct Row {
        const char* sql;
        const char* want;
    } rows[] = {
        {"SELECT * FROM t WHERE name = :n", "SELECT * FROM t WHERE name = \"bob\""},
        {"SELECT * FROM t WHERE name = ':n' AND id = :K",
         "SELECT * FROM t WHERE name = ':n' AND id = 7"},
        {"SELECT * FROM t WHERE at = '10:30' OR x = 10:30",
         "SELECT * FROM t WHERE at = '10:30' OR x = 10:30"},
        {"SELECT 'a\\':n' , :k", "SELECT 'a\\':n' , 7"},
        {"SELECT :1", "SELECT :1"},
        {"SELECT :missing", "ERR: unknown procedure variable or parameter :missing"},
    };
    for (const Row& r : rows) {
        char* out = nullptr;
        char err[256] = "";
        int rc = sp_substitute_runtime_placeholders(r.sql, vars.v, vars.n, &out, err, sizeof err);
        std::string got = rc == 0 ? std::string(out) : std::string("ERR: ") + err;
        free(out);
        EXPECT_EQ(got, r.want) << r.sql;
    }
}

std::string cond(const Vars& vars, const std::string& text) {
    int truth = -1;
    char err[256] = "";
    if (sp_eval_condition(text.c_str(), vars.v, vars.n, &truth, err, sizeof err) != 0)
        return std::string("ERR: ") + err;
    return truth ? "true" : "false";
}

TEST(SpConditions, Evaluation) {
    Vars vars;
    vars.add("n", 1, "1");
    vars.add("name", 3, "\"bob\"");
    vars.add("flag", 4, "true");
    vars.add("empty", 3, nullptr);
    vars.add("a", 1, "1");
    vars.add("q", 3, "\"a\\\"b\"");
    vars.add("d", 2, "2.5");
    struct Row {
        const char* text;
        const char* want;
    } rows[] = {
        {":n > 0 AND :name != ''", "true"},
        {":n < 1.5", "true"},
        {":d >= 2.5 and :d <= 2.5", "true"},
        {":flag", "true"},
        {":name", "true"},
        {":empty", "false"},
        {"0", "false"},
        {"NOT NOT true", "true"},
        {"NOT :a = 1", "false"},
        {"true OR false AND false", "true"},
        {"(true OR false) AND false", "false"},
        {":name = \"bob\" and :name <> 'alice'", "true"},
        {":name < 'c'", "true"},
        {"false < true", "true"},
        {":q = \"a\\\"b\"", "true"},
        {":n = '1'", "ERR: condition type mismatch between INT and STRING"},
        {"true = 1", "ERR: condition type mismatch between BOOL and INT"},
        {":a = 1 OR :missing = 2",
         "ERR: unknown procedure variable or parameter :missing in condition"},
        {":a = 1 :b", "ERR: unexpected token in condition near ':b'"},
        {":a =< 1", "ERR: condition operands must be literals or :placeholders"},
        {"(:a = 1", "ERR: missing ')' in condition"},
        {"'abc", "ERR: unterminated condition string literal"},
        {":a = 1e999999", "ERR: bad numeric literal in condition"},
        {"ORDER", "ERR: condition operands must be literals or :placeholders"},
        {"", "ERR: empty condition expression"},
        {":a =", "ERR: missing condition operand"},
    };
    for (const Row& r : rows) EXPECT_EQ(cond(vars, r.text), r.want) << r.text;
}

TEST(SpConditions, NestingLimit) {
    Vars vars;
    auto nested = [](int depth) {
        return std::string(depth, '(') + "true" + std::string(depth, ')');
    };
    EXPECT_EQ(cond(vars, nested(16)), "true");
    EXPECT_EQ(cond(vars, nested(17)), "ERR: condition nesting too deep");
    std::string nots;
    for (int i = 0; i < 17; ++i) nots += "NOT ";
    EXPECT_EQ(cond(vars, nots + "true"), "ERR: condition nesting too deep");
}

std::vector<std::string> split(const std::string& body, std::string* err_out = nullptr) {
    char** list = nullptr;
    int n = 0;
    char err[256] = "";
    std::vector<std::string> out;
    if (sp_split_statements(body.c_str(), &list, &n, err, sizeof err) != 0) {
        if (err_out) *err_out = err;
        return out;
    }
    for (int i = 0; i < n; ++i) out.push_back(list[i]);
    sp_free_statement_list(list, n);
    return out;
}

TEST(SpBody, Splitting) {
    auto s = split("IF :n > 0 THEN\nSELECT * FROM t;\nENDIF");
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[0], "IF :n > 0 THEN");
    EXPECT_EQ(s[1], "SELECT * FROM t");
    EXPECT_EQ(s[2], "ENDIF");

    s = split("IF :n > 0 THEN SELECT * FROM t; ENDIF");
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0], "IF :n > 0 THEN SELECT * FROM t");

    s = split("INSERT INTO t VALUES ('a;b');\r\nSELECT\n * FROM t");
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0], "INSERT INTO t VALUES ('a;b')");
    EXPECT_EQ(s[1], "SELECT\n * FROM t");

    std::string err;
    EXPECT_TRUE(split("SELECT 'abc", &err).empty());
    EXPECT_EQ(err, "unterminated quoted string in procedure body");
    EXPECT_TRUE(split(" ;; ", &err).empty());
    EXPECT_EQ(err, "procedure body cannot be empty");
    std::string many;
    for (int i = 0; i < 101; ++i) many += "SELECT * FROM t;";
    EXPECT_TRUE(split(many, &err).empty());
    EXPECT_EQ(err, "too many procedure statements");
    EXPECT_TRUE(split("SELECT " + std::string(4200, 'x') + "\nFROM t", &err).empty());
    EXPECT_EQ(err, "procedure control statement too long");
}

TEST(SpBody, StatementKinds) {
    struct Row {
        const char* stmt;
        const char* kind;
    } rows[] = {
        {"if :a then", "IF"},
        {"ELSEIF :a THEN", "ELSEIF"},
        {"else", "ELSE"},
        {"endif", "ENDIF"},
        {"END IF", "UNSUPPORTED"},
        {"WHILE :a DO", "WHILE"},
        {"EndWhile", "ENDWHILE"},
        {"DECLARE x INT", "DECLARE"},
        {"SET x = 1", "SET"},
        {"select", "SQL"},
        {"DELETE FROM t WHERE id=1", "SQL"},
        {"CALL p()", "CALL"},
        {"DROP TABLE t", "DROP TABLE"},
        {"GRANT READ ON d TO u", "UNSUPPORTED"},
    };
    for (const Row& r : rows) EXPECT_STREQ(sp_statement_kind_name(r.stmt), r.kind) << r.stmt;
}

TEST(SpBody, DeclareAndSetParsing) {
    char name[64], expr[2048], err[256];
    int32_t type = 0;
    ASSERT_EQ(sp_parse_declare_stmt("DECLARE x INT = 5", name, &type, expr, err, sizeof err), 0);
    EXPECT_STREQ(expr, "5");
    ASSERT_EQ(sp_parse_declare_stmt("declare x int default 5", name, &type, expr, err, sizeof err),
              0);
    EXPECT_STREQ(name, "x");
    EXPECT_EQ(type, 1);
    EXPECT_STREQ(expr, "5");
    ASSERT_EQ(sp_parse_declare_stmt("DECLARE s TEXT", name, &type, expr, err, sizeof err), 0);
    EXPECT_STREQ(expr, "");
    struct Row {
        const char* stmt;
        const char* err;
    } bad[] = {
        {"DECLARE x INT DEFAULT", "DECLARE syntax: DECLARE name TYPE [DEFAULT value]"},
        {"DECLARE x", "DECLARE syntax: DECLARE name TYPE [DEFAULT value]"},
        {"DECLARE x INT =", "DECLARE default expression cannot be empty"},
        {"DECLARE x INT junk", "DECLARE syntax: DECLARE name TYPE [DEFAULT value]"},
        {"DECLARE x DATE", "unsupported procedure parameter type 'DATE'"},
    };
    for (const Row& r : bad) {
        EXPECT_EQ(sp_parse_declare_stmt(r.stmt, name, &type, expr, err, sizeof err), -1);
        EXPECT_STREQ(err, r.err) << r.stmt;
    }
    ASSERT_EQ(sp_parse_set_stmt("SET x = 'a=b'", name, expr, err, sizeof err), 0);
    EXPECT_STREQ(expr, "'a=b'");
    EXPECT_EQ(sp_parse_set_stmt("SET x 1", name, expr, err, sizeof err), -1);
    EXPECT_STREQ(err, "SET syntax: SET variable = value");
    EXPECT_EQ(sp_parse_set_stmt("SET x =  ", name, expr, err, sizeof err), -1);
    EXPECT_STREQ(err, "SET expression cannot be empty");
}

std::string check(const std::string& body) {
    char err[256] = "";
    return sp_validate_body(body.c_str(), err, sizeof err) == 0 ? "OK" : err;
}

std::string nest(const char* open, const char* close, int depth, const char* inner) {
    std::string b;
    for (int i = 0; i < depth; ++i) b += std::string(open) + "\n";
    b += inner;
    b += ";\n";
    for (int i = 0; i < depth; ++i) b += std::string(close) + "\n";
    return b;
}

TEST(SpBody, StaticCheck) {
    const char* must =
        "procedure body statement must be DECLARE, SET, IF, ELSEIF, ELSE, ENDIF, WHILE, "
        "ENDWHILE, SELECT, INSERT, UPDATE, or DELETE";
    struct Row {
        std::string body;
        std::string want;
    } rows[] = {
        {"IF :n > 0 THEN\nSELECT * FROM t;\nELSEIF :n < 0 THEN\nSELECT * FROM t;\nELSE\nENDIF",
         "OK"},
        {"if :n > 0 then\nselect * from t;\nendif", "OK"},
        {"IF :n > 0 THEN SELECT * FROM t; ENDIF", must},
        {"IF :n > 0 THEN\nEND IF", must},
        {"GRANT READ ON d TO u", must},
        {"DROP TABLE t", "procedure bodies cannot contain DROP TABLE statements in this phase"},
        {"IF THEN\nENDIF", "IF  requires condition THEN"},
        {"IF :a THEN\nSELECT * FROM t", "missing ENDIF for IF block"},
        {"WHILE :a DO\nSELECT * FROM t", "missing ENDWHILE for WHILE block"},
        {"ENDIF", "ENDIF without matching IF"},
        {"WHILE :a DO\nENDIF", "ENDIF without matching IF"},
        {"IF :a THEN\nENDWHILE", "ENDWHILE without matching WHILE"},
        {"ELSE", "ELSE without matching IF"},
        {"IF :a THEN\nELSE\nELSE\nENDIF", "duplicate ELSE in IF block"},
        {"IF :a THEN\nELSE\nELSEIF :b THEN\nENDIF", "ELSEIF cannot appear after ELSE"},
        {"DECLARE x INT DEFAULT", "DECLARE syntax: DECLARE name TYPE [DEFAULT value]"},
        {nest("IF :a THEN", "ENDIF", 16, "SELECT * FROM t"), "OK"},
        {nest("IF :a THEN", "ENDIF", 17, "SELECT * FROM t"), "IF nesting too deep"},
        {nest("WHILE :a DO", "ENDWHILE", 8, "SELECT * FROM t"), "OK"},
        {nest("WHILE :a DO", "ENDWHILE", 9, "SELECT * FROM t"), "WHILE nesting too deep"},
        {nest("IF :a THEN", "ENDIF", 16, nest("WHILE :a DO", "ENDWHILE", 8, "SELECT 1").c_str()),
         "OK"},
        {"", "procedure body cannot be empty"},
    };
    for (const Row& r : rows) EXPECT_EQ(check(r.body), r.want) << r.body;
}

std::string dry(const std::string& body, const char* params = "") {
    ProcParamDef defs[16];
    int n = 0;
    char err[256] = "";
    EXPECT_EQ(sp_parse_param_defs_string(params, defs, &n, err, sizeof err), 0) << err;
    return sp_validate_body_placeholders(body.c_str(), defs, n, err, sizeof err) == 0 ? "OK" : err;
}

TEST(SpBody, DryRun) {
    struct Row {
        const char* body;
        const char* params;
        const char* want;
    } rows[] = {
        {"DECLARE c INT = :n + 1;\nWHILE :c > 0 DO\nSET c = :c - 1;\nENDWHILE\n"
         "SELECT * FROM t WHERE id = :c",
         "n:INT", "OK"},
        {"SELECT * FROM t WHERE id = :undeclared", "",
         "unknown procedure variable or parameter :undeclared"},
        {"SET n = 1", "n:INT", "cannot SET input parameter 'n'"},
        {"SET x = 1", "", "SET target variable 'x' is not declared"},
        {"DECLARE N BOOL", "n:INT", "duplicate procedure variable or parameter 'N'"},
        {"DECLARE x INT = :s", "s:STRING", "cannot assign STRING to INT variable 'x'"},
        {"IF :s = 1 THEN\nENDIF", "s:STRING", "condition type mismatch between STRING and INT"},
        // The walk is linear: a DECLARE in a skipped branch counts as declared.
        {"IF false THEN\nDECLARE y INT;\nENDIF\nSET y = 2", "", "OK"},
        {"DROP TABLE t", "", "unsupported procedure statement: DROP TABLE"},
    };
    for (const Row& r : rows) EXPECT_EQ(dry(r.body, r.params), r.want) << r.body;
}

}  // namespace
