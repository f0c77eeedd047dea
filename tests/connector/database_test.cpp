// Database client API against the scripted frame server: the requests each
// operation sends, the name checks that keep caller names from adding SQL,
// and what the handle remembers.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "connector_owners.h"
#include "fake_frame_server.h"
#include "kyreldb_database.h"

namespace {

std::string sql_request(const std::string& escaped_sql) {
    return R"({"action":"sql","sql":")" + escaped_sql + R"("})";
}

class DatabaseTest : public ::testing::Test {
  protected:
    void SetUp() override {
        h.reset(kyreldb_database_open("127.0.0.1", srv.port()));
        ASSERT_NE(h, nullptr);
    }
    FakeFrameServer srv;
    Handle h;
};

TEST(DatabaseOpen, FailsWhereNothingListens) {
    RefusingPort refusing;
    EXPECT_EQ(kyreldb_database_open("127.0.0.1", refusing.port()), nullptr);
    EXPECT_EQ(kyreldb_connect_timeout("127.0.0.1", refusing.port(), 1), nullptr);
    EXPECT_EQ(kyreldb_connect("no-such-host.invalid", 1), nullptr);
}

TEST_F(DatabaseTest, OpenConnectsAtOnceWithDefaults) {
    ASSERT_TRUE(kc_connection_is_connected(h->connection));
    EXPECT_EQ(kc_connection_mode(h->connection), 1);
    EXPECT_EQ(kc_connection_timeout(h->connection), 120);
    EXPECT_STREQ(h->current_database, "default");
    EXPECT_STREQ(h->username, "");
    EXPECT_EQ(h->must_change_password, 0);

    Handle t(kyreldb_connect_timeout(nullptr, srv.port(), 7));
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(kc_connection_host(t->connection), "127.0.0.1");
    EXPECT_EQ(kc_connection_timeout(t->connection), 7);
}

TEST_F(DatabaseTest, LoginRemembersOnlySuccess) {
    srv.push(FakeFrameServer::reply(
        R"({"ok":true,"message":"login successful","username":"admin","must_change_password":true})"));
    Result ok(kyreldb_database_login(h.get(), "admin", "pa\"ss\\"));
    EXPECT_EQ(kc_result_ok(ok.get()), 1);
    EXPECT_EQ(srv.last_request(), R"({"action":"login","username":"admin","password":"pa\"ss\\"})");
    EXPECT_STREQ(h->username, "admin");
    EXPECT_EQ(h->must_change_password, 1);

    srv.push(FakeFrameServer::reply(R"({"ok":false,"error":"invalid credentials"})"));
    Result bad(kyreldb_login(h.get(), "mallory", "x"));
    EXPECT_EQ(kc_result_ok(bad.get()), 0);
    EXPECT_STREQ(kc_result_error(bad.get()), "invalid credentials");
    EXPECT_STREQ(h->username, "admin");
    EXPECT_EQ(h->must_change_password, 1);

    Result nul(kyreldb_database_login(h.get(), nullptr, nullptr));
    EXPECT_EQ(srv.last_request(), R"({"action":"login","username":"","password":""})");
    EXPECT_STREQ(h->username, "");
    EXPECT_EQ(h->must_change_password, 0);

    std::string long_user(300, 'u');
    Result cut(kyreldb_database_login(h.get(), long_user.c_str(), "p"));
    EXPECT_EQ(std::string(h->username), long_user.substr(0, 127));
}

TEST_F(DatabaseTest, ChangePasswordClearsFlagOnSuccess) {
    h->must_change_password = 1;
    srv.push(FakeFrameServer::reply(R"({"ok":false,"error":"not logged in"})"));
    Result bad(kyreldb_database_change_password(h.get(), "n\new"));
    EXPECT_EQ(srv.last_request(), R"({"action":"change_password","new_password":"n\new"})");
    EXPECT_EQ(h->must_change_password, 1);

    Result ok(kyreldb_change_password(h.get(), "fresh"));
    EXPECT_EQ(kc_result_ok(ok.get()), 1);
    EXPECT_EQ(h->must_change_password, 0);
}

TEST_F(DatabaseTest, UseDatabase) {
    Result ok(kyreldb_database_use_database(h.get(), "sales"));
    EXPECT_EQ(srv.last_request(), sql_request("USE sales;"));
    EXPECT_STREQ(h->current_database, "sales");

    srv.push(FakeFrameServer::reply(R"({"ok":false,"error":"unknown database"})"));
    Result missing(kyreldb_use_database(h.get(), "nope"));
    EXPECT_STREQ(kc_result_error(missing.get()), "unknown database");
    EXPECT_STREQ(h->current_database, "sales");

    size_t sent = srv.request_count();
    for (const char* name :
         {"a b", "x;DROP DATABASE y", "q'", "", "1st", static_cast<const char*>(nullptr)}) {
        Result r(kyreldb_database_use_database(h.get(), name));
        EXPECT_STREQ(kc_result_error(r.get()), "unsafe identifier") << (name ? name : "NULL");
    }
    EXPECT_EQ(srv.request_count(), sent);
    EXPECT_STREQ(h->current_database, "sales");

    std::string long_name(200, 'd');
    Result l(kyreldb_database_use_database(h.get(), long_name.c_str()));
    EXPECT_EQ(srv.last_request(), sql_request("USE " + long_name + ";"));
    EXPECT_EQ(std::string(h->current_database), long_name.substr(0, 127));
}

