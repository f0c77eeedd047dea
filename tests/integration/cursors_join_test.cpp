// Session cursors and JOIN over the wire: a snapshot read in several fetches
// while writes and checkpoints happen, close/kill/list, the idle time-out,
// the end of a connection releasing its cursors, and exact JOIN replies.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <cstring>
#include <string>
#include <thread>

#include "kyrel_test.h"
#include "writes_helpers.h"

using namespace kyrel_test;
using namespace writes_test;

namespace {

// Auto-vacuum checkpoints an idle server once its logs pass 1 MB.
constexpr const char* kConfig =
    "AUTO_TUNE=OFF\nCONNECTION_WORKERS=4\nCOMMIT_GROUP_WAIT_MS=0\n"
    "AUTO_VACUUM=ON\nAUTO_VACUUM_INTERVAL_SECONDS=5\nAUTO_VACUUM_IDLE_SECONDS=1\n"
    "AUTO_VACUUM_WAL_MB=1\n";

int count_of(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
    return n;
}

// Polls cond every 50 ms until it holds or the deadline passes.
template <typename Cond>
bool wait_for(Cond cond, std::chrono::milliseconds deadline = std::chrono::seconds(15)) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return cond();
}

class CursorsJoin : public ::testing::Test {
  protected:
    void SetUp() override {
        // A short idle time-out only where the test waits for it.
        const bool short_idle =
            strstr(::testing::UnitTest::GetInstance()->current_test_info()->name(),
                   "IdleTimeout") != nullptr;
        srv_.set_config(std::string(kConfig) +
                        (short_idle ? "CURSOR_IDLE_TIMEOUT_SECONDS=2\n" : ""));
        ASSERT_TRUE(srv_.start()) << srv_.last_error();
        ASSERT_TRUE(c_.connect(srv_.port()));
        c_.login_ready("admin", "lumen406");
    }
    std::string must(Client& c, const std::string& sql) {
        std::string r = c.sql(sql);
        EXPECT_TRUE(ok(r)) << sql.substr(0, 120) << " -> " << r.substr(0, 300);
        return r;
    }
    off_t wal_size() {
        struct stat st;
        const std::string wal = srv_.dir() + "/kyreldb_data/databases/default/main.wal";
        return stat(wal.c_str(), &st) == 0 ? st.st_size : -1;
    }
    TestServer srv_;
    Client c_;
};

TEST_F(CursorsJoin, SnapshotSurvivesWritesAndCheckpoints) {
    must(c_, "CREATE TABLE big (id int PRIMARY KEY, v string, pad string)");
    const std::string pad(500, 'p');
    for (int base = 0; base < 2500; base += 250) {
        std::string sql = "INSERT INTO big VALUES ";
        for (int i = base + 1; i <= base + 250; ++i)
            sql += (i > base + 1 ? ",(" : "(") + std::to_string(i) + ",'old','" + pad + "')";
        must(c_, sql);
    }
    std::string r = c_.ask(R"({"action":"cursor_open","sql":"SELECT * FROM big"})");
    ASSERT_TRUE(ok(r)) << r.substr(0, 300);
    ASSERT_EQ(json_get(r, "cursor_id"), "1");
    const std::string snap = json_get(r, "snapshot_seq");
    EXPECT_EQ(json_get(r, "fetched"), "1000");
    EXPECT_EQ(json_get(r, "total"), "2500");
    int rows = count_of(r, "\"v\":\"old\"");

    // Change rows on both sides of the fetched part, add one, and wait
    // (without requests, which would count as activity) for a checkpoint.
    for (int id : {1, 2, 3, 700, 1300, 1900, 2400})
        must(c_, "UPDATE big SET v = 'new' WHERE id = " + std::to_string(id));
    must(c_, "DELETE FROM big WHERE id = 2500");
    must(c_, "DELETE FROM big WHERE id = 1500");
    must(c_, "INSERT INTO big VALUES (3000, 'new', 'x')");
    ASSERT_GE(wal_size(), 1024 * 1024);
    ASSERT_TRUE(
        wait_for([&] { return wal_size() >= 0 && wal_size() < 1024; }, std::chrono::seconds(30)))
        << "log was not checkpointed";

    r = c_.ask(R"({"action":"cursor_fetch","cursor_id":1,"fetch":1000})");
    ASSERT_TRUE(ok(r)) << r.substr(0, 300);
    EXPECT_EQ(json_get(r, "snapshot_seq"), snap);
    EXPECT_EQ(json_get(r, "offset"), "1000");
    rows += count_of(r, "\"v\":\"old\"");
    r = c_.ask(R"({"action":"cursor_fetch","cursor_id":1,"fetch_size":5000})");
    ASSERT_TRUE(ok(r)) << r.substr(0, 300);
    EXPECT_EQ(json_get(r, "done"), "true");
    EXPECT_EQ(json_get(r, "next_offset"), "2500");
    rows += count_of(r, "\"v\":\"old\"");
    EXPECT_EQ(rows, 2500);
    EXPECT_EQ(r.find("\"new\""), std::string::npos);
    EXPECT_EQ(error_of(c_.ask(R"({"action":"cursor_fetch","cursor_id":1})")), "cursor not found");

    // A fresh cursor sees the current rows.
    r = c_.ask(R"({"action":"cursor_open","sql":"SELECT * FROM big WHERE id = 3000"})");
    EXPECT_EQ(json_get(r, "total"), "1") << r.substr(0, 300);
    EXPECT_EQ(json_get(r, "done"), "true");
}

