// Row statements run for a Session: SELECT (single table or JOIN), INSERT,
// UPDATE and DELETE, from direct requests and from procedure bodies alike.
// Table names resolve in the Session's database only (exec/session_scope.h);
// every change takes the change road (exec/row_change.h) and counts in the
// statistics.
//
// Each returns 0 with an owned reply text in *reply, or -1 with a message.
// Authorisation is the caller's; so is g_checkpoint_lock for a change (the
// commit thread holds it).
#pragma once

#include <cstddef>

struct ChangeGroup;
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
// UPDATE and DELETE by primary key: {"ok":true,"updated":1} / {"ok":true,"deleted":1}.
int exec_update_sql(const Session* s, const char* sql, char** reply, char* err, size_t errlen);
int exec_delete_sql(const Session* s, const char* sql, char** reply, char* err, size_t errlen);

// ---- row changes read ahead ------------------------------------------------
//
// A row change read in two steps: what depends on the statement alone, and
// for an INSERT the rows built and keyed for its table's schema as it is
// when read, is read first, where the request arrives (the connection
// worker, before the job waits for the commit thread); the commit side then
// runs it. It uses the rows built ahead only while the table and its schema
// are still exactly the ones they were built for, and builds them again
// otherwise, so every answer is the one a statement read on the commit side
// gets. The exec_*_sql functions above are the two steps at once.
struct RowStatement;

// The readers: never nullptr but for lack of memory. sql is the statement as
// the request holds it; norm, when not nullptr, the same text already
// normalised and trimmed (normalize_sql_ws, trim_ws), which must then live
// as long as the statement (it is not copied).
RowStatement* row_statement_insert_sql(const Session* s, const char* sql, const char* norm);
// Rows given as JSON objects for the named table; takes over rows (an owned
// array of n owned texts).
RowStatement* row_statement_insert_rows(const Session* s, const char* table, char** rows, int n);
RowStatement* row_statement_update(const char* sql);
RowStatement* row_statement_delete(const char* sql);
// A statement refused before it could be read (a missing member): the
// message is its answer.
RowStatement* row_statement_refused(const char* message);
void row_statement_free(RowStatement* st);

// Runs a statement read above; may be run once. With a group, its change is
// logged with the group (see ChangeGroup): 0 with *reply nullptr when the
// change waits there, and the group's flush answers it.
int exec_row_statement(const Session* s, RowStatement* st, ChangeGroup* group, char** reply,
                       char* err, size_t errlen);
