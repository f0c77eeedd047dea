// Load generator for a running kyreldb_server over loopback (bench/run_bench.sh
// drives it; bench/pg_compare.sh runs the same workloads against PostgreSQL).
//
// Workloads, in the order they run:
//   pk-select-100k  SELECT * FROM items WHERE id = <random 1..100,000>
//   insert          single-row INSERT into items_one, one statement per request
//   insert-100      one INSERT of 100 rows per request into items_batch
//   grow-1..grow-10 100-row INSERTs filling table grow with ids 1..1,000,000,
//                   10,000 requests in all; one figure per tenth of the run
//   pk-select-1m    SELECT * FROM grow WHERE id = <random 1..1,000,000>
//   join            SELECT * FROM jl a JOIN jr b ON a.k = b.k (2,000 x 2,000
//                   rows, every left row meets one right row)
//   group-order     SELECT qty, COUNT(*), SUM(price) FROM grp GROUP BY qty
//                   ORDER BY qty (20,000 rows in 10,000 groups)
//   group           the same without ORDER BY
//   topn-100k       SELECT id, price FROM items ORDER BY price DESC LIMIT 10
//                   (price has no index)
//   group-100k      SELECT qty, COUNT(*), SUM(price) FROM items GROUP BY qty
//                   (100 groups)
//   topn-1m, group-1m  the same two over big (1,000,000 rows, 100 groups),
//                   loaded only when one of them runs
//   sec-eq-1m       SELECT * FROM grow WHERE qty = <random 0..99,999> over an
//                   index on grow (qty), made after the growth run (10 rows
//                   per value)
//   range-1m        SELECT * FROM grow WHERE id >= <random> ORDER BY id LIMIT 10
// The first three and pk-select-1m run for a fixed time at every client count;
// the growth run uses the first client count; the queries run one after
// another on one connection (one warm-up, then --queries timed runs; the two
// 1,000,000-row reads, each a fraction of a millisecond, 100 x --queries runs
// with a new random value each).
//
// Each client is one thread with its own connection, logged in and switched to
// the bench database before the clock starts. A request counts only when its
// reply says "ok":true (and, for a key look-up, holds the row); failures are
// counted and reported, and make the exit status 1.
//
// Result lines on standard output, the form bench/run_bench.sh reads:
//   kyreldb <workload> <clients> clients: <n> requests/s, <n> rows/s
//   kyreldb <workload> 1 clients: <ms> ms per query
// Progress lines go to standard error.
//
// Usage: kyrel_load --port P --password PW [--user U] [--seconds S]
//                   [--clients 8] [--queries N] [--database NAME] [--only W1,W2]
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_client.h"

