// Backend connections, pools and health probes.
//
// A backend connection is in exactly one place at a time: a session, a pool
// entry, or a probe (probes never pool). Pools are per backend index, each
// under its own mutex; the only lock taken while a pool mutex is held is the
// statistics lock. No network I/O happens under any lock.
#include "router_backend.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <list>
#include <strings.h>
#include <thread>

#include "router_config.h"
#include "router_reports.h"
#include "router_request.h"
#include "router_json.h"
#include "router_wire.h"

namespace {

struct PooledBackendConn {
    int fd;
    char backend_username[64];
    char backend_password[256];
    int64_t last_used;
};

struct BackendPool {
    std::mutex mutex;
    std::list<PooledBackendConn> conns;  // newest at the front
    int idle_count = 0;
};

BackendPool g_backend_pools[ROUTER_MAX_BACKENDS];

struct PoolSettings {
    int enabled;
    int max_per_backend;
    int idle_seconds;
    int backend_count;
};

PoolSettings pool_settings_snapshot() {
    std::lock_guard<std::mutex> g(g_cfg_lock);
    return PoolSettings{g_cfg.backend_pool_enabled, g_cfg.backend_pool_max_per_backend,
                        g_cfg.backend_pool_idle_seconds, g_cfg.backend_count};
}

bool pool_expired(const PoolSettings& ps, const PooledBackendConn& c, int64_t now) {
    return ps.idle_seconds > 0 && now - c.last_used > ps.idle_seconds;
}

void discard_entry(PooledBackendConn& c) {
    close(c.fd);
    router_wipe(c.backend_password, sizeof c.backend_password);
}

// Closes one idle connection and removes it from its pool; the caller holds
// the pool's lock. Returns the position after it.
std::list<PooledBackendConn>::iterator pool_discard(BackendPool& p,
                                                    std::list<PooledBackendConn>::iterator it) {
    discard_entry(*it);
    it = p.conns.erase(it);
    p.idle_count--;
    stats_add(STAT_POOL_DISCARDED, 1);
    return it;
}

void clear_session_backend_fields(RouterSession* s) {
    s->backend_fd = -1;
    s->backend_idx = -1;
    s->backend_generation = 0;
    s->backend_username[0] = '\0';
    router_wipe(s->backend_password, sizeof s->backend_password);
    s->backend_private = 0;
}

// Message of a failed login/USE reply: "<prefix>: <error>" or "<prefix>".
void reply_failure_message(const std::string& reply, const char* prefix, char* err, size_t errlen) {
    char e[256];
    if (json_extract_string(reply.c_str(), "error", e, sizeof e) != -1)
        snprintf(err, errlen, "%s: %s", prefix, e);
    else
        snprintf(err, errlen, "%s", prefix);
}

int backend_connect_count_error(int idx, const BackendEntry& b, char* err, size_t errlen) {
    int fd = connect_tcp(b.host, b.port, err, errlen);
    if (fd < 0) {
        stats_add(STAT_BACKEND_ERRORS, 1);
        router_record_backend_runtime_error(idx, err);
    }
    return fd;
}

// Steps shared by both bindings: hand back, take or connect, log in.
int bind_and_login(RouterSession* s, const char* database, bool* reused, char* err, size_t errlen) {
    *reused = false;
    if (router_session_refresh_user(s) != 0) {
        snprintf(err, errlen, "not authenticated");
        return -1;
    }
    int idx;
    BackendEntry b;
    uint64_t gen;
    if (router_db_route_snapshot(database, &idx, &b, &gen) != 0) {
        snprintf(err, errlen, "unknown database route: %s", database);
        return -1;
    }
    if (session_backend_matches_current_user(s, idx)) {
        *reused = true;
        return 0;
    }
    session_return_current_backend(s);
    int fd = backend_pool_take(idx, s->user.backend_username, s->user.backend_password);
    if (fd < 0) {
        fd = backend_connect_count_error(idx, b, err, errlen);
        if (fd < 0) return -1;
        stats_add(STAT_POOL_CREATED, 1);
    }
    s->backend_fd = fd;
    s->backend_idx = idx;
    s->backend_generation = gen;
    router_copy_str(s->backend_username, sizeof s->backend_username, s->user.backend_username);
    router_copy_str(s->backend_password, sizeof s->backend_password, s->user.backend_password);
    std::string req = "{\"action\":\"login\",\"username\":\"" +
                      json_escape(s->user.backend_username) + "\",\"password\":\"" +
                      json_escape(s->user.backend_password) + "\"}";
    std::string reply;
    char terr[128];
    int rc = backend_request_raw_fd(fd, req.c_str(), reply, terr, sizeof terr);
    router_wipe(req.data(), req.size());
    if (rc != 0 || json_ok_false(reply.c_str())) {
        if (rc != 0)
            snprintf(err, errlen, "backend login failed");
        else
            reply_failure_message(reply, "backend login failed", err, errlen);
        stats_add(STAT_BACKEND_ERRORS, 1);
        router_record_backend_runtime_error(idx, err);
        session_close_current_backend(s);
        return -1;
    }
    return 0;
}

}  // namespace

