/*
 * kyreldb_database: one handle per server session on top of the connector
 * core. Each operation sends one request and returns the core's kc_result.
 * Names interpolated into SQL must pass kc_identifier_is_safe, so a caller's
 * name can never add SQL of its own; the handle changes only after a reply
 * whose "ok" is true.
 */
#define _POSIX_C_SOURCE 200809L

#include "kyreldb_database.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define KYRELDB_DEFAULT_PORT 9191
#define KYRELDB_DEFAULT_TIMEOUT 120

#define KYRELDB_ERR_NULL_HANDLE "{\"ok\":false,\"error\":\"null database handle\"}"
#define KYRELDB_ERR_UNSAFE "{\"ok\":false,\"error\":\"unsafe identifier\"}"
#define KYRELDB_ERR_OOM "{\"ok\":false,\"error\":\"out of memory\"}"

/* Copies text into a 128-byte field, cut at 127 bytes; NULL copies as "". */
static void kyreldb_copy_field(char dst[128], const char* src) {
    size_t n = src ? strlen(src) : 0;
    if (n > 127) n = 127;
    if (n) memcpy(dst, src, n);
    dst[n] = '\0';
}

static kc_result* kyreldb_fail(const char* reply) { return kc_result_from_json(reply); }

/* Formats a statement from already checked names and sends it as SQL. */
__attribute__((format(printf, 2, 3))) static kc_result* kyreldb_send_sqlf(kyreldb_handle* h,
                                                                          const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(NULL, 0, fmt, ap);
    va_end(ap);
    if (n < 0) return kyreldb_fail(KYRELDB_ERR_OOM);
    char* sql = (char*)malloc((size_t)n + 1);
    if (!sql) return kyreldb_fail(KYRELDB_ERR_OOM);
    va_start(ap, fmt);
    vsnprintf(sql, (size_t)n + 1, fmt, ap);
    va_end(ap);
    kc_result* r = kc_request_sql(h->connection, sql);
    free(sql);
    return r;
}

/* ---------------------------------------------------------------- lifecycle */

kyreldb_handle* kyreldb_database_open_timeout(const char* host, int port, int timeout_seconds) {
    kyreldb_handle* h = (kyreldb_handle*)calloc(1, sizeof *h);
    if (!h) return NULL;
    h->connection = kc_connection_new(host, port > 0 ? port : KYRELDB_DEFAULT_PORT, timeout_seconds,
                                      KC_MODE_DATABASE);
    if (!h->connection) {
        free(h);
        return NULL;
    }
    kyreldb_copy_field(h->current_database, "default");
    if (kc_connection_connect(h->connection) != 0) {
        kyreldb_database_free(h);
        return NULL;
    }
    return h;
}

kyreldb_handle* kyreldb_database_open(const char* host, int port) {
    return kyreldb_database_open_timeout(host, port, KYRELDB_DEFAULT_TIMEOUT);
}

void kyreldb_database_close(kyreldb_handle* h) {
    if (h) kc_connection_close(h->connection);
}

void kyreldb_database_free(kyreldb_handle* h) {
    if (!h) return;
    kc_connection_free(h->connection);
    memset(h, 0, sizeof *h);
    free(h);
}

/* ---------------------------------------------------------------- requests */

kc_result* kyreldb_database_ping(kyreldb_handle* h) {
    if (!h) return kyreldb_fail(KYRELDB_ERR_NULL_HANDLE);
    return kc_request_action(h->connection, "ping");
}

kc_result* kyreldb_database_login(kyreldb_handle* h, const char* user, const char* password) {
    if (!h) return kyreldb_fail(KYRELDB_ERR_NULL_HANDLE);
    char* u = kc_json_escape(user);
    char* p = kc_json_escape(password);
    char* req = NULL;
    if (u && p) {
        static const char fmt[] = "{\"action\":\"login\",\"username\":\"%s\",\"password\":\"%s\"}";
        size_t need = sizeof fmt + strlen(u) + strlen(p);
        req = (char*)malloc(need);
        if (req) snprintf(req, need, fmt, u, p);
    }
    free(u);
    if (p) {
        memset(p, 0, strlen(p)); /* do not leave the password in freed memory */
        free(p);
    }
    if (!req) return kyreldb_fail(KYRELDB_ERR_OOM);
    kc_result* r = kc_request_json(h->connection, req);
    memset(req, 0, strlen(req));
    free(req);
    if (r && r->ok == 1) {
        h->must_change_password = r->must_change_password;
        kyreldb_copy_field(h->username, user);
    }
    return r;
}

