// SELECT execution: access-path choice (primary key, composite index,
// single-column index, scan; the paths' pieces are in select_plan.cpp),
// streaming of SELECT *, row collection and the hand-off to grouping,
// aggregates, sorting, windows or the projection. See select_exec.h for the
// reply shape.
//
// Locking: the table's read lock is held only while versions are read (the
// fast key reply, each streaming pass, the in-memory composite-index scan and
// the row collection); sorting, grouping and formatting work on private
// copies after it is released. Candidate rows are re-checked against the
// WHERE clause under the lock because rows may change after the index look-up.
#include "query/select_exec.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_set>

#include <strings.h>

#include "base/err.h"
#include "base/json_text.h"
#include "base/owned.h"
#include "base/text_util.h"
#include "query/aggregate.h"
#include "query/order_by.h"
#include "query/row_reply.h"
#include "query/scalar_window.h"
#include "storage/ident.h"
#include "storage/index_file.h"
#include "storage/pk_map.h"
#include "storage/row_version.h"
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
    char* json = xstrdup(version->json);
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
        if (select_expr_value_raw(schema, query, i, row_json, &raw, err, errlen) != 0) {
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

// ---- streaming --------------------------------------------------------------

namespace {

// Streams the live versions that visit() yields into a fresh reply.
template <typename Visit>
SelectStep stream_rows(Table* t, const TableSchema* schema, const char* table_name,
                       const SelectQuery* query, Visit&& visit, char** out, char* err,
                       size_t errlen) {
    CStr esc(json_escape_string(table_name ? table_name : ""));
    if (!esc) {
        set_err(err, errlen, "oom");
        return SELECT_STEP_ERROR;
    }
    JsonBuf b;
    JsonBufGuard guard{b};
    if (open_table_rows_reply(&b, JSON_BUF_INITIAL, esc.get(), err, errlen) != 0)
        return SELECT_STEP_ERROR;
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
    if (rc < 0 || close_table_rows_reply(&b, out, err, errlen) != 0) return SELECT_STEP_ERROR;
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

namespace {

// One SELECT on its way through the access paths: the table, the name the
// reply shows (and its escaped text), the primary-key look-up, the private
// schema copy and the candidate keys an index gave.
struct SelectRun {
    const SelectQuery* query = nullptr;
    Table* t = nullptr;
    const char* shown = nullptr;
    CStr esc;
    bool plain = false;
    bool pk_lookup = false;
    bool key_ok = false;   // key holds the looked-up key in its stored form
    bool ordered = false;  // an ordered tree may answer (select_ordered_applies)
    char key[SELECT_ROW_KEY_MAX] = {0};
    std::unique_ptr<TableSchema> schema;
    KeyList list;
};

// Finds the table and prepares the run. 0; -1 "table not found" or "oom".
int open_run(const char* internal_name, const char* table_name, const SelectQuery* query,
             SelectRun* run, char* err, size_t errlen) {
    if (!query || !internal_name) {
        set_err(err, errlen, "table not found");
        return -1;
    }
    int idx = table_find_index(internal_name);
    if (idx < 0) {
        set_err(err, errlen, "table not found");
        return -1;
    }
    run->query = query;
    run->t = &g_tables.slots[idx];
    run->shown = table_name && *table_name ? table_name : internal_name;
    run->esc.reset(json_escape_string(run->shown));
    if (!run->esc) {
        set_err(err, errlen, "oom");
        return -1;
    }
    run->plain = is_plain_star(query);
    run->schema.reset(new (std::nothrow) TableSchema);
    if (!run->schema) {
        set_err(err, errlen, "oom");
        return -1;
    }
    return 0;
}

// The whole reply of a look-up by one primary key: that row or no row.
int single_row_reply(const char* esc, const std::string& row, char** out, char* err,
                     size_t errlen) {
    size_t need = strlen(esc) + row.size() + 64;
    char* reply = static_cast<char*>(std::malloc(need));
    if (!reply) {
        set_err(err, errlen, "oom");
        return -1;
    }
    snprintf(reply, need, "{\"ok\":true,\"table\":\"%s\",\"rows\":[%s]}", esc, row.c_str());
    *out = reply;
    return 0;
}

// Under one hold of the read lock: the table must still stand, the
// primary-key look-up is decided, and a plain SELECT * of one key is answered
// at once (DONE). Any other query takes a copy of the schema for the paths
// that follow (NOT_APPLICABLE).
SelectStep try_primary_key(SelectRun* run, char** out, char* err, size_t errlen) {
    const SelectQuery* query = run->query;
    Table* t = run->t;
    std::string row;
    {
        RwReadGuard g(&t->lock);
        if (t->dropped || !t->schema.name[0]) {
            set_err(err, errlen, "table not found");
            return SELECT_STEP_ERROR;
        }
        run->pk_lookup = query->has_where && query->pred_count == 1 &&
                         strcmp(query->pred_op[0], "=") == 0 && t->schema.primary_key[0] &&
                         strcasecmp(query->pred_col[0], t->schema.primary_key) == 0;
        if (run->pk_lookup)
            run->key_ok =
                select_pk_lookup_key(t, query->pred_value[0], run->key, sizeof run->key) == 0;
        if (!run->pk_lookup || !run->plain || !t->pk_map.buckets) {
            *run->schema = t->schema;
            return SELECT_STEP_NOT_APPLICABLE;
        }
        // One map look-up; the WHERE re-check decides with the typed compare.
        VersionedRow* v =
            run->key_ok && query->limit != 0 ? pk_latest_map_get(t, run->key) : nullptr;
        if (version_live(v)) {
            SelectMatch m = select_row_matches_where(&t->schema, query, v->json, err, errlen);
            if (m == SELECT_MATCH_ERROR) return SELECT_STEP_ERROR;
            if (m == SELECT_MATCH_YES) row = v->json;
        }
    }
    return single_row_reply(run->esc.get(), row, out, err, errlen) == 0 ? SELECT_STEP_DONE
                                                                        : SELECT_STEP_ERROR;
}

// Candidate keys from an index. An index never changes the answer: when it
// cannot serve the predicate (or its look-up fails) the scan decides. Nor is
// one used for a WHERE naming a column the schema lacks (another case, say):
// checking a row reports that, which no candidates would hide.
void find_index_candidates(SelectRun* run) {
    const SelectQuery* query = run->query;
    if (run->pk_lookup || !query->has_where || query->pred_count < 1) return;
    for (int k = 0; k < query->pred_count && k < SELECT_MAX_PREDICATES; ++k)
        if (schema_get_col(run->schema.get(), query->pred_col[k]) < 0) return;
    KeyList& list = run->list;
    char msg[256] = {0};
    if (lookup_keys_from_composite_index(run->t, query, &list.keys, &list.count, msg, sizeof msg) ==
        SELECT_STEP_DONE) {
        list.present = true;
        return;
    }
    list.reset();
    if (query->pred_count != 1 || strcmp(query->pred_op[0], "=") != 0) return;
    if (lookup_keys_from_index(run->t, query->pred_col[0], "=", query->pred_value[0], &list.keys,
                               &list.count, msg, sizeof msg) == 0)
        list.present = true;
    else
        list.reset();
}

// SELECT * streamed over the candidates, else over the primary-key map.
SelectStep stream_plain(const SelectRun& run, char** out, char* err, size_t errlen) {
    if (run.list.present)
        return select_all_stream_index_keys_json(run.t, run.schema.get(), run.shown, run.query,
                                                 run.list.keys, run.list.count, out, err, errlen);
    if (run.ordered)
        return stream_rows(
            run.t, run.schema.get(), run.shown, run.query,
            [&](auto&& fn) {
                int r = select_ordered_visit(run.t, run.query, fn, err, errlen);
                if (r != 1) return r;
                return run.t->pk_map.buckets ? visit_pk_map(run.t, fn) : 0;
            },
            out, err, errlen);
    return select_all_stream_pk_map_json(run.t, run.schema.get(), run.shown, run.query, out, err,
                                         errlen);
}

// Copies a live version into the rows when it passes the WHERE (only tested
// when check is set). 0; -1.
int take_row(const SelectRun& run, const VersionedRow* v, bool check, RowSet* rs, char* err,
             size_t errlen) {
    if (!version_live(v)) return 0;
    if (check) {
        SelectMatch m = select_row_matches_where(run.schema.get(), run.query, v->json, err, errlen);
        if (m == SELECT_MATCH_ERROR) return -1;
        if (m == SELECT_MATCH_NO) return 0;
    }
    return append_select_row_from_version(&rs->rows, &rs->count, &rs->capacity, v, err, errlen);
}

// A table without its primary-key map: the newest version of each key from
// the version chain, limited to the looked-up key or the candidates. The
// caller holds the read lock.
int collect_from_versions(const SelectRun& run, RowSet* rs, char* err, size_t errlen) {
    std::unordered_set<std::string> seen;
    std::unordered_set<std::string> wanted;
    if (run.list.present)
        for (int i = 0; i < run.list.count; ++i) wanted.insert(run.list.keys[i]);
    for (const VersionedRow* v = run.t->rows; v; v = v->next) {
        const char* k = v->key ? v->key : "";
        if (run.pk_lookup && !(run.key_ok && strcmp(k, run.key) == 0)) continue;
        if (run.list.present && !wanted.count(k)) continue;
        if (!seen.insert(k).second) continue;
        if (v->deleted) continue;
        if (take_row(run, v, run.query->has_where != 0, rs, err, errlen) < 0) return -1;
    }
    return 0;
}

// The matching rows of the chosen path, copied under the read lock. 0; -1.
int collect_rows(const SelectRun& run, RowSet* rs, char* err, size_t errlen) {
    Table* t = run.t;
    const bool check = run.query->has_where != 0;
    RwReadGuard g(&t->lock);
    if (!t->pk_map.buckets) return collect_from_versions(run, rs, err, errlen);
    if (run.pk_lookup) {
        if (run.key_ok && take_row(run, pk_latest_map_get(t, run.key), true, rs, err, errlen) < 0)
            return -1;
        return 0;
    }
    if (run.ordered) {
        // Rows come in the answer's order, so the LIMIT ends the reading.
        const int limit = run.query->limit;
        int r = select_ordered_visit(
            t, run.query,
            [&](const VersionedRow* v) {
                if (limit >= 0 && rs->count >= limit) return 1;
                return take_row(run, v, check, rs, err, errlen) < 0 ? -1 : 0;
            },
            err, errlen);
        if (r != 1) return r < 0 ? -1 : 0;
    }
    if (run.list.present) {
        for (int i = 0; i < run.list.count; ++i)
            if (take_row(run, pk_latest_map_get(t, run.list.keys[i]), check, rs, err, errlen) < 0)
                return -1;
        return 0;
    }
    return visit_pk_map(t,
                        [&](const VersionedRow* v) {
                            return take_row(run, v, check, rs, err, errlen) < 0 ? -1 : 0;
                        }) < 0
               ? -1
               : 0;
}

// One member per select item (or the stored text for SELECT *) for each row
// up to the LIMIT.
int project_rows(const SelectRun& run, const RowSet& rs, char** out, char* err, size_t errlen) {
    const SelectQuery* query = run.query;
    JsonBuf b;
    JsonBufGuard guard{b};
    if (open_table_rows_reply(&b, JSON_BUF_INITIAL, run.esc.get(), err, errlen) != 0) return -1;
    for (int i = 0; i < rs.count; ++i) {
        if (query->limit >= 0 && i >= query->limit) break;
        if (i > 0 && json_buf_append(&b.data, &b.capacity, &b.length, ",", 1, err, errlen) != 0)
            return -1;
        if (append_projected_row_json(&b.data, &b.capacity, &b.length, run.schema.get(), query,
                                      rs.rows[i].row_json, err, errlen) != 0)
            return -1;
    }
    return close_table_rows_reply(&b, out, err, errlen);
}

// Grouping, aggregates, sorting, windows or the projection: all of them work
// on the private copies, after the lock is released.
int format_rows(const SelectRun& run, RowSet* rs, char** out, char* err, size_t errlen) {
    const SelectQuery* query = run.query;
    const TableSchema* schema = run.schema.get();
    const char* esc = run.esc.get();
    if (query->has_group_by)
        return build_grouped_rows_json(schema, esc, query, rs->rows, rs->count, out, err, errlen);
    if (query->has_aggregate)
        return build_aggregate_rows_json(schema, esc, query, rs->rows, rs->count, out, err, errlen);
    if (query->order_by[0] &&
        select_sort_rows_by_order(schema, query, rs->rows, rs->count, err, errlen) != 0)
        return -1;
    if (query->has_window)
        return build_window_rows_json(schema, esc, query, rs->rows, rs->count, out, err, errlen);
    return project_rows(run, *rs, out, err, errlen);
}

}  // namespace

int select_rows_json(const char* internal_name, const char* table_name, const SelectQuery* query,
                     char** out, char* err, size_t errlen) {
    if (out) *out = nullptr;
    if (!out) return -1;
    SelectRun run;
    if (open_run(internal_name, table_name, query, &run, err, errlen) != 0) return -1;
    SelectStep r = try_primary_key(&run, out, err, errlen);
    if (r != SELECT_STEP_NOT_APPLICABLE) return r == SELECT_STEP_DONE ? 0 : -1;
    find_index_candidates(&run);
    run.ordered = !run.list.present && select_ordered_applies(run.schema.get(), query);
    if (run.plain) {
        r = stream_plain(run, out, err, errlen);
        if (r != SELECT_STEP_NOT_APPLICABLE) return r == SELECT_STEP_DONE ? 0 : -1;
    }
    RowSet rs;
    if (collect_rows(run, &rs, err, errlen) != 0) return -1;
    return format_rows(run, &rs, out, err, errlen);
}