int connect_tcp(const char* host, int port, char* err, size_t errlen) {
    char portbuf[16];
    snprintf(portbuf, sizeof portbuf, "%d", port);
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* res = nullptr;
    int rc = getaddrinfo(host, portbuf, &hints, &res);
    if (rc != 0) {
        snprintf(err, errlen, "%s", gai_strerror(rc));
        return -1;
    }
    int fd = -1;
    for (struct addrinfo* ai = res; ai != nullptr; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (fd < 0) continue;
        router_apply_socket_options(fd);
        if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
            router_apply_socket_options(fd);
            break;
        }
        close(fd);
        fd = -1;
    }
    freeaddrinfo(res);
    if (fd < 0) snprintf(err, errlen, "could not connect to %s:%d", host, port);
    return fd;
}

int backend_request_raw_fd(int fd, const char* request, std::string& reply, char* err,
                           size_t errlen) {
    if (send_frame(fd, request) != 0) {
        snprintf(err, errlen, "backend send failed");
        return -1;
    }
    if (read_frame(fd, reply) != FRAME_OK) {
        snprintf(err, errlen, "backend response failed");
        return -1;
    }
    return 0;
}

int backend_forward_raw_fd(int fd, int client_fd, const char* request, std::string& reply,
                           char* err, size_t errlen) {
    if (send_frame(fd, request) != 0) {
        snprintf(err, errlen, "backend send failed");
        return BACKEND_FAILED;
    }
    uint32_t len;
    if (read_frame_length(fd, &len) != 0 || len < 1) {
        snprintf(err, errlen, "backend response failed");
        return BACKEND_FAILED;
    }
    if (len <= ROUTER_MAX_FRAME) {
        if (read_frame_body(fd, len, reply) == FRAME_OK) return BACKEND_REPLY;
        snprintf(err, errlen, "backend response failed");
        return BACKEND_FAILED;
    }
    // Too large to hold: the client gets the same frame, header first, then
    // the body as it arrives.
    unsigned char hdr[KYREL_FRAME_HEADER_BYTES];
    kyrel_frame_header_put(hdr, len);
    if (router_send_all(client_fd, hdr, sizeof hdr) != 0) return BACKEND_CLIENT_LOST;
    int rc = relay_frame_body(fd, client_fd, len);
    if (rc == -2) return BACKEND_CLIENT_LOST;
    if (rc != 0) {
        snprintf(err, errlen, "backend response failed");
        return BACKEND_RELAY_BROKEN;
    }
    return BACKEND_REPLY_RELAYED;
}

int json_ok_true(const char* text) {
    return text != nullptr && strstr(text, "\"ok\":true") != nullptr;
}
int json_ok_false(const char* text) {
    return text != nullptr && strstr(text, "\"ok\":false") != nullptr;
}

int session_backend_matches_current_user(const RouterSession* s, int backend_idx) {
    return s->backend_fd >= 0 && s->backend_idx == backend_idx &&
           s->backend_generation == router_config_generation_snapshot() &&
           strcmp(s->backend_username, s->user.backend_username) == 0 &&
           strcmp(s->backend_password, s->user.backend_password) == 0;
}

void session_close_current_backend(RouterSession* s) {
    if (s->backend_fd >= 0) close(s->backend_fd);
    clear_session_backend_fields(s);
}

void session_return_current_backend(RouterSession* s) {
    if (s->backend_fd >= 0 && s->backend_private) {
        close(s->backend_fd);
        stats_add(STAT_POOL_CLOSED, 1);
    } else if (s->backend_fd >= 0) {
        backend_pool_return(s->backend_idx, s->backend_username, s->backend_password, s->backend_fd,
                            s->backend_generation);
    }
    clear_session_backend_fields(s);
}

