// Router login, login throttling by client address and user name, and the in-band
// password change that is forwarded to the backend and then persisted in
// the router's configuration file.
#include "router_auth.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <strings.h>

#include "router_admission.h"
#include "router_backend.h"
#include "router_config.h"
#include "router_reports.h"
#include "router_request.h"
#include "router_json.h"
#include "router_wire.h"

namespace {

std::mutex g_auth_throttle_lock;
AuthThrottleEntry g_auth_throttle[ROUTER_AUTH_THROTTLE_SLOTS];

struct ThrottleSettings {
    int enabled;
    int window;
    int threshold;
    int block_seconds;
    int max_per_session;
};

ThrottleSettings throttle_settings_snapshot() {
    std::lock_guard<std::mutex> g(g_cfg_lock);
    return ThrottleSettings{g_cfg.auth_throttle_enabled, g_cfg.auth_fail_window_seconds,
                            g_cfg.auth_fail_threshold, g_cfg.auth_throttle_seconds,
                            g_cfg.auth_max_failures_per_session};
}

}  // namespace

// Numeric address of the socket's peer, IPv4 or IPv6; empty when unknown.
static std::string peer_address(int fd) {
    struct sockaddr_storage ss;
    socklen_t len = sizeof ss;
    char addr[INET6_ADDRSTRLEN] = "";
    if (fd < 0 || getpeername(fd, reinterpret_cast<struct sockaddr*>(&ss), &len) != 0) return "";
    if (ss.ss_family == AF_INET &&
        inet_ntop(AF_INET, &reinterpret_cast<struct sockaddr_in*>(&ss)->sin_addr, addr,
                  sizeof addr))
        return addr;
    if (ss.ss_family == AF_INET6 &&
        inet_ntop(AF_INET6, &reinterpret_cast<struct sockaddr_in6*>(&ss)->sin6_addr, addr,
                  sizeof addr))
        return addr;
    return "";
}

std::string auth_throttle_key_for_session(const RouterSession* s) {
    std::string addr = peer_address(s->client_fd);
    if (!addr.empty()) return addr;
    std::string peer = s->peer;
    if (peer.empty()) return "unknown";
    size_t colon = peer.find(':');
    if (colon != std::string::npos && peer.find(':', colon + 1) == std::string::npos)
        peer.resize(colon);
    if (peer.size() > 95) peer.resize(95);
    return peer.empty() ? "unknown" : peer;
}

std::string auth_throttle_key(const RouterSession* s, const char* username) {
    // The address never holds '|', so the pair reads back one way only. User
    // names are matched without regard to case, and so are the keys.
    std::string key = auth_throttle_key_for_session(s) + "|";
    for (const char* p = username ? username : ""; *p && key.size() < ROUTER_AUTH_KEY_SIZE - 1; p++)
        key.push_back(static_cast<char>(tolower(static_cast<unsigned char>(*p))));
    return key;
}

int router_session_from_localhost(const RouterSession* s) {
    // The same addresses the backend counts as its own host.
    std::string addr = peer_address(s->client_fd);
    return addr == "127.0.0.1" || addr == "::1" || addr == "::ffff:127.0.0.1";
}

AuthThrottleEntry* auth_throttle_find_entry_locked(const char* key, int create, int64_t now) {
    // A slot is taken over from the entry with the oldest failure, an entry
    // not blocked first: failures under many names must not buy a blocked
    // pair its way out of the block.
    AuthThrottleEntry *free_slot = nullptr, *oldest = nullptr, *oldest_open = nullptr;
    for (auto& e : g_auth_throttle) {
        if (e.in_use) {
            if (strcmp(e.key, key) == 0) return &e;
            if (oldest == nullptr || e.last_failure < oldest->last_failure) oldest = &e;
            if (e.blocked_until <= now &&
                (oldest_open == nullptr || e.last_failure < oldest_open->last_failure))
                oldest_open = &e;
        } else if (free_slot == nullptr) {
            free_slot = &e;
        }
    }
    if (!create) return nullptr;
    AuthThrottleEntry* e = free_slot ? free_slot : oldest_open ? oldest_open : oldest;
    memset(e, 0, sizeof *e);
    e->in_use = 1;
    router_copy_str(e->key, sizeof e->key, key);
    e->window_start = now;
    e->last_failure = now;
    return e;
}

