// Frames, JSON helpers and the reply printer of kyreldb_client (see client_wire.h
// for the frame layout).
#include "client_wire.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/socket.h>
#include <unistd.h>

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

// Appends the escaped form of `s` to `out`.
static void escape_into(std::string& out, const char* s) {
    if (!s) return;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) {
        unsigned char c = *p;
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\f': out += "\\f"; break;
        case '\r': out += "\\r"; break;
        default:
            if (c < 0x20) {
                char hex[8];
                snprintf(hex, sizeof hex, "\\u%04x", c);
                out += hex;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
}

static char* heap_copy(const std::string& s) {
    char* p = static_cast<char*>(malloc(s.size() + 1));
    if (!p) return nullptr;
    memcpy(p, s.data(), s.size());
    p[s.size()] = '\0';
    return p;
}

char* json_escape_alloc(const char* s) {
    try {
        std::string out;
        escape_into(out, s);
        return heap_copy(out);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

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

// Position just after `"name"` followed by optional white space, ':' and
// optional white space; NULL when the member is missing or has no ':'.
static const char* member_value(const char* reply, const char* name) {
    if (!reply || !name) return nullptr;
    std::string key;
    try {
        key = std::string("\"") + name + "\"";
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    const char* p = strstr(reply, key.c_str());
    if (!p) return nullptr;
    p += key.size();
    while (*p && isspace(static_cast<unsigned char>(*p))) p++;
    if (*p != ':') return nullptr;
    p++;
    while (*p && isspace(static_cast<unsigned char>(*p))) p++;
    return p;
}

int json_bool_field(const char* reply, const char* name) {
    const char* p = member_value(reply, name);
    if (!p) return 0;
    if (*p == '1') return 1;
    return ci_starts(p, "true");
}

int json_string_field(const char* reply, const char* name, char* out, size_t outsz) {
    if (!out || outsz == 0) return 0;
    out[0] = '\0';
    const char* p = member_value(reply, name);
    if (!p || *p != '"') return 0;
    p++;
    size_t n = 0;
    while (*p && *p != '"') {
        char c = *p++;
        if (c == '\\' && *p) {
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
    return *p == '"' ? 1 : (out[0] = '\0', 0);
}

int write_exact(int fd, const void* buf, size_t n) {
    const char* p = static_cast<const char*>(buf);
    while (n > 0) {
        ssize_t w = send(fd, p, n, 0);
        if (w < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (w == 0) return -1;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return 0;
}

int read_exact(int fd, void* buf, size_t n) {
    char* p = static_cast<char*>(buf);
    while (n > 0) {
        ssize_t r = recv(fd, p, n, 0);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) return -1;  // peer closed
        p += r;
        n -= static_cast<size_t>(r);
    }
    return 0;
}

// Reads `n` bytes off the socket and drops them, so that a refused reply does
// not leave its body in front of the next reply. 0 or -1.
static int discard_exact(int fd, uint64_t n) {
    char chunk[65536];
    while (n > 0) {
        size_t step = n < sizeof chunk ? static_cast<size_t>(n) : sizeof chunk;
        if (read_exact(fd, chunk, step) != 0) return -1;
        n -= step;
    }
    return 0;
}

static void set_err(char* err, size_t errsz, const char* msg) {
    if (err && errsz) snprintf(err, errsz, "%s", msg);
}

// The announced body cannot be kept: drop it, or give the connection up when
// even that fails, so the stream never stays out of step.
static void drop_body(ClientState* st, uint32_t len) {
    if (discard_exact(st->fd, len) != 0) {
        close(st->fd);
        st->fd = -1;
    }
}

int kyrel_request_raw(ClientState* st, const char* request, char** out, char* err, size_t errsz) {
    if (out) *out = nullptr;
    if (!st || st->fd < 0 || !request || !out) {
        set_err(err, errsz, "not connected");
        return -1;
    }
    size_t len = strlen(request);
    if (len < 1 || len > KC_MAX_FRAME) {
        set_err(err, errsz, "request size out of range (1 to 8388608 bytes)");
        return -1;
    }
    uint32_t be = htonl(static_cast<uint32_t>(len));
    if (write_exact(st->fd, &be, 4) != 0 || write_exact(st->fd, request, len) != 0) {
        set_err(err, errsz, "send failed");
        return -1;
    }
    if (read_exact(st->fd, &be, 4) != 0) {
        set_err(err, errsz, "connection closed while reading the reply");
        return -1;
    }
    uint32_t rlen = ntohl(be);
    if (rlen == 0 || rlen > KC_MAX_FRAME) {
        if (err && errsz) snprintf(err, errsz, "reply of %u bytes refused (limit 8388608)", rlen);
        drop_body(st, rlen);
        return -2;
    }
    char* body = static_cast<char*>(malloc(static_cast<size_t>(rlen) + 1));
    if (!body) {
        set_err(err, errsz, "out of memory");
        drop_body(st, rlen);
        return -3;
    }
    if (read_exact(st->fd, body, rlen) != 0) {
        free(body);
        set_err(err, errsz, "connection closed while reading the reply");
        return -1;
    }
    body[rlen] = '\0';
    *out = body;
    return 0;
}

std::string pretty_format_json(const char* reply) {
    std::string out;
    if (!reply) return out;
    int indent = 0;
    bool in_str = false;
    for (const char* p = reply; *p; ++p) {
        char c = *p;
        if (in_str) {
            out += c;
            if (c == '\\') {
                if (p[1]) out += *++p;
            } else if (c == '"') {
                in_str = false;
            }
            continue;
        }
        switch (c) {
        case '"':
            out += c;
            in_str = true;
            break;
        case '{':
        case '[':
            out += c;
            out += '\n';
            indent += 2;
            out.append(static_cast<size_t>(indent), ' ');
            break;
        case '}':
        case ']':
            indent = indent >= 2 ? indent - 2 : 0;
            out += '\n';
            out.append(static_cast<size_t>(indent), ' ');
            out += c;
            break;
        case ',':
            out += c;
            out += '\n';
            out.append(static_cast<size_t>(indent), ' ');
            break;
        case ':': out += ": "; break;
        default:
            if (!isspace(static_cast<unsigned char>(c))) out += c;
        }
    }
    out += '\n';
    return out;
}

void pretty_print_json(const char* reply, FILE* out) {
    if (!reply || !out) return;
    try {
        std::string text = pretty_format_json(reply);
        fwrite(text.data(), 1, text.size(), out);
    } catch (const std::bad_alloc&) {
        fputs("out of memory\n", stderr);
    }
}
