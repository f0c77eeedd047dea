// Frames, JSON helpers and the reply printer of kyreldb_client (see client_wire.h
// for the frame layout). The frames themselves are the shared codec's
// (kyrel_frame.h); the client adds its limits, its messages and the dropping
// of a refused reply.
#include "client_wire.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <utility>

#include "kyrel_frame.h"
#include "kyrel_json_escape.h"
#include "kyrel_json_members.h"

void trim_ws(char* s) {
    if (!s) return;
    size_t n = strlen(s);
    while (n > 0 && isspace(static_cast<unsigned char>(s[n - 1]))) s[--n] = '\0';
    size_t i = 0;
    while (s[i] && isspace(static_cast<unsigned char>(s[i]))) i++;
    if (i > 0) memmove(s, s + i, n - i + 1);
}

int ci_starts(const char* s, const char* prefix) {
    if (!s || !prefix) return 0;
    for (; *prefix; ++s, ++prefix) {
        if (!*s) return 0;
        if (toupper(static_cast<unsigned char>(*s)) != toupper(static_cast<unsigned char>(*prefix)))
            return 0;
    }
    return 1;
}

// Appends the escaped form of `s` to `out` (NULL appends nothing); throws
// std::bad_alloc when memory runs out.
static void escape_into(std::string& out, const char* s) {
    if (!s) return;
    std::unique_ptr<char, decltype(&free)> esc(kyrel_json_escape(s), &free);
    if (!esc) throw std::bad_alloc();
    out += esc.get();
}

static char* heap_copy(const std::string& s) {
    char* p = static_cast<char*>(malloc(s.size() + 1));
    if (!p) return nullptr;
    memcpy(p, s.data(), s.size());
    p[s.size()] = '\0';
    return p;
}

char* json_escape_alloc(const char* s) { return kyrel_json_escape(s); }

