// Server settings (g_cfg) read once from "./kyreldb.config" at start-up, and
// the measured machine resources (g_runtime) used to auto-tune unset settings.
// Written only by the start-up thread before any worker exists; read-only
// afterwards, without locks.
#pragma once

#include <cstdint>

struct ServerConfig {
    int32_t read_workers;
    int32_t write_workers;
    int32_t connection_workers;
    uint64_t memory_limit_bytes;
    int32_t memory_flush_percent;
    int32_t memory_hard_stop_percent;
    int32_t auto_vacuum;
    int32_t auto_vacuum_idle_seconds;
    int32_t auto_vacuum_interval_seconds;
    int32_t auto_vacuum_memory_percent;
    uint64_t auto_vacuum_wal_bytes;
    int32_t auto_tune;
    int32_t wal_sync_every;
    int32_t commit_group_wait_ms;
    int32_t cursor_idle_timeout_seconds;
    int32_t cursor_max_lifetime_seconds;
    int32_t frame_timeout_ms;       // a started request frame must be complete within this
    int32_t login_timeout_seconds;  // a connection not logged in by then is closed
    uint64_t max_reply_bytes;       // largest reply built; larger ones get "reply too large"
    char config_path[256];
    char bootstrap_checkpoint_path[256];
};

enum DiskClass { DISK_SLOW = 0, DISK_MEDIUM = 1, DISK_FAST = 2 };

struct RuntimeResources {
    int64_t cpu_count;     // at least 1
    uint64_t ram_bytes;    // 0 when unknown
    int64_t wal_fsync_us;  // -1 when the probe failed
    int32_t disk_class;    // DiskClass
};

extern ServerConfig g_cfg;
extern RuntimeResources g_runtime;

// Which settings the file supplied: a member is raised when the file gave an
// accepted value, and auto-tuning then keeps that value. Same guard as g_cfg
// (the start-up thread writes, before any worker exists; read-only after).
struct ConfigSetByFile {
    int read_workers;
    int write_workers;
    int connection_workers;
    int memory_limit;
    int wal_sync_every;
    int commit_group_wait;
};
extern ConfigSetByFile g_cfg_set;

// Restores the built-in defaults and lowers every set-by-file flag.
void config_reset_defaults();

// Reads g_cfg.config_path into g_cfg; always 0 (a missing file keeps defaults).
int load_config_file();
// Fills g_runtime from this machine; the disk-sync time is measured with a
// scratch file in probe_dir (the data directory).
void detect_runtime_resources(const char* probe_dir);
// Fills unset fields of g_cfg from g_runtime.
void auto_tune_runtime_config();
// Fills unset fields of g_cfg from the given figures (used by the above).
void auto_tune_config_from(const RuntimeResources& res);
// DiskClass of a measured fsync time in microseconds (-1 = probe failed).
int32_t disk_class_for_fsync_us(int64_t us);

// Megabytes text to bytes; 0 for text that is not a plain non-negative
// number or whose byte count does not fit 64 bits (0 is never accepted).
uint64_t parse_size_mb(const char* text);
// Integer setting text: leading blanks, optional sign, digits (none reads as
// 0), trailing text ignored. Values beyond 32 bits saturate so that every
// range check refuses them.
int64_t parse_config_int(const char* text);
int parse_onoff(const char* text, int current);
int clamp_int(int v, int lo, int hi);
int64_t detect_cpu_count();
uint64_t detect_ram_bytes();
int64_t monotonic_us();
int64_t probe_wal_fsync_us(const char* dir);
