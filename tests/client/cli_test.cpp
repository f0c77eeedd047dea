// kyreldb_client run with piped standard streams against a fake frame server:
// options and exit statuses, --execute and --json-only output, whole-line
// input, password limits and refused oversized replies.
#include "client_harness.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

bool contains(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

// A loopback port with nobody listening on it.
int unused_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

std::vector<std::string> login_args(const FakeServer& srv, std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--port", std::to_string(srv.port()), "--user", "admin",
                                  "--no-password-prompt"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

const std::vector<std::string> kPasswordEnv{"KYRELDB_PASSWORD=pw"};

TEST(ClientOptions, CommandLineErrorsAndHelp) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int status;
        const char* err;
    } cases[] = {
        {"port zero", {"--port", "0"}, 2, "Invalid port.\n"},
        {"port too high", {"--port", "65536"}, 2, "Invalid port.\n"},
        {"port with trailing junk", {"--port", "91x"}, 2, "Invalid port.\n"},
        {"unknown option", {"--frobnicate"}, 2, "Unknown or incomplete option: --frobnicate\n"},
        {"option missing its value", {"--port"}, 2, "Unknown or incomplete option: --port\n"},
        {"error before help wins", {"-x", "--help"}, 2, "Unknown or incomplete option: -x\n"},
        {"help", {"--help"}, 0, "KyrelDB Simple Client 0.1.0\n\nUsage:\n"},
        {"short help",
         {"-h", "--frobnicate"},
         0,
         "  KYRELDB_PASSWORD   Password source when --no-password-prompt is used.\n"},
    };
    for (const auto& c : cases) {
        RunResult r = run_client(c.args, "");
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_TRUE(contains(r.err, c.err)) << c.name << ": " << r.err;
        EXPECT_EQ(r.out, "") << c.name;
    }
    RunResult bad = run_client({"--bogus"}, "");
    EXPECT_TRUE(contains(bad.err, "Options:\n  --host HOST")) << "usage follows an option error";
}

TEST(ClientOptions, ConnectionFailuresExitOne) {
    int port = unused_port();
    RunResult r = run_client({"--port", std::to_string(port)}, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Could not connect to KyrelDB at 127.0.0.1:" + std::to_string(port) + "\n");

    r = run_client({"--host", "no-such-host.invalid"}, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "DNS/addr error for no-such-host.invalid:9191: ")) << r.err;
    EXPECT_TRUE(contains(r.err, "Could not connect to KyrelDB at no-such-host.invalid:9191\n"))
        << r.err;
}

TEST(ClientExecute, JsonOnlyPrintsTheRawReply) {
    FakeServer srv;
    RunResult r = run_client(login_args(srv, {"--json-only", "--execute", "SELECT * FROM t;"}), "",
                             kPasswordEnv);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "KyrelDB Simple Client 0.1.0\nConnected to 127.0.0.1:")) << r.out;
    EXPECT_TRUE(contains(r.out, "\n{\"ok\":true,\"message\":\"sql ok\"}\n")) << r.out;
    EXPECT_FALSE(contains(r.out, "Connected. Type")) << "no interactive loop";

    auto logins = srv.requests_with_action("login");
    ASSERT_EQ(logins.size(), 1u);
    EXPECT_EQ(json_member(logins[0], "username"), "admin");
    EXPECT_EQ(json_member(logins[0], "password"), "pw");
    auto sql = srv.requests_with_action("sql");
    ASSERT_EQ(sql.size(), 1u);
    EXPECT_EQ(json_member(sql[0], "sql"), "SELECT * FROM t;");
}

TEST(ClientExecute, PrettyPrintsByDefaultAndSendsLongStatementsWhole) {
    FakeServer srv([](const std::string& req) -> std::string {
        if (json_member(req, "action") == "login") return FakeServer::default_reply(req);
        return R"({"ok":true,"rows":[{"id":1},{"id":2}]})";
    });
    std::string sql = "SELECT * FROM t WHERE name = '" + std::string(9000, 'n') + "';";
    RunResult r = run_client(login_args(srv, {"--execute", sql}), "", kPasswordEnv);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out,
                         "{\n  \"ok\": true,\n  \"rows\": [\n    {\n      \"id\": 1\n    },\n"
                         "    {\n      \"id\": 2\n    }\n  ]\n}\n"))
        << r.out;
    auto sent = srv.requests_with_action("sql");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(json_member(sent[0], "sql"), sql);
}

