// The router's framing, socket and small text helpers, used on both the
// client side and the backend side of the router (JSON text: router_json.h).
//
// Frame: a 4-byte unsigned length in network byte order, then that many
// bytes of JSON text (no terminator). A request is 1..8 MiB; a reply may be
// as long as the 4-byte length allows, and the router relays a reply longer
// than 8 MiB piece by piece instead of holding it whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "kyrel_frame.h"

constexpr size_t ROUTER_MAX_FRAME = 8u * 1024u * 1024u;

enum FrameReadResult {
    FRAME_OK = KYREL_FRAME_OK,
    FRAME_CLOSED = KYREL_FRAME_CLOSED,
    FRAME_BAD_SIZE = KYREL_FRAME_BAD_SIZE,
    FRAME_NO_MEMORY = KYREL_FRAME_NO_MEMORY,
};

// Reads one frame body into out; FRAME_OK or one of the failures above.
int read_frame(int fd, std::string& out);
// Sends text as one frame; NULL sends {"ok":false,"error":"null response"}. 0 or -1.
int send_frame(int fd, const char* text);
int send_frame(int fd, const std::string& text);
// Reads a 4-byte frame length: 0, or -1 when the stream closed or failed.
int read_frame_length(int fd, uint32_t* len);
// Reads a body of len bytes into out: FRAME_OK, FRAME_CLOSED or FRAME_NO_MEMORY.
int read_frame_body(int fd, uint32_t len, std::string& out);
// Receives exactly len bytes: 0, or -1 when the stream closed or failed.
int router_recv_all(int fd, void* buf, size_t len);
// Passes the next len bytes of `from` on to `to` as they arrive: 0, -1 when
// `from` closed or failed, -2 when `to` did.
int relay_frame_body(int from, int to, uint64_t len);

// Keep-alive, no SIGPIPE on write, 120-second send and receive time-outs.
void router_apply_socket_options(int fd);
// Writes all bytes; never raises SIGPIPE. 0 or -1.
int router_send_all(int fd, const void* data, size_t len);

// Small text helpers.
void router_copy_str(char* dst, size_t cap, const char* src);
bool router_ci_equal(const char* a, const char* b);
bool router_ci_starts(const char* text, const char* prefix);
void router_wipe(void* p, size_t n);
int64_t router_now_seconds();
int64_t router_now_micros();
void router_appendf(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
std::string router_trim(const std::string& s);
// Keyword test at p: skip white space, compare case-insensitively, and require
// the keyword to end at end of text, ';', white space or '('. On a match p
// moves past the keyword.
bool router_keyword_at(const char*& p, const char* kw);
