// The real router against fake backends: routing by database, pooled
// backend connections, permissions, reports, health and password change.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "router_harness.h"

using namespace router_test;

namespace {

class RoutingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dead_port_ = free_port();
        b1_.set_password("admin", "bpw");
        write_file(dir_.file("kyreldb_router.config"), config_text());
        router_.reset(new RouterProcess(dir_, free_port()));
        ASSERT_TRUE(router_->start()) << router_->stderr_text();
    }
    void TearDown() override {
        EXPECT_EQ(router_->stop(), 0) << router_->stderr_text();
        b1_.stop();
        b2_.stop();
    }
    virtual std::string extra_settings() { return ""; }
    std::string config_text() {
        return "LISTEN_HOST=127.0.0.1\n" + extra_settings() + "BACKEND b1 127.0.0.1 " +
               std::to_string(b1_.port()) + "\n" + "BACKEND b2 127.0.0.1 " +
               std::to_string(b2_.port()) + "\n" + "BACKEND dead 127.0.0.1 " +
               std::to_string(dead_port_) + "\n" +
               "DATABASE default b1\nDATABASE sales b1\nDATABASE hr b2\nDATABASE lost dead\n"
               "ADMIN admin apw admin bpw\nUSER reader rpw\nUSER writer wpw\nUSER owner opw\n"
               "USER twin1 t1 shared spw\nUSER twin2 t2 shared spw\n"
               "GRANT reader default READ\nGRANT writer default WRITE\nGRANT owner default FULL\n"
               "GRANT twin1 * READ\nGRANT twin2 * READ\n";
    }
    // A connected client logged in as user with password pw.
    std::unique_ptr<FrameClient> login(const std::string& user, const std::string& pw) {
        std::unique_ptr<FrameClient> c(new FrameClient);
        EXPECT_TRUE(c->connect(router_->port()));
        std::string r =
            c->req(R"({"action":"login","username":")" + user + R"(","password":")" + pw + R"("})");
        EXPECT_EQ(json_get(r, "ok"), "true") << r;
        return c;
    }
    static std::string sql(const std::string& text) {
        return R"({"action":"sql","sql":")" + text + R"("})";
    }

    TempDir dir_;
    FakeBackend b1_{"b1"}, b2_{"b2"};
    int dead_port_ = 0;
    std::unique_ptr<RouterProcess> router_;
};

TEST_F(RoutingTest, RoutesByDatabaseAndPoolsConnections) {
    FrameClient anon;
    ASSERT_TRUE(anon.connect(router_->port()));
    EXPECT_EQ(anon.req(R"({"action":"PING"})"),
              R"({"ok":true,"router":"KyrelDB Router","pong":true})");
    EXPECT_EQ(json_get(anon.req(sql("SELECT 1")), "error"), "not authenticated");
    std::string action128 = R"({"action":")" + std::string(128, 'a') + R"("})";
    EXPECT_EQ(json_get(anon.req(action128), "error"), "missing action");

    auto c = login("ADMIN", "apw");
    EXPECT_EQ(c->req(sql("SELECT 1")), R"({"ok":true,"backend":"b1","n":1})");
    std::vector<std::string> seen = b1_.requests();
    ASSERT_GE(seen.size(), 3u);
    // The health thread may have pinged in between; look at the session's requests.
    std::vector<std::string> session;
    for (auto& r : seen)
        if (json_get(r, "action") != "ping") session.push_back(r);
    ASSERT_EQ(session.size(), 3u);
    EXPECT_EQ(session[0], R"({"action":"login","username":"admin","password":"bpw"})");
    EXPECT_EQ(session[1], R"({"action":"sql","sql":"USE default;"})");
    EXPECT_EQ(session[2], sql("SELECT 1"));
    // A backend's refusal comes back byte for byte.
    EXPECT_EQ(c->req(sql("SELECT fail")), R"({"ok":false, "error":"table not found"})");

    // Another database on the same backend sends only USE.
    EXPECT_EQ(json_get(c->req(sql("USE sales;")), "message"), "using database sales");
    // A database on another backend returns the first connection to its pool.
    EXPECT_EQ(json_get(c->req(sql("use 'hr'")), "message"), "using database hr");
    EXPECT_EQ(json_get(c->req(sql("SELECT 2")), "backend"), "b2");
    std::string pools = c->req(R"({"action":"router_pools"})");
    EXPECT_NE(pools.find(R"({"backend":"b1","idle_connections":1})"), std::string::npos) << pools;

    // A second session of the same backend user takes the pooled connection.
    auto c2 = login("admin", "apw");
    EXPECT_EQ(json_get(c2->req(sql("SELECT 3")), "backend"), "b1");
    pools = c2->req(R"({"action":"router_pools"})");
    EXPECT_EQ(json_get(pools, "reused"), "1") << pools;
    EXPECT_EQ(json_get(pools, "created"), "2") << pools;

    // Users with a different backend password never share it.
    auto t1 = login("twin1", "t1");
    EXPECT_EQ(json_get(t1->req(sql("SELECT 4")), "backend"), "b1");
    t1->close();
    auto t2 = login("twin2", "t2");
    EXPECT_TRUE(wait_for(
        [&] { return json_get(c2->req(R"({"action":"router_pools"})"), "returned") == "2"; }));
    EXPECT_EQ(json_get(t2->req(sql("SELECT 5")), "backend"), "b1");
    pools = c2->req(R"({"action":"router_pools"})");
    EXPECT_EQ(json_get(pools, "reused"), "2") << "twin2 shares twin1's backend user: " << pools;
}

