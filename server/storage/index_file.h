// Index files: indexes.meta (the definitions of a table's indexes) and one
// append-only <index>.idx event log per index. Formats are described at the
// top of index_file.cpp. Appends and rebuilds expect the caller to hold the
// table's write lock; look-ups take the read lock themselves for the map part.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct Table;

void table_indexes_meta_path(const char* internal, char* dest, size_t cap);
void table_index_file_path(const char* internal, const char* index_name, char* dest, size_t cap);
// Position of the index (case-insensitive name), -1 if none.
int table_find_indexdef(const Table* t, const char* name);
// Position of the first index led by that column (case-insensitive), -1 if none.
int table_find_indexdef_by_column(const Table* t, const char* column);

int indexes_meta_save(Table* t, char* err, size_t errlen);
// Start-up: every live table's indexes.meta (or its legacy file). -1 with
// "<path>: <what is wrong>" for a file that cannot be read whole.
int load_indexes_meta(char* err, size_t errlen);

int index_append_record(Table* t, int index_pos, char event, const char* value, const char* key,
                        char* err, size_t errlen);
int index_append_record_fp(FILE* fp, char event, const char* value, const char* key, char* err,
                           size_t errlen);
// One line per index for this row; event 'I' or 'D'.
int index_append_row_events(Table* t, const char* row_json, const char* key, char event, char* err,
                            size_t errlen);
int index_append_rows_batch_events(Table* t, const char* const* rows, const char* const* keys,
                                   int n, char* err, size_t errlen);

// Marks the table's index files as not to be trusted after a failed write
// (one line on standard error naming the table and why); lookups then fall
// back to the maps or a scan until rebuild_table_indexes rewrote every file.
// Caller holds the table's write lock.
void index_files_mark_stale(Table* t, const char* why);

// Rewrites every .idx file of the table from its newest live rows and
// rebuilds the maps. A unique violation is -1 with its message; a file that
// cannot be written does not fail the rebuild but leaves the index files
// marked stale.
int rebuild_table_indexes(Table* t, char* err, size_t errlen);
// Every live table; a failing table is reported on standard error and the
// others are still rebuilt; the first failure is returned.
int rebuild_all_indexes(char* err, size_t errlen);

// One key of an .idx file in its last state: the value of its last line, and
// whether that line was a 'D'.
struct IndexFileEntry {
    std::string key;
    std::string value;
    bool deleted;
};
// The entries of index index_pos's file, one per key in order of first
// appearance. 1 when the file cannot serve (missing, or the table's index
// files are stale); 0; -1 "oom". Takes the table's read lock for the path;
// the file is read without it.
int index_file_read_entries(Table* t, int index_pos, std::vector<IndexFileEntry>* out, char* err,
                            size_t errlen);

// Out key arrays are heap arrays of heap texts (free_string_array).
// lookup_keys_from_index uses the first index of that one column (an index of
// several columns led by it does not count). 1: no index / cannot answer
// (caller scans); 0 with keys; -1 error.
int lookup_keys_from_index(Table* t, const char* column, const char* op, const char* operand,
                           char*** out_keys, int* out_count, char* err, size_t errlen);
int sec_index_lookup_keys_exact(Table* t, int index_pos, const char* value, char*** out_keys,
                                int* out_count, char* err, size_t errlen);
int lookup_keys_from_index_exact(Table* t, int index_pos, const char* value, char*** out_keys,
                                 int* out_count, char* err, size_t errlen);
