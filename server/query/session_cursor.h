// Session cursors: a SELECT * result read in batches from a fixed snapshot.
//
// Opening lists, once, the primary keys of the matching rows and the highest
// sequence number then present; each fetch reads, for the next keys, the
// version visible at that snapshot. Every open cursor holds a pin in the
// cursor pin registry, which keeps checkpoint compaction from discarding the
// versions the snapshot still needs, and through which administrators list
// and kill cursors of other sessions.
//
// A Session's slots are touched only by the thread serving that session, so
// they carry no lock. Replies are heap texts owned by the caller.
#pragma once

#include <cstddef>
#include <cstdint>

struct Session;

constexpr int SESSION_CURSOR_SLOTS = 16;
constexpr int CURSOR_FETCH_DEFAULT = 1000;
constexpr int CURSOR_FETCH_MAX = 10000;

// One open cursor; a free slot has in_use 0 and every field zero.
struct SessionCursor {
    uint32_t in_use;
    uint64_t cursor_id;  // per-session id, from 1
    char internal_table[130];
    char table[64];  // table name as the statement wrote it
    char** keys;     // owned primary-key snapshot
    int32_t total;   // number of keys
    int32_t offset;  // index of the next key to read
    uint64_t snapshot_seq;
    uint64_t pin_token;
    uint64_t memory_bytes;  // also counted in the global row-memory figure
    int64_t opened_at;      // unix seconds
    int64_t last_fetch_at;
    uint64_t fetch_calls;
    uint64_t rows_fetched;
};

struct SelectQuery;

// A cursor over a parsed SELECT of a table the caller resolved (internal name,
// and the name as the statement wrote it). 0 with *out the first batch; -1
// with a message. The SQL form, which resolves the table in the Session's
// database, is session_cursor_open_select (exec/row_statements.h).
int session_cursor_open_table(Session* session, const char* internal, const char* table,
                              const SelectQuery* q, int batch, char** out, char* err,
                              size_t errlen);
// -1 with the cursor_open message unless q is a SELECT * without ORDER BY,
// GROUP BY, aggregates or window functions.
int session_cursor_query_supported(const SelectQuery* q, char* err, size_t errlen);
int session_cursor_fetch(Session* session, uint64_t cursor_id, int batch, char** out, char* err,
                         size_t errlen);
int session_cursor_close(Session* session, uint64_t cursor_id, char** out, char* err,
                         size_t errlen);
// KILL CURSOR <id> | KILL CURSOR PIN|TOKEN <token>: one of the outputs is set,
// the other is 0.
int parse_kill_cursor_sql(const char* sql, uint64_t* cursor_id_out, uint64_t* pin_token_out,
                          char* err, size_t errlen);
int session_cursor_kill_request(Session* session, uint64_t cursor_id, uint64_t pin_token,
                                char** out, char* err, size_t errlen);
int build_show_cursors_json(Session* session, char** out, char* err, size_t errlen);

// Batch size from "fetch", "fetch_size" or "batch_size" (first integer
// found); none or below 1 gives def; clamped to 1..10000.
int cursor_fetch_limit_from_payload(const char* payload, int def);

// Clears used slots that timed out or lost their pin; returns how many.
// Costs nothing for a session without open cursors.
int session_cursors_expire_timed_out(Session* session);
void session_cursors_free_all(Session* session);
// Unregisters the pin, returns the accounted memory, frees the keys and zeroes
// the slot.
void session_cursor_clear(SessionCursor* cursor);

// Internal steps, exposed for tests.
SessionCursor* session_cursor_find(Session* session, uint64_t cursor_id);
SessionCursor* session_cursor_alloc(Session* session);
uint64_t session_next_cursor_id(Session* session);
uint64_t cursor_keys_memory_bytes(char* const* keys, int count);
// 1 expired (reason filled), 0 not; a free slot never expires.
int session_cursor_is_timed_out(const SessionCursor* cursor, int64_t now, char* reason,
                                size_t reason_cap);
