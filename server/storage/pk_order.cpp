// Ordered tree of the primary-key map's entries. See pk_order.h.
#include "storage/pk_order.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <string>

#include "base/json_text.h"
#include "storage/ident.h"
#include "storage/pk_map.h"
#include "storage/row_version.h"
#include "storage/table.h"

namespace {

// What the comparison of rows sees of a key: its number (int, timestamp,
// bool), or its text (string).
struct KeyValue {
    long num = 0;
    const char* text = "";
};

struct Item {
    long num;
    PkLatestEntry* entry;
};

bool numeric_type(int type) { return type != COL_TYPE_STRING; }

long bool_value(const char* s) { return (!strcasecmp(s, "true") || !strcmp(s, "1")) ? 1 : 0; }

// -1, 0, 1 of a against b under the tree's type.
int compare_values(int type, long an, const char* at, long bn, const char* bt) {
    if (numeric_type(type)) return an < bn ? -1 : (an > bn ? 1 : 0);
    int c = strcmp(at, bt);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

struct ItemLess {
    using is_transparent = void;
    int type;
    bool operator()(const Item& a, const Item& b) const {
        int c = compare_values(type, a.num, a.entry->key, b.num, b.entry->key);
        // Keys that compare equal (counted as ties) still both have a place.
        return c != 0 ? c < 0 : strcmp(a.entry->key, b.entry->key) < 0;
    }
    bool operator()(const Item& a, const KeyValue& b) const {
        return compare_values(type, a.num, a.entry->key, b.num, b.text) < 0;
    }
    bool operator()(const KeyValue& a, const Item& b) const {
        return compare_values(type, a.num, a.text, b.num, b.entry->key) < 0;
    }
};

bool supported_type(int type) {
    return type == COL_TYPE_INT || type == COL_TYPE_TIMESTAMP || type == COL_TYPE_BOOL ||
           type == COL_TYPE_STRING;
}

int key_column_type(const Table* t) {
    int c = schema_get_col(&t->schema, t->schema.primary_key);
    return c >= 0 ? t->schema.columns[c].type : -1;
}

long key_number(int type, const char* key) {
    if (type == COL_TYPE_BOOL) return bool_value(key);
    return numeric_type(type) ? strtol(key, nullptr, 10) : 0;
}

}  // namespace

struct PkOrder {
    explicit PkOrder(int t) : type(t), items(ItemLess{t}) {}
    int type;
    std::set<Item, ItemLess> items;
    uint64_t ties = 0;     // entries added next to one that compares equal
    uint64_t escaped = 0;  // string keys stored with an escape in their member
    bool off = false;      // an addition failed: the tree misses entries
};

void pk_order_free(PkOrder* order) { delete order; }

void pk_order_add(Table* table, PkLatestEntry* entry) {
    if (!table || !entry) return;
    PkLatestMap& m = table->pk_map;
    if (!m.order) {
        // The tree starts with the map's first entry; a map that already
        // holds entries without it stays without one until it is cleared.
        const int type = key_column_type(table);
        if (m.entry_count != 1 || !supported_type(type)) return;
        m.order = new (std::nothrow) PkOrder(type);
        if (!m.order) return;
    }
    PkOrder& o = *m.order;
    if (o.off) return;
    try {
        auto [it, added] = o.items.insert(Item{key_number(o.type, entry->key), entry});
        if (!added) return;
        auto equal = [&](const Item& other) {
            return compare_values(o.type, it->num, it->entry->key, other.num, other.entry->key) ==
                   0;
        };
        auto next = std::next(it);
        if ((next != o.items.end() && equal(*next)) ||
            (it != o.items.begin() && equal(*std::prev(it))))
            ++o.ties;
    } catch (...) {
        o.off = true;
        o.items.clear();
    }
}

void pk_order_note_version(Table* table, const VersionedRow* row) {
    PkOrder* o = table ? table->pk_map.order : nullptr;
    if (!o || o->type != COL_TYPE_STRING || !row || !row->json || !strchr(row->json, '\\')) return;
    char* raw = nullptr;
    if (json_extract_raw(row->json, table->schema.primary_key, &raw) != 0 || !raw ||
        strchr(raw, '\\'))
        ++o->escaped;
    free(raw);
}

int pk_order_usable(const Table* table) {
    if (!table || !pk_latest_map_complete(table)) return 0;
    const PkOrder* o = table->pk_map.order;
    if (!o || o->off || o->ties || o->escaped) return 0;
    if (o->items.size() != table->pk_map.entry_count) return 0;
    return key_column_type(table) == o->type;
}

int pk_order_visit(const Table* table, const PkBound* bounds, int bound_count, bool desc,
                   const std::function<int(PkLatestEntry*)>& fn) {
    const PkOrder& o = *table->pk_map.order;
    using Iter = std::set<Item, ItemLess>::const_iterator;
    const Iter end = o.items.end();
    const auto& less = o.items.key_comp();
    auto later = [&](Iter a, Iter b) { return a == end ? a : b == end ? b : less(*a, *b) ? b : a; };
    auto earlier = [&](Iter a, Iter b) {
        return a == end ? b : b == end ? a : less(*a, *b) ? a : b;
    };
    // The range is [lo, hi): each lower bound moves lo up, each upper one hi down.
    Iter lo = o.items.begin(), hi = end;
    for (int i = 0; i < bound_count; ++i) {
        const PkBound& b = bounds[i];
        // A null operand makes every comparison false.
        if (is_json_null_token(b.operand)) return 0;
        std::string s = b.operand;
        strip_sql_or_json_quotes(s.data());
        KeyValue v;
        v.text = s.c_str();
        if (o.type == COL_TYPE_BOOL)
            v.num = bool_value(v.text);
        else if (numeric_type(o.type))
            v.num = strtol(v.text, nullptr, 10);
        if (!strcmp(b.op, "=")) {
            lo = later(lo, o.items.lower_bound(v));
            hi = earlier(hi, o.items.upper_bound(v));
        } else if (!strcmp(b.op, ">=")) {
            lo = later(lo, o.items.lower_bound(v));
        } else if (!strcmp(b.op, ">")) {
            lo = later(lo, o.items.upper_bound(v));
        } else if (!strcmp(b.op, "<=")) {
            hi = earlier(hi, o.items.upper_bound(v));
        } else if (!strcmp(b.op, "<")) {
            hi = earlier(hi, o.items.lower_bound(v));
        }
    }
    if (lo == end || (hi != end && !less(*lo, *hi))) return 0;
    if (!desc) {
        for (Iter it = lo; it != hi; ++it)
            if (int r = fn(it->entry)) return r;
    } else {
        for (Iter it = hi; it != lo;) {
            --it;
            if (int r = fn(it->entry)) return r;
        }
    }
    return 0;
}
