// Index definitions and the two-way secondary-index maps: moves between
// values, the invalid flag, and order and counts at scale.
#include "storage/sec_index.h"

#include <gtest/gtest.h>

#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "storage/pk_map.h"
#include "storage/table.h"

namespace {

std::set<std::string> keys_of(SecIndexMap* m, const char* value) {
    std::set<std::string> out;
    SecIndexValueEntry* v = sec_index_find_value_entry(m, value);
    for (SecIndexKeyNode* k = v ? v->keys : nullptr; k; k = k->next) out.insert(k->key);
    return out;
}

TEST(IndexDef, EnsureDefaults) {
    IndexDef d;
    memset(&d, 0, sizeof d);
    snprintf(d.column, sizeof d.column, "age");
    indexdef_ensure_defaults(&d);
    EXPECT_EQ(d.column_count, 1);
    EXPECT_STREQ(d.columns[0].name, "age");
    EXPECT_EQ(d.columns[0].ascending, 1);
    EXPECT_EQ(d.columns[0].nulls_first, 0);
    EXPECT_STREQ(d.method, "btree");
    EXPECT_EQ(d.fillfactor, 100);

    indexdef_init(&d);
    EXPECT_STREQ(d.method, "btree");
    EXPECT_EQ(d.deduplicate_items, 1);
    d.fillfactor = 250;
    d.unique = 7;
    d.column_count = 2;
    snprintf(d.columns[0].name, 64, "a");
    snprintf(d.columns[1].name, 64, "b");
    d.columns[1].ascending = 5;
    indexdef_ensure_defaults(&d);
    EXPECT_EQ(d.fillfactor, 250);  // no upper clamp for stored definitions
    EXPECT_EQ(d.unique, 1);
    EXPECT_EQ(d.columns[1].ascending, 1);
    EXPECT_STREQ(d.column, "a");
    EXPECT_STREQ(index_direction_name(0), "DESC");
    EXPECT_STREQ(index_nulls_name(1), "FIRST");
}

struct SecMapTest : ::testing::Test {
    SecIndexMap m{};
    void TearDown() override { sec_index_map_clear(&m); }
};

TEST_F(SecMapTest, SetMovesKeysBetweenValues) {
    EXPECT_EQ(sec_index_find_value_entry(&m, "x"), nullptr);  // absent map
    ASSERT_EQ(sec_index_map_set(&m, "k1", "red"), 0);         // creates the map lazily
    EXPECT_EQ(m.enabled, 1u);
    ASSERT_EQ(sec_index_map_set(&m, "k2", "red"), 0);
    ASSERT_EQ(sec_index_map_set(&m, "k1", "red"), 0);  // same key and value twice
    EXPECT_EQ(keys_of(&m, "red"), (std::set<std::string>{"k1", "k2"}));
    EXPECT_EQ(m.key_count, 2u);

    ASSERT_EQ(sec_index_map_set(&m, "k3", "blue"), 0);
    ASSERT_EQ(sec_index_map_set(&m, "k3", "green"), 0);  // blue's only key leaves it
    EXPECT_EQ(sec_index_find_value_entry(&m, "blue"), nullptr);
    EXPECT_EQ(keys_of(&m, "green"), (std::set<std::string>{"k3"}));
    EXPECT_STREQ(sec_index_map_get_value(&m, "k3"), "green");
    EXPECT_EQ(m.value_count, 2u);

    sec_index_map_remove(&m, "k1");
    sec_index_map_remove(&m, "nope");
    EXPECT_EQ(keys_of(&m, "red"), (std::set<std::string>{"k2"}));
    EXPECT_EQ(m.key_count, 2u);
    sec_index_value_remove_key(&m, "red", "k2");
    EXPECT_EQ(sec_index_find_value_entry(&m, "red"), nullptr);

    sec_index_map_clear(&m);
    EXPECT_EQ(m.enabled, 0u);
    EXPECT_EQ(sec_index_find_value_entry(&m, "green"), nullptr);
}

// What the map must hold after a sequence of sets and removals: each key's
// value, each value's keys newest first, and the values in walk order (4096
// buckets by hash, new values at the head of theirs).
struct SecMapModel {
    std::map<std::string, std::string> value_of;
    std::map<std::string, std::list<std::string>> keys_of;
    std::map<std::string, std::list<std::string>::iterator> place;  // key in keys_of
    std::vector<std::list<std::string>> buckets{SEC_INDEX_BUCKETS};

