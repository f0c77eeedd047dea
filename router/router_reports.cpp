// Router counters, client registry and reports. Every report is built from
// copies taken under the respective lock and formatted outside it; none
// touches a backend. The configuration lock is never held while the registry
// lock is taken.
#include "router_reports.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <strings.h>

#include "router_backend.h"
#include "router_config.h"
#include "router_request.h"
#include "router_json.h"
#include "router_wire.h"

namespace {

std::mutex g_stats_lock;
RouterStats g_stats;

std::mutex g_client_registry_lock;
ClientRegistryEntry g_client_registry[ROUTER_CLIENT_REGISTRY_SLOTS];
uint64_t g_next_client_id = 1;

const char* const kStatNames[STAT_COUNT] = {
    "accepted_connections", "active_connections", "total_requests",      "routed_requests",
    "auth_failures",        "auth_throttled",     "auth_session_blocks", "route_failures",
    "backend_errors",       "pool_created",       "pool_reused",         "pool_returned",
    "pool_closed",          "pool_discarded",
};

const char* tf(int v) { return v ? "true" : "false"; }

// Runs one report builder; running out of memory gives the "oom" reply.
template <class Build>
std::string report_or_oom(Build build) {
    try {
        return build();
    } catch (const std::bad_alloc&) {
        return "{\"ok\":false,\"error\":\"oom\"}";
    }
}

}  // namespace

void stats_add(int counter, int64_t delta) {
    if (counter < 0 || counter >= STAT_COUNT) return;
    std::lock_guard<std::mutex> g(g_stats_lock);
    g_stats.v[counter] += delta;
}

RouterStats stats_snapshot() {
    std::lock_guard<std::mutex> g(g_stats_lock);
    return g_stats;
}

std::string router_client_peer_string(int fd) {
    struct sockaddr_storage ss;
    socklen_t len = sizeof ss;
    if (getpeername(fd, reinterpret_cast<struct sockaddr*>(&ss), &len) != 0) return "unknown";
    char addr[INET6_ADDRSTRLEN] = "";
    int port = 0;
    if (ss.ss_family == AF_INET) {
        auto* in = reinterpret_cast<struct sockaddr_in*>(&ss);
        inet_ntop(AF_INET, &in->sin_addr, addr, sizeof addr);
        port = ntohs(in->sin_port);
    } else if (ss.ss_family == AF_INET6) {
        auto* in6 = reinterpret_cast<struct sockaddr_in6*>(&ss);
        inet_ntop(AF_INET6, &in6->sin6_addr, addr, sizeof addr);
        port = ntohs(in6->sin6_port);
    } else {
        return "unknown";
    }
    std::string out = addr;
    if (port > 0) out += ":" + std::to_string(port);
    return out;
}

void router_client_register(RouterSession* s) {
    int64_t now = router_now_seconds();
    std::string peer = router_client_peer_string(s->client_fd);
    router_copy_str(s->peer, sizeof s->peer, peer.c_str());
    s->connected_at = now;
    s->requests_served = 0;
    s->routed_requests = 0;
    s->last_action[0] = '\0';
    s->client_id = 0;
    std::lock_guard<std::mutex> g(g_client_registry_lock);
    uint64_t id = g_next_client_id++;
    if (g_next_client_id == 0) g_next_client_id = 1;
    for (auto& e : g_client_registry) {
        if (e.in_use) continue;
        memset(&e, 0, sizeof e);
        e.in_use = 1;
        e.client_id = id;
        e.client_fd = s->client_fd;
        router_copy_str(e.peer, sizeof e.peer, s->peer);
        e.connected_at = now;
        e.current_backend_idx = -1;
        router_copy_str(e.current_db, sizeof e.current_db, "default");
        s->client_id = id;
        return;
    }
}

void router_client_registry_update_from_session(RouterSession* s) {
    if (s->client_id == 0) return;
    char backend[64] = "";
    if (s->backend_fd >= 0) {
        std::lock_guard<std::mutex> g(g_cfg_lock);
        if (s->backend_idx >= 0 && s->backend_idx < g_cfg.backend_count)
            router_copy_str(backend, sizeof backend, g_cfg.backends[s->backend_idx].name);
    }
    int admin = s->authenticated ? session_is_router_admin(s) : 0;
    std::lock_guard<std::mutex> g(g_client_registry_lock);
    for (auto& e : g_client_registry) {
        if (!e.in_use || e.client_id != s->client_id) continue;
        e.client_fd = s->client_fd;
        e.last_request_at = s->last_request_at;
        e.last_response_at = s->last_response_at;
        e.requests_served = s->requests_served;
        e.routed_requests = s->routed_requests;
        e.authenticated = s->authenticated;
        e.router_admin = admin;
        router_copy_str(e.username, sizeof e.username, s->username);
        router_copy_str(e.current_db, sizeof e.current_db,
                        s->current_database[0] ? s->current_database : "default");
        e.backend_connected = s->backend_fd >= 0 ? 1 : 0;
        e.current_backend_idx = s->backend_idx;
        e.backend_generation = s->backend_generation;
        router_copy_str(e.backend, sizeof e.backend, backend);
        router_copy_str(e.last_action, sizeof e.last_action, s->last_action);
        e.auth_failures_in_session = s->auth_failures_in_session;
        return;
    }
}

