// Stored procedures over the wire: CREATE PROCEDURE with parameters, IF and
// WHILE; CALL and its exact step objects; SHOW PROCEDURES; DROP; the
// invoker's rights; a procedure surviving a crash and restart; and a
// procedure file changed on disk refused by CALL.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "kyrel_test.h"
#include "writes_helpers.h"

using namespace kyrel_test;
using namespace writes_test;

namespace {

constexpr const char* kConfig =
    "AUTO_TUNE=OFF\nAUTO_VACUUM=OFF\nCONNECTION_WORKERS=4\nWRITE_WORKERS=1\n"
    "COMMIT_GROUP_WAIT_MS=0\nWAL_SYNC_EVERY=1\n";
constexpr const char* kPassword = "proc pass 1";

// Inserts n rows 1..n; row 2 gets the label "two", the others the tag. Then
// reads row 2 back.
constexpr const char* kFillBody =
    "DECLARE i INT DEFAULT 0;\n"
    "WHILE :i < :n DO\n"
    "SET i = :i + 1;\n"
    "IF :i = 2 THEN\n"
    "INSERT INTO items VALUES (:i, \"two\");\n"
    "ELSE\n"
    "INSERT INTO items VALUES (:i, :tag);\n"
    "ENDIF\n"
    "ENDWHILE\n"
    "SELECT * FROM items WHERE id = 2;";

void login_admin(Client& c) { login_admin_as(c, kPassword); }

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool is_hex64(const std::string& s) {
    if (s.size() != 64) return false;
    for (char ch : s)
        if (!isdigit(static_cast<unsigned char>(ch)) && (ch < 'a' || ch > 'f')) return false;
    return true;
}

class Procedures : public ::testing::Test {
  protected:
    void SetUp() override {
        srv_.set_config(kConfig);
        ASSERT_TRUE(srv_.start()) << srv_.last_error();
        ASSERT_NO_FATAL_FAILURE(reconnect());
    }
    // A fresh administrator client using database "d" (created when missing).
    void reconnect() {
        c_ = std::make_unique<Client>();
        ASSERT_TRUE(c_->connect(srv_.port()));
        ASSERT_NO_FATAL_FAILURE(login_admin(*c_));
        ASSERT_NO_FATAL_FAILURE(use_or_create_database(*c_, "d"));
    }
    std::string sql(const std::string& s) { return c_->sql(s); }
    void expect_ok(const std::string& s) {
        std::string r = sql(s);
        EXPECT_TRUE(ok(r)) << s << " -> " << r;
    }
    void create_items() { expect_ok("CREATE TABLE items (id INT PRIMARY KEY, label STRING)"); }
    void create_fill() {
        expect_ok(std::string("CREATE PROCEDURE fill(IN n INT, IN tag STRING) ON items AS $$\n") +
                  kFillBody + "\n$$");
    }
    std::string proc_file(const std::string& table, const std::string& proc) const {
        return srv_.dir() + "/kyreldb_data/databases/d/procedures/admin.d." + table + "." + proc +
               ".sp";
    }
    // The one object of SHOW PROCEDURES' array naming proc, or "".
    std::string show_entry(const std::string& proc) {
        std::string r = sql("SHOW PROCEDURES");
        EXPECT_TRUE(ok(r)) << r;
        std::string list = json_get(r, "procedures");
        size_t at = list.find("{\"name\":\"" + proc + "\"");
        if (at == std::string::npos) return "";
        return list.substr(at, list.find('}', at) - at + 1);
    }

