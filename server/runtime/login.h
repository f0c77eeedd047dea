// Login and password change of a session against the users table of
// "config_db". Both run on the commit thread. 0, or -1 with a message in
// (err, errlen).
#pragma once

#include <cstddef>

struct Session;

// session and warning may be NULL.
int system_authenticate(Session* session, const char* user, const char* password, char* warning,
                        size_t warning_cap, char* err, size_t errlen);
int system_change_password(Session* session, const char* new_password, char* err, size_t errlen);