void router_client_unregister(RouterSession* s) {
    if (s->client_id == 0) return;
    std::lock_guard<std::mutex> g(g_client_registry_lock);
    for (auto& e : g_client_registry) {
        if (e.in_use && e.client_id == s->client_id) {
            memset(&e, 0, sizeof e);
            return;
        }
    }
}

std::vector<ClientRegistryEntry> router_client_snapshot() {
    std::vector<ClientRegistryEntry> out;
    std::lock_guard<std::mutex> g(g_client_registry_lock);
    for (const auto& e : g_client_registry)
        if (e.in_use) out.push_back(e);
    return out;
}

std::string router_latency_json(int64_t us) {
    if (us < 0) return "null";
    char buf[64];
    snprintf(buf, sizeof buf, "%.3f", static_cast<double>(us) / 1000.0);
    return buf;
}

int router_backend_status_part(std::string& out, const BackendEntry& b, int not_first,
                               int idle_count) {
    std::string e;
    router_appendf(
        e,
        "%s{\"name\":\"%s\",\"host\":\"%s\",\"port\":%d,\"healthy\":%s,\"idle_pool_connections\":%"
        "d,"
        "\"last_check\":%lld,\"last_success\":%lld,\"last_latency_ms\":%s,\"best_latency_ms\":%s,"
        "\"worst_latency_ms\":%s,\"total_checks\":%llu,\"success_checks\":%llu,\"failed_checks\":%"
        "llu,"
        "\"consecutive_failures\":%d,\"runtime_failures\":%llu,\"last_runtime_failure\":%lld,"
        "\"last_error\":\"%s\",\"last_runtime_error\":\"%s\"}",
        not_first ? "," : "", json_escape(b.name).c_str(), json_escape(b.host).c_str(), b.port,
        tf(b.healthy), idle_count, static_cast<long long>(b.last_check_at),
        static_cast<long long>(b.last_success_at), router_latency_json(b.last_latency_us).c_str(),
        router_latency_json(b.best_latency_us).c_str(),
        router_latency_json(b.worst_latency_us).c_str(),
        static_cast<unsigned long long>(b.total_checks),
        static_cast<unsigned long long>(b.success_checks),
        static_cast<unsigned long long>(b.failed_checks), b.consecutive_failures,
        static_cast<unsigned long long>(b.runtime_failures),
        static_cast<long long>(b.last_runtime_failure_at), json_escape(b.last_error).c_str(),
        json_escape(b.last_runtime_error).c_str());
    if (e.size() >= 4096) return -1;
    out += e;
    return 0;
}

// Copies up to 64 backends under the configuration lock.
static std::vector<BackendEntry> backends_snapshot() {
    std::lock_guard<std::mutex> g(g_cfg_lock);
    return std::vector<BackendEntry>(g_cfg.backends, g_cfg.backends + g_cfg.backend_count);
}

static int append_backend_list(std::string& out, const std::vector<BackendEntry>& backends) {
    for (size_t i = 0; i < backends.size(); i++) {
        if (router_backend_status_part(out, backends[i], i > 0,
                                       backend_pool_idle_count(static_cast<int>(i))) != 0)
            return -1;
    }
    return 0;
}

