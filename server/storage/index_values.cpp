// Index values, unique-index checks and upkeep of the in-memory index maps.
//
// Index value text (also written to the .idx files, so map and file agree):
//  - one canonical component per column, by type: int "%lld", double "%.17g",
//    bool true/false, string/timestamp as a JSON string whose escapes are
//    decoded and re-encoded one way (so a SQL literal 'a/b' and the stored
//    JSON strings "a/b" and "a\/b" are the same value), other types trimmed;
//  - single-column index: the component itself, no prefix;
//  - composite index (2..8 columns): "<len>:<bytes>" per component, concatenated.
// A row missing an indexed column is not indexed. Unique checks treat a
// missing or null column as "no value": such rows never conflict.
//
// Unique checks answer from the index's in-memory map when it is usable
// (enabled and the table's maps are not marked invalid), so inserting n rows
// costs O(n) rather than O(n^2); otherwise they scan the live rows.
#include "storage/index_values.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <strings.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/err.h"
#include "base/json_text.h"
#include "base/owned.h"
#include "base/text_util.h"
#include "storage/ident.h"
#include "storage/pk_map.h"
#include "storage/row_version.h"
#include "storage/sec_index.h"
#include "storage/sec_order.h"
#include "storage/table.h"

namespace {

char* dup_std(const std::string& s) { return xstrndup(s.data(), s.size()); }

// Position of def inside t->indexes, or -1 when def is a copy.
int index_pos_of(const Table* t, const IndexDef* def) {
    if (def >= t->indexes && def < t->indexes + KYREL_MAX_INDEXES) return (int)(def - t->indexes);
    return -1;
}

int index_slot_count(const Table* t) {
    int n = t->index_count;
    if (n > KYREL_MAX_INDEXES) n = KYREL_MAX_INDEXES;
    return n < 0 ? 0 : n;
}

// Columns of a definition: a single column (def->column or columns[0].name),
// or 2..8 composite columns. An empty name means the row is not indexed.
std::vector<const char*> def_columns(const IndexDef* def) {
    std::vector<const char*> cols;
    int n = def->column_count;
    if (n < 2) {
        cols.push_back(def->column[0] ? def->column : def->columns[0].name);
        return cols;
    }
    if (n > KYREL_MAX_INDEX_COLUMNS) n = KYREL_MAX_INDEX_COLUMNS;
    for (int i = 0; i < n; i++) cols.push_back(def->columns[i].name);
    return cols;
}

// Canonical component of one column of a row. 0 with *out; 1 absent (or null
// when null_skips); -1 error.
int row_component(const Table* t, const char* column, const char* row_json, bool null_skips,
                  char** out, char* err, size_t errlen) {
    *out = nullptr;
    int ci = schema_get_col(&t->schema, column);
    if (ci < 0) {
        set_err(err, errlen, "unknown index column");
        return -1;
    }
    char* raw_p = nullptr;
    if (json_extract_raw(row_json, column, &raw_p) != 0) return 1;
    CStr raw(raw_p);
    if (null_skips && is_json_null_token(raw.get())) return 1;
    char* canon = index_canonical_raw_value(t->schema.columns[ci].type, raw.get(), err, errlen);
    if (!canon) return -1;
    *out = canon;
    return 0;
}

int build_value_parts(const Table* t, const IndexDef* def, const char* row_json, bool null_skips,
                      char** out, char* err, size_t errlen) {
    std::vector<const char*> cols = def_columns(def);
    std::vector<CStr> parts;
    for (const char* col : cols) {
        if (!col || !col[0]) return 1;
        char* c = nullptr;
        int rc = row_component(t, col, row_json, null_skips, &c, err, errlen);
        if (rc != 0) return rc;
        parts.emplace_back(c);
    }
    if (cols.size() == 1) {
        *out = parts[0].release();
        return 0;
    }
    std::vector<const char*> comp;
    for (auto& p : parts) comp.push_back(p.get());
    return index_encode_components(comp.data(), (int)comp.size(), out, err, errlen);
}

// Also runs when a logged change is linked, which must not throw: running
// out of memory is the error "oom" (the index files or maps are then marked
// for rebuild).
int build_value(const Table* t, const IndexDef* def, const char* row_json, bool null_skips,
                char** out, char* err, size_t errlen) {
    *out = nullptr;
    int rc = -1;
    if (run_unless_oom(
            [&] { rc = build_value_parts(t, def, row_json, null_skips, out, err, errlen); }))
        return rc;
    free(*out);
    *out = nullptr;
    set_err(err, errlen, "oom");
    return -1;
}

// Decodes the body of a JSON string text ("...") and re-encodes it; NULL when
// the text is not one well-formed JSON string.
char* canonical_json_string(const char* s, size_t len) {
    if (len < 2 || s[0] != '"') return nullptr;
    const char* end = scan_json_string_end(s);
    if (!end || (size_t)(end - s) != len) return nullptr;
    CStr body(xstrndup(s + 1, len - 2));
    if (!body) return nullptr;
    CStr decoded(json_unescape_fragment(body.get()));
    if (!decoded) return nullptr;
    return json_quote_token(decoded.get());
}

bool row_is_live(const VersionedRow* r) { return r && !r->deleted && r->json && r->key; }

// Calls fn(row) for the newest version of every key whose newest version is
// live: through the primary-key map, or by a chain walk when it cannot be
// built. fn returns false to stop. Returns false when memory ran out.
template <typename Fn>
bool for_each_live_latest(Table* t, Fn fn) {
    if (!t->pk_map.buckets || t->pk_map.bucket_count == 0) pk_latest_map_rebuild(t);
    if (t->pk_map.buckets && t->pk_map.bucket_count) {
        for (uint64_t b = 0; b < t->pk_map.bucket_count; b++)
            for (PkLatestEntry* e = t->pk_map.buckets[b]; e; e = e->next)
                if (row_is_live(e->row) && !fn(e->row)) return true;
        return true;
    }
    try {
        std::unordered_set<std::string> seen;
        for (VersionedRow* r = t->rows; r; r = r->next) {
            if (!r->key || !seen.insert(r->key).second) continue;
            if (row_is_live(r) && !fn(r)) return true;
        }
    } catch (...) {
        return false;
    }
    return true;
}

int conflict_impl(Table* t, int pos, const IndexDef* def, const char* row_json,
                  const char* exclude_key, char* conflict_key, size_t conflict_cap, char* err,
                  size_t errlen) {
    if (conflict_key && conflict_cap) conflict_key[0] = '\0';
    if (!def->unique) return 0;
    char* v = nullptr;
    int skip = 0;
    if (index_unique_value_for_row(t, def, row_json, &v, &skip, err, errlen) != 0) return -1;
    CStr value(v);
    if (skip) return 0;
    auto is_other = [&](const char* key) { return !exclude_key || strcmp(key, exclude_key) != 0; };
    auto report = [&](const char* key) {
        if (conflict_key && conflict_cap) snprintf(conflict_key, conflict_cap, "%s", key);
        return 1;
    };

    // Fast path: the index's own map holds the value of every live row.
    if (pos >= 0 && sec_index_map_usable(t, pos)) {
        SecIndexValueEntry* e = sec_index_find_value_entry(&t->sec_maps[pos], value.get());
        if (e)
            for (SecIndexKeyNode* n = e->keys; n; n = n->next)
                if (n->key && is_other(n->key)) return report(n->key);
        return 0;
    }

    int result = 0;
    bool ok = for_each_live_latest(t, [&](VersionedRow* r) {
        if (!is_other(r->key)) return true;
        char* ov = nullptr;
        int oskip = 0;
        if (index_unique_value_for_row(t, def, r->json, &ov, &oskip, err, errlen) != 0) {
            result = -1;
            return false;
        }
        CStr other(ov);
        if (!oskip && strcmp(other.get(), value.get()) == 0) {
            result = report(r->key);
            return false;
        }
        return true;
    });
    if (!ok) {
        set_err(err, errlen, "oom");
        return -1;
    }
    return result;
}

// Unique definitions of the table, normalised, with their positions.
std::vector<std::pair<int, IndexDef>> unique_defs(const Table* t) {
    std::vector<std::pair<int, IndexDef>> out;
    for (int i = 0; i < index_slot_count(t); i++) {
        IndexDef d = t->indexes[i];
        indexdef_ensure_defaults(&d);
        if (d.unique) out.emplace_back(i, d);
    }
    return out;
}

}  // namespace

