// Data-directory layout under "./kyreldb_data" and the path builders every
// storage unit uses. Builders write into (dest, cap) with snprintf semantics;
// callers use 512-byte buffers. A NULL database means "default".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#define KYREL_DATA_ROOT "./kyreldb_data"
#define KYREL_DATABASES_DIR "./kyreldb_data/databases"
// Modes of everything created under the root: private to the server's user.
#define KYREL_DIR_MODE 0700
#define KYREL_FILE_MODE 0600

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

// mkdir 0700 when stat fails; errors ignored.
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

// Reads a whole file into *out: 0, 1 when it does not exist, -1 with
// "<path>: cannot open/read: <reason>" when it exists but cannot be read.
int read_file_whole(const char* path, std::string* out, char* err, size_t errlen);
// The metadata files are replaced whole, so each ends its last line with a
// line feed: 0 when text does (or is empty), -1 with "<path>: is cut short
// (its last line has no line feed)" when it does not.
int meta_text_check_whole(const char* path, const std::string& text, char* err, size_t errlen);
// Sets the process umask to 077, so that no file or directory the server
// makes is readable by others whatever mode its creator asks for.
void data_dir_private_umask();
// Start-up: removes the group and other permission bits of the root and of
// every directory and regular file under it (symbolic links are not
// followed); the number of entries changed.
long data_dir_tighten_modes();
