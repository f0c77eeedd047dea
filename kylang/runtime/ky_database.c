//~ One part of the runtime text: kylang_runtime.c includes it and the build
//~ splices it in place of that include line, dropping these //~ lines, so a
//~ generated program carries the same text as before the runtime was split.
//~ Database client: connections, requests and record sets.

/* ======================================================================
 * 4. Database client
 * ====================================================================== */

#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>

#define KY_KYRELDB_MAX_FRAME 16777216u
#define KY_KYRELDB_TIMEOUT_SECONDS 30

/* The frame codec and the JSON escaping the runtime shares with the other
 * programs (common/c): the build puts their text here, in place of these
 * includes, when it embeds the runtime, so a generated program still
 * carries everything it needs. */
#include "kyrel_frame.c"
#include "kyrel_json_escape.c"
#include "kyrel_json_members.c"

static const char KY_REPLY_NOT_CONNECTED[] = "{\"ok\":false,\"error\":\"not connected\"}";
static const char KY_REPLY_SEND_FAILED[] = "{\"ok\":false,\"error\":\"send failed\"}";
static const char KY_REPLY_RECV_FAILED[] = "{\"ok\":false,\"error\":\"receive failed\"}";
static const char KY_REPLY_OOM[] = "{\"ok\":false,\"error\":\"oom\"}";

/* JSON string body for s (no surrounding quotes); NULL without memory. */
char* ky_json_escape_alloc(const char* s) { return kyrel_json_escape(s); }

/* A reply has succeeded when it is one JSON object whose own "ok" member is
 * true. A nested "ok" (a row's column, say), text inside a string, a reply
 * that is no object, or a missing reply all count as failed. */
int ky_json_is_ok(const char* reply) {
    static const char* const names[] = {"ok"};
    kyrel_json_span ok;
    if (!reply || kyrel_json_top_members(reply, names, 1, &ok) != 0 || !ok.p) return 0;
    return ok.len == 4 && memcmp(ok.p, "true", 4) == 0;
}

static void ky_connection_close_socket(KYConnection* c) {
    if (c && c->fd >= 0) {
        close(c->fd);
        c->fd = -1;
    }
}

/* One frame out: 0 sent, -1 failed. */
static int ky_kyreldb_send_json(KYConnection* c, const char* json) {
    size_t len = json ? strlen(json) : 0;
    int flags = 0;
#ifdef MSG_NOSIGNAL
    flags = MSG_NOSIGNAL;
#endif
    if (len == 0) return -1;
    return kyrel_frame_send(c->fd, json, len, flags);
}

/* One frame in: 0 with *out (caller frees), -1 failed, -2 no memory. */
static int ky_kyreldb_recv_json(KYConnection* c, char** out) {
    uint32_t len = 0;
    switch (kyrel_frame_recv(c->fd, KY_KYRELDB_MAX_FRAME, out, &len)) {
    case KYREL_FRAME_OK: return 0;
    case KYREL_FRAME_NO_MEMORY: return -2;
    default: return -1;
    }
}

/* One request and its reply text (a new text; NULL only without memory).
 * Any send or receive failure closes the connection. */
static char* ky_kyreldb_request(KYConnection* c, const char* json) {
    char* reply = NULL;
    int rc;
    if (!c || c->fd < 0) return ky_strdup(KY_REPLY_NOT_CONNECTED);
    if (!json) return ky_strdup(KY_REPLY_OOM);
    if (ky_kyreldb_send_json(c, json) != 0) {
        ky_connection_close_socket(c);
        return ky_strdup(KY_REPLY_SEND_FAILED);
    }
    rc = ky_kyreldb_recv_json(c, &reply);
    if (rc != 0) {
        /* The reply is unread, so the stream is out of step: close it. */
        ky_connection_close_socket(c);
        return ky_strdup(rc == -2 ? KY_REPLY_OOM : KY_REPLY_RECV_FAILED);
    }
    return reply;
}

static char* ky_kyreldb_sql_request(KYConnection* c, const char* sql) {
    char *esc, *req, *reply;
    size_t n;
    if (!c || c->fd < 0) return ky_strdup(KY_REPLY_NOT_CONNECTED);
    esc = ky_json_escape_alloc(sql);
    if (!esc) return ky_strdup(KY_REPLY_OOM);
    n = strlen(esc) + sizeof "{\"action\":\"sql\",\"sql\":\"\"}";
    req = (char*)malloc(n);
    if (!req) {
        free(esc);
        return ky_strdup(KY_REPLY_OOM);
    }
    snprintf(req, n, "{\"action\":\"sql\",\"sql\":\"%s\"}", esc);
    free(esc);
    reply = ky_kyreldb_request(c, req);
    free(req);
    return reply;
}

