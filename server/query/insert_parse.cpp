// INSERT parsing: the target (table name and optional column list) and one
// row JSON object per VALUES tuple. String columns get JSON strings; other
// values pass through as their SQL text and the storage layer judges them.
//
// Row object: "{" "\"col\":value" ("," "\"col\":value")* "}" with the
// schema's spelling of each column, in statement order (schema order when
// there is no column list). No blanks; names are not escaped (column names
// are restricted at CREATE TABLE).
#include "query/insert_parse.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/json_text.h"
#include "base/owned.h"
#include "base/sql_scan.h"
#include "base/text_util.h"
#include "query/parse_util.h"
#include "query/sql_split.h"
#include "storage/ident.h"
#include "storage/row_version.h"
#include "storage/table.h"

namespace {

constexpr size_t kTupleMax = 4095;
constexpr size_t kColumnListMax = 2048;
constexpr int kMaxValues = 64;

// Owns the rows built so far until they are handed to the caller.
struct RowList {
    std::vector<char*> rows;
    ~RowList() {
        for (char* r : rows) std::free(r);
    }
};

struct InsertTarget {
    const char* values = nullptr;      // values text (after " VALUES")
    const char* list_begin = nullptr;  // column list between the parentheses, or NULL
    const char* list_end = nullptr;
};

// Steps shared by both entry points: prefix, VALUES, target and table name.
int parse_insert_head(const char* buf, char* table_out, size_t table_cap, InsertTarget* t,
                      char* err, size_t errlen) {
    if (!ci_starts(buf, "INSERT INTO ")) return sql_fail(err, errlen, "invalid INSERT");
    const char* v = sql_find_top_level_ci(buf + 11, " VALUES ");
    if (!v) v = sql_find_top_level_ci(buf + 11, " VALUES(");
    if (!v) return sql_fail(err, errlen, "missing VALUES");
    t->values = v + 7;
    if (*t->values == ' ') ++t->values;
    if (v < buf + 12) return sql_fail(err, errlen, "missing INSERT target");

    // parse_insert_target_part
    std::string target = sql_trimmed(buf + 12, v);
    if (target.empty()) return sql_fail(err, errlen, "missing table name");
    const char* tb = buf + 12;
    while (tb < v && sql_is_blank(*tb)) ++tb;
    const char* te = tb + target.size();
    const char* open = nullptr;
    for (const char* p = tb; p < te;) {
        if (sql_is_quote(*p)) {
            const char* q = sql_skip_quoted_string(p);
            if (!q || q > te) return sql_fail(err, errlen, "bad quoted INSERT target");
            p = q;
            continue;
        }
        if (*p == '(') {
            open = p;
            break;
        }
        ++p;
    }
    const char* name_end = te;
    if (open) {
        const char* close = nullptr;
        for (const char* p = te; p > open;) {
            --p;
            if (*p == ')') {
                close = p;
                break;
            }
        }
        if (!close) return sql_fail(err, errlen, "bad INSERT column list");
        for (const char* p = close + 1; p < te; ++p) {
            if (!sql_is_blank(*p))
                return sql_fail(err, errlen, "unexpected text after INSERT column list");
        }
        if (static_cast<size_t>(close - (open + 1)) >= kColumnListMax)
            return sql_fail(err, errlen, "INSERT column list too long");
        t->list_begin = open + 1;
        t->list_end = close;
        name_end = open;
    }
    std::string name(tb, static_cast<size_t>(name_end - tb));
    return copy_ident_checked(table_out, table_cap, name.c_str(), "table name", err, errlen);
}

// Reads the INSERT column list once: each name trimmed and unquoted.
int parse_column_list(const InsertTarget& t, std::vector<std::string>* names, char* err,
                      size_t errlen) {
    std::vector<SqlSpan> parts;
    if (sql_split_top_level(t.list_begin, t.list_end, ',', &parts) != 0)
        return sql_fail(err, errlen, "bad insert column list");
    for (const SqlSpan& s : parts) {
        std::string n = sql_trimmed(s);
        if (n.size() >= 2 && sql_is_quote(n[0]) && n.back() == n[0]) n = n.substr(1, n.size() - 2);
        if (n.empty()) return sql_fail(err, errlen, "bad insert column list");
        if (static_cast<int>(names->size()) == kMaxValues)
            return sql_fail(err, errlen, "too many columns");
        names->push_back(std::move(n));
    }
    return 0;
}

// build_insert_row_object: one tuple into one heap row sized to its content.
int build_insert_row_object(const char* begin, const char* end, const TableSchema* schema,
                            const std::vector<std::string>* names, char** row_out, char* err,
                            size_t errlen) {
    std::vector<SqlSpan> parts;
    if (sql_split_top_level(begin, end, ',', &parts) != 0)
        return sql_fail(err, errlen, "VALUES must end with )");
    std::vector<std::string> values;
    for (const SqlSpan& s : parts) {
        std::string v = sql_trimmed(s);
        if (v.empty()) return sql_fail(err, errlen, "empty value in VALUES list");
        if (static_cast<int>(values.size()) == kMaxValues)
            return sql_fail(err, errlen, "too many values");
        values.push_back(std::move(v));
    }
    std::vector<int> cols;
    if (!names) {
        if (static_cast<int>(values.size()) != schema->column_count)
            return sql_fail(err, errlen, "value count mismatch");
        for (int i = 0; i < schema->column_count; ++i) cols.push_back(i);
    } else {
        if (names->size() != values.size())
            return sql_fail(err, errlen, "column/value count mismatch");
        for (const std::string& n : *names) {
            int c = schema_get_col(schema, n.c_str());
            if (c < 0) c = schema_get_col_ci(schema, n.c_str());
            if (c < 0) {
                set_errf(err, errlen, "unknown column '%s'", n.c_str());
                return -1;
            }
            for (int prev : cols) {
                if (prev == c) {
                    set_errf(err, errlen, "duplicate column '%s' in INSERT", n.c_str());
                    return -1;
                }
            }
            cols.push_back(c);
        }
    }

    std::string row = "{";
    for (size_t i = 0; i < values.size(); ++i) {
        const ColumnDef& col = schema->columns[cols[i]];
        if (i) row += ',';
        row += '"';
        row += col.name;
        row += "\":";
        if (col.type == COL_TYPE_STRING && json_is_one_string(values[i].c_str())) {
            // Already a JSON string, as in UPDATE: its \u escapes carry bytes
            // (tabs, line ends) that no SQL escape survives normalisation with.
            row += values[i];
        } else if (col.type == COL_TYPE_STRING) {
            CStr js(sql_string_literal_to_json(values[i].c_str()));
            if (!js) {
                set_errf(err, errlen, "bad string literal for column '%s'", col.name);
                return -1;
            }
            row += js.get();
        } else {
            if (!sql_is_plain_value_token(values[i])) {
                set_errf(err, errlen, "bad value type for column '%s'", col.name);
                return -1;
            }
            row += values[i];
        }
    }
    row += '}';
    char* out = xstrndup(row.data(), row.size());
    if (!out) return sql_fail(err, errlen, "oom");
    *row_out = out;
    return 0;
}

}  // namespace

