// Client connection loop and request dispatch.
//
// Every request frame gets exactly one reply frame. The router answers ping,
// its own administrative actions and ROUTER statements, logins, USE and
// password changes itself; everything else is classified (which role it
// needs on the current database), checked, and forwarded byte for byte to
// the backend that serves the session's database.
//
// The backend reads the SQL of the actions "sql", "execute" and "query" as a
// statement after turning CR, LF and TAB into blanks. The router reads all
// three the same way before it looks for LOGIN, USE, CHANGE PASSWORD and
// CREATE DATABASE, so that no statement the router must handle itself can
// reach a backend under a weaker class (for example a USE that would move a
// pooled connection to a database the user holds no grant on).
#include "router_request.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <strings.h>

#include "router_admission.h"
#include "router_auth.h"
#include "router_backend.h"
#include "router_config.h"
#include "router_guards.h"
#include "router_reports.h"
#include "router_json.h"
#include "router_wire.h"

int router_lookup_user(const char* name, RouterUser* out) {
    std::lock_guard<std::mutex> g(g_cfg_lock);
    for (int i = 0; i < g_cfg.user_count; i++) {
        if (strcasecmp(g_cfg.users[i].username, name) == 0) {
            *out = g_cfg.users[i];
            return 0;
        }
    }
    return -1;
}

int router_session_refresh_user(RouterSession* s) {
    if (!s->authenticated) return -1;
    return router_lookup_user(s->username, &s->user);
}

void router_session_logout(RouterSession* s) {
    session_close_current_backend(s);
    router_wipe(&s->user, sizeof s->user);
    s->authenticated = 0;
    s->username[0] = '\0';
}

// Highest role of the user's grants on the database ("*" counts for all).
static int grant_role_locked(const char* user, const char* database) {
    if (database == nullptr || *database == '\0') database = "default";
    int best = ROUTER_ROLE_NONE;
    for (int i = 0; i < g_cfg.grant_count; i++) {
        const RouterGrant& gr = g_cfg.grants[i];
        if (strcasecmp(gr.username, user) != 0) continue;
        if (strcmp(gr.database, "*") != 0 && strcasecmp(gr.database, database) != 0) continue;
        if (gr.role > best) best = gr.role;
    }
    return best;
}

static bool user_is_admin_locked(const char* name) {
    for (int i = 0; i < g_cfg.user_count; i++) {
        if (strcasecmp(g_cfg.users[i].username, name) == 0) {
            if (g_cfg.users[i].is_admin) return true;
            for (int j = 0; j < g_cfg.grant_count; j++) {
                const RouterGrant& gr = g_cfg.grants[j];
                if (strcasecmp(gr.username, name) == 0 && strcmp(gr.database, "*") == 0 &&
                    gr.role == ROUTER_ROLE_FULL)
                    return true;
            }
            return false;
        }
    }
    return false;
}

int session_is_router_admin(RouterSession* s) {
    if (!s->authenticated) return 0;
    std::lock_guard<std::mutex> g(g_cfg_lock);
    return user_is_admin_locked(s->username) ? 1 : 0;
}

int session_has_full_db_role(RouterSession* s, const char* database) {
    if (!s->authenticated) return 0;
    std::lock_guard<std::mutex> g(g_cfg_lock);
    return grant_role_locked(s->username, database) == ROUTER_ROLE_FULL ? 1 : 0;
}

int session_can_use_db(RouterSession* s, const char* database, int required) {
    if (!s->authenticated) return 0;
    std::lock_guard<std::mutex> g(g_cfg_lock);
    const RouterUser* u = nullptr;
    for (int i = 0; i < g_cfg.user_count; i++) {
        if (strcasecmp(g_cfg.users[i].username, s->username) == 0) {
            u = &g_cfg.users[i];
            break;
        }
    }
    if (u == nullptr) return 0;
    if (u->is_admin) return 1;
    int role = grant_role_locked(s->username, database);
    switch (required) {
    case 0: return role > ROUTER_ROLE_NONE;
    case ROUTER_ROLE_READ: return role == ROUTER_ROLE_READ || role == ROUTER_ROLE_FULL;
    case ROUTER_ROLE_WRITE: return role == ROUTER_ROLE_WRITE || role == ROUTER_ROLE_FULL;
    default: return role == ROUTER_ROLE_FULL;
    }
}

