// The CREATE [UNIQUE] INDEX parser:
//   CREATE [UNIQUE] INDEX [IF NOT EXISTS] name ON table [USING btree]
//     (column [ASC|DESC] [NULLS FIRST|LAST], ...) [WITH (option = value, ...)]
// read with the keyword scanner into an IndexDef; names go through
// copy_ident_checked.
#include "query/create_index_parse.h"

#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/err.h"
#include "base/owned.h"
#include "base/sql_scan.h"
#include "query/sql_keyword.h"
#include "storage/ident.h"
#include "storage/row_version.h"

namespace {

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
        while (b < e && sql_keyword_blank(s[b])) b++;
        while (e > b && sql_keyword_blank(s[e - 1])) e--;
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
    while (!sql_at_end_mut(cur)) {
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

// CREATE [UNIQUE] INDEX [IF NOT EXISTS] name ON table [USING method], with
// the cursor left after it.
int parse_create_index_head(char** cur, char* table_out, size_t table_cap, IndexDef* index_def,
                            int* if_not_exists_out, char* err, size_t errlen) {
    if (!sql_consume_keyword_mut(cur, "CREATE")) {
        set_err(err, errlen, "invalid CREATE INDEX");
        return -1;
    }
    if (sql_consume_keyword_mut(cur, "UNIQUE")) index_def->unique = 1;
    if (!sql_consume_keyword_mut(cur, "INDEX")) {
        set_err(err, errlen, "invalid CREATE INDEX");
        return -1;
    }
    if (sql_consume_keyword_mut(cur, "IF")) {
        if (!sql_consume_keyword_mut(cur, "NOT") || !sql_consume_keyword_mut(cur, "EXISTS")) {
            set_err(err, errlen, "expected IF NOT EXISTS");
            return -1;
        }
        if (if_not_exists_out) *if_not_exists_out = 1;
    }
    char tok[64];
    if (sql_read_simple_token(cur, tok, sizeof tok, "index name", err, errlen) != 0) return -1;
    if (copy_ident_checked(index_def->name, sizeof index_def->name, tok, "index name", err,
                           errlen) != 0)
        return -1;
    if (!sql_consume_keyword_mut(cur, "ON")) {
        set_err(err, errlen, "missing ON");
        return -1;
    }
    if (sql_read_simple_token(cur, tok, sizeof tok, "table name", err, errlen) != 0) return -1;
    if (copy_ident_checked(table_out, table_cap, tok, "table name", err, errlen) != 0) return -1;
    if (!sql_consume_keyword_mut(cur, "USING")) return 0;
    char method[16];
    if (sql_read_simple_token(cur, method, sizeof method, "index method", err, errlen) != 0)
        return -1;
    if (strcasecmp(method, "btree") != 0) {
        set_err(err, errlen, "unsupported index method; only btree is supported");
        return -1;
    }
    snprintf(index_def->method, sizeof index_def->method, "btree");
    return 0;
}

// The parenthesised column list, with the cursor left after its ")".
int parse_create_index_columns(char** cur, IndexDef* index_def, char* err, size_t errlen) {
    sql_skip_ws_mut(cur);
    const char* close = (**cur == '(') ? sql_find_matching_rparen(*cur) : nullptr;
    if (!close) {
        set_err(err, errlen, "missing index column list");
        return -1;
    }
    size_t list_len = static_cast<size_t>(close - *cur - 1);
    if (list_len >= 2048) {
        set_err(err, errlen, "index column list too long");
        return -1;
    }
    if (parse_index_column_list(std::string(*cur + 1, list_len), index_def, err, errlen) != 0)
        return -1;
    *cur = const_cast<char*>(close) + 1;
    return 0;
}

// What may follow the column list: nothing, or WITH (options) and nothing.
int parse_create_index_tail(char* cur, IndexDef* index_def, char* err, size_t errlen) {
    if (sql_at_end_mut(cur)) return 0;
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
    if (!sql_at_end_mut(cur)) {
        set_err(err, errlen, "unexpected text after CREATE INDEX");
        return -1;
    }
    return 0;
}

}  // namespace

int parse_create_index_def(const char* sql, char* table_out, size_t table_cap, IndexDef* index_def,
                           int* if_not_exists_out, char* err, size_t errlen) {
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
    CStr copy = sql_keyword_copy(sql, err, errlen);
    if (!copy) return -1;
    char* cur = copy.get();
    if (parse_create_index_head(&cur, table_out, table_cap, index_def, if_not_exists_out, err,
                                errlen) != 0 ||
        parse_create_index_columns(&cur, index_def, err, errlen) != 0 ||
        parse_create_index_tail(cur, index_def, err, errlen) != 0)
        return -1;
    indexdef_ensure_defaults(index_def);
    return 0;
}

int parse_create_index_sql(const char* sql, char* index_out, size_t index_cap, char* table_out,
                           size_t table_cap, char* column_out, size_t column_cap, char* err,
                           size_t errlen) {
    auto def = std::make_unique<IndexDef>();
    char table[64];
    int ine = 0;
    if (parse_create_index_def(sql, table, sizeof table, def.get(), &ine, err, errlen) != 0)
        return -1;
    if (copy_ident_checked(index_out, index_cap, def->name, "index name", err, errlen) != 0 ||
        copy_ident_checked(table_out, table_cap, table, "table name", err, errlen) != 0 ||
        copy_ident_checked(column_out, column_cap, def->column, "column name", err, errlen) != 0)
        return -1;
    return 0;
}
