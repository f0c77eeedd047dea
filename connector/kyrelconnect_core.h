/*
 * kyrelconnect_core: the C connector core of KyrelDB.
 *
 * One connection object per server session (database server or router), a
 * result object that pre-reads the common reply fields, JSON and SQL quoting
 * helpers, builders for CALL and CREATE PROCEDURE statements, and three
 * request functions.
 *
 * Wire format: every request and every reply is one frame, a 4-byte unsigned
 * length in network byte order followed by that many bytes of JSON text.
 * Lengths of 1 to 8,388,608 bytes are accepted in replies; requests may be
 * 0 to 8,388,608 bytes long.
 *
 * Ownership: every heap text and object returned by a kc_ function belongs
 * to the caller (texts are released with free(), results with
 * kc_result_free, connections with kc_connection_free). There are no
 * threads, locks or globals here; a connection must be used by one thread
 * at a time.
 */
#ifndef KYRELCONNECT_CORE_H
#define KYRELCONNECT_CORE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Largest frame payload sent or accepted, in bytes. */
#define KC_MAX_FRAME_BYTES 8388608

/* Connection modes: they choose the default port only. */
#define KC_MODE_DATABASE 1
#define KC_MODE_ROUTER 2

typedef struct kc_connection {
    int fd;              /* socket, -1 when not connected */
    char* host;          /* host name or address (owned) */
    int port;            /* TCP port */
    int timeout_seconds; /* receive and send time-out */
    int mode;            /* 1 database server, 2 router */
} kc_connection;

/* The fields are the reply object's own (top-level) members; nested objects
 * and string contents are never read for them. A reply that is not one JSON
 * object with a boolean "ok" (true, false, 1 or 0) has failed: ok is 0, and
 * error is "invalid reply" unless the reply names an "error" string. */
typedef struct kc_result {
    char* json;               /* the complete reply JSON (owned) */
    int ok;                   /* reply "ok"; 0 when the reply has none */
    int must_change_password; /* reply flag of that name, 0 when absent */
    char* error;              /* reply "error" string or NULL (owned) */
    char* message;            /* reply "message" string or NULL (owned) */
} kc_result;

/* Argument kinds of kc_arg (the connector's own codes). */
#define KC_ARG_NULL 0
#define KC_ARG_INT 1
#define KC_ARG_DOUBLE 2
#define KC_ARG_BOOL 3
#define KC_ARG_STRING 4
#define KC_ARG_SQL 5

typedef struct kc_arg {
    int type;            /* one of KC_ARG_* */
    long long int_value; /* KC_ARG_INT */
    double double_value; /* KC_ARG_DOUBLE */
    int bool_value;      /* KC_ARG_BOOL, 0 or 1 */
    const char* text;    /* KC_ARG_STRING and KC_ARG_SQL (borrowed) */
} kc_arg;

/* Arguments. */
kc_arg kc_arg_null(void);
kc_arg kc_arg_int(long long value);
kc_arg kc_arg_double(double value);
kc_arg kc_arg_bool(int flag);
kc_arg kc_arg_string(const char* text);
kc_arg kc_arg_sql(const char* text); /* inserted into SQL unquoted */

/* Connection. kc_connection_new does no network activity: the socket is
 * opened by kc_connection_connect or lazily by the first request. */
kc_connection* kc_connection_new(const char* host, int port, int timeout_seconds, int mode);
int kc_connection_connect(kc_connection* c); /* 0 or -1 */
void kc_connection_close(kc_connection* c);
void kc_connection_free(kc_connection* c);
int kc_connection_is_connected(const kc_connection* c);
const char* kc_connection_host(const kc_connection* c);
int kc_connection_port(const kc_connection* c);
int kc_connection_mode(const kc_connection* c);
int kc_connection_timeout(const kc_connection* c);
void kc_connection_set_timeout(kc_connection* c, int seconds);

/* Quoting and builders: heap texts, NULL when memory runs out (builders
 * also return NULL for unsafe names and bad arguments). */
char* kc_json_escape(const char* text);
char* kc_json_quote(const char* text);
char* kc_sql_literal_string(const char* text);
int kc_identifier_is_safe(const char* text);
char* kc_build_call_sql(const char* name, int count, const kc_arg* args);
char* kc_build_create_procedure_sql(const char* name, const char* table, const char* parameters,
                                    const char* body);

/* Results. */
kc_result* kc_result_from_json(const char* reply);
void kc_result_free(kc_result* r);
const char* kc_result_json(const kc_result* r);
const char* kc_result_error(const kc_result* r);
const char* kc_result_message(const kc_result* r);
int kc_result_ok(const kc_result* r);
int kc_result_must_change_password(const kc_result* r);

/* Requests: each returns a new result (a local failure gives ok 0 and one
 * of the errors "invalid request", "connect failed", "request too large",
 * "send failed", "receive failed", "out of memory"; a reply holding a NUL
 * byte gives "invalid reply" and leaves the connection open). */
kc_result* kc_request_json(kc_connection* c, const char* json);
kc_result* kc_request_action(kc_connection* c, const char* action);
kc_result* kc_request_sql(kc_connection* c, const char* sql);

#ifdef __cplusplus
}
#endif

#endif /* KYRELCONNECT_CORE_H */