// Each statement function, the SQL it sends.
TEST_F(DatabaseTest, StatementsSent) {
    kc_arg args[] = {kc_arg_int(5), kc_arg_string("it's \"q\"\\")};
    using Fn = std::function<kc_result*(kyreldb_handle*)>;
    struct Case {
        const char* name;
        Fn fn;
        std::string want;  // JSON-escaped SQL
    } cases[] = {
        {"execute", [](kyreldb_handle* x) { return kyreldb_database_execute(x, "SELECT 1;"); },
         "SELECT 1;"},
        {"execute NULL", [](kyreldb_handle* x) { return kyreldb_execute(x, nullptr); }, ""},
        {"query", [](kyreldb_handle* x) { return kyreldb_query(x, "SELECT \"a\";"); },
         "SELECT \\\"a\\\";"},
        {"query_result",
         [](kyreldb_handle* x) { return kyreldb_database_query_result(x, "SELECT 2;"); },
         "SELECT 2;"},
        {"show_stats", kyreldb_database_show_stats, "SHOW STATS;"},
        {"show_databases", kyreldb_database_show_databases, "SHOW DATABASES;"},
        {"show_tables", kyreldb_database_show_tables, "SHOW TABLES;"},
        {"show_table", [](kyreldb_handle* x) { return kyreldb_database_show_table(x, "users"); },
         "SHOW TABLE users;"},
        {"show_indexes NULL",
         [](kyreldb_handle* x) { return kyreldb_database_show_indexes(x, nullptr); },
         "SHOW INDEXES;"},
        {"show_indexes empty",
         [](kyreldb_handle* x) { return kyreldb_database_show_indexes(x, ""); }, "SHOW INDEXES;"},
        {"show_indexes on",
         [](kyreldb_handle* x) { return kyreldb_database_show_indexes(x, "users"); },
         "SHOW INDEXES ON users;"},
        {"create_database", [](kyreldb_handle* x) { return kyreldb_create_database(x, "shop"); },
         "CREATE DATABASE shop;"},
        {"create_index",
         [](kyreldb_handle* x) { return kyreldb_create_index(x, "ix_email", "users", "email"); },
         "CREATE INDEX ix_email ON users(email);"},
        {"create_procedure",
         [](kyreldb_handle* x) {
             return kyreldb_database_create_procedure(x, "p", "users", "IN id INT",
                                                      "DELETE FROM users WHERE id = :id;");
         },
         "CREATE PROCEDURE p\\nON users (IN id INT)\\nAS $$\\nDELETE FROM users WHERE id = "
         ":id;\\n$$;"},
        {"show_procedures", kyreldb_database_show_procedures, "SHOW PROCEDURES;"},
        {"show_procedures_on",
         [](kyreldb_handle* x) { return kyreldb_database_show_procedures_on(x, "users"); },
         "SHOW PROCEDURES ON users;"},
        {"drop_procedure on",
         [](kyreldb_handle* x) { return kyreldb_database_drop_procedure(x, "p", "users"); },
         "DROP PROCEDURE p ON users;"},
        {"drop_procedure empty table",
         [](kyreldb_handle* x) { return kyreldb_database_drop_procedure(x, "p", ""); },
         "DROP PROCEDURE p;"},
        {"drop_procedure NULL table",
         [](kyreldb_handle* x) { return kyreldb_database_drop_procedure(x, "p", nullptr); },
         "DROP PROCEDURE p;"},
        {"call", [&args](kyreldb_handle* x) { return kyreldb_database_call(x, "p", 2, args); },
         "CALL p(5,'it\\\\'s \\\"q\\\"\\\\\\\\');"},
        {"ping", kyreldb_database_ping, ""},
    };
    for (auto& c : cases) {
        Result r(c.fn(h.get()));
        EXPECT_EQ(kc_result_ok(r.get()), 1) << c.name;
        std::string want =
            std::string(c.name) == "ping" ? R"({"action":"ping"})" : sql_request(c.want);
        EXPECT_EQ(srv.last_request(), want) << c.name;
    }
    EXPECT_EQ(srv.request_count(), sizeof cases / sizeof cases[0]);
}

