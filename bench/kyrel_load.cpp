// Load generator for a running kyreldb_server over loopback.
//
// Workloads (each for a fixed number of seconds, at every client count):
//   insert      single-row INSERT, one statement per request
//   insert-100  one INSERT of 100 rows per request
//   pk-select   SELECT * ... WHERE id = <random> over 100,000 preloaded rows
// Each client is one thread with its own connection, logged in and switched
// to the bench database before the clock starts. A request counts only when
// its reply says "ok":true; failures are counted and reported.
//
// Usage: kyrel_load --port P --user U --password PW [--seconds S]
//                   [--clients 1,8] [--database NAME] [--only WORKLOAD]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kyrel_frame.h"

namespace {

std::string jstr(const std::string& s) {
    std::string o = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') o += '\\';
        o += c;
    }
    return o + "\"";
}

class Conn {
  public:
    ~Conn() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool open(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd_ < 0) return false;
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    // One request frame (header and text in one send), one reply frame.
    bool ask(const std::string& json, std::string* reply) {
        if (kyrel_frame_send(fd_, json.data(), json.size(), SIZE_MAX, MSG_NOSIGNAL) != 0)
            return false;
        uint32_t n = 0;
        if (kyrel_frame_recv_header(fd_, &n) != KYREL_FRAME_OK) return false;
        reply->resize(n);
        return kyrel_recv_all(fd_, reply->data(), reply->size()) == 0;
    }
    bool sql(const std::string& statement, std::string* reply) {
        return ask("{\"action\":\"sql\",\"sql\":" + jstr(statement) + "}", reply);
    }

  private:
    int fd_ = -1;
};

bool is_ok(const std::string& r) { return r.find("\"ok\":true") != std::string::npos; }

struct Options {
    int port = 0;
    std::string user = "admin";
    std::string password;
    std::string database = "bench";
    int seconds = 10;
    std::vector<int> clients{1, 8};
    std::string only;  // run just this workload when set
};

bool connect_ready(const Options& o, Conn& c, std::string* why) {
    std::string r;
    if (!c.open(o.port)) {
        *why = "cannot connect";
        return false;
    }
    if (!c.ask("{\"action\":\"login\",\"username\":" + jstr(o.user) +
                   ",\"password\":" + jstr(o.password) + "}",
               &r) ||
        !is_ok(r)) {
        *why = "login failed: " + r;
        return false;
    }
    if (!c.sql("USE " + o.database, &r) || !is_ok(r)) {
        *why = "USE failed: " + r;
        return false;
    }
    return true;
}

std::string row_values(int64_t id) { return "(" + std::to_string(id) + ", 'name', 7, 1.5)"; }

enum class Kind { Insert, Insert100, PkSelect };

struct Result {
    int64_t ok = 0;
    int64_t failed = 0;
    std::string first_error;
    double seconds = 0;
};

std::atomic<int64_t> g_next_id{1000000};

Result run_workload(const Options& o, Kind kind, const char* table, int clients) {
    std::vector<std::thread> threads;
    std::vector<Result> per(clients);
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::atomic<bool> setup_failed{false};
    std::chrono::steady_clock::time_point deadline;
    for (int t = 0; t < clients; ++t) {
        threads.emplace_back([&, t] {
            Conn c;
            std::string why, reply, req;
            if (!connect_ready(o, c, &why)) {
                per[t].first_error = why;
                setup_failed = true;
                ready++;
                return;
            }
            std::mt19937_64 rng(static_cast<uint64_t>(t) * 7919 + 17);
            ready++;
            while (!go.load()) std::this_thread::yield();
            while (std::chrono::steady_clock::now() < deadline) {
                req.clear();
                if (kind == Kind::Insert) {
                    req =
                        "INSERT INTO " + std::string(table) + " VALUES " + row_values(g_next_id++);
                } else if (kind == Kind::Insert100) {
                    int64_t base = g_next_id.fetch_add(100);
                    req = "INSERT INTO " + std::string(table) + " VALUES ";
                    for (int i = 0; i < 100; ++i) {
                        if (i) req += ", ";
                        req += row_values(base + i);
                    }
                } else {
                    req = "SELECT * FROM " + std::string(table) +
                          " WHERE id = " + std::to_string(1 + static_cast<int64_t>(rng() % 100000));
                }
                if (!c.sql(req, &reply)) {
                    per[t].failed++;
                    if (per[t].first_error.empty()) per[t].first_error = "connection lost";
                    break;
                }
                if (is_ok(reply) &&
                    (kind != Kind::PkSelect || reply.find("\"rows\":[{") != std::string::npos)) {
                    per[t].ok++;
                } else {
                    per[t].failed++;
                    if (per[t].first_error.empty()) per[t].first_error = reply;
                }
            }
        });
    }
    while (ready.load() < clients) std::this_thread::yield();
    auto start = std::chrono::steady_clock::now();
    deadline = start + std::chrono::seconds(o.seconds);
    go = true;
    for (auto& th : threads) th.join();
    Result total;
    total.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (auto& r : per) {
        total.ok += r.ok;
        total.failed += r.failed;
        if (total.first_error.empty()) total.first_error = r.first_error;
    }
    if (setup_failed && total.first_error.empty()) total.first_error = "client setup failed";
    return total;
}