char* sql_dup_normalized_dynamic(const char* sql, char* err, size_t errlen) {
    size_t len = sql ? std::strlen(sql) : 0;
    if (len == 0) {
        sql_fail(err, errlen, "empty SQL");
        return nullptr;
    }
    if (len > SQL_MESSAGE_MAX) {
        sql_fail(err, errlen, "SQL statement exceeds maximum message size");
        return nullptr;
    }
    char* copy = xstrndup(sql, len);
    if (!copy) {
        sql_fail(err, errlen, "oom");
        return nullptr;
    }
    normalize_sql_ws(copy);
    trim_ws(copy);
    if (copy[0] == '\0') {
        std::free(copy);
        sql_fail(err, errlen, "empty SQL");
        return nullptr;
    }
    return copy;
}

char* sql_string_literal_to_json(const char* text) {
    if (!text) return nullptr;
    std::string t = sql_trimmed(text, text + std::strlen(text));
    if (t.size() < 2 || !sql_is_quote(t[0])) return nullptr;
    // Exactly one complete literal, with the escape rule of the scanners: a
    // backslash escapes the next byte, so 'a\\' closes and 'a\' does not.
    const char* q = sql_skip_quoted_string(t.c_str());
    if (!q || *q != '\0') return nullptr;
    // The text between the quotes with its escapes decoded (\n, \r, \t;
    // any other escaped byte stands for itself), as a JSON string.
    std::string inner = t.substr(1, t.size() - 2);
    sql_unescape_inplace(inner.data());
    return json_quote_token(inner.c_str());
}

