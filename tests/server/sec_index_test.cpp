// Index definitions and the two-way secondary-index maps.
#include "storage/sec_index.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

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