int index_encode_components(const char* const* components, int n, char** out, char* err,
                            size_t errlen) {
    if (out) *out = nullptr;
    if (!components || n < 1 || !out) {
        set_err(err, errlen, "bad composite index value");
        return -1;
    }
    try {
        std::string s;
        for (int i = 0; i < n; i++) {
            const char* c = components[i] ? components[i] : "";
            size_t len = strlen(c);
            s += std::to_string(len);
            s += ':';
            s.append(c, len);
        }
        *out = dup_std(s);
    } catch (...) {
        set_err(err, errlen, "index value too large");
        return -1;
    }
    if (!*out) {
        set_err(err, errlen, "oom");
        return -1;
    }
    return 0;
}

int index_value_component_span(const char* value, int k, const char** out_start, size_t* out_len) {
    if (out_start) *out_start = nullptr;
    if (out_len) *out_len = 0;
    if (!value || k < 0) return -1;
    const char* p = value;
    size_t remaining = strlen(value);
    for (int i = 0;; i++) {
        if (remaining == 0 || *p < '0' || *p > '9') return -1;
        uint64_t len = 0;
        while (remaining > 0 && *p >= '0' && *p <= '9') {
            uint64_t d = (uint64_t)(*p - '0');
            if (len > (UINT64_MAX - d) / 10) return -1;
            len = len * 10 + d;
            p++;
            remaining--;
        }
        if (remaining == 0 || *p != ':') return -1;
        p++;
        remaining--;
        if (len > remaining) return -1;
        if (i == k) {
            if (out_start) *out_start = p;
            if (out_len) *out_len = (size_t)len;
            return 0;
        }
        p += len;
        remaining -= (size_t)len;
    }
}

