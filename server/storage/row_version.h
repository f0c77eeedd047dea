// Row versions, reads, row validation and value comparison.
//
// A row is a JSON object text per version; every change prepends a version to
// the table's chain.  Values stay raw JSON (strings with their quotes) and are
// converted only when compared.  Rows that are stored go through
// schema_canonicalize_row_object so that typed values are canonical JSON.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct Table;
struct TableSchema;

struct VersionedRow {
    uint64_t seq;
    char* key;          // primary-key text without quotes (owned)
    char* json;         // whole row (owned); NULL in a tombstone
    uint32_t deleted;   // 1 in a tombstone
    uint64_t mem_size;  // 48 + strlen(key)+1 + (json ? strlen(json)+1 : 0)
    VersionedRow* next;
};

// 48 + (strlen(key) + 1) + (json ? strlen(json) + 1 : 0).
uint64_t versioned_row_mem_size(const char* key, const char* json);
// A new unlinked version with copies of key and json (json NULL for a
// tombstone) and its mem_size; NULL when memory runs out.
VersionedRow* versioned_row_new(uint64_t seq, const char* key, const char* json, int deleted);
// Frees one version (not its successors).
void versioned_row_free(VersionedRow* row);

// Caller holds the table's lock.  Out parameters may be NULL.
int versioned_get_latest_json(Table* table, const char* key, char** out_json, uint64_t* out_seq,
                              int* out_deleted);
int versioned_get_visible_json(Table* table, const char* key, uint64_t snapshot_seq,
                               char** out_json, uint64_t* out_seq, int* out_deleted);
// Takes g_tables.lock and the table's read lock itself.
int table_key_exists_live(const char* internal_name, const char* key);

// 0, or -1 "bad value type for column '%s'" / "missing primary key".
int schema_validate_row_object(const Table* table, const char* row_json, char* err, size_t errlen);
// Validates like schema_validate_row_object and returns in *out_row a heap copy
// of the row whose typed values are canonical JSON: bool true/false, int and
// timestamp plain decimal integers, double JSON numbers.  Non-finite and hex
// doubles and out-of-range integers are refused.
int schema_canonicalize_row_object(const Table* table, const char* row_json, char** out_row,
                                   char* err, size_t errlen);
// The same checks and output against a schema value (for callers that hold a
// copy of the schema, and for rows rewritten by ALTER TABLE).
int schema_canonicalize_row_with_schema(const TableSchema* schema, const char* row_json,
                                        char** out_row, char* err, size_t errlen);
// The one form of a primary key, whoever builds it (a stored row, a request
// row, a statement's literal): a string key is its decoded text; numbers are
// canonical, integers plain decimal (007 and +7 are 7), doubles in their
// shortest form that reads back the same (1.50 is 1.5, 1e3 is 1000); bools
// true or false.
enum PkKeySource {
    PK_FROM_ROW_VALUE,  // the raw JSON value of a row: a string key must be a JSON string
    PK_FROM_LITERAL,    // a statement's literal as written, quotes kept: trimmed
                        // outside the quotes only, the word null is no key
};
// 0 and the key, or -1 when the text cannot be a key of that column type.
int pk_key_form(int type, const char* text, PkKeySource source, std::string* key);

// 0 and the key text (pk_key_form of the row's key member), or -1 "table has
// no primary key" / "missing primary key value" / "bad value type for column
// '%s'".
int schema_get_pk_value(const Table* table, const char* row_json, char* out, size_t capacity,
                        char* err, size_t errlen);
// The same against a schema value, the key whole in *key.
int schema_row_pk_value(const TableSchema* schema, const char* row_json, std::string* key,
                        char* err, size_t errlen);
// New heap row in schema order with the given raw values replacing the row's.
int json_object_upsert(const TableSchema* schema, const char* row_json, const char* const* names,
                       const char* const* values, int count, char** out_row);

void sql_unescape_inplace(char* text);
void strip_sql_or_json_quotes(char* text);
int is_json_null_token(const char* value);
int compare_json_values(int type, const char* a, const char* b);
int eval_compare(int type, const char* a, const char* op, const char* b);
