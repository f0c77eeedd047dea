// Status reports and catalogue listings answered by the read path.
//
// Every reply is one object whose first member is "ok":true followed by the
// member holding the report. The server reports (stats, performance,
// memory, WAL, workers) have a fixed set of members and are formatted into a
// caller buffer; the listings grow with the catalogue and are built as heap
// texts. Every interpolated name is JSON-escaped.
#pragma once

#include <cstddef>

struct Session;

// Fixed-size reports. 0, or -1 when the text did not fit the buffer.
int build_stats_json(char* buf, size_t size);
int build_performance_json(char* buf, size_t size);
int build_memory_json(char* buf, size_t size);
int build_wal_json(char* buf, size_t size);
int build_workers_json(char* buf, size_t size);

// Listings: 0 and a heap text in *out; -1 and a message ("oom",
// "table not found").
int build_show_databases_json(char** out, char* err, size_t errlen);
// Tables of database (NULL or empty: "default").
int build_show_tables_json_db(const char* database, char** out, char* err, size_t errlen);
int build_show_table_json_db(const Session* session, const char* table, char** out, char* err,
                             size_t errlen);
int build_show_indexes_json_db(const Session* session, const char* table, char** out, char* err,
                               size_t errlen);
int build_show_indexes_all_json(const Session* session, char** out, char* err, size_t errlen);
