// Session cursors: open (key snapshot + pin), batched fetch at the snapshot,
// close, kill (own cursor or, for administrators, any registry pin), SHOW
// CURSORS and expiry. Lock order (storage/lock_order.h): a table's lock, then
// the registry lock.
#include "query/session_cursor.h"

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/config.h"
#include "base/err.h"
#include "base/json_text.h"
#include "base/owned.h"
#include "base/sql_scan.h"
#include "base/stats.h"
#include "base/text_util.h"
#include "query/select_exec.h"
#include "query/row_read.h"
#include "query/row_reply.h"
#include "query/select_parse.h"
#include "query/session.h"
#include "query/sql_split.h"
#include "storage/cursor_pins.h"
#include "storage/db_registry.h"
#include "storage/ident.h"
#include "storage/pk_map.h"
#include "storage/row_version.h"
#include "storage/table.h"

namespace {

int64_t now_seconds() { return static_cast<int64_t>(time(nullptr)); }

int clamp_batch(int batch) {
    if (batch < 1) return CURSOR_FETCH_DEFAULT;
    if (batch > CURSOR_FETCH_MAX) return CURSOR_FETCH_MAX;
    return batch;
}

// "%s" of a JSON-escaped text appended; false when escaping ran out of memory.
bool append_escaped(std::string* s, const char* text) {
    CStr esc(json_escape_string(text));
    if (!esc) return false;
    s->append(esc.get());
    return true;
}

void appendf(std::string* s, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string* s, const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof buf) {
        s->append(buf, static_cast<size_t>(n));
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    va_start(ap, fmt);
    vsnprintf(&big[0], big.size(), fmt, ap);
    va_end(ap);
    big.resize(static_cast<size_t>(n));
    s->append(big);
}

// The key snapshot of open step 5, built under the table's read lock, with
// the pin registered before the lock is released.
struct Snapshot {
    char** keys = nullptr;
    int total = 0;
    uint64_t seq = 0;
    uint64_t memory_bytes = 0;
    uint64_t pin_token = 0;
};

// Frees the collected key texts and empties the list.
void drop_keys(std::vector<char*>* keys) {
    for (char* k : *keys) free(k);
    keys->clear();
}

// Under the caller's read lock: copies of the keys of the live newest rows
// that pass the WHERE, in map order, and the newest sequence number of the
// map. 0; -1 with the keys dropped.
int snapshot_keys(const Table* t, const SelectQuery* q, std::vector<char*>* keys, uint64_t* seq_out,
                  char* err, size_t errlen) {
    const PkLatestMap& map = t->pk_map;
    uint64_t seq = 0;
    // The WHERE is prepared once and each row read in place.
    RowFields fields;
    WherePlan where;
    try {
        where.prepare(&t->schema, q, &fields);
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    for (uint64_t b = 0; b < map.bucket_count; ++b) {
        for (const PkLatestEntry* e = map.buckets[b]; e; e = e->next) {
            const VersionedRow* r = e->row;
            if (!r) continue;
            if (r->seq > seq) seq = r->seq;
            if (r->deleted || !r->json || !r->key) continue;
            if (q->has_where) {
                fields.read(r->json);
                SelectMatch m = where.match(fields, err, errlen);
                if (m == SELECT_MATCH_ERROR) {
                    drop_keys(keys);
                    return -1;
                }
                if (m == SELECT_MATCH_NO) continue;
            }
            if (keys->size() >= static_cast<size_t>(INT32_MAX)) {
                drop_keys(keys);
                set_err(err, errlen, "cursor snapshot too large");
                return -1;
            }
            char* k = xstrdup(r->key);
            if (!k) {
                drop_keys(keys);
                set_err(err, errlen, "oom");
                return -1;
            }
            keys->push_back(k);
        }
    }
    if (!keys->empty() && seq == 0) {
        drop_keys(keys);
        set_err(err, errlen, "invalid cursor snapshot");
        return -1;
    }
    *seq_out = seq;
    return 0;
}

// The keys as one heap array (NULL for none), which then owns the texts.
// 0; -1 "oom" with the keys dropped.
int keys_to_array(std::vector<char*>* keys, char*** arr_out, char* err, size_t errlen) {
    char** arr = nullptr;
    if (!keys->empty()) {
        arr = static_cast<char**>(malloc(sizeof(char*) * keys->size()));
        if (!arr) {
            drop_keys(keys);
            set_err(err, errlen, "oom");
            return -1;
        }
        memcpy(arr, keys->data(), sizeof(char*) * keys->size());
    }
    keys->clear();  // the array owns the texts now
    *arr_out = arr;
    return 0;
}

int cursor_build_key_snapshot(Table* t, const char* internal, const SelectQuery* q, Snapshot* snap,
                              char* err, size_t errlen) {
    std::vector<char*> keys;
    try {
        RwReadGuard g(&t->lock);
        if (t->dropped || !t->schema.name[0]) {
            set_err(err, errlen, "table not found");
            return -1;
        }
        if (!t->pk_map.buckets || t->pk_map.bucket_count == 0) {
            set_err(err, errlen, "primary key map unavailable");
            return -1;
        }
        uint64_t seq = 0;
        if (snapshot_keys(t, q, &keys, &seq, err, errlen) != 0) return -1;
        const int total = static_cast<int>(keys.size());
        char** arr = nullptr;
        if (keys_to_array(&keys, &arr, err, errlen) != 0) return -1;
        const uint64_t mem = cursor_keys_memory_bytes(arr, total);
        // What a cursor pins counts with the rows in memory: a snapshot that
        // would take them past the memory limit is refused.
        if (mem_current() + mem > g_cfg.memory_limit_bytes) {
            free_string_array(arr, total);
            set_errf(err, errlen,
                     "cursor would exceed the memory limit (%llu MiB): close cursors or narrow "
                     "the query",
                     static_cast<unsigned long long>(g_cfg.memory_limit_bytes >> 20));
            return -1;
        }
        uint64_t token = 0;
        if (cursor_registry_register(internal, seq, mem, &token, err, errlen) != 0) {
            free_string_array(arr, total);
            return -1;
        }
        snap->keys = arr;
        snap->total = total;
        snap->seq = seq;
        snap->memory_bytes = mem;
        snap->pin_token = token;
        return 0;
    } catch (...) {
        drop_keys(&keys);
        set_err(err, errlen, "oom");
        return -1;
    }
}

// One batch of a used slot; clears the slot after the last batch.
int session_cursor_fetch_internal(SessionCursor* c, int batch, char** out, char* err,
                                  size_t errlen) {
    *out = nullptr;
    char reason[64] = {0};
    if (session_cursor_is_timed_out(c, now_seconds(), reason, sizeof reason)) {
        const unsigned long long id = c->cursor_id;
        session_cursor_clear(c);
        set_errf(err, errlen, "cursor %llu expired: %s", id, reason[0] ? reason : "timeout");
        return -1;
    }
    if (!cursor_registry_token_active(c->pin_token)) {
        const unsigned long long id = c->cursor_id;
        session_cursor_clear(c);
        set_errf(err, errlen, "cursor %llu was killed or expired", id);
        return -1;
    }
    batch = clamp_batch(batch);
    int idx = table_find_index(c->internal_table);
    if (idx < 0) {
        set_err(err, errlen, "cursor table not found");
        return -1;
    }
    Table* t = &g_tables.slots[idx];
    const char* shown = c->table[0] ? c->table : c->internal_table;
    try {
        std::string reply;
        reply.reserve(JSON_BUF_INITIAL);
        appendf(&reply, "{\"ok\":true,\"cursor_id\":%llu,\"table\":\"",
                static_cast<unsigned long long>(c->cursor_id));
        if (!append_escaped(&reply, shown)) {
            set_err(err, errlen, "oom");
            return -1;
        }
        appendf(&reply, "\",\"snapshot_seq\":%llu,\"offset\":%d,\"rows\":[",
                static_cast<unsigned long long>(c->snapshot_seq), c->offset);
        int added = 0;
        {
            RwReadGuard g(&t->lock);
            if (t->dropped || !t->schema.name[0]) {
                set_err(err, errlen, "cursor table not found");
                return -1;
            }
            while (c->offset < c->total && added < batch) {
                const char* key = c->keys[c->offset];
                ++c->offset;
                // The newest version is read in place when the snapshot sees
                // it (the usual case); an older one is looked up in the chain.
                const VersionedRow* newest = pk_latest_map_get(t, key);
                if (newest && newest->seq <= c->snapshot_seq) {
                    if (newest->deleted || !newest->json) continue;
                    if (added > 0) reply.push_back(',');
                    reply.append(newest->json);
                    ++added;
                    continue;
                }
                char* json = nullptr;
                int deleted = 0;
                if (versioned_get_visible_json(t, key, c->snapshot_seq, &json, nullptr, &deleted) !=
                    0) {
                    free(json);
                    continue;
                }
                CStr row(json);
                if (deleted || !row) continue;
                if (added > 0) reply.push_back(',');
                reply.append(row.get());
                ++added;
            }
        }
        const bool done = c->offset >= c->total;
        c->last_fetch_at = now_seconds();
        c->fetch_calls += 1;
        c->rows_fetched += static_cast<uint64_t>(added);
        cursor_registry_update_state(c->pin_token, 0, nullptr, c->total, c->offset);
        appendf(&reply, "],\"fetched\":%d,\"next_offset\":%d,\"total\":%d,\"done\":%s}", added,
                c->offset, c->total, done ? "true" : "false");
        if (copy_raw_out(reply, out, err, errlen) != 0) return -1;
        if (done) session_cursor_clear(c);
        return 0;
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
}

int64_t age_of(int64_t opened_at, int64_t now) {
    return (opened_at < 1 || opened_at > now) ? 0 : now - opened_at;
}

int64_t idle_of(int64_t opened_at, int64_t last_fetch_at, int64_t now) {
    int64_t base = last_fetch_at >= 1 ? last_fetch_at : opened_at;
    return (base < 1 || base > now) ? 0 : now - base;
}

// The members shared by session and registry items, from "table" on.
bool append_item_common(std::string* s, const char* table, const char* internal, uint64_t seq,
                        int offset, int total, uint64_t memory, int64_t opened_at,
                        int64_t last_fetch_at, int64_t now) {
    s->append("\"table\":\"");
    if (!append_escaped(s, table[0] ? table : internal)) return false;
    s->append("\",\"internal_table\":\"");
    if (!append_escaped(s, internal)) return false;
    int remaining = total - offset;
    if (remaining < 0) remaining = 0;
    appendf(s,
            "\",\"snapshot_seq\":%llu,\"offset\":%d,\"total\":%d,\"remaining\":%d,"
            "\"memory_bytes\":%llu,\"opened_at\":%lld,\"age_seconds\":%lld,"
            "\"last_fetch_at\":%lld,\"idle_seconds\":%lld",
            static_cast<unsigned long long>(seq), offset, total, remaining,
            static_cast<unsigned long long>(memory), static_cast<long long>(opened_at),
            static_cast<long long>(age_of(opened_at, now)), static_cast<long long>(last_fetch_at),
            static_cast<long long>(idle_of(opened_at, last_fetch_at, now)));
    return true;
}

}  // namespace

// ---- slots ------------------------------------------------------------------

SessionCursor* session_cursor_find(Session* session, uint64_t cursor_id) {
    if (!session || cursor_id == 0) return nullptr;
    for (auto& c : session->cursors)
        if (c.in_use && c.cursor_id == cursor_id) return &c;
    return nullptr;
}

SessionCursor* session_cursor_alloc(Session* session) {
    if (!session) return nullptr;
    for (auto& c : session->cursors)
        if (!c.in_use) return &c;
    return nullptr;
}

uint64_t session_next_cursor_id(Session* session) {
    if (session->next_cursor_id == 0) session->next_cursor_id = 1;
    uint64_t id = session->next_cursor_id++;
    if (session->next_cursor_id == 0) session->next_cursor_id = 1;
    return id;
}

uint64_t cursor_keys_memory_bytes(char* const* keys, int count) {
    if (!keys || count <= 0) return 0;
    uint64_t bytes = 8ull * static_cast<uint64_t>(count);
    for (int i = 0; i < count; ++i) bytes += (keys[i] ? strlen(keys[i]) : 0) + 1;
    return bytes;
}

int session_cursor_is_timed_out(const SessionCursor* cursor, int64_t now, char* reason,
                                size_t reason_cap) {
    if (reason && reason_cap) reason[0] = '\0';
    if (!cursor || !cursor->in_use) return 0;
    return cursor_timeout_check(cursor->opened_at, cursor->last_fetch_at, now, reason, reason_cap,
                                nullptr, nullptr);
}

void session_cursor_clear(SessionCursor* cursor) {
    if (!cursor) return;
    if (cursor->pin_token != 0) cursor_registry_unregister(cursor->pin_token);
    if (cursor->memory_bytes) mem_add(-static_cast<int64_t>(cursor->memory_bytes));
    free_string_array(cursor->keys, cursor->total);
    memset(cursor, 0, sizeof *cursor);
}

void session_cursors_free_all(Session* session) {
    if (!session) return;
    for (auto& c : session->cursors)
        if (c.in_use || c.keys || c.pin_token) session_cursor_clear(&c);
}

int session_cursors_expire_timed_out(Session* session) {
    if (!session) return 0;
    int cleared = 0;
    int64_t now = 0;
    for (auto& c : session->cursors) {
        if (!c.in_use) continue;
        if (now == 0) now = now_seconds();
        if (session_cursor_is_timed_out(&c, now, nullptr, 0) ||
            !cursor_registry_token_active(c.pin_token)) {
            session_cursor_clear(&c);
            ++cleared;
        }
    }
    return cleared;
}

int cursor_fetch_limit_from_payload(const char* payload, int def) {
    int n = def;
    if (payload) {
        for (const char* key : {"fetch", "fetch_size", "batch_size"}) {
            long long v = 0;
            if (json_extract_ll(payload, key, &v) != 0) continue;
            n = v < 1 ? def : (v > CURSOR_FETCH_MAX ? CURSOR_FETCH_MAX : static_cast<int>(v));
            break;
        }
    }
    if (n < 1) n = 1;
    if (n > CURSOR_FETCH_MAX) n = CURSOR_FETCH_MAX;
    return n;
}

// ---- actions -----------------------------------------------------------------

int session_cursor_query_supported(const SelectQuery* q, char* err, size_t errlen) {
    if (!q->select_star || q->order_by[0] || q->has_group_by || q->has_aggregate || q->has_window) {
        set_err(err, errlen,
                "cursor_open currently supports SELECT * without ORDER BY, GROUP BY, aggregates "
                "or window functions");
        return -1;
    }
    return 0;
}

int session_cursor_open_table(Session* session, const char* internal, const char* table,
                              const SelectQuery* q, int batch, char** out, char* err,
                              size_t errlen) {
    if (out) *out = nullptr;
    if (!out || !q) {
        set_err(err, errlen, "oom");
        return -1;
    }
    if (!session) {
        set_err(err, errlen, "session required");
        return -1;
    }
    if (session_cursor_query_supported(q, err, errlen) != 0) return -1;
    int idx = internal ? table_find_index(internal) : -1;
    if (idx < 0) {
        set_err(err, errlen, "table not found");
        return -1;
    }
    SessionCursor* c = session_cursor_alloc(session);
    if (!c) {
        set_err(err, errlen, "too many open cursors");
        return -1;
    }
    session_cursor_clear(c);
    Snapshot snap;
    if (cursor_build_key_snapshot(&g_tables.slots[idx], internal, q, &snap, err, errlen) != 0)
        return -1;

    const int64_t now = now_seconds();
    c->in_use = 1;
    c->cursor_id = session_next_cursor_id(session);
    snprintf(c->internal_table, sizeof c->internal_table, "%s", internal);
    snprintf(c->table, sizeof c->table, "%s", table);
    c->keys = snap.keys;
    c->total = snap.total;
    c->offset = 0;
    c->snapshot_seq = snap.seq;
    c->pin_token = snap.pin_token;
    c->opened_at = now;
    c->last_fetch_at = 0;
    c->fetch_calls = 0;
    c->rows_fetched = 0;
    c->memory_bytes = snap.memory_bytes;
    if (c->memory_bytes) mem_add(static_cast<int64_t>(c->memory_bytes));
    cursor_registry_update_state(c->pin_token, c->cursor_id, c->table, c->total, 0);

    // A first batch that cannot be answered leaves no cursor behind: the
    // client never learns its id and could not close it.
    if (session_cursor_fetch_internal(c, batch, out, err, errlen) != 0) {
        if (c->in_use) session_cursor_clear(c);
        return -1;
    }
    return 0;
}

int session_cursor_fetch(Session* session, uint64_t cursor_id, int batch, char** out, char* err,
                         size_t errlen) {
    if (out) *out = nullptr;
    SessionCursor* c = session_cursor_find(session, cursor_id);
    if (!c || !out) {
        set_err(err, errlen, "cursor not found");
        return -1;
    }
    return session_cursor_fetch_internal(c, batch, out, err, errlen);
}

int session_cursor_close(Session* session, uint64_t cursor_id, char** out, char* err,
                         size_t errlen) {
    if (out) *out = nullptr;
    SessionCursor* c = session_cursor_find(session, cursor_id);
    if (!c || !out) {
        set_err(err, errlen, "cursor not found");
        return -1;
    }
    char buf[128];
    snprintf(buf, sizeof buf, "{\"ok\":true,\"cursor_id\":%llu,\"closed\":true}",
             static_cast<unsigned long long>(c->cursor_id));
    if (copy_raw_out(buf, out, err, errlen) != 0) return -1;
    session_cursor_clear(c);
    return 0;
}

int parse_kill_cursor_sql(const char* sql, uint64_t* cursor_id_out, uint64_t* pin_token_out,
                          char* err, size_t errlen) {
    if (cursor_id_out) *cursor_id_out = 0;
    if (pin_token_out) *pin_token_out = 0;
    if (!sql) {
        set_err(err, errlen, "missing SQL");
        return -1;
    }
    if (strlen(sql) >= 1024) {
        set_err(err, errlen, "KILL CURSOR statement too long");
        return -1;
    }
    char buf[1024];
    snprintf(buf, sizeof buf, "%s", sql);
    normalize_sql_ws(buf);
    sql_collapse_blanks(buf);
    trim_ws(buf);
    if (!ci_starts(buf, "KILL CURSOR ")) {
        set_err(err, errlen, "invalid KILL CURSOR");
        return -1;
    }
    char* rest = buf + strlen("KILL CURSOR ");
    trim_ws(rest);
    bool token_mode = false;
    if (ci_starts(rest, "PIN ")) {
        rest += 4;
        token_mode = true;
    } else if (ci_starts(rest, "TOKEN ")) {
        rest += 6;
        token_mode = true;
    }
    trim_ws(rest);
    if (!rest[0]) {
        set_err(err, errlen, "missing cursor id or pin token");
        return -1;
    }
    const char* p = rest;
    while (*p >= '0' && *p <= '9') ++p;
    const char* digits_end = p;
    while (*p == ' ' || *p == '\t') ++p;
    if (digits_end == rest || *p) {
        set_err(err, errlen, "bad cursor id or pin token");
        return -1;
    }
    errno = 0;
    unsigned long long v = strtoull(rest, nullptr, 10);
    if (errno == ERANGE) {
        set_err(err, errlen, "bad cursor id or pin token");
        return -1;
    }
    if (v == 0) {
        set_err(err, errlen, "cursor id or pin token must be greater than zero");
        return -1;
    }
    if (token_mode) {
        if (pin_token_out) *pin_token_out = v;
    } else if (cursor_id_out) {
        *cursor_id_out = v;
    }
    return 0;
}

int session_cursor_kill_request(Session* session, uint64_t cursor_id, uint64_t pin_token,
                                char** out, char* err, size_t errlen) {
    if (out) *out = nullptr;
    if (!session) {
        set_err(err, errlen, "session required");
        return -1;
    }
    if (cursor_id == 0 && pin_token == 0) {
        set_err(err, errlen, "missing cursor_id or pin_token");
        return -1;
    }
    if (!out) {
        set_err(err, errlen, "oom");
        return -1;
    }
    SessionCursor* c = nullptr;
    if (cursor_id != 0) {
        c = session_cursor_find(session, cursor_id);
        if (!c) {
            set_err(err, errlen, "cursor not found");
            return -1;
        }
    } else {
        for (auto& s : session->cursors)
            if (s.in_use && s.pin_token == pin_token) {
                c = &s;
                break;
            }
    }
    char buf[192];
    if (c) {
        snprintf(buf, sizeof buf,
                 "{\"ok\":true,\"cursor_id\":%llu,\"pin_token\":%llu,\"killed\":true,"
                 "\"scope\":\"session\"}",
                 static_cast<unsigned long long>(c->cursor_id),
                 static_cast<unsigned long long>(c->pin_token));
        if (copy_raw_out(buf, out, err, errlen) != 0) return -1;
        session_cursor_clear(c);
        return 0;
    }
    if (!session->is_admin) {
        set_err(err, errlen, "permission denied");
        return -1;
    }
    if (!cursor_registry_kill_token(pin_token)) {
        set_err(err, errlen, "cursor pin not found");
        return -1;
    }
    snprintf(buf, sizeof buf,
             "{\"ok\":true,\"cursor_id\":0,\"pin_token\":%llu,\"killed\":true,"
             "\"scope\":\"registry\"}",
             static_cast<unsigned long long>(pin_token));
    if (copy_raw_out(buf, out, err, errlen) != 0) return -1;
    return 0;
}

int build_show_cursors_json(Session* session, char** out, char* err, size_t errlen) {
    if (out) *out = nullptr;
    if (!session) {
        set_err(err, errlen, "session required");
        return -1;
    }
    if (!out) {
        set_err(err, errlen, "oom");
        return -1;
    }
    session_cursors_expire_timed_out(session);
    int reg_count = 0;
    uint64_t reg_memory = 0, reg_lowest = 0;
    int64_t reg_oldest = 0;
    cursor_registry_stats(&reg_count, &reg_memory, &reg_lowest, &reg_oldest);
    try {
        std::string s;
        s.reserve(JSON_BUF_AGGREGATE_INITIAL);
        const int64_t now = now_seconds();
        s.append("{\"ok\":true,\"cursors\":{\"scope\":\"session\",\"items\":[");
        unsigned long long count = 0, memory = 0;
        for (const auto& c : session->cursors) {
            if (!c.in_use) continue;
            if (count > 0) s.push_back(',');
            appendf(&s, "{\"cursor_id\":%llu,\"pin_token\":%llu,",
                    static_cast<unsigned long long>(c.cursor_id),
                    static_cast<unsigned long long>(c.pin_token));
            if (!append_item_common(&s, c.table, c.internal_table, c.snapshot_seq, c.offset,
                                    c.total, c.memory_bytes, c.opened_at, c.last_fetch_at, now)) {
                set_err(err, errlen, "oom");
                return -1;
            }
            appendf(&s, ",\"fetch_calls\":%llu,\"rows_fetched\":%llu}",
                    static_cast<unsigned long long>(c.fetch_calls),
                    static_cast<unsigned long long>(c.rows_fetched));
            ++count;
            memory += c.memory_bytes;
        }
        appendf(&s,
                "],\"session_cursor_count\":%llu,\"session_cursor_memory_bytes\":%llu,"
                "\"registry_cursor_count\":%llu,\"registry_cursor_memory_bytes\":%llu,"
                "\"oldest_cursor_snapshot_seq\":%llu,\"oldest_cursor_age_seconds\":%lld,"
                "\"cursor_idle_timeout_seconds\":%d,\"cursor_max_lifetime_seconds\":%d,"
                "\"registry_items\":[",
                count, memory, static_cast<unsigned long long>(reg_count),
                static_cast<unsigned long long>(reg_memory),
                static_cast<unsigned long long>(reg_lowest), static_cast<long long>(reg_oldest),
                g_cfg.cursor_idle_timeout_seconds, g_cfg.cursor_max_lifetime_seconds);
        {
            std::lock_guard<std::mutex> g(g_cursor_registry.lock);
            int listed = 0;
            for (const auto& p : g_cursor_registry.pins) {
                if (!p.in_use) continue;
                if (listed++ > 0) s.push_back(',');
                appendf(&s, "{\"pin_token\":%llu,\"cursor_id\":%llu,",
                        static_cast<unsigned long long>(p.pin_token),
                        static_cast<unsigned long long>(p.cursor_id));
                if (!append_item_common(&s, p.table, p.internal_table, p.snapshot_seq, p.offset,
                                        p.total, p.memory_bytes, p.opened_at, p.last_fetch_at,
                                        now)) {
                    set_err(err, errlen, "oom");
                    return -1;
                }
                s.push_back('}');
            }
        }
        s.append("]}}");
        return copy_raw_out(s, out, err, errlen);
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
}
