// Frames, JSON helpers and the reply printer of the command-line client.
#include "client_wire.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

namespace {

struct FreeDeleter {
    void operator()(char* p) const { free(p); }
};
using HeapText = std::unique_ptr<char, FreeDeleter>;

TEST(ClientPrettyPrint, IndentsLikeTheReferenceLayout) {
    struct Case {
        const char* name;
        const char* in;
        const char* out;
    } cases[] = {
        {"member holding a two-element array", R"({"a":[1,2]})",
         "{\n  \"a\": [\n    1,\n    2\n  ]\n}\n"},
        {"empty object", "{}", "{\n  \n}\n"},
        {"empty reply", "", "\n"},
        {"white space outside strings dropped", "{ \"ok\" :\n true }", "{\n  \"ok\": true\n}\n"},
        {"punctuation inside strings kept", R"({"e":"a, {b}: [c]"})",
         "{\n  \"e\": \"a, {b}: [c]\"\n}\n"},
        {"escaped quote does not end a string", R"({"e":"x\"y,z"})",
         "{\n  \"e\": \"x\\\"y,z\"\n}\n"},
        {"stray closer never indents below zero", "]}x", "\n]\n}x\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(pretty_format_json(c.in), c.out) << c.name;
    EXPECT_EQ(pretty_format_json(nullptr), "");
}

// Nesting deeper than 16 levels prints compact; the output of any reply stays
// within a fixed multiple of its size.
TEST(ClientPrettyPrint, DeepValuesPrintCompact) {
    std::string in = std::string(20, '[') + "1, {\"a\": 2}" + std::string(20, ']');
    std::string want;
    for (int level = 1; level <= 16; level++) want += "[\n" + std::string(2 * level, ' ');
    want += "[[[[1,{\"a\":2}]]]]";
    for (int level = 16; level >= 1; level--)
        want += "\n" + std::string(2 * (level - 1), ' ') + "]";
    want += "\n";
    EXPECT_EQ(pretty_format_json(in.c_str()), want);

    // A sibling after the compact value is laid out as usual again.
    std::string fifteen(15, '[');
    std::string after =
        pretty_format_json(("[" + fifteen + "[1]" + std::string(15, ']') + ",2]").c_str());
    EXPECT_NE(after.find(std::string(32, ' ') + "[1]\n"), std::string::npos) << after;
    EXPECT_NE(after.find(",\n  2\n]\n"), std::string::npos) << after;

    // 100,000 levels at two blanks each would print some 10 GB.
    std::string deep =
        R"({"ok":true,"x":)" + std::string(100000, '[') + std::string(100000, ']') + "}";
    std::string out = pretty_format_json(deep.c_str());
    EXPECT_LT(out.size(), deep.size() + 1000);
    EXPECT_NE(out.find(std::string(100000 - 15, '[') + std::string(100000 - 15, ']')),
              std::string::npos);
}

TEST(ClientJson, EscapesAndBuildsRequests) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"plain", "plain"},
        {"q\"b\\", "q\\\"b\\\\"},
        {"\b\t\n\f\r", "\\b\\t\\n\\f\\r"},
        {"\x01\x1f", "\\u0001\\u001f"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},
    };
    for (const auto& c : cases) {
        HeapText e(json_escape_alloc(c.in));
        ASSERT_NE(e, nullptr);
        EXPECT_STREQ(e.get(), c.out) << c.in;
    }
    HeapText one(make_json2("sql", "sql", "SELECT \"x\";\n", nullptr, nullptr));
    EXPECT_STREQ(one.get(), R"({"action":"sql","sql":"SELECT \"x\";\n"})");
    HeapText two(make_json2("login", "username", "ad\"min", "password", nullptr));
    EXPECT_STREQ(two.get(), R"({"action":"login","username":"ad\"min","password":""})");
}

