// Router-wide counters, the client registry, and the five JSON reports
// (statistics, backends, pools, clients, databases).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "router_types.h"

enum RouterStatId {
    STAT_ACCEPTED_CONNECTIONS = 0,
    STAT_ACTIVE_CONNECTIONS,
    STAT_TOTAL_REQUESTS,
    STAT_ROUTED_REQUESTS,
    STAT_AUTH_FAILURES,
    STAT_AUTH_THROTTLED,
    STAT_AUTH_SESSION_BLOCKS,
    STAT_ROUTE_FAILURES,
    STAT_BACKEND_ERRORS,
    STAT_POOL_CREATED,
    STAT_POOL_REUSED,
    STAT_POOL_RETURNED,
    STAT_POOL_CLOSED,
    STAT_POOL_DISCARDED,
    STAT_COUNT
};

struct RouterStats {
    int64_t v[STAT_COUNT];
};

struct ClientRegistryEntry {
    int32_t in_use;
    uint64_t client_id;
    int32_t client_fd;
    char peer[96];
    int64_t connected_at;
    int64_t last_request_at;
    int64_t last_response_at;
    uint64_t requests_served;
    uint64_t routed_requests;
    int32_t authenticated;
    int32_t router_admin;
    char username[64];
    char current_db[64];
    int32_t backend_connected;
    int32_t current_backend_idx;
    uint64_t backend_generation;
    char backend[64];
    char last_action[128];
    int32_t auth_failures_in_session;
};

constexpr int ROUTER_CLIENT_REGISTRY_SLOTS = 4096;

void stats_add(int counter, int64_t delta);
RouterStats stats_snapshot();

void router_client_register(RouterSession* s);
void router_client_registry_update_from_session(RouterSession* s);
void router_client_unregister(RouterSession* s);
std::vector<ClientRegistryEntry> router_client_snapshot();
std::string router_client_peer_string(int fd);

std::string build_router_stats_json();
std::string build_router_backends_json();
std::string build_router_pools_json();
std::string build_router_clients_json();
std::string build_databases_json();
// Appends one backend entry; -1 when the entry would reach 4096 bytes.
int router_backend_status_part(std::string& out, const BackendEntry& b, int not_first,
                               int idle_count);
std::string router_latency_json(int64_t us);
