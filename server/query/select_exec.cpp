// SELECT execution: access-path choice (primary key, composite index,
// single-column index, scan), WHERE evaluation, streaming of SELECT *, row
// collection and the hand-off to grouping, aggregates, sorting, windows or
// the projection. See select_exec.h for the reply shape.
//
// Locking: the table's read lock is held only while versions are read (the
// fast key reply, each streaming pass, the in-memory composite-index scan and
// the row collection); sorting, grouping and formatting work on private
// copies after it is released. Candidate rows are re-checked against the
// WHERE clause under the lock because rows may change after the index look-up.
#include "query/select_exec.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <strings.h>

#include "base/err.h"
#include "base/json_text.h"
#include "base/owned.h"
#include "base/text_util.h"
#include "query/aggregate.h"
#include "query/order_by.h"
#include "query/scalar_window.h"
#include "storage/ident.h"
#include "storage/index_file.h"
#include "storage/index_values.h"
#include "storage/pk_map.h"
#include "storage/row_version.h"
#include "storage/sec_index.h"
#include "storage/table.h"

namespace {

// Candidate key list owned by one SELECT.
struct KeyList {
    char** keys = nullptr;
    int count = 0;
    bool present = false;  // an index produced a list (possibly empty)
    KeyList() = default;
    KeyList(const KeyList&) = delete;
    KeyList& operator=(const KeyList&) = delete;
    ~KeyList() { reset(); }
    void reset() {
        free_string_array(keys, count);
        keys = nullptr;
        count = 0;
        present = false;
    }
};

// Working rows owned by one SELECT.
struct RowSet {
    SelectRow* rows = nullptr;
    int count = 0;
    int capacity = 0;
    RowSet() = default;
    RowSet(const RowSet&) = delete;
    RowSet& operator=(const RowSet&) = delete;
    ~RowSet() { free_select_rows(rows, count); }
};

bool is_plain_star(const SelectQuery* q) {
    return q->select_star && !q->has_group_by && !q->has_aggregate && !q->has_window &&
           !q->order_by[0];
}

bool version_live(const VersionedRow* v) { return v && !v->deleted && v->json; }

// The reply head with the table name escaped.
std::string reply_head(const std::string& escaped_name) {
    std::string h;
    h.reserve(escaped_name.size() + 32);
    h += "{\"ok\":true,\"table\":\"";
    h += escaped_name;
    h += "\",\"rows\":[";
    return h;
}

// Raw value of item i for one row: plain columns here, everything else
// through the scalar evaluator.
int item_value_raw(const TableSchema* schema, const SelectQuery* q, int i, const char* row_json,
                   char** out, char* err, size_t errlen) {
    return select_expr_value_raw(schema, q, i, row_json, out, err, errlen);
}

// Visits the newest version of every key of the primary-key map, bucket by
// bucket from 0, each chain in order. fn returns 0 to go on, 1 to stop, -1.
template <typename Fn>
int visit_pk_map(Table* t, Fn&& fn) {
    PkLatestMap* m = &t->pk_map;
    for (uint64_t b = 0; b < m->bucket_count; ++b) {
        for (PkLatestEntry* e = m->buckets[b]; e; e = e->next) {
            int r = fn(e->row);
            if (r != 0) return r < 0 ? -1 : 1;
        }
    }
    return 0;
}

}  // namespace

// ---- WHERE ------------------------------------------------------------------

SelectMatch select_row_matches_where(const TableSchema* schema, const SelectQuery* query,
                                     const char* row_json, char* err, size_t errlen) {
    if (!query || !query->has_where) return SELECT_MATCH_YES;
    int n = query->pred_count > 0 ? query->pred_count : 1;
    if (n > SELECT_MAX_PREDICATES) n = SELECT_MAX_PREDICATES;
    for (int k = 0; k < n; ++k) {
        const char* col = query->pred_count > 0 ? query->pred_col[k] : query->where_col;
        const char* op = query->pred_count > 0 ? query->pred_op[k] : query->where_op;
        const char* val = query->pred_count > 0 ? query->pred_value[k] : query->where_value;
        int c = schema ? schema_get_col(schema, col) : -1;
        if (c < 0) {
            set_err(err, errlen, "unknown WHERE column");
            return SELECT_MATCH_ERROR;
        }
        char* raw = nullptr;
        if (!row_json || json_extract_raw(row_json, col, &raw) != 0 || !raw) {
            std::free(raw);
            return SELECT_MATCH_NO;
        }
        CStr hold(raw);
        if (!eval_compare(schema->columns[c].type, raw, op, val)) return SELECT_MATCH_NO;
    }
    return SELECT_MATCH_YES;
}