// Unsafe names are refused before anything is sent; where names are
// checked first, an unsafe name wins over a missing handle.
TEST_F(DatabaseTest, UnsafeNamesAndNullHandle) {
    kc_arg one = kc_arg_int(1);
    kc_arg bad_type = kc_arg_int(1);
    bad_type.type = 9;
    using Fn = std::function<kc_result*(kyreldb_handle*)>;
    struct Case {
        const char* name;
        Fn fn;
    } unsafe[] = {
        {"show_table", [](kyreldb_handle* x) { return kyreldb_database_show_table(x, "t;"); }},
        {"show_indexes", [](kyreldb_handle* x) { return kyreldb_database_show_indexes(x, "a b"); }},
        {"create_database",
         [](kyreldb_handle* x) { return kyreldb_database_create_database(x, "d--"); }},
        {"create_index index",
         [](kyreldb_handle* x) { return kyreldb_database_create_index(x, "i x", "t", "c"); }},
        {"create_index table",
         [](kyreldb_handle* x) { return kyreldb_database_create_index(x, "i", nullptr, "c"); }},
        {"create_index column",
         [](kyreldb_handle* x) { return kyreldb_database_create_index(x, "i", "t", "c)"); }},
        {"create_procedure",
         [](kyreldb_handle* x) {
             return kyreldb_database_create_procedure(x, "p", "t x", nullptr, "b");
         }},
        {"show_procedures_on",
         [](kyreldb_handle* x) { return kyreldb_database_show_procedures_on(x, ""); }},
        {"drop_procedure name",
         [](kyreldb_handle* x) { return kyreldb_database_drop_procedure(x, "", "t"); }},
        {"drop_procedure table",
         [](kyreldb_handle* x) { return kyreldb_database_drop_procedure(x, "p", "t'"); }},
        {"call name", [&](kyreldb_handle* x) { return kyreldb_database_call(x, "p()", 1, &one); }},
        {"call count", [&](kyreldb_handle* x) { return kyreldb_database_call(x, "p", -1, &one); }},
        {"call type",
         [&](kyreldb_handle* x) { return kyreldb_database_call(x, "p", 1, &bad_type); }},
    };
    for (auto& c : unsafe) {
        Result with(c.fn(h.get()));
        EXPECT_STREQ(kc_result_error(with.get()), "unsafe identifier") << c.name;
        EXPECT_EQ(kc_result_ok(with.get()), 0) << c.name;
        Result without(c.fn(nullptr));
        EXPECT_STREQ(kc_result_error(without.get()), "unsafe identifier") << c.name;
    }
    EXPECT_EQ(srv.request_count(), 0u);

    using NullFn = std::function<kc_result*()>;
    NullFn null_handle[] = {
        [] { return kyreldb_database_ping(nullptr); },
        [] { return kyreldb_login(nullptr, "u", "p"); },
        [] { return kyreldb_change_password(nullptr, "p"); },
        [] { return kyreldb_use_database(nullptr, "bad name"); },  // handle checked first
        [] { return kyreldb_execute(nullptr, "SELECT 1"); },
        [] { return kyreldb_database_show_tables(nullptr); },
        [] { return kyreldb_database_show_indexes(nullptr, ""); },
        [] { return kyreldb_database_show_table(nullptr, "t"); },
        [] { return kyreldb_create_index(nullptr, "i", "t", "c"); },
        [] { return kyreldb_database_call(nullptr, "p", 0, nullptr); },
        [] { return kyreldb_database_create_procedure(nullptr, "p", "t", nullptr, "b"); },
    };
    for (auto& fn : null_handle) {
        Result r(fn());
        EXPECT_EQ(kc_result_ok(r.get()), 0);
        EXPECT_STREQ(kc_result_error(r.get()), "null database handle");
    }
    kyreldb_database_close(nullptr);
    kyreldb_free(nullptr);
}

// After a close or a transport failure the next request opens a new
// connection; what the handle remembered stays.
TEST_F(DatabaseTest, ReconnectsAfterCloseAndFailure) {
    srv.push(FakeFrameServer::reply(R"({"ok":true,"must_change_password":false})"));
    Result login(kyreldb_login(h.get(), "alice", "pw"));
    Result use(kyreldb_use_database(h.get(), "sales"));

    kyreldb_close(h.get());
    EXPECT_FALSE(kc_connection_is_connected(h->connection));
    ASSERT_TRUE(srv.wait_idle());
    Result p1(kyreldb_database_ping(h.get()));
    EXPECT_EQ(kc_result_ok(p1.get()), 1);
    EXPECT_EQ(srv.accepted(), 2);

    srv.push(FakeFrameServer::close_conn());
    Result lost(kyreldb_database_ping(h.get()));
    EXPECT_STREQ(kc_result_error(lost.get()), "receive failed");
    ASSERT_TRUE(srv.wait_idle());
    Result p2(kyreldb_database_ping(h.get()));
    EXPECT_EQ(kc_result_ok(p2.get()), 1);
    EXPECT_EQ(srv.accepted(), 3);
    EXPECT_STREQ(h->username, "alice");
    EXPECT_STREQ(h->current_database, "sales");
}

}  // namespace
