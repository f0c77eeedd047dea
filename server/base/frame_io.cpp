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

namespace {

int64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// read_exact that gives up at deadline (monotonic ms; 0 = never): 0, -1
// (closed or error) or FRAME_TIMED_OUT. Bytes already there are taken at
// once; poll waits only when none are.
int read_exact_until(int fd, void* dst, size_t n, int64_t deadline) {
    if (deadline == 0) return read_exact(fd, dst, n);
    char* p = static_cast<char*>(dst);
    size_t got = 0;
    while (got < n) {
        ssize_t r = recv(fd, p + got, n - got, MSG_DONTWAIT);
        if (r > 0) {
            got += static_cast<size_t>(r);
            continue;
        }
        if (r == 0) return -1;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        const int64_t left = deadline - now_ms();
        if (left <= 0) return FRAME_TIMED_OUT;
        pollfd pfd{fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
        if (ready < 0 && errno != EINTR) return -1;
        if (ready == 0) return FRAME_TIMED_OUT;
    }
    return 0;
}

}  // namespace

int read_request_frame(int fd, char** out, uint32_t* len, int timeout_ms) {
    if (out) *out = nullptr;
    if (len) *len = 0;
    if (!out || !len) return FRAME_CLOSED;
    // The wait for the first byte is the idle time between requests: no
    // limit. Whatever part of the header came with it is kept.
    unsigned char head[4];
    ssize_t first;
    do {
        first = recv(fd, head, sizeof head, 0);
    } while (first < 0 && errno == EINTR);
    if (first <= 0) return FRAME_CLOSED;
    const int64_t deadline = timeout_ms > 0 ? now_ms() + timeout_ms : 0;
    const size_t have = static_cast<size_t>(first);
    int rc =
        have < sizeof head ? read_exact_until(fd, head + have, sizeof head - have, deadline) : 0;
    if (rc != 0) return rc == FRAME_TIMED_OUT ? FRAME_TIMED_OUT : FRAME_CLOSED;
    const uint32_t n = kyrel_frame_header_get(head);
    if (n == 0 || n > KYREL_MAX_REQUEST_BYTES) return FRAME_BAD_SIZE;
    char* body = static_cast<char*>(calloc(static_cast<size_t>(n) + 1, 1));
    if (!body) return FRAME_NO_MEMORY;
    rc = read_exact_until(fd, body, n, deadline);
    if (rc != 0) {
        free(body);
        return rc == FRAME_TIMED_OUT ? FRAME_TIMED_OUT : FRAME_CLOSED;
    }
    *out = body;
    *len = n;
    return FRAME_OK;
}