    TestServer srv_;
    std::unique_ptr<Client> c_;
};

TEST_F(Procedures, CallRunsLoopAndBranchesWithExactSteps) {
    create_items();
    std::string r =
        sql(std::string("CREATE PROCEDURE fill(IN n INT, IN tag STRING) ON items AS $$\n") +
            kFillBody + "\n$$");
    ASSERT_TRUE(ok(r)) << r;
    EXPECT_EQ(json_get(r, "message"), "procedure created");
    EXPECT_EQ(json_get(r, "procedure"), "fill");
    EXPECT_EQ(json_get(r, "params"), "n:INT,tag:STRING");
    EXPECT_EQ(json_get(r, "file_path"),
              "./kyreldb_data/databases/d/procedures/admin.d.items.fill.sp");
    EXPECT_TRUE(is_hex64(json_get(r, "sha256"))) << r;
    // The file holds exactly the body between the $$ markers, trimmed (the
    // trailing ";" included).
    const std::string body(kFillBody);
    EXPECT_EQ(slurp(proc_file("items", "fill")), body.substr(0, body.size() - 1));

    r = sql("CALL fill(3, 'x')");
    ASSERT_TRUE(ok(r)) << r;
    const std::string row2 = sql("SELECT * FROM items WHERE id = 2");
    ASSERT_TRUE(ok(row2)) << row2;
    const std::string ins = "{\"ok\":true,\"inserted\":1}";
    std::vector<std::string> steps = {
        R"({"kind":"DECLARE","variable":"i","ok":true})",
    };
    // One pass of the loop body; `second` is the pass where the IF holds.
    auto pass = [&](bool second, bool again) {
        steps.push_back(R"({"kind":"SET","variable":"i","ok":true})");
        steps.push_back(
            std::string(R"({"kind":"IF","condition":":i = 2","evaluated":true,"truth":)") +
            (second ? "true" : "false") + ",\"active\":" + (second ? "true" : "false") +
            ",\"ok\":true}");
        steps.push_back(second ? R"({"kind":"SQL","ok":true,"result":)" + ins + "}"
                               : R"({"kind":"SQL","ok":true,"skipped":true})");
        steps.push_back(std::string(R"({"kind":"ELSE","active":)") + (second ? "false" : "true") +
                        ",\"ok\":true}");
        steps.push_back(second ? R"({"kind":"SQL","ok":true,"skipped":true})"
                               : R"({"kind":"SQL","ok":true,"result":)" + ins + "}");
        steps.push_back(R"({"kind":"ENDIF","ok":true})");
        steps.push_back(std::string(R"({"kind":"ENDWHILE","evaluated":true,"truth":)") +
                        (again ? "true" : "false") + ",\"repeat\":" + (again ? "true" : "false") +
                        ",\"ok\":true}");
    };
    steps.push_back(
        R"({"kind":"WHILE","condition":":i < :n","evaluated":true,"truth":true,"active":true,"ok":true})");
    pass(false, true);
    pass(true, true);
    pass(false, false);
    steps.push_back(R"({"kind":"SQL","ok":true,"result":)" + row2 + "}");
    std::string expected = "{\"ok\":true,\"procedure\":\"fill\",\"results\":[";
    for (size_t i = 0; i < steps.size(); i++) {
        if (i) expected += ",";
        expected += "{\"index\":" + std::to_string(i + 1) + "," + steps[i].substr(1);
    }
    expected += "],\"statements_executed\":" + std::to_string(steps.size()) +
                ",\"sql_statements_executed\":4,\"loop_iterations\":3,\"last_result\":" + row2 +
                "}";
    EXPECT_EQ(r, expected);

    // The rows stand, with the labels the branches chose.
    r = sql("SELECT * FROM items");
    for (const char* want : {"\"x\"", "\"two\""}) EXPECT_NE(r.find(want), std::string::npos) << r;
    EXPECT_NE(row2.find("\"two\""), std::string::npos) << row2;

    // Binding failures name the parameter or the counts; the statement index
    // wraps a failing statement (row 1 exists now).
    EXPECT_EQ(error_of(sql("CALL fill(3)")), "CALL argument count mismatch: expected 2, got 1");
    EXPECT_EQ(error_of(sql("CALL fill(1.5, 'x')")), "bad INT argument for parameter 'n'");
    EXPECT_EQ(error_of(sql("CALL fill(1, x)")), "STRING procedure arguments must be quoted");
    EXPECT_NE(error_of(sql("CALL fill(1, 'x')")).find("procedure statement 7 failed: "),
              std::string::npos);
    EXPECT_EQ(error_of(sql("CALL nothing")), "procedure not found");
}

TEST_F(Procedures, SingleSelectAnswersLikeTheSelectAndJsonActionsWork) {
    create_items();
    expect_ok("INSERT INTO items VALUES (7, 'seven')");
    // JSON forms of create, call and drop.
    std::string r = c_->ask(R"({"action":"create_procedure","procedure":"Get","table":"items",)"
                            R"("body":"SELECT * FROM items WHERE id = :k","params":"k:integer"})");
    ASSERT_TRUE(ok(r)) << r;
    EXPECT_EQ(json_get(r, "params"), "k:INT");
    r = c_->ask(R"({"action":"call_procedure","procedure":"get","args":"7"})");
    EXPECT_EQ(r, sql("SELECT * FROM items WHERE id = 7"));
    EXPECT_EQ(error_of(c_->ask(R"({"action":"call_procedure","procedure":"get"})")),
              "CALL argument count mismatch: expected 1, got 0");
    // The same name on another table of the database is refused.
    expect_ok("CREATE TABLE other (id INT PRIMARY KEY)");
    EXPECT_EQ(error_of(sql("CREATE PROCEDURE get ON other AS $$ SELECT * FROM other $$")),
              "procedure already exists in this database");
    EXPECT_EQ(error_of(sql("CREATE PROCEDURE q ON missing AS $$ SELECT * FROM items $$")),
              "procedure table scope not found");
    EXPECT_EQ(error_of(c_->ask(R"({"action":"drop_procedure","procedure":"get","table":"other"})")),
              "procedure exists on a different table");
    r = c_->ask(R"({"action":"drop_procedure","procedure":"get","table":"items"})");
    EXPECT_EQ(r, R"({"ok":true,"message":"procedure dropped","database":"d","procedure":"get"})");
    EXPECT_EQ(error_of(c_->ask(R"({"action":"call_procedure","procedure":"get","args":"7"})")),
              "procedure not found");
    for (const char* bad : {R"({"action":"call_procedure"})", R"({"action":"drop_procedure"})",
                            R"({"action":"create_procedure","procedure":"p"})"})
        EXPECT_EQ(error_of(c_->ask(bad)), "missing sql") << bad;
}

// A STRING argument as the argument rules read it: single-quoted, with the
// backslash and the quote escaped; every other byte as it is.
std::string string_arg(const std::string& text) {
    std::string out = "'";
    for (char ch : text) {
        if (ch == '\\' || ch == '\'') out += '\\';
        out += ch;
    }
    return out + "'";
}

// The "body" of the one row of a SELECT reply.
std::string body_of(const std::string& reply) {
    std::string rows = json_get(reply, "rows");
    if (rows.size() < 2) return "<no rows: " + reply + ">";
    return json_get(rows.substr(1, rows.size() - 2), "body");
}

// Every byte of a STRING argument reaches the table as given: control
// bytes, tabs and line ends, quotes, backslashes and multi-byte characters,
// through the JSON argument list and through CALL in SQL, by INSERT and by
// UPDATE, and the rows read back the same after a restart.
TEST_F(Procedures, StringArgumentsReachTheTableByteForByte) {
    expect_ok("CREATE TABLE notes (id INT PRIMARY KEY, body STRING)");
    expect_ok(
        "CREATE PROCEDURE put(IN k INT, IN v STRING) ON notes AS $$ "
        "INSERT INTO notes VALUES (:k, :v) $$");
    expect_ok(
        "CREATE PROCEDURE rewrite(IN k INT, IN v STRING) ON notes AS $$ "
        "UPDATE notes SET body = :v WHERE id = :k $$");
    const std::string text =
        "a\tb\nc\rd\x01"
        "e\x1f \"q\" \\n\\ 'x' \xc3\xa9\x7f";
    const std::string text2 = "\r\n\t\x02 end\\t";
    std::string r = c_->ask(R"({"action":"call_procedure","procedure":"put","args":)" +
                            jstr("1, " + string_arg(text)) + "}");
    ASSERT_TRUE(ok(r)) << r;
    r = sql("CALL put(2, " + string_arg(text) + ")");
    ASSERT_TRUE(ok(r)) << r;
    // Escapes of the argument rules: \t, \n and \r written as two characters.
    r = sql("CALL put(3, 'x\\ty\\nz\\r')");
    ASSERT_TRUE(ok(r)) << r;
    expect_ok("INSERT INTO notes VALUES (4, 'old')");
    r = c_->ask(R"({"action":"call_procedure","procedure":"rewrite","args":)" +
                jstr("4, " + string_arg(text2)) + "}");
    ASSERT_TRUE(ok(r)) << r;
    auto check = [&](const char* when) {
        EXPECT_EQ(body_of(sql("SELECT body FROM notes WHERE id = 1")), text) << when;
        EXPECT_EQ(body_of(sql("SELECT body FROM notes WHERE id = 2")), text) << when;
        EXPECT_EQ(body_of(sql("SELECT body FROM notes WHERE id = 3")), "x\ty\nz\r") << when;
        EXPECT_EQ(body_of(sql("SELECT body FROM notes WHERE id = 4")), text2) << when;
    };
    check("after the calls");
    ASSERT_TRUE(srv_.restart()) << srv_.last_error();
    ASSERT_NO_FATAL_FAILURE(reconnect());
    check("after a restart");
}

// CALL arguments beyond the limits answer the argument rules' messages,
// in the JSON form and in SQL.
TEST_F(Procedures, CallArgumentLimitsAnswerTheirMessages) {
    expect_ok("CREATE TABLE notes (id INT PRIMARY KEY, body STRING)");
    expect_ok(
        "CREATE PROCEDURE put(IN k INT, IN v STRING) ON notes AS $$ "
        "INSERT INTO notes VALUES (:k, :v) $$");
    const std::string long_arg = "'" + std::string(2100, 'x') + "'";
    const std::string huge_arg = "'" + std::string(5000, 'x') + "'";
    auto json_call = [&](const std::string& args) {
        return error_of(
            c_->ask(R"({"action":"call_procedure","procedure":"put","args":)" + jstr(args) + "}"));
    };
    EXPECT_EQ(json_call("1, " + huge_arg), "CALL argument list too long");
    EXPECT_EQ(json_call("1, " + long_arg), "CALL argument too long");
    EXPECT_EQ(error_of(c_->ask(R"({"action":"call_procedure","procedure":"put","arguments":)" +
                               jstr("1, " + huge_arg) + "}")),
              "CALL argument list too long");
    EXPECT_EQ(error_of(sql("CALL put(1, " + long_arg + ")")), "CALL argument too long");
    EXPECT_EQ(error_of(sql("CALL put(1, " + huge_arg + ")")), "CALL statement too long");
    // Within the limits the same call is made.
    const std::string fits = std::string(2040, 'y');
    ASSERT_TRUE(ok(sql("CALL put(1, '" + fits + "')")));
    EXPECT_EQ(body_of(sql("SELECT body FROM notes WHERE id = 1")), fits);
}

TEST_F(Procedures, ShowListsAndDropRemovesRowAndFile) {
    EXPECT_EQ(sql("SHOW PROCEDURES"), R"({"ok":true,"database":"d","procedures":[]})");
    create_items();
    expect_ok("CREATE TABLE other (id INT PRIMARY KEY)");
    create_fill();
    expect_ok("CREATE PROCEDURE peek ON other AS $$ SELECT * FROM other $$");

    std::string e = show_entry("fill");
    ASSERT_FALSE(e.empty()) << sql("SHOW PROCEDURES");
    EXPECT_EQ(json_get(e, "table"), "items");
    EXPECT_EQ(json_get(e, "owner"), "admin");
    EXPECT_EQ(json_get(e, "params"), "n:INT,tag:STRING");
    EXPECT_EQ(json_get(e, "status"), "OK");
    EXPECT_EQ(json_get(e, "valid"), "true");
    EXPECT_EQ(json_get(e, "enabled"), "true");
    EXPECT_TRUE(is_hex64(json_get(e, "sha256"))) << e;
    EXPECT_EQ(json_get(e, "created_at"), json_get(e, "updated_at"));

    // The ON filter, in SQL and as the action's table.
    std::string r = sql("SHOW PROCEDURES ON other");
    EXPECT_NE(r.find("\"name\":\"peek\""), std::string::npos) << r;
    EXPECT_EQ(r.find("\"name\":\"fill\""), std::string::npos) << r;
    r = c_->ask(R"({"action":"show_procedures","table":"items"})");
    EXPECT_NE(r.find("\"name\":\"fill\""), std::string::npos) << r;
    EXPECT_EQ(r.find("\"name\":\"peek\""), std::string::npos) << r;
    EXPECT_EQ(error_of(sql("SHOW PROCEDURES FOR x")),
              "SHOW PROCEDURES syntax: SHOW PROCEDURES [ON table]");

    EXPECT_EQ(error_of(sql("DROP PROCEDURE fill ON other")),
              "procedure exists on a different table");
    r = sql("DROP PROCEDURE fill ON items");
    EXPECT_EQ(r, R"({"ok":true,"message":"procedure dropped","database":"d","procedure":"fill"})");
    EXPECT_FALSE(exists(proc_file("items", "fill")));
    EXPECT_TRUE(show_entry("fill").empty());
    EXPECT_FALSE(show_entry("peek").empty());
    EXPECT_EQ(error_of(sql("CALL fill(1, 'a')")), "procedure not found");
    EXPECT_EQ(error_of(sql("DROP PROCEDURE fill")), "procedure not found");
    // The name is free again.
    create_fill();
    EXPECT_TRUE(ok(sql("CALL fill(1, 'a')")));
}

TEST_F(Procedures, CallerRightsDecideEachStatement) {
    create_items();
    create_fill();
    expect_ok("CREATE PROCEDURE peek ON items AS $$ SELECT * FROM items $$");
    expect_ok("INSERT INTO items VALUES (10, 'ten')");
    for (const char* s : {"CREATE USER rita IDENTIFIED BY 'rita pass'", "GRANT READ ON d TO rita",
                          "CREATE USER walt IDENTIFIED BY 'walt pass'", "GRANT WRITE ON d TO walt"})
        expect_ok(s);

    Client reader;
    ASSERT_TRUE(reader.connect(srv_.port()));
    ASSERT_NO_FATAL_FAILURE(reader.login_ready("rita", "rita pass"));
    ASSERT_TRUE(ok(reader.sql("USE d")));
    // The write statement is refused; the DECLARE and WHILE before it ran.
    std::string r = reader.sql("CALL fill(1, 'r')");
    EXPECT_EQ(error_of(r),
              "procedure statement 7 failed: permission denied: procedure write statement "
              "requires WRITE or FULL on database d")
        << r;
    EXPECT_EQ(reader.sql("CALL peek"), reader.sql("SELECT * FROM items"));
    EXPECT_EQ(error_of(reader.sql("CREATE PROCEDURE mine ON items AS $$ SELECT * FROM items $$")),
              "permission denied");
    EXPECT_EQ(error_of(reader.sql("DROP PROCEDURE peek")), "permission denied");
    EXPECT_TRUE(ok(reader.sql("SHOW PROCEDURES")));

    Client writer;
    ASSERT_TRUE(writer.connect(srv_.port()));
    ASSERT_NO_FATAL_FAILURE(writer.login_ready("walt", "walt pass"));
    ASSERT_TRUE(ok(writer.sql("USE d")));
    EXPECT_EQ(error_of(writer.sql("CALL peek")),
              "procedure statement 1 failed: permission denied: procedure SELECT requires READ or "
              "FULL on database d");
    // fill ends with a SELECT: its insert stands, the SELECT is refused. The
    // insert of row 1 succeeding shows the reader's refused CALL wrote nothing.
    EXPECT_EQ(error_of(writer.sql("CALL fill(1, 'w')")),
              "procedure statement 10 failed: permission denied: procedure SELECT requires READ "
              "or FULL on database d");
    r = sql("SELECT * FROM items WHERE id = 1");
    EXPECT_NE(r.find("\"w\""), std::string::npos) << r;
}

TEST_F(Procedures, ProcedureSurvivesCrashAndRestart) {
    create_items();
    create_fill();
    srv_.kill9();
    ASSERT_TRUE(srv_.start()) << srv_.last_error();
    ASSERT_NO_FATAL_FAILURE(reconnect());
    std::string e = show_entry("fill");
    EXPECT_EQ(json_get(e, "status"), "OK") << e;
    std::string r = sql("CALL fill(2, 'after')");
    ASSERT_TRUE(ok(r)) << r;
    EXPECT_EQ(json_get(r, "loop_iterations"), "2");
    EXPECT_EQ(json_get(r, "sql_statements_executed"), "3");

    // An ALTER TABLE checkpoints every table, the catalog's included: the
    // procedure then comes back from the checkpoint rather than the log.
    expect_ok("CREATE TABLE other (id INT PRIMARY KEY)");
    expect_ok("ALTER TABLE other ADD COLUMN note varchar(20) DEFAULT 'none'");
    srv_.kill9();
    ASSERT_TRUE(srv_.start()) << srv_.last_error();
    ASSERT_NO_FATAL_FAILURE(reconnect());
    EXPECT_EQ(json_get(show_entry("fill"), "status"), "OK");
    r = sql("CALL fill(3, 'again')");
    EXPECT_NE(error_of(r).find("procedure statement 7 failed: "), std::string::npos) << r;

    // A clean restart keeps it too, and a drop after it stays dropped.
    ASSERT_TRUE(srv_.restart()) << srv_.last_error();
    ASSERT_NO_FATAL_FAILURE(reconnect());
    EXPECT_EQ(json_get(show_entry("fill"), "status"), "OK");
    expect_ok("DROP PROCEDURE fill");
    srv_.kill9();
    ASSERT_TRUE(srv_.start()) << srv_.last_error();
    ASSERT_NO_FATAL_FAILURE(reconnect());
    EXPECT_TRUE(show_entry("fill").empty());
    EXPECT_EQ(error_of(sql("CALL fill(1, 'a')")), "procedure not found");
}

TEST_F(Procedures, FileChangedOnDiskIsRefused) {
    create_items();
    struct Case {
        const char* label;
        void (*tamper)(const std::string& path);
        const char* status;
        const char* call_error;
    };
    const Case cases[] = {
        {"edited",
         [](const std::string& p) {
             std::ofstream(p, std::ios::binary | std::ios::trunc)
                 << "DELETE FROM items WHERE id = 1";
         },
         "HASH_MISMATCH", "procedure file hash mismatch"},
        {"symlink",
         [](const std::string& p) {
             std::string copy = p + ".copy";
             std::ofstream(copy, std::ios::binary) << std::ifstream(p, std::ios::binary).rdbuf();
             ASSERT_EQ(unlink(p.c_str()), 0);
             ASSERT_EQ(symlink(copy.c_str(), p.c_str()), 0);
         },
         "procedure file must not be a symlink", "procedure file must not be a symlink"},
        {"removed", [](const std::string& p) { ASSERT_EQ(unlink(p.c_str()), 0); },
         "procedure file is missing", "cannot open procedure file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string name = std::string("p_") + c.label;
        expect_ok("CREATE PROCEDURE " + name + " ON items AS $$ SELECT * FROM items $$");
        ASSERT_TRUE(ok(sql("CALL " + name)));
        c.tamper(proc_file("items", name));
        std::string e = show_entry(name);
        EXPECT_EQ(json_get(e, "status"), c.status) << e;
        EXPECT_EQ(json_get(e, "valid"), "false") << e;
        EXPECT_EQ(error_of(sql("CALL " + name)), c.call_error);
        // A refused procedure can still be dropped, and its name reused.
        expect_ok("DROP PROCEDURE " + name);
        EXPECT_TRUE(show_entry(name).empty());
    }
}

}  // namespace
