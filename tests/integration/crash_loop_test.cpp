// Crash loop: a server under concurrent writers through a unique and a
// composite unique index, SIGKILLed at random moments over and over (often
// inside a checkpoint: another client keeps forcing them with schema changes,
// and the memory limit is small). The schema client alters a table of 1,000
// rows (ADD COLUMN with a default, RENAME COLUMN, DROP COLUMN: each rewrites
// every row, then checkpoints) and creates, fills, indexes and drops another
// (by another spelling), so many kills land inside ALTER TABLE and its
// checkpoint. After every restart:
//   - the altered table's schema and every one of its rows agree, in the
//     state last answered or the one in flight; the created table is there
//     with its answered rows exactly when it was last answered created (a
//     table made again never holds what the dropped one left);
//   - every acknowledged write is there with its last acknowledged value, and
//     no deleted row is back (a write in flight at the kill may or may not be
//     there, but nothing else);
//   - nothing unknown appeared and the unique indexes hold (no duplicate
//     values, lookups through them find their row, duplicates are refused);
//   - no file is left behind: one segment per table, the one its manifest
//     names, and no temp file of an interrupted metadata write.
//
// A short run by default; a long one by hand:
//   KYREL_CRASH_LOOP_KILLS=200 crash_loop_test
// KYREL_CRASH_LOOP_SEED repeats a run (the seed is printed).
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kyrel_test.h"
#include "writes_helpers.h"

using namespace kyrel_test;
using namespace writes_test;
using namespace std::chrono_literals;

namespace {

// A small memory limit makes the commit thread checkpoint under pressure as
// well; auto-vacuum stays off so the server is quiet while files are checked.
constexpr const char* kConfig =
    "AUTO_TUNE=OFF\nAUTO_VACUUM=OFF\nCONNECTION_WORKERS=8\nWRITE_WORKERS=2\n"
    "COMMIT_GROUP_WAIT_MS=1\nWAL_SYNC_EVERY=64\nMEMORY_LIMIT_MB=1\n";
constexpr const char* kPassword = "crash loop pw";
constexpr int kWriters = 4;
constexpr int kKeysPerWriter = 150;

int env_int(const char* name, int fallback) {
    const char* v = getenv(name);
    return v && atoi(v) > 0 ? atoi(v) : fallback;
}

struct Row {
    std::string email;  // unique
    long long a, b, v;  // (a, b) unique
    bool operator==(const Row& o) const {
        return email == o.email && a == o.a && b == o.b && v == o.v;
    }
};

std::string show(const std::optional<Row>& r) {
    if (!r) return "(absent)";
    return r->email + " a=" + std::to_string(r->a) + " b=" + std::to_string(r->b) +
           " v=" + std::to_string(r->v);
}

// What one writer's keys hold as far as the server acknowledged, and the one
// write that may have been in flight when the server was killed.
struct WriterModel {
    std::map<long long, std::optional<Row>> acked;  // every key ever written
    bool in_flight = false;
    long long flight_key = 0;
    std::optional<Row> flight_result;
};

// What the schema client was answered, and the change in flight at the kill.
// The wide table goes round shape 0 (id, w), 1 (+ x = 7), 2 (x renamed y).
struct DdlState {
    int wide = 0;
    bool tmp_exists = false, tmp_indexed = false;
    int tmp_rows = 0;
    bool operator==(const DdlState& o) const {
        return wide == o.wide && tmp_exists == o.tmp_exists && tmp_indexed == o.tmp_indexed &&
               tmp_rows == o.tmp_rows;
    }
};
struct DdlModel {
    DdlState acked;
    bool in_flight = false;
    DdlState flight;
    long alters = 0, creates_drops = 0;
};
constexpr int kWideRows = 1000;

// A writer: one connection, one request at a time, on its own keys only,
// so the last acknowledged write of a key is well defined.
class Writer {
  public:
    Writer(int id, WriterModel* model, uint32_t seed) : id_(id), m_(model), rng_(seed) {}

    // Runs until the connection breaks (the kill) or stop is set.
    void run(int port, std::atomic<long>* acks, std::atomic<bool>* stop,
             std::condition_variable* cv) {
        if (!c_.connect(port) || !login()) return;
        std::string r;
        if (!c_.request(R"({"action":"sql","sql":"USE shop"})", &r)) return;
        while (!*stop) {
            if (!step()) return;
            acks->fetch_add(1);
            cv->notify_all();
        }
    }
    long unexpected() const { return unexpected_; }

