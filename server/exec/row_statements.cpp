// Row statements (see row_statements.h): parse, resolve the table in the
// Session's database, then read through the SELECT executors or change
// through the change road.
#include "exec/row_statements.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "base/err.h"
#include "base/owned.h"
#include "base/sql_scan.h"
#include "base/stats.h"
#include "base/text_util.h"
#include "exec/row_change.h"
#include "exec/session_scope.h"
#include "query/insert_parse.h"
#include "query/join.h"
#include "query/select_exec.h"
#include "query/select_parse.h"
#include "query/session_cursor.h"
#include "query/update_delete_parse.h"
#include "storage/row_version.h"
#include "storage/table.h"

namespace {

constexpr size_t kKeyCap = 2048;  // primary-key text, 2047 bytes at most

struct StringArray {
    char** items = nullptr;
    int count = 0;
    ~StringArray() { free_string_array(items, count); }
};

int give_reply(const std::string& text, char** reply, char* err, size_t errlen) {
    *reply = xstrdup2(text.c_str());
    if (*reply) return 0;
    set_err(err, errlen, "oom");
    return -1;
}

// A statement's rows inserted into a resolved table, all or none.
int insert_rows(const SessionTable& st, const char* const* rows, int n, char** reply, char* err,
                size_t errlen) {
    if (n < 1) {
        set_err(err, errlen, "no rows to insert");
        return -1;
    }
    ChangeRules rules;
    if (change_insert_rows(st.table, rows, n, rules, err, errlen) != 0) return -1;
    stats_add(&g_stats.rows_inserted, n);
    stats_add(&g_stats.total_writes, n);
    return give_reply("{\"ok\":true,\"inserted\":" + std::to_string(n) + "}", reply, err, errlen);
}

int select_join(const Session* s, const char* sql, char** reply, char* err, size_t errlen) {
    std::unique_ptr<JoinQuery> q(new (std::nothrow) JoinQuery());
    if (!q) {
        set_err(err, errlen, "oom");
        return -1;
    }
    if (parse_select_join_sql(sql, q.get(), err, errlen) != 0) return -1;
    for (char* side : {q->left_table, q->right_table}) {
        SessionTable st;
        if (session_table_resolve(s, side, TableUse::Read, &st, err, errlen) != 0) return -1;
        snprintf(side, sizeof q->left_table, "%s", st.internal);
    }
    return select_join_rows_json(q.get(), reply, err, errlen);
}

// The stored form of the key an UPDATE or DELETE addresses: the parsers
// hand over the literal unquoted; its text becomes the key exactly as a row
// holding that value would be keyed.
int statement_key(const Table* t, const char* literal, std::string* key, char* err, size_t errlen) {
    int c = schema_get_col(&t->schema, t->schema.primary_key);
    int type = c >= 0 ? t->schema.columns[c].type : COL_TYPE_STRING;
    if (pk_key_form(type, literal, PK_FROM_DECODED, key) != 0) {
        set_errf(err, errlen, "bad value type for column '%s'", t->schema.primary_key);
        return -1;
    }
    return 0;
}

// Identifier messages of a table name (copy_ident_checked, label "table
// name"): a parser that stops with one of them stopped at the table name.
bool is_table_name_refusal(const char* msg) {
    return strcmp(msg, "invalid table name") == 0 || strcmp(msg, "table name too long") == 0;
}

// A single-table SELECT parsed, held to `supported` when given, and its
// table resolved in the Session's database; nullptr with the message.
std::unique_ptr<SelectQuery> session_select(const Session* s, const char* sql, SessionTable* st,
                                            char* err, size_t errlen,
                                            int (*supported)(const SelectQuery*, char*,
                                                             size_t) = nullptr) {
    std::unique_ptr<SelectQuery> q(new (std::nothrow) SelectQuery());
    if (!q) {
        set_err(err, errlen, "oom");
        return nullptr;
    }
    char table[KYREL_IDENT_SIZE] = "";
    if (parse_select_sql(sql, table, sizeof table, q.get(), err, errlen) != 0) return nullptr;
    if (supported && supported(q.get(), err, errlen) != 0) return nullptr;
    if (session_table_resolve(s, table, TableUse::Read, st, err, errlen) != 0) return nullptr;
    return q;
}

}  // namespace

