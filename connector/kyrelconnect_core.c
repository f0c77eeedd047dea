/*
 * kyrelconnect_core: connection, framed requests, result objects and the
 * SQL/JSON builders of the KyrelDB connector. Plain C11 + POSIX sockets so
 * that C programs link it with the C compiler alone.
 *
 * Frame layout (both directions):
 *   bytes 0..3  payload length, unsigned, big-endian (network order)
 *   bytes 4..   payload: JSON text, no terminator
 * A request may carry 0 to KC_MAX_FRAME_BYTES bytes. A reply must carry 1 to
 * KC_MAX_FRAME_BYTES bytes; any other length, a short read, a time-out or a
 * closed peer is a receive failure and closes the socket. A closed socket is
 * reopened lazily by the next request (the server sees a new session). The
 * frames themselves are the shared codec's (kyrel_frame.h); a request leaves
 * with its header in one send call.
 */
#define _DEFAULT_SOURCE 1
#define _POSIX_C_SOURCE 200809L

#include "kyrelconnect_core.h"
#include "kyrel_frame.h"
#include "kyrel_json_escape.h"
#include "kyrel_json_members.h"

#include <math.h>
#include <netdb.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <unistd.h>

#define KC_DEFAULT_HOST "127.0.0.1"
#define KC_DEFAULT_DB_PORT 9191
#define KC_DEFAULT_ROUTER_PORT 9292
#define KC_DEFAULT_TIMEOUT 120

/* Fixed replies for failures detected on this side of the wire. */
#define KC_ERR_INVALID "{\"ok\":false,\"error\":\"invalid request\"}"
#define KC_ERR_CONNECT "{\"ok\":false,\"error\":\"connect failed\"}"
#define KC_ERR_TOO_LARGE "{\"ok\":false,\"error\":\"request too large\"}"
#define KC_ERR_SEND "{\"ok\":false,\"error\":\"send failed\"}"
#define KC_ERR_RECV "{\"ok\":false,\"error\":\"receive failed\"}"
#define KC_ERR_OOM "{\"ok\":false,\"error\":\"out of memory\"}"
#define KC_ERR_INVALID_REPLY "{\"ok\":false,\"error\":\"invalid reply\"}"

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0 /* SO_NOSIGPIPE is set on the socket instead */
#endif

/* ---------------------------------------------------------------- text buffer */

/* Growable heap text; on any allocation failure `failed` is set and the
 * buffer stops growing, so callers check once at the end. */
typedef struct kc_buf {
    char* p;
    size_t len;
    size_t cap;
    int failed;
} kc_buf;

static int kc_buf_reserve(kc_buf* b, size_t extra) {
    if (b->failed) return -1;
    if (extra > SIZE_MAX - b->len - 1) {
        b->failed = 1;
        return -1;
    }
    size_t need = b->len + extra + 1;
    if (need <= b->cap) return 0;
    size_t cap = b->cap ? b->cap : 64;
    while (cap < need) {
        if (cap > SIZE_MAX / 2) {
            cap = need;
            break;
        }
        cap *= 2;
    }
    char* np = (char*)realloc(b->p, cap);
    if (!np) {
        b->failed = 1;
        return -1;
    }
    b->p = np;
    b->cap = cap;
    b->p[b->len] = '\0'; /* the text is always terminated, even when empty */
    return 0;
}

static void kc_buf_add(kc_buf* b, const char* s, size_t n) {
    if (kc_buf_reserve(b, n) != 0) return;
    if (n) memcpy(b->p + b->len, s, n);
    b->len += n;
    b->p[b->len] = '\0';
}

static void kc_buf_str(kc_buf* b, const char* s) { kc_buf_add(b, s, strlen(s)); }

static void kc_buf_ch(kc_buf* b, char c) { kc_buf_add(b, &c, 1); }

/* Hands the text to the caller, or frees it and gives NULL after a failure. */
static char* kc_buf_take(kc_buf* b) {
    if (b->failed || kc_buf_reserve(b, 0) != 0) {
        free(b->p);
        b->p = NULL;
        return NULL;
    }
    char* p = b->p;
    b->p = NULL;
    return p;
}

