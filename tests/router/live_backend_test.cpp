// The real router in front of a real server: router users log in with their
// router passwords, queries reach the routed database on the server, a READ
// grant refuses writes before they reach it, pooled backend connections
// serve each session's own database, and the system tables' rows change only
// for a router administrator on this host.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "kyrel_test.h"
#include "router_harness.h"
#include "test_netns.h"

namespace {

std::string login_json(const std::string& user, const std::string& pw) {
    return R"({"action":"login","username":")" + user + R"(","password":")" + pw + R"("})";
}
std::string sql_json(const std::string& sql) {
    return R"({"action":"sql","sql":")" + sql + R"("})";
}

const char kBackendPassword[] = "backend-pw";

// Prepares the server directly: admin's forced change, a database "shop"
// with one row and a table only the default database has.
void prepare_server(int port) {
    kyrel_test::FrameClient c;
    ASSERT_TRUE(c.connect(port));
    std::string r;
    auto ask = [&](const std::string& json) {
        EXPECT_TRUE(c.request(json, &r)) << json;
        EXPECT_EQ(kyrel_test::json_get(r, "ok"), "true") << json << "\n" << r;
    };
    ask(login_json("admin", "lumen406"));
    ask(std::string(R"({"action":"change_password","new_password":")") + kBackendPassword + "\"}");
    ask(sql_json("CREATE TABLE notes (id int PRIMARY KEY, body string)"));
    ask(sql_json("INSERT INTO notes (id, body) VALUES (1, 'default only')"));
    ask(sql_json("CREATE DATABASE shop"));
    ask(sql_json("USE shop"));
    ask(sql_json("CREATE TABLE stock (id int PRIMARY KEY, item string)"));
    ask(sql_json("INSERT INTO stock (id, item) VALUES (1, 'bolt')"));
}

TEST(RouterLiveBackend, RoutesLoginsQueriesAndGrants) {
    kyrel_test::TestServer srv;
    ASSERT_TRUE(srv.start()) << srv.last_error();
    ASSERT_NO_FATAL_FAILURE(prepare_server(srv.port()));

    router_test::TempDir dir;
    const std::string backend_login = std::string(" admin ") + kBackendPassword + "\n";
    router_test::write_file(dir.file("kyreldb_router.config"),
                            "LISTEN_HOST=127.0.0.1\n"
                            "BACKEND main 127.0.0.1 " +
                                std::to_string(srv.port()) +
                                "\n"
                                "DATABASE default main\n"
                                "DATABASE shop main\n"
                                "ADMIN boss boss-pw" +
                                backend_login + "USER clerk clerk-pw" + backend_login +
                                "GRANT clerk shop READ\n");
    router_test::RouterProcess router(dir, router_test::free_port());
    ASSERT_TRUE(router.start()) << router.stderr_text();

    router_test::FrameClient clerk;
    ASSERT_TRUE(clerk.connect(router.port()));
    EXPECT_EQ(router_test::json_get(clerk.req(login_json("clerk", kBackendPassword)), "ok"),
              "false")
        << "the backend password is not the router password";
    std::string r = clerk.req(login_json("clerk", "clerk-pw"));
    ASSERT_EQ(router_test::json_get(r, "ok"), "true") << r;
    EXPECT_EQ(router_test::json_get(r, "current_db"), "default") << r;

    r = clerk.req(sql_json("SELECT * FROM notes"));
    EXPECT_EQ(router_test::json_get(r, "error"), "permission denied for current database") << r;
    r = clerk.req(sql_json("USE shop"));
    ASSERT_EQ(router_test::json_get(r, "ok"), "true") << r;
    r = clerk.req(sql_json("SELECT id, item FROM stock ORDER BY id"));
    EXPECT_EQ(r, R"({"ok":true,"table":"stock","rows":[{"id":1,"item":"bolt"}]})");

    // READ refuses every kind of write, and none reaches the server.
    for (const char* sql :
         {"INSERT INTO stock (id, item) VALUES (2, 'nut')",
          "UPDATE stock SET item = 'gone' WHERE id = 1", "DELETE FROM stock WHERE id = 1",
          "CREATE TABLE extra (id int PRIMARY KEY)"}) {
        r = clerk.req(sql_json(sql));
        EXPECT_EQ(router_test::json_get(r, "ok"), "false") << sql << "\n" << r;
        EXPECT_EQ(router_test::json_get(r, "error"), "permission denied for current database")
            << sql;
    }
    r = clerk.req(sql_json("SELECT id, item FROM stock ORDER BY id"));
    EXPECT_EQ(r, R"({"ok":true,"table":"stock","rows":[{"id":1,"item":"bolt"}]})");
    clerk.close();

    // The administrator writes through the router; its default database is
    // served even by a backend connection the clerk left at "shop".
    router_test::FrameClient boss;
    ASSERT_TRUE(boss.connect(router.port()));
    ASSERT_EQ(router_test::json_get(boss.req(login_json("boss", "boss-pw")), "ok"), "true");
    EXPECT_TRUE(router_test::wait_for([&] {
        return boss.req(R"({"action":"router_pools"})").find("\"idle_connections\":1") !=
               std::string::npos;
    })) << "the clerk's backend connection is pooled";
    r = boss.req(sql_json("SELECT body FROM notes"));
    EXPECT_EQ(r, R"({"ok":true,"table":"notes","rows":[{"body":"default only"}]})");
    r = boss.req(R"({"action":"router_pools"})");
    EXPECT_NE(r.find("\"reused\":1"), std::string::npos) << r;
    ASSERT_EQ(router_test::json_get(boss.req(sql_json("USE shop")), "ok"), "true");
    r = boss.req(sql_json("INSERT INTO stock (id, item) VALUES (2, 'nut')"));
    EXPECT_EQ(router_test::json_get(r, "ok"), "true") << r;

    // The write is on the server, in shop.
    kyrel_test::FrameClient direct;
    ASSERT_TRUE(direct.connect(srv.port()));
    ASSERT_TRUE(direct.request(login_json("admin", kBackendPassword), &r));
    ASSERT_EQ(kyrel_test::json_get(r, "ok"), "true") << r;
    ASSERT_TRUE(direct.request(sql_json("USE shop"), &r));
    ASSERT_TRUE(direct.request(sql_json("SELECT item FROM stock ORDER BY id"), &r));
    EXPECT_EQ(r, R"({"ok":true,"table":"stock","rows":[{"item":"bolt"},{"item":"nut"}]})");

    boss.close();
    EXPECT_EQ(router.stop(), 0) << router.stderr_text();
    EXPECT_EQ(srv.stop(), 0) << srv.stderr_text();
}

}  // namespace

