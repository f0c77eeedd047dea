/*
 * Frame codec of the wire protocol (layout and contracts: kyrel_frame.h).
 *
 * Needs POSIX.1-2008 sockets: the build compiles it with _POSIX_C_SOURCE,
 * and the kylang runtime, which carries this text inside its own, sets its
 * feature macros at its head.
 */
#include "kyrel_frame.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>

void kyrel_frame_header_put(unsigned char out[KYREL_FRAME_HEADER_BYTES], uint32_t len) {
    out[0] = (unsigned char)((len >> 24) & 0xFF);
    out[1] = (unsigned char)((len >> 16) & 0xFF);
    out[2] = (unsigned char)((len >> 8) & 0xFF);
    out[3] = (unsigned char)(len & 0xFF);
}

uint32_t kyrel_frame_header_get(const unsigned char in[KYREL_FRAME_HEADER_BYTES]) {
    return ((uint32_t)in[0] << 24) | ((uint32_t)in[1] << 16) | ((uint32_t)in[2] << 8) |
           (uint32_t)in[3];
}

int kyrel_send_all(int fd, const void* buf, size_t n, int flags) {
    const char* p = (const char*)buf;
    while (n > 0) {
        ssize_t w = send(fd, p, n, flags);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return -1;
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

int kyrel_recv_all(int fd, void* buf, size_t n) {
    char* p = (char*)buf;
    while (n > 0) {
        ssize_t r = recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return -1; /* error, time-out or end of stream */
        p += r;
        n -= (size_t)r;
    }
    return 0;
}

/* Header and payload in one sendmsg call, continued after a partial send. */
static int kyrel_send_together(int fd, unsigned char* header, const void* payload, size_t len,
                               int flags) {
    struct iovec iov[2];
    struct iovec* cur = iov;
    int left = len ? 2 : 1;
    iov[0].iov_base = header;
    iov[0].iov_len = KYREL_FRAME_HEADER_BYTES;
    iov[1].iov_base = (void*)payload;
    iov[1].iov_len = len;
    while (left > 0) {
        struct msghdr msg;
        ssize_t n;
        size_t done;
        memset(&msg, 0, sizeof msg);
        msg.msg_iov = cur;
        msg.msg_iovlen = (size_t)left;
        n = sendmsg(fd, &msg, flags);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        done = (size_t)n;
        while (left > 0 && done >= cur->iov_len) {
            done -= cur->iov_len;
            cur++;
            left--;
        }
        if (left > 0) {
            cur->iov_base = (char*)cur->iov_base + done;
            cur->iov_len -= done;
        }
    }
    return 0;
}

int kyrel_frame_send(int fd, const void* payload, size_t len, int flags) {
    unsigned char header[KYREL_FRAME_HEADER_BYTES];
    if ((uint64_t)len > KYREL_FRAME_MAX_PAYLOAD) return -1;
    kyrel_frame_header_put(header, (uint32_t)len);
    return kyrel_send_together(fd, header, payload, len, flags);
}

int kyrel_frame_recv_header(int fd, uint32_t* len) {
    unsigned char header[KYREL_FRAME_HEADER_BYTES];
    *len = 0;
    if (kyrel_recv_all(fd, header, sizeof header) != 0) return KYREL_FRAME_CLOSED;
    *len = kyrel_frame_header_get(header);
    return KYREL_FRAME_OK;
}

int kyrel_frame_recv(int fd, uint32_t max_len, char** out, uint32_t* len) {
    char* body;
    uint32_t n;
    *out = NULL;
    if (kyrel_frame_recv_header(fd, len) != KYREL_FRAME_OK) return KYREL_FRAME_CLOSED;
    n = *len;
    if (n < 1 || n > max_len) return KYREL_FRAME_BAD_SIZE;
    body = (char*)malloc((size_t)n + 1);
    if (!body) return KYREL_FRAME_NO_MEMORY;
    if (kyrel_recv_all(fd, body, n) != 0) {
        free(body);
        *len = 0;
        return KYREL_FRAME_CLOSED;
    }
    body[n] = '\0';
    *out = body;
    return KYREL_FRAME_OK;
}

int kyrel_frame_discard(int fd, uint64_t n) {
    char chunk[65536];
    while (n > 0) {
        size_t step = n < sizeof chunk ? (size_t)n : sizeof chunk;
        if (kyrel_recv_all(fd, chunk, step) != 0) return -1;
        n -= step;
    }
    return 0;
}
