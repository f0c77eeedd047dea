// Hostile-load benchmark for a running kyreldb_server over loopback
// (bench/hostile_bench.sh starts the server and drives it). Each scenario
// measures one cost that idle or hostile clients must not put on the others:
//
//   idle    8 clients run primary-key SELECTs for --seconds; then --idle
//           sockets are opened (never logged in, never sending) and the 8
//           clients run again; the idle sockets are closed, and the pair of
//           runs is repeated once. Reports both p99 latencies and their ratio.
//   logins  one client runs single-row INSERTs for --seconds; then 16
//           connections send failed logins of user "victim" (paced to
//           --login-rate in all) while the client runs again; the pair of
//           runs is repeated once. Reports both INSERT p95 figures,
//           their ratio and the failed-login rate reached.
//   join    a self-join of --join-rows rows on one constant column (a reply
//           of about 2 GB); reports the answer and the server's peak resident
//           memory during the query (--server-pid, /proc/PID/status VmHWM
//           after resetting it through /proc/PID/clear_refs).
//
// Result lines on standard output:
//   hostile idle: p99 <us> us alone, <us> us with <n> idle sockets (ratio <r>)
//   hostile logins: p95 <us> us alone, <us> us under <n> failed logins/s (ratio <r>)
//   hostile join: <answer>; peak resident <MiB> MiB (before <MiB> MiB)
// Exit status 1 when a scenario could not run.
//
// Usage: kyrel_hostile --port P --password PW [--scenario idle,logins,join]
//          [--seconds 10] [--idle 10000] [--login-rate 4000] [--join-rows 3200]
//          [--server-pid PID]
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_client.h"

namespace {

using Clock = std::chrono::steady_clock;

using bench::Conn;
using bench::jstr;

int connect_to(int port) { return bench::connect_loopback(port); }

bool is_ok(const std::string& r) { return r.find("\"ok\":true") != std::string::npos; }

struct Options {
    int port = 0;
    std::string password;
    std::vector<std::string> scenarios{"idle", "logins", "join"};
    int seconds = 10;
    int idle = 10000;
    int login_rate = 4000;
    int join_rows = 3200;
    int server_pid = 0;
};

// A logged-in connection using the bench database.
bool open_session(const Options& o, Conn* c, std::string* why) {
    std::string r;
    if (!c->open(o.port)) return *why = "cannot connect", false;
    if (!c->login("admin", o.password, &r) || !is_ok(r)) return *why = "login: " + r, false;
    if (!c->sql("USE hostile", &r) || !is_ok(r)) return *why = "USE: " + r, false;
    return true;
}

double percentile(std::vector<int64_t>* us, double p) {
    if (us->empty()) return 0;
    std::sort(us->begin(), us->end());
    size_t i = static_cast<size_t>(p * static_cast<double>(us->size() - 1));
    return static_cast<double>((*us)[i]);
}

// Runs clients threads of body(conn, rng) for the given seconds; each call's
// latency in microseconds goes into the result. false when a request failed.
template <typename Body>
bool timed_clients(const Options& o, int clients, Body body, std::vector<int64_t>* out) {
    std::vector<std::vector<int64_t>> lat(clients);
    std::atomic<bool> failed{false};
    std::vector<std::thread> ts;
    for (int t = 0; t < clients; t++) {
        ts.emplace_back([&, t] {
            Conn c;
            std::string why;
            if (!open_session(o, &c, &why)) {
                fprintf(stderr, "kyrel_hostile: %s\n", why.c_str());
                failed = true;
                return;
            }
            std::mt19937 rng(static_cast<unsigned>(t + 1));
            const auto end = Clock::now() + std::chrono::seconds(o.seconds);
            while (Clock::now() < end && !failed) {
                auto t0 = Clock::now();
                if (!body(c, rng)) {
                    failed = true;
                    return;
                }
                lat[t].push_back(
                    std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0)
                        .count());
            }
        });
    }
    for (auto& t : ts) t.join();
    for (auto& l : lat) out->insert(out->end(), l.begin(), l.end());
    return !failed;
}