int parse_insert_table_name_sql(const char* sql, char* table_out, size_t table_cap, char* err,
                                size_t errlen) {
    CStr buf(sql_dup_normalized_dynamic(sql, err, errlen));
    if (!buf) return -1;
    return parse_insert_table_name_normalized(buf.get(), table_out, table_cap, err, errlen);
}

int parse_insert_table_name_normalized(const char* text, char* table_out, size_t table_cap,
                                       char* err, size_t errlen) {
    InsertTarget t;
    return parse_insert_head(text, table_out, table_cap, &t, err, errlen);
}

int parse_insert_sql_multi(const char* sql, char* table_out, size_t table_cap, char*** rows_out,
                           int* count_out, const TableSchema* schema, char* err, size_t errlen) {
    if (rows_out) *rows_out = nullptr;
    if (count_out) *count_out = 0;
    if (!rows_out || !count_out || !schema) return sql_fail(err, errlen, "invalid INSERT");
    CStr buf(sql_dup_normalized_dynamic(sql, err, errlen));
    if (!buf) return -1;
    return parse_insert_sql_multi_normalized(buf.get(), table_out, table_cap, rows_out, count_out,
                                             schema, err, errlen);
}

int parse_insert_sql_multi_normalized(const char* text, char* table_out, size_t table_cap,
                                      char*** rows_out, int* count_out, const TableSchema* schema,
                                      char* err, size_t errlen) {
    if (rows_out) *rows_out = nullptr;
    if (count_out) *count_out = 0;
    if (!rows_out || !count_out || !schema) return sql_fail(err, errlen, "invalid INSERT");
    InsertTarget t;
    if (parse_insert_head(text, table_out, table_cap, &t, err, errlen) != 0) return -1;
    const char* p = t.values;
    while (*p && sql_is_blank(*p)) ++p;
    if (*p != '(') return sql_fail(err, errlen, "VALUES must start with (");
    const char* end = p + std::strlen(p);

    std::optional<std::vector<std::string>> names;
    RowList rows;
    for (;;) {
        while (p < end && sql_is_blank(*p)) ++p;
        if (p == end || *p == ';') break;
        if (*p != '(') return sql_fail(err, errlen, "VALUES tuple must start with (");
        const char* close = sql_find_matching_paren(p, end);
        if (!close) return sql_fail(err, errlen, "VALUES must end with )");
        if (static_cast<size_t>(close - (p + 1)) > kTupleMax)
            return sql_fail(err, errlen, "VALUES tuple too long");
        if (t.list_begin && !names) {
            names.emplace();
            if (parse_column_list(t, &*names, err, errlen) != 0) return -1;
        }
        char* row = nullptr;
        if (build_insert_row_object(p + 1, close, schema, names ? &*names : nullptr, &row, err,
                                    errlen) != 0)
            return -1;
        rows.rows.push_back(row);
        p = close + 1;
        while (p < end && sql_is_blank(*p)) ++p;
        if (p == end || *p == ';') break;
        if (*p == ',') {
            ++p;
            continue;
        }
        return sql_fail(err, errlen, "unexpected text after VALUES");
    }
    if (rows.rows.empty()) return sql_fail(err, errlen, "missing VALUES");
    if (rows.rows.size() > static_cast<size_t>(INT32_MAX))
        return sql_fail(err, errlen, "too many values");
    char** arr = static_cast<char**>(std::malloc(rows.rows.size() * sizeof(char*)));
    if (!arr) return sql_fail(err, errlen, "oom");
    std::memcpy(arr, rows.rows.data(), rows.rows.size() * sizeof(char*));
    *rows_out = arr;
    *count_out = static_cast<int>(rows.rows.size());
    rows.rows.clear();
    return 0;
}

int parse_insert_sql(const char* sql, char* table_out, size_t table_cap, char** row_out,
                     const TableSchema* schema, char* err, size_t errlen) {
    if (row_out) *row_out = nullptr;
    char** rows = nullptr;
    int count = 0;
    if (parse_insert_sql_multi(sql, table_out, table_cap, &rows, &count, schema, err, errlen) != 0)
        return -1;
    if (count != 1 || !row_out) {
        free_string_array(rows, count);
        return sql_fail(err, errlen, "expected single VALUES tuple");
    }
    *row_out = rows[0];
    std::free(rows);
    return 0;
}
