// Cursor pin registry: tokens, slot exhaustion and reuse, time-out rules.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "base/config.h"
#include "storage/cursor_pins.h"

namespace {

class CursorPins : public ::testing::Test {
  protected:
    void SetUp() override {
        config_reset_defaults();
        g_cfg.cursor_idle_timeout_seconds = 0;
        g_cfg.cursor_max_lifetime_seconds = 0;
        memset(g_cursor_registry.pins, 0, sizeof g_cursor_registry.pins);
        g_cursor_registry.next_token = 1;
    }
};

TEST_F(CursorPins, TokensStartAtOneAndSkipZeroOnWrap) {
    char err[128];
    uint64_t a = 0, b = 0;
    ASSERT_EQ(cursor_registry_register("t", 5, 10, &a, err, sizeof err), 0);
    ASSERT_EQ(cursor_registry_register("t", 6, 10, &b, err, sizeof err), 0);
    EXPECT_EQ(a, 1u);
    EXPECT_EQ(b, 2u);
    std::lock_guard<std::mutex> g(g_cursor_registry.lock);
    g_cursor_registry.next_token = UINT64_MAX;
    EXPECT_EQ(cursor_registry_next_token_locked(), UINT64_MAX);
    EXPECT_EQ(cursor_registry_next_token_locked(), 1u);
}

TEST_F(CursorPins, RegisterRefusesBadInputAndFullRegistry) {
    char err[128];
    uint64_t tok = 99;
    EXPECT_EQ(cursor_registry_register("", 1, 0, &tok, err, sizeof err), -1);
    EXPECT_STREQ(err, "invalid cursor pin");
    EXPECT_EQ(cursor_registry_register("t", 1, 0, nullptr, err, sizeof err), -1);

    std::vector<uint64_t> tokens(CURSOR_PIN_SLOTS);
    for (int i = 0; i < CURSOR_PIN_SLOTS; ++i)
        ASSERT_EQ(cursor_registry_register("t", 1, 0, &tokens[i], err, sizeof err), 0);
    EXPECT_EQ(cursor_registry_register("t", 1, 0, &tok, err, sizeof err), -1);
    EXPECT_STREQ(err, "too many active cursor snapshots");
    EXPECT_EQ(tok, 0u);

    cursor_registry_unregister(tokens[10]);
    EXPECT_EQ(cursor_registry_token_active(tokens[10]), 0);
    ASSERT_EQ(cursor_registry_register("u", 3, 0, &tok, err, sizeof err), 0);
    EXPECT_EQ(g_cursor_registry.pins[10].pin_token, tok);  // the freed slot is taken
}

TEST_F(CursorPins, PinStatsCountOnlyThatTableAndGiveLowestSnapshot) {
    char err[128];
    uint64_t t1, t2, t3;
    ASSERT_EQ(cursor_registry_register("sales__t", 40, 100, &t1, err, sizeof err), 0);
    ASSERT_EQ(cursor_registry_register("sales__t", 30, 50, &t2, err, sizeof err), 0);
    ASSERT_EQ(cursor_registry_register("other", 10, 1, &t3, err, sizeof err), 0);
    int count = -1;
    uint64_t lowest = 0;
    EXPECT_EQ(cursor_table_pin_stats("sales__t", &count, &lowest), 1);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(lowest, 30u);
    EXPECT_EQ(cursor_table_pin_stats("nothing", &count, &lowest), 0);
    EXPECT_EQ(count, 0);
    uint64_t mem = 0;
    int64_t age = -1;
    cursor_registry_stats(&count, &mem, &lowest, &age);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(mem, 151u);
    EXPECT_EQ(lowest, 10u);
    EXPECT_GE(age, 0);
    EXPECT_EQ(cursor_registry_kill_token(t3), 1);
    EXPECT_EQ(cursor_registry_kill_token(t3), 0);
    cursor_registry_update_state(t1, 7, "t", 20, 5);
    EXPECT_EQ(g_cursor_registry.pins[0].cursor_id, 7u);
    EXPECT_STREQ(g_cursor_registry.pins[0].table, "t");
    EXPECT_EQ(g_cursor_registry.pins[0].offset, 5);
    EXPECT_GT(g_cursor_registry.pins[0].last_fetch_at, 0);
}

TEST_F(CursorPins, TimeoutRules) {
    struct Case {
        const char* name;
        int life, idle;
        int64_t opened, fetched, now;
        int expired;
        const char* reason;
    } cases[] = {
        {"both limits off", 0, 0, 100, 0, 100000, 0, ""},
        {"lifetime wins over idle", 60, 300, 1000, 1060, 1061, 1, "max_lifetime_timeout"},
        {"never fetched is idle since open", 0, 300, 1000, 0, 1300, 1, "idle_timeout"},
        {"recent fetch keeps it", 0, 300, 1000, 1200, 1300, 0, ""},
        {"clock went back", 60, 300, 2000, 0, 1000, 0, ""},
    };
    for (const Case& c : cases) {
        g_cfg.cursor_max_lifetime_seconds = c.life;
        g_cfg.cursor_idle_timeout_seconds = c.idle;
        char reason[32] = "x";
        int64_t age = -1, idle = -1;
        EXPECT_EQ(
            cursor_timeout_check(c.opened, c.fetched, c.now, reason, sizeof reason, &age, &idle),
            c.expired)
            << c.name;
        EXPECT_STREQ(reason, c.reason) << c.name;
    }
}

TEST_F(CursorPins, ExpiryClearsOnlyTimedOutPins) {
    char err[128];
    uint64_t old_tok, new_tok;
    ASSERT_EQ(cursor_registry_register("t", 1, 0, &old_tok, err, sizeof err), 0);
    ASSERT_EQ(cursor_registry_register("t", 2, 0, &new_tok, err, sizeof err), 0);
    EXPECT_EQ(cursor_registry_expire_timed_out(), 0);  // both limits off
    g_cursor_registry.pins[0].opened_at -= 1000;
    g_cfg.cursor_max_lifetime_seconds = 600;
    EXPECT_EQ(cursor_registry_expire_timed_out(), 1);
    EXPECT_EQ(cursor_registry_token_active(old_tok), 0);
    EXPECT_EQ(cursor_registry_token_active(new_tok), 1);
}

}  // namespace
