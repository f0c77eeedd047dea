// UPDATE and DELETE parsing. Both change exactly one row addressed by its
// primary key, written as one literal after "=" in the WHERE clause. The
// literal is handed over as written (quotes kept): the caller reads it into
// the stored key form with pk_key_form(PK_FROM_LITERAL), the reading SELECT's
// primary-key lookup uses, so blanks inside the quotes stay part of the key
// and the word null is not taken for the key 'null'.
#include "query/update_delete_parse.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/json_text.h"
#include "base/owned.h"
#include "base/sql_scan.h"
#include "base/text_util.h"
#include "query/insert_parse.h"
#include "query/parse_util.h"
#include "query/sql_split.h"
#include "storage/ident.h"
#include "storage/row_version.h"
#include "storage/table.h"

namespace {

constexpr size_t kSetMax = 2048;
constexpr size_t kWhereMax = 512;

// The key after "=": one literal, trimmed and otherwise as written (quotes
// and escapes kept), fitting key_cap.
int read_key_literal(const char* begin, const char* end, char* key_out, size_t key_cap,
                     const char* not_literal, const char* too_long, char* err, size_t errlen) {
    std::string key = sql_trimmed(begin, end);
    if (!sql_is_single_literal(key)) return sql_fail(err, errlen, not_literal);
    if (!key_out || key.size() >= key_cap) return sql_fail(err, errlen, too_long);
    std::memcpy(key_out, key.c_str(), key.size() + 1);
    return 0;
}

// The assignments of SET, "column = value" each, into heap arrays of heap
// texts in statement order.
int parse_set_items(const std::string& set_text, char*** columns_out, char*** values_out,
                    int* count_out, char* err, size_t errlen) {
    std::vector<SqlSpan> items;
    if (sql_split_top_level(set_text.data(), set_text.data() + set_text.size(), ',', &items) != 0)
        return sql_fail(err, errlen, "bad SET clause");
    std::vector<CStr> cols, vals;
    for (const SqlSpan& s : items) {
        std::string item = sql_trimmed(s);
        const char* iop = nullptr;
        const char* ipos = sql_find_top_level_operator(item.c_str(), &iop);
        if (!ipos || !iop || std::strcmp(iop, "=") != 0)
            return sql_fail(err, errlen, "bad SET clause");
        std::string c = sql_trimmed(item.c_str(), ipos);
        std::string v = sql_trimmed(ipos + 1, item.c_str() + item.size());
        if (c.empty() || v.empty()) return sql_fail(err, errlen, "bad SET clause");
        if (!sql_is_balanced(v.c_str(), v.c_str() + v.size()))
            return sql_fail(err, errlen, "bad SET clause");
        // A second assignment to the same column would be dropped silently.
        for (const auto& prev : cols) {
            if (c == prev.get()) {
                set_errf(err, errlen, "duplicate SET column '%s'", c.c_str());
                return -1;
            }
        }
        cols.emplace_back(xstrdup(c.c_str()));
        vals.emplace_back(xstrdup(v.c_str()));
        if (!cols.back() || !vals.back()) return sql_fail(err, errlen, "oom");
    }
    size_t n = cols.size();
    char** ca = static_cast<char**>(std::calloc(n, sizeof(char*)));
    char** va = static_cast<char**>(std::calloc(n, sizeof(char*)));
    if (!ca || !va) {
        std::free(ca);
        std::free(va);
        return sql_fail(err, errlen, "oom");
    }
    for (size_t i = 0; i < n; ++i) {
        ca[i] = cols[i].release();
        va[i] = vals[i].release();
    }
    *columns_out = ca;
    *values_out = va;
    *count_out = static_cast<int>(n);
    return 0;
}

}  // namespace