int router_check_stored_procedure_call_policy(RouterSession* s, const char* database, char* err,
                                              size_t errlen) {
    int role, require;
    {
        std::lock_guard<std::mutex> g(g_cfg_lock);
        role = g_cfg.sp_call_role;
        require = g_cfg.sp_call_require_same_backend_user;
    }
    if (role >= ROUTER_ROLE_FULL || !require) return 0;
    if (!s->authenticated || router_session_refresh_user(s) != 0) {
        snprintf(err, errlen, "not authenticated");
        return -1;
    }
    if (session_has_full_db_role(s, database) || session_is_router_admin(s)) return 0;
    if (strcasecmp(s->user.backend_username, s->username) == 0) return 0;
    snprintf(err, errlen,
             "stored procedure CALL denied by Router policy: non-FULL users require one-to-one "
             "backend username "
             "mapping");
    return -1;
}

static int sp_call_role_snapshot() {
    std::lock_guard<std::mutex> g(g_cfg_lock);
    return g_cfg.sp_call_role;
}

// Keyword test: skip white space, compare case-insensitively, and require
// the keyword to end at end of text, ';', white space or '('.
static bool keyword_at(const char*& p, const char* kw) {
    const char* q = p;
    while (*q && isspace(static_cast<unsigned char>(*q))) q++;
    size_t n = strlen(kw);
    if (strncasecmp(q, kw, n) != 0) return false;
    char c = q[n];
    if (c != '\0' && c != ';' && c != '(' && !isspace(static_cast<unsigned char>(c))) return false;
    p = q + n;
    return true;
}

static bool keywords(const char* text, std::initializer_list<const char*> kws) {
    const char* p = text;
    for (const char* k : kws)
        if (!keyword_at(p, k)) return false;
    return true;
}

static bool sql_is_call(const char* sql) { return keywords(sql, {"CALL"}); }

int classify_sql_required_role(const char* sql) {
    std::string head = router_trim(std::string(sql, strnlen(sql, 511)));
    const char* t = head.c_str();
    if (keywords(t, {"SHOW", "PROCEDURES"}) || keywords(t, {"SHOW", "PROCEDURE"}))
        return ROUTER_ROLE_READ;
    if (keywords(t, {"CREATE", "PROCEDURE"}) ||
        keywords(t, {"CREATE", "OR", "REPLACE", "PROCEDURE"}) || keywords(t, {"DROP", "PROCEDURE"}))
        return ROUTER_ROLE_FULL;
    if (keywords(t, {"CALL"})) return sp_call_role_snapshot();
    // Prefixes keep their single blank (a newline after SELECT is FULL), but
    // compare without regard to case, as the backend does.
    if (router_ci_starts(t, "SELECT ") || router_ci_starts(t, "SHOW ")) return ROUTER_ROLE_READ;
    if (router_ci_starts(t, "INSERT ") || router_ci_starts(t, "UPDATE ") ||
        router_ci_starts(t, "DELETE "))
        return ROUTER_ROLE_WRITE;
    if (router_ci_starts(t, "USE ") || router_ci_starts(t, "LOGIN ") ||
        router_ci_starts(t, "CHANGE PASSWORD "))
        return 0;
    return ROUTER_ROLE_FULL;
}

int classify_json_action_required_role(const char* action) {
    static const char* const kRead[] = {"show_procedures",
                                        "show_stored_procedures",
                                        "show_tables",
                                        "show_table",
                                        "show_indexes",
                                        "show_index",
                                        "select",
                                        "query",
                                        "read"};
    static const char* const kWrite[] = {"insert", "batch_insert", "update", "delete"};
    if (action == nullptr || *action == '\0') return ROUTER_ROLE_FULL;
    for (const char* a : kRead)
        if (strcasecmp(action, a) == 0) return ROUTER_ROLE_READ;
    for (const char* a : kWrite)
        if (strcasecmp(action, a) == 0) return ROUTER_ROLE_WRITE;
    if (strcasecmp(action, "call_procedure") == 0 ||
        strcasecmp(action, "call_stored_procedure") == 0)
        return sp_call_role_snapshot();
    return ROUTER_ROLE_FULL;
}