char* index_canonical_raw_value(int type, const char* raw, char* err, size_t errlen) {
    CStr text(xstrdup(raw ? raw : ""));
    if (!text) {
        set_err(err, errlen, "oom");
        return nullptr;
    }
    trim_ws(text.get());  // the whole value: no cut, long values stay distinct
    char buf[64];
    switch (type) {
    case COL_TYPE_INT: {
        strip_sql_or_json_quotes(text.get());
        const char* s = text.get();
        char* end = nullptr;
        errno = 0;
        long long v = strtoll(s, &end, 10);
        if (end == s || errno == ERANGE || *skip_ws(end) != '\0') {
            set_err(err, errlen, "bad integer index value");
            return nullptr;
        }
        snprintf(buf, sizeof buf, "%lld", v);
        break;
    }
    case COL_TYPE_DOUBLE: {
        strip_sql_or_json_quotes(text.get());
        const char* s = text.get();
        char* end = nullptr;
        double v = strtod(s, &end);
        if (end == s || *skip_ws(end) != '\0' || !std::isfinite(v)) {
            set_err(err, errlen, "bad numeric index value");
            return nullptr;
        }
        if (v == 0.0) v = 0.0;  // -0 and 0 are one value
        snprintf(buf, sizeof buf, "%.17g", v);
        break;
    }
    case COL_TYPE_STRING:
    case COL_TYPE_TIMESTAMP: {
        char* s = text.get();
        size_t len = strlen(s);
        char* out = nullptr;
        if (s[0] == '\'') {
            strip_sql_or_json_quotes(s);
            out = json_quote_token(s);
        } else if (s[0] == '"') {
            out = canonical_json_string(s, len);
            if (!out) out = xstrdup(s);  // not one well-formed string: keep as is
        } else {
            out = xstrdup(s);
        }
        if (!out) set_err(err, errlen, "oom");
        return out;
    }
    case COL_TYPE_BOOL: {
        strip_sql_or_json_quotes(text.get());
        const char* s = text.get();
        if (strcasecmp(s, "true") == 0 || strcmp(s, "1") == 0) {
            snprintf(buf, sizeof buf, "true");
        } else if (strcasecmp(s, "false") == 0 || strcmp(s, "0") == 0) {
            snprintf(buf, sizeof buf, "false");
        } else {
            set_err(err, errlen, "bad boolean index value");
            return nullptr;
        }
        break;
    }
    default: return text.release();
    }
    char* out = xstrdup(buf);
    if (!out) set_err(err, errlen, "oom");
    return out;
}

