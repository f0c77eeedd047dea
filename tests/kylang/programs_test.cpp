// Sample programs built with the system C compiler and run with standard
// input from /dev/null (line mode): what they print is compared per SAY.
#include "kylang_harness.h"

namespace {

using Texts = std::vector<std::string>;

class ProgramTest : public KylangTest {
  protected:
    // Builds source into ./prog and returns what it showed.
    Texts build_and_run(const std::string& source) {
        RunResult b = kylang(source, {"-o", "prog"});
        EXPECT_EQ(b.status, 0) << b.err;
        if (b.status != 0) return {};
        EXPECT_FALSE(std::filesystem::exists(path("prog.generated.c")));
        RunResult r = run({path("prog")});
        EXPECT_EQ(r.status, 0);
        return screen_texts(r.out);
    }
};

struct ValueCase {
    const char* expr;
    const char* shown;
};

// Values, arithmetic, comparisons and built-ins, each printed by SAY.
const ValueCase kValues[] = {
    {"1 + 2 * 3", "7"},       {"(1 + 2) * 3", "9"},
    {"7 / 2", "3.5"},         {"6 / 3", "2"},
    {"0.1 + 0.2", "0.3"},     {"-5 + 2", "-3"},
    {"\"abc\" * 2", "0"},     {"\"12abc\" + 1", "12abc1"},
    {"\"12abc\" - 1", "11"},  {"1 + \"a\"", "1a"},
    {"NULL + \"x\"", "x"},    {"TRUE + 1", "2"},
    {"TRUE = 1", "true"},     {"NULL = \"\"", "true"},
    {"NULL = 0", "false"},    {"\"10\" < \"9\"", "true"},
    {"10 == \"10\"", "true"}, {"3 <> 3", "false"},
    {"2 != 3", "true"},       {"NOT NOT 0", "false"},
    {"NOT 1 = 2", "true"},    {"1 < 2 AND 2 < 1", "false"},
    {"0 OR \"x\"", "true"},   {"CHAR(65) + CHAR(66)", "AB"},
    {"\"x\" + 1.5", "x1.5"},  {"9223372036854775807 + 1", "-9223372036854775808"},
    {"007 + 1", "8"},         {"5.", "5"},
    {"1.5 * 2", "3"},
};

TEST_F(ProgramTest, ValuesAndOperators) {
    std::string src;
    Texts want;
    int row = 1;
    for (const ValueCase& c : kValues) {
        src += "@ " + std::to_string(row++ % 20 + 1) + ", 0 SAY " + c.expr + "\n";
        want.push_back(c.shown);
    }
    EXPECT_EQ(build_and_run(src), want);
}

TEST_F(ProgramTest, RuntimeErrorsGoOnWithNull) {
    Texts got = build_and_run(
        "VAR a = 1 / 0\n@ 1, 0 SAY \"[\" + a + \"]\"\n"
        "VAR c = CHAR(256)\n@ 2, 0 SAY \"[\" + c + \"]\"\n"
        "VAR s = \"ab\"\n@ 3, 0 SAY \"[\" + s[5] + \"]\" + s[1]\n");
    EXPECT_EQ(got, (Texts{"Kyrel Language runtime error: division by zero", "[]",
                          "Kyrel Language runtime error: CHAR value must be between 0 and 255",
                          "[]", "[]b"}));
}

TEST_F(ProgramTest, ControlFlowFunctionsAndForms) {
    Texts got = build_and_run(R"(# every statement kind that needs no terminal input or database
VAR n = 0; VAR Total = 0
RECORDSET rs = "not a reply"
WHILE n < 5 DO
  n = n + 1
  IF n = 2 THEN
    total = TOTAL + 100
  ELSEIF n >= 4 THEN
    total = total + 10
  ELSE
    total = total + 1
  ENDIF
ENDWHILE
@ 1, 0 SAY total
FUNCTION fact(k)
  IF k <= 1 THEN
    RETURN 1
  ENDIF
  RETURN k * fact(k - 1)
ENDFUNCTION
FUNCTION noisy(msg)
  VAR shown = "<" + msg + ">"
  @ 2, 0 SAY shown
  RETURN
ENDFUNCTION
FUNCTION forever()
  RETURN forever()
ENDFUNCTION
@ 3, 0 SAY fact(20)
CALL noisy("hi")
VAR r = noisy("again")
@ 4, 0 SAY "[" + r + "]"
DEFINE FORM banner
  @ 5, 0 SAY "form " + n
ENDFORM
READ banner
VAR spin = 0
WHILE TRUE
  spin = spin + 1
ENDWHILE
@ 6, 0 SAY spin
CALL forever()
SET SCREEN 25, 80
SET SAY MASK = "r+/w"
@ 23, 75 SAY "truncated text"
CLEAR SCREEN
DEFINE MENU main
ADD ITEM file TO MENU main PROMPT "File" CALL forever()
DEFINE POPUP fp AS file {
  CHOICE "Quit" CALL forever()
}
)");
    // The menu callbacks never run: standard input is not a terminal.
    EXPECT_EQ(got,
              (Texts{"122", "2432902008176640000", "<hi>", "<again>", "[]", "form 5",
                     "Kyrel Language runtime error: WHILE loop safety limit reached", "1000000",
                     "Kyrel Language runtime error: function call depth limit reached",
                     "Kyrel Language runtime error: supported screen sizes are 24,80 and 36,128",
                     "trunc"}));
}

TEST_F(ProgramTest, FailingCompilerLeavesNoGeneratedFile) {
    RunResult r = kylang("VAR a = 1\n", {"--cc", "false", "-o", "it's out"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("[kylang] 'false' -O2 'it'\\''s out.generated.c' -o 'it'\\''s out' -lm\n"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(std::filesystem::exists(path("it's out.generated.c")));

    r = kylang("VAR a = 1\n", {"--cc", "false", "--keep-c", "-o", "kept"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(std::filesystem::exists(path("kept.generated.c")));

    r = kylang("VAR a = 1\n", {"--keep-c", "-o", "it's built"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("[kylang] built it's built\n"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(path("it's built")));
    EXPECT_TRUE(std::filesystem::exists(path("it's built.generated.c")));
}

}  // namespace