namespace {

// A server and a router in front of it, both stopped when the test ends.
class ServerAndRouter : public ::testing::Test {
  protected:
    // Writes the router's configuration and starts the router.
    void start_router(const std::string& config) {
        router_test::write_file(dir_.file("kyreldb_router.config"), config);
        router_.reset(new router_test::RouterProcess(dir_, router_test::free_port()));
        ASSERT_TRUE(router_->start()) << router_->stderr_text();
    }
    void TearDown() override {
        if (router_) {
            EXPECT_EQ(router_->stop(), 0) << router_->stderr_text();
        }
        EXPECT_EQ(srv_.stop(), 0) << srv_.stderr_text();
    }

    kyrel_test::TestServer srv_;
    router_test::TempDir dir_;
    std::unique_ptr<router_test::RouterProcess> router_;
};

// A server with a database "shop" (three rows in stock), a table of about
// 9.5 MiB in "default", and the ready server users frank (one-to-one with a
// router user) and shared (behind two router users); a router in front.
class LiveRouter : public ServerAndRouter {
  protected:
    void SetUp() override {
        ASSERT_TRUE(srv_.start()) << srv_.last_error();
        ASSERT_NO_FATAL_FAILURE(prepare());
        start_router("LISTEN_HOST=127.0.0.1\nBACKEND main 127.0.0.1 " +
                     std::to_string(srv_.port()) +
                     "\nDATABASE default main\nDATABASE shop main\n"
                     "ADMIN boss boss-pw admin " +
                     kBackendPassword + "\nUSER owner owner-pw admin " + kBackendPassword +
                     "\nUSER clerk clerk-pw admin " + kBackendPassword +
                     "\nUSER frank frankpw\n"
                     "USER twin1 t1 shared sharedpw\nUSER twin2 t2 shared sharedpw\n"
                     "GRANT owner shop FULL\nGRANT clerk shop READ\nGRANT frank shop READ\n"
                     "GRANT twin1 shop READ\nGRANT twin2 shop READ\n");
    }

