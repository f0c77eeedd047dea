// Identifiers and column types.
//
// Every name a client writes passes through canonicalize_ident and
// copy_ident_checked before it is used.  Names that come from the server's own
// files (catalogs, databases.meta, WAL replay) and the system bootstrap use
// copy_ident_stored, which applies only the length rules, so that data written
// by earlier versions keeps loading.
#pragma once

#include <cstddef>
#include <cstdint>

// Column type codes, shared by table schemas, index values and procedure
// parameters.  1, 2 and 5 compare numerically.
enum ColumnType : int32_t {
    COL_TYPE_UNKNOWN = 0,
    COL_TYPE_INT = 1,
    COL_TYPE_DOUBLE = 2,
    COL_TYPE_STRING = 3,
    COL_TYPE_BOOL = 4,
    COL_TYPE_TIMESTAMP = 5,
};

constexpr size_t KYREL_IDENT_SIZE = 64;      // identifier buffers, terminator included
constexpr size_t KYREL_IDENT_RAW_MAX = 511;  // longest raw identifier text accepted

// Trims (trailing blanks and semicolons, leading blanks), then removes one pair
// of enclosing quotes (both " or both ') and trims again.  Case is kept.
void canonicalize_ident(char* text);

// Canonicalises a copy of source into dest.  Messages (label defaults to
// "identifier"): "internal identifier error", "missing %s", "%s too long",
// "invalid %s".  For client names the label also selects the name rules of
// ident_check_client_name.  Returns 0 or -1.
int copy_ident_checked(char* dest, size_t capacity, const char* source, const char* label,
                       char* err, size_t errlen);

// Same as copy_ident_checked without the client name rules: for names read
// back from the server's own files and for the system bootstrap.
int copy_ident_stored(char* dest, size_t capacity, const char* source, const char* label, char* err,
                      size_t errlen);

// Rules for a canonical name a client supplies, chosen by the label:
//  - labels naming a database, table, column or index refuse any byte <= 0x20
//    or 0x7F, / \ " ' ` @, and the names "." and "..";
//  - a database name must not contain "__" nor end in "_";
//  - a table name must not contain "__" (it would reach another database's
//    table through the internal name).
// Other labels (users, procedures, plain "identifier") are not restricted.
// Returns 0, or -1 with "invalid %s".
int ident_check_client_name(const char* canonical, const char* label, char* err, size_t errlen);

// "unknown", "int", "double", "string", "bool", "timestamp".
const char* type_name(int type);
// int/long/bigint, double/float, string/text/varchar*, bool/boolean,
// timestamp/date (any case); anything else and NULL give 0.
int parse_type_name(const char* word);