int select_find_eq_predicate(const SelectQuery* query, const char* column) {
    if (!query || !column || !query->has_where) return -1;
    for (int k = 0; k < query->pred_count && k < SELECT_MAX_PREDICATES; ++k) {
        if (strcmp(query->pred_op[k], "=") == 0 && strcasecmp(query->pred_col[k], column) == 0)
            return k;
    }
    return -1;
}

// ---- composite indexes ------------------------------------------------------

int composite_index_prefix_count(const IndexDef* def, const SelectQuery* query) {
    if (!def || !query || def->column_count < 2 || !query->has_where) return 0;
    int n =
        def->column_count < KYREL_MAX_INDEX_COLUMNS ? def->column_count : KYREL_MAX_INDEX_COLUMNS;
    int count = 0;
    for (int i = 0; i < n; ++i) {
        if (select_find_eq_predicate(query, def->columns[i].name) < 0) break;
        ++count;
    }
    return count;
}

SelectMatch composite_index_value_matches(const TableSchema* schema, const IndexDef* def,
                                          const SelectQuery* query, const char* value, int n,
                                          char* err, size_t errlen) {
    if (!schema || !def || !query || !value || n < 1) return SELECT_MATCH_NO;
    if (n > KYREL_MAX_INDEX_COLUMNS) n = KYREL_MAX_INDEX_COLUMNS;
    for (int k = 0; k < n; ++k) {
        int p = select_find_eq_predicate(query, def->columns[k].name);
        if (p < 0) return SELECT_MATCH_NO;
        const char* start = nullptr;
        size_t len = 0;
        if (index_value_component_span(value, k, &start, &len) != 0 || !start)
            return SELECT_MATCH_NO;
        int c = schema_get_col(schema, def->columns[k].name);
        if (c < 0) {
            set_err(err, errlen, "unknown index column");
            return SELECT_MATCH_ERROR;
        }
        std::string component(start, len);
        if (!eval_compare(schema->columns[c].type, component.c_str(), "=", query->pred_value[p]))
            return SELECT_MATCH_NO;
    }
    return SELECT_MATCH_YES;
}

char* index_sql_predicate_value_to_index_raw(int type, const char* value, char* err,
                                             size_t errlen) {
    return index_canonical_raw_value(type, value, err, errlen);
}

namespace {

// The index text that every stored value equal to `value` under eval_compare
// has, or NULL when there is no single such text and the index values must
// be compared one by one. Stored rows hold canonical values, so equal
// numbers and booleans have one index text; a timestamp's index text is its
// stored integer. A string written bare (zz) or in double quotes compares
// equal to the stored "zz" without having its index text, so only a
// single-quoted string is looked up by text.
char* exact_index_text(int type, const char* value) {
    char msg[256] = {0};
    if (type == COL_TYPE_STRING) {
        if (*skip_ws(value) != '\'') return nullptr;
    } else if (type == COL_TYPE_TIMESTAMP) {
        type = COL_TYPE_INT;
    }
    return index_sql_predicate_value_to_index_raw(type, value, msg, sizeof msg);
}

// Leading columns of a composite index that can answer the query: its "="
// prefix, provided every later column is the primary key, which every row
// carries. A row lacking a later column has no value in the index at all, so
// a shorter prefix would miss it; such an index is not used (0).
int composite_index_usable_prefix(const IndexDef* def, const TableSchema* schema,
                                  const SelectQuery* query) {
    const int covered = composite_index_prefix_count(def, query);
    if (covered < 1) return 0;
    const int n =
        def->column_count < KYREL_MAX_INDEX_COLUMNS ? def->column_count : KYREL_MAX_INDEX_COLUMNS;
    for (int i = covered; i < n; ++i)
        if (!schema->primary_key[0] || strcmp(def->columns[i].name, schema->primary_key) != 0)
            return 0;
    return covered;
}

}  // namespace

