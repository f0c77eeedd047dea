// Counters, row-memory account and activity clock.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <ctime>
#include <thread>

#include "base/stats.h"

namespace {

void set_mem(uint64_t v) {
    std::lock_guard<std::mutex> g(g_mem.lock);
    g_mem.bytes = v;
}

TEST(Stats, MemAddNeverWrapsBelowZero) {
    set_mem(40);
    mem_add(-100);
    EXPECT_EQ(mem_current(), 0u);
    mem_add(250);
    mem_add(-50);
    EXPECT_EQ(mem_current(), 200u);
    mem_add(INT64_MIN);
    EXPECT_EQ(mem_current(), 0u);
}

TEST(Stats, SnapshotNeverSplitsAnAdd) {
    // The writer always raises rows_inserted before rows_updated, so in every
    // consistent snapshot inserted - updated is 0 or 1.
    ServerStats base;
    stats_snapshot(&base);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; i < 200000 && !stop; i++) {
            stats_add(&g_stats.counters.rows_inserted, 1);
            stats_add(&g_stats.counters.rows_updated, 1);
        }
    });
    for (int i = 0; i < 20000; i++) {
        ServerStats s;
        stats_snapshot(&s);
        int64_t d = (s.rows_inserted - base.rows_inserted) - (s.rows_updated - base.rows_updated);
        ASSERT_TRUE(d == 0 || d == 1) << d;
    }
    stop = true;
    writer.join();
    ServerStats end;
    stats_snapshot(&end);
    EXPECT_EQ(end.rows_inserted - base.rows_inserted, end.rows_updated - base.rows_updated);
    stats_add(&g_stats.counters.rows_deleted, -3);
    stats_snapshot(&end);
    EXPECT_EQ(end.rows_deleted - base.rows_deleted, -3);
}

TEST(Stats, ActivityClock) {
    {
        std::lock_guard<std::mutex> g(g_activity.lock);
        g_activity.last_activity_ts = 0;
    }
    EXPECT_EQ(seconds_since_activity(), 999999999);
    mark_activity();
    EXPECT_LE(seconds_since_activity(), 1);
    {
        // A clock set back past the last activity reads as no idle time at all.
        std::lock_guard<std::mutex> g(g_activity.lock);
        g_activity.last_activity_ts = static_cast<int64_t>(time(nullptr)) + 1000;
    }
    EXPECT_EQ(seconds_since_activity(), 0);
    {
        std::lock_guard<std::mutex> g(g_activity.lock);
        g_activity.last_activity_ts = static_cast<int64_t>(time(nullptr)) - 100;
    }
    EXPECT_GE(seconds_since_activity(), 100);

    EXPECT_EQ(auto_vacuum_last_run_ts(), 0);
    mark_auto_vacuum_run();
    EXPECT_NEAR(static_cast<double>(auto_vacuum_last_run_ts()), static_cast<double>(time(nullptr)),
                2.0);
}

}  // namespace
