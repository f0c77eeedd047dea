// Ordered access to the primary-key map: every entry of the map also sits in
// an ordered tree keyed by the key's value under the column type's comparison
// (numbers by value, texts byte-wise), so that a range of keys, and the keys
// in order, are found without visiting the whole map.
//
// The tree is built as keys enter the map (pk_map.cpp calls pk_order_add) and
// freed with it; map entries never leave the map except all at once, so every
// path that fills the map (writes, loading, rebuilds after a checkpoint)
// keeps the tree complete. It serves only where its order is exactly the one
// the comparison of stored rows gives (pk_order_usable): int, timestamp, bool
// and string keys, no two keys that compare equal, and for string keys no
// stored key member written with an escape (whose compared text then differs
// from the key). No lock of its own: guarded by the owning table's lock.
#pragma once

#include <cstdint>
#include <functional>

struct Table;
struct PkLatestEntry;
struct VersionedRow;

struct PkOrder;
struct OrderBound;

// Adds a new map entry to the table's tree (creating the tree with the first
// entry). Running out of memory switches the tree off until the map is
// cleared.
void pk_order_add(Table* table, PkLatestEntry* entry);
// Notes a version recorded for a key (an escaped string key turns the tree
// off for answering until the map is cleared).
void pk_order_note_version(Table* table, const VersionedRow* row);
// Frees the tree of the map (the map is being cleared).
void pk_order_free(PkOrder* order);

// 1 when the tree holds every key of the map in the order the comparison of
// the stored key members gives under the key column's current type.
int pk_order_usable(const Table* table);

// Calls fn for every map entry whose key satisfies all bounds, in key order
// (descending when desc is set). fn returns 0 to go on, 1 to stop, -1 for an
// error. The result is fn's last non-zero answer, else 0. The caller has
// checked pk_order_usable under the same hold of the table's lock.
int pk_order_visit(const Table* table, const OrderBound* bounds, int bound_count, bool desc,
                   const std::function<int(PkLatestEntry*)>& fn);