SelectStep composite_index_build_exact_value(const TableSchema* schema, const IndexDef* def,
                                             const SelectQuery* query, char** out, char* err,
                                             size_t errlen) {
    if (out) *out = nullptr;
    if (!schema || !def || !query || !out || def->column_count < 2)
        return SELECT_STEP_NOT_APPLICABLE;
    int n =
        def->column_count < KYREL_MAX_INDEX_COLUMNS ? def->column_count : KYREL_MAX_INDEX_COLUMNS;
    std::vector<CStr> parts;
    std::vector<const char*> ptrs;
    parts.reserve(n);
    for (int k = 0; k < n; ++k) {
        int p = select_find_eq_predicate(query, def->columns[k].name);
        if (p < 0) return SELECT_STEP_NOT_APPLICABLE;
        int c = schema_get_col(schema, def->columns[k].name);
        if (c < 0) {
            set_err(err, errlen, "unknown index column");
            return SELECT_STEP_ERROR;
        }
        CStr raw(exact_index_text(schema->columns[c].type, query->pred_value[p]));
        // A value without one index text of this type (a word compared with an
        // int column, a bare string) is not looked up by text: the index values
        // are compared one by one instead.
        if (!raw) return SELECT_STEP_NOT_APPLICABLE;
        ptrs.push_back(raw.get());
        parts.push_back(std::move(raw));
    }
    char* encoded = nullptr;
    if (index_encode_components(ptrs.data(), n, &encoded, err, errlen) != 0) {
        if (err && errlen && !err[0]) set_err(err, errlen, "oom");
        return SELECT_STEP_ERROR;
    }
    *out = encoded;
    return SELECT_STEP_DONE;
}

int append_lookup_key(char*** keys, int* count, const char* key, char* err, size_t errlen) {
    if (!keys || !count) return -1;
    int n = *count;
    // The list grows by doubling; its capacity is the power of two at or above n.
    if (n == 0 || (n & (n - 1)) == 0) {
        size_t cap = n == 0 ? 8 : static_cast<size_t>(n) * 2;
        if (n != 0 && n < 8) cap = 8;
        char** grown = static_cast<char**>(std::realloc(*keys, cap * sizeof(char*)));
        if (!grown) {
            free_string_array(*keys, *count);
            *keys = nullptr;
            *count = 0;
            set_err(err, errlen, "oom");
            return -1;
        }
        *keys = grown;
    }
    char* copy = xstrdup2(key ? key : "");
    if (!copy) {
        free_string_array(*keys, *count);
        *keys = nullptr;
        *count = 0;
        set_err(err, errlen, "oom");
        return -1;
    }
    (*keys)[n] = copy;
    *count = n + 1;
    return 0;
}