TEST_F(CursorsJoin, CloseKillListAndIdleTimeout) {
    must(c_, "CREATE TABLE t (id int PRIMARY KEY, v string)");
    must(c_, "INSERT INTO t VALUES (1,'a'),(2,'b'),(3,'c')");
    std::string r;
    const std::string open1 = R"({"action":"cursor_open","sql":"SELECT * FROM t","fetch":1})";
    ASSERT_EQ(json_get(c_.ask(open1), "cursor_id"), "1");
    EXPECT_EQ(c_.ask(R"({"action":"cursor_close","cursor_id":1})"),
              R"({"ok":true,"cursor_id":1,"closed":true})");
    EXPECT_EQ(error_of(c_.ask(R"({"action":"cursor_close","cursor_id":1})")), "cursor not found");
    EXPECT_EQ(error_of(c_.ask(R"({"action":"cursor_fetch"})")), "missing cursor_id");
    EXPECT_EQ(error_of(c_.ask(R"({"action":"cursor_fetch","cursor_id":-3})")), "missing cursor_id");

    // Another user's cursor: listed for the administrator, killed by pin.
    must(c_, "CREATE USER bob IDENTIFIED BY 'bobpass1'");
    must(c_, "GRANT READ ON default TO bob");
    auto bob_conn = std::make_unique<Client>();
    Client& bob = *bob_conn;
    ASSERT_TRUE(bob.connect(srv_.port()));
    bob.login_ready("bob", "bobpass1");
    r = bob.ask(open1);
    ASSERT_TRUE(ok(r)) << r;
    std::string list = c_.sql("SHOW CURSORS");
    ASSERT_TRUE(ok(list)) << list;
    EXPECT_NE(list.find("\"registry_cursor_count\":1,"), std::string::npos) << list;
    EXPECT_NE(list.find("\"cursor_idle_timeout_seconds\":2,"), std::string::npos) << list;
    const size_t at = list.find("\"registry_items\":[{\"pin_token\":");
    ASSERT_NE(at, std::string::npos) << list;
    const size_t from = at + strlen("\"registry_items\":[{\"pin_token\":");
    const std::string token = list.substr(from, list.find(',', from) - from);
    EXPECT_EQ(error_of(bob.sql("KILL CURSOR PIN 99999")), "permission denied");
    EXPECT_EQ(c_.sql("KILL CURSOR PIN " + token),
              "{\"ok\":true,\"cursor_id\":0,\"pin_token\":" + token +
                  ",\"killed\":true,\"scope\":\"registry\"}");
    EXPECT_EQ(error_of(bob.ask(R"({"action":"cursor_fetch","cursor_id":1})")),
              "cursor 1 was killed or expired");

    // Own cursor by the JSON action; a bad statement is refused.
    ASSERT_EQ(json_get(bob.ask(open1), "cursor_id"), "2");
    r = bob.ask(R"({"action":"kill_cursor","cursor_id":2})");
    EXPECT_EQ(r.rfind("{\"ok\":true,\"cursor_id\":2,\"pin_token\":", 0), 0u) << r;
    EXPECT_NE(r.find(",\"killed\":true,\"scope\":\"session\"}"), std::string::npos) << r;
    EXPECT_EQ(error_of(bob.sql("KILL CURSOR abc")), "bad cursor id or pin token");

    // Idle time-out of 2 s: wait until the registry has dropped the pin.
    ASSERT_EQ(json_get(bob.ask(open1), "cursor_id"), "3");
    ASSERT_TRUE(wait_for([&] {
        return c_.sql("SHOW CURSORS").find("\"registry_cursor_count\":0,") != std::string::npos;
    }));
    r = bob.ask(R"({"action":"cursor_fetch","cursor_id":3})");
    EXPECT_TRUE(error_of(r) == "cursor 3 expired: idle_timeout" ||
                error_of(r) == "cursor 3 was killed or expired")
        << r;

    // A connection that ends gives its cursors back.
    ASSERT_EQ(json_get(bob.ask(open1), "cursor_id"), "4");
    bob_conn.reset();
    EXPECT_TRUE(wait_for([&] {
        return c_.sql("SHOW CURSORS").find("\"registry_cursor_count\":0,") != std::string::npos;
    }));
}