int backend_login_and_use(RouterSession* s, const char* database, char* err, size_t errlen) {
    bool reused;
    if (bind_and_login(s, database, &reused, err, errlen) != 0) return -1;
    if (reused && strcasecmp(s->current_database, database) == 0) return 0;
    std::string req = "{\"action\":\"sql\",\"sql\":\"USE " + json_escape(database) + ";\"}";
    std::string reply;
    char terr[128];
    int idx = s->backend_idx;
    if (backend_request_raw_fd(s->backend_fd, req.c_str(), reply, terr, sizeof terr) != 0 ||
        json_ok_false(reply.c_str())) {
        reply_failure_message(reply, "backend USE failed", err, errlen);
        stats_add(STAT_BACKEND_ERRORS, 1);
        router_record_backend_runtime_error(idx, err);
        session_close_current_backend(s);
        return -1;
    }
    router_copy_str(s->current_database, sizeof s->current_database, database);
    return 0;
}

int backend_login_without_use(RouterSession* s, const char* database, char* err, size_t errlen) {
    bool reused;
    return bind_and_login(s, database, &reused, err, errlen);
}

void backend_pools_init() {
    for (auto& p : g_backend_pools) {
        std::lock_guard<std::mutex> g(p.mutex);
        p.conns.clear();
        p.idle_count = 0;
    }
}

int backend_pool_take(int backend_idx, const char* user, const char* password) {
    PoolSettings ps = pool_settings_snapshot();
    if (!ps.enabled || backend_idx < 0 || backend_idx >= ps.backend_count ||
        backend_idx >= ROUTER_MAX_BACKENDS)
        return -1;
    int64_t now = router_now_seconds();
    BackendPool& p = g_backend_pools[backend_idx];
    std::lock_guard<std::mutex> g(p.mutex);
    for (auto it = p.conns.begin(); it != p.conns.end();) {
        if (pool_expired(ps, *it, now)) {
            it = pool_discard(p, it);
            continue;
        }
        if (strcmp(it->backend_username, user) == 0 &&
            strcmp(it->backend_password, password) == 0) {
            int fd = it->fd;
            router_wipe(it->backend_password, sizeof it->backend_password);
            p.conns.erase(it);
            p.idle_count--;
            stats_add(STAT_POOL_REUSED, 1);
            return fd;
        }
        ++it;
    }
    return -1;
}

void backend_pool_return(int backend_idx, const char* user, const char* password, int fd,
                         uint64_t generation) {
    if (fd < 0) return;
    PoolSettings ps = pool_settings_snapshot();
    uint64_t gen = router_config_generation_snapshot();
    bool valid = ps.enabled && ps.max_per_backend >= 1 && backend_idx >= 0 &&
                 backend_idx < ps.backend_count && backend_idx < ROUTER_MAX_BACKENDS &&
                 generation == gen;
    if (valid) {
        BackendPool& p = g_backend_pools[backend_idx];
        std::lock_guard<std::mutex> g(p.mutex);
        if (p.idle_count < ps.max_per_backend) {
            try {
                PooledBackendConn c;
                c.fd = fd;
                router_copy_str(c.backend_username, sizeof c.backend_username, user);
                router_copy_str(c.backend_password, sizeof c.backend_password, password);
                c.last_used = router_now_seconds();
                p.conns.push_front(c);
                router_wipe(c.backend_password, sizeof c.backend_password);
                p.idle_count++;
                stats_add(STAT_POOL_RETURNED, 1);
                return;
            } catch (...) {
                // fall through: close it
            }
        }
    }
    close(fd);
    stats_add(STAT_POOL_CLOSED, 1);
}

void backend_pool_prune_all() {
    PoolSettings ps = pool_settings_snapshot();
    int64_t now = router_now_seconds();
    for (int i = 0; i < ps.backend_count && i < ROUTER_MAX_BACKENDS; i++) {
        BackendPool& p = g_backend_pools[i];
        std::lock_guard<std::mutex> g(p.mutex);
        for (auto it = p.conns.begin(); it != p.conns.end();) {
            if (pool_expired(ps, *it, now)) {
                it = pool_discard(p, it);
            } else {
                ++it;
            }
        }
    }
}

void backend_pool_close_all() {
    for (auto& p : g_backend_pools) {
        std::lock_guard<std::mutex> g(p.mutex);
        for (auto& c : p.conns) discard_entry(c);
        p.conns.clear();
        p.idle_count = 0;
    }
}

void backend_pool_close_matching(const char* user, const char* password) {
    PoolSettings ps = pool_settings_snapshot();
    for (int i = 0; i < ps.backend_count && i < ROUTER_MAX_BACKENDS; i++) {
        BackendPool& p = g_backend_pools[i];
        std::lock_guard<std::mutex> g(p.mutex);
        for (auto it = p.conns.begin(); it != p.conns.end();) {
            if (strcmp(it->backend_username, user) == 0 &&
                strcmp(it->backend_password, password) == 0) {
                it = pool_discard(p, it);
            } else {
                ++it;
            }
        }
    }
}