bool setup(const Options& o) {
    Conn c;
    std::string r;
    if (!c.open(o.port) || !c.login("admin", o.password, &r) || !is_ok(r)) {
        fprintf(stderr, "kyrel_hostile: admin login failed: %s\n", r.c_str());
        return false;
    }
    c.sql("CREATE USER victim IDENTIFIED BY 'victim-pw'", &r);
    c.sql("CREATE DATABASE hostile", &r);
    if (!c.sql("USE hostile", &r) || !is_ok(r)) return false;
    c.sql("CREATE TABLE items (id int PRIMARY KEY, v int)", &r);
    c.sql("CREATE TABLE ins (id int PRIMARY KEY, v int)", &r);
    for (int b = 0; b < 10; b++) {
        std::string s = "INSERT INTO items VALUES ";
        for (int i = 0; i < 1000; i++) {
            int id = b * 1000 + i + 1;
            s += (i ? ",(" : "(") + std::to_string(id) + "," + std::to_string(id % 97) + ")";
        }
        c.sql(s, &r);
    }
    return true;
}

int run_idle(const Options& o) {
    auto select = [](Conn& c, std::mt19937& rng) {
        std::string r;
        return c.sql("SELECT * FROM items WHERE id = " + std::to_string(rng() % 10000 + 1), &r) &&
               is_ok(r);
    };
    // Two rounds of (alone, crowded), so that a change in the machine's
    // other load during the run weighs on both figures alike.
    std::vector<int64_t> alone, crowded;
    size_t still_open = 0;
    bool ran = true;
    for (int round = 0; round < 2 && ran; round++) {
        if (!timed_clients(o, 8, select, &alone)) return 1;
        std::vector<int> idle;
        idle.reserve(static_cast<size_t>(o.idle));
        for (int i = 0; i < o.idle; i++) {
            int fd = connect_to(o.port);
            if (fd < 0) {
                fprintf(stderr, "kyrel_hostile: idle socket %d: %s\n", i, strerror(errno));
                break;
            }
            idle.push_back(fd);
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));  // the accepts settle
        ran = timed_clients(o, 8, select, &crowded);
        // Still open (not refused or closed) at the end: a read finds nothing.
        still_open = 0;
        for (int fd : idle) {
            char b;
            if (recv(fd, &b, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN) still_open++;
            ::close(fd);
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));  // the closes settle
    }
    if (!ran) return 1;
    double a = percentile(&alone, 0.99), b = percentile(&crowded, 0.99);
    printf(
        "hostile idle: p99 %.0f us alone, %.0f us with %zu idle sockets (ratio %.2f); "
        "%zu + %zu requests\n",
        a, b, still_open, a > 0 ? b / a : 0, alone.size(), crowded.size());
    return 0;
}

int run_logins(const Options& o) {
    std::atomic<int> next_id{1};
    auto insert = [&](Conn& c, std::mt19937&) {
        std::string r;
        return c.sql("INSERT INTO ins VALUES (" + std::to_string(next_id++) + ", 1)", &r) &&
               is_ok(r);
    };
    // Two rounds of (alone, attacked), as in run_idle.
    std::vector<int64_t> alone, attacked;
    long n = 0;
    double secs = 0;
    bool ran = true;
    for (int round = 0; round < 2 && ran; round++) {
        if (!timed_clients(o, 1, insert, &alone)) return 1;
        std::atomic<bool> stop{false};
        std::atomic<long> attempts{0};
        std::vector<std::thread> attackers;
        const int per_conn = std::max(1, o.login_rate / 16);
        for (int t = 0; t < 16; t++) {
            attackers.emplace_back([&] {
                Conn c;
                if (!c.open(o.port)) return;
                std::string r;
                const auto gap = std::chrono::microseconds(1000000 / per_conn);
                auto due = Clock::now();
                while (!stop) {
                    if (!c.login("victim", "wrong-guess", &r)) return;
                    attempts++;
                    due += gap;
                    std::this_thread::sleep_until(due);
                }
            });
        }
        auto t0 = Clock::now();
        ran = timed_clients(o, 1, insert, &attacked);
        n += attempts.load();
        secs += std::chrono::duration<double>(Clock::now() - t0).count();
        stop = true;
        for (auto& t : attackers) t.join();
    }
    if (!ran) return 1;
    double a = percentile(&alone, 0.95), b = percentile(&attacked, 0.95);
    printf("hostile logins: p95 %.0f us alone, %.0f us under %.0f failed logins/s (ratio %.2f)\n",
           a, b, n / secs, a > 0 ? b / a : 0);
    return 0;
}