TEST_F(CursorsJoin, JoinRepliesAreExact) {
    must(c_, "CREATE TABLE orders (id int PRIMARY KEY, customer_id int, amount int)");
    must(c_, "CREATE TABLE customers (id int PRIMARY KEY, name string)");
    must(c_, "INSERT INTO orders VALUES (1,1,9),(2,1,10),(3,2,150),(4,99,5)");
    must(c_, "INSERT INTO customers VALUES (1,'ann'),(2,'bob')");
    struct Case {
        const char* sql;
        const char* reply;
    } cases[] = {
        {"SELECT * FROM orders o JOIN customers c ON o.customer_id = c.id WHERE o.id = 3",
         R"({"ok":true,"rows":[{"o.id":3,"o.customer_id":2,"o.amount":150,"c.id":2,"c.name":"bob"}]})"},
        {"SELECT o.id, name FROM orders AS o JOIN customers AS c ON o.customer_id = c.id "
         "ORDER BY o.id LIMIT 2",
         R"({"ok":true,"rows":[{"o.id":1,"name":"ann"},{"o.id":2,"name":"ann"}]})"},
        {"SELECT o.id, c.name FROM orders o LEFT JOIN customers c ON o.customer_id = c.id "
         "ORDER BY o.id DESC",
         R"({"ok":true,"rows":[{"o.id":4,"c.name":null},{"o.id":3,"c.name":"bob"},)"
         R"({"o.id":2,"c.name":"ann"},{"o.id":1,"c.name":"ann"}]})"},
        {"SELECT o.amount FROM orders o JOIN customers c ON o.customer_id = c.id "
         "WHERE c.name = 'ann' ORDER BY o.amount",
         R"({"ok":true,"rows":[{"o.amount":9},{"o.amount":10}]})"},  // as numbers
        {"SELECT orders.id FROM orders JOIN customers ON orders.customer_id = customers.id LIMIT 0",
         R"({"ok":true,"rows":[]})"},
        {"SELECT * FROM orders o JOIN customers c ON o.customer_id > c.id",
         R"({"ok":false,"error":"JOIN ON must use ="})"},
        {"SELECT * FROM orders o JOIN nosuch c ON o.customer_id = c.id",
         R"({"ok":false,"error":"table not found"})"},
    };
    for (const Case& c : cases) EXPECT_EQ(c_.sql(c.sql), c.reply) << c.sql;
}

// Statements a JOIN cannot answer as written are refused with a message,
// and the server keeps serving: an empty select list once stopped it.
TEST_F(CursorsJoin, JoinStatementsOutsideTheFormAreRefused) {
    must(c_, "CREATE TABLE o (id int PRIMARY KEY, p int)");
    must(c_, "INSERT INTO o VALUES (1,5),(2,20),(3,40)");
    struct Case {
        const char* sql;
        const char* error;
    } cases[] = {
        {"SELECT FROM o a JOIN o b ON a.id = b.id", "bad select list"},
        {"SELECT a.id FROM o a JOIN o b ON a.id = b.id WHERE a.p > 10 AND a.p < 30",
         "WHERE value must be a single literal"},
        {"SELECT a.id FROM o a JOIN o b ON a.id = b.id AND a.p = b.p",
         "JOIN ON must be a single column = column condition"},
    };
    for (const Case& c : cases) {
        std::string r = c_.sql(c.sql);
        EXPECT_FALSE(ok(r)) << c.sql << " -> " << r;
        EXPECT_EQ(error_of(r), c.error) << c.sql;
    }
    std::string r = c_.ask(R"({"action":"ping"})");
    EXPECT_TRUE(ok(r)) << r;
    EXPECT_EQ(c_.sql("SELECT a.id FROM o a JOIN o b ON a.id = b.id WHERE a.p > 10 ORDER BY a.id"),
              R"({"ok":true,"rows":[{"a.id":2},{"a.id":3}]})");
}

}  // namespace
