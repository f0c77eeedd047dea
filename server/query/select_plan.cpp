// The pieces of a SELECT's access paths: the WHERE test of a row, the "="
// predicates that fix a composite index's leading columns, the candidate keys
// such an index yields (from its in-memory map, else its file) and the key
// text of a primary-key look-up. See select_plan.h.
#include "query/select_plan.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <strings.h>

#include "base/err.h"
#include "base/json_text.h"
#include "base/owned.h"
#include "base/text_util.h"
#include "storage/ident.h"
#include "storage/index_file.h"
#include "storage/index_values.h"
#include "storage/pk_map.h"
#include "storage/order_tree.h"
#include "storage/pk_order.h"
#include "storage/sec_order.h"
#include "storage/row_version.h"
#include "storage/sec_index.h"
#include "storage/table.h"

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

namespace {

// Empties a candidate list after a failed step.
void drop_lookup_keys(char*** keys, int* count) {
    free_string_array(*keys, *count);
    *keys = nullptr;
    *count = 0;
}

}  // namespace

int append_lookup_key(char*** keys, int* count, const char* key, char* err, size_t errlen) {
    if (!keys || !count) return -1;
    int n = *count;
    // The list grows by doubling; its capacity is the power of two at or above n.
    if (n == 0 || (n & (n - 1)) == 0) {
        size_t cap = n == 0 ? 8 : static_cast<size_t>(n) * 2;
        if (n != 0 && n < 8) cap = 8;
        char** grown = static_cast<char**>(std::realloc(*keys, cap * sizeof(char*)));
        if (!grown) {
            drop_lookup_keys(keys, count);
            set_err(err, errlen, "oom");
            return -1;
        }
        *keys = grown;
    }
    char* copy = xstrdup(key ? key : "");
    if (!copy) {
        drop_lookup_keys(keys, count);
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

// ---- primary key ------------------------------------------------------------

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

// ---- ordered access ---------------------------------------------------------

namespace {

bool is_range_op(const char* op) {
    return !strcmp(op, "<") || !strcmp(op, "<=") || !strcmp(op, ">") || !strcmp(op, ">=");
}

// The schema's name of the ORDER BY column (the sort looks it up ignoring
// case), or NULL.
const char* order_column(const TableSchema* schema, const SelectQuery* query) {
    if (!query->order_by[0]) return nullptr;
    int c = schema_get_col_ci(schema, query->order_by);
    return c >= 0 ? schema->columns[c].name : nullptr;
}

// The bounds the WHERE sets on column (exact name): its range predicates, and
// its "=" ones when with_eq. Their count.
int bounds_on(const SelectQuery* query, const char* column, bool with_eq, OrderBound* out) {
    int n = 0;
    for (int k = 0; query->has_where && k < query->pred_count && k < SELECT_MAX_PREDICATES; ++k) {
        const char* op = query->pred_op[k];
        if (!strcmp(query->pred_col[k], column) &&
            (is_range_op(op) || (with_eq && !strcmp(op, "="))))
            out[n++] = OrderBound{op, query->pred_value[k]};
    }
    return n;
}

// What a path made of the query: served (fn may have stopped it), fn's
// error, or not served (nothing visited).
enum Visit { VISIT_SERVED = 0, VISIT_ERROR = -1, VISIT_NOT_SERVED = 1 };

Visit served(int fn_result) { return fn_result < 0 ? VISIT_ERROR : VISIT_SERVED; }

// Visits the rows of the keys that keys() adds in the order of a walk of the
// primary-key map: the order of a scan, which ties and answers without ORDER
// BY keep. fn's last non-zero answer, else 0.
template <typename Keys>
int visit_in_walk_order(Keys&& keys, const std::function<int(const VersionedRow*)>& fn) {
    std::vector<PkLatestEntry*> hits;
    keys([&](PkLatestEntry* e) {
        if (e) hits.push_back(e);
    });
    std::sort(hits.begin(), hits.end(), pk_walk_before);
    for (PkLatestEntry* e : hits)
        if (int r = fn(e->row)) return r;
    return 0;
}

// Through the primary key's order.
Visit visit_by_key(Table* table, const SelectQuery* query, const char* order_col,
                   const std::function<int(const VersionedRow*)>& fn) {
    const TableSchema* schema = &table->schema;
    const bool by_key = order_col && !strcmp(order_col, schema->primary_key);
    if ((order_col && !by_key) || !pk_order_usable(table)) return VISIT_NOT_SERVED;
    OrderBound bounds[SELECT_MAX_PREDICATES];
    const int n = bounds_on(query, schema->primary_key, true, bounds);
    if (!by_key && n == 0) return VISIT_NOT_SERVED;
    // Keys never compare equal here, so the key order is the sort's order.
    if (by_key)
        return served(pk_order_visit(table, bounds, n, query->order_desc != 0,
                                     [&](PkLatestEntry* e) { return fn(e->row); }));
    return served(visit_in_walk_order(
        [&](auto&& add) {
            pk_order_visit(table, bounds, n, false, [&](PkLatestEntry* e) {
                add(e);
                return 0;
            });
        },
        fn));
}

// Through the order of a one-column index on a column the WHERE bounds with a
// range (rows lacking the column match no such bound, so the index holds
// every row that can match).
Visit visit_by_index(Table* table, const SelectQuery* query, const char* order_col,
                     const std::function<int(const VersionedRow*)>& fn) {
    const TableSchema* schema = &table->schema;
    const int count =
        table->index_count < KYREL_MAX_INDEXES ? table->index_count : KYREL_MAX_INDEXES;
    for (int i = 0; i < count; ++i) {
        const IndexDef& d = table->indexes[i];
        if (d.column_count > 1 || (order_col && strcmp(d.column, order_col) != 0)) continue;
        const int c = schema_get_col(schema, d.column);
        if (c < 0) continue;
        const int type = schema->columns[c].type;
        // The sort reads a double from the row's text in more digits than
        // the index keeps: ORDER BY a double column is left to the sort.
        if (order_col && type == COL_TYPE_DOUBLE) continue;
        OrderBound bounds[SELECT_MAX_PREDICATES];
        const int n = bounds_on(query, d.column, true, bounds);
        bool ranged = false;
        for (int k = 0; k < n; ++k) ranged = ranged || is_range_op(bounds[k].op);
        if (!ranged || !sec_index_map_usable(table, i) || !pk_latest_map_complete(table)) continue;
        SecIndexMap* m = &table->sec_maps[i];
        if (!sec_order_usable(m, type)) continue;
        auto keys_of = [&](SecIndexValueEntry* v, auto&& add) {
            for (SecIndexKeyNode* k = v->keys; k; k = k->next)
                add(pk_latest_map_entry(table, k->key));
        };
        if (!order_col) {
            int r = 0;
            const int rc = visit_in_walk_order(
                [&](auto&& add) {
                    r = sec_order_visit(m, bounds, n, false, [&](SecIndexValueEntry* v) {
                        keys_of(v, add);
                        return 0;
                    });
                },
                fn);
            if (r == ORDER_VISIT_CANNOT_SERVE) continue;  // nothing was visited
            return served(rc);
        }
        // Values in order; the rows of one value (ties of the sort) in the
        // order of the scan, whichever the direction.
        const int rc =
            sec_order_visit(m, bounds, n, query->order_desc != 0, [&](SecIndexValueEntry* v) {
                return visit_in_walk_order([&](auto&& add) { keys_of(v, add); }, fn);
            });
        if (rc == ORDER_VISIT_CANNOT_SERVE) continue;
        return served(rc);
    }
    return VISIT_NOT_SERVED;
}

}  // namespace

int select_ordered_applies(const TableSchema* schema, const SelectQuery* query) {
    if (!schema || !query || !schema->primary_key[0]) return 0;
    if (query->has_group_by || query->has_aggregate || query->has_window) return 0;
    const char* order_col = order_column(schema, query);
    if (query->order_by[0] && !order_col) return 0;
    if (query->has_where) {
        if (query->pred_count < 1) return 0;
        // A column the schema lacks is reported by the scan's row checks.
        for (int k = 0; k < query->pred_count && k < SELECT_MAX_PREDICATES; ++k)
            if (schema_get_col(schema, query->pred_col[k]) < 0) return 0;
    }
    OrderBound bounds[SELECT_MAX_PREDICATES];
    if (order_col && !strcmp(order_col, schema->primary_key)) return 1;
    if (!order_col && bounds_on(query, schema->primary_key, true, bounds) > 0) return 1;
    for (int k = 0; query->has_where && k < query->pred_count && k < SELECT_MAX_PREDICATES; ++k)
        if (is_range_op(query->pred_op[k]) &&
            (!order_col || !strcmp(query->pred_col[k], order_col)))
            return 1;
    return 0;
}

int select_ordered_visit(Table* table, const SelectQuery* query,
                         const std::function<int(const VersionedRow*)>& fn, char* err,
                         size_t errlen) {
    if (!table || !query) return 1;
    const char* order_col = order_column(&table->schema, query);
    if (query->order_by[0] && !order_col) return 1;
    try {
        Visit r = visit_by_key(table, query, order_col, fn);
        if (r == VISIT_NOT_SERVED) r = visit_by_index(table, query, order_col, fn);
        return r;
    } catch (...) {
        // Rows may have been visited: the statement fails rather than
        // visiting them again by another path.
        set_err(err, errlen, "oom");
        return -1;
    }
}
