// The change road (see row_change.h). Every step that can refuse a change
// runs before the log is written; g_checkpoint_lock is held from the checks to
// the linking, so no checkpoint truncates the log between a record and its
// change reaching memory.
#include "exec/row_change.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/err.h"
#include "exec/memory_pressure.h"
#include "storage/checkpoint.h"
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

// Steps 2 and 3 for a prepared change: reserve its sequence numbers (unless
// given), write its records as one batch, link it.
int log_and_apply(RowChange* c, uint16_t op, const ChangeRules& rules, const uint64_t* given_seqs,
                  char* err, size_t errlen) {
    const int n = c->count();
    if (n < 1) return 0;
    if (rules.replay) {
        row_change_apply(c, rules.replay_seq, false, false);
        return 0;
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
    // Logged: from here on the change is applied whatever happens.
    row_change_apply(c, first, true, true);
    if (rules.memory_stop) {
        char ignored[256];
        maybe_checkpoint_under_pressure(ignored, sizeof ignored);
    }
    return 0;
}

unsigned checks_of(const ChangeRules& rules) {
    if (rules.replay) return ROW_CHECK_NONE;
    return rules.new_keys ? ROW_CHECK_ALL : ROW_CHECK_UNIQUE;
}

}  // namespace

int change_insert_rows(Table* t, const char* const* rows, int n, const ChangeRules& rules,
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
            if (row_canonical_with_key(t, rows[i], &canon[(size_t)i], &keys[(size_t)i], err,
                                       errlen) != 0)
                return -1;
            row_ptrs.push_back(canon[(size_t)i].c_str());
            key_ptrs.push_back(keys[(size_t)i].c_str());
        }
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    std::lock_guard<std::recursive_mutex> cp(g_checkpoint_lock);
    RowChange c;
    if (row_change_prepare_rows(t, row_ptrs.data(), key_ptrs.data(), n, checks_of(rules), &c, err,
                                errlen) != 0)
        return -1;
    return log_and_apply(&c, WAL_OP_INSERT, rules, nullptr, err, errlen);
}

int change_update_row(Table* t, const char* key, const char* const* names,
                      const char* const* values, int count, const ChangeRules& rules, char* err,
                      size_t errlen) {
    std::lock_guard<std::recursive_mutex> cp(g_checkpoint_lock);
    RowChange c;
    if (row_change_prepare_update(t, key, names, values, count, checks_of(rules), &c, err,
                                  errlen) != 0)
        return -1;
    return log_and_apply(&c, WAL_OP_UPDATE, rules, nullptr, err, errlen);
}

int change_delete_row(Table* t, const char* key, const ChangeRules& rules, char* err,
                      size_t errlen) {
    std::lock_guard<std::recursive_mutex> cp(g_checkpoint_lock);
    RowChange c;
    if (row_change_prepare_delete(t, key, &c, err, errlen) != 0) return -1;
    return log_and_apply(&c, WAL_OP_DELETE, rules, nullptr, err, errlen);
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
    std::lock_guard<std::recursive_mutex> cp(g_checkpoint_lock);
    RowChange c;
    if (row_change_prepare_rows(t, rows, keys, n, ROW_CHECK_ALL, &c, err, errlen) != 0) return -1;
    ChangeRules rules;
    rules.memory_stop = false;
    return log_and_apply(&c, WAL_OP_INSERT, rules, seqs, err, errlen);
}
