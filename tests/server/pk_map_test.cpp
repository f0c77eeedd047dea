// Primary-key map: hash values, the newest-version rule, rebuild and the
// batch duplicate check.
#include "storage/pk_map.h"

#include <gtest/gtest.h>

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
