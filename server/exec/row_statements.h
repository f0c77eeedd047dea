// Row statements run for a Session: SELECT (single table or JOIN), INSERT,
// UPDATE and DELETE, from direct requests and from procedure bodies alike.
// Table names resolve in the Session's database only (exec/session_scope.h);
// every change takes the change road (exec/row_change.h) and counts in the
// statistics.
//
// Each returns 0 with an owned reply text in *reply, or -1 with a message.
// Authorisation is the caller's.
#pragma once

#include <cstddef>

struct Session;

// A SELECT statement; " JOIN " at the top level makes it a two-table JOIN.
int exec_select_sql(const Session* s, const char* sql, char** reply, char* err, size_t errlen);
// A cursor over a SELECT * of one table (query/session_cursor.h): 0 with the
// first batch.
int session_cursor_open_select(Session* s, const char* sql, int batch, char** reply, char* err,
                               size_t errlen);
// Checks the table names of a SELECT, INSERT, UPDATE or DELETE statement by
// the rules every written table name follows, without resolving them (so a
// procedure body naming another database's table is refused when it is
// created). -1 with the identifier message; a statement that does not parse
// for another reason is not judged here (0).
int exec_check_statement_tables(const char* sql, char* err, size_t errlen);
// An INSERT statement: {"ok":true,"inserted":N}.
int exec_insert_sql(const Session* s, const char* sql, char** reply, char* err, size_t errlen);
// Rows given as JSON objects for the named table: {"ok":true,"inserted":N}.
int exec_insert_json_rows(const Session* s, const char* table, const char* const* rows, int n,
                          char** reply, char* err, size_t errlen);
// UPDATE and DELETE by primary key: {"ok":true,"updated":1} / {"ok":true,"deleted":1}.
int exec_update_sql(const Session* s, const char* sql, char** reply, char* err, size_t errlen);
int exec_delete_sql(const Session* s, const char* sql, char** reply, char* err, size_t errlen);
