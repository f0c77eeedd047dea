// Data-directory layout under "./kyreldb_data" and the path builders every
// storage unit uses. Builders write into (dest, cap) with snprintf semantics;
// callers use 512-byte buffers. A NULL database means "default".
#pragma once

#include <cstddef>
#include <cstdint>

#define KYREL_DATA_ROOT "./kyreldb_data"
#define KYREL_DATABASES_DIR "./kyreldb_data/databases"

// Copies a component into a fixed buffer, NULL read as empty, cut at size - 1.
void path_copy_component(char* dest, size_t size, const char* src);
// Splits an internal table name at the first "__" (database, table; each cut
// to 63 bytes); without "__" the database is "default".
void split_internal_for_path(const char* internal, char* db, size_t dbcap, char* table,
                             size_t tablecap);

void db_dir_path(const char* db, char* dest, size_t cap);
void db_tables_dir_path(const char* db, char* dest, size_t cap);
void db_catalog_path(const char* db, char* dest, size_t cap);
void db_wal_path(const char* db, char* dest, size_t cap);
void db_checkpoint_path(const char* db, char* dest, size_t cap);
void db_procedures_dir_path(const char* db, char* dest, size_t cap);

void table_dir_path(const char* internal, char* dest, size_t cap);
void table_segments_dir_path(const char* internal, char* dest, size_t cap);
void table_manifest_path(const char* internal, char* dest, size_t cap);
void table_segment_path(const char* internal, uint64_t seg, char* dest, size_t cap);
void legacy_table_manifest_path(const char* internal, char* dest, size_t cap);
void legacy_table_segment_path(const char* internal, uint64_t seg, char* dest, size_t cap);
void legacy_table_indexes_meta_path(const char* internal, char* dest, size_t cap);

// mkdir 0755 when stat fails; errors ignored.
void ensure_dir(const char* path);
void ensure_database_storage_dirs(const char* db);
// Root, databases dir, then "default" and "config_db" with their tables dirs.
void ensure_parent_dirs();
// Makes the entries of a directory durable (a rename or unlink in it):
// fsync of the directory itself; errors ignored. The _of form takes a path
// and syncs the directory that holds it ("." for a bare name).
void fsync_dir(const char* dir);
void fsync_dir_of(const char* path);
// Size from stat; 0 for NULL, missing or failed stat.
uint64_t file_size_bytes(const char* path);
