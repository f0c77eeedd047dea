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
//
// The commit thread takes step 2 for a whole group of requests at once (see
// ChangeGroup below).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/owned.h"
#include "storage/row_changes.h"

struct ChangeGroup;
struct Table;
struct VersionedRow;

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
    // Logged with the other changes of this group rather than alone.
    ChangeGroup* group = nullptr;
};

// Each change has two forms: the plain one takes g_checkpoint_lock for the
// change; the _locked one is for a caller that already holds it (the commit
// thread holds it for its whole group, and the row statements and system
// tables it runs use these).

// Inserts n rows (raw row objects; each is validated and stored in its
// canonical form). All or none: any refusal leaves the table unchanged.
int change_insert_rows(Table* t, const char* const* rows, int n, const ChangeRules& rules,
                       char* err, size_t errlen);
// The same for versions built by the caller from rows in their canonical
// form for the table's schema as it is now (see row_change_prepare_versions):
// taken over, whatever the result.
int change_insert_versions(Table* t, VersionedRow* const* versions, int n, const ChangeRules& rules,
                           char* err, size_t errlen);
// Merges the raw JSON values into the live row of key (key as stored).
int change_update_row(Table* t, const char* key, const char* const* names,
                      const char* const* values, int count, const ChangeRules& rules, char* err,
                      size_t errlen);
// Records a tombstone for key when it has a live row (*deleted 1, may be
// NULL); a key without one is left as it is and nothing is logged
// (*deleted 0). In replay the tombstone is recorded either way.
int change_delete_row(Table* t, const char* key, const ChangeRules& rules, int* deleted, char* err,
                      size_t errlen);

int change_insert_rows_locked(Table* t, const char* const* rows, int n, const ChangeRules& rules,
                              char* err, size_t errlen);
int change_insert_versions_locked(Table* t, VersionedRow* const* versions, int n,
                                  const ChangeRules& rules, char* err, size_t errlen);
int change_update_row_locked(Table* t, const char* key, const char* const* names,
                             const char* const* values, int count, const ChangeRules& rules,
                             char* err, size_t errlen);
int change_delete_row_locked(Table* t, const char* key, const ChangeRules& rules, int* deleted,
                             char* err, size_t errlen);

// The batch form of the storage layer: rows already canonical and keyed by
// the caller, sequence numbers already reserved (seqs consecutive). Checks,
// one WAL batch of INSERT records, then the rows are linked.
int table_apply_insert_batch_with_wal(const char* table_name, const char* const* rows,
                                      const char* const* keys, const uint64_t* seqs, int n,
                                      char* err, size_t errlen);

// ---- group logging ---------------------------------------------------------
//
// The row changes of one commit group: each change is prepared in request
// order as usual and its records are encoded into the group, but the records
// of the whole group reach each log file in one write, and the changes are
// linked, and their requests answered, only once that write returned.
//
// Every change is checked against the state all earlier changes left, as if
// each were logged alone: a change whose checks could depend on one still
// waiting in the group (the same key of the same table, or any change of a
// table with a unique index) writes and links the group first; so does a
// change that brings row memory to the pressure level, which then takes the
// pressure rule alone.
//
// Whoever runs a group holds g_checkpoint_lock from its first change to its
// flush: a checkpoint in between would truncate the logs under records not
// written yet and count their reserved sequence numbers as checkpointed.

// Told once per change of the group after the group's write: on success err
// is nullptr and reply the statement's reply (owned; nullptr when it could
// not be built); else err says why the records were not written.
using ChangeFinish = void (*)(void* owner, char* reply, const char* err);

struct ChangeGroup {
    explicit ChangeGroup(ChangeFinish finish) : finish(finish) {}
    ~ChangeGroup();  // flushes what still waits
    ChangeGroup(const ChangeGroup&) = delete;
    ChangeGroup& operator=(const ChangeGroup&) = delete;

    // The requester of the changes that join the group from now on.
    void* owner = nullptr;

    // ---- kept by the change road ----
    struct Entry {
        explicit Entry(RowChange&& c) : change(std::move(c)) {}
        RowChange change;
        uint64_t first_seq = 0;
        size_t log = 0;  // index into logs
        void* owner = nullptr;
        // Set by change_statement_done: what the statement counts and answers
        // (reply nullptr: "out of memory").
        int64_t* counter = nullptr;
        int64_t count = 0;
        CStr reply;
    };
    // The encoded records bound for one log file. Kept from one flush to the
    // next (emptied), so that the buffer is not grown afresh for every group.
    struct Log {
        char scope[64] = "";
        std::string bytes;
        int records = 0;
        char error[256] = "";  // set by a flush whose write failed, until it answered
    };
    ChangeFinish finish;
    std::vector<std::unique_ptr<Entry>> entries;
    std::vector<Log> logs;
    // The keys of the waiting changes, with their tables: an open-addressing
    // set of (table, key) pairs pointing at the waiting versions' keys,
    // emptied by each flush but keeping its room.
    struct WaitingKeys {
        struct Slot {
            const Table* table = nullptr;
            const char* key = nullptr;  // nullptr: a free slot
        };
        std::vector<Slot> slots;  // a power of two in size, or empty
        size_t used = 0;
        std::vector<const Table*> tables;  // every table with a waiting change

        bool has_table(const Table* t) const;
        bool contains(const Table* t, const char* key) const;
        void insert(const Table* t, const char* key);  // may throw std::bad_alloc
        void clear();
    };
    WaitingKeys keys;
    bool keys_incomplete = false;  // a key could not be noted: settle by flushing
    uint64_t memory = 0;           // summed memory of the waiting versions
    size_t bytes = 0;              // summed size of the encoded records
    Entry* open = nullptr;         // joined last, its statement not done yet
};

// Writes the group's records (one write per log file), links its changes in
// order and tells each owner; the group is empty afterwards.
void change_group_flush(ChangeGroup* g);
// True when a change of owner waits in the group: the flush answers it.
bool change_group_holds(const ChangeGroup* g, const void* owner);
// A row statement's end once its change took the road: adds n to *counter and
// to total_writes and gives the reply now, or, when the change waits in the
// group, leaves both to the flush (*out nullptr). 0, or -1 "oom". Nothing
// here can throw: the reply text is built before the change is logged.
int change_statement_done(ChangeGroup* g, int64_t* counter, int64_t n, const char* reply,
                          char** out, char* err, size_t errlen);
