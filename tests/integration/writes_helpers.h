// Small helpers shared by the write-path and authorisation wire tests: a
// logged-in client, SQL requests and a decoder for write-ahead-log files.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kyrel_test.h"

namespace writes_test {

// JSON string literal of text (quotes included).
inline std::string jstr(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

class Client {
  public:
    bool connect(int port, const std::string& host = "127.0.0.1") {
        return fc_.connect(port, host);
    }
    // Connects to 127.0.0.1:port from the local address source (for example
    // "127.0.0.2"), so the server sees that peer address.
    bool connect_from(int port, const std::string& source) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        if (fd_ < 0) return false;
        timeval tv{10, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in src{};
        src.sin_family = AF_INET;
        inet_pton(AF_INET, source.c_str(), &src.sin_addr);
        sockaddr_in dst{};
        dst.sin_family = AF_INET;
        dst.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, "127.0.0.1", &dst.sin_addr);
        return bind(fd_, reinterpret_cast<sockaddr*>(&src), sizeof src) == 0 &&
               ::connect(fd_, reinterpret_cast<sockaddr*>(&dst), sizeof dst) == 0;
    }
    // Talks over an already connected socket (taken over; -1 is refused),
    // such as one made inside a test network namespace.
    bool adopt(int fd) {
        if (fd < 0) return false;
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
        return true;
    }
    ~Client() {
        if (fd_ >= 0) ::close(fd_);
    }
    std::string ask(const std::string& json) {
        std::string reply;
        if (fd_ >= 0) {
            EXPECT_TRUE(own_request(json, &reply)) << json;
            return reply;
        }
        EXPECT_TRUE(fc_.request(json, &reply)) << json;
        return reply;
    }
    std::string sql(const std::string& statement) {
        return ask("{\"action\":\"sql\",\"sql\":" + jstr(statement) + "}");
    }
    std::string login(const std::string& user, const std::string& password) {
        return ask("{\"action\":\"login\",\"username\":" + jstr(user) +
                   ",\"password\":" + jstr(password) + "}");
    }
    // Logs in and makes the forced password change when it is asked for,
    // ending with the same password (the current one cannot be kept in one
    // step, so it goes through an interim one).
    void login_ready(const std::string& user, const std::string& password) {
        std::string r = login(user, password);
        ASSERT_EQ(kyrel_test::json_get(r, "ok"), "true") << r;
        if (kyrel_test::json_get(r, "must_change_password") == "true") {
            for (const std::string& pw : {password + " (interim)", password}) {
                r = ask("{\"action\":\"change_password\",\"new_password\":" + jstr(pw) + "}");
                ASSERT_EQ(kyrel_test::json_get(r, "ok"), "true") << r;
            }
        }
    }

  private:
    bool io(bool sending, char* p, size_t n) {
        while (n > 0) {
            ssize_t k = sending ? ::send(fd_, p, n, MSG_NOSIGNAL) : ::recv(fd_, p, n, 0);
            if (k <= 0) return false;
            p += k;
            n -= static_cast<size_t>(k);
        }
        return true;
    }
    bool own_request(const std::string& json, std::string* reply) {
        uint32_t len = htonl(static_cast<uint32_t>(json.size()));
        std::string frame(reinterpret_cast<const char*>(&len), 4);
        frame += json;
        if (!io(true, frame.data(), frame.size())) return false;
        char head[4];
        if (!io(false, head, 4)) return false;
        uint32_t n;
        memcpy(&n, head, 4);
        reply->assign(ntohl(n), '\0');
        return io(false, reply->data(), reply->size());
    }

    kyrel_test::FrameClient fc_;
    int fd_ = -1;
};

inline std::string error_of(const std::string& reply) {
    return kyrel_test::json_get(reply, "error");
}
inline bool ok(const std::string& reply) { return kyrel_test::json_get(reply, "ok") == "true"; }

// Logs in as the administrator with `password`, making the first forced
// change from the default password when the server is new.
inline void login_admin_as(Client& c, const std::string& password) {
    std::string r = c.login("admin", password);
    if (ok(r)) return;
    r = c.login("admin", "lumen406");
    ASSERT_TRUE(ok(r)) << r;
    r = c.ask(R"({"action":"change_password","new_password":)" + jstr(password) + "}");
    ASSERT_TRUE(ok(r)) << r;
}

// USE db, creating the database first when it does not exist yet.
inline void use_or_create_database(Client& c, const std::string& db) {
    std::string r = c.sql("USE " + db);
    if (!ok(r)) {
        r = c.sql("CREATE DATABASE " + db);
        ASSERT_TRUE(ok(r)) << r;
        r = c.sql("USE " + db);
    }
    ASSERT_TRUE(ok(r)) << r;
}

struct WalRecord {
    uint16_t op;
    uint64_t seq;
    std::string table, key, json;
};

// Every whole record of a log file (stops at the first incomplete one).
inline std::vector<WalRecord> read_wal(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string d = ss.str();
    auto u32 = [&](size_t p) {
        return uint32_t(uint8_t(d[p])) | uint32_t(uint8_t(d[p + 1])) << 8 |
               uint32_t(uint8_t(d[p + 2])) << 16 | uint32_t(uint8_t(d[p + 3])) << 24;
    };
    std::vector<WalRecord> out;
    size_t p = 0;
    while (p + 32 <= d.size()) {
        WalRecord r;
        r.op = uint16_t(uint8_t(d[p + 6]) | uint8_t(d[p + 7]) << 8);
        r.seq = uint64_t(u32(p + 8)) | uint64_t(u32(p + 12)) << 32;
        size_t tl = u32(p + 16), kl = u32(p + 20), jl = u32(p + 24);
        if (p + 32 + tl + kl + jl > d.size()) break;
        r.table = d.substr(p + 32, tl);
        r.key = d.substr(p + 32 + tl, kl);
        r.json = d.substr(p + 32 + tl + kl, jl);
        out.push_back(r);
        p += 32 + tl + kl + jl;
    }
    return out;
}

}  // namespace writes_test