    void prepare() {
        kyrel_test::FrameClient c;
        ASSERT_TRUE(c.connect(srv_.port()));
        std::string r;
        auto ask = [&](const std::string& json) {
            ASSERT_TRUE(c.request(json, &r)) << json.substr(0, 200);
            ASSERT_EQ(kyrel_test::json_get(r, "ok"), "true") << json.substr(0, 200) << "\n" << r;
        };
        ask(login_json("admin", "lumen406"));
        ask(std::string(R"({"action":"change_password","new_password":")") + kBackendPassword +
            "\"}");
        ask(sql_json("CREATE TABLE big (id int PRIMARY KEY, body string)"));
        for (int i = 1; i <= 9; i++)
            ask(R"({"action":"insert","table":"big","data":{"id":)" + std::to_string(i) +
                R"(,"body":")" + std::string(1100 * 1024, static_cast<char>('a' + i)) + "\"}}");
        ask(sql_json("CREATE DATABASE shop"));
        ask(sql_json("USE shop"));
        ask(sql_json("CREATE TABLE stock (id int PRIMARY KEY, item string)"));
        ask(sql_json("INSERT INTO stock (id, item) VALUES (1, 'bolt'), (2, 'nut'), (3, 'pin')"));
        ask(sql_json("CREATE TABLE log (id int PRIMARY KEY, action string, sql string)"));
        for (const char* user : {"frank", "shared"}) {
            ask(sql_json(std::string("CREATE USER ") + user + " IDENTIFIED BY 'first-pw'"));
            ask(sql_json(std::string("GRANT READ ON shop TO ") + user));
            kyrel_test::FrameClient u;
            ASSERT_TRUE(u.connect(srv_.port()));
            ASSERT_TRUE(u.request(login_json(user, "first-pw"), &r));
            std::string pw = std::string(user) == "frank" ? "frankpw" : "sharedpw";
            ASSERT_TRUE(
                u.request(R"({"action":"change_password","new_password":")" + pw + "\"}", &r));
            ASSERT_EQ(kyrel_test::json_get(r, "ok"), "true") << r;
        }
    }

    // A router connection logged in as user; fails the test when refused.
    std::unique_ptr<router_test::FrameClient> login(const std::string& user,
                                                    const std::string& pw) {
        std::unique_ptr<router_test::FrameClient> c(new router_test::FrameClient);
        EXPECT_TRUE(c->connect(router_->port()));
        std::string r = c->req(login_json(user, pw));
        EXPECT_EQ(router_test::json_get(r, "ok"), "true") << user << ": " << r;
        return c;
    }

    // The reply of one request sent straight to the server as user.
    std::string direct(const std::string& user, const std::string& pw, const std::string& db,
                       const std::string& json) {
        kyrel_test::FrameClient c;
        std::string r;
        if (!c.connect(srv_.port()) || !c.request(login_json(user, pw), &r)) return "<no server>";
        if (kyrel_test::json_get(r, "ok") != "true") return r;
        if (!c.request(sql_json("USE " + db), &r)) return "<no server>";
        return c.request(json, &r) ? r : "<no reply>";
    }
};

const char kStock[] =
    R"({"ok":true,"table":"stock","rows":[{"id":1,"item":"bolt"},{"id":2,"item":"nut"},{"id":3,"item":"pin"}]})";

