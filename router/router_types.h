// Records shared by every unit of the router: the configuration (backends,
// database routes, users, grants), the per-connection session, and the
// process-wide globals. Every text field is a NUL-terminated fixed array.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#define ROUTER_BANNER "KyrelDB Router 1.0 R8 Config Health Locking"

constexpr int ROUTER_MAX_BACKENDS = 64;
constexpr int ROUTER_MAX_DATABASES = 256;
constexpr int ROUTER_MAX_USERS = 512;
constexpr int ROUTER_MAX_GRANTS = 2048;

// Roles of grants and classes of requests (0 = any grant on the database).
enum RouterRole {
    ROUTER_ROLE_NONE = 0,
    ROUTER_ROLE_READ = 1,
    ROUTER_ROLE_WRITE = 2,
    ROUTER_ROLE_FULL = 3
};

struct BackendEntry {
    char name[64];
    char host[128];
    int32_t port;
    // Health record, filled by the probes and by forwarding errors.
    int32_t healthy;
    int64_t last_check_at;
    int64_t last_success_at;
    int64_t last_latency_us;   // -1 = none
    int64_t best_latency_us;   // -1 = none
    int64_t worst_latency_us;  // -1 = none
    uint64_t total_checks;
    uint64_t success_checks;
    uint64_t failed_checks;
    int32_t consecutive_failures;
    uint64_t runtime_failures;
    int64_t last_runtime_failure_at;
    char last_error[512];
    char last_runtime_error[512];
};

struct DatabaseRoute {
    char name[64];
    char backend_name[64];
    int32_t backend_idx;  // -1 until resolved
};

struct RouterUser {
    char username[64];
    char router_password[256];
    char backend_username[64];
    char backend_password[256];
    int32_t is_admin;
};

struct RouterGrant {
    char username[64];
    char database[64];  // a database name or "*"
    int32_t role;       // RouterRole
};

struct RouterConfig {
    char listen_host[128];
    int32_t listen_port;
    int32_t max_clients;
    int32_t backend_pool_enabled;
    int32_t backend_pool_max_per_backend;
    int32_t backend_pool_idle_seconds;
    int32_t sp_call_role;
    int32_t sp_call_require_same_backend_user;
    BackendEntry backends[ROUTER_MAX_BACKENDS];
    int32_t backend_count;
    DatabaseRoute databases[ROUTER_MAX_DATABASES];
    int32_t database_count;
    RouterUser users[ROUTER_MAX_USERS];
    int32_t user_count;
    RouterGrant grants[ROUTER_MAX_GRANTS];
    int32_t grant_count;
    int32_t auth_throttle_enabled;
    int32_t auth_fail_window_seconds;
    int32_t auth_fail_threshold;
    int32_t auth_throttle_seconds;
    int32_t auth_max_failures_per_session;
    // A connection that has not logged in within this many seconds is closed.
    int32_t login_timeout_seconds;
    char config_path[256];
};

// One per client connection, private to its thread.
struct RouterSession {
    int32_t client_fd;
    int32_t backend_fd;   // -1 none
    int32_t backend_idx;  // -1 none
    uint64_t backend_generation;
    char backend_username[64];
    char backend_password[256];
    char current_database[64];
    int32_t authenticated;
    RouterUser user;
    char username[64];
    uint64_t client_id;
    char peer[96];
    int64_t connected_at;
    int64_t last_request_at;
    int64_t last_response_at;
    uint64_t requests_served;
    uint64_t routed_requests;
    char last_action[128];
    int32_t auth_failures_in_session;
    int32_t close_after_reply;
    // The backend connection holds state of this session (cursors), so it is
    // closed when the session lets go of it, never handed to another one.
    int32_t backend_private;
    // The reply to the current request has already reached the client (a
    // large backend reply relayed as it arrived).
    int32_t reply_sent;
    // Admission (router_admission.h): the connection's pending ticket, 0 for
    // a session the accept loop did not admit (tests); and whether it holds
    // one of the MAX_CLIENTS places of logged-in clients.
    uint64_t admission_ticket;
    int32_t admitted;
};

// Process globals. g_cfg and g_config_generation are guarded by g_cfg_lock;
// g_active_clients (connections holding a logged-in place, see
// router_admission.h) by g_clients_lock. The signal handlers only store to
// g_running and g_reload_requested.
extern RouterConfig g_cfg;
extern std::mutex g_cfg_lock;
extern uint64_t g_config_generation;
extern std::atomic<int> g_running;
extern std::atomic<int> g_reload_requested;
extern int g_active_clients;
extern std::mutex g_clients_lock;
