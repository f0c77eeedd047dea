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
#include <vector>

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

// A statement's rows inserted into a resolved table, all or none: raw rows,
// or versions built from rows canonical for the table's schema (taken over).
int insert_rows(const SessionTable& st, const char* const* rows, VersionedRow* const* versions,
                int n, ChangeGroup* group, char** reply, char* err, size_t errlen) {
    if (n < 1) {
        set_err(err, errlen, "no rows to insert");
        return -1;
    }
    // The answer is written before the change is logged: nothing after the
    // log record may allocate.
    char done[48];
    snprintf(done, sizeof done, "{\"ok\":true,\"inserted\":%d}", n);
    ChangeRules rules;
    rules.group = group;
    int rc = versions ? change_insert_versions_locked(st.table, versions, n, rules, err, errlen)
                      : change_insert_rows_locked(st.table, rows, n, rules, err, errlen);
    if (rc != 0) return -1;
    return change_statement_done(group, &g_stats.counters.rows_inserted, n, done, reply, err,
                                 errlen);
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
// hand over the literal as written, read here exactly as SELECT reads its
// key literal (trimmed outside the quotes, then unquoted), so the key is the
// one a row holding that value is stored under.
int statement_key(const Table* t, const char* literal, std::string* key, char* err, size_t errlen) {
    int c = schema_get_col(&t->schema, t->schema.primary_key);
    int type = c >= 0 ? t->schema.columns[c].type : COL_TYPE_STRING;
    if (pk_key_form(type, literal, PK_FROM_LITERAL, key) != 0) {
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

enum class RowKind { Refused, InsertSql, InsertRows, Update, Delete };

// Versions owned until they are handed to the change road.
struct BuiltVersions {
    std::vector<VersionedRow*> rows;
    BuiltVersions() = default;
    BuiltVersions(const BuiltVersions&) = delete;
    BuiltVersions& operator=(const BuiltVersions&) = delete;
    ~BuiltVersions() {
        for (VersionedRow* v : rows) versioned_row_free(v);
    }
};

}  // namespace

struct RowStatement {
    RowKind kind = RowKind::Refused;
    std::string error;  // set: the statement's answer, whatever the tables hold
    char table[KYREL_INTERNAL_NAME_SIZE] = "";  // the name as written
    // InsertSql: the statement normalised (the reader's norm, or own_text);
    // InsertRows: the row objects.
    const char* text = "";
    CStr own_text;
    StringArray rows;
    // The rows built ahead: versions of the rows canonical and keyed for
    // `schema`, the schema of `built_for` when they were built (a byte copy,
    // compared byte for byte).
    Table* built_for = nullptr;
    std::unique_ptr<TableSchema> schema;
    BuiltVersions built;
    // Update and Delete, as their parsers read them (the key literal as
    // written).
    char key[kKeyCap] = "";
    char where_col[KYREL_IDENT_SIZE] = "";
    StringArray cols, vals;
};

namespace {

RowStatement* new_statement(RowKind kind) {
    RowStatement* st = new (std::nothrow) RowStatement();
    if (st) st->kind = kind;
    return st;
}

// A copy of t's schema taken under its lock, compared byte for byte later.
std::unique_ptr<TableSchema> schema_snapshot(Table* t) {
    std::unique_ptr<TableSchema> copy(new (std::nothrow) TableSchema);
    if (!copy) return copy;
    RwReadGuard g(&t->lock);
    memcpy(copy.get(), &t->schema, sizeof *copy);
    return copy;
}

// Builds the rows of an INSERT ahead for its table as it is now: resolved,
// canonical and keyed. Leaves nothing built when any step fails: the commit
// side then reads them itself and answers what fails.
void build_rows_ahead(const Session* s, RowStatement* st) {
    SessionTable target;
    char e[256];
    if (session_table_resolve(s, st->table, TableUse::Change, &target, e, sizeof e) != 0) return;
    std::unique_ptr<TableSchema> schema = schema_snapshot(target.table);
    if (!schema) return;
    StringArray parsed;
    const char* const* rows = st->rows.items;
    int n = st->rows.count;
    if (st->kind == RowKind::InsertSql) {
        char tname[KYREL_INTERNAL_NAME_SIZE];
        if (parse_insert_sql_multi_normalized(st->text, tname, sizeof tname, &parsed.items,
                                              &parsed.count, schema.get(), e, sizeof e) != 0)
            return;
        rows = parsed.items;
        n = parsed.count;
    }
    BuiltVersions built;
    try {
        std::string canon, key;
        built.rows.reserve((size_t)n);
        for (int i = 0; i < n; i++) {
            if (row_canonical_with_key(schema.get(), rows[i], &canon, &key, e, sizeof e) != 0)
                return;
            VersionedRow* v = versioned_row_new(0, key.c_str(), canon.c_str(), 0);
            if (!v) return;
            built.rows.push_back(v);  // room reserved: cannot throw
        }
    } catch (...) {
        return;
    }
    st->built.rows.swap(built.rows);
    st->built_for = target.table;
    st->schema = std::move(schema);
}

// The rows built ahead when they still fit the table: the same slot and a
// schema equal byte for byte to the one they were built with.
bool rows_built_fit(const RowStatement* st, Table* t) {
    if (!st->schema || st->built_for != t) return false;
    RwReadGuard g(&t->lock);
    return memcmp(st->schema.get(), &t->schema, sizeof t->schema) == 0;
}

int run_insert(const Session* s, RowStatement* st, ChangeGroup* group, char** reply, char* err,
               size_t errlen) {
    SessionTable target;
    if (session_table_resolve(s, st->table, TableUse::Change, &target, err, errlen) != 0) return -1;
    if (rows_built_fit(st, target.table)) {
        std::vector<VersionedRow*> versions;
        versions.swap(st->built.rows);  // taken over by the change road
        return insert_rows(target, nullptr, versions.data(), (int)versions.size(), group, reply,
                           err, errlen);
    }
    if (st->kind == RowKind::InsertRows)
        return insert_rows(target, st->rows.items, nullptr, st->rows.count, group, reply, err,
                           errlen);
    std::unique_ptr<TableSchema> schema(new (std::nothrow) TableSchema());
    if (!schema) {
        set_err(err, errlen, "oom");
        return -1;
    }
    {
        RwReadGuard g(&target.table->lock);
        *schema = target.table->schema;
    }
    StringArray rows;
    char tname[KYREL_INTERNAL_NAME_SIZE];
    if (parse_insert_sql_multi_normalized(st->text, tname, sizeof tname, &rows.items, &rows.count,
                                          schema.get(), err, errlen) != 0)
        return -1;
    return insert_rows(target, rows.items, nullptr, rows.count, group, reply, err, errlen);
}

// The table of an UPDATE or DELETE, which address one row by its primary
// key: nullptr with the resolution's message, or not_key when the WHERE
// column is another one.
Table* keyed_target(const Session* s, const RowStatement* st, const char* not_key, char* err,
                    size_t errlen) {
    SessionTable target;
    if (session_table_resolve(s, st->table, TableUse::Change, &target, err, errlen) != 0)
        return nullptr;
    if (strcmp(st->where_col, target.table->schema.primary_key) != 0) {
        set_err(err, errlen, not_key);
        return nullptr;
    }
    return target.table;
}

int run_update(const Session* s, RowStatement* st, ChangeGroup* group, char** reply, char* err,
               size_t errlen) {
    Table* t = keyed_target(s, st, "UPDATE WHERE must be key equality", err, errlen);
    if (!t) return -1;
    const int count = st->cols.count;
    if (normalize_update_values_for_schema(&t->schema, st->cols.items, st->vals.items, count, err,
                                           errlen) != 0)
        return -1;
    std::string stored;
    if (statement_key(t, st->key, &stored, err, errlen) != 0) return -1;
    ChangeRules rules;
    rules.group = group;
    if (change_update_row_locked(t, stored.c_str(), st->cols.items, st->vals.items, count, rules,
                                 err, errlen) != 0)
        return -1;
    return change_statement_done(group, &g_stats.counters.rows_updated, 1,
                                 "{\"ok\":true,\"updated\":1}", reply, err, errlen);
}

int run_delete(const Session* s, RowStatement* st, ChangeGroup* group, char** reply, char* err,
               size_t errlen) {
    Table* t = keyed_target(s, st, "DELETE supports primary-key equality only", err, errlen);
    if (!t) return -1;
    std::string stored;
    if (statement_key(t, st->key, &stored, err, errlen) != 0) return -1;
    ChangeRules rules;
    rules.group = group;
    int deleted = 0;
    if (change_delete_row_locked(t, stored.c_str(), rules, &deleted, err, errlen) != 0) return -1;
    return change_statement_done(
        group, &g_stats.counters.rows_deleted, deleted,
        deleted ? "{\"ok\":true,\"deleted\":1}" : "{\"ok\":true,\"deleted\":0}", reply, err,
        errlen);
}

// Runs the two steps at once on the calling thread.
int read_and_run(const Session* s, RowStatement* st, char** reply, char* err, size_t errlen) {
    *reply = nullptr;
    if (!st) {
        set_err(err, errlen, "oom");
        return -1;
    }
    int rc = exec_row_statement(s, st, nullptr, reply, err, errlen);
    row_statement_free(st);
    return rc;
}

}  // namespace

RowStatement* row_statement_insert_sql(const Session* s, const char* sql, const char* norm) {
    RowStatement* st = new_statement(RowKind::InsertSql);
    if (!st) return nullptr;
    char e[256] = "";
    try {
        const size_t len = sql ? strlen(sql) : 0;
        if (!norm) {
            // The refusals of sql_dup_normalized_dynamic.
            CStr text(sql_dup_normalized_dynamic(sql, e, sizeof e));
            if (!text) {
                st->error = e;
                return st;
            }
            st->own_text = std::move(text);
            st->text = st->own_text.get();
        } else if (len == 0) {
            st->error = "empty SQL";
            return st;
        } else if (len > SQL_MESSAGE_MAX) {
            st->error = "SQL statement exceeds maximum message size";
            return st;
        } else if (!norm[0]) {
            st->error = "empty SQL";
            return st;
        } else {
            st->text = norm;  // the caller keeps it for the statement's life
        }
        if (parse_insert_table_name_normalized(st->text, st->table, sizeof st->table, e,
                                               sizeof e) != 0) {
            st->error = e;
            return st;
        }
    } catch (...) {
        row_statement_free(st);
        return nullptr;
    }
    build_rows_ahead(s, st);
    return st;
}

RowStatement* row_statement_insert_rows(const Session* s, const char* table, char** rows, int n) {
    RowStatement* st = new_statement(RowKind::InsertRows);
    if (!st) {
        free_string_array(rows, n);
        return nullptr;
    }
    st->rows.items = rows;
    st->rows.count = n;
    snprintf(st->table, sizeof st->table, "%s", table ? table : "");
    build_rows_ahead(s, st);
    return st;
}

RowStatement* row_statement_update(const char* sql) {
    RowStatement* st = new_statement(RowKind::Update);
    if (!st) return nullptr;
    char e[256] = "";
    int count = 0;
    if (parse_update_sql(sql, st->table, sizeof st->table, st->key, sizeof st->key, &st->cols.items,
                         &st->vals.items, &count, st->where_col, e, sizeof e) != 0) {
        try {
            st->error = e;
        } catch (...) {
            row_statement_free(st);
            return nullptr;
        }
    }
    st->cols.count = st->vals.count = count;
    return st;
}

RowStatement* row_statement_delete(const char* sql) {
    RowStatement* st = new_statement(RowKind::Delete);
    if (!st) return nullptr;
    char e[256] = "";
    if (parse_delete_sql(sql, st->table, sizeof st->table, st->key, sizeof st->key, st->where_col,
                         sizeof st->where_col, e, sizeof e) != 0) {
        try {
            st->error = e;
        } catch (...) {
            row_statement_free(st);
            return nullptr;
        }
    }
    return st;
}

RowStatement* row_statement_refused(const char* message) {
    RowStatement* st = new_statement(RowKind::Refused);
    if (!st) return nullptr;
    try {
        st->error = message ? message : "";
    } catch (...) {
        row_statement_free(st);
        return nullptr;
    }
    return st;
}

void row_statement_free(RowStatement* st) { delete st; }

int exec_row_statement(const Session* s, RowStatement* st, ChangeGroup* group, char** reply,
                       char* err, size_t errlen) {
    *reply = nullptr;
    if (!st) {
        set_err(err, errlen, "oom");
        return -1;
    }
    if (st->kind == RowKind::Refused || !st->error.empty()) {
        set_err(err, errlen, st->error.c_str());
        return -1;
    }
    switch (st->kind) {
    case RowKind::InsertSql:
    case RowKind::InsertRows: return run_insert(s, st, group, reply, err, errlen);
    case RowKind::Update: return run_update(s, st, group, reply, err, errlen);
    case RowKind::Delete: return run_delete(s, st, group, reply, err, errlen);
    case RowKind::Refused: break;
    }
    set_err(err, errlen, "unsupported action");
    return -1;
}

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
    return read_and_run(s, row_statement_insert_sql(s, sql, nullptr), reply, err, errlen);
}

int exec_update_sql(const Session* s, const char* sql, char** reply, char* err, size_t errlen) {
    return read_and_run(s, row_statement_update(sql), reply, err, errlen);
}

int exec_delete_sql(const Session* s, const char* sql, char** reply, char* err, size_t errlen) {
    return read_and_run(s, row_statement_delete(sql), reply, err, errlen);
}