bool setup(const Options& o, std::string* why) {
    Conn c;
    std::string r;
    if (!c.open(o.port)) {
        *why = "cannot connect";
        return false;
    }
    if (!c.ask("{\"action\":\"login\",\"username\":" + jstr(o.user) +
                   ",\"password\":" + jstr(o.password) + "}",
               &r) ||
        !is_ok(r)) {
        *why = "login failed: " + r;
        return false;
    }
    const char* stmts[] = {
        "CREATE DATABASE ", "USE ",
        "CREATE TABLE items_one (id int PRIMARY KEY, name string, qty int, price double)",
        "CREATE TABLE items_batch (id int PRIMARY KEY, name string, qty int, price double)",
        "CREATE TABLE items (id int PRIMARY KEY, name string, qty int, price double)"};
    for (int i = 0; i < 5; ++i) {
        std::string s = stmts[i];
        if (i < 2) s += o.database;
        if (!c.sql(s, &r) || !is_ok(r)) {
            *why = s + ": " + r;
            return false;
        }
    }
    // 100,000 rows for the key look-ups, 100 per statement.
    for (int b = 0; b < 1000; ++b) {
        std::string s = "INSERT INTO items VALUES ";
        for (int i = 0; i < 100; ++i) {
            int64_t id = static_cast<int64_t>(b) * 100 + i + 1;
            if (i) s += ", ";
            s += "(" + std::to_string(id) + ", 'name" + std::to_string(id) + "', " +
                 std::to_string(id % 100) + ", " + std::to_string(id / 2) + ".5)";
        }
        if (!c.sql(s, &r) || !is_ok(r)) {
            *why = "preload failed: " + r;
            return false;
        }
    }
    return true;
}

void usage() {
    fprintf(stderr,
            "usage: kyrel_load --port P --password PW [--user U] [--seconds S] "
            "[--clients 1,8] [--database NAME] [--only WORKLOAD]\n");
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) {
            usage();
            return 2;
        }
        std::string v = argv[++i];
        if (a == "--port")
            o.port = atoi(v.c_str());
        else if (a == "--user")
            o.user = v;
        else if (a == "--password")
            o.password = v;
        else if (a == "--database")
            o.database = v;
        else if (a == "--seconds")
            o.seconds = atoi(v.c_str());
        else if (a == "--only")
            o.only = v;
        else if (a == "--clients") {
            o.clients.clear();
            size_t p = 0;
            while (p <= v.size()) {
                size_t q = v.find(',', p);
                if (q == std::string::npos) q = v.size();
                int n = atoi(v.substr(p, q - p).c_str());
                if (n > 0) o.clients.push_back(n);
                p = q + 1;
            }
        } else {
            usage();
            return 2;
        }
    }
    if (o.port <= 0 || o.seconds <= 0 || o.clients.empty()) {
        usage();
        return 2;
    }
    std::string why;
    if (!setup(o, &why)) {
        fprintf(stderr, "kyrel_load: setup failed: %s\n", why.c_str());
        return 1;
    }
    struct W {
        const char* name;
        Kind kind;
        const char* table;
        int rows;
    } ws[] = {{"insert", Kind::Insert, "items_one", 1},
              {"insert-100", Kind::Insert100, "items_batch", 100},
              {"pk-select", Kind::PkSelect, "items", 1}};
    int status = 0;
    for (const W& w : ws) {
        if (!o.only.empty() && o.only != w.name) continue;
        for (int n : o.clients) {
            Result r = run_workload(o, w.kind, w.table, n);
            double rps = r.seconds > 0 ? static_cast<double>(r.ok) / r.seconds : 0;
            printf("kyreldb %s %d clients: %.0f requests/s, %.0f rows/s", w.name, n, rps,
                   rps * w.rows);
            if (r.failed) {
                printf(" (%lld failed: %.120s)", static_cast<long long>(r.failed),
                       r.first_error.c_str());
                status = 1;
            }
            printf("\n");
            fflush(stdout);
        }
    }
    return status;
}