std::string build_router_stats_json() {
    return report_or_oom([]() -> std::string {
        RouterStats st = stats_snapshot();
        std::unique_ptr<RouterConfig> c(new RouterConfig);
        uint64_t gen;
        {
            std::lock_guard<std::mutex> g(g_cfg_lock);
            *c = g_cfg;
            gen = g_config_generation;
        }
        std::string out;
        out.reserve(8192);
        router_appendf(out, "{\"ok\":true,\"router\":\"%s\",\"config_generation\":%llu,\"stats\":{",
                       ROUTER_BANNER, static_cast<unsigned long long>(gen));
        for (int i = 0; i < STAT_COUNT; i++)
            router_appendf(out, "%s\"%s\":%lld", i ? "," : "", kStatNames[i],
                           static_cast<long long>(st.v[i]));
        router_appendf(
            out,
            "},\"config\":{\"listen_host\":\"%s\",\"listen_port\":%d,\"max_clients\":%d,"
            "\"backend_pool_enabled\":%s,\"backend_pool_max_per_backend\":%d,"
            "\"backend_pool_idle_seconds\":%d,\"stored_procedure_call_role\":\"%s\","
            "\"stored_procedure_call_require_same_backend_user\":%s,\"auth_throttle_enabled\":%s,"
            "\"auth_fail_window_seconds\":%d,\"auth_fail_threshold\":%d,\"auth_throttle_seconds\":%"
            "d,"
            "\"auth_max_failures_per_session\":%d,\"login_timeout_seconds\":%d},\"backends\":[",
            json_escape(c->listen_host).c_str(), c->listen_port, c->max_clients,
            tf(c->backend_pool_enabled), c->backend_pool_max_per_backend,
            c->backend_pool_idle_seconds, router_role_to_string(c->sp_call_role),
            tf(c->sp_call_require_same_backend_user), tf(c->auth_throttle_enabled),
            c->auth_fail_window_seconds, c->auth_fail_threshold, c->auth_throttle_seconds,
            c->auth_max_failures_per_session, c->login_timeout_seconds);
        std::vector<BackendEntry> backends(c->backends, c->backends + c->backend_count);
        if (append_backend_list(out, backends) != 0)
            return make_error_json("router backend status entry too large");
        out += "]}";
        return out;
    });
}

std::string build_router_backends_json() {
    return report_or_oom([]() -> std::string {
        std::vector<BackendEntry> backends = backends_snapshot();
        std::string out = "{\"ok\":true,\"backends\":[";
        if (append_backend_list(out, backends) != 0)
            return make_error_json("router backend status entry too large");
        out += "]}";
        return out;
    });
}

std::string build_router_pools_json() {
    return report_or_oom([]() -> std::string {
        std::vector<BackendEntry> backends;
        int enabled, maxper, idle;
        {
            std::lock_guard<std::mutex> g(g_cfg_lock);
            backends.assign(g_cfg.backends, g_cfg.backends + g_cfg.backend_count);
            enabled = g_cfg.backend_pool_enabled;
            maxper = g_cfg.backend_pool_max_per_backend;
            idle = g_cfg.backend_pool_idle_seconds;
        }
        RouterStats st = stats_snapshot();
        std::string out;
        router_appendf(
            out,
            "{\"ok\":true,\"pool_enabled\":%s,\"max_per_backend\":%d,\"idle_seconds\":%d,"
            "\"pool_stats\":{\"created\":%lld,\"reused\":%lld,\"returned\":%lld,\"closed\":%lld,"
            "\"discarded\":%lld},\"pools\":[",
            tf(enabled), maxper, idle, static_cast<long long>(st.v[STAT_POOL_CREATED]),
            static_cast<long long>(st.v[STAT_POOL_REUSED]),
            static_cast<long long>(st.v[STAT_POOL_RETURNED]),
            static_cast<long long>(st.v[STAT_POOL_CLOSED]),
            static_cast<long long>(st.v[STAT_POOL_DISCARDED]));
        for (size_t i = 0; i < backends.size(); i++) {
            std::string e;
            router_appendf(e, "%s{\"backend\":\"%s\",\"idle_connections\":%d}", i ? "," : "",
                           json_escape(backends[i].name).c_str(),
                           backend_pool_idle_count(static_cast<int>(i)));
            if (e.size() >= 256) return make_error_json("router pool entry too large");
            out += e;
        }
        out += "]}";
        return out;
    });
}

