// The change road (see row_change.h). Every step that can refuse a change
// runs before the log is written; g_checkpoint_lock is held from the checks to
// the linking, so no checkpoint truncates the log between a record and its
// change reaching memory. In a group the lock is the group runner's, from the
// first change to the flush.
#include "exec/row_change.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/err.h"
#include "base/owned.h"
#include "base/stats.h"
#include "base/text_util.h"
#include "exec/memory_pressure.h"
#include "storage/checkpoint.h"
#include "storage/pk_map.h"
#include "storage/row_changes.h"
#include "storage/row_version.h"
#include "storage/table.h"
#include "storage/wal.h"

namespace {

// The hard memory stop: refused when row memory is at the hard-stop level
// and a checkpoint could not bring it down.
int refuse_on_hard_stop(char* err, size_t errlen) {
    if (!memory_hard_exceeded()) return 0;
    char cp[256] = {0};
    if (maybe_checkpoint_under_pressure(cp, sizeof cp) != 0 && memory_hard_exceeded()) {
        set_err(err, errlen, cp[0] ? cp : "memory limit reached");
        return -1;
    }
    return 0;
}

// A group holds at most this much encoded log before it is written.
constexpr size_t kGroupBytesMax = 8u << 20;

bool table_has_unique_index(const Table* t) {
    for (int i = 0; i < t->index_count; i++)
        if (t->indexes[i].unique) return true;
    return false;
}

// Before a change of keys of t is prepared: its checks must see every change
// they could depend on, so the group is written and linked first when one of
// them waits in it (or when the group is full).
void group_settle(ChangeGroup* g, const Table* t, const char* const* keys, int n) {
    if (!g || g->entries.empty()) return;
    bool flush = g->bytes >= kGroupBytesMax || g->keys_incomplete;
    if (!flush && g->keys.has_table(t)) {
        flush = table_has_unique_index(t);
        for (int i = 0; i < n && !flush; i++) flush = g->keys.contains(t, keys[i]);
    }
    if (flush) change_group_flush(g);
}

ChangeGroup::Log* group_log_for(ChangeGroup* g, const char* scope, size_t* index) {
    for (size_t i = 0; i < g->logs.size(); i++) {
        if (strcmp(g->logs[i].scope, scope) == 0) {
            *index = i;
            return &g->logs[i];
        }
    }
    g->logs.emplace_back();
    ChangeGroup::Log* log = &g->logs.back();
    snprintf(log->scope, sizeof log->scope, "%s", scope);
    *index = g->logs.size() - 1;
    return log;
}

// Step 2 in a group: sequence numbers, the records encoded into the group's
// buffer for their log, the change kept for the flush. Refusals ("sequence
// overflow", "WAL field too large", "oom") leave the group as it was.
int group_join(ChangeGroup* g, RowChange* c, uint16_t op, char* err, size_t errlen) {
    const int n = c->count();
    const char* table = c->table->schema.name;
    char scope[64];
    wal_record_scope(op, table, scope, sizeof scope);
    ChangeGroup::Log* log = nullptr;
    size_t before = 0;
    try {
        size_t index = 0;
        log = group_log_for(g, scope, &index);
        before = log->bytes.size();
        g->entries.reserve(g->entries.size() + 1);
        uint64_t first = 0;
        if (next_seq_batch((uint64_t)n, &first) != 0) {
            set_err(err, errlen, "sequence overflow");
            return -1;
        }
        for (int i = 0; i < n; i++) {
            const char* json = c->row(i) ? c->row(i) : "";
            if (wal_encode_record(log->bytes, op, first + (uint64_t)i, table, c->key(i), json, err,
                                  errlen) != 0) {
                log->bytes.resize(before);
                return -1;
            }
        }
        const uint64_t memory = c->memory;
        auto entry = std::make_unique<ChangeGroup::Entry>(std::move(*c));
        entry->first_seq = first;
        entry->log = index;
        entry->owner = g->owner;
        log->records += n;
        g->bytes += log->bytes.size() - before;
        g->memory += memory;
        ChangeGroup::Entry* joined = entry.get();
        g->entries.push_back(std::move(entry));  // room reserved above: cannot throw
        g->open = joined;
        try {
            for (int i = 0; i < n; i++) g->keys.insert(joined->change.table, joined->change.key(i));
        } catch (...) {
            g->keys_incomplete = true;  // the next change writes the group first
        }
        return 0;
    } catch (...) {
        if (log) log->bytes.resize(before);
        set_err(err, errlen, "oom");
        return -1;
    }
}

// Steps 2 and 3 for a prepared change: reserve its sequence numbers (unless
// given), write its records as one batch, link it. In a group, step 2 joins
// the group unless the change must take the pressure rule alone.
int log_and_apply(RowChange* c, uint16_t op, const ChangeRules& rules, const uint64_t* given_seqs,
                  char* err, size_t errlen) {
    const int n = c->count();
    if (n < 1) return 0;
    if (rules.replay) {
        row_change_apply(c, rules.replay_seq, false, false);
        return 0;
    }
    if (ChangeGroup* g = given_seqs ? nullptr : rules.group) {
        // Below the floor, neither the hard stop nor the pressure checkpoint
        // could act for this change or any waiting one, logged alone or not.
        if (mem_current() + g->memory + c->memory < memory_pressure_floor())
            return group_join(g, c, op, err, errlen);
        change_group_flush(g);
    }
    if (rules.memory_stop && refuse_on_hard_stop(err, errlen) != 0) return -1;
    std::vector<uint64_t> seqs;
    std::vector<const char*> keys, jsons;
    try {
        seqs.resize((size_t)n);
        keys.resize((size_t)n);
        jsons.resize((size_t)n);
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    uint64_t first = 0;
    if (given_seqs) {
        first = given_seqs[0];
    } else if (next_seq_batch((uint64_t)n, &first) != 0) {
        set_err(err, errlen, "sequence overflow");
        return -1;
    }
    for (int i = 0; i < n; i++) {
        seqs[(size_t)i] = first + (uint64_t)i;
        keys[(size_t)i] = c->key(i);
        jsons[(size_t)i] = c->row(i) ? c->row(i) : "";
    }
    if (wal_append_records_batch(op, c->table->schema.name, keys.data(), jsons.data(), seqs.data(),
                                 n, err, errlen) != 0)
        return -1;
    // Logged: from here on the change is applied whatever happens. Neither
    // step below throws (the pressure checkpoint catches its own).
    row_change_apply(c, first, true, true);
    if (rules.memory_stop) {
        char ignored[256];
        maybe_checkpoint_under_pressure(ignored, sizeof ignored);
    }
    return 0;
}

bool key_is_live(Table* t, const char* key) {
    RwReadGuard g(&t->lock);
    int tombstone = 0;
    return versioned_get_latest_json(t, key, nullptr, nullptr, &tombstone) == 0 && !tombstone;
}

unsigned checks_of(const ChangeRules& rules) {
    if (rules.replay) return ROW_CHECK_NONE;
    return rules.new_keys ? ROW_CHECK_ALL : ROW_CHECK_UNIQUE;
}

}  // namespace

int change_insert_rows_locked(Table* t, const char* const* rows, int n, const ChangeRules& rules,
                              char* err, size_t errlen) {
    if (!t) {
        set_err(err, errlen, "table not found");
        return -1;
    }
    if (n < 1) return 0;
    if (!rows) {
        set_err(err, errlen, "invalid insert batch");
        return -1;
    }
    std::vector<std::string> canon, keys;
    std::vector<const char*> row_ptrs, key_ptrs;
    try {
        canon.resize((size_t)n);
        keys.resize((size_t)n);
        for (int i = 0; i < n; i++) {
            if (row_canonical_with_key(&t->schema, rows[i], &canon[(size_t)i], &keys[(size_t)i],
                                       err, errlen) != 0)
                return -1;
            row_ptrs.push_back(canon[(size_t)i].c_str());
            key_ptrs.push_back(keys[(size_t)i].c_str());
        }
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    group_settle(rules.group, t, key_ptrs.data(), n);
    RowChange c;
    if (row_change_prepare_rows(t, row_ptrs.data(), key_ptrs.data(), n, checks_of(rules), &c, err,
                                errlen) != 0)
        return -1;
    return log_and_apply(&c, WAL_OP_INSERT, rules, nullptr, err, errlen);
}

int change_insert_versions_locked(Table* t, VersionedRow* const* versions, int n,
                                  const ChangeRules& rules, char* err, size_t errlen) {
    if (n < 1) return 0;
    std::vector<const char*> keys;
    try {
        for (int i = 0; i < n; i++) keys.push_back(versions[i] ? versions[i]->key : "");
    } catch (...) {
        keys.clear();
    }
    if ((int)keys.size() == n)
        group_settle(rules.group, t, keys.data(), n);
    else
        change_group_flush(rules.group);  // no keys to compare: the group goes first
    RowChange c;
    if (row_change_prepare_versions(t, versions, n, checks_of(rules), &c, err, errlen) != 0)
        return -1;
    return log_and_apply(&c, WAL_OP_INSERT, rules, nullptr, err, errlen);
}

int change_update_row_locked(Table* t, const char* key, const char* const* names,
                             const char* const* values, int count, const ChangeRules& rules,
                             char* err, size_t errlen) {
    group_settle(rules.group, t, &key, 1);
    RowChange c;
    if (row_change_prepare_update(t, key, names, values, count, checks_of(rules), &c, err,
                                  errlen) != 0)
        return -1;
    return log_and_apply(&c, WAL_OP_UPDATE, rules, nullptr, err, errlen);
}

int change_delete_row_locked(Table* t, const char* key, const ChangeRules& rules, int* deleted,
                             char* err, size_t errlen) {
    if (deleted) *deleted = 0;
    group_settle(rules.group, t, &key, 1);
    // Settled, the table holds every earlier change to this key: a key
    // without a live row is left alone, with nothing logged. Replay records
    // what the log holds.
    if (!rules.replay && key && !key_is_live(t, key)) return 0;
    if (deleted) *deleted = 1;
    RowChange c;
    if (row_change_prepare_delete(t, key, &c, err, errlen) != 0) return -1;
    return log_and_apply(&c, WAL_OP_DELETE, rules, nullptr, err, errlen);
}

// The forms for a caller that does not hold g_checkpoint_lock.

int change_insert_rows(Table* t, const char* const* rows, int n, const ChangeRules& rules,
                       char* err, size_t errlen) {
    std::lock_guard<std::mutex> cp(g_checkpoint_lock);
    return change_insert_rows_locked(t, rows, n, rules, err, errlen);
}

int change_insert_versions(Table* t, VersionedRow* const* versions, int n, const ChangeRules& rules,
                           char* err, size_t errlen) {
    std::lock_guard<std::mutex> cp(g_checkpoint_lock);
    return change_insert_versions_locked(t, versions, n, rules, err, errlen);
}

int change_update_row(Table* t, const char* key, const char* const* names,
                      const char* const* values, int count, const ChangeRules& rules, char* err,
                      size_t errlen) {
    std::lock_guard<std::mutex> cp(g_checkpoint_lock);
    return change_update_row_locked(t, key, names, values, count, rules, err, errlen);
}

int change_delete_row(Table* t, const char* key, const ChangeRules& rules, int* deleted, char* err,
                      size_t errlen) {
    std::lock_guard<std::mutex> cp(g_checkpoint_lock);
    return change_delete_row_locked(t, key, rules, deleted, err, errlen);
}

int table_apply_insert_batch_with_wal(const char* table_name, const char* const* rows,
                                      const char* const* keys, const uint64_t* seqs, int n,
                                      char* err, size_t errlen) {
    if (n < 1) return 0;
    if (!rows || !keys || !seqs) {
        set_err(err, errlen, "invalid insert batch");
        return -1;
    }
    for (int i = 1; i < n; i++) {
        if (seqs[i] != seqs[0] + (uint64_t)i) {
            set_err(err, errlen, "invalid insert batch");
            return -1;
        }
    }
    Table* t = table_find_live(table_name, err, errlen);
    if (!t) return -1;
    std::lock_guard<std::mutex> cp(g_checkpoint_lock);
    RowChange c;
    if (row_change_prepare_rows(t, rows, keys, n, ROW_CHECK_ALL, &c, err, errlen) != 0) return -1;
    ChangeRules rules;
    rules.memory_stop = false;
    return log_and_apply(&c, WAL_OP_INSERT, rules, seqs, err, errlen);
}

ChangeGroup::~ChangeGroup() { change_group_flush(this); }

namespace {

size_t waiting_slot(const Table* t, const char* key, size_t mask) {
    return (size_t)(pk_hash_string(key) ^ ((uint64_t)(uintptr_t)t * 0x9E3779B97F4A7C15ull)) & mask;
}

}  // namespace

bool ChangeGroup::WaitingKeys::has_table(const Table* t) const {
    for (const Table* x : tables)
        if (x == t) return true;
    return false;
}

bool ChangeGroup::WaitingKeys::contains(const Table* t, const char* key) const {
    if (slots.empty()) return false;
    const size_t mask = slots.size() - 1;
    for (size_t i = waiting_slot(t, key, mask);; i = (i + 1) & mask) {
        const Slot& s = slots[i];
        if (!s.key) return false;
        if (s.table == t && strcmp(s.key, key) == 0) return true;
    }
}

void ChangeGroup::WaitingKeys::insert(const Table* t, const char* key) {
    if (!has_table(t)) tables.push_back(t);
    if ((used + 1) * 2 > slots.size()) {
        // Grown to keep at least half the slots free, so every probe ends.
        std::vector<Slot> bigger(slots.empty() ? 64 : slots.size() * 2);
        const size_t mask = bigger.size() - 1;
        for (const Slot& s : slots) {
            if (!s.key) continue;
            size_t i = waiting_slot(s.table, s.key, mask);
            while (bigger[i].key) i = (i + 1) & mask;
            bigger[i] = s;
        }
        slots.swap(bigger);
    }
    const size_t mask = slots.size() - 1;
    size_t i = waiting_slot(t, key, mask);
    while (slots[i].key) {
        if (slots[i].table == t && strcmp(slots[i].key, key) == 0) return;
        i = (i + 1) & mask;
    }
    slots[i] = Slot{t, key};
    used++;
}

void ChangeGroup::WaitingKeys::clear() {
    if (slots.size() > (size_t)1 << 16)
        std::vector<Slot>().swap(slots);
    else
        std::fill(slots.begin(), slots.end(), Slot{});
    used = 0;
    tables.clear();
}

// Allocates nothing: once one log file is written, every change of the group
// must be linked and every owner told, so no step may throw (a failed write's
// message is kept in its Log).
void change_group_flush(ChangeGroup* g) {
    if (!g || g->entries.empty()) return;
    for (ChangeGroup::Log& log : g->logs) {
        char* why = log.error;
        why[0] = '\0';
        if (log.records < 1) continue;
        if (wal_write_encoded(log.scope, log.bytes.data(), log.bytes.size(), log.records, why,
                              sizeof log.error) != 0) {
            if (!why[0]) set_err(why, sizeof log.error, "cannot write WAL");
        } else {
            why[0] = '\0';
        }
    }
    // Logged: from here on each of these changes is applied whatever happens.
    bool any = false;
    for (auto& e : g->entries) {
        if (g->logs[e->log].error[0]) continue;
        // No change linked before this one shares a key with it (the group
        // settles before such a change is prepared).
        row_change_keys_still_absent(&e->change);
        row_change_apply(&e->change, e->first_seq, true, true);
        any = true;
    }
    if (any) {
        char ignored[256];
        maybe_checkpoint_under_pressure(ignored, sizeof ignored);
    }
    std::vector<std::unique_ptr<ChangeGroup::Entry>> entries;
    entries.swap(g->entries);
    for (ChangeGroup::Log& log : g->logs) {
        log.records = 0;
        if (log.bytes.capacity() > kGroupBytesMax)
            std::string().swap(log.bytes);
        else
            log.bytes.clear();
    }
    g->keys.clear();
    g->keys_incomplete = false;
    g->memory = 0;
    g->bytes = 0;
    g->open = nullptr;
    for (auto& e : entries) {
        const char* why = g->logs[e->log].error;
        if (why[0]) {
            g->finish(e->owner, nullptr, why);
            continue;
        }
        if (e->counter) stats_add(e->counter, e->count);
        stats_add(&g_stats.counters.total_writes, e->count);
        g->finish(e->owner, e->reply.release(), nullptr);
    }
    for (ChangeGroup::Log& log : g->logs) log.error[0] = '\0';
}

bool change_group_holds(const ChangeGroup* g, const void* owner) {
    return g && !g->entries.empty() && g->entries.back()->owner == owner;
}

int change_statement_done(ChangeGroup* g, int64_t* counter, int64_t n, const char* reply,
                          char** out, char* err, size_t errlen) {
    *out = nullptr;
    if (g && g->open) {
        ChangeGroup::Entry* e = g->open;
        g->open = nullptr;
        e->counter = counter;
        e->count = n;
        e->reply.reset(xstrdup(reply));
        return 0;
    }
    if (counter) stats_add(counter, n);
    stats_add(&g_stats.counters.total_writes, n);
    *out = xstrdup(reply);
    if (*out) return 0;
    set_err(err, errlen, "oom");
    return -1;
}
