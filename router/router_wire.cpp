// Frame I/O, socket options and small text helpers of the router. The frames
// themselves are the shared codec's (kyrel_frame.h); the router adds its
// limits and the relay of replies too large to hold.
//
// Broken pipes: a peer that disappears must never kill the router. Where the
// platform has a per-socket "no SIGPIPE" option it is set; every send also
// passes MSG_NOSIGNAL where that flag exists, and main() ignores SIGPIPE, so
// a write to a closed peer is just an EPIPE error.
#include "router_wire.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <strings.h>
#include <ctime>

#include "kyrel_frame.h"

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0
#endif

void router_apply_socket_options(int fd) {
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
#ifdef SO_NOSIGPIPE
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    struct timeval tv;
    tv.tv_sec = 120;
    tv.tv_usec = 0;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

int router_send_all(int fd, const void* data, size_t len) {
    return kyrel_send_all(fd, data, len, MSG_NOSIGNAL);
}

int router_recv_all(int fd, void* data, size_t len) { return kyrel_recv_all(fd, data, len); }

int read_frame_length(int fd, uint32_t* len) { return kyrel_frame_recv_header(fd, len); }

int read_frame(int fd, std::string& out) {
    uint32_t len;
    if (read_frame_length(fd, &len) != 0) return FRAME_CLOSED;
    if (len < 1 || len > ROUTER_MAX_FRAME) return FRAME_BAD_SIZE;
    return read_frame_body(fd, len, out);
}

int read_frame_body(int fd, uint32_t len, std::string& out) {
    try {
        out.assign(len, '\0');
    } catch (const std::bad_alloc&) {
        return FRAME_NO_MEMORY;
    }
    if (router_recv_all(fd, out.data(), len) != 0) return FRAME_CLOSED;
    return FRAME_OK;
}

int relay_frame_body(int from, int to, uint64_t len) {
    char buf[64 * 1024];
    while (len > 0) {
        size_t want = len < sizeof buf ? static_cast<size_t>(len) : sizeof buf;
        ssize_t n = recv(from, buf, want, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        if (router_send_all(to, buf, static_cast<size_t>(n)) != 0) return -2;
        len -= static_cast<uint64_t>(n);
    }
    return 0;
}

int send_frame(int fd, const char* text) {
    if (text == nullptr) text = "{\"ok\":false,\"error\":\"null response\"}";
    size_t len = strlen(text);
    if (len < 1) return -1;
    return kyrel_frame_send(fd, text, len, MSG_NOSIGNAL);
}

int send_frame(int fd, const std::string& text) { return send_frame(fd, text.c_str()); }

void router_copy_str(char* dst, size_t cap, const char* src) {
    if (cap == 0) return;
    if (src == nullptr) src = "";
    size_t n = strnlen(src, cap - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

bool router_ci_equal(const char* a, const char* b) { return strcasecmp(a, b) == 0; }

bool router_ci_starts(const char* text, const char* prefix) {
    return strncasecmp(text, prefix, strlen(prefix)) == 0;
}

void router_wipe(void* p, size_t n) {
    volatile unsigned char* v = static_cast<volatile unsigned char*>(p);
    while (n--) *v++ = 0;
}

int64_t router_now_seconds() { return static_cast<int64_t>(time(nullptr)); }

int64_t router_now_micros() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

void router_appendf(std::string& out, const char* fmt, ...) {
    char small[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof small) {
        out.append(small, static_cast<size_t>(n));
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    va_start(ap, fmt);
    vsnprintf(big.data(), big.size(), fmt, ap);
    va_end(ap);
    big.resize(static_cast<size_t>(n));
    out += big;
}

bool router_keyword_at(const char*& p, const char* kw) {
    const char* q = p;
    while (*q && isspace(static_cast<unsigned char>(*q))) q++;
    size_t n = strlen(kw);
    if (strncasecmp(q, kw, n) != 0) return false;
    char c = q[n];
    if (c != '\0' && c != ';' && c != '(' && !isspace(static_cast<unsigned char>(c))) return false;
    p = q + n;
    return true;
}

std::string router_trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && isspace(static_cast<unsigned char>(s[b]))) b++;
    while (e > b && isspace(static_cast<unsigned char>(s[e - 1]))) e--;
    return s.substr(b, e - b);
}