std::string build_router_clients_json() {
    return report_or_oom([]() -> std::string {
        std::vector<ClientRegistryEntry> clients = router_client_snapshot();
        uint64_t gen;
        int maxc;
        {
            std::lock_guard<std::mutex> g(g_cfg_lock);
            gen = g_config_generation;
            maxc = g_cfg.max_clients;
        }
        int64_t now = router_now_seconds();
        std::string out;
        router_appendf(out,
                       "{\"ok\":true,\"config_generation\":%llu,\"active_clients\":%d,\"max_"
                       "clients\":%d,\"clients\":[",
                       static_cast<unsigned long long>(gen), static_cast<int>(clients.size()),
                       maxc);
        if (out.size() >= 512) return make_error_json("router clients header too large");
        for (size_t i = 0; i < clients.size(); i++) {
            const ClientRegistryEntry& c = clients[i];
            int64_t connected = now - c.connected_at;
            if (connected < 1 || connected > now) connected = 0;
            int64_t idle = now - c.last_response_at;
            if (idle < 1 || idle > now) {
                idle = now - c.connected_at;
                if (idle < 1 || idle > now) idle = 0;
            }
            std::string e;
            router_appendf(
                e,
                "%s{\"id\":%llu,\"peer\":\"%s\",\"authenticated\":%s,\"router_admin\":%s,"
                "\"username\":\"%s\","
                "\"current_db\":\"%s\",\"backend_connected\":%s,\"backend\":\"%s\",\"current_"
                "backend_idx\":%d,"
                "\"backend_generation\":%llu,\"connected_at\":%lld,\"last_request_at\":%lld,"
                "\"last_response_at\":%lld,\"connected_seconds\":%lld,\"idle_seconds\":%lld,"
                "\"requests_served\":%llu,\"routed_requests\":%llu,\"last_action\":\"%s\","
                "\"auth_failures_in_session\":%d}",
                i ? "," : "", static_cast<unsigned long long>(c.client_id),
                json_escape(c.peer).c_str(), tf(c.authenticated), tf(c.router_admin),
                json_escape(c.username).c_str(), json_escape(c.current_db).c_str(),
                tf(c.backend_connected), json_escape(c.backend).c_str(), c.current_backend_idx,
                static_cast<unsigned long long>(c.backend_generation),
                static_cast<long long>(c.connected_at), static_cast<long long>(c.last_request_at),
                static_cast<long long>(c.last_response_at), static_cast<long long>(connected),
                static_cast<long long>(idle), static_cast<unsigned long long>(c.requests_served),
                static_cast<unsigned long long>(c.routed_requests),
                json_escape(c.last_action).c_str(), c.auth_failures_in_session);
            if (e.size() >= 2048) return make_error_json("router client entry too large");
            out += e;
        }
        out += "]}";
        return out;
    });
}

std::string build_databases_json() {
    return report_or_oom([]() -> std::string {
        std::vector<DatabaseRoute> routes;
        std::vector<BackendEntry> backends;
        {
            std::lock_guard<std::mutex> g(g_cfg_lock);
            routes.assign(g_cfg.databases, g_cfg.databases + g_cfg.database_count);
            backends.assign(g_cfg.backends, g_cfg.backends + g_cfg.backend_count);
        }
        std::string out = "{\"ok\":true,\"databases\":[";
        for (size_t i = 0; i < routes.size(); i++) {
            const DatabaseRoute& r = routes[i];
            std::string e;
            if (r.backend_idx >= 0 && r.backend_idx < static_cast<int>(backends.size())) {
                const BackendEntry& b = backends[static_cast<size_t>(r.backend_idx)];
                router_appendf(
                    e,
                    "%s{\"name\":\"%s\",\"backend\":\"%s\",\"host\":\"%s\",\"port\":%d,\"healthy\":"
                    "%s,"
                    "\"route_status\":\"%s\",\"backend_last_check\":%lld,\"backend_last_success\":%"
                    "lld,"
                    "\"backend_last_latency_ms\":%s,\"backend_consecutive_failures\":%d,"
                    "\"backend_runtime_failures\":%llu,\"backend_last_error\":\"%s\"}",
                    i ? "," : "", json_escape(r.name).c_str(), json_escape(b.name).c_str(),
                    json_escape(b.host).c_str(), b.port, tf(b.healthy),
                    b.healthy ? "ok" : "backend_unhealthy", static_cast<long long>(b.last_check_at),
                    static_cast<long long>(b.last_success_at),
                    router_latency_json(b.last_latency_us).c_str(), b.consecutive_failures,
                    static_cast<unsigned long long>(b.runtime_failures),
                    json_escape(b.last_error).c_str());
            } else {
                router_appendf(
                    e,
                    "%s{\"name\":\"%s\",\"backend\":\"%s\",\"host\":\"\",\"port\":0,\"healthy\":"
                    "false,"
                    "\"route_status\":\"backend_missing\",\"backend_last_check\":0,\"backend_last_"
                    "success\":0,"
                    "\"backend_last_latency_ms\":null,\"backend_consecutive_failures\":0,"
                    "\"backend_runtime_failures\":0,\"backend_last_error\":\"backend route is "
                    "unresolved\"}",
                    i ? "," : "", json_escape(r.name).c_str(), json_escape(r.backend_name).c_str());
            }
            if (e.size() >= 4096) return make_error_json("router database entry too large");
            out += e;
        }
        out += "]}";
        return out;
    });
}
