// Cursor pin registry: 4096 fixed slots scanned linearly under one leaf mutex.
// Pins live only in memory; a restart starts with an empty registry.
#include "storage/cursor_pins.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/config.h"
#include "base/err.h"

CursorRegistry g_cursor_registry;

namespace {

void copy_cut(char* dest, size_t cap, const char* src) {
    snprintf(dest, cap, "%s", src ? src : "");
}

CursorPin* find_token_locked(uint64_t token) {
    if (token == 0) return nullptr;
    for (auto& p : g_cursor_registry.pins)
        if (p.in_use && p.pin_token == token) return &p;
    return nullptr;
}

int expire_locked(int64_t now) {
    int cleared = 0;
    for (auto& p : g_cursor_registry.pins) {
        if (!p.in_use) continue;
        char reason[32];
        int64_t age = 0, idle = 0;
        if (cursor_timeout_check(p.opened_at, p.last_fetch_at, now, reason, sizeof reason, &age,
                                 &idle)) {
            memset(&p, 0, sizeof p);
            g_cursor_registry.pin_count.fetch_sub(1);
            ++cleared;
        }
    }
    return cleared;
}

bool timeouts_off() {
    return g_cfg.cursor_max_lifetime_seconds <= 0 && g_cfg.cursor_idle_timeout_seconds <= 0;
}

}  // namespace

uint64_t cursor_registry_next_token_locked() {
    if (g_cursor_registry.next_token == 0) g_cursor_registry.next_token = 1;
    uint64_t t = g_cursor_registry.next_token++;
    if (g_cursor_registry.next_token == 0) g_cursor_registry.next_token = 1;
    return t;
}

int cursor_registry_register(const char* internal_table, uint64_t snapshot_seq,
                             uint64_t memory_bytes, uint64_t* out_token, char* err, size_t errlen) {
    if (out_token) *out_token = 0;
    if (!internal_table || !*internal_table || !out_token) {
        set_err(err, errlen, "invalid cursor pin");
        return -1;
    }
    std::lock_guard<std::mutex> g(g_cursor_registry.lock);
    for (auto& p : g_cursor_registry.pins) {
        if (p.in_use) continue;
        memset(&p, 0, sizeof p);
        p.in_use = 1;
        p.pin_token = cursor_registry_next_token_locked();
        copy_cut(p.internal_table, sizeof p.internal_table, internal_table);
        p.snapshot_seq = snapshot_seq;
        p.memory_bytes = memory_bytes;
        p.opened_at = (int64_t)time(nullptr);
        p.last_fetch_at = 0;
        g_cursor_registry.pin_count.fetch_add(1);
        *out_token = p.pin_token;
        return 0;
    }
    set_err(err, errlen, "too many active cursor snapshots");
    return -1;
}

void cursor_registry_unregister(uint64_t token) {
    if (token == 0 || g_cursor_registry.pin_count.load() <= 0) return;
    std::lock_guard<std::mutex> g(g_cursor_registry.lock);
    if (CursorPin* p = find_token_locked(token)) {
        memset(p, 0, sizeof *p);
        g_cursor_registry.pin_count.fetch_sub(1);
    }
}

void cursor_registry_update_state(uint64_t token, uint64_t cursor_id, const char* table,
                                  int32_t total, int32_t offset) {
    std::lock_guard<std::mutex> g(g_cursor_registry.lock);
    CursorPin* p = find_token_locked(token);
    if (!p) return;
    if (cursor_id != 0) p->cursor_id = cursor_id;
    if (table && *table) copy_cut(p->table, sizeof p->table, table);
    if (total >= 0) p->total = total;
    if (offset >= 0) p->offset = offset;
    p->last_fetch_at = (int64_t)time(nullptr);
}