int auth_throttle_check(RouterSession* s, const char* username, int* seconds_left) {
    *seconds_left = 0;
    std::string key = auth_throttle_key(s, username);
    int64_t now = router_now_seconds();
    std::lock_guard<std::mutex> g(g_auth_throttle_lock);
    AuthThrottleEntry* e = auth_throttle_find_entry_locked(key.c_str(), 0, now);
    if (e != nullptr && e->blocked_until > now) {
        int64_t left = e->blocked_until - now;
        *seconds_left = left < 0 ? 0 : static_cast<int>(left);
        return -1;
    }
    return 0;
}

void auth_throttle_record_failure(RouterSession* s, const char* username) {
    ThrottleSettings ts = throttle_settings_snapshot();
    s->auth_failures_in_session++;
    if (ts.max_per_session >= 1 && s->auth_failures_in_session >= ts.max_per_session) {
        s->close_after_reply = 1;
        stats_add(STAT_AUTH_SESSION_BLOCKS, 1);
    }
    if (!ts.enabled) return;
    int window = ts.window < 1 ? 60 : ts.window;
    int threshold = ts.threshold < 1 ? 5 : ts.threshold;
    int block = ts.block_seconds < 0 ? 0 : ts.block_seconds;
    std::string key = auth_throttle_key(s, username);
    int64_t now = router_now_seconds();
    std::lock_guard<std::mutex> g(g_auth_throttle_lock);
    AuthThrottleEntry* e = auth_throttle_find_entry_locked(key.c_str(), 1, now);
    if (e->window_start < 1 || now - e->window_start > window) {
        e->failures_in_window = 0;
        e->window_start = now;
        e->blocked_until = 0;
    }
    e->failures_in_window++;
    e->total_failures++;
    e->last_failure = now;
    if (e->failures_in_window >= threshold && block >= 1) e->blocked_until = now + block;
}

void auth_throttle_record_success(RouterSession* s, const char* username) {
    std::string key = auth_throttle_key(s, username);
    std::lock_guard<std::mutex> g(g_auth_throttle_lock);
    AuthThrottleEntry* e = auth_throttle_find_entry_locked(key.c_str(), 0, router_now_seconds());
    if (e != nullptr) memset(e, 0, sizeof *e);
}

std::string make_auth_throttle_json(int seconds) {
    if (seconds < 0) seconds = 0;
    std::string out;
    router_appendf(out,
                   "{\"ok\":false,\"error\":\"authentication temporarily "
                   "throttled\",\"retry_after_seconds\":%d}",
                   seconds);
    return out;
}

std::string build_login_response(const RouterSession* s) {
    try {
        std::string out;
        router_appendf(out,
                       "{\"ok\":true,\"router\":\"%s\",\"username\":\"%s\",\"current_db\":\"%s\","
                       "\"must_change_password\":false}",
                       ROUTER_BANNER, json_escape(s->username).c_str(),
                       json_escape(s->current_database).c_str());
        return out;
    } catch (...) {
        return "{\"ok\":true}";
    }
}

