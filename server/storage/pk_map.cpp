// Primary-key map: the newest version of each key of a table.
#include "storage/pk_map.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/err.h"
#include "storage/hash_slots.h"
#include "storage/pk_order.h"
#include "storage/row_version.h"
#include "storage/table.h"

uint64_t pk_hash_string(const char* text) {
    uint64_t h = 0x14650fb0739d0383ULL;
    if (!text) return h;
    for (const unsigned char* p = (const unsigned char*)text; *p; ++p) {
        h ^= *p;
        h *= 0x100000001b3ULL;
    }
    return h;
}

int pk_latest_map_init(Table* table) {
    if (!table) return -1;
    PkLatestMap& m = table->pk_map;
    if (m.buckets && m.bucket_count) return 0;
    m.buckets = hash_slots_alloc<PkLatestEntry>(PK_MAP_BUCKETS);
    m.slots = hash_slots_alloc<PkLatestEntry>(HASH_SLOTS_INITIAL);
    if (!m.buckets || !m.slots) {
        free(m.buckets);
        free(m.slots);
        m.buckets = nullptr;
        m.slots = nullptr;
        m.bucket_count = 0;
        m.slot_count = 0;
        m.entry_count = 0;
        return -1;
    }
    m.bucket_count = PK_MAP_BUCKETS;
    m.slot_count = HASH_SLOTS_INITIAL;
    m.entry_count = 0;
    m.incomplete = 0;
    return 0;
}

void pk_latest_map_clear(Table* table) {
    if (!table) return;
    PkLatestMap& m = table->pk_map;
    if (m.buckets) {
        for (uint64_t b = 0; b < m.bucket_count; ++b) {
            PkLatestEntry* e = m.buckets[b];
            while (e) {
                PkLatestEntry* next = e->next;
                free(e);  // the key lives in the same block
                e = next;
            }
        }
        free(m.buckets);
    }
    free(m.slots);
    pk_order_free(m.order);
    m.order = nullptr;
    m.buckets = nullptr;
    m.slots = nullptr;
    m.bucket_count = 0;
    m.slot_count = 0;
    m.entry_count = 0;
    m.births = 0;
    m.incomplete = 0;
}

namespace {

PkLatestEntry* find_entry(const PkLatestMap& m, const char* key, uint64_t h) {
    return hash_slots_find<PkLatestEntry, &PkLatestEntry::slot_next>(
        m.slots, m.slot_count, h,
        [key](const PkLatestEntry* e) { return strcmp(e->key, key) == 0; });
}

// New entry for a key not in the map: one block, the entry followed by its
// key text, linked at the head of its bucket and into the lookup table.
void insert_new(Table* table, uint64_t h, VersionedRow* row) {
    PkLatestMap& m = table->pk_map;
    const size_t klen = strlen(row->key);
    PkLatestEntry* e = (PkLatestEntry*)malloc(sizeof(PkLatestEntry) + klen + 1);
    if (!e) {
        m.incomplete = 1;
        return;
    }
    e->key = reinterpret_cast<char*>(e + 1);
    memcpy(e->key, row->key, klen + 1);
    e->hash = h;
    e->row = row;
    e->birth = ++m.births;
    PkLatestEntry** head = &m.buckets[h % m.bucket_count];
    e->next = *head;
    *head = e;
    m.entry_count++;
    hash_slots_link<PkLatestEntry, &PkLatestEntry::slot_next>(&m.slots, &m.slot_count, e,
                                                              m.entry_count);
    pk_order_add(table, e);
}

}  // namespace

void pk_latest_map_update(Table* table, VersionedRow* row) {
    if (!table || !row || !row->key) return;
    if (!table->pk_map.buckets) {
        // Older versions may already be in the chain: index all of them,
        // then record this row (a no-op when it was linked already).
        if (pk_latest_map_rebuild(table) != 0) return;
    }
    PkLatestMap& m = table->pk_map;
    const uint64_t h = pk_hash_string(row->key);
    if (PkLatestEntry* e = find_entry(m, row->key, h)) {
        if (!e->row || row->seq >= e->row->seq) e->row = row;
    } else {
        insert_new(table, h, row);
    }
    pk_order_note_version(table, row);
}

void pk_latest_map_insert_absent(Table* table, VersionedRow* row) {
    if (!table || !row || !row->key) return;
    PkLatestMap& m = table->pk_map;
    if (!m.buckets || !m.bucket_count) {
        pk_latest_map_update(table, row);
        return;
    }
    insert_new(table, pk_hash_string(row->key), row);
    pk_order_note_version(table, row);
}

PkLatestEntry* pk_latest_map_entry(Table* table, const char* key) {
    if (!table || !key || !table->pk_map.buckets || !table->pk_map.bucket_count) return nullptr;
    return find_entry(table->pk_map, key, pk_hash_string(key));
}

VersionedRow* pk_latest_map_get(Table* table, const char* key) {
    PkLatestEntry* e = pk_latest_map_entry(table, key);
    return e ? e->row : nullptr;
}

int pk_latest_map_complete(const Table* table) {
    return table && table->pk_map.buckets && table->pk_map.bucket_count &&
           !table->pk_map.incomplete;
}

int pk_latest_map_rebuild(Table* table) {
    if (!table) return -1;
    pk_latest_map_clear(table);
    if (pk_latest_map_init(table) != 0) return -1;
    for (VersionedRow* r = table->rows; r; r = r->next) pk_latest_map_update(table, r);
    return 0;
}

int batch_check_duplicate_keys(const char* const* keys, int n, char* err, size_t errlen) {
    if (n < 2 || !keys) return 0;
    auto dup = [&]() {
        set_err(err, errlen, "duplicate primary key in batch");
        return -1;
    };
    if (n <= 16) {  // pairwise below, sorted above: n log n strcmp against n*n/2
        for (int i = 1; i < n; ++i)
            for (int j = 0; j < i; ++j)
                if (strcmp(keys[i], keys[j]) == 0) return dup();
        return 0;
    }
    const char** sorted = (const char**)malloc(sizeof(const char*) * (size_t)n);
    if (!sorted) {
        set_err(err, errlen, "oom");
        return -1;
    }
    memcpy(sorted, keys, sizeof(const char*) * (size_t)n);
    std::sort(sorted, sorted + n, [](const char* a, const char* b) { return strcmp(a, b) < 0; });
    int rc = 0;
    for (int i = 1; i < n && rc == 0; ++i)
        if (strcmp(sorted[i - 1], sorted[i]) == 0) rc = dup();
    free(sorted);
    return rc;
}