int exec_check_statement_tables(const char* sql, char* err, size_t errlen) {
    if (!sql) return 0;
    char e[256] = "";
    int rc = 0;
    SessionTable st;
    std::string s = sql;
    normalize_sql_ws(s.data());
    trim_ws(s.data());
    const char* text = s.c_str();
    if (ci_starts(text, "SELECT ") && sql_find_top_level_ci(text, " JOIN ")) {
        std::unique_ptr<JoinQuery> q(new (std::nothrow) JoinQuery());
        if (!q) return 0;
        rc = parse_select_join_sql(text, q.get(), e, sizeof e);
        // The JOIN parser leaves the sides to the caller.
        if (rc == 0 && (session_table_name(nullptr, q->left_table, &st, e, sizeof e) != 0 ||
                        session_table_name(nullptr, q->right_table, &st, e, sizeof e) != 0))
            rc = -1;
    } else if (ci_starts(text, "SELECT ")) {
        std::unique_ptr<SelectQuery> q(new (std::nothrow) SelectQuery());
        if (!q) return 0;
        char table[KYREL_IDENT_SIZE];
        rc = parse_select_sql(text, table, sizeof table, q.get(), e, sizeof e);
    } else if (ci_starts(text, "INSERT INTO ")) {
        char table[KYREL_INTERNAL_NAME_SIZE];
        rc = parse_insert_table_name_sql(text, table, sizeof table, e, sizeof e);
    } else if (ci_starts(text, "UPDATE ")) {
        char table[KYREL_INTERNAL_NAME_SIZE], key[kKeyCap], col[KYREL_IDENT_SIZE];
        StringArray cols, vals;
        rc = parse_update_sql(text, table, sizeof table, key, sizeof key, &cols.items, &vals.items,
                              &cols.count, col, e, sizeof e);
        vals.count = cols.count;
    } else if (ci_starts(text, "DELETE FROM ")) {
        char table[KYREL_INTERNAL_NAME_SIZE], key[kKeyCap], col[KYREL_IDENT_SIZE];
        rc = parse_delete_sql(text, table, sizeof table, key, sizeof key, col, sizeof col, e,
                              sizeof e);
    }
    if (rc != 0 && is_table_name_refusal(e)) {
        set_err(err, errlen, e);
        return -1;
    }
    return 0;
}

int exec_select_sql(const Session* s, const char* sql, char** reply, char* err, size_t errlen) {
    *reply = nullptr;
    if (!sql) {
        set_err(err, errlen, "missing sql");
        return -1;
    }
    if (sql_find_top_level_ci(sql, " JOIN ")) return select_join(s, sql, reply, err, errlen);
    SessionTable st;
    std::unique_ptr<SelectQuery> q = session_select(s, sql, &st, err, errlen);
    if (!q) return -1;
    return select_rows_json(st.internal, st.name, q.get(), reply, err, errlen);
}

int session_cursor_open_select(Session* s, const char* sql, int batch, char** reply, char* err,
                               size_t errlen) {
    if (reply) *reply = nullptr;
    if (!s) {
        set_err(err, errlen, "session required");
        return -1;
    }
    if (!sql || !*skip_ws(sql)) {
        set_err(err, errlen, "missing sql");
        return -1;
    }
    SessionTable st;
    std::unique_ptr<SelectQuery> q =
        session_select(s, sql, &st, err, errlen, session_cursor_query_supported);
    if (!q) return -1;
    return session_cursor_open_table(s, st.internal, st.name, q.get(), batch, reply, err, errlen);
}

