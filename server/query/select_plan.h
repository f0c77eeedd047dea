// The access paths of a single-table SELECT: the WHERE test of one row, the
// "=" predicates that fix the leading columns of a composite index, the
// candidate keys such an index yields, and the key text of a primary-key
// look-up. select_exec.cpp chooses among the paths and runs the statement.
//
// An index never decides the answer: every row it names is checked against
// the WHERE again under the table's lock, and a path that cannot serve a
// query says so (SELECT_STEP_NOT_APPLICABLE) and the next one is taken.
#pragma once

#include <cstddef>
#include <functional>

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

// The primary-key text that a predicate value addresses, in the form the
// table stores its keys (pk_key_form). Used by the primary-key lookup.
// Returns 0, or -1 when no row can have it (not a key of the column's type,
// or longer than cap).
int select_pk_lookup_key(const Table* table, const char* value, char* out, size_t cap);

// ---- ordered access ---------------------------------------------------------

// 1 when the query may be answered through an ordered tree (the primary
// key's, storage/pk_order.h, or a one-column index's, storage/sec_order.h)
// with exactly the rows and order a scan and sort give: no grouping,
// aggregate or window, every WHERE column named as the schema writes it, and
// ORDER BY the key, or ORDER BY a column the WHERE bounds with a range, or no
// ORDER BY and a bound on the key or a range on some column. Whether a tree
// can serve is decided under the lock by select_ordered_visit.
int select_ordered_applies(const TableSchema* schema, const SelectQuery* query);

// Under the caller's read lock: calls fn for the newest version of every key
// a tree finds within the query's bounds, in the order of the answer (the
// ORDER BY column's, ties in the order of a walk of the primary-key map, or
// that walk's order without ORDER BY); fn checks the WHERE. fn returns 0 to
// go on, 1 to stop, -1 for an error. 0 visited; 1 no tree can serve (nothing
// visited); -1 fn's error, or "oom".
int select_ordered_visit(Table* table, const SelectQuery* query,
                         const std::function<int(const VersionedRow*)>& fn, char* err,
                         size_t errlen);
