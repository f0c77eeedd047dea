// Row changes in two steps: a change is first prepared against its table
// (every check that can refuse it is made and every version allocated), then
// applied (linked into the chain and the key and index maps), which cannot
// fail. The log record is written between the two by the change road
// (exec/row_change.h), so a change that reached the log is always applied.
//
// table_apply_insert, table_apply_delete and table_apply_update prepare and
// apply at once, without any log record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct Table;
struct TableSchema;
struct VersionedRow;

// What a prepared change checks besides the row itself.
enum RowChangeCheck : unsigned {
    ROW_CHECK_NONE = 0,
    ROW_CHECK_NEW_KEYS = 1u << 0,  // a key whose newest version is live is "duplicate primary key"
    ROW_CHECK_UNIQUE = 1u << 1,    // unique indexes
    ROW_CHECK_ALL = ROW_CHECK_NEW_KEYS | ROW_CHECK_UNIQUE,
};

// One prepared change of one table: the versions to link, in order, each with
// its key and row text (json is NULL for a tombstone). Versions not yet
// applied are freed with the change.
struct RowChange {
    Table* table = nullptr;
    std::vector<VersionedRow*> versions;
    // known_absent[i]: the complete key map proved the key of version i new,
    // so linking needs no search, as long as the map is unchanged by then.
    std::vector<char> known_absent;
    const void* map_buckets = nullptr;
    uint64_t map_entries = 0;
    uint64_t memory = 0;  // summed mem_size of the versions

    RowChange() = default;
    RowChange(const RowChange&) = delete;
    RowChange& operator=(const RowChange&) = delete;
    // Takes over the prepared versions; the source is left empty.
    RowChange(RowChange&& from) noexcept;
    ~RowChange();

    int count() const { return static_cast<int>(versions.size()); }
    const char* key(int i) const;
    const char* row(int i) const;  // NULL for a tombstone
};

// Inserts (or puts) n rows whose canonical form and keys the caller already
// has: keys[i] is the key of rows[i]. Checks keys against each other
// ("duplicate primary key in batch") and what `checks` asks for.
int row_change_prepare_rows(Table* t, const char* const* rows, const char* const* keys, int n,
                            unsigned checks, RowChange* out, char* err, size_t errlen);
// The same for versions the caller built (versioned_row_new with seq 0, a
// key and a canonical row each): they are taken over, whatever the result.
int row_change_prepare_versions(Table* t, VersionedRow* const* versions, int n, unsigned checks,
                                RowChange* out, char* err, size_t errlen);
// Merges names/values (raw JSON values) into the newest live row of key and
// prepares the result: "row not found", "primary key update not supported",
// the validation messages, and unique checks when `checks` asks for them.
int row_change_prepare_update(Table* t, const char* key, const char* const* names,
                              const char* const* values, int count, unsigned checks, RowChange* out,
                              char* err, size_t errlen);
// A tombstone for key (whether or not the key has a live row).
int row_change_prepare_delete(Table* t, const char* key, RowChange* out, char* err, size_t errlen);

// For a change applied after others that were prepared later but linked
// first: the caller vouches that none of them had a key of this change, so
// what the key map proved absent at preparing is still absent, though the
// map itself changed.
void row_change_keys_still_absent(RowChange* change);

// Links the prepared versions at seqs first_seq, first_seq + 1, ... under the
// table's write lock and keeps the key map, the secondary maps and the memory
// accounts. With index_files set, the index files get one event per version;
// a failed write there marks them for rebuild (index_files_mark_stale).
void row_change_apply(RowChange* change, uint64_t first_seq, bool index_files, bool index_maps);

// The canonical form of a row for a table of that schema and its primary key,
// never cut: a key longer than 2047 bytes is "primary key too long".
int row_canonical_with_key(const TableSchema* schema, const char* row_json, std::string* canon,
                           std::string* key, char* err, size_t errlen);

// Prepare and apply at once, no log record.
int table_apply_insert(const char* table_name, uint64_t seq, const char* row_json, char* err,
                       size_t errlen);
int table_apply_delete(const char* table_name, uint64_t seq, const char* key, char* err,
                       size_t errlen);
int table_apply_update(const char* table_name, uint64_t seq, const char* key,
                       const char* const* names, const char* const* values, int count, char* err,
                       size_t errlen);