static char* kc_strdup(const char* s) {
    size_t n = strlen(s);
    char* p = (char*)malloc(n + 1);
    if (p) memcpy(p, s, n + 1);
    return p;
}

/* ---------------------------------------------------------------- arguments */

kc_arg kc_arg_null(void) {
    kc_arg a;
    memset(&a, 0, sizeof a);
    a.type = KC_ARG_NULL;
    return a;
}

kc_arg kc_arg_int(long long value) {
    kc_arg a = kc_arg_null();
    a.type = KC_ARG_INT;
    a.int_value = value;
    return a;
}

kc_arg kc_arg_double(double value) {
    kc_arg a = kc_arg_null();
    a.type = KC_ARG_DOUBLE;
    a.double_value = value;
    return a;
}

kc_arg kc_arg_bool(int flag) {
    kc_arg a = kc_arg_null();
    a.type = KC_ARG_BOOL;
    a.bool_value = flag ? 1 : 0;
    return a;
}

kc_arg kc_arg_string(const char* text) {
    kc_arg a = kc_arg_null();
    a.type = KC_ARG_STRING;
    a.text = text;
    return a;
}

kc_arg kc_arg_sql(const char* text) {
    kc_arg a = kc_arg_null();
    a.type = KC_ARG_SQL;
    a.text = text;
    return a;
}

/* ---------------------------------------------------------------- connection */

kc_connection* kc_connection_new(const char* host, int port, int timeout_seconds, int mode) {
    kc_connection* c = (kc_connection*)calloc(1, sizeof *c);
    if (!c) return NULL;
    c->host = kc_strdup((host && host[0]) ? host : KC_DEFAULT_HOST);
    if (!c->host) {
        free(c);
        return NULL;
    }
    c->fd = -1;
    c->port =
        port > 0 ? port : (mode == KC_MODE_ROUTER ? KC_DEFAULT_ROUTER_PORT : KC_DEFAULT_DB_PORT);
    c->timeout_seconds = timeout_seconds > 0 ? timeout_seconds : KC_DEFAULT_TIMEOUT;
    c->mode = mode;
    return c;
}

/* Receive and send time-outs; keep-alive only when both took. Failures are
 * not fatal: the socket then simply blocks longer. */
static void kc_apply_timeouts(int fd, int seconds) {
    struct timeval tv;
    tv.tv_sec = seconds;
    tv.tv_usec = 0;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return;
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) return;
    int on = 1;
    (void)setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
}

int kc_connection_connect(kc_connection* c) {
    if (!c || !c->host || !c->host[0]) return -1;
    if (c->fd >= 0) return 0;
    if (c->port <= 0 || c->port > 65535) return -1;

    char port_text[16];
    snprintf(port_text, sizeof port_text, "%d", c->port);
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* list = NULL;
    if (getaddrinfo(c->host, port_text, &hints, &list) != 0 || !list) return -1;

    int fd = -1;
    for (struct addrinfo* ai = list; ai; ai = ai->ai_next) {
        int type = ai->ai_socktype;
#ifdef SOCK_CLOEXEC
        type |= SOCK_CLOEXEC; /* do not leak the socket into child programs */
#endif
        fd = socket(ai->ai_family, type, ai->ai_protocol);
        if (fd < 0) continue;
#ifdef SO_NOSIGPIPE
        {
            int on = 1;
            (void)setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
        }
#endif
        kc_apply_timeouts(fd, c->timeout_seconds);
        if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) break;
        close(fd);
        fd = -1;
    }
    freeaddrinfo(list);
    if (fd < 0) return -1;
    c->fd = fd;
    return 0;
}

void kc_connection_close(kc_connection* c) {
    if (!c) return;
    if (c->fd >= 0) close(c->fd);
    c->fd = -1;
}

