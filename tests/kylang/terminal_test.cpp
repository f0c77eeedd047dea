// Programs on a pseudo-terminal: keys are sent, the screen is decoded.
#include <memory>

#include "terminal_harness.h"

namespace {

const char kUp[] = "\033[A";
const char kDown[] = "\033[B";
const char kRight[] = "\033[C";
const char kLeft[] = "\033[D";
const char kCtrlX[] = "\x18";
const char kBackspace[] = "\x7f";

class TerminalTest : public ProgramRunTest {
  protected:
    std::unique_ptr<PtyRun> start() {
        auto run = std::make_unique<PtyRun>(path("prog"), dir);
        EXPECT_TRUE(run->started());
        return run;
    }
};

const char kMenuProgram[] = R"(FUNCTION opened()
  @ 10, 0 SAY "opened"
ENDFUNCTION
FUNCTION edited()
  VAR note = "n"
  @ 11, 0 SAY "edit:"
  @ 11, 6 GET note
  @ 12, 0 SAY "note " + note
ENDFUNCTION
DEFINE MENU main
ADD ITEM file TO MENU main PROMPT "File" CALL edited()
ADD ITEM edit TO MENU main PROMPT "Edit" CALL edited()
ADD ITEM long TO MENU main PROMPT "Long"
DEFINE POPUP fp AS file {
  CHOICE "Open" CALL opened()
  CHOICE "Save as" CALL opened()
}
DEFINE POPUP lp AS long {
  CHOICE "0123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789"
}
)";

TEST_F(TerminalTest, MenuBarPopupsAndCallbacks) {
    ASSERT_TRUE(build(kMenuProgram));
    auto run = start();
    ASSERT_TRUE(run->wait_for(" Long \033[0m"));
    ScreenModel s = run->screen();
    EXPECT_EQ(s.row(0), "  File   Edit   Long");
    EXPECT_EQ(s.attr(0, 2), "30;47");
    EXPECT_EQ(s.attr(0, 9), "44;97");
    EXPECT_EQ(s.attr(0, 79), "44;97");
    EXPECT_FALSE(run->terminal_is_cooked());

    // Right selects Edit; Left twice wraps round to Long, Right wraps to File.
    run->send(kRight);
    ASSERT_TRUE(run->wait_for("\033[30;47m Edit "));
    run->send(kLeft);
    ASSERT_TRUE(run->wait_for("\033[30;47m File "));
    run->send(kLeft);
    ASSERT_TRUE(run->wait_for("\033[30;47m Long "));
    run->send(kRight);
    ASSERT_TRUE(run->wait_for("\033[30;47m File "));

    // Down opens File's pop-up under the item; Up and Down wrap.
    run->send(kDown);
    ASSERT_TRUE(run->wait_for("┘\033[0m"));
    s = run->screen();
    EXPECT_EQ(s.text(1, 1, 11), "┌─────────┐");
    EXPECT_EQ(s.text(2, 1, 11), "│ Open    │");
    EXPECT_EQ(s.text(3, 1, 11), "│ Save as │");
    EXPECT_EQ(s.text(4, 1, 11), "└─────────┘");
    EXPECT_EQ(s.attr(2, 3), "30;47");
    run->send(kUp);
    ASSERT_TRUE(run->wait_for("┘\033[0m"));
    EXPECT_EQ(run->screen().attr(3, 3), "30;47");
    EXPECT_EQ(run->screen().attr(2, 3), "37;40");
    run->send(kDown);
    ASSERT_TRUE(run->wait_for("┘\033[0m"));
    EXPECT_EQ(run->screen().attr(2, 3), "30;47");

    // Esc (alone, no sequence follows) closes it and blanks its area.
    run->send("\033");
    ASSERT_TRUE(run->wait_for("\033[30;47m File "));
    s = run->screen();
    for (int r = 1; r <= 4; r++) EXPECT_EQ(s.row(r), "") << r;

    // Enter on the second choice runs its callback.
    run->send(kDown);
    ASSERT_TRUE(run->wait_for("┘\033[0m"));
    run->send(kDown);
    ASSERT_TRUE(run->wait_for("┘\033[0m"));
    run->send("\r");
    ASSERT_TRUE(run->wait_for("opened"));
    ASSERT_TRUE(run->wait_for("\033[30;47m File "));
    EXPECT_EQ(run->screen().row(3), "");

    // An item without a pop-up runs its callback, which reads a field.
    run->send(kRight);
    ASSERT_TRUE(run->wait_for("\033[30;47m Edit "));
    run->send("\r");
    ASSERT_TRUE(run->wait_for("\033[12;7H\033[97;44mn\033[0m"));
    run->send("ote\r");
    ASSERT_TRUE(run->wait_for("note note"));
    ASSERT_TRUE(run->wait_for("\033[30;47m Edit "));
    EXPECT_FALSE(run->terminal_is_cooked());  // the menu loop is still raw

    // A pop-up too wide for the screen is cut to 78 and moved to column 0.
    run->send(kRight);
    ASSERT_TRUE(run->wait_for("\033[30;47m Long "));
    run->send(kDown);
    ASSERT_TRUE(run->wait_for("┘\033[0m"));
    s = run->screen();
    EXPECT_EQ(
        s.text(1, 0, 80), "┌" + [] {
            std::string h;
            for (int i = 0; i < 78; i++) h += "─";
            return h;
        }() + "┐");
    EXPECT_EQ(
        s.text(2, 0, 80),
        "│ " + std::string(kMenuProgram).substr(std::string(kMenuProgram).find("0123"), 76) + " │");

    // Ctrl-X in the pop-up ends the program with the terminal restored.
    run->send(kCtrlX);
    int st = run->finish();
    ASSERT_TRUE(WIFEXITED(st)) << st;
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_TRUE(run->terminal_is_cooked());
    EXPECT_NE(run->output().find("\033[0m\033[24;1H"), std::string::npos);
}

