// The event set of open client connections (Conn): a connection holds no
// worker between requests. It waits in one epoll set that the main thread
// watches together with the listener; when bytes arrive the main thread
// hands the socket to the connection queue, a connection worker reads what is
// there, answers a complete request and gives the connection back to the set.
//
// States of a Conn, guarded by g_conns.lock (a leaf lock: only the epoll
// calls run under it):
//   idle  in the set, armed once (EPOLLONESHOT); only the main thread acts on
//         it: it marks it busy when its event fires, or closes it when a
//         time limit passed
//   busy  queued for or held by one connection worker, which alone touches
//         its Session and frame reader until it hands it back (idle) or
//         closes it
// Time limits, checked by the main thread a few times a second on the idle
// connections whose deadline has come (a queue of deadlines, so idle
// connections with nothing due cost nothing): a connection that has not logged in within
// g_cfg.login_timeout_seconds of its accept gets "login not completed in
// time" and is closed; a started frame not complete within
// g_cfg.frame_timeout_ms gets "request frame not completed in time".
//
// When no more connections can be taken (the cap of open connections, which
// keeps descriptors back for the data files, or no descriptor at all) a new
// client gets "server busy: too many connections" at once and is closed.
#pragma once

#include <csignal>
#include <cstdint>

#include "base/frame_io.h"
#include "query/session.h"

struct Conn {
    int fd;
    uint64_t id;            // unique per connection, never reused
    int state;              // ConnState, guarded by g_conns.lock
    int64_t frame_due_for;  // reader.started_ms whose deadline is queued, guarded likewise
    int64_t opened_ms;      // frame_clock_ms() at accept
    FrameReader reader;     // the request frame read so far (busy: its worker's)
    Session session;        // busy: its worker's; idle: nobody writes it
};

// Raises the soft limit of open descriptors to the hard limit, so that the
// number of connections is not bounded by a low default. Call at start-up.
void conn_raise_fd_limit();

// Runs the event set on the listener until g_running drops; epoll waits with
// wait_mask as the signal mask. -1 at once when the set cannot be made
// (after perror).
int conn_events_run(int listen_fd, const sigset_t* wait_mask);

// The busy Conn of a socket taken from the connection queue, or nullptr.
Conn* conn_take(int fd);
// Gives a busy Conn back to the event set (it is closed when that fails).
void conn_release(Conn* c);
// Closes a busy Conn: its cursors are released and its memory freed.
void conn_close(Conn* c);
