// The names of the server's system tables and the rule of which rows are
// system-table rows: the rows only the administrator on a local connection
// may change by hand (the statements made for them, CREATE USER, GRANT and
// CREATE PROCEDURE, change them for everyone they allow). The server enforces
// the rule; the router, whose backend connections all come from the local
// host, applies the same rule to its own clients before it forwards a row
// change, so both read it from here.
#pragma once

// The database holding the users, their grants and the procedure catalog.
inline constexpr const char* KYREL_SYSTEM_DB_NAME = "config_db";
inline constexpr const char* KYREL_USERS_TABLE_NAME = "kyreldb_users";
inline constexpr const char* KYREL_ROLES_TABLE_NAME = "kyreldb_user_roles";
inline constexpr const char* KYREL_PROCEDURES_TABLE_NAME = "kyreldb_stored_procedures";

// 1 when the rows of table in database are system-table rows: every table of
// the system database, and a table named like one of the three system
// tables in any database. Names compare without regard to case; NULL counts
// as empty.
int system_table_is_protected(const char* database, const char* table);
