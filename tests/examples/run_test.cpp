// The programs of examples/, run as their comments and the docs tell a user
// to run them: the C connector program against a fresh server (first login
// with its forced password change, then a second run that finds its work
// done), the line-mode report with its answers on standard input, and the
// menu-driven entry form on a pseudo-terminal.
#include <filesystem>
#include <memory>

#include "kyrel_test.h"
#include "terminal_harness.h"

namespace {

const char kFirstPassword[] = "lumen406";
const char kPassword[] = "st0ck pw";

std::string example(const std::string& name) {
    return std::string(KYREL_EXAMPLES_BIN_DIR) + "/" + name;
}

// What the connector example prints once its three items are in the table.
const char kInventoryRows[] =
    R"(rows: {"ok":true,"table":"items","rows":[{"id":1,"name":"hex bolt M6","qty":120},)"
    R"({"id":2,"name":"nut M6","qty":300},{"id":3,"name":"O'Brien washer","qty":75}]})"
    "\n3 items, 495 pieces in stock\n";

class ExamplesTest : public ProgramRunTest {
  protected:
    void SetUp() override {
        ProgramRunTest::SetUp();
        ASSERT_TRUE(srv.start()) << srv.last_error();
        port = std::to_string(srv.port());
    }

    RunResult inventory(const std::vector<std::string>& login) {
        std::vector<std::string> argv = {example("inventory"), "127.0.0.1", port};
        argv.insert(argv.end(), login.begin(), login.end());
        return run(argv);
    }

    // The table the other examples read, as the connector example leaves it.
    void fill_items() {
        RunResult r = inventory({"admin", kFirstPassword, kPassword});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
    }

    // One request on a connection logged in with the changed password.
    std::string ask(const std::string& sql) {
        kyrel_test::FrameClient c;
        std::string reply;
        if (!c.connect(srv.port()) ||
            !c.request(std::string(R"({"action":"login","username":"admin","password":")") +
                           kPassword + "\"}",
                       &reply) ||
            !c.request(R"({"action":"sql","sql":")" + sql + "\"}", &reply))
            return "";
        return reply;
    }

    kyrel_test::TestServer srv;
    std::string port;
};

TEST_F(ExamplesTest, ConnectorProgramLogsInStoresAndReadsBack) {
    // A first login without a new password: the program says what it needs.
    RunResult r = inventory({"admin", kFirstPassword});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "logged in to 127.0.0.1:" + port + " as admin\n");
    EXPECT_EQ(r.err, "admin must choose a new password first: give it as NEW_PASSWORD\n");

    r = inventory({"admin", kFirstPassword, kPassword});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "logged in to 127.0.0.1:" + port +
                         " as admin\npassword changed\ntable items created\n"
                         "item 1 stored\nitem 2 stored\nitem 3 stored\n" +
                         kInventoryRows);
    EXPECT_EQ(r.err, "");

    // Run again: the error replies for the table and the rows are expected.
    r = inventory({"admin", kPassword});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "logged in to 127.0.0.1:" + port +
                         " as admin\ntable items already exists\n"
                         "item 1 already stored\nitem 2 already stored\nitem 3 already stored\n" +
                         kInventoryRows);

    r = inventory({"admin", kFirstPassword});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "login: invalid username or password\n");
}

TEST_F(ExamplesTest, LineModeReportListsTheItemsWithATotal) {
    ASSERT_NO_FATAL_FAILURE(fill_items());
    std::filesystem::copy_file(example("stock_report"), path("prog"));

    RunResult r = run_with_input(port + "\nadmin\n" + kPassword + "\n");
    EXPECT_EQ(r.status, 0);
    ScreenModel s;
    s.feed(r.out);
    EXPECT_EQ(s.row(4), "Id    Item                    Qty     Price");
    EXPECT_EQ(s.row(5), "1     hex bolt M6             120     0.25");
    EXPECT_EQ(s.row(6), "2     nut M6                  300     0.05");
    EXPECT_EQ(s.row(7), "3     O'Brien washer          75      0.1");
    EXPECT_EQ(s.row(9), "3 items, 495 pieces, stock value 52.5");

    // A refused login is shown on screen; the program still ends with 0.
    r = run_with_input(port + "\nadmin\nwrong\n");
    EXPECT_EQ(r.status, 0);
    s = ScreenModel();
    s.feed(r.out);
    EXPECT_EQ(s.row(4), "no report: cannot log in");
    EXPECT_EQ(s.row(23), "Kyrel Language runtime error: KyrelDB login failed");
}

TEST_F(ExamplesTest, MenuDrivenFormStoresAnItemAndListsIt) {
    ASSERT_NO_FATAL_FAILURE(fill_items());
    PtyRun run(example("stock_entry"), dir);
    ASSERT_TRUE(run.started());

    // Login fields: each key goes out once its field is drawn and waiting.
    ASSERT_TRUE(run.wait_for("\033[2;7H\033[97;44m9191\033[0m"));
    run.send("\x7f\x7f\x7f\x7f" + port + "\r");
    ASSERT_TRUE(run.wait_for("\033[3;7H\033[97;44madmin\033[0m"));
    run.send("\r");
    ASSERT_TRUE(run.wait_for("\033[4;11H\033[97;44m\033[0m"));
    run.send(std::string(kPassword) + "\r");
    ASSERT_TRUE(run.wait_for("Logged in."));

    // Items > New item, then the four fields: masked ones end by themselves
    // once every placeholder is filled, the free one with Enter.
    run.send("\r");
    ASSERT_TRUE(run.wait_for("New item"));
    run.send("\r");
    ASSERT_TRUE(run.wait_for("\033[97;44m___\033[0m"));
    run.send(
        "004spring 'washer'\r"
        "0040"
        "00001");
    ASSERT_TRUE(run.wait_for("Server: {\"ok\":true,\"inserted\":1}")) << run.output();
    EXPECT_EQ(ask("SELECT * FROM items WHERE id = 4"),
              R"({"ok":true,"table":"items","rows":[{"id":4,"name":"spring 'washer'",)"
              R"("qty":40,"price":0.01}]})");

    // Items > List items shows the new row after the three of the C program.
    run.send("\r");
    ASSERT_TRUE(run.wait_for("List items"));
    run.send("\033[B\r");
    ASSERT_TRUE(run.wait_for("spring 'washer'"));
    ASSERT_TRUE(run.wait_for("0.01\033[0m"));  // the last cell of the list
    ScreenModel s = run.screen();
    EXPECT_EQ(s.row(6), "  1     hex bolt M6                     120     0.25");
    EXPECT_EQ(s.row(9), "  4     spring 'washer'                 40      0.01");

    run.send("\x18");  // Ctrl-X ends the program
    int st = run.finish();
    ASSERT_TRUE(WIFEXITED(st)) << st;
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_TRUE(run.terminal_is_cooked());
}

}  // namespace
