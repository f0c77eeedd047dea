// DDL parsers: DROP TABLE, DROP INDEX, ALTER TABLE and DEFAULT values
// (CREATE INDEX is in create_index_parse.cpp). Statements are read token by
// token from a normalised copy with the keyword scanner of sql_keyword.h;
// names go through copy_ident_checked.
#include "query/ddl_parse.h"

#include <strings.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/err.h"
#include "base/owned.h"
#include "base/sql_scan.h"
#include "query/insert_parse.h"
#include "storage/ident.h"
#include "storage/row_version.h"

namespace {

// Reads IF EXISTS after DROP ... when present.
int read_if_exists(char** cur, int* if_exists, char* err, size_t errlen) {
    if (!sql_consume_keyword_mut(cur, "IF")) return 0;
    if (!sql_consume_keyword_mut(cur, "EXISTS")) {
        set_err(err, errlen, "expected IF EXISTS");
        return -1;
    }
    *if_exists = 1;
    return 0;
}

// Text after trimming, without trailing blanks.
std::string trimmed(const char* s) {
    std::string t = s ? s : "";
    size_t b = 0, e = t.size();
    while (b < e && sql_keyword_blank(t[b])) b++;
    while (e > b && sql_keyword_blank(t[e - 1])) e--;
    return t.substr(b, e - b);
}

// Whole text is one base-10 integer (blanks allowed after it) within range.
bool is_integer_text(const char* s) {
    std::string t = trimmed(s);
    if (t.empty()) return false;
    size_t i = (t[0] == '-' || t[0] == '+') ? 1 : 0;
    if (i >= t.size()) return false;
    for (size_t k = i; k < t.size(); k++)
        if (t[k] < '0' || t[k] > '9') return false;
    errno = 0;
    (void)strtoll(t.c_str(), nullptr, 10);
    return errno != ERANGE;
}

// A finite decimal number: digits with an optional fraction and exponent (no
// hexadecimal, infinities or NaN, which a stored row could not hold).
bool is_decimal_text(const char* s) {
    std::string t = trimmed(s);
    if (t.empty()) return false;
    for (char c : t)
        if (!((c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-'))
            return false;
    bool digit = false;
    for (char c : t) digit = digit || (c >= '0' && c <= '9');
    if (!digit) return false;
    errno = 0;
    char* end = nullptr;
    double v = strtod(t.c_str(), &end);
    return end && *end == '\0' && std::isfinite(v);
}

}  // namespace

// ---- DROP TABLE / DROP INDEX ----------------------------------------------

int parse_drop_table_sql(const char* sql, char* table_out, size_t table_cap, int* if_exists_out,
                         char* err, size_t errlen) {
    int if_exists = 0;
    if (if_exists_out) *if_exists_out = 0;
    if (table_out && table_cap) table_out[0] = '\0';
    CStr copy = sql_keyword_copy(sql, err, errlen);
    if (!copy) return -1;
    char* cur = copy.get();
    if (!sql_consume_keyword_mut(&cur, "DROP") || !sql_consume_keyword_mut(&cur, "TABLE")) {
        set_err(err, errlen, "invalid DROP TABLE");
        return -1;
    }
    if (read_if_exists(&cur, &if_exists, err, errlen) != 0) return -1;
    char tok[64];
    if (sql_read_simple_token(&cur, tok, sizeof tok, "table name", err, errlen) != 0) return -1;
    if (!sql_at_end_mut(cur)) {
        set_err(err, errlen, "unexpected text after DROP TABLE");
        return -1;
    }
    if (copy_ident_checked(table_out, table_cap, tok, "table name", err, errlen) != 0) return -1;
    if (if_exists_out) *if_exists_out = if_exists;
    return 0;
}

int parse_drop_index_sql(const char* sql, char* index_out, size_t index_cap, char* table_out,
                         size_t table_cap, int* if_exists_out, char* err, size_t errlen) {
    int if_exists = 0;
    if (if_exists_out) *if_exists_out = 0;
    if (table_out && table_cap) table_out[0] = '\0';
    if (index_out && index_cap) index_out[0] = '\0';
    CStr copy = sql_keyword_copy(sql, err, errlen);
    if (!copy) return -1;
    char* cur = copy.get();
    if (!sql_consume_keyword_mut(&cur, "DROP") || !sql_consume_keyword_mut(&cur, "INDEX")) {
        set_err(err, errlen, "invalid DROP INDEX");
        return -1;
    }
    if (read_if_exists(&cur, &if_exists, err, errlen) != 0) return -1;
    char tok[64];
    if (sql_read_simple_token(&cur, tok, sizeof tok, "index name", err, errlen) != 0) return -1;
    if (sql_consume_keyword_mut(&cur, "ON")) {
        char tab[64];
        if (sql_read_simple_token(&cur, tab, sizeof tab, "table name", err, errlen) != 0) return -1;
        if (copy_ident_checked(table_out, table_cap, tab, "table name", err, errlen) != 0)
            return -1;
    }
    if (!sql_at_end_mut(cur)) {
        if (table_out && table_cap) table_out[0] = '\0';
        set_err(err, errlen, "unexpected text after DROP INDEX");
        return -1;
    }
    if (copy_ident_checked(index_out, index_cap, tok, "index name", err, errlen) != 0) return -1;
    if (if_exists_out) *if_exists_out = if_exists;
    return 0;
}

// ---- ALTER TABLE ----------------------------------------------------------

namespace {

int parse_alter_add(char* cur, AlterTableCmd* cmd, char* err, size_t errlen) {
    sql_consume_keyword_mut(&cur, "COLUMN");
    char name[64];
    if (sql_read_simple_token(&cur, name, sizeof name, "column name", err, errlen) != 0) return -1;
    char type_word[128];
    if (sql_read_simple_token(&cur, type_word, sizeof type_word, "column type", err, errlen) != 0)
        return -1;
    // varchar(N): the parenthesised length belongs to the type word.
    bool has_len = false;
    std::string len_text;
    if (*cur == '(') {
        const char* close = sql_find_matching_rparen(cur);
        if (!close) {
            set_err(err, errlen, "unsupported type");
            return -1;
        }
        size_t add = static_cast<size_t>(close - cur + 1);
        if (strlen(type_word) + add >= sizeof type_word) {
            set_err(err, errlen, "column type too long");
            return -1;
        }
        len_text.assign(cur + 1, static_cast<size_t>(close - cur - 1));
        has_len = true;
        strncat(type_word, cur, add);
        cur = const_cast<char*>(close) + 1;
    }
    cmd->op = ALTER_OP_ADD_COLUMN;
    if (copy_ident_checked(cmd->column.name, sizeof cmd->column.name, name, "column name", err,
                           errlen) != 0)
        return -1;
    int type = parse_type_name(type_word);
    if (type == COL_TYPE_UNKNOWN) {
        set_err(err, errlen, "unsupported type");
        return -1;
    }
    cmd->column.type = type;
    cmd->column.is_primary_key = 0;
    cmd->column.max_length = (type == COL_TYPE_STRING) ? 2047 : 0;
    if (type == COL_TYPE_STRING && has_len && !trimmed(len_text.c_str()).empty()) {
        long n = strtol(trimmed(len_text.c_str()).c_str(), nullptr, 10);
        cmd->column.max_length = (n < 1 || n > 2047) ? 2047 : static_cast<int32_t>(n);
    }
    if (sql_consume_keyword_mut(&cur, "DEFAULT")) {
        sql_skip_ws_mut(&cur);
        if (!*cur) {
            set_err(err, errlen, "missing DEFAULT value");
            return -1;
        }
        if (ddl_sql_value_to_json(type, cur, cmd->default_json, sizeof cmd->default_json, err,
                                  errlen) != 0)
            return -1;
        cmd->has_default = 1;
        return 0;
    }
    if (!sql_at_end_mut(cur)) {
        set_err(err, errlen, "unexpected text after ALTER TABLE ADD COLUMN");
        return -1;
    }
    return 0;
}

int parse_alter_drop(char* cur, AlterTableCmd* cmd, char* err, size_t errlen) {
    sql_consume_keyword_mut(&cur, "COLUMN");
    char name[64];
    if (sql_read_simple_token(&cur, name, sizeof name, "column name", err, errlen) != 0) return -1;
    if (!sql_at_end_mut(cur)) {
        set_err(err, errlen, "unexpected text after ALTER TABLE DROP COLUMN");
        return -1;
    }
    cmd->op = ALTER_OP_DROP_COLUMN;
    return copy_ident_checked(cmd->old_name, sizeof cmd->old_name, name, "column name", err,
                              errlen);
}

int parse_alter_rename(char* cur, AlterTableCmd* cmd, char* err, size_t errlen) {
    if (!sql_consume_keyword_mut(&cur, "COLUMN")) {
        set_err(err, errlen, "expected COLUMN after RENAME");
        return -1;
    }
    char old_name[64], new_name[64];
    if (sql_read_simple_token(&cur, old_name, sizeof old_name, "old column name", err, errlen) != 0)
        return -1;
    if (!sql_consume_keyword_mut(&cur, "TO")) {
        set_err(err, errlen, "expected TO in RENAME COLUMN");
        return -1;
    }
    if (sql_read_simple_token(&cur, new_name, sizeof new_name, "new column name", err, errlen) != 0)
        return -1;
    if (!sql_at_end_mut(cur)) {
        set_err(err, errlen, "unexpected text after ALTER TABLE RENAME COLUMN");
        return -1;
    }
    cmd->op = ALTER_OP_RENAME_COLUMN;
    if (copy_ident_checked(cmd->old_name, sizeof cmd->old_name, old_name, "old column name", err,
                           errlen) != 0)
        return -1;
    return copy_ident_checked(cmd->new_name, sizeof cmd->new_name, new_name, "new column name", err,
                              errlen);
}

}  // namespace

int parse_alter_table_sql(const char* sql, AlterTableCmd* cmd, char* err, size_t errlen) {
    if (!cmd) {
        set_err(err, errlen, "internal ALTER TABLE parser error");
        return -1;
    }
    memset(cmd, 0, sizeof *cmd);
    CStr copy = sql_keyword_copy(sql, err, errlen);
    if (!copy) return -1;
    char* cur = copy.get();
    if (!sql_consume_keyword_mut(&cur, "ALTER") || !sql_consume_keyword_mut(&cur, "TABLE")) {
        set_err(err, errlen, "invalid ALTER TABLE");
        return -1;
    }
    char tok[64];
    if (sql_read_simple_token(&cur, tok, sizeof tok, "table name", err, errlen) != 0) return -1;
    if (copy_ident_checked(cmd->table, sizeof cmd->table, tok, "table name", err, errlen) != 0)
        return -1;
    int rc;
    if (sql_consume_keyword_mut(&cur, "ADD"))
        rc = parse_alter_add(cur, cmd, err, errlen);
    else if (sql_consume_keyword_mut(&cur, "DROP"))
        rc = parse_alter_drop(cur, cmd, err, errlen);
    else if (sql_consume_keyword_mut(&cur, "RENAME"))
        rc = parse_alter_rename(cur, cmd, err, errlen);
    else {
        set_err(err, errlen, "unsupported ALTER TABLE operation");
        rc = -1;
    }
    if (rc != 0) {
        // A failed parse leaves no half-filled command behind.
        char table[64];
        memcpy(table, cmd->table, sizeof table);
        memset(cmd, 0, sizeof *cmd);
        memcpy(cmd->table, table, sizeof table);
    }
    return rc;
}

// ---- DEFAULT values -------------------------------------------------------

int ddl_sql_value_to_json(int type, const char* sql_value, char* out, size_t out_cap, char* err,
                          size_t errlen) {
    if (!sql_value) {
        set_err(err, errlen, "missing value");
        return -1;
    }
    if (strlen(sql_value) >= 2048) {
        set_err(err, errlen, "value too long");
        return -1;
    }
    std::string value = trimmed(sql_value);
    std::string json;
    if (type == COL_TYPE_STRING) {
        CStr lit(sql_string_literal_to_json(value.c_str()));
        if (!lit) {
            set_err(err, errlen, "bad string default literal");
            return -1;
        }
        json = lit.get();
    } else {
        json = value;
    }
    if (!out || json.size() >= out_cap) {
        set_err(err, errlen, "default value too long");
        return -1;
    }
    memcpy(out, json.c_str(), json.size() + 1);
    return ddl_validate_raw_for_type(type, out, err, errlen);
}

int ddl_validate_raw_for_type(int type, const char* value, char* err, size_t errlen) {
    if (!value) {
        set_err(err, errlen, "missing value");
        return -1;
    }
    switch (type) {
    case COL_TYPE_STRING:
        if (value[0] != '"') {
            set_err(err, errlen, "string default must be quoted");
            return -1;
        }
        return 0;
    case COL_TYPE_BOOL: {
        std::string t = trimmed(value);
        if (strcasecmp(t.c_str(), "true") && strcasecmp(t.c_str(), "false") && t != "1" &&
            t != "0") {
            set_err(err, errlen, "bad boolean default");
            return -1;
        }
        return 0;
    }
    case COL_TYPE_DOUBLE:
        if (!is_decimal_text(value)) {
            set_err(err, errlen, "bad double default");
            return -1;
        }
        return 0;
    case COL_TYPE_INT:
    case COL_TYPE_TIMESTAMP:
        if (!is_integer_text(value)) {
            set_err(err, errlen, "bad integer default");
            return -1;
        }
        return 0;
    default: set_err(err, errlen, "unsupported default type"); return -1;
    }
}

// ---- applying ALTER TABLE -------------------------------------------------

int ddl_alter_table_from_sql(const char* internal_name, const char* sql, int replaying, char* err,
                             size_t errlen, const AlterLog* log) {
    auto cmd = std::make_unique<AlterTableCmd>();
    if (parse_alter_table_sql(sql, cmd.get(), err, errlen) != 0) return -1;
    return table_apply_alter(internal_name, cmd->op, &cmd->column, cmd->old_name, cmd->new_name,
                             cmd->default_json, cmd->has_default, replaying, err, errlen, log);
}
