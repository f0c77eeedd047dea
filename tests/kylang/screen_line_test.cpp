// Screen statements and GET in line mode (standard input is a file): what
// the program stores and reports, checked exactly.
#include "terminal_harness.h"

namespace {

using Texts = std::vector<std::string>;

const char kErr[] = "Kyrel Language runtime error: ";

// The SAY results ("[...]") and runtime error lines of a run, in order.
Texts said(const std::string& out) {
    Texts keep;
    for (const std::string& t : screen_texts(out))
        if (t.rfind("[", 0) == 0 || t.rfind(kErr, 0) == 0) keep.push_back(t);
    return keep;
}

std::string err(const char* msg) { return std::string(kErr) + msg; }

class ScreenLineTest : public ProgramRunTest {};

struct GetCase {
    const char* init;   // initial value of the target v
    const char* mask;   // MASK clause, or ""
    const char* shown;  // expression shown afterwards inside "[...]"
    const char* input;  // standard input
    Texts want;         // messages, then the shown value
};

TEST_F(ScreenLineTest, GetStoresByMaskAndTargetType) {
    const std::string no_match = err("Input does not match validator mask. Please enter again.");
    const GetCase cases[] = {
        // A numeric mask's literals do not reach the number; string targets keep them.
        {"NULL", "MASK \"#,###\"", "(v + 1)", "1,234\n", {"[1235]"}},
        {"NULL", "MASK \"#,###\"", "(v + 1)", "1234\n", {"[1235]"}},
        {"\"\"", "MASK \"#,###\"", "v", " 1234 \n", {"[1,234]"}},
        {"0.5", "MASK \"#,###.##\"", "(v + 1)", "1234.5\n1,234.50\n", {no_match, "[1235.5]"}},
        {"NULL", "MASK \"-###\"", "(v + 1)", "12\n012\n", {no_match, "[-11]"}},
        {"0", "MASK \"##.#\"", "v", "12.5\n", {err("Invalid integer. Please enter again."), "[0]"}},
        // Dates: calendar checks with leap years.
        {"NULL",
         "MASK DATE",
         "v",
         "29/02/2023\n31/04/2024\n2902202\n29022024\n",
         {no_match, no_match, no_match, "[29/02/2024]"}},
        {"NULL", "MASK \"YYYY-MM-DD\"", "v", "2000-02-29\n", {"[2000-02-29]"}},
        {"NULL",
         "MASK \"YYYY-MM-DD\"",
         "v",
         "1900-02-29\n0000-01-01\n",
         {no_match, no_match, "[]"}},
        // Character masks: every placeholder filled, nothing but blanks after.
        {"NULL", "MASK \"AA-AA\"", "v", "ab\nabcdx\nab-cd  \n", {no_match, no_match, "[ab-cd]"}},
        {"NULL", "MASK SPACE(3)", "v", "a b\n", {"[a b]"}},
        // A mask without a mode is ignored.
        {"NULL", "MASK \"xyz\"", "v", "anything\n", {"[anything]"}},
        // Free input by the target's current type.
        {"5", "", "(v + 1)", "12x\n42  \n", {err("Invalid integer. Please enter again."), "[43]"}},
        {"NULL", "", "v", "12x\n", {"[12x]"}},
        {"1.5",
         "",
         "(v + 1)",
         "abc\n-2.25\n",
         {err("Invalid number. Please enter again."), "[-1.25]"}},
        {"TRUE",
         "",
         "v",
         "maybe\n No \n",
         {err("Invalid boolean. Enter true or false."), "[false]"}},
        {"FALSE", "", "v", "YES\r\n", {"[true]"}},
        {"\"old\"", "", "v", "", {"[old]"}},  // end of input: the value stays, the program goes on
    };
    for (const GetCase& c : cases) {
        std::string src = std::string("VAR v = ") + c.init + "\n@ 5, 10 GET v " + c.mask +
                          "\n@ 10, 0 SAY \"[\" + " + c.shown + " + \"]\"\n";
        if (!build(src)) continue;
        RunResult r = run_with_input(c.input);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(said(r.out), c.want)
            << "VAR v = " << c.init << ", " << c.mask << ", input " << c.input;
    }
}

TEST_F(ScreenLineTest, MaskPictureAndFieldColours) {
    ASSERT_TRUE(
        build("SET READ MASK = \"r+/w\"\nVAR d = NULL\n@ 3, 4 GET d MASK DATE\n"
              "@ 4, 4 GET d MASK \"A-A\"\nSET READ MASK = \"\"\n@ 5, 4 GET d\n"));
    RunResult r = run_with_input("01/01/2001\nx-y\nfree\n");
    // Pictures first, then each field read in the input colours.
    EXPECT_NE(r.out.find("\033[4;5H\033[91;47m__/__/____\033[0m"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\033[5;5H\033[91;47mA-A\033[0m"), std::string::npos);
    EXPECT_NE(r.out.find("\033[6;5H\033[0m"), std::string::npos);
}

TEST_F(ScreenLineTest, CoordinatesOutsideTheScreen) {
    ASSERT_TRUE(
        build("VAR v = 1\n@ 24, 0 GET v\n@ 0, 80 GET v\n@ -1, 0 SAY \"x\"\n"
              "DEFINE TABLE FROM 1, 1 TO 24, 5\nDEFINE TABLE FROM 3, 3 TO 3, 9\n"
              "DEFINE TABLE FROM 3, 9 TO 5, 3\n@ 9, 0 SAY \"[\" + v + \"]\"\n"));
    RunResult r = run_with_input("7\n");
    EXPECT_EQ(said(r.out),
              (Texts{err("GET coordinate is outside the screen"),
                     err("GET coordinate is outside the screen"),
                     err("SAY coordinate is outside the screen"),
                     err("TABLE coordinate is outside the screen"),
                     err("TABLE requires bottom/right coordinate greater than top/left coordinate"),
                     err("TABLE requires bottom/right coordinate greater than top/left coordinate"),
                     "[1]"}));
}

TEST_F(ScreenLineTest, TablesDrawBoxesInTheSayColours) {
    ASSERT_TRUE(
        build("SET SAY MASK = \"g/k\"\nDEFINE TABLE FROM 2, 2 TO 4, 6\n"
              "DEFINE TABLE DOUBLE FROM 10, 70 TO 12, 79\n"));
    RunResult r = run_with_input("");
    ScreenModel s;
    s.feed(r.out);
    EXPECT_EQ(s.text(2, 2, 5), "┌───┐");
    EXPECT_EQ(s.text(3, 2, 5), "│   │");
    EXPECT_EQ(s.text(4, 2, 5), "└───┘");
    EXPECT_EQ(s.attr(3, 6), "32;40");
    EXPECT_EQ(s.text(10, 70, 10), "╔════════╗");
    EXPECT_EQ(s.text(11, 70, 10), "║        ║");
    EXPECT_EQ(s.text(12, 70, 10), "╚════════╝");
}

TEST_F(ScreenLineTest, CtrlXLeavesTheFormAndTheCallerGoesOn) {
    ASSERT_TRUE(build(R"(VAR a = "a0"
DEFINE FORM f
  @ 2, 0 GET a
  @ 3, 0 SAY "[in form]"
ENDFORM
READ f
@ 4, 0 SAY "[after form " + a + "]"
@ 5, 0 GET a
@ 6, 0 SAY "[" + a + "]"
@ 7, 0 GET a
@ 8, 0 SAY "[never]"
)"));
    RunResult r = run_with_input("\x18 quit\nsecond\n\x18\nunused\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(said(r.out), (Texts{"[after form a0]", "[second]"}));
}

TEST_F(ScreenLineTest, OverlongLineIsCutAndItsRestDropped) {
    ASSERT_TRUE(build(
        "VAR a = NULL\n@ 1, 0 GET a\n@ 2, 0 GET a MASK \"###\"\n@ 3, 0 SAY \"[\" + a + \"]\"\n"));
    RunResult r = run_with_input(std::string(5000, 'x') + "\n123\n");
    EXPECT_EQ(said(r.out), (Texts{"[123]"}));
}

}  // namespace
