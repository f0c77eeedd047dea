// Index values (canonical per-type text, composite encoding), unique-index
// checks and upkeep of the in-memory secondary-index maps.
// "_locked": the caller holds the table's lock (write lock for changes).
#pragma once

#include <cstddef>

struct Table;
struct IndexDef;
struct VersionedRow;

int index_encode_components(const char* const* components, int n, char** out, char* err,
                            size_t errlen);
int index_value_component_span(const char* value, int k, const char** out_start, size_t* out_len);
// Heap canonical text of one raw value for a column type; NULL with err set.
char* index_canonical_raw_value(int type, const char* raw, char* err, size_t errlen);
int index_raw_component_for_row(const Table* t, const char* column, const char* row_json,
                                char** out, char* err, size_t errlen);
int index_build_value_for_row(const Table* t, const IndexDef* def, const char* row_json, char** out,
                              char* err, size_t errlen);
int index_unique_value_for_row(const Table* t, const IndexDef* def, const char* row_json,
                               char** out_value, int* out_skip, char* err, size_t errlen);

int unique_index_conflict_locked(Table* t, const IndexDef* def, const char* row_json,
                                 const char* exclude_key, char* conflict_key, size_t conflict_cap,
                                 char* err, size_t errlen);
int table_check_unique_constraints_for_row_locked(Table* t, const char* row_json,
                                                  const char* exclude_key, char* err,
                                                  size_t errlen);
int table_check_unique_batch_constraints_locked(Table* t, const char* const* rows,
                                                const char* const* keys, int n, char* err,
                                                size_t errlen);
int unique_index_validate_existing_rows_locked(Table* t, const IndexDef* def, char* err,
                                               size_t errlen);

int sec_index_add_row(Table* t, const VersionedRow* row);
// Returns 0, or -1 when the maps had to be dropped (they are then invalid).
int sec_index_update_for_row(Table* t, const VersionedRow* row);
int sec_index_rebuild_all(Table* t);
// 1: the map cannot answer (caller falls back); 0 with heap keys; -1 "oom".
int sec_index_lookup_keys(Table* t, int index_pos, const char* op, const char* operand,
                          char*** out_keys, int* out_count, char* err, size_t errlen);
