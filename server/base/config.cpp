// Server settings and machine-based tuning.
//
// "./kyreldb.config" holds KEY=VALUE lines, read once at start-up:
//   - each line (at most 511 bytes; a longer one is read in pieces) is
//     trimmed of blanks and trailing semicolons; empty lines, lines starting
//     with '#' and lines without '=' are skipped;
//   - the line splits at the first '='; the key is upper-cased, the value
//     keeps its case; unknown keys are ignored;
//   - integers read like atoi (no digits reads as 0) but with range-checked
//     conversion, sizes are megabytes; a value outside the key's range is
//     ignored (field and set-by-file flag unchanged);
//   - later lines override earlier ones.
// After loading, and again after auto-tuning, a hard-stop percentage below
// the flush percentage becomes flush + 5, capped at 100.
#include "base/config.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include "base/text_util.h"

namespace {

constexpr uint64_t kMiB = 1ull << 20;
constexpr uint64_t kGiB = 1ull << 30;

const ServerConfig kDefaults = {
    4,                                          // read_workers
    2,                                          // write_workers
    8,                                          // connection_workers
    kGiB,                                       // memory_limit_bytes
    80,                                         // memory_flush_percent
    95,                                         // memory_hard_stop_percent
    1,                                          // auto_vacuum
    10,                                         // auto_vacuum_idle_seconds
    60,                                         // auto_vacuum_interval_seconds
    70,                                         // auto_vacuum_memory_percent
    64 * kMiB,                                  // auto_vacuum_wal_bytes
    1,                                          // auto_tune
    16,                                         // wal_sync_every
    2,                                          // commit_group_wait_ms
    300,                                        // cursor_idle_timeout_seconds
    3600,                                       // cursor_max_lifetime_seconds
    30000,                                      // frame_timeout_ms
    30,                                         // login_timeout_seconds
    256 * kMiB,                                 // max_reply_bytes
    "./kyreldb.config",                         // config_path
    "./kyreldb_data/bootstrap.checkpoint.meta"  // bootstrap_checkpoint_path
};

void fix_hard_stop(ServerConfig& c) {
    if (c.memory_hard_stop_percent < c.memory_flush_percent)
        c.memory_hard_stop_percent = c.memory_flush_percent + 5;
    if (c.memory_hard_stop_percent > 100) c.memory_hard_stop_percent = 100;
}

// Sets field to the value when it lies in [lo, hi]; raises flag if given.
void set_ranged(const char* value, int64_t lo, int64_t hi, int32_t* field, int* flag) {
    int64_t v = parse_config_int(value);
    if (v < lo || v > hi) return;
    *field = static_cast<int32_t>(v);
    if (flag) *flag = 1;
}

void set_size(const char* value, uint64_t* field, int* flag) {
    uint64_t v = parse_size_mb(value);
    if (v == 0) return;
    *field = v;
    if (flag) *flag = 1;
}

void apply_setting(const char* key, const char* value) {
    ServerConfig& c = g_cfg;
    if (!strcmp(key, "WORKER_THREADS") || !strcmp(key, "READ_WORKERS"))
        set_ranged(value, 1, 64, &c.read_workers, &g_cfg_set.read_workers);
    else if (!strcmp(key, "WRITE_WORKERS"))
        set_ranged(value, 1, 32, &c.write_workers, &g_cfg_set.write_workers);
    else if (!strcmp(key, "CONNECTION_WORKERS"))
        set_ranged(value, 1, 128, &c.connection_workers, &g_cfg_set.connection_workers);
    else if (!strcmp(key, "MEMORY_LIMIT_MB"))
        set_size(value, &c.memory_limit_bytes, &g_cfg_set.memory_limit);
    else if (!strcmp(key, "MEMORY_FLUSH_PERCENT"))
        set_ranged(value, 10, 99, &c.memory_flush_percent, nullptr);
    else if (!strcmp(key, "MEMORY_HARD_STOP_PERCENT"))
        set_ranged(value, 20, 100, &c.memory_hard_stop_percent, nullptr);
    else if (!strcmp(key, "AUTO_VACUUM"))
        c.auto_vacuum = parse_onoff(value, c.auto_vacuum);
    else if (!strcmp(key, "AUTO_VACUUM_IDLE_SECONDS"))
        set_ranged(value, 1, 3600, &c.auto_vacuum_idle_seconds, nullptr);
    else if (!strcmp(key, "AUTO_VACUUM_INTERVAL_SECONDS"))
        set_ranged(value, 5, 86400, &c.auto_vacuum_interval_seconds, nullptr);
    else if (!strcmp(key, "AUTO_VACUUM_MEMORY_PERCENT"))
        set_ranged(value, 10, 99, &c.auto_vacuum_memory_percent, nullptr);
    else if (!strcmp(key, "AUTO_VACUUM_WAL_MB"))
        set_size(value, &c.auto_vacuum_wal_bytes, nullptr);
    else if (!strcmp(key, "AUTO_TUNE"))
        c.auto_tune = parse_onoff(value, c.auto_tune);
    else if (!strcmp(key, "WAL_SYNC_EVERY"))
        set_ranged(value, 1, 1024, &c.wal_sync_every, &g_cfg_set.wal_sync_every);
    else if (!strcmp(key, "COMMIT_GROUP_WAIT_MS"))
        set_ranged(value, 0, 100, &c.commit_group_wait_ms, &g_cfg_set.commit_group_wait);
    else if (!strcmp(key, "CURSOR_IDLE_TIMEOUT_SECONDS"))
        set_ranged(value, 0, 86400, &c.cursor_idle_timeout_seconds, nullptr);
    else if (!strcmp(key, "CURSOR_MAX_LIFETIME_SECONDS"))
        set_ranged(value, 0, 604800, &c.cursor_max_lifetime_seconds, nullptr);
    else if (!strcmp(key, "FRAME_TIMEOUT_MS"))
        set_ranged(value, 1, 3600000, &c.frame_timeout_ms, nullptr);
    else if (!strcmp(key, "LOGIN_TIMEOUT_SECONDS"))
        set_ranged(value, 1, 86400, &c.login_timeout_seconds, nullptr);
    else if (!strcmp(key, "MAX_REPLY_MB")) {
        // A reply travels in one frame: at most 4095 MiB.
        uint64_t v = parse_size_mb(value);
        if (v != 0 && v <= 4095 * kMiB) c.max_reply_bytes = v;
    }
}

}  // namespace

