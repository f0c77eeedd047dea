// DDL parsers: CREATE [UNIQUE] INDEX, DROP TABLE, DROP INDEX, ALTER TABLE and
// DEFAULT values.  Statements are read token by token from a normalised copy
// with a small keyword scanner; names go through copy_ident_checked.
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

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Normalised, trimmed owned copy of a statement.
CStr normalized_copy(const char* sql, char* err, size_t errlen) {
    return CStr(sql_dup_normalized_dynamic(sql ? sql : "", err, errlen));
}

// True when only blanks remain.
bool at_end(char* cur) {
    sql_skip_ws_mut(&cur);
    return *cur == '\0';
}

// Splits text at commas outside quotes and parentheses; pieces are trimmed.
std::vector<std::string> split_top_level(const std::string& text) {
    std::vector<std::string> pieces;
    std::string cur;
    int depth = 0;
    const char* p = text.c_str();
    while (*p) {
        if (*p == '\'' || *p == '"') {
            const char* end = sql_skip_quoted_string(p);
            if (!end) end = p + strlen(p);
            cur.append(p, static_cast<size_t>(end - p));
            p = end;
            continue;
        }
        if (*p == '(') depth++;
        if (*p == ')' && depth > 0) depth--;
        if (*p == ',' && depth == 0) {
            pieces.push_back(cur);
            cur.clear();
        } else {
            cur += *p;
        }
        p++;
    }
    pieces.push_back(cur);
    for (auto& s : pieces) {
        size_t b = 0, e = s.size();
        while (b < e && is_blank(s[b])) b++;
        while (e > b && is_blank(s[e - 1])) e--;
        s = s.substr(b, e - b);
    }
    return pieces;
}

// 1 true-like, 0 false-like, -1 neither.
int index_parse_bool_option(const char* v) {
    if (!strcasecmp(v, "true") || !strcasecmp(v, "on") || !strcasecmp(v, "yes") || !strcmp(v, "1"))
        return 1;
    if (!strcasecmp(v, "false") || !strcasecmp(v, "off") || !strcasecmp(v, "no") || !strcmp(v, "0"))
        return 0;
    return -1;
}

bool is_order_word(const char* t) {
    return !strcasecmp(t, "ASC") || !strcasecmp(t, "DESC") || !strcasecmp(t, "NULLS") ||
           !strcasecmp(t, "FIRST") || !strcasecmp(t, "LAST");
}

int parse_index_column_item(const std::string& piece, IndexColumn* col, char* err, size_t errlen) {
    std::string buf = piece;
    char* cur = buf.data();
    char name[64];
    if (sql_read_simple_token(&cur, name, sizeof name, "index column", err, errlen) != 0) return -1;
    if (is_order_word(name)) {
        set_err(err, errlen, "missing column name in index column definition");
        return -1;
    }
    if (copy_ident_checked(col->name, sizeof col->name, name, "index column", err, errlen) != 0)
        return -1;
    col->ascending = 1;
    col->nulls_first = 0;
    while (!at_end(cur)) {
        char opt[64];
        if (sql_read_simple_token(&cur, opt, sizeof opt, "index column option", err, errlen) != 0)
            return -1;
        if (!strcasecmp(opt, "ASC")) {
            col->ascending = 1;
        } else if (!strcasecmp(opt, "DESC")) {
            col->ascending = 0;
        } else if (!strcasecmp(opt, "NULLS")) {
            char which[64];
            if (sql_read_simple_token(&cur, which, sizeof which, "NULLS option", err, errlen) != 0)
                return -1;
            if (!strcasecmp(which, "FIRST")) {
                col->nulls_first = 1;
            } else if (!strcasecmp(which, "LAST")) {
                col->nulls_first = 0;
            } else {
                set_err(err, errlen, "NULLS must be FIRST or LAST");
                return -1;
            }
        } else {
            set_errf(err, errlen, "unknown index column option '%s'", opt);
            return -1;
        }
    }
    return 0;
}