  private:
    bool login() {
        std::string r;
        return c_.request(
                   R"({"action":"login","username":"admin","password":)" + jstr(kPassword) + "}",
                   &r) &&
               ok(r);
    }
    // Sends one statement; false when the connection broke.
    bool send(const std::string& sql, std::string* reply) {
        return c_.request(R"({"action":"sql","sql":)" + jstr(sql) + "}", reply);
    }
    std::vector<long long> live_keys() const {
        std::vector<long long> out;
        for (const auto& [k, row] : m_->acked)
            if (row) out.push_back(k);
        return out;
    }
    // One write and its reply. An acknowledged write updates the model; a
    // write whose reply never came stays "in flight".
    bool step() {
        const long long base = 1000000LL * (id_ + 1);
        std::vector<long long> live = live_keys();
        const int dice = int(rng_() % 100);
        const long long gen = ++gen_;

        // A write that the unique indexes must refuse: a new key with a live
        // row's email, or a live row moved onto another's (a, b).
        if (dice < 6 && live.size() >= 2) {
            const long long k1 = live[rng_() % live.size()], k2 = live[rng_() % live.size()];
            if (k1 == k2) return true;
            const Row& r1 = *m_->acked[k1];
            const Row& r2 = *m_->acked[k2];
            std::string sql;
            if (dice % 2) {
                const long long fresh = base + kKeysPerWriter + long(rng_() % 1000);
                if (m_->acked.count(fresh) && m_->acked[fresh]) return true;
                sql = "INSERT INTO items VALUES (" + std::to_string(fresh) + ", '" + r1.email +
                      "', " + std::to_string(fresh) + ", 0, 0)";
            } else {
                sql = "UPDATE items SET a = " + std::to_string(r2.a) +
                      ", b = " + std::to_string(r2.b) + " WHERE id = " + std::to_string(k1);
            }
            std::string reply;
            if (!send(sql, &reply)) return false;  // refused or not: nothing changes
            if (ok(reply) || error_of(reply).find("unique index") == std::string::npos) {
                ADD_FAILURE() << "duplicate accepted or odd refusal: " << sql << " -> " << reply;
                unexpected_++;
            }
            return true;
        }

        long long key;
        std::optional<Row> after;
        std::string sql;
        if (dice < 45 || live.empty()) {  // insert a key that is absent
            key = base + long(rng_() % kKeysPerWriter);
            if (m_->acked.count(key) && m_->acked[key]) return true;
            after = Row{"w" + std::to_string(key) + "-" + std::to_string(gen), key, gen, gen};
            sql = "INSERT INTO items VALUES (" + std::to_string(key) + ", '" + after->email +
                  "', " + std::to_string(after->a) + ", " + std::to_string(after->b) + ", " +
                  std::to_string(after->v) + ")";
        } else if (dice < 85) {  // update email, (a, b) and v of a live key
            key = live[rng_() % live.size()];
            after = *m_->acked[key];
            after->email = "w" + std::to_string(key) + "-" + std::to_string(gen);
            after->b = gen;
            after->v = gen * 7;
            sql = "UPDATE items SET email = '" + after->email +
                  "', b = " + std::to_string(after->b) + ", v = " + std::to_string(after->v) +
                  " WHERE id = " + std::to_string(key);
        } else {  // delete a live key
            key = live[rng_() % live.size()];
            sql = "DELETE FROM items WHERE id = " + std::to_string(key);
        }
        m_->in_flight = true;
        m_->flight_key = key;
        m_->flight_result = after;
        std::string reply;
        if (!send(sql, &reply)) return false;
        m_->in_flight = false;
        if (!ok(reply)) {
            ADD_FAILURE() << sql << " -> " << reply;
            unexpected_++;
            return true;
        }
        m_->acked[key] = after;
        return true;
    }

