// Ordered tree of a one-column index map's values. See sec_order.h.
#include "storage/sec_order.h"

#include <new>

#include "storage/order_tree.h"
#include "storage/sec_index.h"

struct SecOrder {
    explicit SecOrder(int type) : tree(type, type == COL_TYPE_STRING) {}
    OrderTree<SecIndexValueEntry, &SecIndexValueEntry::value> tree;
};

void sec_order_attach(SecIndexMap* map, int type) {
    if (!map || map->order || map->value_count != 0) return;
    if (!OrderTree<SecIndexValueEntry, &SecIndexValueEntry::value>::supported(type)) return;
    map->order = new (std::nothrow) SecOrder(type);
}

void sec_order_add(SecIndexMap* map, SecIndexValueEntry* value) {
    if (map && map->order) map->order->tree.add(value);
}

void sec_order_remove(SecIndexMap* map, SecIndexValueEntry* value) {
    if (map && map->order) map->order->tree.remove(value);
}

void sec_order_free(SecOrder* order) { delete order; }

int sec_order_usable(const SecIndexMap* map, int type) {
    if (!map || !map->order || !map->order->tree.usable()) return 0;
    if (map->order->tree.type() != type || map->order->tree.size() != map->value_count) return 0;
    return type != COL_TYPE_STRING || map->escaped_values == 0;
}

int sec_order_visit(const SecIndexMap* map, const OrderBound* bounds, int bound_count, bool desc,
                    const std::function<int(SecIndexValueEntry*)>& fn) {
    return map->order->tree.visit(bounds, bound_count, desc, fn);
}