TEST_F(RoutingTest, PermissionsFollowGrantsAndClasses) {
    struct Case {
        const char *user, *pw, *request, *error;  // error "" = forwarded
    };
    const Case cases[] = {
        {"reader", "rpw", R"({"action":"sql","sql":"SELECT * FROM t"})", ""},
        {"reader", "rpw", R"({"action":"sql","sql":"show tables"})", ""},
        {"reader", "rpw", R"j({"action":"sql","sql":"INSERT INTO t VALUES (1)"})j",
         "permission denied for current database"},
        {"reader", "rpw", R"({"action":"insert","table":"t"})",
         "permission denied for current database"},
        // The backend runs "query" and "execute" as statements: classed by the statement.
        {"reader", "rpw", R"({"action":"query","sql":"DELETE FROM t"})",
         "permission denied for current database"},
        {"reader", "rpw", R"({"action":"query","sql":"SELECT 1"})", ""},
        {"reader", "rpw", R"({"action":"sql","sql":"USE hr"})",
         "user is not allowed to use this database"},
        {"reader", "rpw", R"({"action":"sql","sql":"USE nowhere"})", "unknown database route"},
        {"reader", "rpw", R"({"action":"router_stats"})", "router admin permission required"},
        {"reader", "rpw", R"({"action":"sql","sql":"ROUTER STATUS"})",
         "router admin permission required"},
        {"writer", "wpw", R"({"action":"sql","sql":"SELECT * FROM t"})",
         "permission denied for current database"},
        {"writer", "wpw", R"({"action":"sql","sql":"UPDATE t SET a=1"})", ""},
        {"owner", "opw", R"({"action":"sql","sql":"DROP TABLE t"})", ""},
        // A USE spelled with a tab must not reach the backend as a FULL statement.
        {"owner", "opw", R"({"action":"sql","sql":"USE\thr"})",
         "user is not allowed to use this database"},
        {"owner", "opw", R"({"action":"execute","sql":"use hr"})",
         "user is not allowed to use this database"},
        {"admin", "apw", R"({"action":"sql","sql":"CREATE DATABASE x"})",
         "CREATE DATABASE through router is not supported in phase 1; add the database route to "
         "kyreldb_router.config"},
        {"owner", "opw", R"({"action":"sql","sql":"LOGIN x"})", "invalid LOGIN syntax"},
        {"owner", "opw", R"({"action":"sql"})", "missing sql"},
        {"twin1", "t1", R"j({"action":"sql","sql":"CALL p()"})j",
         "permission denied for current database"},
    };
    for (const Case& c : cases) {
        auto cl = login(c.user, c.pw);
        std::string r = cl->req(c.request);
        if (*c.error)
            EXPECT_EQ(json_get(r, "error"), c.error) << c.user << " " << c.request << " -> " << r;
        else
            EXPECT_EQ(json_get(r, "ok"), "true") << c.user << " " << c.request << " -> " << r;
    }
}