    int id_;
    WriterModel* m_;
    std::mt19937 rng_;
    long long gen_ = 0;
    long unexpected_ = 0;
    FrameClient c_;
};

// Rows of a SELECT * reply: id -> row (the row texts hold no nested objects).
std::map<long long, Row> parse_rows(const std::string& reply, std::vector<long long>* dups) {
    std::map<long long, Row> out;
    const std::string rows = json_get(reply, "rows");
    size_t p = 0;
    while ((p = rows.find('{', p)) != std::string::npos) {
        size_t e = rows.find('}', p);
        if (e == std::string::npos) break;
        const std::string obj = rows.substr(p, e - p + 1);
        const long long id = atoll(json_get(obj, "id").c_str());
        Row r{json_get(obj, "email"), atoll(json_get(obj, "a").c_str()),
              atoll(json_get(obj, "b").c_str()), atoll(json_get(obj, "v").c_str())};
        if (!out.emplace(id, r).second) dups->push_back(id);
        p = e + 1;
    }
    return out;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Every path under dir (files only), relative to it.
void list_files(const std::string& dir, const std::string& rel, std::vector<std::string>* out) {
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = dir + "/" + name;
        if (DIR* sub = opendir(path.c_str())) {
            closedir(sub);
            list_files(path, rel + name + "/", out);
        } else {
            out->push_back(rel + name);
        }
    }
    closedir(d);
}

class CrashLoop : public ::testing::Test {
  protected:
    void SetUp() override {
        srv_.set_config(kConfig);
        ASSERT_TRUE(srv_.start()) << srv_.last_error();
        Client admin;
        ASSERT_TRUE(admin.connect(srv_.port()));
        ASSERT_NO_FATAL_FAILURE(login_admin_as(admin, kPassword));
        for (const char* s :
             {"CREATE DATABASE shop", "USE shop",
              "CREATE TABLE items (id int PRIMARY KEY, email string, a int, b int, v int)",
              "CREATE UNIQUE INDEX items_email ON items (email)",
              "CREATE UNIQUE INDEX items_ab ON items (a, b)", "CREATE INDEX items_v ON items (v)",
              "CREATE TABLE scratch (id int PRIMARY KEY)",
              "CREATE TABLE wide (id int PRIMARY KEY, w int)"}) {
            std::string r = admin.sql(s);
            ASSERT_TRUE(ok(r)) << s << " -> " << r;
        }
        for (int at = 0; at < kWideRows; at += 100) {
            std::string sql = "INSERT INTO wide VALUES ";
            for (int i = at; i < at + 100; i++)
                sql += (i > at ? ", (" : "(") + std::to_string(i) + ", " + std::to_string(i) + ")";
            std::string r = admin.sql(sql);
            ASSERT_TRUE(ok(r)) << r.substr(0, 200);
        }
    }

    // One round: writers and the checkpoint client run until `kill_after`
    // writes were acknowledged, then the server is killed.
    void run_round(long kill_after, uint32_t seed) {
        std::atomic<long> acks{0};
        std::atomic<bool> stop{false};
        std::mutex mu;
        std::condition_variable cv;
        std::vector<std::unique_ptr<Writer>> writers;
        std::vector<std::thread> threads;
        std::atomic<int> running{kWriters};
        // All writers exist before the first thread starts: the threads
        // read the vector.
        for (int w = 0; w < kWriters; w++)
            writers.push_back(std::make_unique<Writer>(w, &models_[w], seed + w));
        for (int w = 0; w < kWriters; w++) {
            threads.emplace_back([&, w] {
                writers[w]->run(srv_.port(), &acks, &stop, &cv);
                running--;
                cv.notify_all();
            });
        }
        threads.emplace_back([&] { force_checkpoints(&stop); });
        {
            // The deadline only ends a round whose writers hang.
            std::unique_lock<std::mutex> lk(mu);
            const bool reached =
                cv.wait_for(lk, 120s, [&] { return acks >= kill_after || running == 0; });
            EXPECT_TRUE(reached && acks >= kill_after)
                << "writers stopped at " << acks << " acknowledged writes";
        }
        // The server must still be there: it is killed, it never stops by itself.
        srv_.wait_exit(0ms);
        EXPECT_TRUE(srv_.running()) << "the server ended by itself:\n" << srv_.stderr_text();
        srv_.kill9();
        stop = true;
        for (auto& t : threads) t.join();
        if (ddl_.in_flight && ddl_.flight.wide != ddl_.acked.wide) kills_in_alter_++;
        for (auto& w : writers) unexpected_ += w->unexpected();
        acked_writes_ += acks;
        if (leftovers_present()) kills_with_leftovers_++;
    }

    // Whether the kill left files for the start-up to clear: a segment beside
    // the named one, or a temp file (the kill came inside a checkpoint).
    bool leftovers_present() const {
        std::vector<std::string> files;
        list_files(srv_.dir() + "/kyreldb_data", "", &files);
        std::map<std::string, int> segs;
        for (const std::string& f : files) {
            if (f.find(".tmp") != std::string::npos) return true;
            size_t s = f.find("/segments/");
            if (s != std::string::npos && ++segs[f.substr(0, s)] > 1) return true;
        }
        return false;
    }

