// Index definitions and the in-memory secondary-index maps.
//
// Invariant: each primary key occurs at most once on the key side and, under
// its current value, in exactly one value entry's key list; a value entry
// with an empty key list does not exist.
#include "storage/sec_index.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/text_util.h"
#include "storage/hash_slots.h"
#include "storage/pk_map.h"
#include "storage/sec_order.h"
#include "storage/table.h"

void indexdef_init(IndexDef* def) {
    if (!def) return;
    memset(def, 0, sizeof *def);
    snprintf(def->method, sizeof def->method, "btree");
    def->fillfactor = 100;
    def->deduplicate_items = 1;
}

void indexdef_ensure_defaults(IndexDef* def) {
    if (!def) return;
    def->name[sizeof def->name - 1] = '\0';
    def->column[sizeof def->column - 1] = '\0';
    def->method[sizeof def->method - 1] = '\0';
    if (!def->method[0]) snprintf(def->method, sizeof def->method, "btree");
    if (def->fillfactor < 1) def->fillfactor = 100;
    def->unique = def->unique ? 1 : 0;
    if (def->column_count < 1 && def->column[0]) {
        def->column_count = 1;
        memcpy(def->columns[0].name, def->column, sizeof def->column);
        def->columns[0].ascending = 1;
        def->columns[0].nulls_first = 0;
    }
    // Stored counts above 8 are kept as read; only 8 columns exist.
    int n =
        def->column_count < KYREL_MAX_INDEX_COLUMNS ? def->column_count : KYREL_MAX_INDEX_COLUMNS;
    for (int i = 0; i < n; ++i) {
        IndexColumn& c = def->columns[i];
        c.name[sizeof c.name - 1] = '\0';
        if (i == 0 && !c.name[0] && def->column[0]) memcpy(c.name, def->column, sizeof c.name);
        if (c.ascending) c.ascending = 1;
        if (c.nulls_first) c.nulls_first = 1;
    }
    if (!def->column[0] && def->column_count > 0)
        memcpy(def->column, def->columns[0].name, sizeof def->column);
}

const char* index_direction_name(int flag) { return flag ? "ASC" : "DESC"; }
const char* index_nulls_name(int flag) { return flag ? "FIRST" : "LAST"; }

namespace {

bool map_ready(const SecIndexMap* map) {
    return map && map->enabled && map->value_buckets && map->key_buckets && map->value_slots &&
           map->value_bucket_count && map->key_bucket_count && map->value_slot_count;
}

// A block holding a T followed by a copy of text; *field points at the copy.
template <typename T>
T* alloc_with_text(const char* text, char* T::*field) {
    const size_t n = strlen(text);
    T* p = static_cast<T*>(malloc(sizeof(T) + n + 1));
    if (!p) return nullptr;
    p->*field = reinterpret_cast<char*>(p + 1);
    memcpy(p->*field, text, n + 1);
    return p;
}

SecIndexKeyEntry* find_key_entry(const SecIndexMap* map, const char* key, uint64_t h) {
    return hash_slots_find<SecIndexKeyEntry, &SecIndexKeyEntry::next>(
        map->key_buckets, map->key_bucket_count, h,
        [key](const SecIndexKeyEntry* e) { return strcmp(e->key, key) == 0; });
}

SecIndexKeyEntry* find_key_entry(const SecIndexMap* map, const char* key) {
    return find_key_entry(map, key, pk_hash_string(key));
}

SecIndexValueEntry* find_value_entry(const SecIndexMap* map, const char* value, uint64_t h) {
    return hash_slots_find<SecIndexValueEntry, &SecIndexValueEntry::slot_next>(
        map->value_slots, map->value_slot_count, h,
        [value](const SecIndexValueEntry* e) { return strcmp(e->value, value) == 0; });
}

// A new value entry with no keys yet, at the head of its bucket and in the
// lookup table; NULL when memory runs out.
SecIndexValueEntry* new_value_entry(SecIndexMap* map, const char* value, uint64_t h) {
    SecIndexValueEntry* v = alloc_with_text(value, &SecIndexValueEntry::value);
    if (!v) return nullptr;
    v->keys = nullptr;
    v->hash = h;
    SecIndexValueEntry** head = &map->value_buckets[h % map->value_bucket_count];
    v->next = *head;
    if (v->next) v->next->link = &v->next;
    v->link = head;
    *head = v;
    map->value_count++;
    if (strchr(value, '\\')) map->escaped_values++;
    sec_order_add(map, v);
    hash_slots_link<SecIndexValueEntry, &SecIndexValueEntry::slot_next>(
        &map->value_slots, &map->value_slot_count, v, map->value_count);
    return v;
}

// Unlinks and frees v when its key list is empty: no value entry is left
// without keys.
void drop_value_if_empty(SecIndexMap* map, SecIndexValueEntry* v) {
    if (v->keys) return;
    *v->link = v->next;
    if (v->next) v->next->link = v->link;
    hash_slots_unlink<SecIndexValueEntry, &SecIndexValueEntry::slot_next>(map->value_slots,
                                                                          map->value_slot_count, v);
    if (strchr(v->value, '\\') && map->escaped_values) map->escaped_values--;
    sec_order_remove(map, v);
    free(v);
    if (map->value_count) map->value_count--;
}

// A node for key at the head of value's list, creating the value entry when
// needed; NULL when memory runs out, with the map as it was.
SecIndexKeyNode* add_node(SecIndexMap* map, const char* value, const char* key) {
    const uint64_t h = pk_hash_string(value);
    SecIndexValueEntry* v = find_value_entry(map, value, h);
    if (!v && !(v = new_value_entry(map, value, h))) return nullptr;
    SecIndexKeyNode* k = alloc_with_text(key, &SecIndexKeyNode::key);
    if (!k) {
        drop_value_if_empty(map, v);
        return nullptr;
    }
    k->owner = v;
    k->next = v->keys;
    if (k->next) k->next->link = &k->next;
    k->link = &v->keys;
    v->keys = k;
    return k;
}

// Unlinks and frees the node, and its value entry when that was its last key.
void remove_node(SecIndexMap* map, SecIndexKeyNode* k) {
    SecIndexValueEntry* v = k->owner;
    *k->link = k->next;
    if (k->next) k->next->link = k->link;
    free(k);
    drop_value_if_empty(map, v);
}

}  // namespace

