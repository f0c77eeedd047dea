// Row changes: every change prepends a new version to the table's chain at a
// sequence number chosen by the caller, then brings the primary-key map, the
// secondary-index maps and the memory accounts up to date.
//
// Preparing reads the table under its lock and builds the versions; nothing
// of the table changes, so a refused change leaves it exactly as it was.
// Applying only links what was built. Between the two the table may not be
// changed by anyone else: every change runs on the commit thread (or alone at
// start-up), which is the only writer.
#include "storage/row_changes.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "base/err.h"
#include "base/owned.h"
#include "base/stats.h"
#include "storage/index_file.h"
#include "storage/index_values.h"
#include "storage/pk_map.h"
#include "storage/row_version.h"
#include "storage/sec_index.h"
#include "storage/table.h"

namespace {

constexpr size_t PK_KEY_MAX = 2047;  // longest primary-key text the server handles

struct RowDeleter {
    void operator()(VersionedRow* r) const { versioned_row_free(r); }
};
using RowPtr = std::unique_ptr<VersionedRow, RowDeleter>;

// Takes ownership of v into the change.
int add_version(RowChange* out, RowPtr v, char* err, size_t errlen) {
    if (!v) {
        set_err(err, errlen, "oom");
        return -1;
    }
    try {
        out->versions.push_back(v.get());
        out->known_absent.push_back(0);
    } catch (...) {
        if (out->versions.size() > out->known_absent.size()) out->versions.pop_back();
        set_err(err, errlen, "oom");
        return -1;
    }
    out->memory += v->mem_size;
    v.release();
    return 0;
}

void reset(RowChange* c) {
    for (VersionedRow* v : c->versions) versioned_row_free(v);
    c->versions.clear();
    c->known_absent.clear();
    c->memory = 0;
    c->map_buckets = nullptr;
    c->map_entries = 0;
}

// Live-key test of every key of the change (ROW_CHECK_NEW_KEYS) and notes
// which keys the complete map proves absent. Caller holds the table's lock.
int check_new_keys_locked(Table* t, RowChange* c, bool refuse_live, char* err, size_t errlen) {
    const bool complete = pk_latest_map_complete(t) != 0;
    for (size_t i = 0; i < c->versions.size(); i++) {
        const char* key = c->versions[i]->key;
        const VersionedRow* cur = pk_latest_map_get(t, key);
        int deleted = 0;
        if (cur) {
            deleted = cur->deleted ? 1 : 0;
        } else if (complete) {
            c->known_absent[i] = 1;
            continue;
        } else if (versioned_get_latest_json(t, key, nullptr, nullptr, &deleted) != 0) {
            continue;
        }
        if (refuse_live && !deleted) {
            set_err(err, errlen, "duplicate primary key");
            return -1;
        }
    }
    c->map_buckets = t->pk_map.buckets;
    c->map_entries = t->pk_map.entry_count;
    return 0;
}

}  // namespace

RowChange::~RowChange() { reset(this); }

const char* RowChange::key(int i) const { return versions[(size_t)i]->key; }
const char* RowChange::row(int i) const { return versions[(size_t)i]->json; }

RowChange::RowChange(RowChange&& from) noexcept
    : table(from.table),
      versions(std::move(from.versions)),
      known_absent(std::move(from.known_absent)),
      map_buckets(from.map_buckets),
      map_entries(from.map_entries),
      memory(from.memory) {
    from.versions.clear();
    from.known_absent.clear();
    from.memory = 0;
}