namespace {

// The storage look-ups answer 1 when they cannot serve, 0 or -1.
SelectStep step_of_lookup(int rc) {
    if (rc < 0) return SELECT_STEP_ERROR;
    return rc == 0 ? SELECT_STEP_DONE : SELECT_STEP_NOT_APPLICABLE;
}

// The composite index with the longest usable "=" prefix (earliest on ties),
// with copies of its definition and of the schema taken under the read lock.
// Its position, or -1 when none is usable.
int pick_composite_index(Table* table, const SelectQuery* query, IndexDef* def, TableSchema* schema,
                         int* prefix) {
    RwReadGuard g(&table->lock);
    int best = -1, best_count = 0;
    int n = table->index_count < KYREL_MAX_INDEXES ? table->index_count : KYREL_MAX_INDEXES;
    for (int i = 0; i < n; ++i) {
        int c = composite_index_usable_prefix(&table->indexes[i], &table->schema, query);
        if (c > best_count) {
            best_count = c;
            best = i;
        }
    }
    if (best < 0 || best_count < 1) return -1;
    *def = table->indexes[best];
    *schema = table->schema;
    *prefix = best_count;
    return best;
}

// Empties a candidate list after a failed check.
void drop_lookup_keys(char*** keys, int* count) {
    free_string_array(*keys, *count);
    *keys = nullptr;
    *count = 0;
}

// The candidates of the index values whose first `prefix` components match,
// from the index's in-memory map; NOT_APPLICABLE when the map cannot serve.
SelectStep composite_keys_from_map(Table* table, int pos, const TableSchema* schema,
                                   const IndexDef* def, const SelectQuery* query, int prefix,
                                   char*** out_keys, int* out_count, char* err, size_t errlen) {
    RwReadGuard g(&table->lock);
    if (pos >= table->index_count || !sec_index_map_usable(table, pos) ||
        !table->sec_maps[pos].value_buckets)
        return SELECT_STEP_NOT_APPLICABLE;
    SecIndexMap* m = &table->sec_maps[pos];
    for (uint64_t b = 0; b < m->value_bucket_count; ++b) {
        for (SecIndexValueEntry* e = m->value_buckets[b]; e; e = e->next) {
            SelectMatch r =
                composite_index_value_matches(schema, def, query, e->value, prefix, err, errlen);
            if (r == SELECT_MATCH_ERROR) {
                drop_lookup_keys(out_keys, out_count);
                return SELECT_STEP_ERROR;
            }
            if (r == SELECT_MATCH_NO) continue;
            for (SecIndexKeyNode* k = e->keys; k; k = k->next)
                if (append_lookup_key(out_keys, out_count, k->key, err, errlen) != 0)
                    return SELECT_STEP_ERROR;
        }
    }
    return SELECT_STEP_DONE;
}

// The same from the index's file, read without the table's lock.
SelectStep composite_keys_from_file(Table* table, int pos, const TableSchema* schema,
                                    const IndexDef* def, const SelectQuery* query, int prefix,
                                    char*** out_keys, int* out_count, char* err, size_t errlen) {
    std::vector<IndexFileEntry> entries;
    int r = index_file_read_entries(table, pos, &entries, err, errlen);
    if (r != 0) return step_of_lookup(r);
    for (const IndexFileEntry& e : entries) {
        if (e.deleted) continue;
        SelectMatch m =
            composite_index_value_matches(schema, def, query, e.value.c_str(), prefix, err, errlen);
        if (m == SELECT_MATCH_ERROR) {
            drop_lookup_keys(out_keys, out_count);
            return SELECT_STEP_ERROR;
        }
        if (m == SELECT_MATCH_YES &&
            append_lookup_key(out_keys, out_count, e.key.c_str(), err, errlen) != 0)
            return SELECT_STEP_ERROR;
    }
    return SELECT_STEP_DONE;
}

}  // namespace

SelectStep lookup_keys_from_composite_index(Table* table, const SelectQuery* query,
                                            char*** out_keys, int* out_count, char* err,
                                            size_t errlen) {
    if (out_keys) *out_keys = nullptr;
    if (out_count) *out_count = 0;
    if (!table || !query || !out_keys || !out_count) return SELECT_STEP_NOT_APPLICABLE;
    if (!query->has_where || query->pred_count < 1) return SELECT_STEP_NOT_APPLICABLE;

    IndexDef def;
    std::unique_ptr<TableSchema> schema(new (std::nothrow) TableSchema);
    if (!schema) {
        set_err(err, errlen, "oom");
        return SELECT_STEP_ERROR;
    }
    int prefix = 0;
    const int pos = pick_composite_index(table, query, &def, schema.get(), &prefix);
    if (pos < 0) return SELECT_STEP_NOT_APPLICABLE;
    indexdef_ensure_defaults(&def);

    // Every column fixed: one look-up of the whole value, when it has one text.
    if (prefix >= def.column_count && def.column_count > 1) {
        char* exact = nullptr;
        SelectStep r =
            composite_index_build_exact_value(schema.get(), &def, query, &exact, err, errlen);
        if (r == SELECT_STEP_ERROR) return SELECT_STEP_ERROR;
        if (r == SELECT_STEP_DONE) {
            CStr hold(exact);
            return step_of_lookup(
                lookup_keys_from_index_exact(table, pos, exact, out_keys, out_count, err, errlen));
        }
    }
    SelectStep r = composite_keys_from_map(table, pos, schema.get(), &def, query, prefix, out_keys,
                                           out_count, err, errlen);
    if (r != SELECT_STEP_NOT_APPLICABLE) return r;
    return composite_keys_from_file(table, pos, schema.get(), &def, query, prefix, out_keys,
                                    out_count, err, errlen);
}

// ---- rows -------------------------------------------------------------------

int append_select_row_from_version(SelectRow** rows, int* count, int* capacity,
                                   const VersionedRow* version, char* err, size_t errlen) {
    if (!version_live(version)) return 0;
    if (!rows || !count || !capacity) return -1;
    if (*count >= *capacity) {
        int cap = *capacity == 0 ? 32 : *capacity * 2;
        if (cap <= *capacity) {
            set_err(err, errlen, "oom");
            return -1;
        }
        SelectRow* grown = static_cast<SelectRow*>(std::realloc(*rows, sizeof(SelectRow) * cap));
        if (!grown) {
            set_err(err, errlen, "oom");
            return -1;
        }
        *rows = grown;
        *capacity = cap;
    }
    char* json = xstrdup2(version->json);
    if (!json) {
        set_err(err, errlen, "oom");
        return -1;
    }
    SelectRow* r = &(*rows)[*count];
    snprintf(r->key, sizeof r->key, "%s", version->key ? version->key : "");
    r->row_json = json;
    *count += 1;
    return 0;
}

