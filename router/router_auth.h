// Router login against the configuration's users, per-address login
// throttling, and the in-band password change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "router_types.h"

// Throttle key: the client address, '|', the user name in lower case.
constexpr size_t ROUTER_AUTH_KEY_SIZE = 160;

struct AuthThrottleEntry {
    int32_t in_use;
    char key[ROUTER_AUTH_KEY_SIZE];
    int32_t failures_in_window;
    int64_t window_start;
    int64_t last_failure;
    int64_t blocked_until;
    uint64_t total_failures;
};

constexpr int ROUTER_AUTH_THROTTLE_SLOTS = 2048;

std::string router_handle_login(RouterSession* s, const char* username, const char* password);
// Logins are throttled per client address and user name, so that failures
// for one user do not lock out the others behind the same address.
// 0 allowed, -1 blocked with *seconds_left set.
int auth_throttle_check(RouterSession* s, const char* username, int* seconds_left);
void auth_throttle_record_failure(RouterSession* s, const char* username);
void auth_throttle_record_success(RouterSession* s, const char* username);
// The client's address without the port ("unknown" when it cannot be read).
std::string auth_throttle_key_for_session(const RouterSession* s);
// The throttle key of that address and user name.
std::string auth_throttle_key(const RouterSession* s, const char* username);
// 1 when the client's own connection comes from the local host (the
// addresses the backend counts as local), else 0.
int router_session_from_localhost(const RouterSession* s);
// Caller holds the throttle lock. NULL when absent and create is 0.
AuthThrottleEntry* auth_throttle_find_entry_locked(const char* key, int create, int64_t now);
std::string make_auth_throttle_json(int seconds);
std::string build_login_response(const RouterSession* s);
// Changes the password of the session's backend user on the backend of its
// current database, with a request the router builds from new_password, then
// stores exactly that password. Refused when another router user logs in to
// that backend as the same backend user.
std::string router_handle_change_password(RouterSession* s, const char* new_password);
std::string router_make_password_changed_json(int password_updated, int config_saved,
                                              const char* warning);
