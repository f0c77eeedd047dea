// Request authorisation: decides, before a Job runs or is queued, whether the
// connection's Session may run it. Uses the login state, the administrator
// and localhost flags and the user's role on the database of the request.
#pragma once

#include <cstddef>

struct Job;
struct Session;

// Target database of a USE request (kind 19): from "sql", else "database".
// 0 with the name, or -1 with the message.
int use_target_database(const Job* job, char* out, size_t cap, char* msg, size_t msglen);
int authorize_use_db(const Session* session, const Job* job, char* msg, size_t msglen);
// 0 allowed, -1 refused with the message to answer.
int authorize_job(const Session* session, const Job* job, char* msg, size_t msglen);
