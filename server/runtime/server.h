// Server process: command line, signal routing, listener and accept loop.
//
// g_running only ever goes from 1 to 0 (on SIGINT/SIGTERM); every thread loop
// tests it. SIGINT and SIGTERM are blocked in every thread but the main one,
// and the main thread waits for connections in epoll_pwait with them
// unblocked, so a termination signal always ends the accept loop at once.
#pragma once

#include <atomic>
#include <cstdint>

extern std::atomic<int> g_running;  // atomic: 0 asks every thread to stop
// Written by the start-up thread before any other thread exists, read-only
// afterwards: no lock.
extern int g_server_port;          // set by --port, default 9191
extern int64_t g_server_start_ts;  // unix seconds; the first thing main sets

// 1: exit 0 at once (--about); -1: command-line error (already printed); 0: go on.
int parse_cli_args(int argc, char** argv);
void print_about();
void on_signal(int sig);

// Routes SIGINT/SIGTERM to on_signal (reset to the default after the first
// delivery, system calls not restarted), ignores SIGPIPE, and blocks SIGINT
// and SIGTERM in the calling thread so that threads started afterwards
// inherit the block. Call from main before the first thread starts.
void server_install_signals();

// Socket, SO_REUSEADDR, bind 0.0.0.0:port, listen(1024). The listener is
// non-blocking. -1 after perror("socket"/"bind"/"listen").
int server_listen(int port);

// Accepts and watches the connections in the event set (conn_events.h)
// until g_running drops; a client that cannot be taken gets "server busy:
// too many connections" and is closed.
void server_accept_loop(int listen_fd);

// After the accept loop: unblock SIGINT/SIGTERM in the main thread again so
// that a second signal ends the process with the default action.
void server_unblock_signals();
