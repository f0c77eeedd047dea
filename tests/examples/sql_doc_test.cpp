// docs/sql.md shows its examples as sessions: indented lines holding a
// statement (or a JSON request), each optionally followed by "-> reply".
// This test runs every such line, in the order of the page, on a fresh
// server whose administrator password is "my password", and checks each
// reply shown against the one the server gives ("..." stands for any text).
#include <fstream>
#include <sstream>

#include "writes_helpers.h"

namespace {

struct Step {
    int line;             // in docs/sql.md, for the failure message
    std::string request;  // a statement, or a JSON request when it starts with '{'
    std::string reply;    // the reply shown, or "" when none is shown
};

// Indented lines of paragraphs made only of indented lines, in page order.
std::vector<Step> doc_steps(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    std::vector<Step> steps;
    size_t i = 0;
    while (i < lines.size()) {
        size_t end = i;
        while (end < lines.size() && !lines[end].empty()) end++;
        bool code = end > i;
        for (size_t k = i; k < end; k++) code = code && lines[k].rfind("    ", 0) == 0;
        for (size_t k = i; code && k < end; k++) {
            std::string text = lines[k].substr(4);
            if (text.rfind("-> ", 0) == 0 && !steps.empty())
                steps.back().reply = text.substr(3);
            else
                steps.push_back(Step{static_cast<int>(k) + 1, text, ""});
        }
        i = end + 1;
    }
    return steps;
}

// True when text matches pattern, in which each "..." stands for any text.
bool matches(const std::string& pattern, const std::string& text) {
    std::vector<std::string> parts;
    for (size_t from = 0;;) {
        size_t at = pattern.find("...", from);
        parts.push_back(pattern.substr(from, at == std::string::npos ? at : at - from));
        if (at == std::string::npos) break;
        from = at + 3;
    }
    if (parts.size() == 1) return pattern == text;
    if (text.compare(0, parts.front().size(), parts.front()) != 0) return false;
    size_t pos = parts.front().size();
    for (size_t k = 1; k + 1 < parts.size(); k++) {
        pos = text.find(parts[k], pos);
        if (pos == std::string::npos) return false;
        pos += parts[k].size();
    }
    const std::string& last = parts.back();
    return text.size() >= pos + last.size() &&
           text.compare(text.size() - last.size(), last.size(), last) == 0;
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
        EXPECT_TRUE(matches(s.reply, reply)) << "sql.md:" << s.line << ": " << s.request
                                             << "\n shown: " << s.reply << "\n   got: " << reply;
    }
}

}  // namespace