static int ky_connect_socket(const char* host, int port) {
    struct addrinfo hints, *res = NULL, *ai;
    char portbuf[16];
    int fd = -1;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    snprintf(portbuf, sizeof portbuf, "%d", port);
    if (getaddrinfo(host, portbuf, &hints, &res) != 0) return -1;
    for (ai = res; ai; ai = ai->ai_next) {
        struct timeval tv;
        fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (fd < 0) continue;
        tv.tv_sec = KY_KYRELDB_TIMEOUT_SECONDS;
        tv.tv_usec = 0;
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
#ifdef SO_NOSIGPIPE
        {
            int one = 1;
            setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
        }
#endif
        if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) break;
        close(fd);
        fd = -1;
    }
    freeaddrinfo(res);
    return fd;
}

static KYConnection* ky_conn_of(const KYValue* v) {
    return v && v->type == KY_CONNECTION ? v->as.conn : NULL;
}

KYValue ky_kyreldb_connect(KYValue host_v, KYValue port_v, KYValue user_v, KYValue pass_v) {
    char* host = ky_value_to_string_alloc(&host_v);
    char* user = ky_value_to_string_alloc(&user_v);
    char* pass = ky_value_to_string_alloc(&pass_v);
    long long port = ky_numeric_ll(&port_v);
    char *eu = NULL, *ep = NULL, *req = NULL, *reply = NULL;
    KYConnection* c = NULL;
    KYValue result = ky_null();
    int fd;
    ky_value_free(&host_v);
    ky_value_free(&port_v);
    ky_value_free(&user_v);
    ky_value_free(&pass_v);
    if (!host || !user || !pass) {
        ky_error("out of memory");
        goto done;
    }
    if (!host[0]) {
        free(host);
        host = ky_strdup("127.0.0.1");
        if (!host) goto done;
    }
    if (port <= 0) port = 9191;
    fd = port > 65535 ? -1 : ky_connect_socket(host, (int)port);
    if (fd < 0) {
        ky_error("KyrelDB connection failed");
        goto done;
    }
    c = (KYConnection*)malloc(sizeof *c);
    if (!c) {
        close(fd);
        ky_error("out of memory");
        goto done;
    }
    c->refcount = 1;
    c->fd = fd;
    ky_copy_cut(c->host, sizeof c->host, host);
    c->port = (int)port;
    eu = ky_json_escape_alloc(user);
    ep = ky_json_escape_alloc(pass);
    if (eu && ep) {
        size_t n = strlen(eu) + strlen(ep) + 64;
        req = (char*)malloc(n);
        if (req)
            snprintf(req, n, "{\"action\":\"login\",\"username\":\"%s\",\"password\":\"%s\"}", eu,
                     ep);
    }
    reply = ky_kyreldb_request(c, req);
    if (!ky_json_is_ok(reply)) {
        ky_error("KyrelDB login failed");
        ky_connection_release(c);
        goto done;
    }
    result.type = KY_CONNECTION;
    result.as.conn = c;
done:
    free(host);
    free(user);
    free(pass);
    free(eu);
    free(ep);
    free(req);
    free(reply);
    return result;
}

KYValue ky_kyreldb_use(KYValue conn, KYValue db) {
    KYConnection* c = ky_conn_of(&conn);
    char *name = ky_value_to_string_alloc(&db), *sql = NULL, *reply;
    if (!c || c->fd < 0)
        reply = ky_strdup(KY_REPLY_NOT_CONNECTED);
    else if (!name || !(sql = (char*)malloc(strlen(name) + 6)))
        reply = ky_strdup(KY_REPLY_OOM);
    else {
        snprintf(sql, strlen(name) + 6, "USE %s;", name);
        reply = ky_kyreldb_sql_request(c, sql);
    }
    free(name);
    free(sql);
    ky_value_free(&conn);
    ky_value_free(&db);
    return ky_string_take(reply);
}

KYValue ky_kyreldb_execute(KYValue conn, KYValue sql_v) {
    KYConnection* c = ky_conn_of(&conn);
    char *sql = ky_value_to_string_alloc(&sql_v), *reply;
    if (!c || c->fd < 0)
        reply = ky_strdup(KY_REPLY_NOT_CONNECTED);
    else if (!sql)
        reply = ky_strdup(KY_REPLY_OOM);
    else
        reply = ky_kyreldb_sql_request(c, sql);
    free(sql);
    ky_value_free(&conn);
    ky_value_free(&sql_v);
    return ky_string_take(reply);
}

