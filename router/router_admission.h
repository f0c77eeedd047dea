// Admission of client connections: which connections the router keeps, so
// that idle or hostile connections that never log in cannot take the places
// of logged-in clients.
//
// A connection starts "pending". Pending connections are bounded apart from
// logged-in clients (as many as MAX_CLIENTS, at least
// ROUTER_MIN_PENDING_LOGINS); when a new connection arrives at that bound,
// the oldest pending one is closed to make room. A pending connection that
// has not logged in within LOGIN_TIMEOUT_SECONDS is closed. Only a
// successful login takes one of the MAX_CLIENTS places (g_active_clients);
// a login that finds them all taken is refused and its connection closed.
// A connection the router closes is told why in one last reply frame.
#pragma once

#include <cstddef>
#include <cstdint>

#include "router_types.h"

constexpr int ROUTER_MIN_PENDING_LOGINS = 64;

#define ROUTER_AT_CAPACITY_MESSAGE "router is at max client capacity"
#define ROUTER_LOGIN_TIMEOUT_MESSAGE "login timed out"

// The accept loop admits a new connection as pending (closing the oldest
// pending connection when the bound is reached). Returns its ticket, or 0
// when memory ran out.
uint64_t router_admit_pending(int fd);
// The accept loop, about once a second: closes every pending connection
// older than the login time-out.
void router_reap_pending();
// A session whose credentials were just accepted takes a logged-in place.
// 0 (also for a session already holding one or not admitted by the accept
// loop), or -1 with the refusal in err; the caller then closes the
// connection after its reply.
int router_admit_login(RouterSession* s, char* err, size_t errlen);
// The client thread, before it closes its socket: gives back the session's
// pending entry or logged-in place. When the router closed the connection
// itself, the message to send the client as its last reply; else nullptr.
const char* router_release_client(RouterSession* s);
// Leaves a ticket unused (the client thread could not start).
void router_forget_pending(uint64_t ticket);
