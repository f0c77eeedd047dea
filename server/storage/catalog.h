// Catalog files: the table schemas of one database in
// ./kyreldb_data/databases/<db>/catalog.meta. The format is described at the
// top of catalog.cpp.
#pragma once

#include <cstddef>

// Rewrites db's catalog from its live tables (atomically: temp file, fsync,
// rename). 0, or -1 "cannot write catalog".
int catalog_save_db(const char* db, char* err, size_t errlen);
// catalog_save_db for every registered database; stops at the first failure.
int catalog_save(char* err, size_t errlen);
// Registers the tables of one catalog file: 1 when read, 0 when it does not
// exist, -1 with "<path>: <what is wrong>" when it cannot be read whole
// (unreadable, cut short, a malformed line).
int catalog_load_single(const char* path, const char* db, int legacy, char* err, size_t errlen);
// Start-up: every database's catalog, or the legacy ./kyreldb_data/catalog.meta.
// -1 with the message of the first damaged file.
int catalog_load(char* err, size_t errlen);
