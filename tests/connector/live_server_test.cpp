// The database client API against the real server: the first login with its
// forced password change, a database created and used, statements executed,
// rows queried back, and a second session that finds them.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "connector_owners.h"
#include "kyrel_test.h"
#include "kyreldb_database.h"

namespace {

std::string text(const char* s) { return s ? s : "<null>"; }

TEST(ConnectorLiveServer, LoginChangePasswordUseExecuteQuery) {
    kyrel_test::TestServer srv;
    ASSERT_TRUE(srv.start()) << srv.last_error();

    Handle h(kyreldb_database_open("127.0.0.1", srv.port()));
    ASSERT_NE(h, nullptr);
    Result pong(kyreldb_database_ping(h.get()));
    EXPECT_EQ(kc_result_ok(pong.get()), 1) << kc_result_json(pong.get());

    Result bad(kyreldb_login(h.get(), "admin", "wrong"));
    EXPECT_EQ(kc_result_ok(bad.get()), 0);
    EXPECT_EQ(text(kc_result_error(bad.get())), "invalid username or password");
    EXPECT_STREQ(h->username, "");

    Result first(kyreldb_login(h.get(), "admin", "lumen406"));
    ASSERT_EQ(kc_result_ok(first.get()), 1) << kc_result_json(first.get());
    EXPECT_EQ(kc_result_must_change_password(first.get()), 1);
    EXPECT_EQ(h->must_change_password, 1);
    EXPECT_STREQ(h->username, "admin");

    Result early(kyreldb_database_show_databases(h.get()));
    EXPECT_EQ(kc_result_ok(early.get()), 0);
    EXPECT_EQ(text(kc_result_error(early.get())), "password must be changed before using KyrelDB");

    Result changed(kyreldb_change_password(h.get(), "c0nnector pw"));
    ASSERT_EQ(kc_result_ok(changed.get()), 1) << kc_result_json(changed.get());
    EXPECT_EQ(h->must_change_password, 0);

    Result created(kyreldb_create_database(h.get(), "shop"));
    ASSERT_EQ(kc_result_ok(created.get()), 1) << kc_result_json(created.get());
    Result used(kyreldb_use_database(h.get(), "shop"));
    ASSERT_EQ(kc_result_ok(used.get()), 1) << kc_result_json(used.get());
    EXPECT_STREQ(h->current_database, "shop");
    Result missing(kyreldb_use_database(h.get(), "nowhere"));
    EXPECT_EQ(kc_result_ok(missing.get()), 0) << kc_result_json(missing.get());
    EXPECT_STREQ(h->current_database, "shop");

    for (const char* sql :
         {"CREATE TABLE orders (id int PRIMARY KEY, item string, qty int);",
          "INSERT INTO orders (id, item, qty) VALUES (1, 'bolt', 10), (2, 'nut', 5);",
          "INSERT INTO orders (id, item, qty) VALUES (3, 'washer', 7);",
          "UPDATE orders SET qty = 6 WHERE id = 2;", "DELETE FROM orders WHERE id = 3;"}) {
        Result r(kyreldb_execute(h.get(), sql));
        ASSERT_EQ(kc_result_ok(r.get()), 1) << sql << "\n" << kc_result_json(r.get());
    }
    Result dup(kyreldb_execute(h.get(), "INSERT INTO orders (id, item, qty) VALUES (1, 'x', 1);"));
    EXPECT_EQ(kc_result_ok(dup.get()), 0) << kc_result_json(dup.get());
    EXPECT_NE(kc_result_error(dup.get()), nullptr);

    Result rows(kyreldb_query(h.get(), "SELECT id, item, qty FROM orders ORDER BY id;"));
    ASSERT_EQ(kc_result_ok(rows.get()), 1) << kc_result_json(rows.get());
    EXPECT_EQ(text(kc_result_json(rows.get())),
              R"({"ok":true,"table":"orders","rows":[{"id":1,"item":"bolt","qty":10},)"
              R"({"id":2,"item":"nut","qty":6}]})");

    Result tables(kyreldb_database_show_tables(h.get()));
    ASSERT_EQ(kc_result_ok(tables.get()), 1) << kc_result_json(tables.get());
    EXPECT_NE(text(kc_result_json(tables.get())).find("\"orders\""), std::string::npos)
        << kc_result_json(tables.get());

    // A second session: the new password, the database and the rows are there.
    Handle g(kyreldb_connect_timeout("127.0.0.1", srv.port(), 10));
    ASSERT_NE(g, nullptr);
    Result old_pw(kyreldb_login(g.get(), "admin", "lumen406"));
    EXPECT_EQ(kc_result_ok(old_pw.get()), 0);
    Result again(kyreldb_login(g.get(), "admin", "c0nnector pw"));
    ASSERT_EQ(kc_result_ok(again.get()), 1) << kc_result_json(again.get());
    EXPECT_EQ(g->must_change_password, 0);
    Result used2(kyreldb_database_use_database(g.get(), "shop"));
    ASSERT_EQ(kc_result_ok(used2.get()), 1) << kc_result_json(used2.get());
    Result count(kyreldb_database_query_result(
        g.get(), "SELECT item FROM orders WHERE qty > 5 ORDER BY id"));
    ASSERT_EQ(kc_result_ok(count.get()), 1) << kc_result_json(count.get());
    EXPECT_EQ(text(kc_result_json(count.get())),
              R"({"ok":true,"table":"orders","rows":[{"item":"bolt"},{"item":"nut"}]})");

    // A closed handle reports the failure instead of an answer.
    kyreldb_close(g.get());
    EXPECT_EQ(srv.stop(), 0) << srv.stderr_text();
    Result after(kyreldb_query(h.get(), "SELECT * FROM orders;"));
    EXPECT_EQ(kc_result_ok(after.get()), 0) << kc_result_json(after.get());
}

}  // namespace
