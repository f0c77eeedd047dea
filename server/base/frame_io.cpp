// Socket frame I/O.
//
// Frame (both directions):
//   bytes 0..3  payload length, unsigned 32-bit, network (big-endian) order
//   bytes 4..   exactly that many bytes of JSON text, no terminator
// The server never sends a frame of length 0. Requests are accepted with
// lengths 1..KYREL_MAX_REQUEST_BYTES; anything else is "invalid request size"
// and the connection is closed by the caller. Once a request's first byte has
// arrived the caller may give the rest of the frame a time limit. A reply
// whose length does not fit the 32-bit field is replaced by the "response too
// large" error reply, so the client always gets exactly one frame per request.
// The frames themselves are the shared codec's (kyrel_frame.h); the server
// adds its request limit, the reply rules and the time limit of a started
// request.
#include "base/frame_io.h"

#include <poll.h>
#include <cerrno>
#include <climits>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/types.h>

#include "kyrel_frame.h"

namespace {

const char kNullReply[] = "{\"ok\":false,\"error\":\"null response\"}";
const char kTooLargeReply[] = "{\"ok\":false,\"error\":\"response too large\"}";

}  // namespace

int read_exact(int fd, void* dst, size_t n) { return kyrel_recv_all(fd, dst, n); }

int write_exact(int fd, const void* src, size_t n) { return kyrel_send_all(fd, src, n, 0); }

int send_json_response_len(int fd, const char* json, size_t len) {
    if (!json) {
        json = kNullReply;
        len = sizeof(kNullReply) - 1;
    }
    if (len == 0) return -1;
    if (static_cast<uint64_t>(len) > KYREL_FRAME_MAX_PAYLOAD) {
        json = kTooLargeReply;
        len = sizeof(kTooLargeReply) - 1;
    }
    return kyrel_frame_send(fd, json, len, 0);
}

int send_json_response(int fd, const char* json) {
    return send_json_response_len(fd, json, json ? strlen(json) : 0);
}

int64_t frame_clock_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void frame_reader_reset(FrameReader* r) {
    if (!r) return;
    free(r->body);
    memset(r, 0, sizeof *r);
}

namespace {

// The first body allocation; later ones double up to the announced length.
constexpr uint32_t kFirstBodyBytes = 64u * 1024u;

// Room for at least one more body byte (and the NUL): false on no memory.
bool reader_grow_body(FrameReader* r) {
    if (r->body && r->body_got < r->len) {
        if (r->body_cap - 1 > r->body_got) return true;
    }
    uint64_t cap = r->body_cap ? static_cast<uint64_t>(r->body_cap) * 2 : kFirstBodyBytes;
    if (cap > static_cast<uint64_t>(r->len) + 1) cap = static_cast<uint64_t>(r->len) + 1;
    char* grown = static_cast<char*>(realloc(r->body, static_cast<size_t>(cap)));
    if (!grown) return false;
    r->body = grown;
    r->body_cap = static_cast<uint32_t>(cap);
    return true;
}

// One non-blocking receive: bytes received, 0 when none are there yet
// (FRAME_PENDING for the caller), -1 on peer close or error.
ssize_t recv_now(int fd, void* dst, size_t n) {
    for (;;) {
        ssize_t got = recv(fd, dst, n, MSG_DONTWAIT);
        if (got > 0) return got;
        if (got == 0) return -1;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

}  // namespace

int frame_reader_step(FrameReader* r, int fd, char** out, uint32_t* len) {
    if (out) *out = nullptr;
    if (len) *len = 0;
    if (!r || !out || !len) return FRAME_CLOSED;
    while (r->head_got < sizeof r->head) {
        ssize_t got = recv_now(fd, r->head + r->head_got, sizeof r->head - r->head_got);
        if (got < 0) return FRAME_CLOSED;
        if (got == 0) return FRAME_PENDING;
        if (r->started_ms == 0) r->started_ms = frame_clock_ms();
        r->head_got += static_cast<uint32_t>(got);
        if (r->head_got == sizeof r->head) {
            r->len = kyrel_frame_header_get(r->head);
            if (r->len == 0 || r->len > KYREL_MAX_REQUEST_BYTES) return FRAME_BAD_SIZE;
        }
    }
    while (r->body_got < r->len) {
        if (!reader_grow_body(r)) return FRAME_NO_MEMORY;
        ssize_t got = recv_now(fd, r->body + r->body_got, r->body_cap - 1 - r->body_got);
        if (got < 0) return FRAME_CLOSED;
        if (got == 0) return FRAME_PENDING;
        r->body_got += static_cast<uint32_t>(got);
    }
    r->body[r->len] = '\0';
    *out = r->body;
    *len = r->len;
    r->body = nullptr;
    frame_reader_reset(r);
    return FRAME_OK;
}

int read_request_frame(int fd, char** out, uint32_t* len, int timeout_ms) {
    if (out) *out = nullptr;
    if (len) *len = 0;
    if (!out || !len) return FRAME_CLOSED;
    FrameReader r{};
    for (;;) {
        int rc = frame_reader_step(&r, fd, out, len);
        if (rc != FRAME_PENDING) {
            frame_reader_reset(&r);
            return rc;
        }
        // The wait for the first byte is the idle time between requests: no
        // limit. From that byte on the frame has timeout_ms to complete.
        int wait = -1;
        if (r.started_ms != 0 && timeout_ms > 0) {
            const int64_t left = r.started_ms + timeout_ms - frame_clock_ms();
            if (left <= 0) {
                frame_reader_reset(&r);
                return FRAME_TIMED_OUT;
            }
            wait = left > INT_MAX ? INT_MAX : static_cast<int>(left);
        }
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, wait) < 0 && errno != EINTR) {
            frame_reader_reset(&r);
            return FRAME_CLOSED;
        }
    }
}
