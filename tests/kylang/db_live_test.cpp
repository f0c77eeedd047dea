// A generated program against the real server: log in, create and fill a
// table, and list it with FOREACH.
#include "kyrel_test.h"
#include "terminal_harness.h"

namespace {

class DbLiveTest : public ProgramRunTest {};

TEST_F(DbLiveTest, CreateFillAndListATable) {
    kyrel_test::TestServer srv;
    ASSERT_TRUE(srv.start()) << srv.last_error();
    std::string src =
        R"P(CONNECT TO KYRELDB HOST "localhost" ON PORT PORT_NO USER "admin" PASSWORD "lumen406" AS db
VAR r = db.execute("CHANGE PASSWORD TO 'n3w pass'")
r = db.execute("CREATE TABLE items (id int PRIMARY KEY, name string)")
@ 1, 0 SAY "create " + r
VAR i = 1
WHILE i <= 3
  r = db.execute("INSERT INTO items (id, name) VALUES (" + i + ", 'item " + CHAR(64 + i) + "')")
  i = i + 1
ENDWHILE
VAR row = 2
VAR q = db.query("SELECT * FROM items")
FOREACH it IN TO_RS(q)
  @ row, 0 SAY it["id"] * 10 + " " + it["name"]
  row = row + 1
ENDFOREACH
@ 20, 0 SAY q
)P";
    src.replace(src.find("PORT_NO"), 7, std::to_string(srv.port()));
    ASSERT_TRUE(build(src));
    RunResult r = run_with_input("");
    EXPECT_EQ(r.status, 0);
    std::vector<std::string> got = screen_texts(r.out);
    ASSERT_FALSE(got.empty()) << r.out;
    ASSERT_EQ(got.size(), 5u) << r.out;
    got.pop_back();
    EXPECT_NE(got[0].find("\"ok\":true"), std::string::npos) << got[0];
    std::vector<std::string> rows(got.begin() + 1, got.end());
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (std::vector<std::string>{"10 item A", "20 item B", "30 item C"}));
}

}  // namespace