    // The schema client: ALTERs of a scratch table keep checkpoints coming,
    // ALTERs of the wide table rewrite its rows, and the tmp table is made,
    // indexed, filled and dropped over and over.
    void force_checkpoints(std::atomic<bool>* stop) {
        FrameClient c;
        std::string r;
        if (!c.connect(srv_.port())) return;
        if (!c.request(
                R"({"action":"login","username":"admin","password":)" + jstr(kPassword) + "}",
                &r) ||
            !c.request(R"({"action":"sql","sql":"USE shop"})", &r))
            return;
        const std::string add =
            R"J({"action":"sql","sql":"ALTER TABLE scratch ADD COLUMN extra int"})J";
        const std::string drop =
            R"J({"action":"sql","sql":"ALTER TABLE scratch DROP COLUMN extra"})J";
        // One schema change: false when the connection broke (the kill).
        auto change = [&](const std::string& sql, const DdlState& after) {
            ddl_.in_flight = true;
            ddl_.flight = after;
            if (!c.request(R"({"action":"sql","sql":)" + jstr(sql) + "}", &r)) return false;
            ddl_.in_flight = false;
            if (!ok(r)) {
                ADD_FAILURE() << sql << " -> " << r;
                unexpected_++;
                return true;
            }
            ddl_.acked = after;
            return true;
        };
        static const char* const wide_steps[] = {"ALTER TABLE wide ADD COLUMN x int DEFAULT 7",
                                                 "ALTER TABLE wide RENAME COLUMN x TO y",
                                                 "ALTER TABLE wide DROP COLUMN y"};
        static const char* const tmp_spellings[] = {"tmp", "TMP", "Tmp"};
        while (!*stop) {
            if (!c.request(add, &r) || !c.request(drop, &r)) return;
            checkpoints_++;
            DdlState next = ddl_.acked;
            next.wide = (next.wide + 1) % 3;
            if (!change(wide_steps[ddl_.acked.wide], next)) return;
            ddl_.alters++;
            next = ddl_.acked;
            std::string sql;
            if (!next.tmp_exists) {
                sql = "CREATE TABLE tmp (id int PRIMARY KEY, v int)";
                next.tmp_exists = true;
                next.tmp_rows = 0;
                next.tmp_indexed = false;
            } else if (!next.tmp_indexed) {
                sql = "CREATE UNIQUE INDEX IF NOT EXISTS tmp_v ON tmp (v)";
                next.tmp_indexed = true;
            } else if (next.tmp_rows < 3) {
                next.tmp_rows++;
                sql = "INSERT INTO tmp VALUES (" + std::to_string(next.tmp_rows) + ", 1" +
                      std::to_string(next.tmp_rows) + ")";
            } else {
                sql = std::string("DROP TABLE ") + tmp_spellings[ddl_.creates_drops % 3];
                next = DdlState{ddl_.acked.wide, false, false, 0};
            }
            if (!change(sql, next)) return;
            ddl_.creates_drops++;
        }
    }