int sec_index_map_init(SecIndexMap* map) {
    if (!map) return -1;
    if (map_ready(map)) return 0;
    SecIndexValueEntry** vb = hash_slots_alloc<SecIndexValueEntry>(SEC_INDEX_BUCKETS);
    SecIndexValueEntry** vs = hash_slots_alloc<SecIndexValueEntry>(HASH_SLOTS_INITIAL);
    SecIndexKeyEntry** kb = hash_slots_alloc<SecIndexKeyEntry>(HASH_SLOTS_INITIAL);
    if (!vb || !vs || !kb) {
        free(vb);
        free(vs);
        free(kb);
        memset(map, 0, sizeof *map);
        return -1;
    }
    sec_index_map_clear(map);  // drops any half-made state
    map->value_buckets = vb;
    map->value_slots = vs;
    map->key_buckets = kb;
    map->value_bucket_count = SEC_INDEX_BUCKETS;
    map->value_slot_count = HASH_SLOTS_INITIAL;
    map->key_bucket_count = HASH_SLOTS_INITIAL;
    map->value_count = 0;
    map->key_count = 0;
    map->enabled = 1;
    return 0;
}

void sec_index_map_clear(SecIndexMap* map) {
    if (!map) return;
    if (map->value_buckets) {
        for (uint64_t b = 0; b < map->value_bucket_count; ++b) {
            SecIndexValueEntry* v = map->value_buckets[b];
            while (v) {
                SecIndexValueEntry* vn = v->next;
                SecIndexKeyNode* k = v->keys;
                while (k) {
                    SecIndexKeyNode* kn = k->next;
                    free(k);  // the key lives in the same block
                    k = kn;
                }
                free(v);
                v = vn;
            }
        }
        free(map->value_buckets);
    }
    if (map->key_buckets) {
        for (uint64_t b = 0; b < map->key_bucket_count; ++b) {
            SecIndexKeyEntry* k = map->key_buckets[b];
            while (k) {
                SecIndexKeyEntry* kn = k->next;
                free(k->value);
                free(k);
                k = kn;
            }
        }
        free(map->key_buckets);
    }
    free(map->value_slots);
    sec_order_free(map->order);
    memset(map, 0, sizeof *map);
}

void sec_index_maps_clear_all(Table* table) {
    if (!table) return;
    for (int i = 0; i < KYREL_MAX_INDEXES; ++i) sec_index_map_clear(&table->sec_maps[i]);
}

SecIndexValueEntry* sec_index_find_value_entry(SecIndexMap* map, const char* value) {
    if (!map_ready(map) || !value) return nullptr;
    return find_value_entry(map, value, pk_hash_string(value));
}