int parse_update_sql(const char* sql, char* table_out, size_t table_cap, char* key_out,
                     size_t key_cap, char*** columns_out, char*** values_out, int* count_out,
                     char* where_column_out, char* err, size_t errlen) {
    if (columns_out) *columns_out = nullptr;
    if (values_out) *values_out = nullptr;
    if (count_out) *count_out = 0;
    if (!columns_out || !values_out || !count_out) return sql_fail(err, errlen, "invalid UPDATE");
    char buf[UPDATE_SQL_MAX];
    if (sql_load_statement(sql, buf, sizeof buf, "UPDATE", err, errlen) != 0) return -1;
    if (!ci_starts(buf, "UPDATE ")) return sql_fail(err, errlen, "invalid UPDATE");
    const char* set = sql_find_top_level_ci(buf + 6, " SET ");
    const char* where = sql_find_top_level_ci(buf + 6, " WHERE ");
    if (!set || !where || where < set)
        return sql_fail(err, errlen, "UPDATE requires SET and WHERE");

    std::string tname =
        buf + 7 <= set ? std::string(buf + 7, static_cast<size_t>(set - (buf + 7))) : std::string();
    if (copy_ident_checked(table_out, table_cap, tname.c_str(), "table name", err, errlen) != 0)
        return -1;

    const char* set_begin = set + 5;
    std::string set_text = set_begin < where ? sql_trimmed(set_begin, where) : std::string();
    if (set_text.size() >= kSetMax) return sql_fail(err, errlen, "UPDATE SET clause too long");
    const char* end = buf + std::strlen(buf);
    std::string where_text = sql_trimmed(where + 7, end);
    if (where_text.size() >= kWhereMax)
        return sql_fail(err, errlen, "UPDATE WHERE clause too long");

    const char* op = nullptr;
    const char* pos = sql_find_top_level_operator(where_text.c_str(), &op);
    if (!pos || !op || std::strcmp(op, "=") != 0)
        return sql_fail(err, errlen, "UPDATE WHERE must be key equality");
    std::string wcol = sql_trimmed(where_text.c_str(), pos);
    if (wcol.size() >= 64) return sql_fail(err, errlen, "column name too long");
    if (read_key_literal(pos + 1, where_text.c_str() + where_text.size(), key_out, key_cap,
                         "UPDATE WHERE value must be a single literal", "UPDATE key too long", err,
                         errlen) != 0)
        return -1;
    if (where_column_out) std::memcpy(where_column_out, wcol.c_str(), wcol.size() + 1);

    if (set_text.empty()) return sql_fail(err, errlen, "missing SET clause");
    return parse_set_items(set_text, columns_out, values_out, count_out, err, errlen);
}

int normalize_update_values_for_schema(const TableSchema* schema, char** columns, char** values,
                                       int count, char* err, size_t errlen) {
    if (!schema || (count > 0 && (!columns || !values)))
        return sql_fail(err, errlen, "bad SET clause");
    for (int i = 0; i < count; ++i) {
        int c = schema_get_col(schema, columns[i]);
        if (c < 0) {
            set_errf(err, errlen, "unknown column '%s'", columns[i]);
            return -1;
        }
        std::string v =
            values[i] ? sql_trimmed(values[i], values[i] + std::strlen(values[i])) : std::string();
        const ColumnDef& col = schema->columns[c];
        if (col.type == COL_TYPE_STRING) {
            // A value in double quotes is taken as a JSON string only when it is
            // exactly one well-formed string; "x" "role":"FULL" must not plant a
            // second member. Otherwise it is read as a SQL literal.
            if (json_is_one_string(v.c_str())) {
                if (v != values[i]) {
                    char* copy = xstrdup(v.c_str());
                    if (!copy) return sql_fail(err, errlen, "oom");
                    std::free(values[i]);
                    values[i] = copy;
                }
                continue;
            }
            char* js = sql_string_literal_to_json(v.c_str());
            if (!js) {
                set_errf(err, errlen, "bad string literal for column '%s'", columns[i]);
                return -1;
            }
            std::free(values[i]);
            values[i] = js;
        } else if (!sql_is_plain_value_token(v)) {
            set_errf(err, errlen, "bad value type for column '%s'", columns[i]);
            return -1;
        }
    }
    return 0;
}

int parse_delete_sql(const char* sql, char* table_out, size_t table_cap, char* key_out,
                     size_t key_cap, char* column_out, size_t column_cap, char* err,
                     size_t errlen) {
    char buf[DELETE_SQL_MAX];
    if (sql_load_statement(sql, buf, sizeof buf, "DELETE", err, errlen) != 0) return -1;
    if (!ci_starts(buf, "DELETE FROM ")) return sql_fail(err, errlen, "invalid DELETE");
    const char* where = sql_find_top_level_ci(buf + 11, " WHERE ");
    if (!where) return sql_fail(err, errlen, "DELETE requires WHERE");
    std::string tname = buf + 12 <= where
                            ? std::string(buf + 12, static_cast<size_t>(where - (buf + 12)))
                            : std::string();
    if (copy_ident_checked(table_out, table_cap, tname.c_str(), "table name", err, errlen) != 0)
        return -1;
    const char* end = buf + std::strlen(buf);
    std::string where_text = sql_trimmed(where + 7, end);
    if (where_text.size() >= kWhereMax)
        return sql_fail(err, errlen, "DELETE WHERE clause too long");
    const char* op = nullptr;
    const char* pos = sql_find_top_level_operator(where_text.c_str(), &op);
    if (!pos || !op || std::strcmp(op, "=") != 0)
        return sql_fail(err, errlen, "DELETE WHERE must be key equality");
    std::string col(where_text.c_str(), static_cast<size_t>(pos - where_text.c_str()));
    if (copy_ident_checked(column_out, column_cap, col.c_str(), "column name", err, errlen) != 0)
        return -1;
    return read_key_literal(pos + 1, where_text.c_str() + where_text.size(), key_out, key_cap,
                            "DELETE WHERE value must be a single literal", "DELETE key too long",
                            err, errlen);
}