int exec_insert_sql(const Session* s, const char* sql, char** reply, char* err, size_t errlen) {
    *reply = nullptr;
    CStr text(sql_dup_normalized_dynamic(sql, err, errlen));
    if (!text) return -1;
    char tname[KYREL_INTERNAL_NAME_SIZE];
    if (parse_insert_table_name_sql(text.get(), tname, sizeof tname, err, errlen) != 0) return -1;
    SessionTable st;
    if (session_table_resolve(s, tname, TableUse::Change, &st, err, errlen) != 0) return -1;
    std::unique_ptr<TableSchema> schema(new (std::nothrow) TableSchema());
    if (!schema) {
        set_err(err, errlen, "oom");
        return -1;
    }
    {
        RwReadGuard g(&st.table->lock);
        *schema = st.table->schema;
    }
    StringArray rows;
    if (parse_insert_sql_multi(text.get(), tname, sizeof tname, &rows.items, &rows.count,
                               schema.get(), err, errlen) != 0)
        return -1;
    return insert_rows(st, rows.items, rows.count, reply, err, errlen);
}

int exec_insert_json_rows(const Session* s, const char* table, const char* const* rows, int n,
                          char** reply, char* err, size_t errlen) {
    *reply = nullptr;
    SessionTable st;
    if (session_table_resolve(s, table, TableUse::Change, &st, err, errlen) != 0) return -1;
    return insert_rows(st, rows, n, reply, err, errlen);
}

int exec_update_sql(const Session* s, const char* sql, char** reply, char* err, size_t errlen) {
    *reply = nullptr;
    char tname[KYREL_INTERNAL_NAME_SIZE], key[kKeyCap], where_col[KYREL_IDENT_SIZE] = "";
    StringArray cols, vals;
    int count = 0;
    if (parse_update_sql(sql, tname, sizeof tname, key, sizeof key, &cols.items, &vals.items,
                         &count, where_col, err, errlen) != 0)
        return -1;
    cols.count = vals.count = count;
    SessionTable st;
    if (session_table_resolve(s, tname, TableUse::Change, &st, err, errlen) != 0) return -1;
    Table* t = st.table;
    if (strcmp(where_col, t->schema.primary_key) != 0) {
        set_err(err, errlen, "UPDATE WHERE must be key equality");
        return -1;
    }
    if (normalize_update_values_for_schema(&t->schema, cols.items, vals.items, count, err,
                                           errlen) != 0)
        return -1;
    std::string stored;
    if (statement_key(t, key, &stored, err, errlen) != 0) return -1;
    ChangeRules rules;
    if (change_update_row(t, stored.c_str(), cols.items, vals.items, count, rules, err, errlen) !=
        0)
        return -1;
    stats_add(&g_stats.rows_updated, 1);
    stats_add(&g_stats.total_writes, 1);
    return give_reply("{\"ok\":true,\"updated\":1}", reply, err, errlen);
}

int exec_delete_sql(const Session* s, const char* sql, char** reply, char* err, size_t errlen) {
    *reply = nullptr;
    char tname[KYREL_INTERNAL_NAME_SIZE], key[kKeyCap], where_col[KYREL_IDENT_SIZE] = "";
    if (parse_delete_sql(sql, tname, sizeof tname, key, sizeof key, where_col, sizeof where_col,
                         err, errlen) != 0)
        return -1;
    SessionTable st;
    if (session_table_resolve(s, tname, TableUse::Change, &st, err, errlen) != 0) return -1;
    Table* t = st.table;
    if (strcmp(where_col, t->schema.primary_key) != 0) {
        set_err(err, errlen, "DELETE supports primary-key equality only");
        return -1;
    }
    std::string stored;
    if (statement_key(t, key, &stored, err, errlen) != 0) return -1;
    ChangeRules rules;
    if (change_delete_row(t, stored.c_str(), rules, err, errlen) != 0) return -1;
    stats_add(&g_stats.rows_deleted, 1);
    stats_add(&g_stats.total_writes, 1);
    return give_reply("{\"ok\":true,\"deleted\":1}", reply, err, errlen);
}
