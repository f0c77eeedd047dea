// Row changes: put, batch insert (with its WAL batch), delete and update, each
// adding versions to the table's chain and keeping the key and index maps.
#pragma once

#include <cstddef>
#include <cstdint>

int table_apply_insert(const char* table_name, uint64_t seq, const char* row_json, char* err,
                       size_t errlen);
int table_apply_insert_batch_with_wal(const char* table_name, const char* const* rows,
                                      const char* const* keys, const uint64_t* seqs, int n,
                                      char* err, size_t errlen);
int table_apply_delete(const char* table_name, uint64_t seq, const char* key, char* err,
                       size_t errlen);
int table_apply_update(const char* table_name, uint64_t seq, const char* key,
                       const char* const* names, const char* const* values, int count, char* err,
                       size_t errlen);
