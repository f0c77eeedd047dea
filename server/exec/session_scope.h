// What a Session may reach: its role on a database.
#pragma once

#include <cstddef>

#include "storage/roles.h"

struct Session;

// The Session user's role on database (administrators FULL). 0, or -1 with
// "not authenticated" / "role lookup failed"; *out_role is NONE on failure.
int session_db_role(const Session* session, const char* database, UserRole* out_role, char* msg,
                    size_t msglen);
