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
int json_ok_true(const char* text);
int json_ok_false(const char* text);

int session_backend_matches_current_user(const RouterSession* s, int backend_idx);
int backend_login_and_use(RouterSession* s, const char* database, char* err, size_t errlen);
int backend_login_without_use(RouterSession* s, const char* database, char* err, size_t errlen);
void session_close_current_backend(RouterSession* s);
// Hands the session's connection to its pool (or closes it) and clears it.
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
