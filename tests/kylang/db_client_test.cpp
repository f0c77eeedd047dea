// The database client of generated programs against a small scripted frame
// server: requests are recorded, replies come from a script.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "terminal_harness.h"

namespace {

using Texts = std::vector<std::string>;

struct Reply {
    enum Kind { kFrame, kOversize, kClose } kind = kFrame;
    std::string body;
};

bool read_n(int fd, char* buf, size_t n) {
    while (n > 0) {
        ssize_t r = recv(fd, buf, n, 0);
        if (r <= 0) return false;
        buf += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool write_n(int fd, const char* buf, size_t n) {
    while (n > 0) {
        ssize_t w = send(fd, buf, n, MSG_NOSIGNAL);
        if (w <= 0) return false;
        buf += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Accepts connections one after another on 127.0.0.1; each request frame
// takes the next reply of the script. The destructor stops the thread.
class FakeFrameServer {
  public:
    explicit FakeFrameServer(std::vector<Reply> script) : script_(std::move(script)) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            listen(fd_, 4) != 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeFrameServer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
    }
    int port() const { return port_; }
    Texts requests() {
        std::lock_guard<std::mutex> g(mu_);
        return requests_;
    }

  private:
    void serve() {
        size_t next = 0;
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            int c = accept(fd_, nullptr, nullptr);
            if (c < 0) continue;
            for (;;) {
                pollfd q{c, POLLIN, 0};
                int rc = poll(&q, 1, 50);
                if (stop_) break;
                if (rc <= 0) continue;
                unsigned char hdr[4];
                if (!read_n(c, reinterpret_cast<char*>(hdr), 4)) break;
                uint32_t n = (uint32_t(hdr[0]) << 24) | (uint32_t(hdr[1]) << 16) |
                             (uint32_t(hdr[2]) << 8) | hdr[3];
                std::string body(n, '\0');
                if (!read_n(c, body.data(), n)) break;
                {
                    std::lock_guard<std::mutex> g(mu_);
                    requests_.push_back(body);
                }
                if (next >= script_.size()) break;
                const Reply& r = script_[next++];
                if (r.kind == Reply::kClose) break;
                uint32_t len =
                    r.kind == Reply::kOversize ? 16777217u : static_cast<uint32_t>(r.body.size());
                unsigned char out[4] = {
                    static_cast<unsigned char>(len >> 24), static_cast<unsigned char>(len >> 16),
                    static_cast<unsigned char>(len >> 8), static_cast<unsigned char>(len)};
                if (!write_n(c, reinterpret_cast<char*>(out), 4) ||
                    !write_n(c, r.body.data(), r.body.size()))
                    break;
            }
            close(c);
        }
    }

    std::vector<Reply> script_;
    int fd_ = -1, port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mu_;
    Texts requests_;
};

Reply frame(const std::string& body) { return Reply{Reply::kFrame, body}; }

class DbClientTest : public ProgramRunTest {
  protected:
    // Builds and runs source with "PORT" replaced by port; returns what it said.
    Texts run_program(std::string source, int port) {
        for (size_t at; (at = source.find("PORT_NO")) != std::string::npos;)
            source.replace(at, 7, std::to_string(port));
        if (!build(source)) return {};
        RunResult r = run_with_input("");
        EXPECT_EQ(r.status, 0);
        return screen_texts(r.out);
    }
};

const char kLoginOk[] = R"({"ok":true,"must_change_password":false})";

TEST_F(DbClientTest, ConnectUseExecuteQueryAndClose) {
    FakeFrameServer srv({
        frame(kLoginOk),
        frame(R"({"ok":false,"error":"unknown database"})"),
        frame(R"({"ok" : false,"error":"boom"})"),
        frame(
            R"({"ok":true, "rows" : [ {"id":1,"name":"a\"b\\c\n\u00e9\/","big":9007199254740993,)"
            R"("f":-1.5e0,"t":TRUE,"n":null,"o":{"x":[1,"]"]}} , 7, "s", [1,[2]], {"id":2, "id":3},)"
            R"({"id":4,"name" 5}, {"id":5}]})"),
        frame(R"({"ok":true,"rows":[]})"),
        frame(R"({"ok"  :false})"),
    });
    ASSERT_GT(srv.port(), 0);
    Texts got = run_program(
        R"P(CONNECT TO KYRELDB SERVER HOST "127.0.0.1" ON PORT PORT_NO USER "u\"1" PASSWORD "p" DATABASE "my shop" AS db
@ 1, 0 SAY "" + db
@ 2, 0 SAY db.execute("INSERT INTO t VALUES ('x', " + CHAR(9) + ")")
VAR rs = TO_RS(db.query("SELECT * FROM t"))
@ 3, 0 SAY rs
VAR r = 4
FOREACH row IN rs
  @ r, 0 SAY row["ID"] + "|" + row["name"] + "|" + row["big"] + "|" + row["f"] + "|" + row["t"] + "|" + (row["n"] = NULL) + "|" + (row["o"] = NULL)
  r = r + 1
ENDFOREACH
VAR empty = TO_RS(db.query("SELECT * FROM t WHERE id = 0"))
FOREACH row IN empty
  @ 20, 0 SAY "never"
ENDFOREACH
@ 8, 0 SAY db.execute("x")
@ 9, 0 SAY db.close()
@ 10, 0 SAY db
@ 11, 0 SAY db.execute("after close")
@ 12, 0 SAY TO_RS(TO_RS("no rows here"))
)P",
        srv.port());
    EXPECT_EQ(got,
              (Texts{"[KyrelDB Connection]", R"({"ok" : false,"error":"boom"})",
                     "[RecordSet rows=2]", "1|a\"b\\c\n?/|9007199254740992|-1.5|true|true|true",
                     "2|||||true|true", R"({"ok"  :false})", R"({"ok":true,"message":"closed"})",
                     "[KyrelDB Connection closed]", R"({"ok":false,"error":"not connected"})",
                     "[RecordSet rows=0]"}));
    EXPECT_EQ(srv.requests(), (Texts{R"({"action":"login","username":"u\"1","password":"p"})",
                                     R"({"action":"sql","sql":"USE my shop;"})",
                                     R"P({"action":"sql","sql":"INSERT INTO t VALUES ('x', \t)"})P",
                                     R"({"action":"sql","sql":"SELECT * FROM t"})",
                                     R"({"action":"sql","sql":"SELECT * FROM t WHERE id = 0"})",
                                     R"({"action":"sql","sql":"x"})"}));
}