ServerConfig g_cfg = kDefaults;
RuntimeResources g_runtime = {1, 0, -1, DISK_MEDIUM};

ConfigSetByFile g_cfg_set = {};

void config_reset_defaults() {
    g_cfg = kDefaults;
    g_cfg_set = ConfigSetByFile{};
}

uint64_t parse_size_mb(const char* text) {
    const char* p = skip_ws(text ? text : "0");
    if (*p == '+') p++;
    if (!isdigit(static_cast<unsigned char>(*p))) return 0;  // also refuses a sign '-'
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(p, &end, 10);
    if (errno == ERANGE || v > (UINT64_MAX >> 20)) return 0;
    return static_cast<uint64_t>(v) << 20;
}

int64_t parse_config_int(const char* text) {
    if (!text) return 0;
    errno = 0;
    char* end = nullptr;
    long long v = strtoll(text, &end, 10);
    if (end == text) return 0;  // no digits: reads as 0, as atoi does
    // strtoll saturates at LLONG_MIN/LLONG_MAX on overflow: outside every range.
    return static_cast<int64_t>(v);
}

int parse_onoff(const char* text, int current) {
    if (!text) return current;
    if (!strcasecmp(text, "ON") || !strcasecmp(text, "YES") || !strcasecmp(text, "TRUE") ||
        !strcmp(text, "1"))
        return 1;
    if (!strcasecmp(text, "OFF") || !strcasecmp(text, "NO") || !strcasecmp(text, "FALSE") ||
        !strcmp(text, "0"))
        return 0;
    return current;
}

int clamp_int(int v, int lo, int hi) {
    if (v < lo) return lo;
    return v < hi ? v : hi;
}

