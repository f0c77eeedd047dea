// Ordered access to a one-column index map: every value entry of the map also
// sits in an ordered tree keyed by the value under the column type's
// comparison (storage/order_tree.h), so that the values within a range, and
// the values in order, are found without visiting every value.
//
// The tree is made with the map's first value (sec_order_attach, called by
// the index upkeep before a row is added) and follows every value entry made
// or dropped (sec_index.cpp); clearing the map frees it, and every rebuild
// refills map and tree together. No lock of its own: guarded by the owning
// table's lock.
#pragma once

#include <functional>

struct SecIndexMap;
struct SecIndexValueEntry;
struct SecOrder;
struct OrderBound;

// Gives a map that holds no value yet a tree for values of that column type
// (nothing for a type without one, or a map that already has a tree).
void sec_order_attach(SecIndexMap* map, int type);
void sec_order_add(SecIndexMap* map, SecIndexValueEntry* value);
void sec_order_remove(SecIndexMap* map, SecIndexValueEntry* value);
void sec_order_free(SecOrder* order);

// 1 when the map's tree holds every value of the map, ordered under type with
// no two values that compare equal, and (for strings) no value written with
// an escape, whose compared text then differs from its stored one.
int sec_order_usable(const SecIndexMap* map, int type);

// Calls fn for every value entry within the bounds, in order (descending when
// desc). fn returns 0 to go on, 1 to stop, -1 for an error. The result is
// fn's last non-zero answer, else 0, or ORDER_VISIT_CANNOT_SERVE (nothing
// visited). The caller has checked sec_order_usable under the same hold of
// the table's lock.
int sec_order_visit(const SecIndexMap* map, const OrderBound* bounds, int bound_count, bool desc,
                    const std::function<int(SecIndexValueEntry*)>& fn);