int backend_pool_idle_count(int backend_idx) {
    if (backend_idx < 0 || backend_idx >= ROUTER_MAX_BACKENDS) return 0;
    BackendPool& p = g_backend_pools[backend_idx];
    std::lock_guard<std::mutex> g(p.mutex);
    return p.idle_count;
}

int router_db_route_snapshot(const char* database, int* backend_idx, BackendEntry* backend,
                             uint64_t* generation) {
    if (database == nullptr || *database == '\0') database = "default";
    std::lock_guard<std::mutex> g(g_cfg_lock);
    for (int i = 0; i < g_cfg.database_count; i++) {
        const DatabaseRoute& r = g_cfg.databases[i];
        if (strcasecmp(r.name, database) != 0) continue;
        if (r.backend_idx < 0 || r.backend_idx >= g_cfg.backend_count) return -2;
        *backend_idx = r.backend_idx;
        *backend = g_cfg.backends[r.backend_idx];
        *generation = g_config_generation;
        return 0;
    }
    return -1;
}

int backend_ping_probe(const BackendEntry& b, int64_t* latency_us, char* err, size_t errlen) {
    *latency_us = -1;
    if (errlen) err[0] = '\0';
    int64_t start = router_now_micros();
    int ok = 0;
    int fd = connect_tcp(b.host, b.port, err, errlen);
    if (fd >= 0) {
        std::string reply;
        if (backend_request_raw_fd(fd, "{\"action\":\"ping\"}", reply, err, errlen) == 0) {
            if (json_ok_true(reply.c_str()))
                ok = 1;
            else
                snprintf(err, errlen, "backend ping returned non-ok response");
        }
        close(fd);
    }
    int64_t end = router_now_micros();
    if (end >= start) *latency_us = end - start;
    return ok;
}

void router_record_backend_health_result(int idx, const BackendEntry& probed, int ok,
                                         int64_t latency_us, const char* err) {
    std::lock_guard<std::mutex> g(g_cfg_lock);
    if (idx < 0 || idx >= g_cfg.backend_count) return;
    BackendEntry& b = g_cfg.backends[idx];
    if (strcasecmp(b.name, probed.name) != 0 || strcasecmp(b.host, probed.host) != 0 ||
        b.port != probed.port)
        return;
    int64_t now = router_now_seconds();
    b.healthy = ok ? 1 : 0;
    b.last_check_at = now;
    b.last_latency_us = latency_us;
    b.total_checks++;
    if (ok) {
        b.success_checks++;
        b.last_success_at = now;
        b.consecutive_failures = 0;
        b.last_error[0] = '\0';
        if (latency_us >= 0) {
            if (b.best_latency_us < 0 || latency_us < b.best_latency_us)
                b.best_latency_us = latency_us;
            if (b.worst_latency_us < 0 || latency_us > b.worst_latency_us)
                b.worst_latency_us = latency_us;
        }
    } else {
        b.failed_checks++;
        b.consecutive_failures++;
        router_copy_str(b.last_error, sizeof b.last_error,
                        (err && *err) ? err : "health check failed");
    }
}

void router_record_backend_runtime_error(int idx, const char* text) {
    std::lock_guard<std::mutex> g(g_cfg_lock);
    if (idx < 0 || idx >= g_cfg.backend_count) return;
    BackendEntry& b = g_cfg.backends[idx];
    b.runtime_failures++;
    b.last_runtime_failure_at = router_now_seconds();
    router_copy_str(b.last_runtime_error, sizeof b.last_runtime_error,
                    (text && *text) ? text : "runtime backend error");
}

static void probe_all_backends() {
    int count;
    {
        std::lock_guard<std::mutex> g(g_cfg_lock);
        count = g_cfg.backend_count;
    }
    for (int i = 0; i < count && g_running.load(); i++) {
        BackendEntry b;
        {
            std::lock_guard<std::mutex> g(g_cfg_lock);
            if (i >= g_cfg.backend_count) break;
            b = g_cfg.backends[i];
        }
        int64_t latency;
        char err[512];
        int ok = backend_ping_probe(b, &latency, err, sizeof err);
        router_record_backend_health_result(i, b, ok, latency, err);
    }
}

void health_thread() {
    while (g_running.load()) {
        probe_all_backends();
        backend_pool_prune_all();
        for (int i = 0; i < 5 && g_running.load(); i++)
            std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

std::string router_force_health_check_json() {
    probe_all_backends();
    return build_router_backends_json();
}
