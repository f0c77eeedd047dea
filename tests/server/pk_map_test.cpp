// Primary-key map: hash values, the newest-version rule, rebuild, walk order
// and look-ups at scale, and the batch duplicate check.
#include "storage/pk_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "storage/row_version.h"
#include "storage/table.h"

namespace {

TEST(PkHash, KnownValuesAndBuckets) {
    EXPECT_EQ(pk_hash_string(""), 0x14650fb0739d0383ULL);
    EXPECT_EQ(pk_hash_string(nullptr), 0x14650fb0739d0383ULL);
    EXPECT_EQ(pk_hash_string("") % PK_MAP_BUCKETS, 899u);
    EXPECT_EQ(pk_hash_string("abc"), 0xe16801510db89efdULL);
    EXPECT_EQ(pk_hash_string("abc") % PK_MAP_BUCKETS, 3837u);
}

// A table slot of its own with rows owned by the fixture.
struct PkMapTest : ::testing::Test {
    std::unique_ptr<Table> t{new Table()};
    std::vector<VersionedRow*> owned;
    VersionedRow* row(uint64_t seq, const char* key, int deleted = 0) {
        VersionedRow* r = versioned_row_new(seq, key, deleted ? nullptr : "{}", deleted);
        owned.push_back(r);
        return r;
    }
    void TearDown() override {
        pk_latest_map_clear(t.get());
        for (VersionedRow* r : owned) versioned_row_free(r);
    }
};

TEST_F(PkMapTest, NewestVersionRule) {
    EXPECT_EQ(pk_latest_map_get(t.get(), "a"), nullptr);  // not initialised yet
    VersionedRow *v5 = row(5, "k"), *v3 = row(3, "k"), *v5b = row(5, "k");
    pk_latest_map_update(t.get(), v5);
    pk_latest_map_update(t.get(), v3);
    EXPECT_EQ(pk_latest_map_get(t.get(), "k"), v5);  // lower seq ignored
    pk_latest_map_update(t.get(), v5b);
    EXPECT_EQ(pk_latest_map_get(t.get(), "k"), v5b);  // equal seq replaces
    VersionedRow* tomb = row(9, "k", 1);
    pk_latest_map_update(t.get(), tomb);
    EXPECT_EQ(pk_latest_map_get(t.get(), "k"), tomb);  // tombstone is the answer
    VersionedRow *upper = row(1, "A"), *lower = row(1, "a");
    pk_latest_map_update(t.get(), upper);
    pk_latest_map_update(t.get(), lower);
    EXPECT_EQ(pk_latest_map_get(t.get(), "A"), upper);
    EXPECT_EQ(pk_latest_map_get(t.get(), "a"), lower);
    EXPECT_EQ(t->pk_map.entry_count, 3u);
    EXPECT_EQ(pk_latest_map_get(t.get(), nullptr), nullptr);
}

TEST_F(PkMapTest, RebuildFromChainAndManyKeys) {
    // Chain newest first: k2@7, k1@4 (newer), k1@4 (older, same seq), k1@2.
    VersionedRow *a = row(7, "k2"), *b = row(4, "k1"), *c = row(4, "k1"), *d = row(2, "k1");
    a->next = b;
    b->next = c;
    c->next = d;
    t->rows = a;
    ASSERT_EQ(pk_latest_map_rebuild(t.get()), 0);
    EXPECT_EQ(pk_latest_map_get(t.get(), "k2"), a);
    EXPECT_EQ(pk_latest_map_get(t.get(), "k1"), c);  // equal seq: the older-inserted wins
    t->rows = nullptr;
    for (int i = 0; i < 10000; ++i)
        pk_latest_map_update(t.get(), row(1, std::to_string(i).c_str()));
    EXPECT_EQ(t->pk_map.entry_count, 10002u);
    EXPECT_EQ(pk_latest_map_get(t.get(), "9999")->key, std::string("9999"));
    pk_latest_map_clear(t.get());
    EXPECT_EQ(t->pk_map.bucket_count, 0u);
    EXPECT_EQ(pk_latest_map_get(t.get(), "k2"), nullptr);
}

// Keys in the order a walk of the map visits them: bucket by bucket from 0,
// each chain from its head.
std::vector<std::string> walk(const Table& t) {
    std::vector<std::string> out;
    for (uint64_t b = 0; b < t.pk_map.bucket_count; ++b)
        for (const PkLatestEntry* e = t.pk_map.buckets[b]; e; e = e->next) out.push_back(e->key);
    return out;
}

// The walk order of 4096 buckets with new keys at the head, from the order in
// which keys first reached the map.
std::vector<std::string> fixed_bucket_order(const std::vector<std::string>& first_seen) {
    std::vector<std::vector<std::string>> chains(PK_MAP_BUCKETS);
    for (const std::string& k : first_seen)
        chains[pk_hash_string(k.c_str()) % PK_MAP_BUCKETS].push_back(k);
    std::vector<std::string> out;
    for (auto& c : chains) out.insert(out.end(), c.rbegin(), c.rend());
    return out;
}

size_t longest_slot_chain(const Table& t) {
    size_t longest = 0;
    for (uint64_t s = 0; s < t.pk_map.slot_count; ++s) {
        size_t n = 0;
        for (const PkLatestEntry* e = t.pk_map.slots[s]; e; e = e->slot_next) ++n;
        longest = std::max(longest, n);
    }
    return longest;
}

// Scans, unique checks and cursors walk the map, so its order must be that of
// the fixed buckets however far the lookup table has grown; and look-ups
// must stay short chains at any size.
TEST_F(PkMapTest, WalkOrderAndLookupsAtScale) {
    const int n = 100000;
    std::vector<std::string> first_seen;
    std::vector<VersionedRow*> newest(n);
    VersionedRow* chain = nullptr;  // newest first, as a table holds it
    uint64_t seq = 0;
    auto add = [&](int i, bool absent) {
        VersionedRow* r = row(++seq, std::to_string(i).c_str());
        if (absent)
            pk_latest_map_insert_absent(t.get(), r);
        else
            pk_latest_map_update(t.get(), r);
        if (!newest[i]) first_seen.push_back(r->key);
        newest[i] = r;
        r->next = chain;
        chain = r;
    };
    for (int i = 0; i < n; ++i) {
        add(i, i % 3 == 0);
        if (i % 7 == 0) add(i / 2, false);  // a newer version of an older key
    }
    ASSERT_EQ(t->pk_map.entry_count, static_cast<uint64_t>(n));
    EXPECT_EQ(walk(*t), fixed_bucket_order(first_seen));
    EXPECT_GE(t->pk_map.slot_count, t->pk_map.entry_count);
    EXPECT_LE(longest_slot_chain(*t), 10u);
    for (int i = 0; i < n; ++i)
        ASSERT_EQ(pk_latest_map_get(t.get(), std::to_string(i).c_str()), newest[i]) << i;
    EXPECT_EQ(pk_latest_map_get(t.get(), "100000"), nullptr);
    EXPECT_EQ(pk_latest_map_get(t.get(), "-1"), nullptr);

    // A rebuild meets the keys in chain order, newest first.
    t->rows = chain;
    ASSERT_EQ(pk_latest_map_rebuild(t.get()), 0);
    t->rows = nullptr;
    std::vector<std::string> chain_order;
    std::vector<char> met(n, 0);
    for (VersionedRow* r = chain; r; r = r->next) {
        int i = std::stoi(r->key);
        if (!met[i]) chain_order.push_back(r->key);
        met[i] = 1;
    }
    EXPECT_EQ(walk(*t), fixed_bucket_order(chain_order));
    for (int i = 0; i < n; i += 997)
        EXPECT_EQ(pk_latest_map_get(t.get(), std::to_string(i).c_str()), newest[i]) << i;
}

TEST(PkBatch, DuplicateKeys) {
    char err[256] = "";
    std::vector<std::string> keys;
    for (int i = 0; i < 129; ++i) keys.push_back("key" + std::to_string(i));
    std::vector<const char*> p;
    for (auto& k : keys) p.push_back(k.c_str());
    EXPECT_EQ(batch_check_duplicate_keys(p.data(), 129, err, sizeof err), 0);
    p[128] = p[17];  // sorted path
    EXPECT_EQ(batch_check_duplicate_keys(p.data(), 129, err, sizeof err), -1);
    EXPECT_STREQ(err, "duplicate primary key in batch");
    const char* two[] = {"x", "x"};  // pairwise path
    err[0] = '\0';
    EXPECT_EQ(batch_check_duplicate_keys(two, 2, err, sizeof err), -1);
    EXPECT_STREQ(err, "duplicate primary key in batch");
    const char* cases[] = {"A", "a"};
    EXPECT_EQ(batch_check_duplicate_keys(cases, 2, err, sizeof err), 0);
    EXPECT_EQ(batch_check_duplicate_keys(two, 1, err, sizeof err), 0);
}

}  // namespace
