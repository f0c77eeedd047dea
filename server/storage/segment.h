// Segment files (the newest live version of every key, written at a
// checkpoint) and table manifests (which segment is current). Formats are
// described at the top of segment.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

struct Table;

// Keys already met while walking a newest-first version chain: the first
// version met for a key is its newest and the only one that counts. Keys are
// borrowed from the chain, which must outlive the list.
struct SeenKeyList {
    std::unordered_set<std::string_view> keys;
    size_t limit = 268435455;  // beyond this many keys, adding fails
};
// 1 when key is new (now recorded), 0 when already seen, -1 when the list
// cannot grow (out of memory or past its limit).
int seen_key_list_add(SeenKeyList* list, const char* key);

// Caller holds the table's write lock. Writes and fsyncs seg_<segno>; on any
// failure the partial file is removed and the table is unchanged.
int segment_write_latest(Table* t, uint64_t seq, uint64_t segno, char* err, size_t errlen);
// Rewrites manifest.meta atomically. 0, or -1 "cannot write manifest".
int manifest_save(Table* t, char* err, size_t errlen);
// Start-up: active/next segment of every live table. A table whose manifest
// was read loses its segment files other than the active one (left by a
// crash during a checkpoint; see segment_remove_orphans). -1 with
// "<path>: <what is wrong>" for a damaged or missing manifest (see segment.cpp).
int manifests_load(char* err, size_t errlen);
// Removes every "seg_<n>.dat" of the table's segments directory whose number
// is not the table's active segment (all of them when it has none). Returns
// how many were removed.
int segment_remove_orphans(const Table* t);
// Start-up: loads the active segment into the version chain. -1 with
// "<path>: record N at offset X: <what is wrong>" for a damaged segment.
int segment_load_for_table(Table* t, char* err, size_t errlen);
int load_segments(char* err, size_t errlen);
// The first "seg_<n>.dat" in a segments directory, or "" when it has none.
std::string segment_dir_first_file(const char* dir);
// Highest record seq met by the segment loader (start-up sequence floor).
uint64_t segment_max_loaded_seq();