std::string router_handle_login(RouterSession* s, const char* username, const char* password) {
    int throttle_on;
    {
        std::lock_guard<std::mutex> g(g_cfg_lock);
        throttle_on = g_cfg.auth_throttle_enabled;
    }
    if (throttle_on) {
        int left;
        if (auth_throttle_check(s, username, &left) != 0) {
            stats_add(STAT_AUTH_THROTTLED, 1);
            return make_auth_throttle_json(left);
        }
    }
    RouterUser u;
    if (router_lookup_user(username, &u) == 0 && strcmp(u.router_password, password) == 0) {
        if (throttle_on) auth_throttle_record_success(s, username);
        s->auth_failures_in_session = 0;
        s->close_after_reply = 0;
        char err[128];
        if (router_admit_login(s, err, sizeof err) != 0) {
            router_wipe(&u, sizeof u);
            s->close_after_reply = 1;
            return make_error_json(err);
        }
        session_close_current_backend(s);
        s->authenticated = 1;
        s->user = u;
        router_copy_str(s->username, sizeof s->username, u.username);
        router_copy_str(s->current_database, sizeof s->current_database, "default");
        router_wipe(&u, sizeof u);
        return build_login_response(s);
    }
    router_wipe(&u, sizeof u);
    stats_add(STAT_AUTH_FAILURES, 1);
    auth_throttle_record_failure(s, username);
    return make_error_json("invalid username or password");
}

std::string router_make_password_changed_json(int password_updated, int config_saved,
                                              const char* warning) {
    try {
        std::string out;
        router_appendf(
            out,
            "{\"ok\":true,\"message\":\"password changed\",\"router_password_updated\":%s,"
            "\"router_config_saved\":%s",
            password_updated ? "true" : "false", config_saved ? "true" : "false");
        if (warning != nullptr && *warning) out += ",\"warning\":\"" + json_escape(warning) + "\"";
        out += "}";
        return out;
    } catch (...) {
        return "{\"ok\":true,\"message\":\"password changed\"}";
    }
}

namespace {

// The user may reach a database routed to backend idx: an ADMIN line, a
// grant on "*", or a grant on such a database (first route of that name).
bool user_reaches_backend_locked(const RouterUser& u, int idx) {
    if (u.is_admin) return true;
    for (int i = 0; i < g_cfg.grant_count; i++) {
        const RouterGrant& gr = g_cfg.grants[i];
        if (gr.role == ROUTER_ROLE_NONE || strcasecmp(gr.username, u.username) != 0) continue;
        if (strcmp(gr.database, "*") == 0) return true;
        for (int j = 0; j < g_cfg.database_count; j++) {
            if (strcasecmp(g_cfg.databases[j].name, gr.database) != 0) continue;
            if (g_cfg.databases[j].backend_idx == idx) return true;
            break;
        }
    }
    return false;
}

// Another router user logs in to backend idx as the same backend user: a
// new password for that account would lock the other user out.
bool backend_user_shared(const char* username, const char* backend_username, int idx) {
    std::lock_guard<std::mutex> g(g_cfg_lock);
    for (int i = 0; i < g_cfg.user_count; i++) {
        const RouterUser& u = g_cfg.users[i];
        if (strcasecmp(u.username, username) == 0)
            continue;  // the user itself (or a shadowed copy)
        if (strcasecmp(u.backend_username, backend_username) != 0) continue;
        if (user_reaches_backend_locked(u, idx)) return true;
    }
    return false;
}

// Why the session may not change its password to new_password on the
// backend of database db, as the error reply; empty when it may.
std::string password_change_refusal(RouterSession* s, const char* new_password, const char* db) {
    if (!s->authenticated || router_session_refresh_user(s) != 0)
        return make_error_json("not authenticated");
    if (new_password == nullptr || *new_password == '\0')
        return make_error_json("new password required");
    if (!router_config_token_is_safe(new_password))
        return make_error_json(
            "passwords changed through Router cannot be empty or contain whitespace");
    // A saved USER line containing '=' would read back as a setting. Quotes
    // are stripped from LOGIN and CHANGE PASSWORD values, so a password with
    // quotes would not log in the same way in every request form.
    if (strpbrk(new_password, "='\"") != nullptr)
        return make_error_json("passwords changed through Router cannot contain quotes or '='");
    std::string refused = router_check_db_access(s, db, 0, "no backend route for current database",
                                                 "user is not allowed to use this database");
    if (!refused.empty()) return refused;
    int backend_idx;
    BackendEntry backend;
    uint64_t generation;
    if (router_db_route_snapshot(db, &backend_idx, &backend, &generation) != 0) {
        stats_add(STAT_ROUTE_FAILURES, 1);
        return make_error_json("no backend route for current database");
    }
    if (backend_user_shared(s->username, s->user.backend_username, backend_idx))
        return make_error_json(
            "password change refused: the backend user is shared with other Router users; change "
            "it on the backend and in the Router config");
    return std::string();
}

// Once the backend has taken the new password: the user's entry takes it as
// its backend password (and as its router password where the two were one),
// the session sees the entry, and the configuration is saved. A warning says
// what could not be done.
void remember_new_password(RouterSession* s, const char* new_password, const char* old_router_pw,
                           const char* old_backend_user, const char* old_backend_pw, int* updated,
                           int* saved, std::string* warning) {
    std::lock_guard<std::mutex> g(g_cfg_lock);
    RouterUser* u = nullptr;
    for (int i = 0; i < g_cfg.user_count; i++) {
        if (strcasecmp(g_cfg.users[i].username, s->username) == 0) {
            u = &g_cfg.users[i];
            break;
        }
    }
    if (u != nullptr) {
        router_copy_str(u->backend_password, sizeof u->backend_password, new_password);
        if (strcmp(old_router_pw, old_backend_pw) == 0 ||
            strcasecmp(u->username, old_backend_user) == 0) {
            router_copy_str(u->router_password, sizeof u->router_password, new_password);
            *updated = 1;
        }
        s->user = *u;
        char serr[512] = "";
        if (router_save_config_file(serr, sizeof serr) == 0) {
            *saved = 1;
        } else {
            char w[600];
            snprintf(w, sizeof w,
                     "backend password changed and Router memory updated, but Router config "
                     "was not saved: %.400s",
                     serr);
            *warning = w;
        }
    } else {
        *warning = "backend password changed, but Router user was removed during config reload";
    }
}

}  // namespace