std::string router_canonical_value(const std::string& v) {
    auto strip_tail = [](std::string& s) {
        while (!s.empty() && (s.back() == ';' || isspace(static_cast<unsigned char>(s.back()))))
            s.pop_back();
    };
    std::string s = v;
    strip_tail(s);
    if (s.size() >= 2 && (s.front() == '\'' || s.front() == '"') && s.back() == s.front())
        s = s.substr(1, s.size() - 2);
    strip_tail(s);
    return s;
}

std::string router_normalize_sql_ws(const std::string& sql) {
    std::string out;
    out.reserve(sql.size());
    for (size_t i = 0; i < sql.size(); i++) {
        char c = sql[i];
        if (c == '\r' || c == '\n' || c == '\t') {
            out.push_back(' ');
        } else if (c == '\\' && i + 1 < sql.size() &&
                   (sql[i + 1] == 'r' || sql[i + 1] == 'n' || sql[i + 1] == 't')) {
            out.push_back(' ');
            i++;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string router_check_db_access(RouterSession* s, const char* database, int required,
                                   const char* no_route, const char* denied) {
    int idx;
    BackendEntry b;
    uint64_t gen;
    if (router_db_route_snapshot(database, &idx, &b, &gen) != 0) {
        stats_add(STAT_ROUTE_FAILURES, 1);
        return make_error_json(no_route);
    }
    if (!session_can_use_db(s, database, required)) return make_error_json(denied);
    return std::string();
}

std::string router_forward_to_current_backend(RouterSession* s, const char* request, int required,
                                              bool keeps_session_state) {
    if (!s->authenticated) return make_error_json("not authenticated");
    const char* db = s->current_database[0] ? s->current_database : "default";
    std::string refused =
        router_check_db_access(s, db, required, "no backend route for current database",
                               "permission denied for current database");
    if (!refused.empty()) return refused;
    char err[512];
    // Copy: binding may rewrite current_database.
    char dbcopy[64];
    router_copy_str(dbcopy, sizeof dbcopy, db);
    if (backend_login_and_use(s, dbcopy, err, sizeof err) != 0) return make_error_json(err);
    // Marked before sending: even a failed cursor request may leave state.
    if (keeps_session_state) s->backend_private = 1;
    std::string reply;
    int idx = s->backend_idx;
    int rc = backend_forward_raw_fd(s->backend_fd, s->client_fd, request, reply, err, sizeof err);
    if (rc == BACKEND_REPLY || rc == BACKEND_REPLY_RELAYED) {
        stats_add(STAT_ROUTED_REQUESTS, 1);
        s->routed_requests++;
        if (rc == BACKEND_REPLY_RELAYED) s->reply_sent = 1;
        return reply;
    }
    if (rc == BACKEND_CLIENT_LOST) {
        // The rest of the reply is still on the backend connection.
        session_close_current_backend(s);
    } else {
        stats_add(STAT_BACKEND_ERRORS, 1);
        router_record_backend_runtime_error(idx, err);
        session_close_current_backend(s);
        if (rc == BACKEND_FAILED) return make_error_json(err);
    }
    // The client holds part of a frame: nothing more can be said on it.
    s->reply_sent = 1;
    s->close_after_reply = 1;
    return std::string();
}

std::string router_handle_use(RouterSession* s, const char* database) {
    if (!s->authenticated) return make_error_json("not authenticated");
    std::string refused = router_check_db_access(s, database, 0, "unknown database route",
                                                 "user is not allowed to use this database");
    if (!refused.empty()) return refused;
    char err[512];
    if (backend_login_and_use(s, database, err, sizeof err) != 0) return make_error_json(err);
    char msg[128];
    snprintf(msg, sizeof msg, "using database %s", database);
    router_copy_str(s->current_database, sizeof s->current_database, database);
    return make_ok_message_json(msg);
}

// Exactly the statement, or the statement directly followed by one ';'.
static bool router_stmt_is(const std::string& head, const char* stmt) {
    size_t n = strlen(stmt);
    if (head.size() < n || strncasecmp(head.c_str(), stmt, n) != 0) return false;
    return head.size() == n || (head.size() == n + 1 && head[n] == ';');
}

static std::string cut(const std::string& s, size_t n) { return s.size() > n ? s.substr(0, n) : s; }

static size_t ci_find(const std::string& hay, const char* needle) {
    size_t n = strlen(needle);
    for (size_t i = 0; i + n <= hay.size(); i++)
        if (strncasecmp(hay.c_str() + i, needle, n) == 0) return i;
    return std::string::npos;
}

static std::string admin_only(RouterSession* s, std::string (*build)()) {
    if (!session_is_router_admin(s)) return make_error_json("router admin permission required");
    return build();
}

int router_action_guard(const char* action) {
    for (const char* a : kRouterManagementActions)
        if (strcasecmp(action, a) == 0) return ROUTER_GUARD_LOCAL_ADMIN;
    for (const char* a : kRouterReportActions)
        if (strcasecmp(action, a) == 0) return ROUTER_GUARD_ADMIN;
    return ROUTER_GUARD_NONE;
}

int router_sql_guard(const char* norm) {
    for (const char* p : kRouterManagementStatements)
        if (router_ci_starts(norm, p)) return ROUTER_GUARD_LOCAL_ADMIN;
    for (const char* p : kRouterReportStatements)
        if (router_ci_starts(norm, p)) return ROUTER_GUARD_ADMIN;
    return ROUTER_GUARD_NONE;
}

std::string router_guard_refusal(RouterSession* s, int guard) {
    if (guard == ROUTER_GUARD_NONE) return std::string();
    if (!s->authenticated) return make_error_json("not authenticated");
    if (!session_is_router_admin(s)) return make_error_json("router admin permission required");
    if (guard == ROUTER_GUARD_LOCAL_ADMIN && !router_session_from_localhost(s))
        return make_error_json(
            "user and database management through router is allowed only from localhost");
    return std::string();
}

std::string router_handle_sql(RouterSession* s, const char* request, const char* sql) {
    std::string head = router_trim(std::string(sql, strnlen(sql, 255)));
    struct RouterStatement {
        const char* text;
        std::string (*build)();
    };
    static const RouterStatement kStatements[] = {
        {"ROUTER STATUS", build_router_stats_json},
        {"ROUTER BACKENDS", build_router_backends_json},
        {"ROUTER DATABASES", build_databases_json},
        {"ROUTER POOLS", build_router_pools_json},
        {"ROUTER CLIENTS", build_router_clients_json},
        {"ROUTER SESSIONS", build_router_clients_json},
        {"ROUTER HEALTH", router_force_health_check_json},
        {"ROUTER HEALTH STATUS", build_router_backends_json},
        {"ROUTER RELOAD", router_reload_config_json},
    };
    for (const auto& st : kStatements)
        if (router_stmt_is(head, st.text)) return admin_only(s, st.build);

    std::string norm = router_trim(router_normalize_sql_ws(sql));
    if (router_ci_starts(norm.c_str(), "LOGIN ")) {
        size_t at = ci_find(norm, " IDENTIFIED BY ");
        if (norm.size() < 1024 && at != std::string::npos) {
            std::string user = router_canonical_value(router_trim(cut(norm.substr(6, at - 6), 63)));
            std::string pw = router_canonical_value(router_trim(cut(norm.substr(at + 15), 255)));
            if (!user.empty() && !pw.empty()) {
                std::string reply = router_handle_login(s, user.c_str(), pw.c_str());
                router_wipe(pw.data(), pw.size());
                return reply;
            }
        }
        return make_error_json("invalid LOGIN syntax");
    }
    if (router_ci_starts(norm.c_str(), "USE ")) {
        if (norm.size() < 512) {
            std::string db = router_canonical_value(router_trim(cut(norm.substr(4), 63)));
            if (!db.empty()) return router_handle_use(s, db.c_str());
        }
        return make_error_json("invalid USE syntax or database name too long");
    }
    if (router_ci_starts(norm.c_str(), "CHANGE PASSWORD ")) {
        if (norm.size() < 1024) {
            size_t p = 16;
            while (p < norm.size() && isspace(static_cast<unsigned char>(norm[p]))) p++;
            if (router_ci_starts(norm.c_str() + p, "TO ")) {
                p += 3;
                while (p < norm.size() && isspace(static_cast<unsigned char>(norm[p]))) p++;
            }
            std::string pw = router_canonical_value(cut(norm.substr(p), 255));
            if (!pw.empty()) return router_handle_change_password(s, pw.c_str());
        }
        return make_error_json("invalid CHANGE PASSWORD syntax or password too long");
    }
    if (router_ci_starts(norm.c_str(), "SHOW DATABASES")) {
        if (!s->authenticated) return make_error_json("not authenticated");
        return build_databases_json();
    }
    // Read as the backend reads it: blanks for line breaks, trimmed.
    std::string refused = router_guard_refusal(s, router_sql_guard(norm.c_str()));
    if (!refused.empty()) return refused;
    if (router_ci_starts(norm.c_str(), "CREATE DATABASE "))
        return make_error_json(
            "CREATE DATABASE through router is not supported in phase 1; add the database route to "
            "kyreldb_router.config");

    int required = classify_sql_required_role(sql);
    const char* db = s->current_database[0] ? s->current_database : "default";
    if (sql_is_call(sql)) {
        char err[256];
        if (router_check_stored_procedure_call_policy(s, db, err, sizeof err) != 0)
            return make_error_json(err);
    }
    return router_forward_to_current_backend(s, request, required,
                                             router_ci_starts(norm.c_str(), "KILL CURSOR "));
}

static std::string make_ambiguous_reply() {
    return make_error_json("ambiguous request: repeated or nested action or sql member");
}

// Actions that open, read or end a cursor, which lives in the backend
// connection's session.
static bool action_uses_cursor(const char* action) {
    static const char* const kCursorActions[] = {"cursor_open",  "select_cursor", "cursor_fetch",
                                                 "cursor_close", "cursor_kill",   "kill_cursor"};
    for (const char* a : kCursorActions)
        if (strcasecmp(action, a) == 0) return true;
    return false;
}

std::string router_handle_request(RouterSession* s, const char* request) {
    stats_add(STAT_TOTAL_REQUESTS, 1);
    // The router must act on the same action and statement as the backend; a
    // second or nested member of that name could be read differently by
    // another reader, so such a request is not passed on at all.
    if (!json_member_is_unambiguous(request, "action")) return make_ambiguous_reply();
    char action[128];
    if (json_extract_string(request, "action", action, sizeof action) != 0)
        return make_error_json("missing action");
    router_copy_str(s->last_action, sizeof s->last_action, action);
    auto is = [&](const char* name) { return strcasecmp(action, name) == 0; };
    if (is("ping")) return "{\"ok\":true,\"router\":\"KyrelDB Router\",\"pong\":true}";

    if (s->authenticated && router_session_refresh_user(s) != 0) {
        router_session_logout(s);
        return make_error_json("router user no longer exists after config reload");
    }
    if (is("router_stats") || is("show_stats") || is("router_status"))
        return admin_only(s, build_router_stats_json);
    if (is("router_backends")) return admin_only(s, build_router_backends_json);
    if (is("router_pools")) return admin_only(s, build_router_pools_json);
    if (is("router_clients") || is("router_sessions"))
        return admin_only(s, build_router_clients_json);
    if (is("router_health") || is("router_backend_status"))
        return admin_only(s, build_router_backends_json);
    if (is("router_health_check")) return admin_only(s, router_force_health_check_json);
    if (is("router_reload") || is("reload_config")) return admin_only(s, router_reload_config_json);
    if (is("router_databases")) return admin_only(s, build_databases_json);
    if (is("show_databases")) {
        if (!s->authenticated) return make_error_json("not authenticated");
        return build_databases_json();
    }
    if (is("login") || is("auth")) {
        char user[64], pw[256];
        if (json_extract_string(request, "username", user, sizeof user) != 0 ||
            json_extract_string(request, "password", pw, sizeof pw) != 0)
            return make_error_json("username and password required");
        std::string reply = router_handle_login(s, user, pw);
        router_wipe(pw, sizeof pw);
        return reply;
    }
    // "execute" and "query" carry a statement just like "sql" on the backend,
    // so they get the same statement handling and classes.
    if (is("sql") || is("execute") || is("query")) {
        if (!json_member_is_unambiguous(request, "sql")) return make_ambiguous_reply();
        std::string sql;
        int rc = json_extract_string_alloc(request, "sql", 0, sql);
        if (rc == -2) return make_error_json("sql field too large");
        if (rc == -3) return make_error_json("out of memory");
        if (rc != 0) return make_error_json("missing sql");
        return router_handle_sql(s, request, router_trim(sql).c_str());
    }
    if (is("change_password")) {
        // "password" stands in only for an absent "new_password", as on the
        // backend; a "new_password" too long to keep is refused, not skipped.
        char pw[256];
        int rc = json_extract_string(request, "new_password", pw, sizeof pw);
        if (rc == -1) rc = json_extract_string(request, "password", pw, sizeof pw);
        if (rc != 0) {
            router_wipe(pw, sizeof pw);
            return make_error_json("new_password required");
        }
        std::string reply = router_handle_change_password(s, pw);
        router_wipe(pw, sizeof pw);
        return reply;
    }
    std::string refused = router_guard_refusal(s, router_action_guard(action));
    if (!refused.empty()) return refused;
    int required = classify_json_action_required_role(action);
    if (is("call_procedure") || is("call_stored_procedure")) {
        char err[256];
        const char* db = s->current_database[0] ? s->current_database : "default";
        if (router_check_stored_procedure_call_policy(s, db, err, sizeof err) != 0)
            return make_error_json(err);
    }
    return router_forward_to_current_backend(s, request, required, action_uses_cursor(action));
}

void router_session_init(RouterSession* s, int fd) {
    memset(s, 0, sizeof *s);
    s->client_fd = fd;
    s->backend_fd = -1;
    s->backend_idx = -1;
    router_copy_str(s->current_database, sizeof s->current_database, "default");
}

void client_thread(int fd, uint64_t ticket) {
    std::unique_ptr<RouterSession> s(new (std::nothrow) RouterSession);
    if (!s) {
        router_forget_pending(ticket);
        close(fd);
        return;
    }
    router_session_init(s.get(), fd);
    s->admission_ticket = ticket;
    router_client_register(s.get());
    router_client_registry_update_from_session(s.get());
    stats_add(STAT_ACTIVE_CONNECTIONS, 1);
    std::string request;
    while (g_running.load()) {
        int rc = read_frame(fd, request);
        if (rc == FRAME_CLOSED) break;
        if (rc == FRAME_BAD_SIZE) {
            send_frame(fd, make_error_json("invalid request size"));
            break;
        }
        if (rc == FRAME_NO_MEMORY) {
            send_frame(fd, make_error_json("out of memory"));
            break;
        }
        s->last_request_at = router_now_seconds();
        s->requests_served++;
        std::string reply;
        s->reply_sent = 0;
        try {
            reply = router_handle_request(s.get(), request.c_str());
        } catch (...) {
            reply = make_error_json("router internal error");
        }
        router_wipe(request.data(), request.size());
        if (!s->reply_sent) {
            if (reply.empty()) reply = make_error_json("router internal error");
            if (send_frame(fd, reply) != 0) break;
        }
        s->last_response_at = router_now_seconds();
        router_client_registry_update_from_session(s.get());
        if (s->close_after_reply) break;
    }
    session_return_current_backend(s.get());
    router_client_registry_update_from_session(s.get());
    router_client_unregister(s.get());
    router_wipe(&s->user, sizeof s->user);
    stats_add(STAT_ACTIVE_CONNECTIONS, -1);
    // A connection the router closed before it logged in is told why.
    if (const char* why = router_release_client(s.get())) send_frame(fd, make_error_json(why));
    close(fd);
}
