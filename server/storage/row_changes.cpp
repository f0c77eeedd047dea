// Row changes: every change prepends a new version to the table's chain at a
// sequence number chosen by the caller, then brings the primary-key map, the
// secondary-index maps and the memory accounts up to date.
//
// Invariant: a failure before linking leaves the table exactly as it was and
// frees every version built. Unique checks run under the table's write lock
// before anything is linked; the WAL is never written under a table lock.
#include "storage/row_changes.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/err.h"
#include "base/owned.h"
#include "base/stats.h"
#include "base/text_util.h"
#include "storage/checkpoint.h"
#include "storage/ident.h"
#include "storage/index_file.h"
#include "storage/index_values.h"
#include "storage/pk_map.h"
#include "storage/row_version.h"
#include "storage/sec_index.h"
#include "storage/table.h"
#include "storage/wal.h"

namespace {

constexpr size_t PK_KEY_MAX = 2047;  // longest primary-key text the server handles

struct RowDeleter {
    void operator()(VersionedRow* r) const { versioned_row_free(r); }
};
using RowPtr = std::unique_ptr<VersionedRow, RowDeleter>;

Table* find_live_table(const char* name, char* err, size_t errlen) {
    int idx = name ? table_find_index(name) : -1;
    if (idx < 0) {
        set_err(err, errlen, "table not found");
        return nullptr;
    }
    return &g_tables[idx];
}

// The primary key of a stored row, never cut: a key too long for the rest of
// the server is refused rather than shortened into another row's key.
int extract_key(const Table* t, const char* row, std::string& key, char* err, size_t errlen) {
    size_t cap = strlen(row) + 2;
    std::unique_ptr<char[]> buf(new (std::nothrow) char[cap]);
    if (!buf) {
        set_err(err, errlen, "oom");
        return -1;
    }
    if (schema_get_pk_value(t, row, buf.get(), cap, err, errlen) != 0) return -1;
    if (strlen(buf.get()) > PK_KEY_MAX) {
        set_err(err, errlen, "primary key too long");
        return -1;
    }
    key.assign(buf.get());
    return 0;
}

// Links one version as the newest of its key. Caller holds the write lock.
void link_version_locked(Table* t, VersionedRow* v) {
    v->next = t->rows;
    t->rows = v;
    pk_latest_map_update(t, v);
    t->row_memory_bytes += v->mem_size;
}

}  // namespace

int table_apply_insert(const char* table_name, uint64_t seq, const char* row_json, char* err,
                       size_t errlen) {
    Table* t = find_live_table(table_name, err, errlen);
    if (!t) return -1;
    if (!row_json) {
        set_err(err, errlen, "missing primary key");
        return -1;
    }
    // Stored rows carry canonical typed values; the key is taken from them.
    char* canon_p = nullptr;
    if (schema_canonicalize_row_object(t, row_json, &canon_p, err, errlen) != 0) return -1;
    CStr canon(canon_p);
    std::string key;
    if (extract_key(t, canon.get(), key, err, errlen) != 0) return -1;
    RowPtr v(versioned_row_new(seq, key.c_str(), canon.get(), 0));
    if (!v) {
        set_err(err, errlen, "oom");
        return -1;
    }
    uint64_t mem = v->mem_size;
    {
        RwWriteGuard g(&t->lock);
        if (table_check_unique_constraints_for_row_locked(t, v->json, v->key, err, errlen) != 0)
            return -1;
        VersionedRow* row = v.release();
        link_version_locked(t, row);
        sec_index_update_for_row(t, row);
    }
    mem_add((int64_t)mem);
    return 0;
}