int parse_index_column_list(const std::string& list, IndexDef* def, char* err, size_t errlen) {
    std::vector<std::string> pieces = split_top_level(list);
    if (pieces.size() == 1 && pieces[0].empty()) {
        set_err(err, errlen, "missing index column");
        return -1;
    }
    int n = 0;
    for (const auto& piece : pieces) {
        if (piece.empty()) {
            set_err(err, errlen, "empty index column definition");
            return -1;
        }
        if (n >= KYREL_MAX_INDEX_COLUMNS) {
            set_err(err, errlen, "too many index columns");
            return -1;
        }
        if (parse_index_column_item(piece, &def->columns[n], err, errlen) != 0) return -1;
        n++;
    }
    def->column_count = n;
    snprintf(def->column, sizeof def->column, "%s", def->columns[0].name);
    return 0;
}

int parse_index_with_options(const std::string& text, IndexDef* def, char* err, size_t errlen) {
    for (const auto& piece : split_top_level(text)) {
        if (piece.empty()) {
            set_err(err, errlen, "empty index option");
            return -1;
        }
        const char* eq = sql_find_top_level_char(piece.c_str(), '=');
        if (!eq) {
            set_err(err, errlen, "index option requires =");
            return -1;
        }
        char name[64], value[128];
        if (sql_copy_span_trim(name, sizeof name, piece.c_str(), eq, "index option name", err,
                               errlen) != 0)
            return -1;
        if (sql_copy_span_trim(value, sizeof value, eq + 1, piece.c_str() + piece.size(),
                               "index option value", err, errlen) != 0)
            return -1;
        strip_sql_or_json_quotes(value);
        if (!strcasecmp(name, "fillfactor")) {
            errno = 0;
            char* end = nullptr;
            long v = strtol(value, &end, 10);
            if (!value[0] || *end != '\0' || errno == ERANGE || v < 1 || v > 100) {
                set_err(err, errlen, "fillfactor must be between 1 and 100");
                return -1;
            }
            def->fillfactor = static_cast<int32_t>(v);
        } else if (!strcasecmp(name, "deduplicate_items")) {
            int b = index_parse_bool_option(value);
            if (b < 0) {
                set_err(err, errlen, "deduplicate_items must be true or false");
                return -1;
            }
            def->deduplicate_items = b;
        } else {
            set_errf(err, errlen, "unsupported index option '%s'", name);
            return -1;
        }
    }
    return 0;
}

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
    while (b < e && is_blank(t[b])) b++;
    while (e > b && is_blank(t[e - 1])) e--;
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

// ---- keyword scanner ------------------------------------------------------

void sql_skip_ws_mut(char** cursor) {
    if (!cursor || !*cursor) return;
    while (is_blank(**cursor)) (*cursor)++;
}

int sql_keyword_delim(char c) {
    return c == '\0' || is_blank(c) || c == '(' || c == ')' || c == ',' || c == '=';
}

int sql_consume_keyword_mut(char** cursor, const char* keyword) {
    if (!cursor || !*cursor || !keyword) return 0;
    char* p = *cursor;
    sql_skip_ws_mut(&p);
    size_t n = strlen(keyword);
    if (strncasecmp(p, keyword, n) != 0 || !sql_keyword_delim(p[n])) return 0;
    *cursor = p + n;
    return 1;
}

int sql_read_simple_token(char** cursor, char* out, size_t cap, const char* label, char* err,
                          size_t errlen) {
    const char* lab = (label && *label) ? label : "token";
    if (out && cap) out[0] = '\0';
    if (!cursor || !*cursor || !out || cap == 0) {
        set_errf(err, errlen, "missing %s", lab);
        return -1;
    }
    sql_skip_ws_mut(cursor);
    char* p = *cursor;
    size_t n = 0;
    while (p[n] && !is_blank(p[n]) && p[n] != '(' && p[n] != ')' && p[n] != ',' && p[n] != '=') n++;
    if (n == 0) {
        set_errf(err, errlen, "missing %s", lab);
        return -1;
    }
    if (n >= cap) {
        set_errf(err, errlen, "%s too long", lab);
        return -1;
    }
    memcpy(out, p, n);
    out[n] = '\0';
    *cursor = p + n;
    return 0;
}

