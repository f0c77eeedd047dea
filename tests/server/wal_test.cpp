// Write-ahead log: record bytes, scopes and files, size limits, batches, the
// sync counter and sequence numbers. Every test runs in its own temporary data
// directory; records are decoded here by hand, independent of the writer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <csignal>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "base/config.h"
#include "base/stats.h"
#include "storage/db_registry.h"
#include "storage/paths.h"
#include "storage/table.h"
#include "storage/wal.h"

namespace {

struct Rec {
    uint32_t magic;
    uint16_t version, op;
    uint64_t seq;
    uint32_t checksum;
    std::string table, key, json;
};

uint64_t le(const std::string& b, size_t at, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; i--) v = (v << 8) | (unsigned char)b[at + i];
    return v;
}

uint32_t fnv(uint32_t h, const std::string& bytes) {
    for (unsigned char c : bytes) h = (h ^ c) * 16777619u;
    return h;
}

// Checksum computed from the decoded fields, as the format defines it.
uint32_t expected_checksum(const Rec& r) {
    std::string cov;
    auto put = [&](uint64_t v, int n) {
        for (int i = 0; i < n; i++) cov.push_back((char)(v >> (8 * i)));
    };
    put(r.op, 2);
    put(r.seq, 8);
    put(r.table.size(), 4);
    put(r.key.size(), 4);
    put(r.json.size(), 4);
    return fnv(0x811C9DC5u, cov + r.table + r.key + r.json);
}

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

std::vector<Rec> decode_file(const std::string& path) {
    std::string b = slurp(path);
    std::vector<Rec> out;
    size_t at = 0;
    while (at < b.size()) {
        EXPECT_GE(b.size() - at, 32u) << "torn header in " << path;
        if (b.size() - at < 32) break;
        Rec r;
        r.magic = (uint32_t)le(b, at, 4);
        r.version = (uint16_t)le(b, at + 4, 2);
        r.op = (uint16_t)le(b, at + 6, 2);
        r.seq = le(b, at + 8, 8);
        size_t tl = le(b, at + 16, 4), kl = le(b, at + 20, 4), jl = le(b, at + 24, 4);
        r.checksum = (uint32_t)le(b, at + 28, 4);
        EXPECT_LE(at + 32 + tl + kl + jl, b.size());
        if (at + 32 + tl + kl + jl > b.size()) break;
        r.table = b.substr(at + 32, tl);
        r.key = b.substr(at + 32 + tl, kl);
        r.json = b.substr(at + 32 + tl + kl, jl);
        at += 32 + tl + kl + jl;
        out.push_back(r);
    }
    return out;
}

class WalTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kyrel_wal_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_NE(getcwd(old_cwd_, sizeof old_cwd_), nullptr);
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        config_reset_defaults();
        ensure_parent_dirs();
        char e[256];
        ASSERT_EQ(databases_load(e, sizeof e), 0) << e;
        ASSERT_EQ(database_create_if_missing("sales", e, sizeof e), 0) << e;
    }
    void TearDown() override {
        wal_writer_close();
        ASSERT_EQ(chdir(old_cwd_), 0);
        char err[256];
        remove_path_recursive(dir_.c_str(), err, sizeof err);
    }
    static std::string db_wal(const char* db) {
        return std::string("kyreldb_data/databases/") + db + "/main.wal";
    }
    std::string dir_;
    char old_cwd_[1024];
    char err_[256] = "";
};

TEST_F(WalTest, InsertRecordBytesMatchTheFormat) {
    ASSERT_EQ(wal_append_record(WAL_OP_INSERT, 7, "t", "1", "{\"id\":1}", err_, sizeof err_), 0)
        << err_;
    std::string b = slurp(db_wal("default"));
    ASSERT_EQ(b.size(), 42u);
    const unsigned char head[16] = {'T', 'A', 'W', '3', 1, 0, 2, 0, 7, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(memcmp(b.data(), head, 16), 0);
    std::vector<Rec> recs = decode_file(db_wal("default"));
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].table, "t");
    EXPECT_EQ(recs[0].key, "1");
    EXPECT_EQ(recs[0].json, "{\"id\":1}");
    EXPECT_EQ(recs[0].checksum, expected_checksum(recs[0]));
    // Nothing went to the bootstrap log.
    EXPECT_EQ(file_size_bytes("kyreldb_data/main.wal"), 0u);
}

