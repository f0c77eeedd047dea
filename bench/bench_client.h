// The benchmarks' client side: one loopback connection that sends a request
// frame and reads its reply frame, and JSON string quoting for requests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "kyrel_frame.h"

namespace bench {

// JSON string literal of s (quotes included); enough for bench statements.
inline std::string jstr(const std::string& s) {
    std::string o = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') o += '\\';
        o += c;
    }
    return o + "\"";
}

// A socket connected to 127.0.0.1:port with TCP_NODELAY, or -1.
inline int connect_loopback(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

class Conn {
  public:
    Conn() = default;
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;
    ~Conn() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool open(int port) { return (fd_ = connect_loopback(port)) >= 0; }
    // One request frame (header and text in one send), one reply frame.
    bool ask(const std::string& json, std::string* reply) {
        if (kyrel_frame_send(fd_, json.data(), json.size(), MSG_NOSIGNAL) != 0) return false;
        uint32_t n = 0;
        if (kyrel_frame_recv_header(fd_, &n) != KYREL_FRAME_OK) return false;
        reply->resize(n);
        return kyrel_recv_all(fd_, reply->data(), reply->size()) == 0;
    }
    bool sql(const std::string& statement, std::string* reply) {
        return ask("{\"action\":\"sql\",\"sql\":" + jstr(statement) + "}", reply);
    }
    bool login(const std::string& user, const std::string& password, std::string* reply) {
        return ask("{\"action\":\"login\",\"username\":" + jstr(user) +
                       ",\"password\":" + jstr(password) + "}",
                   reply);
    }

  private:
    int fd_ = -1;
};

}  // namespace bench