namespace {

using bench::Conn;
using bench::jstr;

bool is_ok(const std::string& r) { return r.find("\"ok\":true") != std::string::npos; }

struct Options {
    int port = 0;
    std::string user = "admin";
    std::string password;
    std::string database = "bench";
    int seconds = 10;
    int queries = 3;
    std::vector<int> clients{8};
    std::vector<std::string> only;  // run just these workloads when set
};

bool wanted(const Options& o, const char* name) {
    return o.only.empty() || std::find(o.only.begin(), o.only.end(), name) != o.only.end();
}

void progress(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void progress(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fputs("kyrel_load: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
}

bool login(const Options& o, Conn& c, bool use_db, std::string* why) {
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
    if (use_db && (!c.sql("USE " + o.database, &r) || !is_ok(r))) {
        *why = "USE failed: " + r;
        return false;
    }
    return true;
}

// The row shape every insert workload writes, on both sides of the comparison.
// qty is id mod 100,000, so in grow (ids 1..1,000,000) each qty has 10 rows.
std::string row_values(int64_t id) {
    return "(" + std::to_string(id) + ", 'name', " + std::to_string(id % 100000) + ", 1.5)";
}

std::string insert_100(const char* table, int64_t first_id) {
    std::string s = "INSERT INTO " + std::string(table) + " VALUES ";
    for (int i = 0; i < 100; ++i) {
        if (i) s += ", ";
        s += row_values(first_id + i);
    }
    return s;
}

struct Result {
    int64_t ok = 0;
    int64_t failed = 0;
    std::string first_error;
    double seconds = 0;
};

// How a workload builds request number n (n counts from 0 over all clients)
// for a client; false when there is no request n (a fixed-count run is over).
using MakeRequest = std::function<bool(int64_t n, std::mt19937_64& rng, std::string* req)>;

// Runs clients threads, each sending requests until the deadline (seconds > 0)
// or until make says the run is over. The clock starts when every client is
// connected and stops when the last one has finished.
Result run_clients(const Options& o, int clients, int seconds, const MakeRequest& make,
                   bool need_row) {
    std::vector<std::thread> threads;
    std::vector<Result> per(static_cast<size_t>(clients));
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::atomic<bool> setup_failed{false};
    std::atomic<int64_t> next{0};
    std::chrono::steady_clock::time_point deadline;
    for (int t = 0; t < clients; ++t) {
        threads.emplace_back([&, t] {
            Conn c;
            std::string why, reply, req;
            Result& mine = per[static_cast<size_t>(t)];
            if (!login(o, c, true, &why)) {
                mine.first_error = why;
                setup_failed = true;
                ready++;
                return;
            }
            std::mt19937_64 rng(static_cast<uint64_t>(t) * 7919 + 17);
            ready++;
            while (!go.load()) std::this_thread::yield();
            while (seconds <= 0 || std::chrono::steady_clock::now() < deadline) {
                if (!make(next++, rng, &req)) break;
                if (!c.sql(req, &reply)) {
                    mine.failed++;
                    if (mine.first_error.empty()) mine.first_error = "connection lost";
                    break;
                }
                if (is_ok(reply) && (!need_row || reply.find("\"rows\":[{") != std::string::npos)) {
                    mine.ok++;
                } else {
                    mine.failed++;
                    if (mine.first_error.empty()) mine.first_error = reply;
                }
            }
        });
    }
    while (ready.load() < clients) std::this_thread::yield();
    auto start = std::chrono::steady_clock::now();
    deadline = start + std::chrono::seconds(seconds > 0 ? seconds : 0);
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

// Prints one throughput line; 1 when requests failed.
int report_rate(const char* name, int clients, const Result& r, int rows_per_request) {
    double rps = r.seconds > 0 ? static_cast<double>(r.ok) / r.seconds : 0;
    printf("kyreldb %s %d clients: %.0f requests/s, %.0f rows/s", name, clients, rps,
           rps * rows_per_request);
    if (r.failed)
        printf(" (%lld failed: %.120s)", static_cast<long long>(r.failed), r.first_error.c_str());
    printf("\n");
    fflush(stdout);
    return r.failed ? 1 : 0;
}

bool run_statements(Conn& c, const std::vector<std::string>& stmts, std::string* why) {
    std::string r;
    for (const std::string& s : stmts) {
        if (!c.sql(s, &r) || !is_ok(r)) {
            *why = s.substr(0, 80) + ": " + r.substr(0, 200);
            return false;
        }
    }
    return true;
}

// The tables, and the rows the reads need: items with 100,000 rows, grp with
// 20,000 rows whose qty takes 10,000 values, jl and jr with 2,000 rows each.
bool setup(const Options& o, std::string* why) {
    Conn c;
    if (!login(o, c, false, why)) return false;
    const char* shape = " (id int PRIMARY KEY, name string, qty int, price double)";
    std::vector<std::string> ddl = {"CREATE DATABASE " + o.database,
                                    "USE " + o.database,
                                    std::string("CREATE TABLE items") + shape,
                                    std::string("CREATE TABLE items_one") + shape,
                                    std::string("CREATE TABLE items_batch") + shape,
                                    std::string("CREATE TABLE grow") + shape,
                                    std::string("CREATE TABLE grp") + shape,
                                    std::string("CREATE TABLE big") + shape,
                                    "CREATE TABLE jl (id int PRIMARY KEY, k int, v int)",
                                    "CREATE TABLE jr (id int PRIMARY KEY, k int, v int)"};
    if (!run_statements(c, ddl, why)) return false;
    progress("loading items (100,000 rows), grp (20,000 rows), jl and jr (2,000 rows each)");
    std::vector<std::string> load;
    auto fill = [&load](const char* table, int rows, int groups) {
        for (int b = 0; b < rows / 100; ++b) {
            std::string s = std::string("INSERT INTO ") + table + " VALUES ";
            for (int i = 0; i < 100; ++i) {
                int64_t id = static_cast<int64_t>(b) * 100 + i + 1;
                if (i) s += ", ";
                s += "(" + std::to_string(id) + ", 'name" + std::to_string(id) + "', " +
                     std::to_string(id % groups) + ", " + std::to_string(id / 2) + ".5)";
            }
            load.push_back(std::move(s));
        }
    };
    fill("items", 100000, 100);
    fill("grp", 20000, 10000);
    // jl.k = id, jr.k = a permutation of 1..2000 (7 is prime to 2000).
    for (int side = 0; side < 2; ++side) {
        for (int b = 0; b < 20; ++b) {
            std::string s = std::string("INSERT INTO ") + (side ? "jr" : "jl") + " VALUES ";
            for (int i = 0; i < 100; ++i) {
                int id = b * 100 + i + 1;
                int k = side ? (id * 7) % 2000 + 1 : id;
                if (i) s += ", ";
                s += "(" + std::to_string(id) + ", " + std::to_string(k) + ", " +
                     std::to_string(id % 10) + ")";
            }
            load.push_back(std::move(s));
        }
    }
    if (!run_statements(c, load, why)) return false;
    if (!wanted(o, "topn-1m") && !wanted(o, "group-1m")) return true;
    progress("loading big (1,000,000 rows)");
    load.clear();
    fill("big", 1000000, 100);
    return run_statements(c, load, why);
}

// One warm-up run, then `runs` timed runs one after another on one
// connection, run i sending make(i); prints the mean time. 1 on failure.
int run_query_runs(const Options& o, const char* name, const std::string& shown, int runs,
                   const std::function<std::string(int)>& make) {
    Conn c;
    std::string why, reply;
    if (!login(o, c, true, &why)) {
        printf("kyreldb %s 1 clients: failed: %.120s\n", name, why.c_str());
        return 1;
    }
    progress("%s: %s (1 warm-up, %d timed)", name, shown.c_str(), runs);
    double total = 0;
    for (int i = 0; i <= runs; ++i) {
        const std::string sql = make(i);
        auto t0 = std::chrono::steady_clock::now();
        if (!c.sql(sql, &reply) || !is_ok(reply)) {
            printf("kyreldb %s 1 clients: failed: %.120s\n", name, reply.c_str());
            fflush(stdout);
            return 1;
        }
        if (i > 0)
            total +=
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                    .count();
    }
    printf("kyreldb %s 1 clients: %.3f ms per query\n", name, total / runs);
    fflush(stdout);
    return 0;
}

int run_query(const Options& o, const char* name, const std::string& sql) {
    return run_query_runs(o, name, sql, o.queries, [&sql](int) { return sql; });
}

void usage() {
    fprintf(stderr,
            "usage: kyrel_load --port P --password PW [--user U] [--seconds S] [--clients 8] "
            "[--queries N] [--database NAME] [--only W1,W2]\n");
}

std::vector<std::string> split_commas(const std::string& v) {
    std::vector<std::string> out;
    size_t p = 0;
    while (p <= v.size()) {
        size_t q = v.find(',', p);
        if (q == std::string::npos) q = v.size();
        if (q > p) out.push_back(v.substr(p, q - p));
        p = q + 1;
    }
    return out;
}

// The command line into o; false (after the usage text) when it is wrong.
bool parse_options(int argc, char** argv, Options* out) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) {
            usage();
            return false;
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
        else if (a == "--queries")
            o.queries = atoi(v.c_str());
        else if (a == "--only")
            o.only = split_commas(v);
        else if (a == "--clients") {
            o.clients.clear();
            for (const std::string& n : split_commas(v))
                if (atoi(n.c_str()) > 0) o.clients.push_back(atoi(n.c_str()));
        } else {
            usage();
            return false;
        }
    }
    if (o.port <= 0 || o.seconds <= 0 || o.queries <= 0 || o.clients.empty()) {
        usage();
        return false;
    }
    *out = o;
    return true;
}

// Growth: ten runs of 1,000 requests, so that the figures of the first and
// the last tenth can be set side by side. Non-zero when a run failed.
int run_growth(const Options& o) {
    int status = 0;
    const int n = o.clients.front();
    progress("grow: 100-row INSERTs into grow from 0 to 1,000,000 rows, %d clients", n);
    for (int tenth = 0; tenth < 10; ++tenth) {
        const int64_t first = static_cast<int64_t>(tenth) * 1000;
        Result r = run_clients(
            o, n, 0,
            [first](int64_t k, std::mt19937_64&, std::string* req) {
                if (k >= 1000) return false;
                *req = insert_100("grow", (first + k) * 100 + 1);
                return true;
            },
            false);
        std::string name = "grow-" + std::to_string(tenth + 1);
        status |= report_rate(name.c_str(), n, r, 100);
        progress("grow: tenth %d of 10 done", tenth + 1);
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse_options(argc, argv, &o)) return 2;
    std::string why;
    if (!setup(o, &why)) {
        fprintf(stderr, "kyrel_load: setup failed: %s\n", why.c_str());
        return 1;
    }
    int status = 0;
    std::atomic<int64_t> next_id{1000000};

    auto timed = [&](const char* name, const char* what, int rows, bool need_row,
                     const MakeRequest& make) {
        if (!wanted(o, name)) return;
        for (int n : o.clients) {
            progress("%s: %s, %d clients, %d s", name, what, n, o.seconds);
            status |= report_rate(name, n, run_clients(o, n, o.seconds, make, need_row), rows);
        }
    };
    auto pk_select = [](const char* table, uint64_t rows) -> MakeRequest {
        return [table, rows](int64_t, std::mt19937_64& rng, std::string* req) {
            *req = std::string("SELECT * FROM ") + table +
                   " WHERE id = " + std::to_string(1 + rng() % rows);
            return true;
        };
    };

    timed("pk-select-100k", "primary-key SELECT over items (100,000 rows)", 1, true,
          pk_select("items", 100000));
    timed("insert", "single-row INSERT into items_one", 1, false,
          [&](int64_t, std::mt19937_64&, std::string* req) {
              *req = "INSERT INTO items_one VALUES " + row_values(next_id++);
              return true;
          });
    timed("insert-100", "100-row INSERT into items_batch", 100, false,
          [&](int64_t, std::mt19937_64&, std::string* req) {
              *req = insert_100("items_batch", next_id.fetch_add(100));
              return true;
          });

    // The 1,000,000-row SELECT reads the table the growth runs fill.
    if (wanted(o, "grow") || wanted(o, "pk-select-1m")) status |= run_growth(o);
    timed("pk-select-1m", "primary-key SELECT over grow (1,000,000 rows)", 1, true,
          pk_select("grow", 1000000));

    if (wanted(o, "join"))
        status |= run_query(o, "join", "SELECT * FROM jl a JOIN jr b ON a.k = b.k");
    if (wanted(o, "group-order"))
        status |= run_query(o, "group-order",
                            "SELECT qty, COUNT(*), SUM(price) FROM grp GROUP BY qty ORDER BY qty");
    if (wanted(o, "group"))
        status |= run_query(o, "group", "SELECT qty, COUNT(*), SUM(price) FROM grp GROUP BY qty");
    for (const char* table : {"items", "big"}) {
        const std::string size = std::string(table) == "items" ? "100k" : "1m";
        const std::string topn = "topn-" + size, group = "group-" + size;
        if (wanted(o, topn.c_str()))
            status |= run_query(
                o, topn.c_str(),
                std::string("SELECT id, price FROM ") + table + " ORDER BY price DESC LIMIT 10");
        if (wanted(o, group.c_str()))
            status |= run_query(
                o, group.c_str(),
                std::string("SELECT qty, COUNT(*), SUM(price) FROM ") + table + " GROUP BY qty");
    }

    // Reads of the 1,000,000 rows of grow through an index and the key order.
    if (wanted(o, "sec-eq-1m") || wanted(o, "range-1m")) {
        Conn c;
        progress("creating the index grow_qty on grow (qty)");
        if (!login(o, c, true, &why) ||
            !run_statements(c, {"CREATE INDEX grow_qty ON grow (qty)"}, &why)) {
            printf("kyreldb sec-eq-1m 1 clients: failed: %.120s\n", why.c_str());
            status = 1;
        }
    }
    std::mt19937_64 rng(4242);
    const int runs = o.queries * 100;
    if (wanted(o, "sec-eq-1m"))
        status |= run_query_runs(
            o, "sec-eq-1m", "SELECT * FROM grow WHERE qty = <random 0..99999>", runs, [&rng](int) {
                return "SELECT * FROM grow WHERE qty = " + std::to_string(rng() % 100000);
            });
    if (wanted(o, "range-1m"))
        status |= run_query_runs(
            o, "range-1m", "SELECT * FROM grow WHERE id >= <random> ORDER BY id LIMIT 10", runs,
            [&rng](int) {
                return "SELECT * FROM grow WHERE id >= " + std::to_string(1 + rng() % 999990) +
                       " ORDER BY id LIMIT 10";
            });
    return status;
}
