// Primary-key map: primary-key text -> newest VersionedRow (tombstones
// included), allocated on first use.
//
// Every entry is linked twice:
// - into one of 4096 buckets (bucket = hash % 4096, new keys at the head),
//   which fix the order in which the map is walked: scans, unique checks and
//   cursor snapshots visit buckets from 0, each chain in order, so the order
//   of rows in replies never depends on the map's size;
// - into a lookup table (storage/hash_slots.h) that grows with the number of
//   keys, so finding a key costs the same at any table size;
// - into an ordered tree (storage/pk_order.h) for ranges and key order.
// No lock of its own: callers hold the owning table's lock (write for changes).
#pragma once

#include <cstddef>
#include <cstdint>

struct Table;
struct VersionedRow;

constexpr uint64_t PK_MAP_BUCKETS = 4096;

struct PkLatestEntry {
    char* key;                 // copy of the primary-key text, stored in the entry's own block
    VersionedRow* row;         // borrowed: owned by the table's version chain
    PkLatestEntry* next;       // next entry in the bucket (walk order)
    uint64_t hash;             // pk_hash_string(key): a chain walk compares texts only on a match
    PkLatestEntry* slot_next;  // next entry in the same lookup slot
    // Order of linking: within a bucket, the entry linked later comes first.
    uint64_t birth;
};

struct PkOrder;

struct PkLatestMap {
    PkLatestEntry** buckets;  // walk order; NULL before first use
    uint64_t bucket_count;    // 4096 once initialised, else 0
    uint64_t entry_count;
    // Set when an allocation failure left a key out; until the next full
    // rebuild a miss in the map does not prove the key absent.
    int incomplete;
    PkLatestEntry** slots;  // lookup table; allocated and freed with buckets
    uint64_t slot_count;    // a power of two, at least entry_count once grown
    uint64_t births;        // entries ever linked since the map was initialised
    PkOrder* order;         // ordered tree of the entries; NULL when there is none
};

// 1 when a walk of the map (buckets from 0, each chain in order) meets a
// before b.
inline bool pk_walk_before(const PkLatestEntry* a, const PkLatestEntry* b) {
    const uint64_t ba = a->hash % PK_MAP_BUCKETS, bb = b->hash % PK_MAP_BUCKETS;
    return ba != bb ? ba < bb : a->birth > b->birth;
}

// FNV-1a style 64-bit hash, offset basis 0x14650fb0739d0383, prime
// 0x100000001b3; NULL hashes like "".  Bucket = hash % 4096.
uint64_t pk_hash_string(const char* text);

int pk_latest_map_init(Table* table);
void pk_latest_map_clear(Table* table);
// Records row as newest version of row->key unless its seq is lower than the
// stored one (equal seq replaces).  Allocation failure leaves the key out and
// marks the map incomplete.  A map not yet allocated is first built from the
// whole chain, so older versions already linked are not lost.
void pk_latest_map_update(Table* table, VersionedRow* row);
VersionedRow* pk_latest_map_get(Table* table, const char* key);
// The map's entry of key, or NULL.
PkLatestEntry* pk_latest_map_entry(Table* table, const char* key);
// pk_latest_map_update for a key the caller has just found absent from the
// initialised map (no change to the map since): puts the entry at the head of
// its bucket without looking the key up, exactly where the update would.
// Falls back to pk_latest_map_update when the map is not initialised.
void pk_latest_map_insert_absent(Table* table, VersionedRow* row);
// 1 when the map holds every key of the chain, so a miss means "no version".
int pk_latest_map_complete(const Table* table);
// clear + init + update for every version of the chain, newest first.
int pk_latest_map_rebuild(Table* table);

// 0 when the n keys are pairwise distinct, else -1 "duplicate primary key in
// batch" ("oom" when the sort array cannot be allocated).
int batch_check_duplicate_keys(const char* const* keys, int n, char* err, size_t errlen);
