// Builds a small C program with the C compiler alone against the two
// connector libraries (no C++ runtime on the link line) and runs it against
// the scripted frame server.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "fake_frame_server.h"

namespace {

const char* kProgram = R"C(
#include <stdio.h>
#include <stdlib.h>
#include "kyreldb_database.h"

int main(int argc, char **argv) {
    char *lit = kc_sql_literal_string("O'Brien");
    kc_arg args[2];
    args[0] = kc_arg_int(7);
    args[1] = kc_arg_string("x");
    char *call = kc_build_call_sql("p", 2, args);
    printf("%s %s\n", lit, call);
    free(lit);
    free(call);
    if (argc < 2) return 0;

    kyreldb_handle *h = kyreldb_connect("127.0.0.1", atoi(argv[1]));
    if (!h) { printf("open failed\n"); return 2; }
    kc_result *r = kyreldb_login(h, "admin", "secret");
    printf("login ok=%d must_change=%d user=%s\n", kc_result_ok(r),
           h->must_change_password, h->username);
    kc_result_free(r);
    r = kyreldb_database_call(h, "p", 2, args);
    printf("call ok=%d error=%s\n", kc_result_ok(r), kc_result_error(r));
    kc_result_free(r);
    kyreldb_free(h);
    return 0;
}
)C";

// Logs in, then runs one query per remaining scripted reply and prints what
// the result object read from each.
const char* kReplyProbe = R"C(
#include <stdio.h>
#include <stdlib.h>
#include "kyreldb_database.h"

int main(int argc, char **argv) {
    if (argc < 3) return 2;
    kyreldb_handle *h = kyreldb_connect("127.0.0.1", atoi(argv[1]));
    if (!h) { printf("open failed\n"); return 2; }
    kc_result *r = kyreldb_login(h, "admin", "secret");
    printf("login ok=%d must_change=%d\n", kc_result_ok(r), h->must_change_password);
    kc_result_free(r);
    for (int i = 0; i < atoi(argv[2]); i++) {
        r = kyreldb_query(h, "SELECT error, message FROM notes;");
        printf("ok=%d error=[%s] message=[%s]\n", kc_result_ok(r), kc_result_error(r),
               kc_result_message(r));
        kc_result_free(r);
    }
    kyreldb_free(h);
    return 0;
}
)C";

// Runs a shell command; returns its exit status and fills out with stdout+stderr.
int run(const std::string& cmd, std::string* out) {
    out->clear();
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p) return -1;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
    int st = pclose(p);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

class CLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kyrel_connector_cXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        std::ofstream(dir + "/prog.c") << kProgram;
    }
    // Builds dir/<name>.c into dir/<name> with the C compiler alone.
    void build(const std::string& name) {
        std::string lib = KYREL_CONNECTOR_LIB_DIR;
        std::string cmd =
            "cc -std=c11 -Wall -Wextra -Werror " + std::string(KYREL_CONNECTOR_EXTRA_CFLAGS) + " " +
            dir + "/" + name + ".c -I" + KYREL_CONNECTOR_INCLUDE_DIR + " " + lib +
            "/libkyreldb_database.a " + lib + "/libkyrelconnect_core.a -o " + dir + "/" + name;
        std::string out;
        ASSERT_EQ(run(cmd, &out), 0) << cmd << "\n" << out;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string dir;
};

TEST_F(CLinkTest, CompilesWithCcAloneAndTalksToServer) {
    ASSERT_NO_FATAL_FAILURE(build("prog"));
    std::string out;
    ASSERT_EQ(run(dir + "/prog", &out), 0) << out;
    EXPECT_EQ(out, "'O\\'Brien' CALL p(7,'x');\n");

    FakeFrameServer srv;
    srv.push(FakeFrameServer::reply(
        R"({"ok":true,"message":"login successful","must_change_password":true})"));
    srv.push(FakeFrameServer::reply(R"({"ok":false,"error":"procedure not found"})"));
    ASSERT_EQ(run(dir + "/prog " + std::to_string(srv.port()), &out), 0) << out;
    EXPECT_EQ(out,
              "'O\\'Brien' CALL p(7,'x');\n"
              "login ok=1 must_change=1 user=admin\n"
              "call ok=0 error=procedure not found\n");
    auto reqs = srv.requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[1], R"({"action":"sql","sql":"CALL p(7,'x');"})");
}

// Row data never stands in for the reply's own members, and a reply that is
// not one JSON object with a boolean "ok" is a failure, over the wire from a
// C program.
TEST_F(CLinkTest, ResultsReadOnlyTheReplysOwnMembers) {
    std::ofstream(dir + "/probe.c") << kReplyProbe;
    ASSERT_NO_FATAL_FAILURE(build("probe"));
    FakeFrameServer srv;
    srv.push(FakeFrameServer::reply(R"({"ok":true,"info":{"must_change_password":true}})"));
    const char* replies[] = {
        R"({"ok":true,"table":"notes","rows":[{"error":"disk on fire","message":"call me"}]})",
        R"({"rows":[{"ok":true}],"ok":false,"error":"boom"})",
        R"({"ok":tru)",
        R"({"ok":"true"})",
        "rows follow",
    };
    for (const char* r : replies) srv.push(FakeFrameServer::reply(r));
    std::string with_nul("{\"ok\":true}\0{\"ok\":false}", 24);
    srv.push(FakeFrameServer::raw(FakeFrameServer::frame(with_nul, 24)));
    srv.push(FakeFrameServer::reply(R"({"ok":true,"message":"still in step"})"));

    std::string out;
    ASSERT_EQ(run(dir + "/probe " + std::to_string(srv.port()) + " 7", &out), 0) << out;
    EXPECT_EQ(out,
              "login ok=1 must_change=0\n"
              "ok=1 error=[] message=[]\n"
              "ok=0 error=[boom] message=[]\n"
              "ok=0 error=[invalid reply] message=[]\n"
              "ok=0 error=[invalid reply] message=[]\n"
              "ok=0 error=[invalid reply] message=[]\n"
              "ok=0 error=[invalid reply] message=[]\n"
              "ok=1 error=[] message=[still in step]\n");
    EXPECT_EQ(srv.accepted(), 1) << "the NUL reply was read whole; the connection stayed open";
}

}  // namespace