const char* sql_find_matching_rparen(const char* open) {
    if (!open || *open != '(') return nullptr;
    int depth = 0;
    const char* p = open;
    while (*p) {
        if (*p == '\'' || *p == '"') {
            p = sql_skip_quoted_string(p);
            if (!p) return nullptr;
            continue;
        }
        if (*p == '(') depth++;
        if (*p == ')' && --depth == 0) return p;
        p++;
    }
    return nullptr;
}

// ---- CREATE INDEX ---------------------------------------------------------

int parse_create_index_sql_ex(const char* sql, char* table_out, size_t table_cap,
                              IndexDef* index_def, int* if_not_exists_out, char* err,
                              size_t errlen) {
    if (!index_def || !table_out || table_cap == 0) {
        set_err(err, errlen, "internal CREATE INDEX parser error");
        return -1;
    }
    indexdef_init(index_def);
    table_out[0] = '\0';
    if (if_not_exists_out) *if_not_exists_out = 0;
    if (sql && strlen(sql) > 4095) {
        set_err(err, errlen, "CREATE INDEX statement too long");
        return -1;
    }
    CStr copy = normalized_copy(sql, err, errlen);
    if (!copy) return -1;
    char* cur = copy.get();
    if (!sql_consume_keyword_mut(&cur, "CREATE")) {
        set_err(err, errlen, "invalid CREATE INDEX");
        return -1;
    }
    if (sql_consume_keyword_mut(&cur, "UNIQUE")) index_def->unique = 1;
    if (!sql_consume_keyword_mut(&cur, "INDEX")) {
        set_err(err, errlen, "invalid CREATE INDEX");
        return -1;
    }
    if (sql_consume_keyword_mut(&cur, "IF")) {
        if (!sql_consume_keyword_mut(&cur, "NOT") || !sql_consume_keyword_mut(&cur, "EXISTS")) {
            set_err(err, errlen, "expected IF NOT EXISTS");
            return -1;
        }
        if (if_not_exists_out) *if_not_exists_out = 1;
    }
    char tok[64];
    if (sql_read_simple_token(&cur, tok, sizeof tok, "index name", err, errlen) != 0) return -1;
    if (copy_ident_checked(index_def->name, sizeof index_def->name, tok, "index name", err,
                           errlen) != 0)
        return -1;
    if (!sql_consume_keyword_mut(&cur, "ON")) {
        set_err(err, errlen, "missing ON");
        return -1;
    }
    if (sql_read_simple_token(&cur, tok, sizeof tok, "table name", err, errlen) != 0) return -1;
    if (copy_ident_checked(table_out, table_cap, tok, "table name", err, errlen) != 0) return -1;
    if (sql_consume_keyword_mut(&cur, "USING")) {
        char method[16];
        if (sql_read_simple_token(&cur, method, sizeof method, "index method", err, errlen) != 0)
            return -1;
        if (strcasecmp(method, "btree") != 0) {
            set_err(err, errlen, "unsupported index method; only btree is supported");
            return -1;
        }
        snprintf(index_def->method, sizeof index_def->method, "btree");
    }
    sql_skip_ws_mut(&cur);
    const char* close = (*cur == '(') ? sql_find_matching_rparen(cur) : nullptr;
    if (!close) {
        set_err(err, errlen, "missing index column list");
        return -1;
    }
    size_t list_len = static_cast<size_t>(close - cur - 1);
    if (list_len >= 2048) {
        set_err(err, errlen, "index column list too long");
        return -1;
    }
    if (parse_index_column_list(std::string(cur + 1, list_len), index_def, err, errlen) != 0)
        return -1;
    cur = const_cast<char*>(close) + 1;
    if (!at_end(cur)) {
        if (!sql_consume_keyword_mut(&cur, "WITH")) {
            set_err(err, errlen, "unexpected text after CREATE INDEX");
            return -1;
        }
        sql_skip_ws_mut(&cur);
        if (*cur != '(') {
            set_err(err, errlen, "WITH requires option list");
            return -1;
        }
        const char* wclose = sql_find_matching_rparen(cur);
        if (!wclose) {
            set_err(err, errlen, "unterminated WITH option list");
            return -1;
        }
        size_t opt_len = static_cast<size_t>(wclose - cur - 1);
        if (opt_len >= 1024) {
            set_err(err, errlen, "index options too long");
            return -1;
        }
        if (parse_index_with_options(std::string(cur + 1, opt_len), index_def, err, errlen) != 0)
            return -1;
        cur = const_cast<char*>(wclose) + 1;
        if (!at_end(cur)) {
            set_err(err, errlen, "unexpected text after CREATE INDEX");
            return -1;
        }
    }
    indexdef_ensure_defaults(index_def);
    return 0;
}

