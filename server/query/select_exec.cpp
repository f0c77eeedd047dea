// SELECT execution: access-path choice (primary key, composite index,
// single-column index, scan; the paths' pieces are in select_plan.cpp),
// streaming of SELECT *, the scans that read rows in place (projection,
// aggregates and groups, ORDER BY with its top-N heap) and the plain path
// that copies rows out (the reference of the scans). See select_exec.h for
// the reply shape.
//
// Locking: the table's read lock is held while versions are read (the fast
// key reply, each streaming pass or scan, the in-memory composite-index scan
// and the row collection). A projection and an ORDER BY reply are written
// under it from the stored texts; aggregate replies are written after it from
// the accumulators' own copies. Candidate rows are re-checked against the
// WHERE clause under the lock because rows may change after the index look-up.
#include "query/select_exec.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include <strings.h>

#include "base/err.h"
#include "base/json_text.h"
#include "base/owned.h"
#include "base/text_util.h"
#include "query/aggregate.h"
#include "query/order_by.h"
#include "query/row_read.h"
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
//
// A chain is a linked list, so walking one makes each entry wait for the one
// before it. The chains of a group of buckets are therefore walked side by
// side and their rows gathered first (the memory of several entries is then
// fetched at once), and each version and its text are prefetched a few rows
// before fn reads them. Groups start at one bucket and grow to 16, so that a
// walk stopped early (a LIMIT) gathers little. The order is unchanged.
template <typename Fn>
int visit_pk_map(Table* t, Fn&& fn) {
    constexpr uint64_t kMaxGroup = 16;
    constexpr size_t kAhead = 8;
    PkLatestMap* m = &t->pk_map;
    std::vector<VersionedRow*> lists[kMaxGroup];
    std::vector<VersionedRow*> rows;
    uint64_t b = 0;
    bool gathered = false;  // fn has seen rows of bucket b
    try {
        for (uint64_t group = 1; b < m->bucket_count;
             b += group, group = group < kMaxGroup ? group * 2 : group) {
            const uint64_t n = group < m->bucket_count - b ? group : m->bucket_count - b;
            gathered = false;
            PkLatestEntry* cur[kMaxGroup];
            bool more = false;
            for (uint64_t i = 0; i < n; ++i) {
                cur[i] = m->buckets[b + i];
                lists[i].clear();
                more = more || cur[i];
            }
            while (more) {
                more = false;
                for (uint64_t i = 0; i < n; ++i) {
                    if (!cur[i]) continue;
                    lists[i].push_back(cur[i]->row);
                    cur[i] = cur[i]->next;
                    more = more || cur[i];
                }
            }
            rows.clear();
            for (uint64_t i = 0; i < n; ++i)
                rows.insert(rows.end(), lists[i].begin(), lists[i].end());
            gathered = true;
            for (size_t k = 0; k < rows.size(); ++k) {
                if (k + kAhead < rows.size()) __builtin_prefetch(rows[k + kAhead]);
                if (k + kAhead / 2 < rows.size() && rows[k + kAhead / 2])
                    __builtin_prefetch(rows[k + kAhead / 2]->json);
                int r = fn(rows[k]);
                if (r != 0) return r < 0 ? -1 : 1;
            }
        }
    } catch (...) {
        // Out of memory for the gathered rows: the rest one entry at a time.
        if (gathered) return -2;  // not from the gathering: give up
        for (; b < m->bucket_count; ++b) {
            for (PkLatestEntry* e = m->buckets[b]; e; e = e->next) {
                int r = fn(e->row);
                if (r != 0) return r < 0 ? -1 : 1;
            }
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
    bool key_ok = false;  // key holds the looked-up key in its stored form
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
    return select_all_stream_pk_map_json(run.t, run.schema.get(), run.shown, run.query, out, err,
                                         errlen);
}

// A table without its primary-key map: the newest version of each key from
// the version chain, limited to the looked-up key or the candidates. The
// caller holds the read lock.
template <typename Fn>
int visit_chain(const SelectRun& run, Fn&& fn) {
    std::unordered_set<std::string> seen;
    std::unordered_set<std::string> wanted;
    if (run.list.present)
        for (int i = 0; i < run.list.count; ++i) wanted.insert(run.list.keys[i]);
    for (const VersionedRow* v = run.t->rows; v; v = v->next) {
        const char* k = v->key ? v->key : "";
        if (run.pk_lookup && !(run.key_ok && strcmp(k, run.key) == 0)) continue;
        if (run.list.present && !wanted.count(k)) continue;
        if (!seen.insert(k).second) continue;
        if (!version_live(v)) continue;
        int r = fn(v);
        if (r != 0) return r;
    }
    return 0;
}

// Visits the live newest version of every row the chosen path names, in the
// path's order: the looked-up key, the candidates in list order, the map's
// walk order, or the version chain when the map is missing. The caller holds
// the read lock. fn returns 0 to go on, 1 to stop, -1 on error; the result
// is fn's last (0 at the end).
template <typename Fn>
int visit_rows(const SelectRun& run, Fn&& fn) {
    Table* t = run.t;
    auto live = [&](const VersionedRow* v) { return version_live(v) ? fn(v) : 0; };
    try {
        if (!t->pk_map.buckets) return visit_chain(run, fn);
    } catch (...) {
        return -2;  // the seen-key sets ran out of memory
    }
    if (run.pk_lookup) return run.key_ok ? live(pk_latest_map_get(t, run.key)) : 0;
    if (run.list.present) {
        for (int i = 0; i < run.list.count; ++i) {
            int r = live(pk_latest_map_get(t, run.list.keys[i]));
            if (r != 0) return r;
        }
        return 0;
    }
    return visit_pk_map(t, live);
}

// visit_rows under the read lock with the outcome as 0 / -1 ("oom" set for
// an allocation failure of the walk itself).
template <typename Fn>
int visit_rows_locked(const SelectRun& run, Fn&& fn, char* err, size_t errlen) {
    RwReadGuard g(&run.t->lock);
    int r = visit_rows(run, fn);
    if (r == -2) set_err(err, errlen, "oom");
    return r < 0 ? -1 : 0;
}

// The matching rows of the chosen path, copied under the read lock. 0; -1.
int collect_rows(const SelectRun& run, RowSet* rs, char* err, size_t errlen) {
    return visit_rows_locked(
        run,
        [&](const VersionedRow* v) -> int {
            SelectMatch m =
                select_row_matches_where(run.schema.get(), run.query, v->json, err, errlen);
            if (m == SELECT_MATCH_ERROR) return -1;
            if (m == SELECT_MATCH_NO) return 0;
            return append_select_row_from_version(&rs->rows, &rs->count, &rs->capacity, v, err,
                                                  errlen) == 0
                       ? 0
                       : -1;
        },
        err, errlen);
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

// ---- rows read in place -----------------------------------------------------

// The projection of one row read in place: the stored text for SELECT *, else
// one member per item, a plain column's value copied straight from the row.
// Every other item, and a column the row lacks, goes through
// select_expr_value_raw, which gives its value or its error.
struct Projection {
    const TableSchema* schema = nullptr;
    const SelectQuery* query = nullptr;
    std::vector<std::string> head;  // per item: [,]"<escaped label>":
    std::vector<int> field;         // per item: member of a plain column, else -1

    void prepare(const TableSchema* s, const SelectQuery* q, RowFields* fields) {
        schema = s;
        query = q;
        if (q->select_star) return;
        for (int i = 0; i < q->column_count && i < SELECT_MAX_ITEMS; ++i) {
            head.push_back(std::string(i > 0 ? "," : "") + "\"" + json_escaped(q->label[i]) +
                           "\":");
            int col = q->kind[i] == EXPR_COLUMN ? schema_get_col_ci(s, q->arg[i]) : -1;
            field.push_back(col >= 0 ? fields->add(s->columns[col].name) : -1);
        }
    }

    // Appends the row (its members already read into fields) as element
    // *written of the reply.
    int append(JsonBuf* b, RowFields& fields, const char* json, int* written, char* err,
               size_t errlen) const {
        if (*written > 0 &&
            json_buf_append(&b->data, &b->capacity, &b->length, ",", 1, err, errlen) != 0)
            return -1;
        ++*written;
        if (query->select_star) return json_buf_append_str(b, json, err, errlen);
        if (json_buf_append(&b->data, &b->capacity, &b->length, "{", 1, err, errlen) != 0)
            return -1;
        for (size_t i = 0; i < head.size(); ++i) {
            if (json_buf_append(&b->data, &b->capacity, &b->length, head[i].data(), head[i].size(),
                                err, errlen) != 0)
                return -1;
            if (fields.present(field[i])) {
                const char* v;
                size_t n;
                fields.raw_span(field[i], &v, &n);
                if (json_buf_append(&b->data, &b->capacity, &b->length, v, n, err, errlen) != 0)
                    return -1;
                continue;
            }
            char* raw = nullptr;
            if (select_expr_value_raw(schema, query, static_cast<int>(i), json, &raw, err,
                                      errlen) != 0) {
                std::free(raw);
                return -1;
            }
            CStr hold(raw);
            if (json_buf_append_str(b, raw ? raw : "null", err, errlen) != 0) return -1;
        }
        return json_buf_append(&b->data, &b->capacity, &b->length, "}", 1, err, errlen);
    }
};

// The visitor of a scan: each row the path names is read once in place,
// tested against the prepared WHERE and, when it matches, handed to
// consume(fields, v) (0 go on, 1 stop, -1 error).
template <typename Consume>
auto matching_rows(RowFields& fields, WherePlan& where, Consume& consume, char* err,
                   size_t errlen) {
    return [&fields, &where, &consume, err, errlen](const VersionedRow* v) -> int {
        fields.read(v->json);
        SelectMatch m = where.match(fields, err, errlen);
        if (m == SELECT_MATCH_ERROR) return -1;
        if (m == SELECT_MATCH_NO) return 0;
        return consume(fields, v);
    };
}

// The scan under the read lock. 0; -1.
template <typename Consume>
int scan_matching(const SelectRun& run, RowFields& fields, WherePlan& where, Consume&& consume,
                  char* err, size_t errlen) {
    return visit_rows_locked(run, matching_rows(fields, where, consume, err, errlen), err, errlen);
}

// GROUP BY and aggregates, fed row by row as the rows are read.
int scan_aggregate(const SelectRun& run, char** out, char* err, size_t errlen) {
    RowFields fields;
    WherePlan where;
    AggregateScan agg;
    try {
        where.prepare(run.schema.get(), run.query, &fields);
        agg.prepare(run.schema.get(), run.query, &fields);
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    // LIMIT 0 without GROUP BY computes nothing; only a WHERE error could
    // still end the statement.
    if (agg.needs_rows() || where.may_fail()) {
        const bool feed = agg.needs_rows();
        if (scan_matching(
                run, fields, where,
                [&](RowFields& f, const VersionedRow*) -> int {
                    if (!feed) return 1;
                    return agg.add(f, err, errlen) == 0 ? 0 : -1;
                },
                err, errlen) != 0)
            return -1;
    }
    return agg.finish(run.esc.get(), out, err, errlen);
}

// One row kept for ORDER BY: its key (a string key's text in `text`) and the
// stored text, valid while the read lock is held.
struct OrderedRow {
    SortKey key;
    std::string text;
    const char* json;
};

// ORDER BY: the typed key of each matching row, read in place. With a LIMIT
// only the first LIMIT rows of the order are kept, in a bounded heap; as the
// order is total (ties by scan position) they are exactly the rows a full
// sort would put first. The kept rows are sorted and written under the same
// read lock, projected or through the window functions.
int scan_ordered(const SelectRun& run, char** out, char* err, size_t errlen) {
    const SelectQuery* query = run.query;
    const TableSchema* schema = run.schema.get();
    // A window query without ORDER BY takes the rows in scan order: every
    // key is then null and the positions decide.
    const bool sorting = query->order_by[0] != '\0';
    const int col = sorting ? schema_get_col_ci(schema, query->order_by) : -1;
    const int type = col >= 0 ? schema->columns[col].type : COL_TYPE_INT;
    const int desc = query->order_desc ? 1 : 0;
    RowFields fields;
    WherePlan where;
    Projection projection;
    int key_field = -1;
    try {
        where.prepare(schema, query, &fields);
        key_field = col >= 0 ? fields.add(schema->columns[col].name) : -1;
        if (!query->has_window) projection.prepare(schema, query, &fields);
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    const bool bounded = query->limit >= 0;
    const size_t keep = bounded ? static_cast<size_t>(query->limit) : 0;

    auto before = [&](const OrderedRow& a, const OrderedRow& b) {
        SortKey ka = a.key, kb = b.key;
        if (type == COL_TYPE_STRING) {
            ka.text = const_cast<char*>(a.text.c_str());
            kb.text = const_cast<char*>(b.text.c_str());
        }
        return select_sort_key_compare(&ka, &kb, type, desc) < 0;
    };
    std::vector<OrderedRow> kept;
    std::string scratch;
    OrderedRow cand{};
    int matched = 0;
    JsonBuf b;
    JsonBufGuard guard{b};
    RwReadGuard g(&run.t->lock);
    auto keep_row = [&](RowFields&, const VersionedRow* v) -> int {
        const int pos = matched++;
        try {
            // The key as select_sort_key_from_row_json builds it: an absent
            // member sorts as null.
            scratch.assign(fields.present(key_field) ? fields.trimmed(key_field) : "null");
            SortKey key;
            select_sort_key_from_text(type, scratch.data(), pos, &key);
            // A full heap takes the row only when it goes before the last
            // row kept; the key's text is copied only then.
            if (bounded && kept.size() >= keep) {
                if (keep == 0) return 0;
                SortKey last = kept.front().key;
                if (type == COL_TYPE_STRING)
                    last.text = const_cast<char*>(kept.front().text.c_str());
                if (select_sort_key_compare(&key, &last, type, desc) >= 0) return 0;
                std::pop_heap(kept.begin(), kept.end(), before);
                kept.pop_back();
            }
            cand.text.assign(key.text ? key.text : "");
            key.text = nullptr;
            cand.key = key;
            cand.json = v->json;
            kept.push_back(cand);
            if (bounded) std::push_heap(kept.begin(), kept.end(), before);
        } catch (...) {
            set_err(err, errlen, "oom");
            return -1;
        }
        return 0;
    };
    int r = visit_rows(run, matching_rows(fields, where, keep_row, err, errlen));
    if (r == -2) set_err(err, errlen, "oom");
    if (r < 0) return -1;
    if (sorting && col < 0 && matched >= 2) {
        set_err(err, errlen, "unknown ORDER BY column");
        return -1;
    }
    std::vector<const char*> texts;
    try {
        std::sort(kept.begin(), kept.end(), before);
        texts.reserve(kept.size());
        for (const OrderedRow& row : kept) texts.push_back(row.json);
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    if (query->has_window)
        return build_window_rows_json_texts(schema, run.esc.get(), query, texts.data(),
                                            static_cast<int>(texts.size()), out, err, errlen);
    if (open_table_rows_reply(&b, JSON_BUF_INITIAL, run.esc.get(), err, errlen) != 0) return -1;
    int written = 0;
    for (const char* json : texts) {
        fields.read(json);
        if (projection.append(&b, fields, json, &written, err, errlen) != 0) return -1;
    }
    return close_table_rows_reply(&b, out, err, errlen);
}

// Neither ORDER BY nor grouping: each matching row is projected into the
// reply as it is read, up to the LIMIT. Once the LIMIT is reached the scan
// stops, unless a row could still fail the WHERE with an unknown column (no
// row can then match, so nothing was written).
int scan_projected(const SelectRun& run, char** out, char* err, size_t errlen) {
    const SelectQuery* query = run.query;
    RowFields fields;
    WherePlan where;
    Projection projection;
    try {
        where.prepare(run.schema.get(), query, &fields);
        projection.prepare(run.schema.get(), query, &fields);
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    JsonBuf b;
    JsonBufGuard guard{b};
    if (open_table_rows_reply(&b, JSON_BUF_INITIAL, run.esc.get(), err, errlen) != 0) return -1;
    int written = 0;
    const bool stop_at_limit = query->limit >= 0 && !where.may_fail();
    if (!(stop_at_limit && query->limit == 0) &&
        scan_matching(
            run, fields, where,
            [&](RowFields& f, const VersionedRow* v) -> int {
                if (query->limit >= 0 && written >= query->limit) return 0;
                if (projection.append(&b, f, v->json, &written, err, errlen) != 0) return -1;
                return stop_at_limit && written >= query->limit ? 1 : 0;
            },
            err, errlen) != 0)
        return -1;
    return close_table_rows_reply(&b, out, err, errlen);
}

// Grouping, aggregates, sorting, windows or the projection on the rows read
// in place.
int scan_rows(const SelectRun& run, char** out, char* err, size_t errlen) {
    const SelectQuery* query = run.query;
    if (query->has_group_by || query->has_aggregate) return scan_aggregate(run, out, err, errlen);
    if (query->order_by[0] || query->has_window) return scan_ordered(run, out, err, errlen);
    return scan_projected(run, out, err, errlen);
}

// The statement up to its rows: table, key look-up, index candidates and
// the streaming of plain SELECT *. 0 the reply is in *out; 1 the rows are
// still to be read; -1.
int start_select(const char* internal_name, const char* table_name, const SelectQuery* query,
                 SelectRun* run, char** out, char* err, size_t errlen) {
    if (out) *out = nullptr;
    if (!out) return -1;
    if (open_run(internal_name, table_name, query, run, err, errlen) != 0) return -1;
    SelectStep r = try_primary_key(run, out, err, errlen);
    if (r != SELECT_STEP_NOT_APPLICABLE) return r == SELECT_STEP_DONE ? 0 : -1;
    find_index_candidates(run);
    if (run->plain) {
        r = stream_plain(*run, out, err, errlen);
        if (r != SELECT_STEP_NOT_APPLICABLE) return r == SELECT_STEP_DONE ? 0 : -1;
    }
    return 1;
}

}  // namespace

int select_rows_json(const char* internal_name, const char* table_name, const SelectQuery* query,
                     char** out, char* err, size_t errlen) {
    SelectRun run;
    int r = start_select(internal_name, table_name, query, &run, out, err, errlen);
    if (r != 1) return r;
    return scan_rows(run, out, err, errlen);
}

int select_rows_json_copied(const char* internal_name, const char* table_name,
                            const SelectQuery* query, char** out, char* err, size_t errlen) {
    SelectRun run;
    int r = start_select(internal_name, table_name, query, &run, out, err, errlen);
    if (r != 1) return r;
    RowSet rs;
    if (collect_rows(run, &rs, err, errlen) != 0) return -1;
    return format_rows(run, &rs, out, err, errlen);
}