int load_config_file() {
    FILE* f = fopen(g_cfg.config_path, "r");
    if (!f) return 0;
    char line[512];
    while (fgets(line, sizeof line, f)) {
        trim_ws(line);
        if (line[0] == '\0' || line[0] == '#') continue;
        char* eq = strchr(line, '=');
        if (!eq) continue;
        *eq = '\0';
        char* key = line;
        char* value = eq + 1;
        trim_ws(key);
        trim_ws(value);
        strtoupper(key);
        apply_setting(key, value);
    }
    fclose(f);
    fix_hard_stop(g_cfg);
    return 0;
}

int64_t detect_cpu_count() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n < 1 ? 1 : static_cast<int64_t>(n);
}

uint64_t detect_ram_bytes() {
    long pages = sysconf(_SC_PHYS_PAGES);
    long page = sysconf(_SC_PAGESIZE);
    if (pages < 1 || page < 1) return 0;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page);
}

int64_t monotonic_us() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t probe_wal_fsync_us(const char* dir) {
    char path[512];
    snprintf(path, sizeof path, "%s/.wal_probe.tmp", dir ? dir : ".");
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    char buf[4096];
    memset(buf, 'Z', sizeof buf);
    int64_t total = 0;
    for (int i = 0; i < 4; i++) {
        ssize_t w = write(fd, buf, sizeof buf);
        int64_t t0 = monotonic_us();
        int rc = (w == static_cast<ssize_t>(sizeof buf)) ? fdatasync(fd) : -1;
        int64_t t1 = monotonic_us();
        if (rc != 0) {
            close(fd);
            unlink(path);
            return -1;
        }
        total += t1 - t0;
    }
    close(fd);
    unlink(path);
    return total / 4;
}

int32_t disk_class_for_fsync_us(int64_t us) {
    if (us >= 0 && us <= 3000) return DISK_FAST;
    if (us > 12000) return DISK_SLOW;
    return DISK_MEDIUM;
}

void detect_runtime_resources(const char* probe_dir) {
    g_runtime.cpu_count = detect_cpu_count();
    g_runtime.ram_bytes = detect_ram_bytes();
    g_runtime.wal_fsync_us = probe_wal_fsync_us(probe_dir);
    g_runtime.disk_class = disk_class_for_fsync_us(g_runtime.wal_fsync_us);
}

void auto_tune_config_from(const RuntimeResources& res) {
    ServerConfig& c = g_cfg;
    int64_t cpus = res.cpu_count < 1 ? 1 : res.cpu_count;
    int cc = cpus > INT_MAX / 2 ? INT_MAX / 2 : static_cast<int>(cpus);

    if (!g_cfg_set.memory_limit) {
        uint64_t r = res.ram_bytes;
        if (r == 0)
            c.memory_limit_bytes = kGiB;
        else if (r < 2 * kGiB)
            c.memory_limit_bytes = 256 * kMiB;
        else if (r < 4 * kGiB)
            c.memory_limit_bytes = 512 * kMiB;
        else if (r < 16 * kGiB)
            c.memory_limit_bytes = kGiB;
        else if (r < 64 * kGiB)
            c.memory_limit_bytes = 2 * kGiB;
        else if (r < 128 * kGiB)
            c.memory_limit_bytes = 4 * kGiB;
        else
            c.memory_limit_bytes = 8 * kGiB;
    }
    if (!g_cfg_set.read_workers) c.read_workers = cc <= 2 ? 1 : clamp_int(cc / 2, 1, 16);
    if (!g_cfg_set.write_workers) c.write_workers = cc <= 2 ? 1 : cc <= 6 ? 2 : cc <= 12 ? 3 : 4;
    if (!g_cfg_set.connection_workers) c.connection_workers = clamp_int(2 * cc, 4, 64);
    if (!g_cfg_set.wal_sync_every)
        c.wal_sync_every = res.disk_class == DISK_FAST ? 32 : res.disk_class == DISK_SLOW ? 8 : 16;
    if (!g_cfg_set.commit_group_wait) {
        c.commit_group_wait_ms = res.disk_class == DISK_FAST   ? 1
                                 : res.disk_class == DISK_SLOW ? 4
                                                               : 2;
        if (cc <= 2 && c.commit_group_wait_ms < 3) c.commit_group_wait_ms = 3;
    }
    fix_hard_stop(c);
}

void auto_tune_runtime_config() { auto_tune_config_from(g_runtime); }