kc_result* kyreldb_database_change_password(kyreldb_handle* h, const char* new_password) {
    if (!h) return kyreldb_fail(KYRELDB_ERR_NULL_HANDLE);
    char* p = kc_json_escape(new_password);
    if (!p) return kyreldb_fail(KYRELDB_ERR_OOM);
    static const char fmt[] = "{\"action\":\"change_password\",\"new_password\":\"%s\"}";
    size_t need = sizeof fmt + strlen(p);
    char* req = (char*)malloc(need);
    if (req) snprintf(req, need, fmt, p);
    memset(p, 0, strlen(p));
    free(p);
    if (!req) return kyreldb_fail(KYRELDB_ERR_OOM);
    kc_result* r = kc_request_json(h->connection, req);
    memset(req, 0, strlen(req));
    free(req);
    if (r && r->ok == 1) h->must_change_password = 0;
    return r;
}

kc_result* kyreldb_database_use_database(kyreldb_handle* h, const char* name) {
    if (!h) return kyreldb_fail(KYRELDB_ERR_NULL_HANDLE);
    if (!kc_identifier_is_safe(name)) return kyreldb_fail(KYRELDB_ERR_UNSAFE);
    kc_result* r = kyreldb_send_sqlf(h, "USE %s;", name);
    if (r && r->ok == 1) kyreldb_copy_field(h->current_database, name);
    return r;
}

kc_result* kyreldb_database_execute(kyreldb_handle* h, const char* sql) {
    if (!h) return kyreldb_fail(KYRELDB_ERR_NULL_HANDLE);
    return kc_request_sql(h->connection, sql ? sql : "");
}

kc_result* kyreldb_database_query(kyreldb_handle* h, const char* sql) {
    return kyreldb_database_execute(h, sql);
}

kc_result* kyreldb_database_query_result(kyreldb_handle* h, const char* sql) {
    return kyreldb_database_execute(h, sql);
}

kc_result* kyreldb_database_show_stats(kyreldb_handle* h) {
    return kyreldb_database_execute(h, "SHOW STATS;");
}

kc_result* kyreldb_database_show_databases(kyreldb_handle* h) {
    return kyreldb_database_execute(h, "SHOW DATABASES;");
}

kc_result* kyreldb_database_show_tables(kyreldb_handle* h) {
    return kyreldb_database_execute(h, "SHOW TABLES;");
}

kc_result* kyreldb_database_show_table(kyreldb_handle* h, const char* table) {
    if (!kc_identifier_is_safe(table)) return kyreldb_fail(KYRELDB_ERR_UNSAFE);
    if (!h) return kyreldb_fail(KYRELDB_ERR_NULL_HANDLE);
    return kyreldb_send_sqlf(h, "SHOW TABLE %s;", table);
}

kc_result* kyreldb_database_show_indexes(kyreldb_handle* h, const char* table) {
    if (!table || !table[0]) return kyreldb_database_execute(h, "SHOW INDEXES;");
    if (!kc_identifier_is_safe(table)) return kyreldb_fail(KYRELDB_ERR_UNSAFE);
    if (!h) return kyreldb_fail(KYRELDB_ERR_NULL_HANDLE);
    return kyreldb_send_sqlf(h, "SHOW INDEXES ON %s;", table);
}

kc_result* kyreldb_database_create_database(kyreldb_handle* h, const char* name) {
    if (!kc_identifier_is_safe(name)) return kyreldb_fail(KYRELDB_ERR_UNSAFE);
    if (!h) return kyreldb_fail(KYRELDB_ERR_NULL_HANDLE);
    return kyreldb_send_sqlf(h, "CREATE DATABASE %s;", name);
}

