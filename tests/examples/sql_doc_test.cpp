// docs/sql.md shows its examples as sessions: indented lines holding a
// statement (or a JSON request), each optionally followed by "-> reply".
// This test runs every such line, in the order of the page, on a fresh
// server whose administrator password is "my password", and checks each
// reply shown against the one the server gives ("..." stands for any text).
#include "doc_blocks.h"
#include "writes_helpers.h"

namespace {

struct Step {
    int line;             // in docs/sql.md, for the failure message
    std::string request;  // a statement, or a JSON request when it starts with '{'
    std::string reply;    // the reply shown, or "" when none is shown
};

// The lines of every code block, in page order.
std::vector<Step> doc_steps(const std::string& path) {
    std::vector<Step> steps;
    for (const doc_test::CodeBlock& b : doc_test::code_blocks(path)) {
        for (size_t k = 0; k < b.lines.size(); k++) {
            const std::string& text = b.lines[k];
            if (text.rfind("-> ", 0) == 0 && !steps.empty())
                steps.back().reply = text.substr(3);
            else
                steps.push_back(Step{b.line + static_cast<int>(k), text, ""});
        }
    }
    return steps;
}

TEST(SqlDoc, ShownRepliesAreTheServersReplies) {
    std::vector<Step> steps = doc_steps(KYREL_DOCS_DIR "/sql.md");
    ASSERT_GT(steps.size(), 20u);

    kyrel_test::TestServer srv;
    ASSERT_TRUE(srv.start()) << srv.last_error();
    kyrel_test::FrameClient c;
    ASSERT_TRUE(c.connect(srv.port()));
    std::string reply;
    ASSERT_TRUE(
        c.request(R"({"action":"login","username":"admin","password":"lumen406"})", &reply));
    ASSERT_TRUE(c.request(R"({"action":"change_password","new_password":"my password"})", &reply));
    ASSERT_EQ(kyrel_test::json_get(reply, "ok"), "true") << reply;

    for (const Step& s : steps) {
        std::string req = s.request[0] == '{'
                              ? s.request
                              : "{\"action\":\"sql\",\"sql\":" + writes_test::jstr(s.request) + "}";
        ASSERT_TRUE(c.request(req, &reply)) << "sql.md:" << s.line << ": " << s.request;
        if (s.reply.empty()) continue;
        EXPECT_TRUE(doc_test::matches(s.reply, reply))
            << "sql.md:" << s.line << ": " << s.request << "\n shown: " << s.reply
            << "\n   got: " << reply;
    }
}

}  // namespace
