// SELECT execution: runs one parsed single-table SELECT against one table and
// returns the whole reply text.
//
// Plan: a primary-key lookup (one "=" predicate on the key column), else
// candidate keys from a composite or single-column index, else a scan of the
// primary-key map. Plain SELECT * streams the stored row texts into the reply
// under the table's read lock; every other query copies the matching rows
// (SelectRow) and hands them to grouping, aggregates, sorting, windows or the
// projection after the lock is released.
//
// Reply: {"ok":true,"table":"<name>","rows":[...]} with no blanks; SELECT *
// rows are the stored texts verbatim, projected rows one member per select
// item ("label":raw, a missing value written as null).
#pragma once

#include <cstddef>

#include "query/json_buf.h"
#include "query/select_parse.h"

struct Table;
struct TableSchema;
struct IndexDef;
struct VersionedRow;

// Outcome of testing a stored row or an index value against the WHERE.
enum SelectMatch : int {
    SELECT_MATCH_ERROR = -1,  // the message is in err
    SELECT_MATCH_NO = 0,
    SELECT_MATCH_YES = 1,
};

// Outcome of one access path, which may not apply to a query: the caller
// then takes the next one (another index, then the scan).
enum SelectStep : int {
    SELECT_STEP_ERROR = -1,          // the message is in err
    SELECT_STEP_DONE = 0,            // the result is ready
    SELECT_STEP_NOT_APPLICABLE = 1,  // nothing was built; take the next path
};

// 0 and a heap reply in *out (owned by the caller); -1 and a message.
// table_name is the name as the statement wrote it (NULL: the internal name).
int select_rows_json(const char* internal_name, const char* table_name, const SelectQuery* query,
                     char** out, char* err, size_t errlen);

// YES the row passes every predicate (also without a query or a WHERE), NO
// it does not, ERROR "unknown WHERE column" (exact-case lookup).
SelectMatch select_row_matches_where(const TableSchema* schema, const SelectQuery* query,
                                     const char* row_json, char* err, size_t errlen);

// First predicate with operator "=" on column (case-insensitive); -1 none.
int select_find_eq_predicate(const SelectQuery* query, const char* column);

// Leading index columns that have an "=" predicate (0 for single-column
// indexes or without WHERE).
int composite_index_prefix_count(const IndexDef* def, const SelectQuery* query);

// YES the first n components of the stored composite value equal the "="
// predicates, NO not, ERROR "unknown index column".
SelectMatch composite_index_value_matches(const TableSchema* schema, const IndexDef* def,
                                          const SelectQuery* query, const char* value, int n,
                                          char* err, size_t errlen);

// Canonical index text of a predicate value for the column type; NULL with a
// message when the value cannot be an index value of that type.
char* index_sql_predicate_value_to_index_raw(int type, const char* value, char* err, size_t errlen);

// DONE built (*out heap); NOT_APPLICABLE also when a predicate value has no
// single index text that every equal stored value shares (a bare or
// double-quoted string, a word for a number: the caller then compares the
// index values one by one); ERROR.
SelectStep composite_index_build_exact_value(const TableSchema* schema, const IndexDef* def,
                                             const SelectQuery* query, char** out, char* err,
                                             size_t errlen);

// Candidate keys from the composite index with the longest usable "="
// prefix (earliest on ties). A prefix is usable only when every later column
// of the index is the primary key: a row lacking an indexed column is not in
// the index, so a shorter prefix would lose rows the WHERE matches. Every
// row the WHERE can match is among the candidates; callers re-check them.
// NOT_APPLICABLE no usable composite index; DONE candidate list ready
// (possibly empty); ERROR.
SelectStep lookup_keys_from_composite_index(Table* table, const SelectQuery* query,
                                            char*** out_keys, int* out_count, char* err,
                                            size_t errlen);

// Appends a heap copy of key. 0; -1 "oom" (the whole list freed and emptied).
int append_lookup_key(char*** keys, int* count, const char* key, char* err, size_t errlen);

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

// The primary-key text that a predicate value addresses, in the form the
// table stores its keys (pk_key_form). Used by the primary-key lookup.
// Returns 0, or -1 when no row can have it (not a key of the column's type,
// or longer than cap).
int select_pk_lookup_key(const Table* table, const char* value, char* out, size_t cap);
