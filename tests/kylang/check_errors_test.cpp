// kylang command line and located compile errors (--check).
#include "kylang_harness.h"

namespace {

TEST_F(KylangTest, CommandLineUsageAndStatuses) {
    RunResult none = run({KYLANG_BIN});
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(
        none.err.rfind(
            "Kyrel Language Phase 4.3 Compiler 0.4.3 Foreach RecordSet Iterator\nusage:\n", 0),
        0u);
    EXPECT_EQ(run({KYLANG_BIN, "--check", "--keep-c"}).status, 2);  // options only
    EXPECT_EQ(run({KYLANG_BIN, "-h"}).status, 0);
    EXPECT_EQ(run({KYLANG_BIN, "--help"}).status, 0);
    write_file(path("a.prg"), "");
    EXPECT_EQ(run({KYLANG_BIN, "a.prg", "b.prg"}).status, 2);
    EXPECT_EQ(run({KYLANG_BIN, "a.prg", "-o"}).status, 2);  // trailing -o is a second input

    RunResult trailing = run({KYLANG_BIN, "--check", "-o"});  // "-o" becomes the input file
    EXPECT_EQ(trailing.status, 1);
    EXPECT_EQ(trailing.err.rfind("cannot open -o: ", 0), 0u) << trailing.err;

    RunResult ok = run({KYLANG_BIN, "a.prg", "--check"});
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.err, "a.prg: ok\n");
    RunResult missing = run({KYLANG_BIN, "nope.prg", "--check"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "cannot open nope.prg: No such file or directory\n");
}

std::string repeat(const std::string& unit, size_t n) {
    std::string out;
    out.reserve(unit.size() * n);
    for (size_t i = 0; i < n; i++) out += unit;
    return out;
}

struct BadProgram {
    const char* what;
    std::string source;
    const char* messages;  // expected standard error, every line
};

const BadProgram kBadPrograms[] = {
    {"unclosed string counts as an error", "VAR s = \"abc\nVAR t = 1\n",
     "p.prg:1:9: error: unclosed string literal\n"},
    {"unclosed string at end of input", "VAR s = 'abc",
     "p.prg:1:9: error: unclosed string literal\n"},
    {"undeclared variable", "x = 1\n", "p.prg:1:3: error: variable 'x' is not declared\n"},
    {"redeclared variable, names ignore case", "VAR Total\nVAR TOTAL\n",
     "p.prg:2:5: error: variable 'TOTAL' is already declared\n"},
    {"reserved word char", "VAR char\n", "p.prg:1:5: error: 'char' is a reserved keyword\n"},
    {"three bad lines, three errors", "foo\nVAR\n@ 1, 2 PRINT 3\n",
     "p.prg:1:4: error: expected assignment or method call\n"
     "p.prg:2:4: error: expected variable name\n"
     "p.prg:3:8: error: expected SAY or GET after coordinates\n"},
    {"unknown statement", "THEN\n", "p.prg:1:1: error: unknown statement\n"},
    {"chained comparison leaves the second operator", "VAR a = 1 < 2 < 3\n",
     "p.prg:1:15: error: unknown statement\n"},
    {"expected expression consumes the token", "VAR a = * 2\n",
     "p.prg:1:9: error: expected expression\np.prg:1:11: error: unknown statement\n"},
    {"missing closing parenthesis", "VAR a = (1 + 2\n", "p.prg:1:15: error: expected ')'\n"},
    {"integer literal too large", "VAR a = 9223372036854775808\n",
     "p.prg:1:9: error: integer literal '9223372036854775808' is out of range\n"},
    {"CHAR arity", "VAR a = CHAR(1, 2)\n", "p.prg:1:19: error: CHAR expects exactly 1 argument\n"},
    {"function called but not defined", "CALL f(1)\nCALL g()\n",
     "p.prg: error: function 'f' was called but not defined\n"
     "p.prg: error: function 'g' was called but not defined\n"},
    {"arity mismatch between calls", "CALL f(1)\nCALL F(1, 2)\nFUNCTION f(a)\nENDFUNCTION\n",
     "p.prg:2:1: error: function 'f' called with 2 argument(s), previously expected 1\n"},
    {"call after definition with other count", "FUNCTION f(a)\nENDFUNCTION\nCALL f()\n",
     "p.prg:3:1: error: function 'f' called with 0 argument(s), previously expected 1\n"
     "p.prg:3:1: error: function 'f' expects 1 argument(s), got 0\n"},
    {"definition differs from calls", "CALL f(1)\nFUNCTION f()\nENDFUNCTION\n",
     "p.prg:2:13: error: function 'f' was called with 1 argument(s) but definition has 0\n"},
    {"function defined twice", "FUNCTION f()\nENDFUNCTION\nFUNCTION f()\nRETURN 1\nENDFUNCTION\n",
     "p.prg:3:13: error: function 'f' is already defined\n"},
    {"nested function", "FUNCTION f()\nFUNCTION g()\nENDFUNCTION\n",
     "p.prg:2:1: error: nested FUNCTION definitions are not allowed\n"},
    {"function inside a block", "IF 1 THEN\nFUNCTION g()\nENDFUNCTION\nENDIF\n",
     "p.prg:2:1: error: FUNCTION must be defined at top level\n"
     "p.prg:3:1: error: ENDFUNCTION without matching FUNCTION\n"},
    {"missing ENDFUNCTION and open block inside", "FUNCTION f()\nIF 1 THEN\n",
     "p.prg:3:1: error: unclosed IF, WHILE, or FOREACH block inside function 'f'\n"
     "p.prg:3:1: error: missing ENDFUNCTION for function 'f'\n"},
    {"RETURN at top level", "RETURN 1\n", "p.prg:1:1: error: RETURN outside FUNCTION\n"},
    {"ELSE after WHILE", "WHILE 0\nELSE\nENDWHILE\n",
     "p.prg:2:1: error: ELSE without matching IF\n"},
    {"unmatched end words", "ENDIF\nENDWHILE\nENDFOREACH\n",
     "p.prg:1:6: error: ENDIF without matching block\n"
     "p.prg:2:9: error: ENDWHILE without matching block\n"
     "p.prg:3:11: error: ENDFOREACH without matching block\n"},
    {"missing THEN is reported, line still parsed", "IF 1\nENDIF\n",
     "p.prg:1:5: error: expected THEN after IF condition\n"},
    {"block open at end of input", "IF 1 THEN\nVAR a = 1\n",
     "p.prg:3:1: error: unclosed IF, WHILE, or FOREACH block\n"},
    {"SET READ MASK without =", "SET READ MASK \"w/b\"\n", "p.prg:1:15: error: expected '='\n"},
    {"unknown SET", "SET COLOR 1\n", "p.prg:1:5: error: unknown SET statement\n"},
    {"READ MASK", "READ MASK\n",
     "p.prg:1:6: error: READ MASK is only valid after SET; use READ formName to read a form\n"},
    {"form read but not defined", "READ entry\n",
     "p.prg: error: form 'entry' was read but not defined\n"},
    {"form defined inside a function", "FUNCTION f()\nDEFINE FORM x\nENDFUNCTION\n",
     "p.prg:2:8: error: DEFINE FORM must be at top level\n"},
    {"MASK SPACE out of range", "VAR a\nGET a MASK SPACE(2000)\n",
     "p.prg:2:18: error: SPACE() mask length must be between 0 and 1024\n"},
    {"unknown method", "VAR c\nc.fetch(1)\n",
     "p.prg:2:11: error: unknown KyrelDB method 'fetch'\n"},
    {"method arity", "VAR c\nVAR r = c.execute()\n",
     "p.prg:2:20: error: method 'execute' expects 1 argument(s), got 0\n"},
    {"callback with arguments", "ADD ITEM a TO MENU m PROMPT \"A\" CALL f(1)\n",
     "p.prg:1:42: error: menu and popup callbacks must not take arguments\n"},
    {"CONNECT without USER", "CONNECT TO KYRELDB PASSWORD \"x\" AS c\n",
     "p.prg:1:20: error: expected USER\n"},
    {"popup without closing brace", "DEFINE POPUP p {\nCHOICE \"a\"\n",
     "p.prg:3:1: error: missing '}' at end of popup definition\n"},
    {"too deeply nested expression", "VAR a = " + std::string(300, '(') + "1\n",
     "p.prg:1:265: error: expression is nested too deeply\n"},
    {"deep NOT chain, then the next line is still checked",
     "VAR a = " + repeat("NOT ", 200000) + "1\nVAR a\n",
     "p.prg:1:1029: error: expression is nested too deeply\n"
     "p.prg:2:5: error: variable 'a' is already declared\n"},
    {"deep unary minus chain", "VAR a = " + repeat("- ", 200000) + "1\n",
     "p.prg:1:519: error: expression is nested too deeply\n"},
    {"parentheses, NOT and minus count toward one limit",
     "VAR a = " + repeat("(NOT -", 100000) + "1\n",
     "p.prg:1:520: error: expression is nested too deeply\n"},
};

TEST_F(KylangTest, BadProgramsReportEveryLocatedError) {
    for (const BadProgram& b : kBadPrograms) {
        RunResult r = kylang(b.source, {"--check"});
        EXPECT_EQ(r.status, 1) << b.what;
        EXPECT_EQ(r.err, b.messages) << b.what;
    }
}

// Nesting right at the limit is still accepted, whichever way it is reached.
TEST_F(KylangTest, NestingUpToTheLimitIsAccepted) {
    RunResult r = kylang("VAR a = " + repeat("(NOT -", 85) + "1" + std::string(85, ')') +
                             "\nVAR b = " + repeat("NOT ", 255) + "1\n",
                         {"--check"});
    EXPECT_EQ(r.status, 0) << r.err;
}

// Two million terms in one left-associative chain: copying the chain's text
// at every operator would take far longer than the whole test run.
TEST_F(KylangTest, LongOperatorChainsAreChecked) {
    RunResult r = kylang("VAR a = 1" + repeat("+1", 2000000) + "\n", {"--check"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "p.prg: ok\n");
}

// 1,200,000 variables: searching the declared names one by one at every
// declaration would take far longer than the whole test run. The last name,
// declared again in another case, is still found.
TEST_F(KylangTest, ProgramsWithManyNamesAreChecked) {
    std::string src;
    for (int i = 0; i < 1200000; i++) src += "VAR v" + std::to_string(i) + "\n";
    RunResult r = kylang(src + "VAR V1199999\n", {"--check"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "p.prg:1200001:5: error: variable 'V1199999' is already declared\n");
}

TEST_F(KylangTest, NothingIsWrittenAfterAnError) {
    RunResult r = kylang("VAR s = \"unclosed\n", {"--emit-c", "-o", "out.c"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(std::filesystem::exists(path("out.c")));
}

}  // namespace
