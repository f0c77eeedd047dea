// Backend connections: connecting, binding a session to a backend (login and
// USE), the per-backend pools of idle logged-in connections, and the health
// probes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "router_types.h"

int connect_tcp(const char* host, int port, char* err, size_t errlen);
// Sends one frame and reads one reply; -1 with "backend send failed" or
// "backend response failed".
int backend_request_raw_fd(int fd, const char* request, std::string& reply, char* err,
                           size_t errlen);
// Results of backend_forward_raw_fd.
enum BackendForwardResult {
    BACKEND_REPLY = 0,          // the whole reply is in `reply`
    BACKEND_REPLY_RELAYED = 1,  // a reply above 8 MiB went to the client as it arrived
    BACKEND_FAILED = -1,        // nothing reached the client; err holds the message
    BACKEND_RELAY_BROKEN = -2,  // the backend failed part-way through a relayed reply
    BACKEND_CLIENT_LOST = -3,   // the client stopped taking a relayed reply
};
// Sends the request and passes the backend's reply on: up to 8 MiB it is
// returned in reply; a larger one is relayed to client_fd unchanged, so no
// reply the backend can frame is ever cut. After a broken relay neither
// connection can carry another frame.
int backend_forward_raw_fd(int fd, int client_fd, const char* request, std::string& reply,
                           char* err, size_t errlen);
int json_ok_true(const char* text);
int json_ok_false(const char* text);

int session_backend_matches_current_user(const RouterSession* s, int backend_idx);
int backend_login_and_use(RouterSession* s, const char* database, char* err, size_t errlen);
int backend_login_without_use(RouterSession* s, const char* database, char* err, size_t errlen);
void session_close_current_backend(RouterSession* s);
// Hands the session's connection to its pool (or closes it: pooling off or
// full, or a connection private to the session) and clears it.
void session_return_current_backend(RouterSession* s);

void backend_pools_init();
int backend_pool_take(int backend_idx, const char* user, const char* password);
void backend_pool_return(int backend_idx, const char* user, const char* password, int fd,
                         uint64_t generation);
void backend_pool_prune_all();
void backend_pool_close_all();
void backend_pool_close_matching(const char* user, const char* password);
int backend_pool_idle_count(int backend_idx);

// Route lookup under g_cfg_lock: backend index, copy of the backend and the
// generation; -1 no route, -2 route without a valid backend.
int router_db_route_snapshot(const char* database, int* backend_idx, BackendEntry* backend,
                             uint64_t* generation);

void health_thread();
int backend_ping_probe(const BackendEntry& b, int64_t* latency_us, char* err, size_t errlen);
void router_record_backend_health_result(int idx, const BackendEntry& probed, int ok,
                                         int64_t latency_us, const char* err);
void router_record_backend_runtime_error(int idx, const char* text);
std::string router_force_health_check_json();
