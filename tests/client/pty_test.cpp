// The interactive client on a pseudo-terminal against a fake frame server:
// passwords never echoed, the forced password change, statements over several
// lines and $$ bodies, the backslash commands, and the terminal put back when a
// signal ends the password prompt.
#include "client_harness.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

namespace {

const char kMain[] = "kyreldb:default> ";
const char kMore[] = "        ...> ";

std::vector<std::string> args_for(const FakeServer& srv, bool with_user = true) {
    std::vector<std::string> a{"--port", std::to_string(srv.port())};
    if (with_user) {
        a.push_back("--user");
        a.push_back("admin");
    }
    return a;
}

// Logs in with `password` at the hidden prompt and waits for the main prompt.
void log_in(PtySession& s, const std::string& password) {
    ASSERT_TRUE(s.expect("Password: ")) << s.transcript();
    s.send(password + "\n");
    ASSERT_TRUE(s.expect("Connected. Type \\help for help. End SQL with semicolon or use \\g.\n"))
        << s.transcript();
    ASSERT_TRUE(s.expect(kMain)) << s.transcript();
}

std::vector<std::string> sql_sent(FakeServer& srv) {
    std::vector<std::string> out;
    for (auto& r : srv.requests_with_action("sql")) out.push_back(json_member(r, "sql"));
    return out;
}

TEST(ClientPty, LoginHidesPasswordAndCollectsStatements) {
    FakeServer srv;
    PtySession s(args_for(srv, false));
    ASSERT_TRUE(s.started());
    ASSERT_TRUE(s.expect("Username: ")) << s.transcript();
    s.send("admin\n");
    log_in(s, "s3cret-pw");
    EXPECT_EQ(s.transcript().find("s3cret-pw"), std::string::npos) << s.transcript();
    EXPECT_TRUE(s.echo_enabled()) << "echo is back on after the prompt";
    auto logins = srv.requests_with_action("login");
    ASSERT_EQ(logins.size(), 1u);
    EXPECT_EQ(json_member(logins[0], "username"), "admin");
    EXPECT_EQ(json_member(logins[0], "password"), "s3cret-pw");

    // Each row: lines typed (each answered by the continuation prompt except
    // the last) and the one text sent for them.
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        std::string sent;
    } cases[] = {
        {"statement over three lines",
         {"SELECT a,", "  b FROM t", "WHERE a = 1;"},
         "SELECT a,\n\n  b FROM t\n\nWHERE a = 1;\n\n"},
        {"$$ body keeps its semicolons and blank lines",
         {"CREATE PROCEDURE p() AS $$", "SET x = 1;", "", "$$;"},
         "CREATE PROCEDURE p() AS $$\n\nSET x = 1;\n\n$$;\n\n"},
        {"blank line sends without a semicolon", {"SHOW TABLES", ""}, "SHOW TABLES\n\n"},
        {"backslash line inside a statement is SQL",
         {"SELECT 1", "\\g", ""},
         "SELECT 1\n\n\\g\n\n"},
    };
    size_t before = 0;
    for (const auto& c : cases) {
        for (size_t i = 0; i < c.lines.size(); i++) {
            s.send(c.lines[i] + "\n");
            bool last = i + 1 == c.lines.size();
            ASSERT_TRUE(s.expect(last ? kMain : kMore)) << c.name << "\n" << s.transcript();
        }
        auto sent = sql_sent(srv);
        ASSERT_EQ(sent.size(), before + 1) << c.name;
        EXPECT_EQ(sent.back(), c.sent) << c.name;
        before = sent.size();
    }
    EXPECT_NE(s.transcript().find("\"message\": \"sql ok\""), std::string::npos)
        << "replies pretty-printed";

    s.send("USE sales;\n");
    ASSERT_TRUE(s.expect("kyreldb:sales> ")) << s.transcript();
    s.send("\\q\n");
    EXPECT_EQ(s.wait_exit(), 0);
}

TEST(ClientPty, BackslashCommands) {
    FakeServer srv;
    PtySession s(args_for(srv));
    log_in(s, "pw");
    struct Case {
        std::string command;
        std::string output;  // expected before the next prompt
        std::string prompt;
    } cases[] = {
        {"\\help", "KyrelDB client commands:\n  \\help               Show this help.\n", kMain},
        {"\\?", "CREATE PROCEDURE bodies using AS $$ ... $$ are kept as one command.\n\n", kMain},
        {"\\clear", "SQL buffer cleared.\n", kMain},
        {"\\g", "SQL buffer is empty.\n", kMain},
        {"\\ping", "{\n  \"ok\": true,\n  \"message\": \"pong\"\n}\n", kMain},
        {"\\frob", "Unknown client command: \\frob. Use \\help.\n", kMain},
        {"\\use " + std::string(201, 'd'), "database name too long\n", kMain},
        {"  \\USE   sales  ", "\"message\": \"sql ok\"", "kyreldb:sales> "},
    };
    for (const auto& c : cases) {
        s.send(c.command + "\n");
        ASSERT_TRUE(s.expect(c.output)) << c.command << "\n" << s.pending();
        ASSERT_TRUE(s.expect(c.prompt)) << c.command << "\n" << s.pending();
    }
    ASSERT_EQ(srv.requests_with_action("ping").size(), 1u);
    EXPECT_EQ(sql_sent(srv), std::vector<std::string>{"USE sales;"});
    s.send("\\quit\n");
    EXPECT_EQ(s.wait_exit(), 0);

    for (const char* quit : {"\\q", "\\exit"}) {
        PtySession q(args_for(srv));
        log_in(q, "pw");
        q.send(std::string(quit) + "\n");
        EXPECT_EQ(q.wait_exit(), 0) << quit;
    }
    PtySession eof(args_for(srv));
    log_in(eof, "pw");
    eof.send("SELECT 1\n");
    ASSERT_TRUE(eof.expect(kMore));
    eof.send("\x04");  // end of input drops the unfinished statement
    EXPECT_EQ(eof.wait_exit(), 0);
    EXPECT_EQ(sql_sent(srv).size(), 1u);
}