    // The schema client's tables after a restart: the state answered or
    // the one in flight, schema and rows agreeing.
    void verify_ddl(Client& c) {
        DdlState found = ddl_.acked;
        std::string r = c.sql("SELECT * FROM wide ORDER BY id");
        ASSERT_TRUE(ok(r)) << r.substr(0, 300);
        auto count = [&r](const std::string& what) {
            long n = 0;
            for (size_t p = r.find(what); p != std::string::npos; p = r.find(what, p + 1)) n++;
            return n;
        };
        const long ids = count("\"id\":"), xs = count("\"x\":7"), ys = count("\"y\":7");
        EXPECT_EQ(ids, kWideRows) << "wide lost rows";
        if (xs == kWideRows && ys == 0)
            found.wide = 1;
        else if (ys == kWideRows && xs == 0)
            found.wide = 2;
        else if (xs == 0 && ys == 0)
            found.wide = 0;
        else
            found.wide = -1;
        // The schema agrees with the rows: an UPDATE of a row that is not
        // there names an unknown column exactly when the schema lacks it.
        const std::string px = c.sql("UPDATE wide SET x = 7 WHERE id = 100000");
        const std::string py = c.sql("UPDATE wide SET y = 7 WHERE id = 100000");
        const bool has_x = error_of(px).find("unknown column") == std::string::npos;
        const bool has_y = error_of(py).find("unknown column") == std::string::npos;
        if (has_x != (found.wide == 1) || has_y != (found.wide == 2)) {
            losses_++;
            const std::string log = srv_.stderr_text();
            ADD_FAILURE() << "wide: schema (x " << has_x << ", y " << has_y << ") and rows (x "
                          << xs << ", y " << ys << ") disagree; answered " << ddl_.acked.wide
                          << (ddl_.in_flight ? ", in flight " + std::to_string(ddl_.flight.wide)
                                             : std::string())
                          << "\n"
                          << px << "\n"
                          << py << "\n"
                          << log.substr(log.size() > 3000 ? log.size() - 3000 : 0);
        }
        r = c.sql("SELECT * FROM tmp ORDER BY id");
        found.tmp_exists = ok(r);
        found.tmp_rows = found.tmp_exists ? int(count("\"id\":")) : 0;
        for (int i = 1; i <= found.tmp_rows; i++)
            EXPECT_NE(r.find("\"id\":" + std::to_string(i) + ",\"v\":1" + std::to_string(i)),
                      std::string::npos)
                << r;
        // Whether tmp's index is there is not read back: its creation is
        // repeated with IF NOT EXISTS.
        auto same = [&found](const DdlState& s) {
            return found.wide == s.wide && found.tmp_exists == s.tmp_exists &&
                   found.tmp_rows == s.tmp_rows;
        };
        if (same(ddl_.acked)) {
            found.tmp_indexed = ddl_.acked.tmp_indexed;
            ddl_.acked = found;
        } else if (ddl_.in_flight && same(ddl_.flight)) {
            ddl_.acked = ddl_.flight;
        } else {
            losses_++;
            ADD_FAILURE() << "schema state: wide " << found.wide << " tmp " << found.tmp_exists
                          << "/" << found.tmp_rows << "; answered wide " << ddl_.acked.wide
                          << " tmp " << ddl_.acked.tmp_exists << "/" << ddl_.acked.tmp_rows;
        }
        ddl_.in_flight = false;
    }

    // Compares the server with the models after a restart, then takes what
    // the server holds for a write that was in flight.
    void verify(int round) {
        SCOPED_TRACE("after kill " + std::to_string(round));
        ASSERT_NO_FATAL_FAILURE(check_files());
        Client c;
        ASSERT_TRUE(c.connect(srv_.port()));
        std::string r = c.login("admin", kPassword);
        ASSERT_TRUE(ok(r)) << r;
        ASSERT_TRUE(ok(c.sql("USE shop")));
        ASSERT_NO_FATAL_FAILURE(verify_ddl(c));
        r = c.sql("SELECT * FROM items ORDER BY id");
        ASSERT_TRUE(ok(r)) << r.substr(0, 300);
        std::vector<long long> dup_ids;
        std::map<long long, Row> rows = parse_rows(r, &dup_ids);
        EXPECT_TRUE(dup_ids.empty()) << "a key appears twice";
        losses_ += long(dup_ids.size());

        std::set<long long> known;
        for (WriterModel& m : models_) {
            for (auto& [key, want] : m.acked) {
                known.insert(key);
                auto it = rows.find(key);
                std::optional<Row> got;
                if (it != rows.end()) got = it->second;
                keys_checked_++;
                if (got == want) continue;
                if (m.in_flight && m.flight_key == key && got == m.flight_result) {
                    want = got;  // the write in flight had been applied
                    continue;
                }
                losses_++;
                ADD_FAILURE() << "key " << key << ": acknowledged " << show(want) << ", found "
                              << show(got);
            }
            if (m.in_flight && !m.acked.count(m.flight_key)) {
                // An insert of a new key whose reply was lost.
                known.insert(m.flight_key);
                auto it = rows.find(m.flight_key);
                if (it != rows.end()) {
                    if (std::optional<Row>(it->second) == m.flight_result)
                        m.acked[m.flight_key] = it->second;
                    else
                        losses_++;
                } else {
                    m.acked[m.flight_key] = std::nullopt;
                }
            }
            m.in_flight = false;
        }
        for (const auto& [id, row] : rows) {
            if (known.count(id)) continue;
            losses_++;
            ADD_FAILURE() << "key " << id << " was never written: " << show(row);
        }

        // The unique indexes hold: distinct values, lookups find the row,
        // and a duplicate of a live value is refused.
        std::set<std::string> emails;
        std::set<std::pair<long long, long long>> pairs;
        for (const auto& [id, row] : rows) {
            EXPECT_TRUE(emails.insert(row.email).second) << "email twice: " << row.email;
            EXPECT_TRUE(pairs.insert({row.a, row.b}).second) << "(a, b) twice at key " << id;
        }
        int probes = 0;
        for (auto it = rows.begin(); it != rows.end() && probes < 20; ++it, ++probes) {
            const auto& [id, row] = *it;
            std::string q = c.sql("SELECT id FROM items WHERE email = '" + row.email + "'");
            EXPECT_EQ(json_get(q, "rows"), "[{\"id\":" + std::to_string(id) + "}]") << q;
            q = c.sql("SELECT id FROM items WHERE a = " + std::to_string(row.a) +
                      " AND b = " + std::to_string(row.b));
            EXPECT_EQ(json_get(q, "rows"), "[{\"id\":" + std::to_string(id) + "}]") << q;
        }
        if (!rows.empty()) {
            const Row& first = rows.begin()->second;
            std::string dup = c.sql("INSERT INTO items VALUES (1, '" + first.email + "', 1, 1, 1)");
            EXPECT_NE(error_of(dup).find("unique index"), std::string::npos) << dup;
            dup = c.sql("INSERT INTO items VALUES (2, 'fresh', " + std::to_string(first.a) + ", " +
                        std::to_string(first.b) + ", 1)");
            EXPECT_NE(error_of(dup).find("unique index"), std::string::npos) << dup;
        }
    }

