// The peer address of a connection, as text, and whether it is the local host.
#pragma once

#include <cstddef>

// 1 for "127.0.0.1", "::1" and "::ffff:127.0.0.1"; 0 otherwise (NULL too).
int is_localhost_ip(const char* addr);
// Numeric address of the socket's peer into out; "unknown" for families other
// than IPv4 and IPv6. 0, or -1 when the peer cannot be read.
int peer_ip_string(int sock, char* out, size_t cap);
