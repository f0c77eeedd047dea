// Row changes of the server's system tables through the router.
//
// The backend lets its administrator on a local connection change the rows
// of its system tables by hand (system_table_names.h), and every connection
// the router makes to a backend is local: a router user mapped to the
// backend administrator would get that right from any address, with no more
// than a grant on the system database. The router therefore refuses such a
// change itself unless the client is a router administrator whose own
// connection is local. Reading those tables stays as the grants allow.
//
// A request is such a change, read as the backend reads it, when it changes
// rows (kRouterRowChangeActions, or a statement beginning with one of
// kRouterRowChangeKeywords) and
//  - the session's database is the system database, every table of which is
//    a system table: a CALL counts there, since the procedure's statements
//    run as the caller on that database's tables; or
//  - it names a table named like a system table: by its "table" member,
//    which the backend's inserts take before any statement, or by the table
//    its INSERT INTO, UPDATE or DELETE FROM statement names.
// A CALL in another database is let through: its procedure reaches only that
// database's tables, none of which holds the system's users, grants or
// procedures.
#pragma once

#include <string>

#include "router_types.h"

// 1 when the request is such a change in database. action: the request's
// action; sql: the statement as the backend reads it (router_normalize_sql_ws,
// trimmed) for the statement actions "sql", "execute" and "query", NULL for
// every other action (the statement an insert action may carry in its "sql"
// member is then read from the request).
int router_changes_system_rows(const char* database, const char* action, const char* request,
                               const char* sql);
// The table a row-change statement names (INSERT INTO, UPDATE, DELETE FROM),
// with the blanks, quotes and ';' around it removed; empty when none.
std::string router_row_change_target(const char* sql);
// The refusal of the request for the session in its current database, or
// empty (also for a session not logged in, which forwarding refuses).
std::string router_system_rows_refusal(RouterSession* s, const char* action, const char* request,
                                       const char* sql);
