// SELECT execution: runs one parsed single-table SELECT against one table and
// returns the whole reply text.
//
// Plan: a primary-key lookup (one "=" predicate on the key column), else
// candidate keys from a composite or single-column index, else a scan of the
// primary-key map (the pieces of each path are in select_plan.h). Plain
// SELECT * streams the stored row texts into the reply under the table's
// read lock. Every other query reads its rows in place, under the read lock
// too: each row the path names is read once (row_read.h), tested against the
// prepared WHERE, then projected into the reply, fed to the aggregates of its
// group, or, for ORDER BY, kept by its sort key (only the first LIMIT rows of
// the order when there is a LIMIT). No row text is copied out.
//
// Reply: {"ok":true,"table":"<name>","rows":[...]} with no blanks; SELECT *
// rows are the stored texts verbatim, projected rows one member per select
// item ("label":raw, a missing value written as null).
#pragma once

#include <cstddef>

#include "query/json_buf.h"
#include "query/select_parse.h"
#include "query/select_plan.h"

struct Table;
struct TableSchema;
struct VersionedRow;

// 0 and a heap reply in *out (owned by the caller); -1 and a message.
// table_name is the name as the statement wrote it (NULL: the internal name).
int select_rows_json(const char* internal_name, const char* table_name, const SelectQuery* query,
                     char** out, char* err, size_t errlen);

// The same statement the plain way, kept as the reference the scans are
// tested against: every matching row copied out, then sorted, grouped or
// aggregated over the copies after the lock is released. Same replies.
int select_rows_json_copied(const char* internal_name, const char* table_name,
                            const SelectQuery* query, char** out, char* err, size_t errlen);

// Streams SELECT * over the primary-key map. NOT_APPLICABLE no map; DONE
// the reply in *out; ERROR.
SelectStep select_all_stream_pk_map_json(Table* table, const TableSchema* schema,
                                         const char* table_name, const SelectQuery* query,
                                         char** out, char* err, size_t errlen);
// Streams SELECT * over candidate keys. NOT_APPLICABLE no map, no list or a
// negative count.
SelectStep select_all_stream_index_keys_json(Table* table, const TableSchema* schema,
                                             const char* table_name, const SelectQuery* query,
                                             char* const* keys, int count, char** out, char* err,
                                             size_t errlen);

// Appends a copy of a live version; missing, deleted or text-less versions
// are skipped. 0; -1 "oom".
int append_select_row_from_version(SelectRow** rows, int* count, int* capacity,
                                   const VersionedRow* version, char* err, size_t errlen);

// One result row: the stored text for SELECT *, else one member per item.
int append_projected_row_json(char** data, uint64_t* capacity, uint64_t* length,
                              const TableSchema* schema, const SelectQuery* query,
                              const char* row_json, char* err, size_t errlen);