// Resident memory figures of the server in KiB: VmHWM (peak) or VmRSS.
long proc_kib(int pid, const char* field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return atol(line.c_str() + strlen(field) + 1);
    return -1;
}

int run_join(const Options& o) {
    Conn c;
    std::string why, r;
    if (!open_session(o, &c, &why)) return fprintf(stderr, "kyrel_hostile: %s\n", why.c_str()), 1;
    c.sql("CREATE TABLE jn (id int PRIMARY KEY, k int, pad string)", &r);
    const std::string pad(60, 'p');
    for (int b = 0; b * 400 < o.join_rows; b++) {
        std::string s = "INSERT INTO jn VALUES ";
        for (int i = 0; i < 400 && b * 400 + i < o.join_rows; i++)
            s += (i ? ",(" : "(") + std::to_string(b * 400 + i) + ",1,'" + pad + "')";
        if (!c.sql(s, &r) || !is_ok(r)) return fprintf(stderr, "insert: %s\n", r.c_str()), 1;
    }
    long before = -1;
    if (o.server_pid > 0) {
        std::ofstream("/proc/" + std::to_string(o.server_pid) + "/clear_refs") << "5";
        before = proc_kib(o.server_pid, "VmRSS:");
    }
    auto t0 = Clock::now();
    if (!c.sql("SELECT * FROM jn a JOIN jn b ON a.k = b.k", &r)) return 1;
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    long peak = o.server_pid > 0 ? proc_kib(o.server_pid, "VmHWM:") : -1;
    std::string answer = r.size() > 160 ? r.substr(0, 160) + "..." : r;
    printf("hostile join: %s (%zu bytes, %.0f ms); peak resident %ld MiB (before %ld MiB)\n",
           answer.c_str(), r.size(), ms, peak / 1024, before / 1024);
    return 0;
}

void raise_fd_limit() {
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--port")
            o.port = atoi(v.c_str());
        else if (k == "--password")
            o.password = v;
        else if (k == "--seconds")
            o.seconds = atoi(v.c_str());
        else if (k == "--idle")
            o.idle = atoi(v.c_str());
        else if (k == "--login-rate")
            o.login_rate = atoi(v.c_str());
        else if (k == "--join-rows")
            o.join_rows = atoi(v.c_str());
        else if (k == "--server-pid")
            o.server_pid = atoi(v.c_str());
        else if (k == "--scenario") {
            o.scenarios.clear();
            for (size_t p = 0; p <= v.size();) {
                size_t q = v.find(',', p);
                if (q == std::string::npos) q = v.size();
                o.scenarios.push_back(v.substr(p, q - p));
                p = q + 1;
            }
        } else {
            fprintf(stderr, "kyrel_hostile: unknown option %s\n", k.c_str());
            return 2;
        }
    }
    if (o.port <= 0 || o.seconds <= 0) {
        fprintf(stderr, "usage: kyrel_hostile --port P --password PW [options]\n");
        return 2;
    }
    raise_fd_limit();
    if (!setup(o)) return 1;
    int rc = 0;
    for (const std::string& s : o.scenarios) {
        if (s == "idle")
            rc |= run_idle(o);
        else if (s == "logins")
            rc |= run_logins(o);
        else if (s == "join")
            rc |= run_join(o);
        else {
            fprintf(stderr, "kyrel_hostile: unknown scenario %s\n", s.c_str());
            rc = 1;
        }
        fflush(stdout);
    }
    return rc;
}