std::string router_handle_change_password(RouterSession* s, const char* new_password) {
    const char* db = s->current_database[0] ? s->current_database : "default";
    std::string refused = password_change_refusal(s, new_password, db);
    if (!refused.empty()) return refused;

    char old_router_pw[256], old_backend_user[64], old_backend_pw[256];
    router_copy_str(old_router_pw, sizeof old_router_pw, s->user.router_password);
    router_copy_str(old_backend_user, sizeof old_backend_user, s->user.backend_username);
    router_copy_str(old_backend_pw, sizeof old_backend_pw, s->user.backend_password);
    struct Wipe {
        char *a, *b;
        ~Wipe() {
            router_wipe(a, 256);
            router_wipe(b, 256);
        }
    } wipe{old_router_pw, old_backend_pw};

    char err[512];
    if (backend_login_without_use(s, db, err, sizeof err) != 0) return make_error_json(err);
    // The backend gets the password exactly as read here, in a request of the
    // router's own making, so what it stores is what the router saves.
    std::string req =
        "{\"action\":\"change_password\",\"new_password\":\"" + json_escape(new_password) + "\"}";
    std::string reply;
    int idx = s->backend_idx;
    int rc = backend_request_raw_fd(s->backend_fd, req.c_str(), reply, err, sizeof err);
    router_wipe(req.data(), req.size());
    if (rc != 0) {
        stats_add(STAT_BACKEND_ERRORS, 1);
        router_record_backend_runtime_error(idx, err);
        session_close_current_backend(s);
        return make_error_json(err);
    }
    stats_add(STAT_ROUTED_REQUESTS, 1);
    if (json_ok_false(reply.c_str())) return reply;

    int updated = 0, saved = 0;
    std::string warning;
    remember_new_password(s, new_password, old_router_pw, old_backend_user, old_backend_pw,
                          &updated, &saved, &warning);
    backend_pool_close_matching(old_backend_user, old_backend_pw);
    session_close_current_backend(s);
    return router_make_password_changed_json(updated, saved, warning.c_str());
}