void kc_connection_free(kc_connection* c) {
    if (!c) return;
    kc_connection_close(c);
    free(c->host);
    memset(c, 0, sizeof *c);
    free(c);
}

int kc_connection_is_connected(const kc_connection* c) { return (c && c->fd >= 0) ? 1 : 0; }

const char* kc_connection_host(const kc_connection* c) { return (c && c->host) ? c->host : ""; }

int kc_connection_port(const kc_connection* c) { return c ? c->port : 0; }

int kc_connection_mode(const kc_connection* c) { return c ? c->mode : KC_MODE_DATABASE; }

int kc_connection_timeout(const kc_connection* c) { return c ? c->timeout_seconds : 0; }

void kc_connection_set_timeout(kc_connection* c, int seconds) {
    if (!c || seconds <= 0) return;
    c->timeout_seconds = seconds;
    if (c->fd >= 0) kc_apply_timeouts(c->fd, seconds);
}

/* ---------------------------------------------------------------- quoting */

char* kc_json_escape(const char* text) { return kyrel_json_escape(text); }

char* kc_json_quote(const char* text) {
    char* esc = kc_json_escape(text);
    if (!esc) return NULL;
    kc_buf b = {0};
    kc_buf_ch(&b, '"');
    kc_buf_str(&b, esc);
    kc_buf_ch(&b, '"');
    free(esc);
    return kc_buf_take(&b);
}

/* The server reads a quoted SQL literal with backslash escapes (\' is a
 * quote, \\ a backslash) and keeps a doubled quote as two quotes, so both
 * the quote and the backslash are written with a backslash in front. A
 * bare trailing backslash could otherwise escape the closing quote and let
 * the rest of the statement run on inside or outside the literal. */
char* kc_sql_literal_string(const char* text) {
    kc_buf b = {0};
    kc_buf_ch(&b, '\'');
    for (const char* p = text ? text : ""; *p; p++) {
        if (*p == '\'' || *p == '\\') kc_buf_ch(&b, '\\');
        kc_buf_ch(&b, *p);
    }
    kc_buf_ch(&b, '\'');
    return kc_buf_take(&b);
}