TEST_F(WalTest, SequenceOfChangesDecodesToExactRecordsPerScope) {
    struct Step {
        uint16_t op;
        uint64_t seq;
        const char *table, *key, *json;
    };
    const Step steps[] = {
        {WAL_OP_CREATE_DATABASE, 1, "sales", "", ""},
        {WAL_OP_CREATE_TABLE, 2, "sales__orders", "", "CREATE TABLE orders (id int primary key)"},
        {WAL_OP_INSERT, 3, "sales__orders", "10", "{\"id\":10}"},
        {WAL_OP_UPDATE, 4, "sales__orders", "10", "{\"id\":10,\"n\":\"x\"}"},
        {WAL_OP_DELETE, 5, "sales__orders", "10", nullptr},
        {WAL_OP_CREATE_TABLE, 6, "t", "", "CREATE TABLE t (id int primary key)"},
        {WAL_OP_INSERT, 7, "t", "1", "{\"id\":1}"},
        {WAL_OP_ALTER_TABLE, 8, "sales__orders", "", "ALTER TABLE orders ADD COLUMN c int"},
        {WAL_OP_DROP_TABLE, 9, "t", "", ""},
        {WAL_OP_INSERT, 10, "", "k", "{}"},  // no table: bootstrap scope
    };
    ServerStats before;
    stats_snapshot(&before);
    for (const Step& s : steps)
        ASSERT_EQ(wal_append_record(s.op, s.seq, s.table, s.key, s.json, err_, sizeof err_), 0)
            << err_;
    ServerStats after;
    stats_snapshot(&after);
    EXPECT_EQ(after.wal_appends - before.wal_appends, 10);

    auto check = [&](const std::string& path, std::vector<uint64_t> seqs) {
        std::vector<Rec> recs = decode_file(path);
        ASSERT_EQ(recs.size(), seqs.size()) << path;
        for (size_t i = 0; i < recs.size(); i++) {
            const Step& s = steps[seqs[i] - 1];
            const Rec& r = recs[i];
            EXPECT_EQ(r.magic, 0x33574154u);
            EXPECT_EQ(r.version, 1);
            EXPECT_EQ(r.op, s.op);
            EXPECT_EQ(r.seq, s.seq);
            EXPECT_EQ(r.table, s.table);
            EXPECT_EQ(r.key, s.key);
            EXPECT_EQ(r.json, s.json ? s.json : "");
            EXPECT_EQ(r.checksum, expected_checksum(r)) << "record seq " << r.seq;
        }
    };
    check("kyreldb_data/main.wal", {1, 10});
    check(db_wal("sales"), {2, 3, 4, 5, 8});
    check(db_wal("default"), {6, 7, 9});
    EXPECT_EQ(wal_total_file_bytes(), file_size_bytes("kyreldb_data/main.wal") +
                                          file_size_bytes(db_wal("sales").c_str()) +
                                          file_size_bytes(db_wal("default").c_str()));
}

TEST_F(WalTest, FieldLimitAndBadBatches) {
    std::string json(WAL_FIELD_MAX, 'x');
    EXPECT_EQ(wal_append_record(WAL_OP_INSERT, 1, "t", "k", json.c_str(), err_, sizeof err_), 0)
        << err_;
    json.push_back('x');
    ServerStats before, after;
    stats_snapshot(&before);
    EXPECT_EQ(wal_append_record(WAL_OP_INSERT, 2, "t", "k", json.c_str(), err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "WAL field too large");
    const char* jsons[] = {"{}", json.c_str()};
    const uint64_t seqs[] = {3, 4};
    EXPECT_EQ(
        wal_append_records_batch(WAL_OP_INSERT, "t", nullptr, jsons, seqs, 2, err_, sizeof err_),
        -1);
    EXPECT_STREQ(err_, "WAL field too large");
    EXPECT_EQ(
        wal_append_records_batch(WAL_OP_INSERT, "t", nullptr, nullptr, seqs, 2, err_, sizeof err_),
        -1);
    EXPECT_STREQ(err_, "invalid WAL batch");
    EXPECT_EQ(wal_append_records_batch(WAL_OP_INSERT, "t", nullptr, nullptr, nullptr, 0, err_,
                                       sizeof err_),
              0);
    stats_snapshot(&after);
    EXPECT_EQ(after.wal_appends, before.wal_appends);
    EXPECT_EQ(decode_file(db_wal("default")).size(), 1u);
}

TEST_F(WalTest, BatchIsOneRunOfRecordsWithMissingKeysEmpty) {
    const char* keys[] = {"a", nullptr, "c"};
    const char* jsons[] = {"{\"id\":\"a\"}", "{\"id\":\"b\"}", nullptr};
    const uint64_t seqs[] = {20, 21, 22};
    ASSERT_EQ(wal_append_records_batch(WAL_OP_INSERT, "sales__orders", keys, jsons, seqs, 3, err_,
                                       sizeof err_),
              0)
        << err_;
    std::vector<Rec> recs = decode_file(db_wal("sales"));
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_EQ(recs[1].key, "");
    EXPECT_EQ(recs[2].json, "");
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(recs[i].seq, seqs[i]);
        EXPECT_EQ(recs[i].table, "sales__orders");
        EXPECT_EQ(recs[i].checksum, expected_checksum(recs[i]));
    }
}

int pending_of(const char* scope) {
    std::lock_guard<std::mutex> g(g_wal.lock);
    int i = wal_writer_find_slot_locked(scope, 0);
    return i < 0 ? -1 : g_wal.writers[i].pending;
}

