// Auto-vacuum thread: wakes every AUTO_VACUUM_INTERVAL_SECONDS and
// checkpoints when the queues are empty, no request came for
// AUTO_VACUUM_IDLE_SECONDS, and memory or log size reached its threshold.
// Every pass raises exactly one of auto_vacuum_runs, _skips or _errors.
#include "runtime/auto_vacuum.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <mutex>

#include "base/config.h"
#include "base/stats.h"
#include "runtime/job_queue.h"
#include "runtime/server.h"
#include "storage/checkpoint.h"
#include "storage/wal.h"

namespace {

int decide(char* reason, size_t reason_len, const char* text, int result) {
    if (reason && reason_len) snprintf(reason, reason_len, "%s", text);
    return result;
}

// Sleeps in steps of one second; false when the server stopped meanwhile.
bool sleep_interval(int seconds) {
    for (int i = 0; i < seconds && g_running; i++) sleep(1);
    return g_running;
}

}  // namespace

int auto_vacuum_should_run(char* reason, size_t reason_len) {
    if (!g_cfg.auto_vacuum) return decide(reason, reason_len, "disabled", 0);
    if (queue_depth(&g_read_queue) > 0 || queue_depth(&g_write_queue) > 0 ||
        queue_depth(&g_commit) > 0)
        return decide(reason, reason_len, "queues not idle", 0);
    if (seconds_since_activity() < g_cfg.auto_vacuum_idle_seconds)
        return decide(reason, reason_len, "recent activity", 0);
    const uint64_t mem_threshold =
        (uint64_t)g_cfg.auto_vacuum_memory_percent * g_cfg.memory_limit_bytes / 100u;
    if (mem_threshold != 0 && mem_current() >= mem_threshold)
        return decide(reason, reason_len, "memory threshold", 1);
    if (g_cfg.auto_vacuum_wal_bytes != 0 && wal_total_file_bytes() >= g_cfg.auto_vacuum_wal_bytes)
        return decide(reason, reason_len, "wal threshold", 1);
    return decide(reason, reason_len, "below thresholds", 0);
}

void* auto_vacuum_thread(void*) {
    while (g_running) {
        const int interval =
            g_cfg.auto_vacuum_interval_seconds < 1 ? 60 : g_cfg.auto_vacuum_interval_seconds;
        if (!sleep_interval(interval)) break;
        char reason[128];
        if (!auto_vacuum_should_run(reason, sizeof reason)) {
            stats_add(&g_stats.counters.auto_vacuum_skips, 1);
            continue;
        }
        std::unique_lock<std::mutex> cp(g_checkpoint_lock, std::try_to_lock);
        if (!cp.owns_lock() || !auto_vacuum_should_run(reason, sizeof reason)) {
            stats_add(&g_stats.counters.auto_vacuum_skips, 1);
            continue;
        }
        char msg[256] = {0};
        if (checkpoint_all_tables(msg, sizeof msg) != 0) {
            fprintf(stderr, "auto vacuum failed: %s\n", msg);
            stats_add(&g_stats.counters.auto_vacuum_errors, 1);
        } else {
            mark_auto_vacuum_run();
            stats_add(&g_stats.counters.auto_vacuum_runs, 1);
        }
    }
    return nullptr;
}