int index_raw_component_for_row(const Table* t, const char* column, const char* row_json,
                                char** out, char* err, size_t errlen) {
    if (out) *out = nullptr;
    if (!t || !column || !row_json || !out) {
        set_err(err, errlen, "unknown index column");
        return -1;
    }
    return row_component(t, column, row_json, false, out, err, errlen);
}

int index_build_value_for_row(const Table* t, const IndexDef* def, const char* row_json, char** out,
                              char* err, size_t errlen) {
    if (out) *out = nullptr;
    if (!t || !def || !row_json || !out) return 1;
    return build_value(t, def, row_json, false, out, err, errlen);
}

int index_unique_value_for_row(const Table* t, const IndexDef* def, const char* row_json,
                               char** out_value, int* out_skip, char* err, size_t errlen) {
    if (out_value) *out_value = nullptr;
    if (out_skip) *out_skip = 0;
    if (!t || !def || !row_json || !out_value || !out_skip) {
        set_err(err, errlen, "internal unique index check error");
        return -1;
    }
    int rc = build_value(t, def, row_json, true, out_value, err, errlen);
    if (rc == 1) {
        *out_skip = 1;
        return 0;
    }
    return rc;
}

int unique_index_conflict_locked(Table* t, const IndexDef* def, const char* row_json,
                                 const char* exclude_key, char* conflict_key, size_t conflict_cap,
                                 char* err, size_t errlen) {
    if (!t || !def || !row_json) {
        set_err(err, errlen, "internal unique index check error");
        return -1;
    }
    return conflict_impl(t, index_pos_of(t, def), def, row_json, exclude_key, conflict_key,
                         conflict_cap, err, errlen);
}

int table_check_unique_constraints_for_row_locked(Table* t, const char* row_json,
                                                  const char* exclude_key, char* err,
                                                  size_t errlen) {
    if (!t || !row_json) {
        set_err(err, errlen, "internal unique index check error");
        return -1;
    }
    for (auto& [pos, def] : unique_defs(t)) {
        char other[64];
        int rc =
            conflict_impl(t, pos, &def, row_json, exclude_key, other, sizeof other, err, errlen);
        if (rc < 0) return -1;
        if (rc == 1) {
            set_errf(err, errlen, "unique index '%s' violation", def.name);
            return -1;
        }
    }
    return 0;
}