int append_projected_row_json(char** data, uint64_t* capacity, uint64_t* length,
                              const TableSchema* schema, const SelectQuery* query,
                              const char* row_json, char* err, size_t errlen) {
    if (!query) return -1;
    if (query->select_star)
        return json_buf_append_str(data, capacity, length, row_json ? row_json : "null", err,
                                   errlen);
    if (json_buf_append(data, capacity, length, "{", 1, err, errlen) != 0) return -1;
    int first = 1;
    for (int i = 0; i < query->column_count && i < SELECT_MAX_ITEMS; ++i) {
        char* raw = nullptr;
        if (item_value_raw(schema, query, i, row_json, &raw, err, errlen) != 0) {
            std::free(raw);
            return -1;
        }
        CStr hold(raw);
        if (append_json_key_raw(data, capacity, length, &first, query->label[i], raw, err,
                                errlen) != 0)
            return -1;
    }
    return json_buf_append(data, capacity, length, "}", 1, err, errlen);
}

int select_pk_lookup_key(const Table* table, const char* value, char* out, size_t cap) {
    if (!out || cap == 0) return -1;
    out[0] = '\0';
    if (!table || !value) return -1;
    int c = schema_get_col(&table->schema, table->schema.primary_key);
    int type = c >= 0 ? table->schema.columns[c].type : COL_TYPE_STRING;
    std::string key;
    // The key form every writer stores (pk_key_form); a literal that cannot
    // be a key of the column's type addresses no row.
    if (pk_key_form(type, value, PK_FROM_LITERAL, &key) != 0 || key.size() >= cap) return -1;
    memcpy(out, key.c_str(), key.size() + 1);
    return 0;
}

// ---- streaming --------------------------------------------------------------

namespace {

// Streams the live versions that visit() yields into a fresh reply.
template <typename Visit>
SelectStep stream_rows(Table* t, const TableSchema* schema, const char* table_name,
                       const SelectQuery* query, Visit&& visit, char** out, char* err,
                       size_t errlen) {
    JsonBuf b;
    if (json_buf_init(&b, JSON_BUF_INITIAL, err, errlen) != 0) return SELECT_STEP_ERROR;
    CStr esc(json_escape_string(table_name ? table_name : ""));
    if (!esc || json_buf_append_str(&b, reply_head(esc.get()).c_str(), err, errlen) != 0) {
        if (!esc) set_err(err, errlen, "oom");
        json_buf_free(&b);
        return SELECT_STEP_ERROR;
    }
    int written = 0;
    int rc;
    {
        RwReadGuard g(&t->lock);
        rc = visit([&](const VersionedRow* v) -> int {
            if (query->limit >= 0 && written >= query->limit) return 1;
            if (!version_live(v)) return 0;
            if (query->has_where) {
                SelectMatch m = select_row_matches_where(schema, query, v->json, err, errlen);
                if (m == SELECT_MATCH_ERROR) return -1;
                if (m == SELECT_MATCH_NO) return 0;
            }
            return append_raw_row_json_to_result(&b.data, &b.capacity, &b.length, &written, v->json,
                                                 err, errlen) == 0
                       ? 0
                       : -1;
        });
    }
    if (rc < 0 || json_buf_append_str(&b, "]}", err, errlen) != 0) {
        json_buf_free(&b);
        return SELECT_STEP_ERROR;
    }
    *out = b.data;
    return SELECT_STEP_DONE;
}

}  // namespace

SelectStep select_all_stream_pk_map_json(Table* table, const TableSchema* schema,
                                         const char* table_name, const SelectQuery* query,
                                         char** out, char* err, size_t errlen) {
    if (out) *out = nullptr;
    if (!table || !query || !out) return SELECT_STEP_ERROR;
    if (!table->pk_map.buckets) return SELECT_STEP_NOT_APPLICABLE;
    return stream_rows(
        table, schema, table_name, query,
        [&](auto&& fn) {
            if (!table->pk_map.buckets) return 0;
            return visit_pk_map(table, [&](const VersionedRow* v) { return fn(v); });
        },
        out, err, errlen);
}

