// What a Session may reach: its role on a database, and the tables it may
// name. Every table name a client writes (JSON actions, SQL statements,
// JOIN sides, cursors, DDL, procedure bodies) is resolved here, so one set of
// rules decides what a name can reach.
#pragma once

#include <cstddef>

#include "storage/db_registry.h"
#include "storage/ident.h"
#include "storage/roles.h"

struct Session;
struct Table;

// The Session user's role on database (administrators FULL). 0, or -1 with
// "not authenticated" / "role lookup failed"; *out_role is NONE on failure.
int session_db_role(const Session* session, const char* database, UserRole* out_role, char* msg,
                    size_t msglen);

// 1 when the Session is the administrator logged in on a connection from the
// local machine (from_localhost: its peer address is a loopback address):
// the one who may manage users and change the system tables' rows.
int session_is_local_admin(const Session* s);

// What the Session is about to do with a table.
enum class TableUse {
    Read,    // reads and definition changes
    Change,  // row changes: the system tables are refused
};

// A table named by a Session, resolved in the Session's database.
struct SessionTable {
    Table* table = nullptr;                        // live slot, or nullptr (see below)
    char internal[KYREL_INTERNAL_NAME_SIZE] = "";  // internal name in the Session's database
    char name[KYREL_IDENT_SIZE] = "";              // the name as written, canonical
};

// Checks the name a client wrote by the client name rules (copy_ident_checked,
// label "table name": so never an internal name such as other__t, which would
// reach another database) and builds its internal name in the Session's
// database. 0, or -1 with the identifier message.
int session_table_name(const Session* s, const char* written, SessionTable* out, char* err,
                       size_t errlen);
// session_table_name, then the live table: -1 "table not found"; for
// TableUse::Change a system table (table_is_protected_internal_name) is
// -1 "cannot change system table" unless session_is_local_admin.
int session_table_resolve(const Session* s, const char* written, TableUse use, SessionTable* out,
                          char* err, size_t errlen);