char* make_json2(const char* action, const char* k1, const char* v1, const char* k2,
                 const char* v2) {
    try {
        std::string out = "{\"action\":\"";
        escape_into(out, action);
        out += "\",\"";
        out += k1 ? k1 : "";
        out += "\":\"";
        escape_into(out, v1);
        out += "\"";
        if (k2) {
            out += ",\"";
            out += k2;
            out += "\":\"";
            escape_into(out, v2);
            out += "\"";
        }
        out += "}";
        return heap_copy(out);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

namespace {

// The boolean a member's value stands for: 1 true, 0 false, -1 neither.
int bool_value(const char* v, size_t n) {
    if ((n == 4 && strncasecmp(v, "true", 4) == 0) || (n == 1 && *v == '1')) return 1;
    if ((n == 5 && strncasecmp(v, "false", 5) == 0) || (n == 1 && *v == '0')) return 0;
    return -1;
}

}  // namespace

int json_top_member(const char* reply, const char* name, const char** value, size_t* len) {
    if (!reply || !name || !value || !len) return -1;
    kyrel_json_span span;
    if (kyrel_json_top_members(reply, &name, 1, &span) != 0) return -1;  // not an object, or oom
    if (!span.p) return 0;
    *value = span.p;
    *len = span.len;
    return 1;
}

int json_bool_field(const char* reply, const char* name) {
    const char* v = nullptr;
    size_t n = 0;
    return json_top_member(reply, name, &v, &n) == 1 && bool_value(v, n) == 1;
}

int json_reply_ok(const char* reply) {
    const char* v = nullptr;
    size_t n = 0;
    if (json_top_member(reply, "ok", &v, &n) != 1) return -1;
    return bool_value(v, n);
}

int json_string_field(const char* reply, const char* name, char* out, size_t outsz) {
    if (!out || outsz == 0) return 0;
    out[0] = '\0';
    const char* v = nullptr;
    size_t len = 0;
    if (json_top_member(reply, name, &v, &len) != 1 || *v != '"') return 0;
    const char* p = v + 1;
    const char* end = v + len - 1;  // the closing quote
    size_t n = 0;
    while (p < end) {
        char c = *p++;
        if (c == '\\' && p < end) {
            char e = *p++;
            switch (e) {
            case 'b': c = '\b'; break;
            case 'f': c = '\f'; break;
            case 'n': c = '\n'; break;
            case 'r': c = '\r'; break;
            case 't': c = '\t'; break;
            default: c = e; break;  // \" \\ \/ and anything else: the second character
            }
        }
        if (n + 1 < outsz) out[n++] = c;
    }
    out[n] = '\0';
    return 1;
}

int write_exact(int fd, const void* buf, size_t n) { return kyrel_send_all(fd, buf, n, 0); }

int read_exact(int fd, void* buf, size_t n) { return kyrel_recv_all(fd, buf, n); }

static void set_err(char* err, size_t errsz, const char* msg) {
    if (err && errsz) snprintf(err, errsz, "%s", msg);
}

// The announced body cannot be kept: drop it, or give the connection up when
// even that fails, so the stream never stays out of step.
static void drop_body(ClientState* st, uint32_t len) {
    if (kyrel_frame_discard(st->fd, len) != 0) {
        close(st->fd);
        st->fd = -1;
    }
}

int client_request_raw(ClientState* st, const char* request, char** out, char* err, size_t errsz) {
    if (out) *out = nullptr;
    if (!st || st->fd < 0 || !request || !out) {
        set_err(err, errsz, "not connected");
        return -1;
    }
    size_t len = strlen(request);
    if (len < 1 || len > CLIENT_MAX_FRAME) {
        set_err(err, errsz, "request size out of range (1 to 8388608 bytes)");
        return -1;
    }
    if (kyrel_frame_send(st->fd, request, len, 0) != 0) {
        set_err(err, errsz, "send failed");
        return -1;
    }
    char* body = nullptr;
    uint32_t rlen = 0;
    switch (kyrel_frame_recv(st->fd, CLIENT_MAX_FRAME, &body, &rlen)) {
    case KYREL_FRAME_OK: break;
    case KYREL_FRAME_BAD_SIZE:
        if (err && errsz) snprintf(err, errsz, "reply of %u bytes refused (limit 8388608)", rlen);
        drop_body(st, rlen);
        return -2;
    case KYREL_FRAME_NO_MEMORY:
        set_err(err, errsz, "out of memory");
        drop_body(st, rlen);
        return -3;
    default: set_err(err, errsz, "connection closed while reading the reply"); return -1;
    }
    if (memchr(body, '\0', rlen)) {
        // Printed, the text would stop at the NUL and show only part of it.
        free(body);
        set_err(err, errsz, "invalid reply: it holds a NUL byte");
        return -4;
    }
    *out = body;
    return 0;
}

namespace {

// Indented output of pretty_format_json, handed to `out` in pieces when
// there is one so that a large reply never sits in memory twice.
class PrettyWriter {
  public:
    explicit PrettyWriter(FILE* out) : out_(out) {}
    void put(char c) {
        text += c;
        if (out_ && text.size() >= 65536) flush();
    }
    void newline(int indent) {
        text += '\n';
        text.append(static_cast<size_t>(indent), ' ');
        if (out_ && text.size() >= 65536) flush();
    }
    void flush() {
        if (out_) fwrite(text.data(), 1, text.size(), out_);
        text.clear();
    }
    std::string text;

  private:
    FILE* out_;
};

// Nesting levels shown indented. A value that opens deeper than this is
// printed compact (no line breaks, no blanks outside strings), which keeps
// the output within a fixed multiple of the reply's size.
constexpr int kPrettyLevels = 16;

void pretty_write(const char* reply, PrettyWriter& w) {
    int indent = 0;
    int compact = 0;  // open brackets of the value being printed compact
    bool in_str = false;
    for (const char* p = reply; *p; ++p) {
        char c = *p;
        if (in_str) {
            w.put(c);
            if (c == '\\') {
                if (p[1]) w.put(*++p);
            } else if (c == '"') {
                in_str = false;
            }
            continue;
        }
        if (compact > 0) {
            if (c == '"') in_str = true;
            if (c == '{' || c == '[') compact++;
            if (c == '}' || c == ']') compact--;
            if (!isspace(static_cast<unsigned char>(c))) w.put(c);
            continue;
        }
        switch (c) {
        case '"':
            w.put(c);
            in_str = true;
            break;
        case '{':
        case '[':
            w.put(c);
            if (indent >= 2 * kPrettyLevels) {
                compact = 1;
                break;
            }
            indent += 2;
            w.newline(indent);
            break;
        case '}':
        case ']':
            indent = indent >= 2 ? indent - 2 : 0;
            w.newline(indent);
            w.put(c);
            break;
        case ',':
            w.put(c);
            w.newline(indent);
            break;
        case ':':
            w.put(':');
            w.put(' ');
            break;
        default:
            if (!isspace(static_cast<unsigned char>(c))) w.put(c);
        }
    }
    w.put('\n');
}

}  // namespace

std::string pretty_format_json(const char* reply) {
    PrettyWriter w(nullptr);
    if (reply) pretty_write(reply, w);
    return std::move(w.text);
}

void pretty_print_json(const char* reply, FILE* out) {
    if (!reply || !out) return;
    try {
        PrettyWriter w(out);
        pretty_write(reply, w);
        w.flush();
    } catch (const std::bad_alloc&) {
        fputs("out of memory\n", stderr);
    }
}