TEST(ClientExecute, FailuresExitOneAndStopTheRun) {
    struct Case {
        const char* name;
        const char* failing;  // action (or "USE" for the database switch) answered ok:false
        std::vector<std::string> extra;
        std::vector<std::string> env;
        size_t requests;  // requests the server should have seen
        const char* err;
    } cases[] = {
        {"statement refused", "sql", {"--execute", "DROP TABLE t;"}, kPasswordEnv, 2, ""},
        {"login refused", "login", {"--execute", "SELECT 1;"}, kPasswordEnv, 1, ""},
        {"database switch refused",
         "USE",
         {"--database", "nope", "--execute", "SELECT 1;"},
         kPasswordEnv,
         2,
         ""},
        {"password variable unset",
         "",
         {"--execute", "SELECT 1;"},
         {},
         0,
         "KYRELDB_PASSWORD is not set.\n"},
        {"password variable too long",
         "",
         {"--execute", "SELECT 1;"},
         {"KYRELDB_PASSWORD=" + std::string(256, 'p')},
         0,
         "KYRELDB_PASSWORD is longer than 255 characters.\n"},
    };
    for (const auto& c : cases) {
        std::string failing = c.failing;
        FakeServer srv([failing](const std::string& req) -> std::string {
            std::string action = json_member(req, "action");
            bool is_use = json_member(req, "sql").rfind("USE ", 0) == 0;
            if (action == failing || (failing == "USE" && is_use))
                return R"({"ok":false,"error":"refused"})";
            return FakeServer::default_reply(req);
        });
        RunResult r = run_client(login_args(srv, c.extra), "", c.env);
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_EQ(srv.requests().size(), c.requests) << c.name;
        EXPECT_TRUE(contains(r.err, c.err)) << c.name << ": " << r.err;
        if (c.requests > 0) {
            EXPECT_TRUE(contains(r.out, "\"error\": \"refused\"")) << c.name << ": reply printed";
        }
    }
}

// The status of a reply is its own top-level boolean "ok", in both output
// modes: a nested "ok", a truncated or non-object reply, or one without a
// boolean "ok" is a failed statement.
TEST(ClientReplies, StatusIsTheReplyObjectsOwnOk) {
    struct Case {
        const char* reply;
        int status;
        bool invalid;  // named on stderr as not a JSON object with a boolean "ok"
    } cases[] = {
        {R"({"rows":[{"ok":true}],"ok":false,"error":"boom"})", 1, false},
        {R"({"rows":[{"ok":false}],"ok":true})", 0, false},
        {R"({"ok":tru)", 1, true},
        {R"({"ok":"true"})", 1, true},
        {R"({"message":"no status at all"})", 1, true},
        {R"({"ok":true}{"ok":true})", 1, true},
        {R"([{"ok":true}])", 1, true},
    };
    for (const auto& c : cases) {
        for (bool json_only : {false, true}) {
            std::string reply = c.reply;
            FakeServer srv([reply](const std::string& req) -> std::string {
                if (json_member(req, "action") == "login") return FakeServer::default_reply(req);
                return reply;
            });
            std::vector<std::string> extra{"--execute", "SELECT 1;"};
            if (json_only) extra.push_back("--json-only");
            RunResult r = run_client(login_args(srv, extra), "", kPasswordEnv);
            std::string label = std::string(c.reply) + (json_only ? " (json-only)" : "");
            EXPECT_EQ(r.status, c.status) << label << ": " << r.err;
            EXPECT_EQ(contains(r.err, "invalid reply: not a JSON object with a boolean \"ok\"\n"),
                      c.invalid)
                << label << ": " << r.err;
        }
    }
}

// Login reads only the reply's own members: a nested "ok" logs nobody in, and
// a nested "must_change_password" forces no change.
TEST(ClientReplies, LoginReadsTopLevelMembers) {
    FakeServer refused([](const std::string& req) -> std::string {
        if (json_member(req, "action") == "login")
            return R"({"user":{"ok":true},"ok":false,"error":"invalid credentials"})";
        return FakeServer::default_reply(req);
    });
    RunResult r = run_client(login_args(refused, {"--execute", "SELECT 1;"}), "", kPasswordEnv);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(refused.requests_with_action("sql").empty());

    FakeServer nested([](const std::string& req) -> std::string {
        if (json_member(req, "action") == "login")
            return R"({"ok":true,"info":{"must_change_password":true,"current_db":"x"}})";
        return FakeServer::default_reply(req);
    });
    r = run_client(login_args(nested), "SELECT 1;\n", kPasswordEnv);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(contains(r.out, "requires this user to change password")) << r.out;
    EXPECT_TRUE(contains(r.out, "kyreldb:default> ")) << r.out;
    EXPECT_EQ(nested.requests_with_action("sql").size(), 1u);
}

// A reply nested 100,000 deep, the login reply included, prints promptly
// (indented all the way down it would be some 10 GB of blanks).
TEST(ClientReplies, DeeplyNestedRepliesPrintPromptly) {
    std::string deep = std::string(100000, '[') + std::string(100000, ']');
    FakeServer srv(
        [deep](const std::string&) -> std::string { return R"({"ok":true,"rows":)" + deep + "}"; });
    RunResult r = run_client(login_args(srv, {"--execute", "SELECT 1;"}), "", kPasswordEnv);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(srv.requests().size(), 2u);
    EXPECT_LT(r.out.size(), 2 * (deep.size() + 1000));
}

