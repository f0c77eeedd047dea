// kyreldb_client against the real server, as a new user meets it: the first
// login as admin with the forced password change at a terminal, a table
// created, filled and read back pretty-printed; then one statement run from
// the command line with the raw reply for scripts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client_harness.h"
#include "kyrel_test.h"

namespace {

const char kMain[] = "kyreldb:default> ";
const char kNewPassword[] = "Fresh-pw 9";

TEST(ClientLiveServer, FirstSessionThenScriptedSelect) {
    kyrel_test::TestServer srv;
    ASSERT_TRUE(srv.start()) << srv.last_error();
    const std::string port = std::to_string(srv.port());

    {
        PtySession s({"--port", port});
        ASSERT_TRUE(s.started());
        ASSERT_TRUE(s.expect("Username: ")) << s.transcript();
        s.send("admin\n");
        ASSERT_TRUE(s.expect("Password: ")) << s.transcript();
        s.send("lumen406\n");
        ASSERT_TRUE(s.expect("\"must_change_password\": true")) << s.transcript();
        ASSERT_TRUE(s.expect("KyrelDB requires this user to change password before continuing.\n"))
            << s.transcript();
        ASSERT_TRUE(s.expect("New password: ")) << s.transcript();
        s.send(std::string(kNewPassword) + "\n");
        ASSERT_TRUE(s.expect("Confirm new password: ")) << s.transcript();
        s.send(std::string(kNewPassword) + "\n");
        ASSERT_TRUE(s.expect("\"message\": \"password changed\"")) << s.transcript();
        ASSERT_TRUE(
            s.expect("Connected. Type \\help for help. End SQL with semicolon or use \\g.\n"))
            << s.transcript();
        ASSERT_TRUE(s.expect(kMain)) << s.transcript();

        // A statement over two lines, sent when the ';' arrives.
        s.send("CREATE TABLE items (id int PRIMARY KEY,\n");
        ASSERT_TRUE(s.expect("        ...> ")) << s.transcript();
        s.send("  name string);\n");
        ASSERT_TRUE(s.expect("\"message\": \"table created\"")) << s.transcript();
        ASSERT_TRUE(s.expect(kMain)) << s.transcript();

        s.send("INSERT INTO items (id, name) VALUES (2, 'pear'), (1, 'apple');\n");
        ASSERT_TRUE(s.expect("\"inserted\": 2")) << s.transcript();
        ASSERT_TRUE(s.expect(kMain)) << s.transcript();

        // Two statements on one line go out as one request, which the server
        // refuses whole; the reply is shown and neither row is there.
        s.send("INSERT INTO items VALUES (3, 'x'); INSERT INTO items VALUES (4, 'y');\n");
        ASSERT_TRUE(s.expect("\"error\": \"only one statement per request\"")) << s.transcript();
        ASSERT_TRUE(s.expect(kMain)) << s.transcript();

        s.send("SELECT * FROM items ORDER BY id;\n");
        ASSERT_TRUE(s.expect(kMain)) << s.transcript();
        const std::string table_reply =
            "{\n"
            "  \"ok\": true,\n"
            "  \"table\": \"items\",\n"
            "  \"rows\": [\n"
            "    {\n"
            "      \"id\": 1,\n"
            "      \"name\": \"apple\"\n"
            "    },\n"
            "    {\n"
            "      \"id\": 2,\n"
            "      \"name\": \"pear\"\n"
            "    }\n"
            "  ]\n"
            "}\n";
        EXPECT_NE(s.transcript().find("ORDER BY id;\n" + table_reply + kMain), std::string::npos)
            << s.transcript();

        // A refused statement only prints the reply; the session goes on.
        s.send("SELECT * FROM missing;\n");
        ASSERT_TRUE(s.expect("\"ok\": false")) << s.transcript();
        ASSERT_TRUE(s.expect(kMain)) << s.transcript();

        s.send("\\q\n");
        EXPECT_EQ(s.wait_exit(), 0) << s.transcript();
        for (const char* secret : {"lumen406", kNewPassword})
            EXPECT_EQ(s.transcript().find(secret), std::string::npos) << "echoed: " << secret;
        EXPECT_TRUE(s.echo_enabled());
    }

    // The new password took effect on the server: the default one is refused.
    RunResult old_pw = run_client(
        {"--port", port, "--user", "admin", "--no-password-prompt", "--execute", "SHOW TABLES;"},
        "", {"KYRELDB_PASSWORD=lumen406"});
    EXPECT_EQ(old_pw.status, 1) << old_pw.out << old_pw.err;
    EXPECT_NE(old_pw.out.find("\"ok\": false"), std::string::npos) << old_pw.out;

    // For scripts: the raw reply on its own line, exit 0.
    RunResult raw = run_client({"--port", port, "--user", "admin", "--no-password-prompt",
                                "--json-only", "--execute", "SELECT * FROM items ORDER BY id DESC"},
                               "", {std::string("KYRELDB_PASSWORD=") + kNewPassword});
    EXPECT_EQ(raw.status, 0) << raw.out << raw.err;
    EXPECT_NE(raw.out.find("\n{\"ok\":true,\"message\":\"login successful\",\"username\":\"admin\","
                           "\"must_change_password\":false}\n"),
              std::string::npos)
        << raw.out;
    const std::string want_rows =
        "\n{\"ok\":true,\"table\":\"items\",\"rows\":[{\"id\":2,\"name\":\"pear\"},"
        "{\"id\":1,\"name\":\"apple\"}]}\n";
    ASSERT_GE(raw.out.size(), want_rows.size());
    EXPECT_EQ(raw.out.substr(raw.out.size() - want_rows.size()), want_rows) << raw.out;

    // A failed statement from the command line exits 1 with the reply shown.
    RunResult bad =
        run_client({"--port", port, "--user", "admin", "--no-password-prompt", "--json-only",
                    "--execute", "INSERT INTO items (id, name) VALUES (1, 'dup')"},
                   "", {std::string("KYRELDB_PASSWORD=") + kNewPassword});
    EXPECT_EQ(bad.status, 1) << bad.out << bad.err;
    EXPECT_NE(bad.out.find("{\"ok\":false,"), std::string::npos) << bad.out;
    EXPECT_EQ(srv.stop(), 0) << srv.stderr_text();
}

}  // namespace
