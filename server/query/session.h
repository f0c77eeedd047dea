// Session: the per-connection state of one client conversation.
//
// One Session lives in the connection's record (runtime/conn_events.h) for
// the whole life of a connection. Jobs of that connection borrow it through
// Job::session. No lock protects it: one connection worker at a time serves
// the connection (the hand-over through the event set orders their
// accesses), and while that worker waits for a write job the commit thread is
// the only one that may change its login fields.
#pragma once

#include <cstdint>

#include "query/session_cursor.h"

struct Session {
    char current_database[64];  // database of unqualified names; "" reads as "default"
    uint32_t authenticated;     // 1 after a successful login
    uint32_t must_change_password;
    uint32_t is_admin;
    uint32_t from_localhost;  // peer_address is a loopback address
    char username[64];
    char peer_address[64];                        // numeric peer address, "unknown" when not known
    uint64_t next_cursor_id;                      // 0 counts as 1
    SessionCursor cursors[SESSION_CURSOR_SLOTS];  // open cursors; a free slot is all zero
};

// The database of the Session's unqualified names: "default" when none is set
// (and for no Session at all).
inline const char* session_database(const Session* s) {
    return (s && s->current_database[0]) ? s->current_database : "default";
}
