// Per-client request handling: the client loop, dispatch of actions and SQL
// statements, request classes, the permission test, the stored-procedure
// CALL policy and forwarding to the session's backend.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "router_types.h"

// Serves one connection admitted by the accept loop under that ticket
// (router_admission.h) until it closes; owns and closes the socket.
void client_thread(int fd, uint64_t ticket);
void router_session_init(RouterSession* s, int fd);
std::string router_handle_request(RouterSession* s, const char* request);
std::string router_handle_sql(RouterSession* s, const char* request, const char* sql);
std::string router_handle_use(RouterSession* s, const char* database);
int classify_json_action_required_role(const char* action);
int classify_sql_required_role(const char* sql);
int router_check_stored_procedure_call_policy(RouterSession* s, const char* database, char* err,
                                              size_t errlen);
int session_can_use_db(RouterSession* s, const char* database, int required);
// Empty when the database has a backend route and the session may use it with
// the required role; otherwise the error reply (no_route or denied), a missing
// route also counting as a route failure.
std::string router_check_db_access(RouterSession* s, const char* database, int required,
                                   const char* no_route, const char* denied);
int session_is_router_admin(RouterSession* s);

// Requests the backend allows its administrators only, which the router
// therefore allows its own administrators only: the server reports (ADMIN),
// and user and database management, which also needs the client's own
// connection to be local (LOCAL_ADMIN).
enum RouterGuard { ROUTER_GUARD_NONE = 0, ROUTER_GUARD_ADMIN = 1, ROUTER_GUARD_LOCAL_ADMIN = 2 };
int router_action_guard(const char* action);
// norm: the statement as the backend reads it (router_normalize_sql_ws, trimmed).
int router_sql_guard(const char* norm);
// The refusal of a request with that guard for the session, or empty.
std::string router_guard_refusal(RouterSession* s, int guard);
int session_has_full_db_role(RouterSession* s, const char* database);
// Forwards the request text unchanged. keeps_session_state: the request may
// leave state on the backend connection (cursors), which then never serves
// another session. A reply above 8 MiB is relayed to the client here: the
// result is then empty and s->reply_sent set (with close_after_reply when
// the relay broke off).
std::string router_forward_to_current_backend(RouterSession* s, const char* request, int required,
                                              bool keeps_session_state = false);

// Copies the configured user of that name (case-insensitive, first match); -1 absent.
int router_lookup_user(const char* name, RouterUser* out);
// Refreshes s->user from the configuration; -1 when not logged in or the user is gone.
int router_session_refresh_user(RouterSession* s);
// Drops the login of a session whose user disappeared.
void router_session_logout(RouterSession* s);
// Value form used by LOGIN, USE and CHANGE PASSWORD: trailing ';' and blanks
// removed, then one pair of matching quotes, then trailing ';' and blanks.
std::string router_canonical_value(const std::string& v);
// CR, LF, TAB and the two-character texts \r \n \t become blanks, as the
// server reads statements.
std::string router_normalize_sql_ws(const std::string& sql);