    // One segment per table dir, the one its manifest names; no temp file.
    void check_files() {
        std::vector<std::string> files;
        list_files(srv_.dir() + "/kyreldb_data", "", &files);
        std::map<std::string, std::vector<std::string>> segments;  // table dir -> files
        for (const std::string& f : files) {
            EXPECT_EQ(f.find(".tmp"), std::string::npos) << "left behind: " << f;
            size_t s = f.find("/segments/");
            if (s != std::string::npos) segments[f.substr(0, s)].push_back(f.substr(s + 10));
        }
        for (const auto& [table_dir, segs] : segments) {
            const std::string manifest =
                slurp(srv_.dir() + "/kyreldb_data/" + table_dir + "/manifest.meta");
            const size_t at = manifest.find("ACTIVE_SEGMENT=");
            ASSERT_NE(at, std::string::npos) << table_dir << " has segments but no manifest";
            char name[64];
            snprintf(name, sizeof name, "seg_%06llu.dat", atoll(manifest.c_str() + at + 15));
            EXPECT_EQ(segs, std::vector<std::string>{name}) << "orphan segments in " << table_dir;
        }
    }

    TestServer srv_;
    WriterModel models_[kWriters];
    long acked_writes_ = 0, keys_checked_ = 0, losses_ = 0, unexpected_ = 0;
    long kills_with_leftovers_ = 0;
    std::atomic<long> checkpoints_{0};
    DdlModel ddl_;
    long kills_in_alter_ = 0;
};

TEST_F(CrashLoop, EveryAcknowledgedWriteSurvivesRepeatedKills) {
    const int kills = env_int("KYREL_CRASH_LOOP_KILLS", 5);
    const uint32_t seed =
        uint32_t(env_int("KYREL_CRASH_LOOP_SEED", int(time(nullptr) & 0x7fffffff)));
    printf("crash loop: %d kills, seed %u\n", kills, seed);
    fflush(stdout);
    std::mt19937 rng(seed);
    for (int round = 1; round <= kills; round++) {
        const long kill_after = 30 + long(rng() % 400);
        ASSERT_NO_FATAL_FAILURE(run_round(kill_after, seed + 97u * uint32_t(round)));
        ASSERT_TRUE(srv_.start()) << srv_.last_error();
        ASSERT_NO_FATAL_FAILURE(verify(round));
        if (HasFailure()) break;
        if (round % 25 == 0) {
            printf("crash loop: %d kills, %ld acknowledged writes, %ld losses so far\n", round,
                   acked_writes_, losses_);
            fflush(stdout);
        }
    }
    printf(
        "crash loop: %d kills (%ld left checkpoint files to clear, %ld inside ALTER TABLE of the "
        "wide table), %ld acknowledged writes, %ld key checks, %ld forced checkpoint pairs, %ld "
        "wide ALTERs, %ld tmp changes, %ld losses\n",
        kills, kills_with_leftovers_, kills_in_alter_, acked_writes_, keys_checked_,
        long(checkpoints_), ddl_.alters, ddl_.creates_drops, losses_);
    EXPECT_EQ(losses_, 0);
    EXPECT_EQ(unexpected_, 0);
    EXPECT_EQ(srv_.stop(), 0);
}

}  // namespace