TEST(ClientPty, ForcedPasswordChangeAndPasswordCommand) {
    FakeServer srv([](const std::string& req) -> std::string {
        if (json_member(req, "action") == "login")
            return R"({"ok":true,"must_change_password":true})";
        return FakeServer::default_reply(req);
    });
    PtySession s(args_for(srv));
    ASSERT_TRUE(s.expect("Password: "));
    s.send("initial\n");
    ASSERT_TRUE(s.expect("KyrelDB requires this user to change password before continuing.\n"))
        << s.transcript();
    ASSERT_TRUE(s.expect("New password: ")) << s.transcript();
    s.send("n3w-secret\n");
    ASSERT_TRUE(s.expect("Confirm new password: ")) << s.transcript();
    s.send("n3w-secret\n");
    ASSERT_TRUE(s.expect(kMain)) << s.transcript();
    auto changes = srv.requests_with_action("change_password");
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(json_member(changes[0], "new_password"), "n3w-secret");

    // \password: a mismatch is refused without a request and the session goes on.
    s.send("\\password\n");
    ASSERT_TRUE(s.expect("New password: "));
    s.send("first-one\n");
    ASSERT_TRUE(s.expect("Confirm new password: "));
    s.send("other-one\n");
    ASSERT_TRUE(s.expect("Passwords do not match.\n")) << s.pending();
    ASSERT_TRUE(s.expect(kMain));
    EXPECT_EQ(srv.requests_with_action("change_password").size(), 1u);

    for (const char* secret : {"initial", "n3w-secret", "first-one", "other-one"})
        EXPECT_EQ(s.transcript().find(secret), std::string::npos) << secret << " echoed";
    s.send("\\q\n");
    EXPECT_EQ(s.wait_exit(), 0);
}

TEST(ClientPty, FailedForcedChangeExitsOne) {
    struct Case {
        const char* name;
        const char* first;
        const char* second;
        const char* message;
        bool server_refuses;
    } cases[] = {
        {"entries differ", "aaa", "bbb", "Passwords do not match.\n", false},
        {"empty entry", "", "", "Password cannot be empty.\n", false},
        {"server refuses", "weak", "weak", "\"error\": \"too weak\"", true},
    };
    for (const auto& c : cases) {
        bool refuse = c.server_refuses;
        FakeServer srv([refuse](const std::string& req) -> std::string {
            std::string action = json_member(req, "action");
            if (action == "login") return R"({"ok":true,"must_change_password":true})";
            if (action == "change_password" && refuse) return R"({"ok":false,"error":"too weak"})";
            return FakeServer::default_reply(req);
        });
        PtySession s(args_for(srv));
        ASSERT_TRUE(s.expect("Password: ")) << c.name;
        s.send("initial\n");
        ASSERT_TRUE(s.expect("New password: ")) << c.name;
        s.send(std::string(c.first) + "\n");
        ASSERT_TRUE(s.expect("Confirm new password: ")) << c.name;
        s.send(std::string(c.second) + "\n");
        EXPECT_TRUE(s.expect(c.message)) << c.name << "\n" << s.transcript();
        EXPECT_EQ(s.wait_exit(), 1) << c.name;
        EXPECT_EQ(s.transcript().find(kMain), std::string::npos) << c.name;
    }
}

// A signal that ends the client at the hidden prompt leaves the terminal with
// echo on again, and the signal still ends the process.
TEST(ClientPty, SignalAtPasswordPromptRestoresEcho) {
    struct Case {
        const char* name;
        bool keyboard;  // Ctrl-C typed, else a signal sent
        int sig;
    } cases[] = {
        {"Ctrl-C", true, SIGINT},
        {"SIGTERM", false, SIGTERM},
        {"SIGHUP", false, SIGHUP},
    };
    for (const auto& c : cases) {
        FakeServer srv;
        PtySession s(args_for(srv));
        ASSERT_TRUE(s.expect("Password: ")) << c.name;
        EXPECT_FALSE(s.echo_enabled()) << c.name << ": echo off while prompting";
        if (c.keyboard)
            s.send("\x03");
        else
            s.signal(c.sig);
        EXPECT_EQ(s.wait_exit(), -c.sig) << c.name;
        EXPECT_TRUE(s.echo_enabled()) << c.name;
        EXPECT_TRUE(srv.requests().empty()) << c.name;
    }
}

}  // namespace