int sec_index_value_add_key(SecIndexMap* map, const char* value, const char* key) {
    if (!map_ready(map) || !value || !key) return -1;
    SecIndexKeyEntry* ke = find_key_entry(map, key);
    if (ke && ke->node && strcmp(ke->node->owner->value, value) == 0) return 0;
    if (SecIndexValueEntry* v = sec_index_find_value_entry(map, value))
        for (SecIndexKeyNode* k = v->keys; k; k = k->next)
            if (strcmp(k->key, key) == 0) return 0;
    SecIndexKeyNode* k = add_node(map, value, key);
    if (!k) return -1;
    // A key taken out of its value's list by sec_index_value_remove_key gets
    // its node back.
    if (ke && !ke->node && strcmp(ke->value, value) == 0) ke->node = k;
    return 0;
}

void sec_index_value_remove_key(SecIndexMap* map, const char* value, const char* key) {
    if (!map_ready(map) || !value || !key) return;
    SecIndexKeyEntry* ke = find_key_entry(map, key);
    if (ke && ke->node && strcmp(ke->node->owner->value, value) == 0) {
        SecIndexKeyNode* k = ke->node;
        ke->node = nullptr;
        remove_node(map, k);
        return;
    }
    // A node no key entry refers to (put there by sec_index_value_add_key).
    SecIndexValueEntry* v = sec_index_find_value_entry(map, value);
    for (SecIndexKeyNode* k = v ? v->keys : nullptr; k; k = k->next) {
        if (strcmp(k->key, key) == 0) {
            remove_node(map, k);
            return;
        }
    }
}

int sec_index_map_set(SecIndexMap* map, const char* key, const char* value) {
    if (!map || !key || !value) return -1;
    if (!map_ready(map) && sec_index_map_init(map) != 0) return -1;
    const uint64_t h = pk_hash_string(key);
    SecIndexKeyEntry* ke = find_key_entry(map, key, h);
    if (ke) {
        if (strcmp(ke->value, value) == 0) {
            if (!ke->node) ke->node = add_node(map, value, key);
            return ke->node ? 0 : -1;
        }
        char* copy = xstrdup(value);
        if (!copy) return -1;
        SecIndexKeyNode* k = add_node(map, value, key);
        if (!k) {
            free(copy);
            return -1;
        }
        // The key is in the new value's list before it leaves the old one, so a
        // failure above leaves the map as it was.
        if (ke->node) remove_node(map, ke->node);
        ke->node = k;
        free(ke->value);
        ke->value = copy;
        return 0;
    }
    ke = alloc_with_text(key, &SecIndexKeyEntry::key);
    if (!ke) return -1;
    ke->hash = h;
    ke->value = xstrdup(value);
    ke->node = ke->value ? add_node(map, value, key) : nullptr;
    if (!ke->node) {
        free(ke->value);
        free(ke);
        return -1;
    }
    map->key_count++;
    hash_slots_link<SecIndexKeyEntry, &SecIndexKeyEntry::next>(
        &map->key_buckets, &map->key_bucket_count, ke, map->key_count);
    return 0;
}

const char* sec_index_map_get_value(SecIndexMap* map, const char* key) {
    if (!map_ready(map) || !key) return nullptr;
    SecIndexKeyEntry* ke = find_key_entry(map, key);
    return ke ? ke->value : nullptr;
}

void sec_index_map_remove(SecIndexMap* map, const char* key) {
    if (!map_ready(map) || !key) return;
    SecIndexKeyEntry* ke = find_key_entry(map, key);
    if (!ke) return;
    if (ke->node) remove_node(map, ke->node);
    hash_slots_unlink<SecIndexKeyEntry, &SecIndexKeyEntry::next>(map->key_buckets,
                                                                 map->key_bucket_count, ke);
    free(ke->value);
    free(ke);
    if (map->key_count) map->key_count--;
}

void sec_index_remove_key_all(Table* table, const char* key) {
    if (!table || !key) return;
    int n = table->index_count < KYREL_MAX_INDEXES ? table->index_count : KYREL_MAX_INDEXES;
    for (int i = 0; i < n; ++i) sec_index_map_remove(&table->sec_maps[i], key);
}

void sec_index_maps_mark_invalid(Table* table) {
    if (!table) return;
    sec_index_maps_clear_all(table);
    table->sec_maps_invalid = 1;
}

void sec_index_maps_mark_valid(Table* table) {
    if (table) table->sec_maps_invalid = 0;
}

int sec_index_map_usable(const Table* table, int index) {
    if (!table || index < 0 || index >= KYREL_MAX_INDEXES || index >= table->index_count) return 0;
    if (table->sec_maps_invalid) return 0;
    return map_ready(&table->sec_maps[index]) ? 1 : 0;
}