TEST(ClientJson, ProbesBooleanMembers) {
    struct Case {
        const char* reply;
        const char* name;
        int expect;
    } cases[] = {
        {R"({"ok":true})", "ok", 1},
        {R"({"ok" :  TRUE})", "ok", 1},
        {R"({"ok":1})", "ok", 1},
        {R"({"ok":false,"error":"x"})", "ok", 0},
        {R"({"error":"no"})", "ok", 0},
        {R"({"ok" "true"})", "ok", 0},
        {R"({"ok":true,"must_change_password":true})", "must_change_password", 1},
        {R"({"ok":true})", "must_change_password", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(json_bool_field(c.reply, c.name), c.expect) << c.reply;
    EXPECT_EQ(json_bool_field(nullptr, "ok"), 0);
}

// Only the reply object's own "ok" is its status; anything that is not one
// JSON object with a boolean "ok" counts as a failure.
TEST(ClientJson, StatusIsTheReplyObjectsOwnOk) {
    struct Case {
        const char* reply;
        int ok;  // json_reply_ok
    } cases[] = {
        {R"({"ok":true})", 1},
        {R"(  {"ok" : 1 ,"rows":[]}  )", 1},
        {R"({"ok":false})", 0},
        {R"({"ok":0})", 0},
        {R"({"rows":[{"ok":true}],"ok":false,"error":"boom"})", 0},
        {R"({"rows":[{"ok":false}],"info":{"ok":false},"ok":true})", 1},
        {R"({"error":"\"ok\":true","ok":false})", 0},
        {R"({"ok":false,"ok":true})", 0},  // the first member of a name counts
        {R"({"ok":tru)", -1},
        {R"({"ok":true)", -1},
        {R"({"ok":"true"})", -1},
        {R"({"ok":truex})", -1},
        {R"({"ok":null})", -1},
        {R"({"message":"no status"})", -1},
        {R"({"inner":{"ok":true}})", -1},
        {R"({"ok":true}{"ok":false})", -1},
        {R"({"ok":true} x)", -1},
        {R"([{"ok":true}])", -1},
        {R"("ok":true)", -1},
        {R"({"ok":true,})", -1},
        {R"({"a":[1,],"ok":true})", -1},
        {R"({"a":{"b":1],"ok":true})", -1},
        {R"({"a":"unterminated,"ok":true})", -1},
        {R"({"ok" "true"})", -1},
        {R"({"ok":true,"a"})", -1},
        {"", -1},
    };
    for (const auto& c : cases) EXPECT_EQ(json_reply_ok(c.reply), c.ok) << c.reply;
    EXPECT_EQ(json_reply_ok(nullptr), -1);

    // Nesting of any depth is walked without recursion.
    std::string deep =
        R"({"x":)" + std::string(1000000, '[') + std::string(1000000, ']') + R"(,"ok":true})";
    EXPECT_EQ(json_reply_ok(deep.c_str()), 1);
    deep.erase(deep.size() - 12, 1);  // one bracket short
    EXPECT_EQ(json_reply_ok(deep.c_str()), -1);

    // A member's value may itself be nested.
    const char* v = nullptr;
    size_t n = 0;
    EXPECT_EQ(json_top_member(R"({"x" : {"a":[1,{"b":2}]} ,"ok":true})", "x", &v, &n), 1);
    EXPECT_EQ(std::string(v, n), R"({"a":[1,{"b":2}]})");
    EXPECT_EQ(json_top_member(R"({"a":{"x":1}})", "x", &v, &n), 0);

    // The other members the client reads are top-level ones too.
    const char* nested = R"({"ok":true,"x":{"must_change_password":true,"current_db":"evil"}})";
    EXPECT_EQ(json_bool_field(nested, "must_change_password"), 0);
    char db[32];
    EXPECT_EQ(json_string_field(nested, "current_db", db, sizeof db), 0);
    EXPECT_EQ(json_string_field(R"({"current_db":"sales","ok":tru)", "current_db", db, sizeof db),
              0);
}

TEST(ClientJson, ReadsStringMembers) {
    char out[128];
    EXPECT_EQ(json_string_field(R"({"ok":true,"current_db" : "sa\"les\tx\\y\qz"})", "current_db",
                                out, sizeof out),
              1);
    EXPECT_STREQ(out, "sa\"les\tx\\yqz");
    EXPECT_EQ(json_string_field(R"({"current_db":5})", "current_db", out, sizeof out), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(json_string_field(R"({"current_db":"unterminated)", "current_db", out, sizeof out),
              0);
    char small[4];
    EXPECT_EQ(json_string_field(R"({"d":"abcdef"})", "d", small, sizeof small), 1);
    EXPECT_STREQ(small, "abc");
}