kc_result* kyreldb_database_create_index(kyreldb_handle* h, const char* index, const char* table,
                                         const char* column) {
    if (!kc_identifier_is_safe(index) || !kc_identifier_is_safe(table) ||
        !kc_identifier_is_safe(column))
        return kyreldb_fail(KYRELDB_ERR_UNSAFE);
    if (!h) return kyreldb_fail(KYRELDB_ERR_NULL_HANDLE);
    return kyreldb_send_sqlf(h, "CREATE INDEX %s ON %s(%s);", index, table, column);
}

/* Sends a statement built by a core builder; NULL from the builder (unsafe
 * name, bad argument or no memory) is reported as an unsafe identifier. */
static kc_result* kyreldb_send_built(kyreldb_handle* h, char* sql) {
    if (!sql) return kyreldb_fail(KYRELDB_ERR_UNSAFE);
    if (!h) {
        free(sql);
        return kyreldb_fail(KYRELDB_ERR_NULL_HANDLE);
    }
    kc_result* r = kc_request_sql(h->connection, sql);
    free(sql);
    return r;
}

kc_result* kyreldb_database_create_procedure(kyreldb_handle* h, const char* name, const char* table,
                                             const char* parameters, const char* body) {
    return kyreldb_send_built(h, kc_build_create_procedure_sql(name, table, parameters, body));
}

kc_result* kyreldb_database_show_procedures(kyreldb_handle* h) {
    return kyreldb_database_execute(h, "SHOW PROCEDURES;");
}

kc_result* kyreldb_database_show_procedures_on(kyreldb_handle* h, const char* table) {
    if (!kc_identifier_is_safe(table)) return kyreldb_fail(KYRELDB_ERR_UNSAFE);
    if (!h) return kyreldb_fail(KYRELDB_ERR_NULL_HANDLE);
    return kyreldb_send_sqlf(h, "SHOW PROCEDURES ON %s;", table);
}

kc_result* kyreldb_database_drop_procedure(kyreldb_handle* h, const char* name, const char* table) {
    int with_table = table && table[0];
    if (!kc_identifier_is_safe(name) || (with_table && !kc_identifier_is_safe(table)))
        return kyreldb_fail(KYRELDB_ERR_UNSAFE);
    if (!h) return kyreldb_fail(KYRELDB_ERR_NULL_HANDLE);
    if (with_table) return kyreldb_send_sqlf(h, "DROP PROCEDURE %s ON %s;", name, table);
    return kyreldb_send_sqlf(h, "DROP PROCEDURE %s;", name);
}

kc_result* kyreldb_database_call(kyreldb_handle* h, const char* name, int count,
                                 const kc_arg* args) {
    return kyreldb_send_built(h, kc_build_call_sql(name, count, args));
}

/* ---------------------------------------------------------------- short names */

kyreldb_handle* kyreldb_connect(const char* host, int port) {
    return kyreldb_database_open(host, port);
}

kyreldb_handle* kyreldb_connect_timeout(const char* host, int port, int timeout_seconds) {
    return kyreldb_database_open_timeout(host, port, timeout_seconds);
}

void kyreldb_close(kyreldb_handle* h) { kyreldb_database_close(h); }

void kyreldb_free(kyreldb_handle* h) { kyreldb_database_free(h); }

kc_result* kyreldb_login(kyreldb_handle* h, const char* user, const char* password) {
    return kyreldb_database_login(h, user, password);
}

kc_result* kyreldb_change_password(kyreldb_handle* h, const char* new_password) {
    return kyreldb_database_change_password(h, new_password);
}

kc_result* kyreldb_use_database(kyreldb_handle* h, const char* name) {
    return kyreldb_database_use_database(h, name);
}

kc_result* kyreldb_execute(kyreldb_handle* h, const char* sql) {
    return kyreldb_database_execute(h, sql);
}

kc_result* kyreldb_query(kyreldb_handle* h, const char* sql) {
    return kyreldb_database_query(h, sql);
}

kc_result* kyreldb_create_database(kyreldb_handle* h, const char* name) {
    return kyreldb_database_create_database(h, name);
}

kc_result* kyreldb_create_index(kyreldb_handle* h, const char* index, const char* table,
                                const char* column) {
    return kyreldb_database_create_index(h, index, table, column);
}
