// SQL statements of a procedure body, run with the rights of the calling user
// on the caller's current database, through the same parsers, row functions
// and WAL as direct requests. Runs on the commit thread only.
#pragma once

#include <cstddef>

struct Session;

int sp_authorize_invoker_sql(const Session* session, const char* sql, char* err, size_t errlen);
int sp_execute_invoker_sql(Session* session, const char* sql, char** out_reply, char* err,
                           size_t errlen);
