// Process-wide accounts: request/write counters, row memory in bytes and the
// activity clock. Each account has its own leaf mutex.
#pragma once

#include <cstdint>
#include <mutex>

// Fifteen counters in report order; changed only through stats_add and read
// only through stats_snapshot.
struct ServerStats {
    int64_t total_requests;
    int64_t total_connections;
    int64_t wal_appends;
    int64_t wal_bytes;
    int64_t total_writes;
    int64_t rows_inserted;
    int64_t rows_updated;
    int64_t rows_deleted;
    int64_t recovery_records;
    int64_t sql_requests;
    int64_t read_requests;
    int64_t write_requests;
    int64_t auto_vacuum_runs;
    int64_t auto_vacuum_skips;
    int64_t auto_vacuum_errors;
};

struct StatsAccount {
    std::mutex lock;
    ServerStats counters;  // guarded by lock
};
extern StatsAccount g_stats;
// Row memory in bytes.
struct MemAccount {
    std::mutex lock;
    uint64_t bytes = 0;  // guarded by lock
};
extern MemAccount g_mem;

// When the server last served a request and last ran an auto-vacuum.
struct ActivityClock {
    std::mutex lock;
    int64_t last_activity_ts = 0;     // unix seconds; guarded by lock
    int64_t last_auto_vacuum_ts = 0;  // unix seconds; guarded by lock
};
extern ActivityClock g_activity;

// counter is the address of one of g_stats.counters, e.g.
// &g_stats.counters.rows_inserted.
void stats_add(int64_t* counter, int64_t delta);
void stats_snapshot(ServerStats* out);

// Adds a signed delta; a decrease below zero leaves 0.
void mem_add(int64_t delta);
uint64_t mem_current();

void mark_activity();
// Seconds since the last activity; 999999999 before any; 0 if the clock went back.
int64_t seconds_since_activity();
void mark_auto_vacuum_run();
int64_t auto_vacuum_last_run_ts();
