// Peer addresses of connections (see peer_address.h).
#include "runtime/peer_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

int is_localhost_ip(const char* addr) {
    if (!addr) return 0;
    return strcmp(addr, "127.0.0.1") == 0 || strcmp(addr, "::1") == 0 ||
           strcmp(addr, "::ffff:127.0.0.1") == 0;
}

int peer_ip_string(int sock, char* out, size_t cap) {
    if (!out || cap == 0) return -1;
    out[0] = '\0';
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getpeername(sock, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return -1;
    char buf[INET6_ADDRSTRLEN];
    if (ss.ss_family == AF_INET) {
        auto* a = reinterpret_cast<sockaddr_in*>(&ss);
        if (!inet_ntop(AF_INET, &a->sin_addr, buf, sizeof buf)) return -1;
    } else if (ss.ss_family == AF_INET6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
        if (!inet_ntop(AF_INET6, &a->sin6_addr, buf, sizeof buf)) return -1;
    } else {
        snprintf(out, cap, "unknown");
        return 0;
    }
    snprintf(out, cap, "%s", buf);
    return 0;
}
