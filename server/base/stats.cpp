// Statistics counters, row-memory account and activity clock. Each account
// has its own mutex and each mutex is a leaf: nothing else is locked or called
// while it is held.
#include "base/stats.h"

#include <ctime>

StatsAccount g_stats;
MemAccount g_mem;
ActivityClock g_activity;

namespace {
int64_t now_seconds() { return static_cast<int64_t>(time(nullptr)); }
}  // namespace

void stats_add(int64_t* counter, int64_t delta) {
    if (!counter) return;
    std::lock_guard<std::mutex> g(g_stats.lock);
    *counter += delta;
}

void stats_snapshot(ServerStats* out) {
    if (!out) return;
    std::lock_guard<std::mutex> g(g_stats.lock);
    *out = g_stats.counters;
}

void mem_add(int64_t delta) {
    std::lock_guard<std::mutex> g(g_mem.lock);
    if (delta >= 0) {
        g_mem.bytes += static_cast<uint64_t>(delta);
    } else {
        // Negate in unsigned arithmetic so INT64_MIN cannot overflow.
        uint64_t dec = 0 - static_cast<uint64_t>(delta);
        g_mem.bytes = dec > g_mem.bytes ? 0 : g_mem.bytes - dec;
    }
}

uint64_t mem_current() {
    std::lock_guard<std::mutex> g(g_mem.lock);
    return g_mem.bytes;
}

void mark_activity() {
    int64_t now = now_seconds();
    // Every request of every connection lands here: within one second the
    // stored value is already now, so the lock is skipped (stores under the
    // lock are atomic, so this unlocked look is well defined).
    if (__atomic_load_n(&g_activity.last_activity_ts, __ATOMIC_RELAXED) == now) return;
    std::lock_guard<std::mutex> g(g_activity.lock);
    __atomic_store_n(&g_activity.last_activity_ts, now, __ATOMIC_RELAXED);
}

int64_t seconds_since_activity() {
    int64_t now = now_seconds();
    int64_t last;
    {
        std::lock_guard<std::mutex> g(g_activity.lock);
        last = g_activity.last_activity_ts;
    }
    if (last < 1) return 999999999;
    if (now <= last) return 0;
    return now - last;
}

void mark_auto_vacuum_run() {
    int64_t now = now_seconds();
    std::lock_guard<std::mutex> g(g_activity.lock);
    g_activity.last_auto_vacuum_ts = now;
}

int64_t auto_vacuum_last_run_ts() {
    std::lock_guard<std::mutex> g(g_activity.lock);
    return g_activity.last_auto_vacuum_ts;
}