int table_apply_insert_batch_with_wal(const char* table_name, const char* const* rows,
                                      const char* const* keys, const uint64_t* seqs, int n,
                                      char* err, size_t errlen) {
    if (n < 1) return 0;
    if (!rows || !keys || !seqs) {
        set_err(err, errlen, "invalid insert batch");
        return -1;
    }
    Table* t = find_live_table(table_name, err, errlen);
    if (!t) return -1;
    for (int i = 0; i < n; i++) {
        if (!rows[i] || !keys[i]) {
            set_err(err, errlen, "invalid insert batch");
            return -1;
        }
    }

    std::vector<RowPtr> versions;
    uint64_t mem_total = 0;
    try {
        versions.reserve((size_t)n);
        for (int i = 0; i < n; i++) {
            RowPtr v(versioned_row_new(seqs[i], keys[i], rows[i], 0));
            if (!v) {
                set_err(err, errlen, "oom");
                return -1;
            }
            mem_total += v->mem_size;
            versions.push_back(std::move(v));
        }
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    if (batch_check_duplicate_keys(keys, n, err, errlen) != 0) return -1;

    // Held from the checks to the linking so that no checkpoint truncates the
    // log between the WAL write and the rows reaching memory.
    std::lock_guard<std::recursive_mutex> cp(g_checkpoint_lock);
    // absent[i]: the complete map proved keys[i] new, so linking it needs no
    // second chain walk, provided the map is unchanged by then.
    std::vector<char> absent((size_t)n, 0);
    const PkLatestEntry* const* map_buckets = nullptr;
    uint64_t map_entries = 0;
    {
        RwWriteGuard g(&t->lock);
        const bool complete = pk_latest_map_complete(t) != 0;
        for (int i = 0; i < n; i++) {
            const VersionedRow* cur = pk_latest_map_get(t, keys[i]);
            int deleted = 0;
            if (cur) {
                deleted = cur->deleted ? 1 : 0;
            } else if (complete) {
                absent[(size_t)i] = 1;
                continue;
            } else if (versioned_get_latest_json(t, keys[i], nullptr, nullptr, &deleted) != 0) {
                continue;
            }
            if (!deleted) {
                set_err(err, errlen, "duplicate primary key");
                return -1;
            }
        }
        map_buckets = t->pk_map.buckets;
        map_entries = t->pk_map.entry_count;
        if (table_check_unique_batch_constraints_locked(t, rows, keys, n, err, errlen) != 0)
            return -1;
    }

    if (wal_append_records_batch(WAL_OP_INSERT, t->schema.name, keys, rows, seqs, n, err, errlen) !=
        0)
        return -1;

    {
        RwWriteGuard g(&t->lock);
        // Index-file step: append one 'I' event per row to each index file
        // (index_append_rows_batch_events); a failure there returns its message.
        if (index_append_rows_batch_events(t, rows, keys, n, err, errlen) != 0) return -1;
        const bool map_unchanged = map_buckets && t->pk_map.buckets == map_buckets &&
                                   t->pk_map.entry_count == map_entries &&
                                   pk_latest_map_complete(t);
        for (int i = 0; i < n; i++) {
            VersionedRow* row = versions[(size_t)i].release();
            if (map_unchanged && absent[(size_t)i]) {
                row->next = t->rows;
                t->rows = row;
                pk_latest_map_insert_absent(t, row);
                t->row_memory_bytes += row->mem_size;
            } else {
                link_version_locked(t, row);
            }
            if (!t->sec_maps_invalid && sec_index_add_row(t, row) != 0)
                sec_index_maps_mark_invalid(t);
        }
    }
    mem_add((int64_t)mem_total);
    return 0;
}

int table_apply_delete(const char* table_name, uint64_t seq, const char* key, char* err,
                       size_t errlen) {
    Table* t = find_live_table(table_name, err, errlen);
    if (!t) return -1;
    if (!key) {
        set_err(err, errlen, "missing primary key value");
        return -1;
    }
    RowPtr v(versioned_row_new(seq, key, nullptr, 1));
    if (!v) {
        set_err(err, errlen, "oom");
        return -1;
    }
    uint64_t mem = v->mem_size;
    {
        RwWriteGuard g(&t->lock);
        VersionedRow* row = v.release();
        link_version_locked(t, row);
        sec_index_update_for_row(t, row);
    }
    mem_add((int64_t)mem);
    return 0;
}

int table_apply_update(const char* table_name, uint64_t seq, const char* key,
                       const char* const* names, const char* const* values, int count, char* err,
                       size_t errlen) {
    Table* t = find_live_table(table_name, err, errlen);
    if (!t) return -1;
    if (!key) {
        set_err(err, errlen, "row not found");
        return -1;
    }
    if (count < 0 || (count > 0 && (!names || !values))) {
        set_err(err, errlen, "invalid update");
        return -1;
    }
    CStr merged;
    {
        RwReadGuard g(&t->lock);
        char* old_p = nullptr;
        int deleted = 0;
        if (versioned_get_latest_json(t, key, &old_p, nullptr, &deleted) != 0 || deleted ||
            !old_p) {
            free(old_p);
            set_err(err, errlen, "row not found");
            return -1;
        }
        CStr old(old_p);
        char* m = nullptr;
        if (json_object_upsert(&t->schema, old.get(), names, values, count, &m) != 0 || !m) {
            set_err(err, errlen, "oom");
            return -1;
        }
        merged.reset(m);
    }
    // The key is compared in the form it is stored in (canonical values).
    char* canon_p = nullptr;
    if (schema_canonicalize_row_object(t, merged.get(), &canon_p, err, errlen) != 0) return -1;
    CStr canon(canon_p);
    std::string new_key;
    if (extract_key(t, canon.get(), new_key, err, errlen) != 0) return -1;
    if (new_key != key) {
        set_err(err, errlen, "primary key update not supported");
        return -1;
    }
    return table_apply_insert(table_name, seq, canon.get(), err, errlen);
}