KYValue ky_kyreldb_query(KYValue conn, KYValue sql) { return ky_kyreldb_execute(conn, sql); }

KYValue ky_kyreldb_close(KYValue conn) {
    ky_connection_close_socket(ky_conn_of(&conn));
    ky_value_free(&conn);
    return ky_string("{\"ok\":true,\"message\":\"closed\"}");
}

/* --- record sets ---
 * The reply's "rows" array is read with a small scanner that never looks
 * past the end of the text, also for a reply cut inside a string. */

typedef struct {
    const char* p;
    const char* end;
} KYScan;

static void ky_scan_blanks(KYScan* s) {
    while (s->p < s->end && (*s->p == ' ' || *s->p == '\t' || *s->p == '\n' || *s->p == '\r'))
        s->p++;
}

/* A JSON string at s->p (on its opening quote). With out, the decoded
 * text is returned (caller frees); without, it is only skipped. -1 when
 * the string does not end before the text does. */
static int ky_scan_string(KYScan* s, char** out) {
    const char* q = s->p + 1;
    char* buf = NULL;
    size_t k = 0;
    if (out) {
        *out = NULL;
        buf = (char*)malloc((size_t)(s->end - s->p) + 1);
        if (!buf) return -1;
    }
    while (q < s->end && *q != '"') {
        char ch = *q++;
        if (ch == '\\') {
            if (q >= s->end) break;
            ch = *q++;
            switch (ch) {
            case 'n': ch = '\n'; break;
            case 'r': ch = '\r'; break;
            case 't': ch = '\t'; break;
            case 'b': ch = '\b'; break;
            case 'f': ch = '\f'; break;
            case 'u': {
                int i;
                for (i = 0; i < 4 && q < s->end; i++) q++;
                ch = '?';
                break;
            }
            default: break; /* quote, backslash, slash and others stand for themselves */
            }
        }
        if (buf) buf[k++] = ch;
    }
    if (q >= s->end) {
        free(buf);
        return -1;
    }
    s->p = q + 1;
    if (buf) {
        buf[k] = '\0';
        *out = buf;
    }
    return 0;
}

/* Skips one value of any kind; -1 when it runs past the end of the text. */
static int ky_scan_skip_value(KYScan* s) {
    int depth = 0;
    ky_scan_blanks(s);
    if (s->p >= s->end) return -1;
    if (*s->p != '{' && *s->p != '[') {
        if (*s->p == '"') return ky_scan_string(s, NULL);
        while (s->p < s->end && !strchr(",]} \t\r\n", *s->p)) s->p++;
        return 0;
    }
    while (s->p < s->end) {
        char ch = *s->p;
        if (ch == '"') {
            if (ky_scan_string(s, NULL) != 0) return -1;
            continue;
        }
        if (ch == '{' || ch == '[')
            depth++;
        else if (ch == '}' || ch == ']') {
            depth--;
            if (depth == 0) {
                s->p++;
                return 0;
            }
        }
        s->p++;
    }
    return -1;
}

static int ky_scan_word(KYScan* s, const char* word) {
    size_t n = strlen(word);
    if ((size_t)(s->end - s->p) < n || strncasecmp(s->p, word, n) != 0) return 0;
    s->p += n;
    return 1;
}

static int ky_scan_field_value(KYScan* s, KYValue* out) {
    *out = ky_null();
    ky_scan_blanks(s);
    if (s->p >= s->end) return -1;
    if (*s->p == '"') {
        char* text;
        if (ky_scan_string(s, &text) != 0) return -1;
        *out = ky_string_take(text);
        return 0;
    }
    if (ky_scan_word(s, "true")) {
        *out = ky_bool(1);
        return 0;
    }
    if (ky_scan_word(s, "false")) {
        *out = ky_bool(0);
        return 0;
    }
    if (ky_scan_word(s, "null")) return 0;
    if (*s->p == '-' || isdigit((unsigned char)*s->p)) {
        char num[64];
        size_t n = 0;
        int is_double = 0;
        while (s->p < s->end && (isdigit((unsigned char)*s->p) || strchr("+-.eE", *s->p))) {
            if (*s->p == '.' || *s->p == 'e' || *s->p == 'E') is_double = 1;
            if (n < sizeof num - 1) num[n++] = *s->p;
            s->p++;
        }
        num[n] = '\0';
        {
            double d = strtod(num, NULL);
            *out = is_double ? ky_double(d) : ky_int(ky_double_to_ll(d));
        }
        return 0;
    }
    return ky_scan_skip_value(s); /* object or array: the field is null */
}