int parse_create_index_sql(const char* sql, char* index_out, size_t index_cap, char* table_out,
                           size_t table_cap, char* column_out, size_t column_cap, char* err,
                           size_t errlen) {
    auto def = std::make_unique<IndexDef>();
    char table[64];
    int ine = 0;
    if (parse_create_index_sql_ex(sql, table, sizeof table, def.get(), &ine, err, errlen) != 0)
        return -1;
    if (copy_ident_checked(index_out, index_cap, def->name, "index name", err, errlen) != 0 ||
        copy_ident_checked(table_out, table_cap, table, "table name", err, errlen) != 0 ||
        copy_ident_checked(column_out, column_cap, def->column, "column name", err, errlen) != 0)
        return -1;
    return 0;
}

// ---- DROP TABLE / DROP INDEX ----------------------------------------------

int parse_drop_table_sql(const char* sql, char* table_out, size_t table_cap, int* if_exists_out,
                         char* err, size_t errlen) {
    int if_exists = 0;
    if (if_exists_out) *if_exists_out = 0;
    if (table_out && table_cap) table_out[0] = '\0';
    CStr copy = normalized_copy(sql, err, errlen);
    if (!copy) return -1;
    char* cur = copy.get();
    if (!sql_consume_keyword_mut(&cur, "DROP") || !sql_consume_keyword_mut(&cur, "TABLE")) {
        set_err(err, errlen, "invalid DROP TABLE");
        return -1;
    }
    if (read_if_exists(&cur, &if_exists, err, errlen) != 0) return -1;
    char tok[64];
    if (sql_read_simple_token(&cur, tok, sizeof tok, "table name", err, errlen) != 0) return -1;
    if (!at_end(cur)) {
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
    CStr copy = normalized_copy(sql, err, errlen);
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
    if (!at_end(cur)) {
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
    if (!at_end(cur)) {
        set_err(err, errlen, "unexpected text after ALTER TABLE ADD COLUMN");
        return -1;
    }
    return 0;
}

int parse_alter_drop(char* cur, AlterTableCmd* cmd, char* err, size_t errlen) {
    sql_consume_keyword_mut(&cur, "COLUMN");
    char name[64];
    if (sql_read_simple_token(&cur, name, sizeof name, "column name", err, errlen) != 0) return -1;
    if (!at_end(cur)) {
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
    if (!at_end(cur)) {
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
    CStr copy = normalized_copy(sql, err, errlen);
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

int table_apply_alter_sql(const char* internal_name, const char* sql, int replaying, char* err,
                          size_t errlen) {
    auto cmd = std::make_unique<AlterTableCmd>();
    if (parse_alter_table_sql(sql, cmd.get(), err, errlen) != 0) return -1;
    return table_apply_alter(internal_name, cmd->op, &cmd->column, cmd->old_name, cmd->new_name,
                             cmd->default_json, cmd->has_default, replaying, err, errlen);
}
