// Login throttle: failed logins counted per pair of client address and user
// name. After LOGIN_THROTTLE_FAILURES failures of one pair within
// LOGIN_THROTTLE_WINDOW_SECONDS, further attempts of that pair are refused
// with "too many failed logins; try again later" until the oldest of those
// failures has left the window; a refused attempt does not count, and a
// successful login clears the pair. Other pairs, the same user from another
// address or another user from the same address, are not affected.
//
// The table is guarded by its own leaf lock, held only around a lookup or an
// update, never while a password is hashed. It holds at most
// LOGIN_THROTTLE_MAX_PAIRS pairs: pairs whose failures have all left the
// window go first, then arbitrary ones.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int LOGIN_THROTTLE_FAILURES = 5;
inline constexpr int64_t LOGIN_THROTTLE_WINDOW_SECONDS = 60;
inline constexpr size_t LOGIN_THROTTLE_MAX_PAIRS = 65536;

// 0 when the pair may try; -1 with "too many failed logins; try again later".
int login_throttle_check(const char* address, const char* user, char* err, size_t errlen);
// Records the outcome of an attempt that was let through.
void login_throttle_note(const char* address, const char* user, bool succeeded);
// The same two with the clock given, in monotonic milliseconds (for tests).
int login_throttle_check_at(const char* address, const char* user, int64_t now_ms, char* err,
                            size_t errlen);
void login_throttle_note_at(const char* address, const char* user, bool succeeded, int64_t now_ms);
// Forgets every pair (for tests).
void login_throttle_reset();
