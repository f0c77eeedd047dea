// Ordered tree of the primary-key map's entries. See pk_order.h.
#include "storage/pk_order.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "base/json_text.h"
#include "storage/ident.h"
#include "storage/order_tree.h"
#include "storage/pk_map.h"
#include "storage/row_version.h"
#include "storage/table.h"

namespace {

int key_column_type(const Table* t) {
    int c = schema_get_col(&t->schema, t->schema.primary_key);
    return c >= 0 ? t->schema.columns[c].type : -1;
}

}  // namespace

struct PkOrder {
    explicit PkOrder(int type) : tree(type, false) {}
    OrderTree<PkLatestEntry, &PkLatestEntry::key> tree;
    uint64_t escaped = 0;  // string keys stored with an escape in their member
};

void pk_order_free(PkOrder* order) { delete order; }

void pk_order_add(Table* table, PkLatestEntry* entry) {
    if (!table || !entry) return;
    PkLatestMap& m = table->pk_map;
    if (!m.order) {
        // The tree starts with the map's first entry; a map that already
        // holds entries without it stays without one until it is cleared.
        // A double key has no single text per number (-0 and 0, digits
        // beyond a double's), so it has no tree.
        const int type = key_column_type(table);
        if (m.entry_count != 1 || type == COL_TYPE_DOUBLE ||
            !OrderTree<PkLatestEntry, &PkLatestEntry::key>::supported(type))
            return;
        m.order = new (std::nothrow) PkOrder(type);
        if (!m.order) return;
    }
    m.order->tree.add(entry);
}

void pk_order_note_version(Table* table, const VersionedRow* row) {
    PkOrder* o = table ? table->pk_map.order : nullptr;
    if (!o || o->tree.type() != COL_TYPE_STRING || !row || !row->json || !strchr(row->json, '\\'))
        return;
    char* raw = nullptr;
    if (json_extract_raw(row->json, table->schema.primary_key, &raw) != 0 || !raw ||
        strchr(raw, '\\'))
        ++o->escaped;
    free(raw);
}

int pk_order_usable(const Table* table) {
    if (!table || !pk_latest_map_complete(table)) return 0;
    const PkOrder* o = table->pk_map.order;
    if (!o || !o->tree.usable() || o->escaped) return 0;
    if (o->tree.size() != table->pk_map.entry_count) return 0;
    return key_column_type(table) == o->tree.type();
}

int pk_order_visit(const Table* table, const OrderBound* bounds, int bound_count, bool desc,
                   const std::function<int(PkLatestEntry*)>& fn) {
    return table->pk_map.order->tree.visit(bounds, bound_count, desc, fn);
}