int cursor_timeout_check(int64_t opened_at, int64_t last_fetch_at, int64_t now, char* reason,
                         size_t reason_cap, int64_t* out_age, int64_t* out_idle) {
    int64_t age = (opened_at < 1 || opened_at > now) ? 0 : now - opened_at;
    int64_t base = last_fetch_at >= 1 ? last_fetch_at : opened_at;
    int64_t idle = (base < 1 || base > now) ? 0 : now - base;
    if (out_age) *out_age = age;
    if (out_idle) *out_idle = idle;
    if (reason && reason_cap) reason[0] = '\0';
    const int64_t life = g_cfg.cursor_max_lifetime_seconds;
    const int64_t idle_limit = g_cfg.cursor_idle_timeout_seconds;
    if (life > 0 && age >= life) {
        if (reason && reason_cap) snprintf(reason, reason_cap, "max_lifetime_timeout");
        return 1;
    }
    if (idle_limit > 0 && idle >= idle_limit) {
        if (reason && reason_cap) snprintf(reason, reason_cap, "idle_timeout");
        return 1;
    }
    return 0;
}

int cursor_registry_token_active(uint64_t token) {
    if (token == 0 || g_cursor_registry.pin_count.load() <= 0) return 0;
    std::lock_guard<std::mutex> g(g_cursor_registry.lock);
    return find_token_locked(token) ? 1 : 0;
}

int cursor_registry_kill_token(uint64_t token) {
    std::lock_guard<std::mutex> g(g_cursor_registry.lock);
    CursorPin* p = find_token_locked(token);
    if (!p) return 0;
    memset(p, 0, sizeof *p);
    g_cursor_registry.pin_count.fetch_sub(1);
    return 1;
}

int cursor_registry_expire_timed_out() {
    if (timeouts_off() || g_cursor_registry.pin_count.load() <= 0) return 0;
    std::lock_guard<std::mutex> g(g_cursor_registry.lock);
    return expire_locked((int64_t)time(nullptr));
}

int cursor_table_pin_stats(const char* internal_table, int* out_count, uint64_t* out_lowest) {
    const bool all = !internal_table || !*internal_table;
    if (g_cursor_registry.pin_count.load() <= 0) {
        if (out_count) *out_count = 0;
        if (out_lowest) *out_lowest = 0;
        return 0;
    }
    const bool expire = !timeouts_off();
    std::lock_guard<std::mutex> g(g_cursor_registry.lock);
    if (expire) expire_locked((int64_t)time(nullptr));
    int count = 0;
    uint64_t lowest = 0;
    for (const auto& p : g_cursor_registry.pins) {
        if (!p.in_use) continue;
        if (!all && strcmp(p.internal_table, internal_table) != 0) continue;
        if (count == 0 || p.snapshot_seq < lowest) lowest = p.snapshot_seq;
        ++count;
    }
    if (out_count) *out_count = count;
    if (out_lowest) *out_lowest = lowest;
    return count > 0 ? 1 : 0;
}

void cursor_registry_stats(int* out_count, uint64_t* out_memory, uint64_t* out_lowest,
                           int64_t* out_oldest_age) {
    if (g_cursor_registry.pin_count.load() <= 0) {
        if (out_count) *out_count = 0;
        if (out_memory) *out_memory = 0;
        if (out_lowest) *out_lowest = 0;
        if (out_oldest_age) *out_oldest_age = 0;
        return;
    }
    const bool expire = !timeouts_off();
    std::lock_guard<std::mutex> g(g_cursor_registry.lock);
    const int64_t now = (int64_t)time(nullptr);
    if (expire) expire_locked(now);
    int count = 0;
    uint64_t mem = 0, lowest = 0;
    int64_t oldest = 0;
    for (const auto& p : g_cursor_registry.pins) {
        if (!p.in_use) continue;
        if (count == 0 || p.snapshot_seq < lowest) lowest = p.snapshot_seq;
        if (count == 0 || p.opened_at < oldest) oldest = p.opened_at;
        mem += p.memory_bytes;
        ++count;
    }
    if (out_count) *out_count = count;
    if (out_memory) *out_memory = mem;
    if (out_lowest) *out_lowest = lowest;
    if (out_oldest_age) *out_oldest_age = (count == 0 || oldest > now) ? 0 : now - oldest;
}