TEST_F(LiveRouter, ReadUserCannotHideWritesOrUseBehindDecoyMembers) {
    auto clerk = login("clerk", "clerk-pw");
    ASSERT_EQ(router_test::json_get(clerk->req(sql_json("USE shop")), "ok"), "true");
    const char kDenied[] = "permission denied for current database";
    const char kNotAllowed[] = "user is not allowed to use this database";
    const char kAmbiguous[] = "ambiguous request: repeated or nested action or sql member";
    struct Case {
        const char *request, *error;
    };
    const Case cases[] = {
        // A string value that spells a member name is not that member.
        {R"({"action":"sql","a":"SELECT 1","sql":"DELETE FROM stock WHERE id = 1"})", kDenied},
        {R"({"note":"action","x":"show_tables","action":"drop_table","table":"stock"})", kDenied},
        {R"({"action":"sql","a":"SELECT 1","sql":"USE default"})", kNotAllowed},
        // Escapes are decoded as the server decodes them.
        {R"({"action":"sql","sql":"\u0044ELETE FROM stock WHERE id = 2"})", kDenied},
        {R"({"action":"sq\u006c","sql":"\u0055SE default"})", kNotAllowed},
        {R"({"action":"\u0064rop_table","table":"stock"})", kDenied},
        // Members that two readers could take differently are refused.
        {R"({"action":"show_tables","action":"drop_table","table":"stock"})", kAmbiguous},
        {R"({"action":"sql","sql":"SELECT 1","sql":"DELETE FROM stock WHERE id = 3"})", kAmbiguous},
        {R"({"opts":{"action":"drop_table"},"action":"show_tables","table":"stock"})", kAmbiguous},
        {R"({"opts":{"sql":"USE default"},"action":"sql","sql":"SELECT 1"})", kAmbiguous},
        {R"({"action":"sql","sql":"SELECT 1\u0000"})", "missing sql"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(router_test::json_get(clerk->req(c.request), "error"), c.error) << c.request;

    // Nothing changed, the session is still on shop, and default stays unread.
    EXPECT_EQ(clerk->req(sql_json("SELECT id, item FROM stock ORDER BY id")), kStock);
    std::string r = clerk->req(sql_json("SELECT body FROM big WHERE id = 1"));
    EXPECT_EQ(router_test::json_get(r, "ok"), "false") << r.substr(0, 200);
    EXPECT_EQ(direct("admin", kBackendPassword, "shop",
                     sql_json("SELECT id, item FROM stock ORDER BY id")),
              kStock);
    // Columns named like request members, after the real action, are data.
    auto owner = login("owner", "owner-pw");
    ASSERT_EQ(router_test::json_get(owner->req(sql_json("USE shop")), "ok"), "true");
    r = owner->req(
        R"({"action":"insert","table":"log","data":{"id":1,"action":"drop_table","sql":"x"}})");
    EXPECT_EQ(router_test::json_get(r, "ok"), "true") << r;
    EXPECT_EQ(owner->req(sql_json("SELECT action, sql FROM log")),
              R"({"ok":true,"table":"log","rows":[{"action":"drop_table","sql":"x"}]})");
}

TEST_F(LiveRouter, RepliesAboveEightMebibytesPassWhole) {
    const std::string select = sql_json("SELECT id, body FROM big ORDER BY id");
    std::string expected = direct("admin", kBackendPassword, "default", select);
    ASSERT_GT(expected.size(), 9u * 1024u * 1024u);
    ASSERT_EQ(kyrel_test::json_get(expected.substr(0, 100), "ok"), "true");
    auto boss = login("boss", "boss-pw");
    for (int round = 0; round < 2; round++) {
        std::string r = boss->req(select);
        EXPECT_EQ(r.size(), expected.size()) << r.substr(0, 200);
        EXPECT_TRUE(r == expected) << "round " << round;
    }
    // The connection is still in step afterwards.
    EXPECT_EQ(router_test::json_get(boss->req(sql_json("SELECT id FROM big WHERE id = 2")), "ok"),
              "true");
    std::string stats = boss->req(R"({"action":"router_stats"})");
    EXPECT_EQ(router_test::json_get(stats, "backend_errors"), "0") << stats;
}

TEST_F(LiveRouter, CursorsNeverReachAnotherSession) {
    auto boss = login("boss", "boss-pw");
    const char* const openers[] = {
        R"({"action":"cursor_open","sql":"SELECT * FROM stock","fetch":1})",
        R"({"action":"select_cursor","sql":"SELECT * FROM stock","fetch":1})",
    };
    auto closed = [&] {
        return std::stoi(
            router_test::json_get(boss->req(R"({"action":"router_pools"})"), "closed"));
    };
    for (const char* open : openers) {
        // owner and boss log in to the backend as the same user, so an idle
        // connection of one would serve the other.
        auto owner = login("owner", "owner-pw");
        ASSERT_EQ(router_test::json_get(owner->req(sql_json("USE shop")), "ok"), "true");
        std::string r = owner->req(open);
        ASSERT_EQ(router_test::json_get(r, "done"), "false") << r;
        std::string id = router_test::json_get(r, "cursor_id");
        int before = closed();
        owner->close();
        ASSERT_TRUE(router_test::wait_for([&] { return closed() == before + 1; }))
            << "the cursor's connection is closed, not pooled: "
            << boss->req(R"({"action":"router_pools"})");

        ASSERT_EQ(router_test::json_get(boss->req(sql_json("USE shop")), "ok"), "true");
        EXPECT_EQ(router_test::json_get(
                      boss->req(R"({"action":"cursor_fetch","cursor_id":)" + id + "}"), "error"),
                  "cursor not found")
            << open;
        boss->close();
        boss = login("boss", "boss-pw");
    }
    // Connections without cursors are still pooled and reused.
    auto clerk = login("clerk", "clerk-pw");
    EXPECT_EQ(clerk->req(sql_json("USE shop")).find("\"ok\":true"), 1u);
    clerk->close();
    EXPECT_TRUE(router_test::wait_for([&] {
        return router_test::json_get(boss->req(R"({"action":"router_pools"})"), "returned") != "0";
    }));
}

TEST_F(LiveRouter, PasswordChangeSavesWhatTheServerStores) {
    // Links planted at the temporary name an older router used point at a
    // file that must never receive the configuration.
    const std::string config = router_->config_path();
    const std::string target = dir_.file("stolen");
    ASSERT_EQ(symlink(target.c_str(), (config + ".tmp." + std::to_string(router_->pid())).c_str()),
              0);

    struct Case {
        const char* request;
        const char* stored;
    };
    const Case cases[] = {
        {R"({"action":"change_password","new_password":"fr\u0041nk2"})", "frAnk2"},
        {R"({"action":"sql","sql":"CHANGE PASSWORD 'frank3;'"})", "frank3"},
        {R"({"action":"sql","sql":"CHANGE PASSWORD TO fr\u00e9nk4;"})", "fr\xc3\xa9nk4"},
    };
    std::string pw = "frankpw";
    for (const Case& c : cases) {
        auto frank = login("frank", pw);
        ASSERT_EQ(router_test::json_get(frank->req(sql_json("USE shop")), "ok"), "true");
        EXPECT_EQ(
            frank->req(c.request),
            R"({"ok":true,"message":"password changed","router_password_updated":true,"router_config_saved":true})")
            << c.request;
        pw = c.stored;
        std::string text = router_test::read_file(config);
        EXPECT_NE(text.find("\nUSER frank " + pw + " frank " + pw + "\n"), std::string::npos)
            << text;
        // The next login through the router reaches the server with it.
        auto again = login("frank", pw);
        ASSERT_EQ(router_test::json_get(again->req(sql_json("USE shop")), "ok"), "true");
        EXPECT_EQ(again->req(sql_json("SELECT id, item FROM stock ORDER BY id")), kStock);
        EXPECT_EQ(direct("frank", pw, "shop", sql_json("SELECT id FROM stock WHERE id = 1")),
                  R"({"ok":true,"table":"stock","rows":[{"id":1}]})");
    }
    struct stat st;
    ASSERT_EQ(lstat(config.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(lstat(target.c_str(), &st), 0) << "the planted link was followed";

    // twin1 and twin2 share the server user: neither may change it in band.
    const std::string before = router_test::read_file(config);
    auto twin1 = login("twin1", "t1");
    ASSERT_EQ(router_test::json_get(twin1->req(sql_json("USE shop")), "ok"), "true");
    EXPECT_EQ(router_test::json_get(
                  twin1->req(R"({"action":"change_password","new_password":"other1"})"), "error"),
              "password change refused: the backend user is shared with other Router users; "
              "change it on the backend and in the Router config");
    EXPECT_EQ(router_test::read_file(config), before);
    auto twin2 = login("twin2", "t2");
    ASSERT_EQ(router_test::json_get(twin2->req(sql_json("USE shop")), "ok"), "true");
    EXPECT_EQ(twin2->req(sql_json("SELECT id, item FROM stock ORDER BY id")), kStock);
}

}  // namespace

namespace {

// A connection to 127.0.0.1:port from the loopback address source, which is
// not the local host's own address to the router; -1 when it fails.
int connect_from(const char* source, int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || inet_pton(AF_INET, source, &from.sin_addr) != 1 ||
        inet_pton(AF_INET, "127.0.0.1", &to.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    timeval tv{15, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

// Router users mapped to the server's administrator: the router
// administrator boss, cfg with FULL on config_db (and WRITE on default) and
// reader with READ on config_db. The server has the procedure add_user(n) in
// config_db, which inserts a user row named n.
class LiveSystemRows : public ServerAndRouter {
  protected:
    void SetUp() override {
        ASSERT_TRUE(srv_.start()) << srv_.last_error();
        kyrel_test::FrameClient c;
        ASSERT_TRUE(c.connect(srv_.port()));
        std::string r;
        for (const std::string& json :
             {login_json("admin", "lumen406"),
              std::string(R"({"action":"change_password","new_password":")") + kBackendPassword +
                  "\"}",
              sql_json("CREATE TABLE notes (id int PRIMARY KEY)"), sql_json("USE config_db"),
              sql_json("CREATE PROCEDURE add_user(IN n STRING) ON kyreldb_users AS $$ INSERT "
                       "INTO kyreldb_users (username, active) VALUES (:n, true); $$")}) {
            ASSERT_TRUE(c.request(json, &r)) << json;
            ASSERT_EQ(kyrel_test::json_get(r, "ok"), "true") << json << "\n" << r;
        }
        const std::string as_admin = std::string(" admin ") + kBackendPassword + "\n";
        start_router("LISTEN_HOST=0.0.0.0\nBACKEND main 127.0.0.1 " + std::to_string(srv_.port()) +
                     "\nDATABASE default main\nDATABASE config_db main\n"
                     "ADMIN boss boss-pw" +
                     as_admin + "USER cfg cfg-pw" + as_admin + "USER reader reader-pw" + as_admin +
                     "GRANT cfg config_db FULL\nGRANT cfg default WRITE\n"
                     "GRANT reader config_db READ\n");
    }

    // Logs in on the connection fd (taken over) and moves to config_db.
    std::unique_ptr<router_test::FrameClient> session(int fd, const std::string& user,
                                                      const std::string& pw) {
        std::unique_ptr<router_test::FrameClient> c(new router_test::FrameClient);
        EXPECT_GE(fd, 0) << user;
        c->adopt(fd);
        std::string r = c->req(login_json(user, pw));
        EXPECT_EQ(router_test::json_get(r, "ok"), "true") << user << ": " << r;
        r = c->req(sql_json("USE config_db"));
        EXPECT_EQ(router_test::json_get(r, "ok"), "true") << user << ": " << r;
        return c;
    }
    int local_fd() { return connect_from("127.0.0.1", router_->port()); }

    // The rows of the three system tables as the server's administrator
    // reads them (without the login times, which every login changes).
    std::string state() {
        kyrel_test::FrameClient c;
        std::string out, r;
        if (!c.connect(srv_.port()) || !c.request(login_json("admin", kBackendPassword), &r))
            return "<no server>";
        for (const char* sql :
             {"USE config_db", "SELECT username, active FROM kyreldb_users",
              "SELECT * FROM kyreldb_user_roles",
              "SELECT proc_key, body_sha256, enabled FROM kyreldb_stored_procedures"}) {
            if (!c.request(sql_json(sql), &r)) return "<no reply>";
            out += std::string(sql) + " -> " + r + "\n";
        }
        return out;
    }
};

constexpr const char* kRefused =
    "system table rows can be changed through router only by a router administrator from "
    "localhost";

// Every form of row change the router forwards, on config_db's tables, in
// an order in which each one succeeds for the server's administrator.
const char* const kSystemRowChanges[] = {
    R"J({"action":"sql","sql":"INSERT INTO kyreldb_users (username, active) VALUES ('mallory', true)"})J",
    R"J({"action":"sql","sql":"UPDATE kyreldb_users SET active = false WHERE username = 'mallory'"})J",
    R"J({"action":"insert","table":"kyreldb_users","data":{"username":"mallory2","active":true}})J",
    R"J({"action":"batch_insert","table":"kyreldb_user_roles","rows":[{"grant_key":"m@default","username":"m","database_name":"default","role":"FULL"}]})J",
    R"J({"action":"execute","sql":"delete\tfrom kyreldb_user_roles WHERE grant_key = 'm@default'"})J",
    R"J({"action":"query","sql":"UPDATE kyreldb_stored_procedures SET enabled = true WHERE proc_key = 'config_db.add_user'"})J",
    R"J({"action":"sql","sql":"CALL add_user('callee1')"
})J",
    R"J({"action":"call_procedure","procedure":"add_user","args":"'callee2'"})J",
};

TEST_F(LiveSystemRows, OnlyALocalRouterAdministratorChangesThem) {
    const std::string before = state();
    ASSERT_NE(before.find(R"({"username":"admin","active":true})"), std::string::npos) << before;

    // Refused: the router administrator and the FULL user from another
    // address, and the FULL user on this host; all log in to the server as
    // its administrator.
    struct Peer {
        std::string what;
        int fd;
        const char *user, *pw;
    };
    std::vector<Peer> peers = {
        {"boss from 127.0.0.2", connect_from("127.0.0.2", router_->port()), "boss", "boss-pw"},
        {"cfg from 127.0.0.2", connect_from("127.0.0.2", router_->port()), "cfg", "cfg-pw"},
        {"cfg on this host", local_fd(), "cfg", "cfg-pw"},
    };
    kyrel_test::TestNetns ns;
    if (ns.ok()) {
        for (const char* user : {"boss", "cfg"})
            peers.push_back({std::string(user) + " from a network namespace",
                             ns.connect_inside(ns.host_address(), router_->port()), user,
                             std::string(user) == "boss" ? "boss-pw" : "cfg-pw"});
    }
    for (const Peer& p : peers) {
        auto c = session(p.fd, p.user, p.pw);
        for (const char* req : kSystemRowChanges)
            EXPECT_EQ(router_test::json_get(c->req(req), "error"), kRefused)
                << p.what << ": " << req;
        // Reading stays as the grant allows, and so do row changes elsewhere.
        std::string r =
            c->req(sql_json("SELECT username FROM kyreldb_users WHERE username = 'admin'"));
        EXPECT_EQ(r, R"({"ok":true,"table":"kyreldb_users","rows":[{"username":"admin"}]})")
            << p.what;
        ASSERT_EQ(router_test::json_get(c->req(sql_json("USE default")), "ok"), "true");
        r = c->req(R"({"action":"insert","table":"notes","data":{"id":)" +
                   std::to_string(&p - peers.data() + 1) + "}}");
        EXPECT_EQ(router_test::json_get(r, "ok"), "true") << p.what << ": " << r;
    }
    EXPECT_EQ(state(), before);

    // A READ user on another address reads them and changes none.
    auto reader = session(connect_from("127.0.0.2", router_->port()), "reader", "reader-pw");
    EXPECT_EQ(router_test::json_get(
                  reader->req(sql_json("SELECT grant_key FROM kyreldb_user_roles")), "ok"),
              "true");
    EXPECT_EQ(router_test::json_get(reader->req(kSystemRowChanges[0]), "ok"), "false");

    // The router administrator on this host changes them, by every form.
    auto boss = session(local_fd(), "boss", "boss-pw");
    for (const char* req : kSystemRowChanges) {
        std::string r = boss->req(req);
        EXPECT_EQ(router_test::json_get(r, "ok"), "true") << req << " -> " << r;
    }
    const std::string after = state();
    for (const char* row :
         {R"({"username":"mallory","active":false})", R"({"username":"mallory2","active":true})",
          R"({"username":"callee1","active":true})", R"({"username":"callee2","active":true})"})
        EXPECT_NE(after.find(row), std::string::npos) << row << "\n" << after;
    EXPECT_EQ(after.find("m@default"), std::string::npos) << after;
    if (!ns.ok()) GTEST_SKIP() << "checked from 127.0.0.2 only: " << ns.why();
}

}  // namespace
