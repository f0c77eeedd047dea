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
#include "storage/pk_map.h"
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

int sec_index_map_init(SecIndexMap* map) {
    if (!map) return -1;
    if (map->enabled && map->value_buckets && map->key_buckets) return 0;
    SecIndexValueEntry** vb =
        (SecIndexValueEntry**)calloc(SEC_INDEX_BUCKETS, sizeof(SecIndexValueEntry*));
    SecIndexKeyEntry** kb =
        (SecIndexKeyEntry**)calloc(SEC_INDEX_BUCKETS, sizeof(SecIndexKeyEntry*));
    if (!vb || !kb) {
        free(vb);
        free(kb);
        memset(map, 0, sizeof *map);
        return -1;
    }
    sec_index_map_clear(map);  // drops any half-made state
    map->value_buckets = vb;
    map->key_buckets = kb;
    map->value_bucket_count = SEC_INDEX_BUCKETS;
    map->key_bucket_count = SEC_INDEX_BUCKETS;
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
                    free(k->key);
                    free(k);
                    k = kn;
                }
                free(v->value);
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
                free(k->key);
                free(k->value);
                free(k);
                k = kn;
            }
        }
        free(map->key_buckets);
    }
    memset(map, 0, sizeof *map);
}

void sec_index_maps_clear_all(Table* table) {
    if (!table) return;
    for (int i = 0; i < KYREL_MAX_INDEXES; ++i) sec_index_map_clear(&table->sec_maps[i]);
}

namespace {

bool map_ready(const SecIndexMap* map) {
    return map && map->enabled && map->value_buckets && map->key_buckets &&
           map->value_bucket_count && map->key_bucket_count;
}

SecIndexKeyEntry* find_key_entry(SecIndexMap* map, const char* key, SecIndexKeyEntry*** link) {
    uint64_t b = pk_hash_string(key) % map->key_bucket_count;
    SecIndexKeyEntry** pp = &map->key_buckets[b];
    for (; *pp; pp = &(*pp)->next) {
        if (strcmp((*pp)->key, key) == 0) {
            if (link) *link = pp;
            return *pp;
        }
    }
    if (link) *link = &map->key_buckets[b];
    return nullptr;
}

}  // namespace

SecIndexValueEntry* sec_index_find_value_entry(SecIndexMap* map, const char* value) {
    if (!map_ready(map) || !value) return nullptr;
    uint64_t b = pk_hash_string(value) % map->value_bucket_count;
    for (SecIndexValueEntry* v = map->value_buckets[b]; v; v = v->next)
        if (strcmp(v->value, value) == 0) return v;
    return nullptr;
}

int sec_index_value_add_key(SecIndexMap* map, const char* value, const char* key) {
    if (!map_ready(map) || !value || !key) return -1;
    SecIndexValueEntry* v = sec_index_find_value_entry(map, value);
    bool created = false;
    if (!v) {
        v = (SecIndexValueEntry*)calloc(1, sizeof *v);
        if (!v) return -1;
        v->value = xstrdup2(value);
        if (!v->value) {
            free(v);
            return -1;
        }
        created = true;
    } else {
        for (SecIndexKeyNode* k = v->keys; k; k = k->next)
            if (strcmp(k->key, key) == 0) return 0;
    }
    SecIndexKeyNode* node = (SecIndexKeyNode*)malloc(sizeof *node);
    char* kcopy = node ? xstrdup2(key) : nullptr;
    if (!node || !kcopy) {
        free(node);
        if (created) {
            free(v->value);
            free(v);
        }
        return -1;
    }
    node->key = kcopy;
    node->next = v->keys;
    v->keys = node;
    if (created) {
        uint64_t b = pk_hash_string(value) % map->value_bucket_count;
        v->next = map->value_buckets[b];
        map->value_buckets[b] = v;
        map->value_count++;
    }
    return 0;
}

void sec_index_value_remove_key(SecIndexMap* map, const char* value, const char* key) {
    if (!map_ready(map) || !value || !key) return;
    uint64_t b = pk_hash_string(value) % map->value_bucket_count;
    SecIndexValueEntry** vp = &map->value_buckets[b];
    while (*vp && strcmp((*vp)->value, value) != 0) vp = &(*vp)->next;
    if (!*vp) return;
    SecIndexValueEntry* v = *vp;
    for (SecIndexKeyNode** kp = &v->keys; *kp; kp = &(*kp)->next) {
        if (strcmp((*kp)->key, key) == 0) {
            SecIndexKeyNode* dead = *kp;
            *kp = dead->next;
            free(dead->key);
            free(dead);
            break;
        }
    }
    if (!v->keys) {
        *vp = v->next;
        free(v->value);
        free(v);
        if (map->value_count) map->value_count--;
    }
}

int sec_index_map_set(SecIndexMap* map, const char* key, const char* value) {
    if (!map || !key || !value) return -1;
    if (!map_ready(map) && sec_index_map_init(map) != 0) return -1;
    SecIndexKeyEntry** link = nullptr;
    SecIndexKeyEntry* ke = find_key_entry(map, key, &link);
    if (ke) {
        if (strcmp(ke->value, value) == 0) return sec_index_value_add_key(map, value, key);
        char* copy = xstrdup2(value);
        if (!copy) return -1;
        if (sec_index_value_add_key(map, value, key) != 0) {
            free(copy);
            return -1;
        }
        // The key is in the new value's list before it leaves the old one, so a
        // failure above leaves the map as it was.
        sec_index_value_remove_key(map, ke->value, key);
        free(ke->value);
        ke->value = copy;
        return 0;
    }
    ke = (SecIndexKeyEntry*)malloc(sizeof *ke);
    if (!ke) return -1;
    ke->key = xstrdup2(key);
    ke->value = xstrdup2(value);
    if (!ke->key || !ke->value || sec_index_value_add_key(map, value, key) != 0) {
        free(ke->key);
        free(ke->value);
        free(ke);
        return -1;
    }
    ke->next = *link;
    *link = ke;
    map->key_count++;
    return 0;
}

const char* sec_index_map_get_value(SecIndexMap* map, const char* key) {
    if (!map_ready(map) || !key) return nullptr;
    SecIndexKeyEntry* ke = find_key_entry(map, key, nullptr);
    return ke ? ke->value : nullptr;
}

void sec_index_map_remove(SecIndexMap* map, const char* key) {
    if (!map_ready(map) || !key) return;
    SecIndexKeyEntry** link = nullptr;
    SecIndexKeyEntry* ke = find_key_entry(map, key, &link);
    if (!ke) return;
    sec_index_value_remove_key(map, ke->value, key);
    *link = ke->next;
    free(ke->key);
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