TEST_F(WalTest, SyncEveryNthRecordAndOncePerBatch) {
    g_cfg.wal_sync_every = 16;
    const char* key[] = {"k"};
    const char* json[] = {"{}"};
    auto one = [&](uint64_t seq) {
        return wal_append_records_batch(WAL_OP_INSERT, "sales__o", key, json, &seq, 1, err_,
                                        sizeof err_);
    };
    for (int i = 1; i <= 15; i++) ASSERT_EQ(one((uint64_t)i), 0);
    EXPECT_EQ(pending_of("sales"), 15);
    ASSERT_EQ(one(16), 0);
    EXPECT_EQ(pending_of("SALES"), 0);  // scopes compare case-insensitively

    std::vector<const char*> jsons(40, "{}");
    std::vector<uint64_t> seqs(40, 99);
    ASSERT_EQ(wal_append_records_batch(WAL_OP_INSERT, "sales__o", nullptr, jsons.data(),
                                       seqs.data(), 40, err_, sizeof err_),
              0);
    EXPECT_EQ(pending_of("sales"), 0);

    // A schema record is synced at once, whatever the rule.
    ASSERT_EQ(one(200), 0);
    EXPECT_EQ(pending_of("sales"), 1);
    ASSERT_EQ(wal_append_record(WAL_OP_ALTER_TABLE, 201, "sales__o", "", "ALTER TABLE o ADD x int",
                                err_, sizeof err_),
              0);
    EXPECT_EQ(pending_of("sales"), 0);

    g_cfg.wal_sync_every = 1;
    ASSERT_EQ(one(100), 0);
    EXPECT_EQ(pending_of("sales"), 0);
}

TEST_F(WalTest, CloseThenAppendReopensAndKeepsRecords) {
    ASSERT_EQ(wal_writer_open(err_, sizeof err_), 0) << err_;
    ASSERT_EQ(wal_append_record(WAL_OP_CREATE_DATABASE, 1, "sales", "", "", err_, sizeof err_), 0);
    wal_writer_close();
    {
        std::lock_guard<std::mutex> g(g_wal.lock);
        int i = wal_writer_find_slot_locked("@bootstrap", 0);
        ASSERT_GE(i, 0);
        EXPECT_EQ(g_wal.writers[i].fd, -1);
    }
    ASSERT_EQ(wal_append_record(WAL_OP_CREATE_DATABASE, 2, "other", "", "", err_, sizeof err_), 0);
    std::vector<Rec> recs = decode_file("kyreldb_data/main.wal");
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[1].table, "other");
}

TEST_F(WalTest, FailedWriteLeavesNoTornRecord) {
    ASSERT_EQ(wal_append_record(WAL_OP_INSERT, 1, "t", "1", "{\"id\":1}", err_, sizeof err_), 0);
    const uint64_t good = file_size_bytes(db_wal("default").c_str());
    // A file-size limit makes the next record stop part way through.
    struct rlimit old_lim;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_lim), 0);
    void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = old_lim;
    lim.rlim_cur = good + 20;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    ServerStats before, after;
    stats_snapshot(&before);
    std::string big(200, 'x');
    int rc = wal_append_record(WAL_OP_INSERT, 2, "t", "2", big.c_str(), err_, sizeof err_);
    setrlimit(RLIMIT_FSIZE, &old_lim);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(rc, -1);
    EXPECT_STREQ(err_, "cannot write WAL");
    stats_snapshot(&after);
    EXPECT_EQ(after.wal_appends, before.wal_appends);
    EXPECT_EQ(file_size_bytes(db_wal("default").c_str()), good);
    // The next record follows the last good one directly.
    ASSERT_EQ(wal_append_record(WAL_OP_INSERT, 3, "t", "3", "{\"id\":3}", err_, sizeof err_), 0);
    std::vector<Rec> recs = decode_file(db_wal("default"));
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[1].seq, 3u);
}

TEST(WalSeq, BatchesBumpsAndWrapLimit) {
    uint64_t saved;
    {
        std::lock_guard<std::mutex> g(g_seq.lock);
        saved = g_seq.next;
    }
    auto set = [](uint64_t v) {
        std::lock_guard<std::mutex> g(g_seq.lock);
        g_seq.next = v;
    };
    uint64_t first = 123;
    EXPECT_EQ(next_seq_batch(0, &first), -1);
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(next_seq_batch(1, nullptr), -1);

    set(UINT64_MAX - 2);  // 2^64 - 3
    EXPECT_EQ(next_seq_batch(3, &first), -1);
    EXPECT_EQ(next_seq_batch(2, &first), 0);
    EXPECT_EQ(first, UINT64_MAX - 2);

    set(3);
    bump_seq(5);
    EXPECT_EQ(next_seq(), 6u);
    bump_seq(2);
    EXPECT_EQ(next_seq(), 7u);
    ASSERT_EQ(next_seq_batch(4, &first), 0);
    EXPECT_EQ(first, 8u);
    EXPECT_EQ(next_seq(), 12u);
    set(saved);
}

}  // namespace