// The backend keeps its reports and its user and database management for
// its administrators, and so does the router, whatever grants or backend
// user a router user has.
TEST_F(RoutingTest, ServerReportsAndManagementNeedARouterAdministrator) {
    const char* const reports[] = {
        R"({"action":"sql","sql":"SHOW STATS"})",
        R"({"action":"sql","sql":"show wal"})",
        R"({"action":"query","sql":"SHOW\nWORKERS"})",
        R"({"action":"execute","sql":"  SHOW MEMORY;"})",
        R"({"action":"sql","sql":"SHOW PERFORMANCE"})",
        R"({"action":"sql","sql":"SHOW CURSORS"})",
        R"({"action":"show_performance"})",
        R"({"action":"show_memory"})",
        R"({"action":"show_cursors"})",
        R"({"action":"show_wal"})",
        R"({"action":"Show_Workers"})",
    };
    const char* const management[] = {
        R"({"action":"sql","sql":"CREATE USER spy IDENTIFIED BY 'pw'"})",
        R"({"action":"sql","sql":"create\tuser spy identified by 'pw'"})",
        R"({"action":"sql","sql":"GRANT\u0020FULL ON config_db TO spy"})",
        R"({"action":"execute","sql":"GRANT FULL ON config_db TO spy"})",
        R"({"action":"create_user","username":"spy","password":"pw"})",
        R"({"action":"grant_role","username":"spy","database":"config_db","role":"FULL"})",
        R"({"action":"create_database","database":"loot"})",
        R"({"action":"sql","sql":"CREATE DATABASE loot"})",
    };
    // Requests other than the health probes' pings.
    auto forwarded = [&] {
        size_t n = 0;
        for (const std::string& r : b1_.requests())
            if (json_get(r, "action") != "ping") n++;
        return n;
    };
    size_t seen = forwarded();
    for (const char* user : {"reader", "owner", "writer"}) {
        auto c = login(user, std::string(user).substr(0, 1) + "pw");
        for (const char* req : reports)
            EXPECT_EQ(json_get(c->req(req), "error"), "router admin permission required")
                << user << " " << req;
        for (const char* req : management)
            EXPECT_EQ(json_get(c->req(req), "error"), "router admin permission required")
                << user << " " << req;
    }
    EXPECT_EQ(forwarded(), seen) << "nothing refused reached the backend";
    auto admin = login("admin", "apw");
    for (const char* req : reports) EXPECT_EQ(json_get(admin->req(req), "backend"), "b1") << req;
    for (size_t i = 0; i + 1 < sizeof management / sizeof management[0]; i++)
        EXPECT_EQ(json_get(admin->req(management[i]), "backend"), "b1") << management[i];
}

TEST_F(RoutingTest, ReportsShowHealthAndClients) {
    auto c = login("admin", "apw");
    std::string health = c->req(sql("ROUTER HEALTH"));
    EXPECT_EQ(json_get(health, "ok"), "true") << health;
    size_t dead = health.find(R"("name":"dead")");
    ASSERT_NE(dead, std::string::npos) << health;
    std::string dead_part = health.substr(dead);
    EXPECT_EQ(json_get(dead_part, "healthy"), "false");
    EXPECT_EQ(json_get(dead_part, "last_error"),
              "could not connect to 127.0.0.1:" + std::to_string(dead_port_));
    EXPECT_EQ(json_get(health.substr(health.find(R"("name":"b1")")), "healthy"), "true");

    // A request routed to the dead backend fails with the connect message.
    EXPECT_EQ(json_get(c->req(sql("USE lost")), "error"),
              "could not connect to 127.0.0.1:" + std::to_string(dead_port_));
    std::string dbs = c->req(sql("SHOW DATABASES;"));
    std::string lost = dbs.substr(dbs.find(R"("name":"lost")"));
    EXPECT_EQ(json_get(lost, "route_status"), "backend_unhealthy");
    EXPECT_EQ(json_get(lost, "backend_runtime_failures"), "1");
    EXPECT_EQ(json_get(dbs.substr(dbs.find(R"("name":"hr")")), "route_status"), "ok");

    std::string stats = c->req(R"({"action":"ROUTER_STATUS"})");
    EXPECT_EQ(json_get(stats, "router"), "KyrelDB Router 1.0 R8 Config Health Locking");
    EXPECT_EQ(json_get(stats, "backend_errors"), "1") << stats;
    EXPECT_EQ(json_get(stats, "stored_procedure_call_role"), "FULL");

    std::string clients = c->req(sql("router sessions"));
    EXPECT_EQ(json_get(clients, "active_clients"), "1") << clients;
    EXPECT_EQ(json_get(clients, "username"), "admin");
    EXPECT_EQ(json_get(clients, "router_admin"), "true");
    EXPECT_EQ(json_get(clients, "requests_served"), "5") << "mirrored after the previous reply";

    // A plain user sees every route in SHOW DATABASES.
    auto r = login("reader", "rpw");
    std::string dbs2 = r->req(R"({"action":"show_databases"})");
    EXPECT_NE(dbs2.find(R"("name":"hr")"), std::string::npos) << dbs2;
    EXPECT_EQ(json_get(r->req(R"({"action":"router_databases"})"), "error"),
              "router admin permission required");
}

