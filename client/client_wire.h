// Wire side of kyreldb_client: request/reply frames over one blocking socket,
// the few JSON routines the client needs (escaping, request building, member
// probes) and the indented printer for replies. The client links nothing else
// of the system but the helpers it shares with the connector (common/c: the
// frame codec, the JSON escaping and the walk over a reply's members).
//
// Frame (both directions): 4-byte unsigned payload length in network byte
// order, then exactly that many bytes of JSON text, no terminator. The client
// sends requests of 1 to CLIENT_MAX_FRAME bytes and accepts replies of the same
// range; a larger announced reply is read off the socket and thrown away so
// that the next reply starts on a frame boundary.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

constexpr size_t CLIENT_MAX_FRAME = 8388608;  // 8 MiB, request and reply limit

// One per run; fixed fields cut silently at their size minus one.
struct ClientState {
    int fd = -1;                             // connected socket
    char host[256] = "127.0.0.1";            // server host (--host)
    int port = 9191;                         // server port (--port)
    char username[128] = "";                 // user name after a successful login
    char current_database[128] = "default";  // shown in the prompt
    int logged_in = 0;                       // 1 after a successful login
    int must_change_password = 0;            // from the login reply
    int json_only = 0;                       // 1: print replies raw (--json-only)
};

// Trims isspace() characters at both ends in place; ';' is kept.
void trim_ws(char* s);
// 1 when `s` starts with `prefix`, compared after toupper; an empty prefix matches.
int ci_starts(const char* s, const char* prefix);

// Heap (malloc) copy of `s` escaped for a JSON string; NULL on allocation failure.
char* json_escape_alloc(const char* s);
// {"action":"A","k1":"v1"[,"k2":"v2"]} with the action and values escaped (a NULL
// value counts as empty) and the member names taken as they are. Pass k2 = NULL
// for the one-pair form. Heap text or NULL on allocation failure.
char* make_json2(const char* action, const char* k1, const char* v1, const char* k2,
                 const char* v2);

// Replies are read as one JSON object, and only its own (top-level) members
// count: a member of a nested object or text inside a string is never taken
// for the reply's status. A reply that is not one well-formed JSON object has
// no members at all.
//
// json_top_member: -1 when the reply is not one JSON object (or is NULL); 0
// when it has no member `name`; 1 with [*value, *value + *len) holding the
// text of the first such member's value.
int json_top_member(const char* reply, const char* name, const char** value, size_t* len);
// True when the top-level member `name` is "true" (any case) or 1.
int json_bool_field(const char* reply, const char* name);
// The reply's status: 1 when its "ok" is true, 0 when false ("false" in any
// case, or 0), -1 when the reply is not a JSON object with a boolean "ok".
int json_reply_ok(const char* reply);
// Copies the string value of the top-level member `name` into `out` (cut to
// outsz - 1), decoding \" \b \f \n \r \t and taking the second character of
// any other backslash pair. 1 when found as a string, else 0 (out emptied).
int json_string_field(const char* reply, const char* name, char* out, size_t outsz);

// Send or receive exactly n bytes (flags 0, EINTR retried). 0, or -1 on error
// or when the peer closes.
int write_exact(int fd, const void* buf, size_t n);
int read_exact(int fd, void* buf, size_t n);

// One request/reply exchange on st->fd. On 0 *out holds the NUL-terminated heap
// (malloc) reply, owned by the caller. -1: bad arguments or a send/receive
// failure; -2: announced reply length 0 or above CLIENT_MAX_FRAME (its body has been
// read and discarded; when that fails the socket is closed and fd set to -1);
// -3: allocation failure (body discarded likewise); -4: the reply holds a NUL
// byte and is refused as invalid (the stream stays in step). `err` receives a
// message.
int client_request_raw(ClientState* st, const char* request, char** out, char* err, size_t errsz);

// The indented form of a reply: two blanks per nesting level, one member or
// element per line, ": " after member names, white space outside strings dropped,
// a final newline. A value opening deeper than 16 levels prints compact, so the
// output stays within a fixed multiple of the reply's size. NULL gives an empty
// text.
std::string pretty_format_json(const char* reply);
// Writes pretty_format_json(reply) to `out`; NULL prints nothing.
void pretty_print_json(const char* reply, FILE* out = stdout);
