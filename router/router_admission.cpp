// Admission of client connections: the pending connections (not logged in
// yet) with their login deadline, and the MAX_CLIENTS places of logged-in
// clients. Everything here is guarded by g_clients_lock; the configuration
// is read under g_cfg_lock before that lock is taken, never while it is held.
//
// Closing a pending connection from the accept loop shuts down only its
// reading side, under the lock: the client thread's blocked read returns,
// and that thread alone sends the last reply and closes the socket, so two
// threads never write to one connection and a socket number is never shut
// down after its owner closed it (the entry outlives the socket).
#include "router_admission.h"

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>

#include "router_config.h"

namespace {

struct PendingClient {
    int fd;
    int64_t since_ms;    // steady clock, when accepted
    const char* closed;  // why the router closed it; nullptr while open
};

// Keyed by ticket, so in order of arrival: the first entry is the oldest.
std::map<uint64_t, PendingClient> g_pending;
int g_pending_open = 0;  // entries not yet closed by the router
uint64_t g_next_ticket = 1;

int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int login_timeout_snapshot() {
    std::lock_guard<std::mutex> g(g_cfg_lock);
    return g_cfg.login_timeout_seconds;
}

void close_pending_locked(PendingClient& p, const char* why) {
    p.closed = why;
    g_pending_open--;
    shutdown(p.fd, SHUT_RD);
}

void erase_pending_locked(std::map<uint64_t, PendingClient>::iterator it) {
    if (it->second.closed == nullptr) g_pending_open--;
    g_pending.erase(it);
}

}  // namespace

uint64_t router_admit_pending(int fd) {
    int bound = std::max(router_max_clients_snapshot(), ROUTER_MIN_PENDING_LOGINS);
    std::lock_guard<std::mutex> g(g_clients_lock);
    // Make room by closing the oldest open ones: a client that is about to
    // log in does so moments after connecting, so the oldest is the idlest.
    for (auto it = g_pending.begin(); g_pending_open >= bound && it != g_pending.end(); ++it) {
        if (it->second.closed == nullptr)
            close_pending_locked(it->second, ROUTER_AT_CAPACITY_MESSAGE);
    }
    uint64_t ticket = g_next_ticket++;
    try {
        g_pending.emplace(ticket, PendingClient{fd, steady_ms(), nullptr});
    } catch (...) {
        return 0;
    }
    g_pending_open++;
    return ticket;
}

void router_reap_pending() {
    int64_t limit_ms = static_cast<int64_t>(login_timeout_snapshot()) * 1000;
    if (limit_ms <= 0) return;
    int64_t now = steady_ms();
    std::lock_guard<std::mutex> g(g_clients_lock);
    for (auto& e : g_pending) {
        if (e.second.closed == nullptr && now - e.second.since_ms >= limit_ms)
            close_pending_locked(e.second, ROUTER_LOGIN_TIMEOUT_MESSAGE);
    }
}

int router_admit_login(RouterSession* s, char* err, size_t errlen) {
    if (s->admitted || s->admission_ticket == 0) return 0;
    int max_clients = router_max_clients_snapshot();
    std::lock_guard<std::mutex> g(g_clients_lock);
    auto it = g_pending.find(s->admission_ticket);
    const char* refusal = nullptr;
    if (it != g_pending.end() && it->second.closed != nullptr)
        refusal = it->second.closed;  // closed by the accept loop while this login ran
    else if (g_active_clients >= max_clients)
        refusal = ROUTER_AT_CAPACITY_MESSAGE;
    // Either way the connection leaves the pending set: refused, it closes
    // after this reply, which already says why.
    if (it != g_pending.end()) erase_pending_locked(it);
    s->admission_ticket = 0;
    if (refusal != nullptr) {
        snprintf(err, errlen, "%s", refusal);
        return -1;
    }
    s->admitted = 1;
    g_active_clients++;
    return 0;
}

const char* router_release_client(RouterSession* s) {
    std::lock_guard<std::mutex> g(g_clients_lock);
    const char* why = nullptr;
    if (s->admission_ticket != 0) {
        auto it = g_pending.find(s->admission_ticket);
        if (it != g_pending.end()) {
            why = it->second.closed;
            erase_pending_locked(it);
        }
        s->admission_ticket = 0;
    }
    if (s->admitted) {
        if (g_active_clients > 0) g_active_clients--;
        s->admitted = 0;
    }
    return why;
}

void router_forget_pending(uint64_t ticket) {
    std::lock_guard<std::mutex> g(g_clients_lock);
    auto it = g_pending.find(ticket);
    if (it != g_pending.end()) erase_pending_locked(it);
}