// A connected socket pair: the client end in a ClientState, the other end
// driven by a thread that writes scripted bytes.
struct FramePeer {
    int fds[2] = {-1, -1};
    ClientState st;
    std::thread peer;
    FramePeer() {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        st.fd = fds[0];
    }
    ~FramePeer() {
        if (st.fd >= 0) shutdown(st.fd, SHUT_RDWR);  // unblocks a peer still writing
        if (peer.joinable()) peer.join();
        if (st.fd >= 0) close(st.fd);
        if (fds[1] >= 0) close(fds[1]);
    }
    static std::string frame(const std::string& body, uint32_t announced) {
        uint32_t be = htonl(announced);
        return std::string(reinterpret_cast<char*>(&be), 4) + body;
    }
    // Reads `requests` request frames and then writes `bytes`; closes when asked.
    void reply_with(std::string bytes, int requests = 1, bool close_after = false) {
        peer = std::thread([this, bytes = std::move(bytes), requests, close_after] {
            for (int i = 0; i < requests; i++) {
                uint32_t be = 0;
                if (read_exact(fds[1], &be, 4) != 0) return;
                std::string body(ntohl(be), '\0');
                if (read_exact(fds[1], body.data(), body.size()) != 0) return;
                last_request = body;
            }
            for (size_t off = 0; off < bytes.size();) {  // MSG_NOSIGNAL: the client end may be gone
                ssize_t w = send(fds[1], bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
                if (w <= 0) break;
                off += static_cast<size_t>(w);
            }
            if (close_after) {
                close(fds[1]);
                fds[1] = -1;
            }
        });
    }
    std::string last_request;
};

TEST(ClientFrames, ExchangesOneRequestAndReply) {
    FramePeer p;
    p.reply_with(FramePeer::frame(R"({"ok":true})", 11));
    char* reply = nullptr;
    char err[256];
    ASSERT_EQ(client_request_raw(&p.st, R"({"action":"ping"})", &reply, err, sizeof err), 0);
    HeapText owned(reply);
    EXPECT_STREQ(reply, R"({"ok":true})");
    p.peer.join();
    EXPECT_EQ(p.last_request, R"({"action":"ping"})");
}

// An oversized reply is refused, its body taken off the socket, and the next
// reply is read from the right place.
TEST(ClientFrames, OversizedReplyIsDiscardedAndStreamStaysInStep) {
    FramePeer p;
    std::string big(CLIENT_MAX_FRAME + 1, 'x');
    p.reply_with(FramePeer::frame(big, static_cast<uint32_t>(big.size())) +
                 FramePeer::frame(R"({"ok":true,"n":2})", 17));
    char* reply = nullptr;
    char err[256] = "";
    EXPECT_EQ(client_request_raw(&p.st, "{}", &reply, err, sizeof err), -2);
    EXPECT_EQ(reply, nullptr);
    EXPECT_NE(strstr(err, "8388609"), nullptr) << err;
    EXPECT_GE(p.st.fd, 0);
    ASSERT_EQ(client_request_raw(&p.st, "{}", &reply, err, sizeof err), 0);
    HeapText owned(reply);
    EXPECT_STREQ(reply, R"({"ok":true,"n":2})");
}

// A NUL byte would cut the printed reply short: the reply is refused whole,
// and the next one is read from the right place.
TEST(ClientFrames, ReplyWithNulByteIsRefused) {
    FramePeer p;
    std::string with_nul("{\"ok\":true,\"m\":\"a\0b\"}", 20);
    p.reply_with(FramePeer::frame(with_nul, 20) + FramePeer::frame(R"({"ok":true})", 11));
    char* reply = nullptr;
    char err[256] = "";
    EXPECT_EQ(client_request_raw(&p.st, "{}", &reply, err, sizeof err), -4);
    EXPECT_EQ(reply, nullptr);
    EXPECT_STREQ(err, "invalid reply: it holds a NUL byte");
    ASSERT_EQ(client_request_raw(&p.st, "{}", &reply, err, sizeof err), 0);
    HeapText owned(reply);
    EXPECT_STREQ(reply, R"({"ok":true})");
}

TEST(ClientFrames, RefusesBadLengthsAndShortReplies) {
    char* reply = nullptr;
    char err[256];
    {
        FramePeer p;  // zero-length reply
        p.reply_with(FramePeer::frame("", 0));
        EXPECT_EQ(client_request_raw(&p.st, "{}", &reply, err, sizeof err), -2);
    }
    {
        FramePeer p;  // announced body cut short by a close: the connection is given up
        p.reply_with(FramePeer::frame(std::string(100, 'x'), CLIENT_MAX_FRAME + 5), 1, true);
        EXPECT_EQ(client_request_raw(&p.st, "{}", &reply, err, sizeof err), -2);
        EXPECT_EQ(p.st.fd, -1);
    }
    {
        FramePeer p;  // body shorter than announced
        p.reply_with(FramePeer::frame("{\"ok\"", 50), 1, true);
        EXPECT_EQ(client_request_raw(&p.st, "{}", &reply, err, sizeof err), -1);
        EXPECT_EQ(reply, nullptr);
    }
    ClientState closed;
    EXPECT_EQ(client_request_raw(&closed, "{}", &reply, err, sizeof err), -1);
    FramePeer p;
    EXPECT_EQ(client_request_raw(&p.st, "", &reply, err, sizeof err), -1);
}

}  // namespace
