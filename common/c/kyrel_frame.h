/*
 * Frame codec of the wire protocol, shared by every program of the system
 * that sends or receives frames: the server, the router, the command-line
 * client, the connector library, the runtime that kylang embeds into every
 * generated program, and the load generator. It is plain C so that the C
 * libraries and the generated programs can carry it as they are; it holds
 * no state and links nothing but the C library and the socket calls.
 *
 * Frame (both directions):
 *   bytes 0..3  payload length, unsigned 32-bit, big-endian (network order)
 *   bytes 4..   exactly that many payload bytes (JSON text), no terminator
 *
 * Each program keeps its own rules around the frames and passes them in:
 * the largest payload it accepts and the flags of its sends (0, or
 * MSG_NOSIGNAL where a broken pipe must not raise SIGPIPE). What a refused or failed frame means
 * for the conversation (a reply text, closing the socket) stays with the
 * program.
 */
#ifndef KYREL_FRAME_H
#define KYREL_FRAME_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KYREL_FRAME_HEADER_BYTES 4
/* The largest payload a header can describe. */
#define KYREL_FRAME_MAX_PAYLOAD 0xFFFFFFFFu

/* Results of the frame readers. */
enum {
    KYREL_FRAME_OK = 0,
    KYREL_FRAME_CLOSED = -1,   /* peer closed, time-out or socket error */
    KYREL_FRAME_BAD_SIZE = -2, /* announced length 0 or above the limit */
    KYREL_FRAME_NO_MEMORY = -3 /* no memory for the payload */
};

void kyrel_frame_header_put(unsigned char out[KYREL_FRAME_HEADER_BYTES], uint32_t len);
uint32_t kyrel_frame_header_get(const unsigned char in[KYREL_FRAME_HEADER_BYTES]);

/* Sends all n bytes with send(fd, ..., flags), resuming after a partial send
 * and retrying an interrupted one (EINTR). 0, or -1 when a send fails or
 * sends nothing. */
int kyrel_send_all(int fd, const void* buf, size_t n, int flags);
/* Receives exactly n bytes (recv flags 0), retrying an interrupted receive.
 * 0, or -1 on an error, a time-out or the end of the stream. */
int kyrel_recv_all(int fd, void* buf, size_t n);

/* Sends one frame: the header for len, then the len payload bytes (len 0
 * sends the header alone), in one sendmsg call continued after a partial
 * send. Header and payload never leave as two small sends: with the second
 * held back until the first is acknowledged, each request would wait out the
 * peer's delayed acknowledgement (tens of milliseconds on loopback). 0, or -1
 * when a send fails or len does not fit the header (nothing sent). */
int kyrel_frame_send(int fd, const void* payload, size_t len, int flags);

/* Reads a frame header: KYREL_FRAME_OK with *len, or KYREL_FRAME_CLOSED. */
int kyrel_frame_recv_header(int fd, uint32_t* len);
/* Reads one frame of 1 to max_len payload bytes into *out, a malloc'd copy
 * with a NUL after the payload (the caller frees it); *len is the payload
 * length. KYREL_FRAME_BAD_SIZE and KYREL_FRAME_NO_MEMORY leave the payload
 * unread with *len the announced length, so that the caller may drop it
 * (kyrel_frame_discard) or give the connection up; KYREL_FRAME_CLOSED sets
 * *len to 0. *out is NULL unless the result is KYREL_FRAME_OK. */
int kyrel_frame_recv(int fd, uint32_t max_len, char** out, uint32_t* len);
/* Reads n bytes and drops them. 0, or -1 as kyrel_recv_all. */
int kyrel_frame_discard(int fd, uint64_t n);

#ifdef __cplusplus
}
#endif

#endif /* KYREL_FRAME_H */
