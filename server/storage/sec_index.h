// Index definitions and in-memory secondary-index maps.
//
// A SecIndexMap is a two-way hash map (pk_hash_string) between index values
// and the primary keys of the live rows carrying them. It is a cache of the
// index file: when it is not enabled, or the table's sec_maps_invalid flag is
// set, lookups read the index file instead.
//
// Value side: every value entry sits in one of 4096 buckets (hash % 4096, new
// values at the head), the order in which index scans walk the values, and in
// a lookup table (storage/hash_slots.h) that grows with the number of values.
// Each value lists its keys newest first. Key side: a growable lookup table
// from key to its current value and to its node in that value's list, so
// moving or removing a key costs the same however many keys share its value.
// No locks of their own: guarded by the owning table's rwlock.
#pragma once

#include <cstddef>
#include <cstdint>

struct Table;

constexpr int KYREL_MAX_INDEX_COLUMNS = 8;
constexpr uint64_t SEC_INDEX_BUCKETS = 4096;

struct IndexColumn {
    char name[64];
    int32_t ascending;    // 1 ASC, 0 DESC
    int32_t nulls_first;  // 1 NULLS FIRST, 0 NULLS LAST
};

struct IndexDef {
    char name[64];
    char column[64];  // leading column, kept equal to columns[0].name
    char method[16];  // "btree" by default
    int32_t column_count;
    IndexColumn columns[KYREL_MAX_INDEX_COLUMNS];
    int32_t fillfactor;         // 1..100, 100 by default
    int32_t deduplicate_items;  // 1 by default
    int32_t unique;             // 1 unique, else 0
};

struct SecIndexValueEntry;

struct SecIndexKeyNode {
    char* key;                  // stored in the node's own block
    SecIndexKeyNode* next;      // next (older) key of the same value
    SecIndexKeyNode** link;     // the pointer that points at this node
    SecIndexValueEntry* owner;  // the value whose list holds the node
};

struct SecIndexValueEntry {
    char* value;                    // stored in the entry's own block
    SecIndexKeyNode* keys;          // newest first
    SecIndexValueEntry* next;       // next entry in the bucket (walk order)
    SecIndexValueEntry** link;      // the pointer that points at this entry
    uint64_t hash;                  // pk_hash_string(value)
    SecIndexValueEntry* slot_next;  // next entry in the same lookup slot
};

struct SecIndexKeyEntry {
    char* key;               // stored in the entry's own block
    char* value;             // owned copy of the key's current index value
    SecIndexKeyEntry* next;  // next entry in the same lookup slot
    uint64_t hash;           // pk_hash_string(key)
    // The key's node in the list of its current value; NULL when the key was
    // taken out of that list by sec_index_value_remove_key.
    SecIndexKeyNode* node;
};

struct SecIndexMap {
    uint32_t enabled;
    SecIndexValueEntry** value_buckets;  // walk order of the values
    uint64_t value_bucket_count;         // 4096 once created
    uint64_t value_count;
    SecIndexKeyEntry** key_buckets;  // lookup table of the key side
    uint64_t key_bucket_count;       // a power of two; grows with key_count
    uint64_t key_count;
    SecIndexValueEntry** value_slots;  // lookup table of the value side
    uint64_t value_slot_count;         // a power of two; grows with value_count
    // Values holding a backslash: their text may differ from what they
    // compare as, so an equality is not looked up by text while any exists.
    uint64_t escaped_values;
    // Ordered tree of the values (storage/sec_order.h); NULL when there is none.
    struct SecOrder* order;
};

void indexdef_init(IndexDef* def);
void indexdef_ensure_defaults(IndexDef* def);
const char* index_direction_name(int flag);  // "ASC" / "DESC"
const char* index_nulls_name(int flag);      // "FIRST" / "LAST"

int sec_index_map_init(SecIndexMap* map);
void sec_index_map_clear(SecIndexMap* map);
void sec_index_maps_clear_all(Table* table);
SecIndexValueEntry* sec_index_find_value_entry(SecIndexMap* map, const char* value);
// Value side only: adds key at the head of value's list unless it is there.
// For a key whose entry has no node under value the list is searched.
int sec_index_value_add_key(SecIndexMap* map, const char* value, const char* key);
// Value side only: takes key out of value's list, and the value out of the
// map when that was its last key.
void sec_index_value_remove_key(SecIndexMap* map, const char* value, const char* key);
// key -> value on both sides, moving the key when its value changed; -1 on
// allocation failure, with the map as it was. Looks nothing up in value
// lists: it relies on keys reaching them through itself.
int sec_index_map_set(SecIndexMap* map, const char* key, const char* value);
void sec_index_map_remove(SecIndexMap* map, const char* key);
void sec_index_remove_key_all(Table* table, const char* key);
// The key's current value on the key side, or NULL.
const char* sec_index_map_get_value(SecIndexMap* map, const char* key);

// The table's maps after a failed addition: clears all maps and sets
// table->sec_maps_invalid; only a full index rebuild clears the flag
// (sec_index_maps_mark_valid, after refilling every map from the live rows).
void sec_index_maps_mark_invalid(Table* table);
void sec_index_maps_mark_valid(Table* table);
// 1 when map i of the table may answer lookups: enabled and not invalid.
int sec_index_map_usable(const Table* table, int index);
