// The change road: the one sequence every row change takes, whoever makes
// it (SQL and JSON writes, procedures, the system tables, start-up replay).
//
//   1. prepare: validation, the primary key, key and unique checks and the
//      hard memory stop decide whether the change is refused; the versions
//      are built;
//   2. log: sequence numbers are taken and the WAL record(s) written;
//   3. apply: the versions are linked and the index files told.
//
// Once step 2 succeeded the change is applied and answered as success: step 3
// cannot fail. A failed index-file write marks the table's index files for
// rebuild (lookups then stop reading them; the next rebuild or start-up
// rewrites them) with one line on standard error.
#pragma once

#include <cstddef>
#include <cstdint>

struct Table;

// How one change is made.
struct ChangeRules {
    // Refuse a key whose newest version is live ("duplicate primary key");
    // false makes an insert a put that gives a live key a newer version.
    bool new_keys = true;
    // Refuse the change when row memory is at the hard stop and a checkpoint
    // cannot bring it down (client changes; not the system tables).
    bool memory_stop = true;
    // Start-up replay: the record is already in the log at replay_seq; nothing
    // is logged or checked beyond the row itself, and the index files and
    // maps are left to the rebuild after replay.
    bool replay = false;
    uint64_t replay_seq = 0;
};

// Inserts n rows (raw row objects; each is validated and stored in its
// canonical form). All or none: any refusal leaves the table unchanged.
int change_insert_rows(Table* t, const char* const* rows, int n, const ChangeRules& rules,
                       char* err, size_t errlen);
// Merges the raw JSON values into the live row of key (key as stored).
int change_update_row(Table* t, const char* key, const char* const* names,
                      const char* const* values, int count, const ChangeRules& rules, char* err,
                      size_t errlen);
// Records a tombstone for key (a key without a live row gets one too).
int change_delete_row(Table* t, const char* key, const ChangeRules& rules, char* err,
                      size_t errlen);

// The batch form of the storage layer: rows already canonical and keyed by
// the caller, sequence numbers already reserved (seqs consecutive). Checks,
// one WAL batch of INSERT records, then the rows are linked.
int table_apply_insert_batch_with_wal(const char* table_name, const char* const* rows,
                                      const char* const* keys, const uint64_t* seqs, int n,
                                      char* err, size_t errlen);