// Replies cut short inside a string, after a backslash or inside an escape
// keep the rows read before them; nothing is read past the reply's end.
TEST_F(DbClientTest, RepliesEndingInsideAValue) {
    const char* cut[] = {R"({"rows":[{"id":1},{"name":"abc)",  R"({"rows":[{"id":1},{"name":"abc\)",
                         R"({"rows":[{"id":1},{"name":"\u00)", R"({"rows":[{"id":1},{"o":{"a":"x)",
                         R"({"rows":[{"id":1},{"id")",         R"({"rows":[{"id":1},)"};
    std::vector<Reply> script{frame(kLoginOk)};
    for (const char* c : cut) script.push_back(frame(c));
    FakeFrameServer srv(script);
    std::string src = "CONNECT TO KYRELDB ON PORT PORT_NO USER \"u\" PASSWORD \"p\" AS db\n";
    Texts want;
    for (size_t i = 0; i < sizeof cut / sizeof cut[0]; i++) {
        src += "@ " + std::to_string(i + 1) + ", 0 SAY TO_RS(db.query(\"q\"))\n";
        want.push_back("[RecordSet rows=1]");
    }
    EXPECT_EQ(run_program(src, srv.port()), want);
}

// A login succeeds only on a reply object whose own "ok" is true: a nested
// "ok", a string "true", text that is no object or no "ok" at all fail it.
TEST_F(DbClientTest, LoginReadsTheReplysOwnOk) {
    struct Case {
        const char* reply;
        bool ok;
    } cases[] = {
        {R"({"ok":true,"message":"login successful"})", true},
        {R"({"rows":[{"ok":false}],"ok":true})", true},
        {R"({"note":"\"ok\":false","ok" : true})", true},
        {R"({"ok":false,"error":"invalid username or password"})", false},
        {R"({"x":{"ok":true}})", false},
        {R"({"ok":"true"})", false},
        {R"({})", false},
        {R"({"ok":tru)", false},
        {R"(ok)", false},
    };
    for (const Case& c : cases) {
        FakeFrameServer srv({frame(c.reply)});
        Texts got = run_program(
            "CONNECT TO KYRELDB ON PORT PORT_NO USER \"u\" PASSWORD \"p\" AS db\n"
            "@ 1, 0 SAY \"[\" + db + \"]\"\n",
            srv.port());
        Texts want = c.ok ? Texts{"[[KyrelDB Connection]]"}
                          : Texts{"Kyrel Language runtime error: KyrelDB login failed", "[]"};
        EXPECT_EQ(got, want) << c.reply;
    }
}

TEST_F(DbClientTest, FailuresCloseTheConnection) {
    FakeFrameServer srv({frame(kLoginOk), Reply{Reply::kOversize, ""}, frame(kLoginOk),
                         Reply{Reply::kClose, ""},
                         frame(R"({"ok":false,"error":"invalid credentials"})")});
    Texts got = run_program(R"(CONNECT TO KYRELDB ON PORT PORT_NO USER "u" PASSWORD "p" AS a
@ 1, 0 SAY a.execute("big")
@ 2, 0 SAY a
@ 3, 0 SAY a.execute("again")
CONNECT TO KYRELDB ON PORT PORT_NO USER "u" PASSWORD "p" AS b
@ 4, 0 SAY b.query("gone")
CONNECT TO KYRELDB ON PORT PORT_NO USER "u" PASSWORD "wrong" AS c
@ 5, 0 SAY "[" + c + "]"
@ 6, 0 SAY c.execute("x")
)",
                            srv.port());
    EXPECT_EQ(got, (Texts{R"({"ok":false,"error":"receive failed"})", "[KyrelDB Connection closed]",
                          R"({"ok":false,"error":"not connected"})",
                          R"({"ok":false,"error":"receive failed"})",
                          "Kyrel Language runtime error: KyrelDB login failed", "[]",
                          R"({"ok":false,"error":"not connected"})"}));
}

TEST_F(DbClientTest, NothingListening) {
    int port;
    {
        FakeFrameServer gone({});
        port = gone.port();
    }  // closed again: nothing listens there now
    EXPECT_EQ(run_program("CONNECT TO KYRELDB ON PORT PORT_NO USER \"u\" PASSWORD \"p\" AS db\n"
                          "@ 1, 0 SAY \"[\" + db + \"]\"\n@ 2, 0 SAY db.use(\"x\")\n",
                          port),
              (Texts{"Kyrel Language runtime error: KyrelDB connection failed", "[]",
                     R"({"ok":false,"error":"not connected"})"}));
}

}  // namespace