// A raw NUL byte would cut the printed reply short, so such a reply is
// refused as invalid and none of it is printed, in either output mode.
TEST(ClientReplies, ReplyWithNulByteIsRefused) {
    for (bool json_only : {false, true}) {
        FakeServer srv([](const std::string& req) -> std::string {
            if (json_member(req, "action") == "login") return FakeServer::default_reply(req);
            return std::string(R"({"ok":true,"message":"shown)") + '\0' + R"(hidden"})";
        });
        std::vector<std::string> extra{"--execute", "SELECT 1;"};
        if (json_only) extra.push_back("--json-only");
        RunResult r = run_client(login_args(srv, extra), "", kPasswordEnv);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_TRUE(contains(r.err, "invalid reply: it holds a NUL byte\nSQL request failed\n"))
            << r.err;
        EXPECT_FALSE(contains(r.out, "shown")) << r.out;
    }
}

TEST(ClientExecute, DatabaseOptionSwitchesFirst) {
    FakeServer srv;
    RunResult r = run_client(login_args(srv, {"--database", "sales", "--execute", "SHOW TABLES;"}),
                             "", kPasswordEnv);
    EXPECT_EQ(r.status, 0) << r.err;
    auto sql = srv.requests_with_action("sql");
    ASSERT_EQ(sql.size(), 2u);
    EXPECT_EQ(json_member(sql[0], "sql"), "USE sales;");
    EXPECT_EQ(json_member(sql[1], "sql"), "SHOW TABLES;");
}

TEST(ClientPipedInput, PromptsForUserAndPasswordAndTakesRouterDatabase) {
    FakeServer srv([](const std::string& req) -> std::string {
        if (json_member(req, "action") == "login") return R"({"ok":true,"current_db":"sa\"les"})";
        return FakeServer::default_reply(req);
    });
    RunResult r =
        run_client({"--port", std::to_string(srv.port())}, "  admin  \n secret \nSELECT 1;\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Username: Password: ")) << r.out;
    EXPECT_TRUE(contains(r.out, "kyreldb:sa\"les> ")) << r.out;
    auto logins = srv.requests_with_action("login");
    ASSERT_EQ(logins.size(), 1u);
    EXPECT_EQ(json_member(logins[0], "username"), "admin");
    EXPECT_EQ(json_member(logins[0], "password"), "secret");
    ASSERT_EQ(srv.requests_with_action("sql").size(), 1u);
}

// An over-long entry at the password prompt is refused whole; none of it is
// taken as the next input.
TEST(ClientPipedInput, OverlongPasswordIsRefusedWithoutSpilling) {
    FakeServer srv;
    RunResult r = run_client({"--port", std::to_string(srv.port()), "--user", "admin"},
                             std::string(300, 'p') + "\nSELECT 1;\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "password too long")) << r.err;
    EXPECT_TRUE(srv.requests().empty());

    std::string exact(255, 'p');  // the longest password still accepted
    r = run_client({"--port", std::to_string(srv.port()), "--user", "admin"}, exact + "\n");
    EXPECT_EQ(r.status, 0) << r.err;
    auto logins = srv.requests_with_action("login");
    ASSERT_EQ(logins.size(), 1u);
    EXPECT_EQ(json_member(logins[0], "password"), exact);
}

TEST(ClientPipedInput, LongLinesAreSentWhole) {
    FakeServer srv;
    std::string line = "INSERT INTO t VALUES (1, '" + std::string(10000, 'v') + "');";
    RunResult r = run_client(login_args(srv), line + "\n", kPasswordEnv);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(r.out.size() - 1), "\n") << "end of input ends with a newline";
    auto sql = srv.requests_with_action("sql");
    ASSERT_EQ(sql.size(), 1u);
    EXPECT_EQ(json_member(sql[0], "sql"), line + "\n\n");
}

// A reply over the 8 MiB limit fails its statement, and the next statement
// reads its own reply.
TEST(ClientPipedInput, OversizedReplyFailsOnlyItsStatement) {
    FakeServer srv([](const std::string& req) -> std::string {
        if (json_member(req, "sql").find("big") != std::string::npos)
            return R"({"ok":true,"rows":")" + std::string(9u << 20, 'x') + "\"}";
        return R"({"ok":true,"message":"second"})";
    });
    RunResult r = run_client(login_args(srv), "SELECT big;\nSELECT small;\n", kPasswordEnv);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "refused (limit 8388608)\nSQL request failed\n")) << r.err;
    EXPECT_TRUE(contains(r.out, "\"message\": \"second\"")) << r.out.substr(0, 2000);
    EXPECT_EQ(srv.requests_with_action("sql").size(), 2u);
}

TEST(ClientPipedInput, SqlBufferLimitEndsTheClient) {
    FakeServer srv;
    std::string huge(8u << 20, 'a');
    RunResult r = run_client(login_args(srv), "SELECT '" + huge + "\n", kPasswordEnv);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "SQL buffer too large. Use \\clear.\n")) << r.err;
    EXPECT_TRUE(srv.requests_with_action("sql").empty());
}

}  // namespace
