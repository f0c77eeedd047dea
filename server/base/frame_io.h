// Socket frame I/O: exact-length receive and send, and the framed reply
// writer. See frame_io.cpp for the frame layout.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kyrel_frame.h"

// Largest request payload the server accepts (8 MiB).
constexpr uint32_t KYREL_MAX_REQUEST_BYTES = 8u * 1024u * 1024u;

// 0 when exactly n bytes arrived; -1 on peer close or error (EINTR retried).
int read_exact(int fd, void* dst, size_t n);
// 0 when all n bytes left; -1 on error or a send of 0 (EINTR retried).
int write_exact(int fd, const void* src, size_t n);

// Frames and sends a JSON reply (NULL -> the "null response" error). A reply
// too long for a 32-bit length is replaced by the error reply
// {"ok":false,"error":"response too large"}. 0 when a frame was sent, -1 on an
// empty reply or a socket failure. Never frees the text.
int send_json_response(int fd, const char* json);
// The same with the length given by the caller (the text is only read when the
// length fits a frame).
int send_json_response_len(int fd, const char* json, size_t len);

// Results of read_request_frame: the codec's, and one of the server's own.
enum FrameReadResult {
    FRAME_OK = KYREL_FRAME_OK,
    FRAME_CLOSED = KYREL_FRAME_CLOSED,        // peer closed or socket error: no reply
    FRAME_BAD_SIZE = KYREL_FRAME_BAD_SIZE,    // length 0 or above KYREL_MAX_REQUEST_BYTES
    FRAME_NO_MEMORY = KYREL_FRAME_NO_MEMORY,  // body buffer could not be allocated: no reply
    FRAME_TIMED_OUT = -4,                     // the frame began but was not complete in time
    FRAME_PENDING = -5,                       // FrameReader: no complete frame yet
};

// A request frame read in pieces, as bytes arrive, so that a reader never
// waits for a slow client. The body grows with the bytes received (not with
// the announced length), so a client that announces 8 MiB and sends nothing
// holds little memory. A zeroed record is an empty reader.
struct FrameReader {
    unsigned char head[4];
    uint32_t head_got;   // 0..4 header bytes received
    uint32_t len;        // announced payload length, once the header is complete
    uint32_t body_got;   // payload bytes received
    uint32_t body_cap;   // bytes allocated for body (payload and a NUL)
    char* body;          // owned
    int64_t started_ms;  // monotonic ms of the frame's first byte; 0 = nothing read yet
};
// Takes the bytes that are already there without waiting (MSG_DONTWAIT):
// FRAME_OK with the NUL-terminated body in *out (caller frees) and its length
// in *len, the reader empty again; FRAME_PENDING when the socket has nothing
// more yet; FRAME_CLOSED on peer close or error; FRAME_BAD_SIZE (nothing
// after the header is read); FRAME_NO_MEMORY.
int frame_reader_step(FrameReader* r, int fd, char** out, uint32_t* len);
// Frees what the reader holds and empties it.
void frame_reader_reset(FrameReader* r);
// Monotonic clock in milliseconds (the clock of FrameReader::started_ms).
int64_t frame_clock_ms();
// Reads one request frame: *out receives a heap, NUL-terminated body of *len
// bytes (caller frees with free()). On FRAME_BAD_SIZE nothing after the header
// is read and the caller answers "invalid request size" and closes.
// The wait for the first byte has no limit (a connection may idle between
// requests for as long as it likes). With timeout_ms > 0 the rest of the
// frame, header and body, must arrive within timeout_ms of that first byte,
// else FRAME_TIMED_OUT: a client that stops halfway cannot hold its
// connection worker for ever.
int read_request_frame(int fd, char** out, uint32_t* len, int timeout_ms = 0);