TEST_F(RoutingTest, PasswordChangeUpdatesBackendAndConfigFile) {
    auto c = login("admin", "apw");
    EXPECT_EQ(json_get(c->req(sql("CHANGE PASSWORD TO 'pa ss'")), "error"),
              "passwords changed through Router cannot be empty or contain whitespace");
    EXPECT_EQ(json_get(c->req(sql("CHANGE PASSWORD a=b")), "error"),
              "passwords changed through Router cannot contain quotes or '='");
    std::string req = sql("CHANGE PASSWORD TO newpw;");
    std::string r = c->req(req);
    EXPECT_EQ(
        r,
        R"({"ok":true,"message":"password changed","router_password_updated":true,"router_config_saved":true})");
    std::vector<std::string> seen = b1_.requests();
    EXPECT_EQ(seen.back(), R"({"action":"change_password","new_password":"newpw"})")
        << "the backend gets the password the router read and saves";

    std::string text = read_file(router_->config_path());
    EXPECT_NE(text.find("\nADMIN admin newpw admin newpw\n"), std::string::npos) << text;
    EXPECT_EQ(text.rfind("# KyrelDB Router configuration\n# Auto-saved", 0), 0u);
    struct stat st;
    ASSERT_EQ(stat(router_->config_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    b1_.set_password("admin", "newpw");
    FrameClient old;
    ASSERT_TRUE(old.connect(router_->port()));
    EXPECT_EQ(
        json_get(old.req(R"({"action":"login","username":"admin","password":"apw"})"), "error"),
        "invalid username or password");
    auto fresh = login("admin", "newpw");
    EXPECT_EQ(json_get(fresh->req(sql("SELECT 1")), "backend"), "b1");

    // Twins share one backend user: a change by one would lock the other
    // out, so it is refused before the backend hears of it.
    b1_.set_password("shared", "spw");
    auto t1 = login("twin1", "t1");
    size_t before = b1_.requests().size();
    std::string saved = read_file(router_->config_path());
    EXPECT_EQ(json_get(t1->req(R"({"action":"change_password","new_password":"s2"})"), "error"),
              "password change refused: the backend user is shared with other Router users; "
              "change it on the backend and in the Router config");
    for (size_t i = before; i < b1_.requests().size(); i++)
        EXPECT_EQ(json_get(b1_.requests()[i], "action"), "ping") << b1_.requests()[i];
    EXPECT_EQ(read_file(router_->config_path()), saved);
    auto t2 = login("twin2", "t2");
    EXPECT_EQ(json_get(t2->req(sql("SELECT 1")), "backend"), "b1");
}

TEST_F(RoutingTest, OversizedFrameIsRefusedAndClosed) {
    FrameClient c;
    ASSERT_TRUE(c.connect(router_->port()));
    const unsigned char hdr[4] = {0x00, 0x80, 0x00, 0x01};  // 8 MiB + 1
    ASSERT_TRUE(c.send_raw(std::string(reinterpret_cast<const char*>(hdr), 4)));
    std::string reply;
    ASSERT_TRUE(c.read_reply(&reply));
    EXPECT_EQ(reply, R"({"ok":false,"error":"invalid request size"})");
    EXPECT_FALSE(c.read_reply(&reply)) << "connection closed";
}

class NoPoolRoutingTest : public RoutingTest {
  protected:
    std::string extra_settings() override { return "BACKEND_POOL_MAX_PER_BACKEND=0\n"; }
};

TEST_F(NoPoolRoutingTest, EveryBindingOpensANewConnection) {
    for (int i = 0; i < 2; i++) {
        auto c = login("admin", "apw");
        EXPECT_EQ(json_get(c->req(sql("SELECT 1")), "backend"), "b1");
    }
    auto c = login("admin", "apw");
    EXPECT_TRUE(wait_for(
        [&] { return json_get(c->req(R"({"action":"router_pools"})"), "closed") == "2"; }));
    std::string pools = c->req(R"({"action":"router_pools"})");
    EXPECT_EQ(json_get(pools, "reused"), "0");
    EXPECT_EQ(json_get(pools, "returned"), "0");
}

}  // namespace