static int kc_is_alpha(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

static int kc_is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

int kc_identifier_is_safe(const char* text) {
    if (!text || !text[0]) return 0;
    const unsigned char* p = (const unsigned char*)text;
    if (!kc_is_alpha(*p) && *p != '_') return 0;
    for (p++; *p; p++) {
        if (!kc_is_alpha(*p) && !kc_is_digit(*p) && *p != '_') return 0;
    }
    return 1;
}

/* Appends one CALL argument; -1 for an argument that has no SQL form. */
static int kc_append_arg(kc_buf* b, const kc_arg* a) {
    char num[64];
    if (!a) {
        kc_buf_str(b, "NULL");
        return 0;
    }
    switch (a->type) {
    case KC_ARG_NULL: kc_buf_str(b, "NULL"); return 0;
    case KC_ARG_INT:
        snprintf(num, sizeof num, "%lld", a->int_value);
        kc_buf_str(b, num);
        return 0;
    case KC_ARG_DOUBLE:
        /* "inf" or "nan" would reach the server as a bare word. */
        if (!isfinite(a->double_value)) return -1;
        snprintf(num, sizeof num, "%.17g", a->double_value);
        kc_buf_str(b, num);
        return 0;
    case KC_ARG_BOOL: kc_buf_str(b, a->bool_value ? "true" : "false"); return 0;
    case KC_ARG_STRING: {
        char* lit = kc_sql_literal_string(a->text ? a->text : "");
        if (!lit) {
            b->failed = 1;
            return 0;
        }
        kc_buf_str(b, lit);
        free(lit);
        return 0;
    }
    case KC_ARG_SQL: kc_buf_str(b, a->text ? a->text : "NULL"); return 0;
    default: return -1;
    }
}

char* kc_build_call_sql(const char* name, int count, const kc_arg* args) {
    if (!kc_identifier_is_safe(name) || count < 0) return NULL;
    kc_buf b = {0};
    kc_buf_str(&b, "CALL ");
    kc_buf_str(&b, name);
    kc_buf_ch(&b, '(');
    for (int i = 0; i < count; i++) {
        if (i > 0) kc_buf_ch(&b, ',');
        if (kc_append_arg(&b, args ? &args[i] : NULL) != 0) {
            free(b.p);
            return NULL;
        }
    }
    kc_buf_str(&b, ");");
    return kc_buf_take(&b);
}

char* kc_build_create_procedure_sql(const char* name, const char* table, const char* parameters,
                                    const char* body) {
    if (!kc_identifier_is_safe(name) || !kc_identifier_is_safe(table)) return NULL;
    kc_buf b = {0};
    kc_buf_str(&b, "CREATE PROCEDURE ");
    kc_buf_str(&b, name);
    kc_buf_str(&b, "\nON ");
    kc_buf_str(&b, table);
    if (parameters && parameters[0]) {
        kc_buf_str(&b, " (");
        kc_buf_str(&b, parameters);
        kc_buf_ch(&b, ')');
    }
    kc_buf_str(&b, "\nAS $$\n");
    kc_buf_str(&b, body ? body : "");
    kc_buf_str(&b, "\n$$;");
    return kc_buf_take(&b);
}

/* ---------------------------------------------------------------- reply members */

/* A reply is read as one JSON object, and only its own (top-level) members
 * count (kyrel_json_members.h): a member of a nested object, such as a row's
 * column, or text inside a string is never taken for one of the reply's
 * fields. */

/* 1 or 0 for a boolean value (true, false, or the digits 1 and 0), -1 when
 * the member is absent or holds anything else. */
static int kc_span_bool(kyrel_json_span v) {
    if (!v.p) return -1;
    if ((v.len == 4 && memcmp(v.p, "true", 4) == 0) || (v.len == 1 && *v.p == '1')) return 1;
    if ((v.len == 5 && memcmp(v.p, "false", 5) == 0) || (v.len == 1 && *v.p == '0')) return 0;
    return -1;
}

/* Decoded heap copy of a string value. *found is 0 when the member is absent
 * or not a string; NULL with *found 1 means out of memory. */
static char* kc_span_string(kyrel_json_span v, int* found) {
    *found = 0;
    if (!v.p || *v.p != '"') return NULL;
    *found = 1;
    const char* start = v.p + 1;
    const char* end = v.p + v.len - 1; /* the closing quote */
    size_t n = (size_t)(end - start);
    char* out = (char*)malloc(n + 1);
    if (!out) return NULL;
    size_t o = 0;
    for (const char* p = start; p < end; p++) {
        if (*p != '\\') {
            out[o++] = *p;
            continue;
        }
        p++;
        switch (*p) {
        case 'b': out[o++] = '\b'; break;
        case 'f': out[o++] = '\f'; break;
        case 'n': out[o++] = '\n'; break;
        case 'r': out[o++] = '\r'; break;
        case 't': out[o++] = '\t'; break;
        case 'u': {
            /* Non-ASCII code points are not decoded: one '?' stands in. */
            out[o++] = '?';
            int skip = 0;
            while (skip < 4 && p + 1 < end) {
                p++;
                skip++;
            }
            break;
        }
        default: out[o++] = *p; break;
        }
    }
    out[o] = '\0';
    return out;
}

/* ---------------------------------------------------------------- results */

/* Error of a reply that is not a JSON object with a boolean "ok" and names
 * no error of its own. */
#define KC_INVALID_REPLY "invalid reply"

kc_result* kc_result_from_json(const char* reply) {
    static const char* const names[] = {"ok", "must_change_password", "error", "message"};
    kyrel_json_span v[4];
    const char* text = reply ? reply : "{}";
    kc_result* r = (kc_result*)calloc(1, sizeof *r);
    if (!r) return NULL;
    r->json = kc_strdup(text);
    if (!r->json) goto oom;
    int rc = kyrel_json_top_members(text, names, 4, v);
    if (rc == -2) goto oom;
    int flag = kc_span_bool(v[0]);
    r->ok = flag == 1;
    flag = kc_span_bool(v[1]);
    r->must_change_password = flag < 0 ? 0 : flag;
    int found = 0;
    r->error = kc_span_string(v[2], &found);
    if (found && !r->error) goto oom;
    r->message = kc_span_string(v[3], &found);
    if (found && !r->message) goto oom;
    if (kc_span_bool(v[0]) < 0 && !r->error) {
        r->error = kc_strdup(KC_INVALID_REPLY);
        if (!r->error) goto oom;
    }
    return r;
oom:
    kc_result_free(r);
    return NULL;
}

void kc_result_free(kc_result* r) {
    if (!r) return;
    free(r->json);
    free(r->error);
    free(r->message);
    memset(r, 0, sizeof *r);
    free(r);
}

const char* kc_result_json(const kc_result* r) { return (r && r->json) ? r->json : ""; }

const char* kc_result_error(const kc_result* r) { return (r && r->error) ? r->error : ""; }

const char* kc_result_message(const kc_result* r) { return (r && r->message) ? r->message : ""; }

int kc_result_ok(const kc_result* r) { return r ? r->ok : 0; }

int kc_result_must_change_password(const kc_result* r) { return r ? r->must_change_password : 0; }

/* ---------------------------------------------------------------- requests */

/* Heap reply text and its length, or NULL on any receive failure. */
static char* kc_recv_frame(int fd, size_t* out_len) {
    char* reply = NULL;
    uint32_t len = 0;
    if (kyrel_frame_recv(fd, KC_MAX_FRAME_BYTES, &reply, &len) != KYREL_FRAME_OK) return NULL;
    *out_len = len;
    return reply;
}

kc_result* kc_request_json(kc_connection* c, const char* json) {
    if (!c || !json) return kc_result_from_json(KC_ERR_INVALID);
    if (c->fd < 0 && kc_connection_connect(c) != 0) return kc_result_from_json(KC_ERR_CONNECT);
    size_t len = strlen(json);
    if (len > KC_MAX_FRAME_BYTES) return kc_result_from_json(KC_ERR_TOO_LARGE);
    if (kyrel_frame_send(c->fd, json, len, MSG_NOSIGNAL) != 0) {
        kc_connection_close(c);
        return kc_result_from_json(KC_ERR_SEND);
    }
    size_t reply_len = 0;
    char* reply = kc_recv_frame(c->fd, &reply_len);
    if (!reply) {
        kc_connection_close(c);
        return kc_result_from_json(KC_ERR_RECV);
    }
    if (memchr(reply, '\0', reply_len)) {
        /* Read as text, the reply would end early at the NUL byte. The whole
         * frame was read, so the connection stays in step. */
        free(reply);
        return kc_result_from_json(KC_ERR_INVALID_REPLY);
    }
    kc_result* r = kc_result_from_json(reply);
    free(reply);
    return r ? r : kc_result_from_json(KC_ERR_OOM);
}

/* Sends prefix + escaped(value) + suffix as one request. */
static kc_result* kc_request_wrapped(kc_connection* c, const char* prefix, const char* value,
                                     const char* suffix) {
    char* esc = kc_json_escape(value);
    if (!esc) return kc_result_from_json(KC_ERR_OOM);
    kc_buf b = {0};
    kc_buf_str(&b, prefix);
    kc_buf_str(&b, esc);
    kc_buf_str(&b, suffix);
    free(esc);
    char* req = kc_buf_take(&b);
    if (!req) return kc_result_from_json(KC_ERR_OOM);
    kc_result* r = kc_request_json(c, req);
    free(req);
    return r;
}

kc_result* kc_request_action(kc_connection* c, const char* action) {
    return kc_request_wrapped(c, "{\"action\":\"", action, "\"}");
}

kc_result* kc_request_sql(kc_connection* c, const char* sql) {
    return kc_request_wrapped(c, "{\"action\":\"sql\",\"sql\":\"", sql, "\"}");
}