    void take_out(const std::string& key) {
        auto it = value_of.find(key);
        if (it == value_of.end()) return;
        std::list<std::string>& keys = keys_of[it->second];
        keys.erase(place[key]);
        place.erase(key);
        if (keys.empty()) {
            keys_of.erase(it->second);
            buckets[pk_hash_string(it->second.c_str()) % SEC_INDEX_BUCKETS].remove(it->second);
        }
        value_of.erase(it);
    }
    void set(const std::string& key, const std::string& value) {
        auto it = value_of.find(key);
        if (it != value_of.end() && it->second == value) return;
        take_out(key);
        if (!keys_of.count(value))
            buckets[pk_hash_string(value.c_str()) % SEC_INDEX_BUCKETS].push_front(value);
        std::list<std::string>& keys = keys_of[value];
        keys.push_front(key);
        place[key] = keys.begin();
        value_of[key] = value;
    }
};

void expect_map_holds(SecIndexMap* m, const SecMapModel& model) {
    ASSERT_EQ(m->key_count, model.value_of.size());
    ASSERT_EQ(m->value_count, model.keys_of.size());
    for (const auto& [key, value] : model.value_of)
        ASSERT_STREQ(sec_index_map_get_value(m, key.c_str()), value.c_str()) << key;
    std::vector<std::string> walked, expected;
    for (uint64_t b = 0; b < m->value_bucket_count; ++b)
        for (SecIndexValueEntry* v = m->value_buckets[b]; v; v = v->next) {
            walked.push_back(v->value);
            std::vector<std::string> keys;
            for (SecIndexKeyNode* k = v->keys; k; k = k->next) keys.push_back(k->key);
            auto it = model.keys_of.find(v->value);
            ASSERT_NE(it, model.keys_of.end()) << v->value;
            ASSERT_EQ(keys, std::vector<std::string>(it->second.begin(), it->second.end()))
                << v->value;
        }
    for (const auto& chain : model.buckets)
        expected.insert(expected.end(), chain.begin(), chain.end());
    EXPECT_EQ(walked, expected);
}

// Index scans walk values and their key lists, so both orders must be those of
// the fixed buckets with head insertion at any size, while a key moves or
// leaves in one step even when thousands share its value.
TEST_F(SecMapTest, OrderAndCountsAtScale) {
    SecMapModel model;
    auto set = [&](const std::string& k, const std::string& v) {
        ASSERT_EQ(sec_index_map_set(&m, k.c_str(), v.c_str()), 0);
        model.set(k, v);
    };
    auto remove = [&](const std::string& k) {
        sec_index_map_remove(&m, k.c_str());
        model.take_out(k);
    };
    const char* colours[] = {"red", "green", "blue"};
    for (int i = 0; i < 30000; ++i) {
        std::string k = "k" + std::to_string(i);
        if (i % 2)
            set(k, colours[i % 3]);  // thousands of keys on few values
        else
            set(k, "v" + std::to_string(i % 7000));
    }
    for (int i = 0; i < 30000; i += 3) set("k" + std::to_string(i), colours[(i / 3) % 3]);
    for (int i = 1; i < 30000; i += 5) remove("k" + std::to_string(i));
    for (int i = 0; i < 30000; i += 11) set("k" + std::to_string(i), "v" + std::to_string(i));
    // Setting a key to the value it has changes nothing; removed keys return.
    for (int i = 0; i < 30000; i += 13) {
        std::string k = "k" + std::to_string(i);
        auto it = model.value_of.find(k);
        std::string v = it != model.value_of.end() ? it->second : "red";
        set(k, v);
    }
    expect_map_holds(&m, model);
    EXPECT_GE(m.key_bucket_count, m.key_count);
    EXPECT_GE(m.value_slot_count, m.value_count);
    EXPECT_EQ(m.value_bucket_count, SEC_INDEX_BUCKETS);

    // Every key of one value leaves: the value goes with its last key.
    std::list<std::string> blue = model.keys_of["blue"];
    for (const std::string& k : blue) remove(k);
    EXPECT_EQ(sec_index_find_value_entry(&m, "blue"), nullptr);
    expect_map_holds(&m, model);

    // A key taken out of its list on the value side alone keeps its value on
    // the key side; setting it again puts it back at the head of the list.
    const std::string k = model.keys_of["red"].back();
    sec_index_value_remove_key(&m, "red", k.c_str());
    EXPECT_STREQ(sec_index_map_get_value(&m, k.c_str()), "red");
    EXPECT_EQ(keys_of(&m, "red").count(k), 0u);
    ASSERT_EQ(sec_index_map_set(&m, k.c_str(), "red"), 0);
    std::list<std::string>& red = model.keys_of["red"];
    red.erase(model.place[k]);
    red.push_front(k);
    model.place[k] = red.begin();
    expect_map_holds(&m, model);
    sec_index_value_remove_key(&m, "red", k.c_str());
    remove(k);  // with no node left, only the key side changes
    expect_map_holds(&m, model);
}

TEST(SecMapTable, InvalidFlagBlocksLookupsUntilRebuild) {
    std::unique_ptr<Table> t(new Table());
    t->index_count = 2;
    ASSERT_EQ(sec_index_map_set(&t->sec_maps[0], "k", "v"), 0);
    EXPECT_EQ(sec_index_map_usable(t.get(), 0), 1);
    EXPECT_EQ(sec_index_map_usable(t.get(), 1), 0);  // never filled
    sec_index_maps_mark_invalid(t.get());
    EXPECT_EQ(t->sec_maps[0].enabled, 0u);
    // A later addition re-creates the map, but it stays bypassed.
    ASSERT_EQ(sec_index_map_set(&t->sec_maps[0], "k2", "v"), 0);
    EXPECT_EQ(sec_index_map_usable(t.get(), 0), 0);
    sec_index_maps_mark_valid(t.get());
    EXPECT_EQ(sec_index_map_usable(t.get(), 0), 1);
    sec_index_remove_key_all(t.get(), "k2");
    EXPECT_EQ(sec_index_find_value_entry(&t->sec_maps[0], "v"), nullptr);
    sec_index_maps_clear_all(t.get());
}

}  // namespace
