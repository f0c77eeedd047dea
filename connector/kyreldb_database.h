/*
 * kyreldb_database: the KyrelDB database client API, built on
 * kyrelconnect_core.
 *
 * One handle per server session. Every request function sends exactly one
 * request and returns a kc_result that the caller releases with
 * kc_result_free. Every identifier interpolated into a statement must pass
 * kc_identifier_is_safe; otherwise nothing is sent and the result carries
 * "unsafe identifier". The handle remembers the user of the last successful
 * login, the server's must-change-password flag and the database of the
 * last successful USE.
 */
#ifndef KYRELDB_DATABASE_H
#define KYRELDB_DATABASE_H

#include "kyrelconnect_core.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kyreldb_handle {
    kc_connection* connection;  /* owned, mode 1 */
    int must_change_password;   /* from the last successful login */
    char current_database[128]; /* "default" at open; set by USE */
    char username[128];         /* set by a successful login */
} kyreldb_handle;

/* Lifecycle. open connects at once; NULL when that fails. */
kyreldb_handle* kyreldb_database_open_timeout(const char* host, int port, int timeout_seconds);
kyreldb_handle* kyreldb_database_open(const char* host, int port);
void kyreldb_database_close(kyreldb_handle* h); /* handle stays usable */
void kyreldb_database_free(kyreldb_handle* h);

/* Requests. */
kc_result* kyreldb_database_ping(kyreldb_handle* h);
kc_result* kyreldb_database_login(kyreldb_handle* h, const char* user, const char* password);
kc_result* kyreldb_database_change_password(kyreldb_handle* h, const char* new_password);
kc_result* kyreldb_database_use_database(kyreldb_handle* h, const char* name);
kc_result* kyreldb_database_execute(kyreldb_handle* h, const char* sql);
kc_result* kyreldb_database_query(kyreldb_handle* h, const char* sql);
kc_result* kyreldb_database_query_result(kyreldb_handle* h, const char* sql);
kc_result* kyreldb_database_show_stats(kyreldb_handle* h);
kc_result* kyreldb_database_show_databases(kyreldb_handle* h);
kc_result* kyreldb_database_show_tables(kyreldb_handle* h);
kc_result* kyreldb_database_show_table(kyreldb_handle* h, const char* table);
kc_result* kyreldb_database_show_indexes(kyreldb_handle* h, const char* table);
kc_result* kyreldb_database_create_database(kyreldb_handle* h, const char* name);
kc_result* kyreldb_database_create_index(kyreldb_handle* h, const char* index, const char* table,
                                         const char* column);
kc_result* kyreldb_database_create_procedure(kyreldb_handle* h, const char* name, const char* table,
                                             const char* parameters, const char* body);
kc_result* kyreldb_database_show_procedures(kyreldb_handle* h);
kc_result* kyreldb_database_show_procedures_on(kyreldb_handle* h, const char* table);
kc_result* kyreldb_database_drop_procedure(kyreldb_handle* h, const char* name, const char* table);
kc_result* kyreldb_database_call(kyreldb_handle* h, const char* name, int count,
                                 const kc_arg* args);

/* Short names: the same operations. */
kyreldb_handle* kyreldb_connect(const char* host, int port);
kyreldb_handle* kyreldb_connect_timeout(const char* host, int port, int timeout_seconds);
void kyreldb_close(kyreldb_handle* h);
void kyreldb_free(kyreldb_handle* h);
kc_result* kyreldb_login(kyreldb_handle* h, const char* user, const char* password);
kc_result* kyreldb_change_password(kyreldb_handle* h, const char* new_password);
kc_result* kyreldb_use_database(kyreldb_handle* h, const char* name);
kc_result* kyreldb_execute(kyreldb_handle* h, const char* sql);
kc_result* kyreldb_query(kyreldb_handle* h, const char* sql);
kc_result* kyreldb_create_database(kyreldb_handle* h, const char* name);
kc_result* kyreldb_create_index(kyreldb_handle* h, const char* index, const char* table,
                                const char* column);

#ifdef __cplusplus
}
#endif

#endif /* KYRELDB_DATABASE_H */