TEST_F(TerminalTest, MaskedFieldsWithUpAndBackspace) {
    ASSERT_TRUE(build(R"(VAR name = "bob"
VAR amount = NULL
VAR day = NULL
@ 2, 0 SAY "Name"
@ 2, 10 GET name
@ 3, 10 GET amount MASK "#,###"
@ 4, 10 GET day MASK DATE
@ 6, 0 SAY "[" + name + "|" + (amount + 1) + "|" + day + "]"
)"));
    auto run = start();
    // Free field: starts from the current text.
    ASSERT_TRUE(run->wait_for("\033[3;11H\033[97;44mbob\033[0m"));
    run->send(std::string(kBackspace) + "x\t\r");
    // Numeric field: its picture, then the edited field once raw.
    ASSERT_TRUE(run->wait_for("\033[4;11H\033[97;44m_,___"));
    ASSERT_TRUE(run->wait_for("\033[4;11H\033[97;44m_,___"));
    run->send("12a34");
    ASSERT_TRUE(run->wait_for("Character is not valid for this input mask."));
    // The fourth digit completes the field, which is stored at once.
    ASSERT_TRUE(run->wait_for("\033[4;11H\033[97;44m1,234\033[0m"));
    ASSERT_TRUE(run->wait_for("\033[5;11H\033[97;44m__/__/____"));
    ASSERT_TRUE(run->wait_for("\033[5;11H\033[97;44m__/__/____"));
    // A full but impossible date is refused and the field starts afresh;
    // then Up goes back to the amount, which shows its stored value.
    run->send(std::string("31022024") + kUp);
    ASSERT_TRUE(run->wait_for("Input does not match validator mask. Please enter again."));
    ASSERT_TRUE(run->wait_for("\033[4;11H\033[97;44m1,234\033[0m"));
    run->send("\r");
    ASSERT_TRUE(run->wait_for("\033[5;11H\033[97;44m__/__/____"));
    ASSERT_TRUE(run->wait_for("\033[5;11H\033[97;44m__/__/____"));
    // Backspace resets the placeholder before the cursor.
    run->send(std::string("19") + kBackspace + "2022024");
    ASSERT_TRUE(run->wait_for("[box|1235|12/02/2024]")) << run->output();
    ScreenModel s = run->screen();
    EXPECT_EQ(s.text(4, 10, 10), "12/02/2024");
    EXPECT_EQ(s.text(3, 10, 5), "1,234");
    EXPECT_EQ(s.text(2, 10, 3), "box");
    run->send(kCtrlX);  // no menu: Ctrl-X ends the menu loop
    int st = run->finish();
    ASSERT_TRUE(WIFEXITED(st)) << st;
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_TRUE(run->terminal_is_cooked());
}

// Keys typed ahead of a field are kept for it: both fields' keys arrive in
// one write while the first field is being edited.
TEST_F(TerminalTest, KeysTypedAheadReachTheNextField) {
    ASSERT_TRUE(
        build("VAR a = \"\"\nVAR b = \"\"\n@ 2, 0 GET a\n@ 3, 0 GET b\n"
              "@ 5, 0 SAY \"[\" + a + \"|\" + b + \"]\"\n"));
    auto run = start();
    ASSERT_TRUE(run->wait_for("\033[3;1H\033[97;44m\033[0m"));
    run->send("one\rtwo\r");
    ASSERT_TRUE(run->wait_for("[one|two]")) << run->output();
    run->send(kCtrlX);
    int st = run->finish();
    ASSERT_TRUE(WIFEXITED(st)) << st;
    EXPECT_TRUE(run->terminal_is_cooked());
}

TEST_F(TerminalTest, CtrlXInAFieldSkipsTheRestAndTheMenuLoop) {
    ASSERT_TRUE(
        build("VAR a = \"\"\nDEFINE MENU m\nADD ITEM x TO MENU m PROMPT \"X\"\n"
              "@ 2, 0 GET a\n@ 3, 0 SAY \"never\"\n"));
    auto run = start();
    ASSERT_TRUE(run->wait_for("\033[3;1H\033[97;44m\033[0m"));
    run->send(kCtrlX);
    int st = run->finish();
    ASSERT_TRUE(WIFEXITED(st)) << st;
    EXPECT_EQ(run->output().find("never"), std::string::npos);
    EXPECT_EQ(run->output().find(" X "), std::string::npos);
    EXPECT_TRUE(run->terminal_is_cooked());
}

// Ctrl-C (the terminal's interrupt key) and SIGTERM end the program by
// their signal, with the terminal's settings put back first.
TEST_F(TerminalTest, SignalsRestoreTheTerminal) {
    ASSERT_TRUE(build("DEFINE MENU m\nADD ITEM x TO MENU m PROMPT \"Menu\"\n"));
    for (int sig : {SIGINT, SIGTERM}) {
        auto run = start();
        ASSERT_TRUE(run->wait_for(" Menu "));
        ASSERT_TRUE(run->wait_for("\033[0m"));
        EXPECT_FALSE(run->terminal_is_cooked());
        if (sig == SIGINT)
            run->send("\x03");
        else
            kill(run->pid(), SIGTERM);
        int st = run->finish();
        ASSERT_TRUE(WIFSIGNALED(st)) << st;
        EXPECT_EQ(WTERMSIG(st), sig);
        EXPECT_TRUE(run->terminal_is_cooked()) << sig;
    }
}

}  // namespace