static void ky_row_free(KYRow* row) {
    int f;
    for (f = 0; f < row->field_count; f++) {
        free(row->fields[f].name);
        ky_value_free(&row->fields[f].value);
    }
    free(row->fields);
    row->fields = NULL;
    row->field_count = 0;
}

/* A row object at s->p (on its "{"); -1 for a malformed one. */
static int ky_scan_row(KYScan* s, KYRow* row) {
    int cap = 0;
    row->field_count = 0;
    row->fields = NULL;
    s->p++;
    ky_scan_blanks(s);
    if (s->p < s->end && *s->p == '}') {
        s->p++;
        return 0;
    }
    for (;;) {
        char* name;
        KYValue value;
        ky_scan_blanks(s);
        if (s->p >= s->end || *s->p != '"' || ky_scan_string(s, &name) != 0) goto bad;
        ky_scan_blanks(s);
        if (s->p >= s->end || *s->p != ':') {
            free(name);
            goto bad;
        }
        s->p++;
        if (ky_scan_field_value(s, &value) != 0) {
            free(name);
            goto bad;
        }
        if (row->field_count == cap) {
            int ncap = cap ? cap * 2 : 8;
            KYField* nf = (KYField*)realloc(row->fields, (size_t)ncap * sizeof *nf);
            if (!nf) {
                free(name);
                ky_value_free(&value);
                goto bad;
            }
            row->fields = nf;
            cap = ncap;
        }
        row->fields[row->field_count].name = name;
        row->fields[row->field_count].value = value;
        row->field_count++;
        ky_scan_blanks(s);
        if (s->p < s->end && *s->p == ',') {
            s->p++;
            continue;
        }
        if (s->p < s->end && *s->p == '}') {
            s->p++;
            return 0;
        }
        goto bad;
    }
bad:
    ky_row_free(row);
    return -1;
}

static KYRecordSet* ky_parse_rows(const char* text) {
    KYRecordSet* rs = (KYRecordSet*)calloc(1, sizeof *rs);
    const char *key, *open;
    KYScan s;
    int cap = 0;
    if (!rs) return NULL;
    rs->refcount = 1;
    key = text ? strstr(text, "\"rows\"") : NULL;
    open = key ? strchr(key + 6, '[') : NULL;
    if (!open) return rs;
    s.p = open + 1;
    s.end = text + strlen(text);
    for (;;) {
        ky_scan_blanks(&s);
        if (s.p >= s.end) break;
        if (*s.p == '{') {
            KYRow row;
            if (ky_scan_row(&s, &row) != 0) break;
            if (rs->row_count == cap) {
                int ncap = cap ? cap * 2 : 16;
                KYRow* nr = (KYRow*)realloc(rs->rows, (size_t)ncap * sizeof *nr);
                if (!nr) {
                    ky_row_free(&row);
                    break;
                }
                rs->rows = nr;
                cap = ncap;
            }
            rs->rows[rs->row_count++] = row;
        } else if (*s.p == ']') {
            break;
        } else if (ky_scan_skip_value(&s) != 0) {
            break;
        }
        ky_scan_blanks(&s);
        if (s.p < s.end && *s.p == ',') {
            s.p++;
            continue;
        }
        break;
    }
    return rs;
}

KYValue ky_to_rs(KYValue v) {
    KYValue r = ky_null();
    char* text;
    KYRecordSet* rs;
    if (v.type == KY_RECORDSET) return v;
    text = ky_value_to_string_alloc(&v);
    ky_value_free(&v);
    rs = ky_parse_rows(text ? text : "");
    free(text);
    if (!rs) {
        ky_error("out of memory");
        return r;
    }
    r.type = KY_RECORDSET;
    r.as.rs = rs;
    return r;
}

long long ky_recordset_count(const KYValue* v) {
    if (!v) return 0;
    if (v->type == KY_RECORDSET && v->as.rs) return v->as.rs->row_count;
    if (v->type == KY_ROW) return 1;
    return 0;
}

KYValue ky_recordset_row(const KYValue* v, long long index) {
    if (!v) return ky_null();
    if (v->type == KY_RECORDSET) return ky_row_value(v->as.rs, index);
    if (v->type == KY_ROW && index == 0) return ky_value_clone(v);
    return ky_null();
}