SelectStep select_all_stream_index_keys_json(Table* table, const TableSchema* schema,
                                             const char* table_name, const SelectQuery* query,
                                             char* const* keys, int count, char** out, char* err,
                                             size_t errlen) {
    if (out) *out = nullptr;
    if (!table || !query || !out) return SELECT_STEP_ERROR;
    if (!table->pk_map.buckets || (!keys && count > 0) || count < 0)
        return SELECT_STEP_NOT_APPLICABLE;
    return stream_rows(
        table, schema, table_name, query,
        [&](auto&& fn) {
            if (!table->pk_map.buckets) return 0;
            for (int i = 0; i < count; ++i) {
                int r = fn(pk_latest_map_get(table, keys[i]));
                if (r != 0) return r < 0 ? -1 : 1;
            }
            return 0;
        },
        out, err, errlen);
}

// ---- the statement ----------------------------------------------------------

int select_rows_json(const char* internal_name, const char* table_name, const SelectQuery* query,
                     char** out, char* err, size_t errlen) {
    if (out) *out = nullptr;
    if (!out) return -1;
    if (!query || !internal_name) {
        set_err(err, errlen, "table not found");
        return -1;
    }
    int idx = table_find_index(internal_name);
    if (idx < 0) {
        set_err(err, errlen, "table not found");
        return -1;
    }
    Table* t = &g_tables[idx];
    const char* shown = table_name && *table_name ? table_name : internal_name;
    CStr esc(json_escape_string(shown));
    if (!esc) {
        set_err(err, errlen, "oom");
        return -1;
    }
    const bool plain = is_plain_star(query);

    bool pk_lookup = false;
    bool key_ok = false;
    char key[SELECT_ROW_KEY_MAX];
    key[0] = '\0';
    std::unique_ptr<TableSchema> schema(new (std::nothrow) TableSchema);
    if (!schema) {
        set_err(err, errlen, "oom");
        return -1;
    }
    {
        RwReadGuard g(&t->lock);
        if (t->dropped || !t->schema.name[0]) {
            set_err(err, errlen, "table not found");
            return -1;
        }
        pk_lookup = query->has_where && query->pred_count == 1 &&
                    strcmp(query->pred_op[0], "=") == 0 && t->schema.primary_key[0] &&
                    strcasecmp(query->pred_col[0], t->schema.primary_key) == 0;
        if (pk_lookup) key_ok = select_pk_lookup_key(t, query->pred_value[0], key, sizeof key) == 0;

        if (pk_lookup && plain && t->pk_map.buckets) {
            // One map look-up; the WHERE re-check decides with the typed compare.
            std::string row;
            VersionedRow* v = key_ok && query->limit != 0 ? pk_latest_map_get(t, key) : nullptr;
            if (version_live(v)) {
                SelectMatch m = select_row_matches_where(&t->schema, query, v->json, err, errlen);
                if (m == SELECT_MATCH_ERROR) return -1;
                if (m == SELECT_MATCH_YES) row = v->json;
            }
            g.unlock();
            size_t nesc = strlen(esc.get());
            size_t need = nesc + row.size() + 64;
            char* reply = static_cast<char*>(std::malloc(need));
            if (!reply) {
                set_err(err, errlen, "oom");
                return -1;
            }
            snprintf(reply, need, "{\"ok\":true,\"table\":\"%s\",\"rows\":[%s]}", esc.get(),
                     row.c_str());
            *out = reply;
            return 0;
        }
        *schema = t->schema;
    }

    // Candidate keys from an index. An index never changes the answer: when
    // it cannot serve the predicate (or its look-up fails) the scan decides.
    // Nor is one used for a WHERE naming a column the schema lacks (another
    // case, say): checking a row reports that, which no candidates would hide.
    bool where_columns_exist = true;
    for (int k = 0; k < query->pred_count && k < SELECT_MAX_PREDICATES; ++k)
        if (schema_get_col(schema.get(), query->pred_col[k]) < 0) where_columns_exist = false;
    KeyList list;
    if (!pk_lookup && where_columns_exist && query->has_where && query->pred_count >= 1) {
        char msg[256] = {0};
        SelectStep r =
            lookup_keys_from_composite_index(t, query, &list.keys, &list.count, msg, sizeof msg);
        if (r == SELECT_STEP_DONE) {
            list.present = true;
        } else {
            list.reset();
            if (query->pred_count == 1 && strcmp(query->pred_op[0], "=") == 0) {
                int rc = lookup_keys_from_index(t, query->pred_col[0], "=", query->pred_value[0],
                                                &list.keys, &list.count, msg, sizeof msg);
                if (rc == 0)
                    list.present = true;
                else
                    list.reset();
            }
        }
    }

    if (plain) {
        SelectStep r =
            list.present
                ? select_all_stream_index_keys_json(t, schema.get(), shown, query, list.keys,
                                                    list.count, out, err, errlen)
                : select_all_stream_pk_map_json(t, schema.get(), shown, query, out, err, errlen);
        if (r != SELECT_STEP_NOT_APPLICABLE) return r == SELECT_STEP_DONE ? 0 : -1;
    }

    // Row collection.
    RowSet rs;
    {
        RwReadGuard g(&t->lock);
        auto take = [&](const VersionedRow* v, bool check) -> int {
            if (!version_live(v)) return 0;
            if (check) {
                SelectMatch m = select_row_matches_where(schema.get(), query, v->json, err, errlen);
                if (m == SELECT_MATCH_ERROR) return -1;
                if (m == SELECT_MATCH_NO) return 0;
            }
            return append_select_row_from_version(&rs.rows, &rs.count, &rs.capacity, v, err,
                                                  errlen);
        };
        if (t->pk_map.buckets && (pk_lookup || list.present)) {
            if (pk_lookup) {
                if (key_ok && take(pk_latest_map_get(t, key), true) < 0) return -1;
            } else {
                for (int i = 0; i < list.count; ++i)
                    if (take(pk_latest_map_get(t, list.keys[i]), query->has_where != 0) < 0)
                        return -1;
            }
        } else if (t->pk_map.buckets) {
            if (visit_pk_map(t, [&](const VersionedRow* v) {
                    return take(v, query->has_where != 0) < 0 ? -1 : 0;
                }) < 0)
                return -1;
        } else {
            std::unordered_set<std::string> seen;
            std::unordered_set<std::string> wanted;
            if (list.present)
                for (int i = 0; i < list.count; ++i) wanted.insert(list.keys[i]);
            for (const VersionedRow* v = t->rows; v; v = v->next) {
                const char* k = v->key ? v->key : "";
                if (pk_lookup && !(key_ok && strcmp(k, key) == 0)) continue;
                if (list.present && !wanted.count(k)) continue;
                if (!seen.insert(k).second) continue;
                if (v->deleted) continue;
                if (take(v, query->has_where != 0) < 0) return -1;
            }
        }
    }

    // Grouping, aggregates, sorting and windows work on the private copies.
    if (query->has_group_by)
        return build_grouped_rows_json(schema.get(), esc.get(), query, rs.rows, rs.count, out, err,
                                       errlen);
    if (query->has_aggregate)
        return build_aggregate_rows_json(schema.get(), esc.get(), query, rs.rows, rs.count, out,
                                         err, errlen);
    if (query->order_by[0] &&
        select_sort_rows_by_order(schema.get(), query, rs.rows, rs.count, err, errlen) != 0)
        return -1;
    if (query->has_window)
        return build_window_rows_json(schema.get(), esc.get(), query, rs.rows, rs.count, out, err,
                                      errlen);

    JsonBuf b;
    if (json_buf_init(&b, JSON_BUF_INITIAL, err, errlen) != 0) return -1;
    if (json_buf_append_str(&b, reply_head(esc.get()).c_str(), err, errlen) != 0) {
        json_buf_free(&b);
        return -1;
    }
    for (int i = 0; i < rs.count; ++i) {
        if (query->limit >= 0 && i >= query->limit) break;
        if ((i > 0 && json_buf_append(&b.data, &b.capacity, &b.length, ",", 1, err, errlen) != 0) ||
            append_projected_row_json(&b.data, &b.capacity, &b.length, schema.get(), query,
                                      rs.rows[i].row_json, err, errlen) != 0) {
            json_buf_free(&b);
            return -1;
        }
    }
    if (json_buf_append_str(&b, "]}", err, errlen) != 0) {
        json_buf_free(&b);
        return -1;
    }
    *out = b.data;
    return 0;
}
