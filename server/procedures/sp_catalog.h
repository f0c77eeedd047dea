// Procedure files and their catalog rows.
//
// A procedure's body lives in
//   ./kyreldb_data/databases/<db>/procedures/<owner>.<db>.<table>.<proc>.sp
// holding exactly the validated body text (no header, no terminator, at most
// 262144 bytes, no NUL). Its row in config_db__kyreldb_stored_procedures
// (key "<db>.<proc>") names the file and holds the SHA-256 of the body as 64
// lower-case hex digits. A body is trusted only when the path rebuilt from the
// row equals the stored one and the file's digest equals the stored digest.
//
// Create, drop and the CALL load run on the commit thread; SHOW runs on the
// read path. 0/-1 results with the message in (err, errlen).
#pragma once

#include <cstddef>
#include <cstdint>

struct Session;
struct ProcParamDef;

constexpr size_t SP_FILE_MAX = 262144;
constexpr size_t SP_PATH_SIZE = 512;

int sp_create_procedure(const Session* session, const char* procedure, const char* table,
                        const char* body, const ProcParamDef* params, int param_count, char* reply,
                        size_t reply_cap, char* err, size_t errlen);
int sp_drop_procedure(const Session* session, const char* procedure, const char* table, char* reply,
                      size_t reply_cap, char* err, size_t errlen);
// database NULL or "" = "default"; filter NULL or "" = none.
int build_show_procedures_json(const char* database, const char* table_filter, char** out_json,
                               char* err, size_t errlen);
// table_name holds 64 bytes; params (SP_MAX_PARAMS) and param_count may be NULL.
int sp_load_procedure_body_checked(const Session* session, const char* procedure, char** out_body,
                                   char* table_name, ProcParamDef* params, int* param_count,
                                   char* err, size_t errlen);

int sp_make_file_path(const char* owner, const char* database, const char* table,
                      const char* procedure, char* out, size_t cap, char* err, size_t errlen);
int sp_expected_path_from_row(const char* row_json, char* out, size_t cap, char* err,
                              size_t errlen);
int sp_write_file_atomic(const char* path, const char* body, char* err, size_t errlen);
int sp_read_file_body_checked(const char* path, char** out_body, char* out_hex, char* err,
                              size_t errlen);
void sp_sha256_hex_buf(const void* data, size_t len, char* out_hex);
int sp_sha256_hex_file(const char* path, char* out_hex, char* err, size_t errlen);
int sp_make_proc_key(const char* database, const char* procedure, char* out, size_t cap, char* err,
                     size_t errlen);
char* sp_build_row_json(const char* proc_key, const char* owner, const char* database,
                        const char* table, const char* procedure, const char* file_path,
                        const char* sha256_hex, uint64_t created_at, uint64_t updated_at,
                        const char* param_defs);
// 0 for "OK" and "DISABLED", -1 otherwise; status receives the status text.
int sp_validate_catalog_row_file(const char* row_json, char* status, size_t cap);