int row_canonical_with_key(const TableSchema* schema, const char* row_json, std::string* canon,
                           std::string* key, char* err, size_t errlen) {
    if (!row_json) {
        set_err(err, errlen, "missing primary key");
        return -1;
    }
    char* c = nullptr;
    if (schema_canonicalize_row_with_schema(schema, row_json, &c, err, errlen) != 0) return -1;
    CStr owned(c);
    try {
        if (schema_row_pk_value(schema, c, key, err, errlen) != 0) return -1;
        // Refused rather than shortened into another row's key.
        if (key->size() > PK_KEY_MAX) {
            set_err(err, errlen, "primary key too long");
            return -1;
        }
        canon->assign(c);
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    return 0;
}

// Empties out for a change of t; -1 "table not found" without one.
static int start_change(RowChange* out, Table* t, char* err, size_t errlen) {
    reset(out);
    out->table = t;
    if (t) return 0;
    set_err(err, errlen, "table not found");
    return -1;
}

// The checks of an insert whose versions are all in out: keys against each
// other ("duplicate primary key in batch"), then under the table's lock the
// table itself and what `checks` asks for.
static int check_inserted_versions(Table* t, unsigned checks, RowChange* out, char* err,
                                   size_t errlen) {
    const int n = out->count();
    std::vector<const char*> rows, keys;
    try {
        rows.reserve((size_t)n);
        keys.reserve((size_t)n);
        for (const VersionedRow* v : out->versions) {
            rows.push_back(v->json);
            keys.push_back(v->key);
        }
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    if (n > 1 && batch_check_duplicate_keys(keys.data(), n, err, errlen) != 0) return -1;
    RwReadGuard g(&t->lock);
    if (t->dropped || !t->schema.name[0]) {
        set_err(err, errlen, "table not found");
        return -1;
    }
    if (check_new_keys_locked(t, out, (checks & ROW_CHECK_NEW_KEYS) != 0, err, errlen) != 0)
        return -1;
    if ((checks & ROW_CHECK_UNIQUE) && table_check_unique_batch_constraints_locked(
                                           t, rows.data(), keys.data(), n, err, errlen) != 0)
        return -1;
    return 0;
}

int row_change_prepare_rows(Table* t, const char* const* rows, const char* const* keys, int n,
                            unsigned checks, RowChange* out, char* err, size_t errlen) {
    if (start_change(out, t, err, errlen) != 0) return -1;
    if (n < 0 || (n > 0 && (!rows || !keys))) {
        set_err(err, errlen, "invalid insert batch");
        return -1;
    }
    for (int i = 0; i < n; i++) {
        if (!rows[i] || !keys[i]) {
            set_err(err, errlen, "invalid insert batch");
            return -1;
        }
        // seq is set when the change is applied.
        if (add_version(out, RowPtr(versioned_row_new(0, keys[i], rows[i], 0)), err, errlen) != 0)
            return -1;
    }
    return check_inserted_versions(t, checks, out, err, errlen);
}

int row_change_prepare_versions(Table* t, VersionedRow* const* versions, int n, unsigned checks,
                                RowChange* out, char* err, size_t errlen) {
    int taken = 0;
    int rc = start_change(out, t, err, errlen);
    for (; rc == 0 && taken < n; taken++) {
        VersionedRow* v = versions[taken];
        if (!v || !v->json || !v->key || v->deleted) {
            set_err(err, errlen, "invalid insert batch");
            rc = -1;
            break;
        }
        rc = add_version(out, RowPtr(v), err, errlen);
    }
    for (int i = taken; i < n; i++) versioned_row_free(versions[i]);  // not taken: freed here
    if (rc != 0) return -1;
    return check_inserted_versions(t, checks, out, err, errlen);
}

int row_change_prepare_update(Table* t, const char* key, const char* const* names,
                              const char* const* values, int count, unsigned checks, RowChange* out,
                              char* err, size_t errlen) {
    if (start_change(out, t, err, errlen) != 0) return -1;
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
    // The key is compared in the form it is stored in.
    std::string canon, new_key;
    if (row_canonical_with_key(&t->schema, merged.get(), &canon, &new_key, err, errlen) != 0)
        return -1;
    if (new_key != key) {
        set_err(err, errlen, "primary key update not supported");
        return -1;
    }
    if (add_version(out, RowPtr(versioned_row_new(0, key, canon.c_str(), 0)), err, errlen) != 0)
        return -1;
    if (checks & ROW_CHECK_UNIQUE) {
        RwReadGuard g(&t->lock);
        if (table_check_unique_constraints_for_row_locked(t, canon.c_str(), key, err, errlen) != 0)
            return -1;
    }
    return 0;
}

int row_change_prepare_delete(Table* t, const char* key, RowChange* out, char* err, size_t errlen) {
    if (start_change(out, t, err, errlen) != 0) return -1;
    if (!key) {
        set_err(err, errlen, "missing primary key value");
        return -1;
    }
    return add_version(out, RowPtr(versioned_row_new(0, key, nullptr, 1)), err, errlen);
}

void row_change_keys_still_absent(RowChange* change) {
    Table* t = change->table;
    if (!t || !change->map_buckets) return;  // nothing was proved absent
    RwReadGuard g(&t->lock);
    change->map_buckets = t->pk_map.buckets;
    change->map_entries = t->pk_map.entry_count;
}

void row_change_apply(RowChange* change, uint64_t first_seq, bool index_files, bool index_maps) {
    Table* t = change->table;
    if (!t || change->versions.empty()) return;
    const int n = change->count();
    {
        RwWriteGuard g(&t->lock);
        const bool map_unchanged =
            change->map_buckets && (const void*)t->pk_map.buckets == change->map_buckets &&
            t->pk_map.entry_count == change->map_entries && pk_latest_map_complete(t);
        for (int i = 0; i < n; i++) {
            VersionedRow* v = change->versions[(size_t)i];
            v->seq = first_seq + (uint64_t)i;
            v->next = t->rows;
            t->rows = v;
            const bool fresh = map_unchanged && change->known_absent[(size_t)i];
            if (fresh)
                pk_latest_map_insert_absent(t, v);
            else
                pk_latest_map_update(t, v);
            t->row_memory_bytes += v->mem_size;
            if (!index_maps) continue;
            if (fresh) {
                if (!t->sec_maps_invalid && sec_index_add_row(t, v) != 0)
                    sec_index_maps_mark_invalid(t);
            } else {
                sec_index_update_for_row(t, v);
            }
        }
        if (index_files && t->index_count > 0) {
            char e[256] = {0};
            int rc = 0;
            if (n == 1) {
                const VersionedRow* v = change->versions[0];
                rc = index_append_row_events(t, v->json, v->key, v->deleted ? 'D' : 'I', e,
                                             sizeof e);
            } else {
                std::vector<const char*> rows, keys;
                try {
                    for (const VersionedRow* v : change->versions) {
                        rows.push_back(v->json);
                        keys.push_back(v->key);
                    }
                    rc =
                        index_append_rows_batch_events(t, rows.data(), keys.data(), n, e, sizeof e);
                } catch (...) {
                    snprintf(e, sizeof e, "oom");
                    rc = -1;
                }
            }
            if (rc != 0) index_files_mark_stale(t, e[0] ? e : "cannot append index file");
        }
    }
    // The chain owns the versions now.
    change->versions.clear();
    change->known_absent.clear();
    mem_add((int64_t)change->memory);
    change->memory = 0;
}

int table_apply_insert(const char* table_name, uint64_t seq, const char* row_json, char* err,
                       size_t errlen) {
    Table* t = table_find_live(table_name, err, errlen);
    if (!t) return -1;
    std::string canon, key;
    if (row_canonical_with_key(&t->schema, row_json, &canon, &key, err, errlen) != 0) return -1;
    const char* rows[1] = {canon.c_str()};
    const char* keys[1] = {key.c_str()};
    RowChange c;
    if (row_change_prepare_rows(t, rows, keys, 1, ROW_CHECK_UNIQUE, &c, err, errlen) != 0)
        return -1;
    row_change_apply(&c, seq, false, true);
    return 0;
}

int table_apply_delete(const char* table_name, uint64_t seq, const char* key, char* err,
                       size_t errlen) {
    Table* t = table_find_live(table_name, err, errlen);
    if (!t) return -1;
    RowChange c;
    if (row_change_prepare_delete(t, key, &c, err, errlen) != 0) return -1;
    row_change_apply(&c, seq, false, true);
    return 0;
}

int table_apply_update(const char* table_name, uint64_t seq, const char* key,
                       const char* const* names, const char* const* values, int count, char* err,
                       size_t errlen) {
    Table* t = table_find_live(table_name, err, errlen);
    if (!t) return -1;
    RowChange c;
    if (row_change_prepare_update(t, key, names, values, count, ROW_CHECK_UNIQUE, &c, err,
                                  errlen) != 0)
        return -1;
    row_change_apply(&c, seq, false, true);
    return 0;
}
