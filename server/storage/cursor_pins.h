// Cursor pin registry: the process-wide list of open cursor snapshots. A pin
// names a table and a snapshot sequence; checkpoint compaction leaves the
// version chain of a pinned table whole so the snapshot stays readable.
// Every routine takes g_cursor_registry.lock (a leaf lock) for its scan.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

constexpr int CURSOR_PIN_SLOTS = 4096;

struct CursorPin {
    uint32_t in_use;     // 1 when the slot holds a pin; a free slot is all zero
    uint64_t pin_token;  // unique, non-zero
    uint64_t cursor_id;  // the session's cursor id (0 until set)
    char internal_table[130];
    char table[64];  // table name as the client wrote it (reports)
    uint64_t snapshot_seq;
    int32_t total;   // rows in the key snapshot
    int32_t offset;  // rows already fetched
    uint64_t memory_bytes;
    int64_t opened_at;      // unix seconds
    int64_t last_fetch_at;  // unix seconds; 0 before the first update
};

struct CursorRegistry {
    std::mutex lock;                   // lock order: storage/lock_order.h
    CursorPin pins[CURSOR_PIN_SLOTS];  // guarded by lock
    uint64_t next_token = 1;           // guarded by lock
    // Used slots; changed under lock. Lets the scans return at once without
    // the lock while no cursor is open (the common case on every read
    // request and checkpoint).
    std::atomic<int> pin_count{0};
};
extern CursorRegistry g_cursor_registry;

// Caller holds g_cursor_registry.lock. Never returns 0.
uint64_t cursor_registry_next_token_locked();
// 0 with *out_token set; -1 "invalid cursor pin" / "too many active cursor snapshots".
int cursor_registry_register(const char* internal_table, uint64_t snapshot_seq,
                             uint64_t memory_bytes, uint64_t* out_token, char* err, size_t errlen);
void cursor_registry_unregister(uint64_t token);
// cursor_id set when non-zero, table when non-empty, total/offset when >= 0;
// last_fetch_at always becomes now.
void cursor_registry_update_state(uint64_t token, uint64_t cursor_id, const char* table,
                                  int32_t total, int32_t offset);
// 1 when expired (reason "max_lifetime_timeout" or "idle_timeout"), else 0.
int cursor_timeout_check(int64_t opened_at, int64_t last_fetch_at, int64_t now, char* reason,
                         size_t reason_cap, int64_t* out_age, int64_t* out_idle);
int cursor_registry_token_active(uint64_t token);
int cursor_registry_kill_token(uint64_t token);
// Clears expired pins; returns how many.
int cursor_registry_expire_timed_out();
// After expiry: pins of that table (all pins for NULL/empty) and their lowest
// snapshot; 1 when the count is non-zero.
int cursor_table_pin_stats(const char* internal_table, int* out_count, uint64_t* out_lowest);
void cursor_registry_stats(int* out_count, uint64_t* out_memory, uint64_t* out_lowest,
                           int64_t* out_oldest_age);