int table_check_unique_batch_constraints_locked(Table* t, const char* const* rows,
                                                const char* const* keys, int n, char* err,
                                                size_t errlen) {
    if (n < 1) return 0;
    if (!t || !rows) {
        set_err(err, errlen, "internal unique index check error");
        return -1;
    }
    std::vector<std::pair<int, IndexDef>> defs = unique_defs(t);
    if (defs.empty()) return 0;
    try {
        // Values already taken by earlier rows of the batch, per unique index.
        std::vector<std::unordered_set<std::string>> taken(defs.size());
        for (int i = 0; i < n; i++) {
            const char* row = rows[i];
            if (!row) continue;
            if (table_check_unique_constraints_for_row_locked(t, row, keys ? keys[i] : nullptr, err,
                                                              errlen) != 0)
                return -1;
            for (size_t d = 0; d < defs.size(); d++) {
                char* v = nullptr;
                int skip = 0;
                if (index_unique_value_for_row(t, &defs[d].second, row, &v, &skip, err, errlen) !=
                    0)
                    return -1;
                CStr value(v);
                if (skip) continue;
                if (!taken[d].insert(value.get()).second) {
                    set_errf(err, errlen, "unique index '%s' violation in batch",
                             defs[d].second.name);
                    return -1;
                }
            }
        }
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    return 0;
}

int unique_index_validate_existing_rows_locked(Table* t, const IndexDef* def, char* err,
                                               size_t errlen) {
    if (!t || !def) {
        set_err(err, errlen, "internal unique index check error");
        return -1;
    }
    IndexDef d = *def;
    indexdef_ensure_defaults(&d);
    if (!d.unique) return 0;
    if (!t->pk_map.buckets || t->pk_map.bucket_count == 0) pk_latest_map_rebuild(t);
    if (!t->pk_map.buckets || t->pk_map.bucket_count == 0) return 0;
    try {
        std::unordered_map<std::string, std::string> seen;  // value -> first key
        for (uint64_t b = 0; b < t->pk_map.bucket_count; b++) {
            for (PkLatestEntry* e = t->pk_map.buckets[b]; e; e = e->next) {
                if (!row_is_live(e->row)) continue;
                char* v = nullptr;
                int skip = 0;
                if (index_unique_value_for_row(t, &d, e->row->json, &v, &skip, err, errlen) != 0)
                    return -1;
                CStr value(v);
                if (skip) continue;
                auto [it, fresh] = seen.emplace(value.get(), e->row->key);
                if (!fresh) {
                    set_errf(err, errlen, "unique index '%s' violation between keys '%s' and '%s'",
                             d.name, it->second.c_str(), e->row->key);
                    return -1;
                }
            }
        }
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    return 0;
}

int sec_index_add_row(Table* t, const VersionedRow* row) {
    if (!t || !row_is_live(row)) return 0;
    for (int i = 0; i < index_slot_count(t); i++) {
        char* v = nullptr;
        char e[128];
        int rc = index_build_value_for_row(t, &t->indexes[i], row->json, &v, e, sizeof e);
        if (rc == 1) continue;
        if (rc < 0) return -1;
        CStr value(v);
        SecIndexMap* m = &t->sec_maps[i];
        if (!m->order && m->value_count == 0 && t->indexes[i].column_count <= 1) {
            // A one-column map gets its ordered tree with its first value.
            if (sec_index_map_init(m) != 0) return -1;
            int c = schema_get_col(&t->schema, t->indexes[i].column);
            if (c >= 0) sec_order_attach(m, t->schema.columns[c].type);
        }
        if (sec_index_map_set(m, row->key, value.get()) != 0) return -1;
    }
    return 0;
}

int sec_index_update_for_row(Table* t, const VersionedRow* row) {
    if (!t || !row || !row->key) return 0;
    // Invalid maps are empty and unused until the next full rebuild.
    if (t->sec_maps_invalid) return -1;
    sec_index_remove_key_all(t, row->key);
    if (!row_is_live(row)) return 0;
    if (sec_index_add_row(t, row) != 0) {
        sec_index_maps_mark_invalid(t);
        return -1;
    }
    return 0;
}

int sec_index_rebuild_all(Table* t) {
    if (!t) return -1;
    sec_index_maps_clear_all(t);
    if (index_slot_count(t) == 0) {
        sec_index_maps_mark_valid(t);
        return 0;
    }
    bool failed = false;
    bool ok = for_each_live_latest(t, [&](VersionedRow* r) {
        if (sec_index_add_row(t, r) != 0) {
            failed = true;
            return false;
        }
        return true;
    });
    if (failed || !ok) {
        sec_index_maps_mark_invalid(t);
        return -1;
    }
    sec_index_maps_mark_valid(t);
    return 0;
}

namespace {

enum EqualText {
    EQUAL_TEXT_NONE,      // the values must be compared one by one
    EQUAL_TEXT_ONE,       // only the value of that text can compare equal
    EQUAL_TEXT_NO_MATCH,  // no value compares equal (a null operand)
};

// The one stored value text of a one-column index that compares equal to
// operand under eval_compare. Stored values are canonical for their type:
// each integer, boolean and finite double (-0 stored as 0) has one text, and
// a string without a backslash compares as its text between the quotes. A
// NaN operand compares equal to every value, and a map holding escaped
// strings may hold several texts of one string: those are compared one by one.
int equal_value_text(const SecIndexMap* m, int type, const char* operand, std::string* text) {
    if (is_json_null_token(operand)) return EQUAL_TEXT_NO_MATCH;
    std::string d = operand ? operand : "";
    strip_sql_or_json_quotes(d.data());
    d.resize(strlen(d.c_str()));
    char buf[64];
    switch (type) {
    case COL_TYPE_INT:
    case COL_TYPE_TIMESTAMP: *text = std::to_string(strtol(d.c_str(), nullptr, 10)); break;
    case COL_TYPE_BOOL:
        *text = (!strcasecmp(d.c_str(), "true") || d == "1") ? "true" : "false";
        break;
    case COL_TYPE_DOUBLE: {
        double v = strtod(d.c_str(), nullptr);
        if (std::isnan(v)) return EQUAL_TEXT_NONE;
        if (v == 0.0) v = 0.0;
        snprintf(buf, sizeof buf, "%.17g", v);
        *text = buf;
        break;
    }
    case COL_TYPE_STRING:
        if (m->escaped_values) return EQUAL_TEXT_NONE;
        *text = "\"" + d + "\"";
        break;
    default: return EQUAL_TEXT_NONE;
    }
    return EQUAL_TEXT_ONE;
}

}  // namespace

int sec_index_lookup_keys(Table* t, int index_pos, const char* op, const char* operand,
                          char*** out_keys, int* out_count, char* err, size_t errlen) {
    if (out_keys) *out_keys = nullptr;
    if (out_count) *out_count = 0;
    if (!t || !out_keys || !out_count) return 1;
    if (index_pos < 0 || index_pos >= index_slot_count(t)) return 1;
    if (!sec_index_map_usable(t, index_pos)) return 1;
    IndexDef d = t->indexes[index_pos];
    indexdef_ensure_defaults(&d);
    int ci = schema_get_col(&t->schema, d.column);
    if (ci < 0) return 1;
    int type = t->schema.columns[ci].type;
    SecIndexMap* m = &t->sec_maps[index_pos];
    std::vector<char*> keys;
    bool oom = false;
    auto take_keys = [&](const SecIndexValueEntry* e) {
        for (SecIndexKeyNode* k = e->keys; k; k = k->next) {
            char* c = xstrdup(k->key);
            if (!c) {
                oom = true;
                break;
            }
            try {
                keys.push_back(c);
            } catch (...) {
                free(c);
                oom = true;
                break;
            }
        }
    };
    std::string exact;
    int found = d.column_count <= 1 && !strcmp(op, "=") ? equal_value_text(m, type, operand, &exact)
                                                        : EQUAL_TEXT_NONE;
    if (found == EQUAL_TEXT_NO_MATCH) return 0;
    if (found == EQUAL_TEXT_ONE) {
        // The one stored value that compares equal, found by its text.
        if (const SecIndexValueEntry* e = sec_index_find_value_entry(m, exact.c_str()))
            take_keys(e);
    } else {
        for (uint64_t b = 0; b < m->value_bucket_count && !oom; b++)
            for (SecIndexValueEntry* e = m->value_buckets[b]; e && !oom; e = e->next)
                if (eval_compare(type, e->value, op, operand)) take_keys(e);
    }
    if (!oom && !keys.empty()) {
        char** arr = static_cast<char**>(malloc(keys.size() * sizeof(char*)));
        if (arr) {
            memcpy(arr, keys.data(), keys.size() * sizeof(char*));
            *out_keys = arr;
            *out_count = (int)keys.size();
            return 0;
        }
        oom = true;
    }
    if (oom) {
        for (char* k : keys) free(k);
        set_err(err, errlen, "oom");
        return -1;
    }
    return 0;
}
