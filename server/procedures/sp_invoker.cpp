// SQL of a procedure body, run as the caller: per-statement role check on the
// session database and execution through the same parsers, row functions and
// WAL records as direct requests.
//
// Write order matches the direct write path: an INSERT is logged and applied
// inside the batch function; UPDATE and DELETE are applied and then logged.
// The hard memory stop is tested before a change is applied, so a change that
// was applied is never reported as a failure.
#include "procedures/sp_invoker.h"

#include <memory>
#include <new>
#include <strings.h>

#include "base/stats.h"
#include "exec/memory_pressure.h"
#include "exec/session_scope.h"
#include "procedures/sp_util.h"
#include "query/insert_parse.h"
#include "query/join.h"
#include "query/select_exec.h"
#include "query/select_parse.h"
#include "query/session.h"
#include "query/update_delete_parse.h"
#include "storage/db_registry.h"
#include "storage/ident.h"
#include "storage/index_file.h"
#include "storage/row_changes.h"
#include "storage/row_version.h"
#include "storage/table.h"
#include "storage/wal.h"

namespace {

using OwnedText = std::unique_ptr<char, SpFreeDeleter>;
constexpr size_t kKeyCap = 2048;

std::string session_db(const Session* s) {
    return (s && s->current_database[0]) ? std::string(s->current_database) : "default";
}

bool is_select(const std::string& s) {
    return sp_ci_starts(s, "SELECT ") || sp_ci_equal(s, "SELECT");
}
bool is_write(const std::string& s) {
    return sp_ci_starts(s, "INSERT INTO ") || sp_ci_starts(s, "UPDATE ") ||
           sp_ci_starts(s, "DELETE FROM ");
}

struct StringArray {
    char** items = nullptr;
    int count = 0;
    ~StringArray() { free_string_array(items, count); }
};

// Table named by a statement, resolved in the caller's database only. The name
// is checked as a client table name first, so an internal name such as
// other__t cannot reach another database.
Table* session_table(const Session* s, const char* written, char* internal, size_t cap, char* err,
                     size_t errlen) {
    char checked[64];
    if (copy_ident_checked(checked, sizeof checked, written, "table name", err, errlen) != 0)
        return nullptr;
    if (resolve_table_for_session(session_db(s).c_str(), checked, internal, cap) != 0) {
        sp_fail(err, errlen, "table not found");
        return nullptr;
    }
    int idx = table_find_index(internal);
    if (idx < 0) {
        sp_fail(err, errlen, "table not found");
        return nullptr;
    }
    return &g_tables[idx];
}

int refuse_on_hard_stop(char* err, size_t errlen) {
    if (!memory_hard_exceeded()) return 0;
    char cp[256] = "";
    if (maybe_checkpoint_under_pressure(cp, sizeof cp) != 0 && memory_hard_exceeded())
        return sp_fail(err, errlen, "%s", cp[0] ? cp : "memory limit reached");
    return 0;
}

void relieve_memory_after_change() {
    char ignored[256];
    maybe_checkpoint_under_pressure(ignored, sizeof ignored);
}

int run_select(const Session* s, const std::string& sql, char** out, char* err, size_t errlen) {
    if (sql_find_top_level_ci(sql.c_str(), " JOIN ")) {
        std::unique_ptr<JoinQuery> q(new (std::nothrow) JoinQuery());
        if (!q) return sp_fail(err, errlen, "oom");
        if (parse_select_join_sql(sql.c_str(), q.get(), err, errlen) != 0) return -1;
        char left[KYREL_INTERNAL_NAME_SIZE], right[KYREL_INTERNAL_NAME_SIZE];
        if (!session_table(s, q->left_table, left, sizeof left, err, errlen)) return -1;
        if (!session_table(s, q->right_table, right, sizeof right, err, errlen)) return -1;
        snprintf(q->left_table, sizeof q->left_table, "%s", left);
        snprintf(q->right_table, sizeof q->right_table, "%s", right);
        return select_join_rows_json(q.get(), out, err, errlen);
    }
    std::unique_ptr<SelectQuery> q(new (std::nothrow) SelectQuery());
    if (!q) return sp_fail(err, errlen, "oom");
    char table[64] = "";
    if (parse_select_sql(sql.c_str(), table, sizeof table, q.get(), err, errlen) != 0) return -1;
    char internal[KYREL_INTERNAL_NAME_SIZE];
    if (!session_table(s, table, internal, sizeof internal, err, errlen)) return -1;
    return select_rows_json(internal, table, q.get(), out, err, errlen);
}

int run_insert(const Session* s, const std::string& sql, char** out, char* err, size_t errlen) {
    char tname[KYREL_INTERNAL_NAME_SIZE];
    if (parse_insert_table_name_sql(sql.c_str(), tname, sizeof tname, err, errlen) != 0) return -1;
    char internal[KYREL_INTERNAL_NAME_SIZE];
    Table* t = session_table(s, tname, internal, sizeof internal, err, errlen);
    if (!t) return -1;
    std::unique_ptr<TableSchema> schema(new (std::nothrow) TableSchema());
    if (!schema) return sp_fail(err, errlen, "oom");
    {
        RwReadGuard g(&t->lock);
        *schema = t->schema;
    }
    StringArray rows;
    if (parse_insert_sql_multi(sql.c_str(), tname, sizeof tname, &rows.items, &rows.count,
                               schema.get(), err, errlen) != 0)
        return -1;
    if (rows.count < 1) return sp_fail(err, errlen, "no rows to insert");
    const int n = rows.count;
    std::vector<OwnedText> canon(n);
    std::vector<std::string> keys(n);
    std::vector<const char*> row_ptrs(n), key_ptrs(n);
    std::vector<uint64_t> seqs(n);
    char key[kKeyCap];
    for (int i = 0; i < n; ++i) {
        // Stored rows and their keys come from the canonical form of the row.
        char* c = nullptr;
        if (schema_canonicalize_row_object(t, rows.items[i], &c, err, errlen) != 0) return -1;
        canon[i].reset(c);
        if (schema_get_pk_value(t, c, key, sizeof key, err, errlen) != 0) return -1;
        keys[i] = key;
        row_ptrs[i] = canon[i].get();
        key_ptrs[i] = keys[i].c_str();
    }
    if (refuse_on_hard_stop(err, errlen) != 0) return -1;
    uint64_t first = 0;
    if (next_seq_batch(static_cast<uint64_t>(n), &first) != 0)
        return sp_fail(err, errlen, "sequence overflow");
    for (int i = 0; i < n; ++i) seqs[i] = first + static_cast<uint64_t>(i);
    sp_clear(err, errlen);
    if (table_apply_insert_batch_with_wal(internal, row_ptrs.data(), key_ptrs.data(), seqs.data(),
                                          n, err, errlen) != 0) {
        if (err && errlen && !err[0]) sp_fail(err, errlen, "insert failed");
        return -1;
    }
    stats_add(&g_stats.rows_inserted, n);
    stats_add(&g_stats.total_writes, n);
    relieve_memory_after_change();
    *out = sp_dup("{\"ok\":true,\"inserted\":" + std::to_string(n) + "}");
    return *out ? 0 : sp_fail(err, errlen, "oom");
}

int run_update(const Session* s, const std::string& sql, char** out, char* err, size_t errlen) {
    char tname[KYREL_INTERNAL_NAME_SIZE], key[kKeyCap], where_col[64] = "";
    StringArray cols, vals;
    int count = 0;
    if (parse_update_sql(sql.c_str(), tname, sizeof tname, key, sizeof key, &cols.items,
                         &vals.items, &count, where_col, err, errlen) != 0)
        return -1;
    cols.count = vals.count = count;
    char internal[KYREL_INTERNAL_NAME_SIZE];
    Table* t = session_table(s, tname, internal, sizeof internal, err, errlen);
    if (!t) return -1;
    if (strcmp(where_col, t->schema.primary_key) != 0)
        return sp_fail(err, errlen, "UPDATE WHERE must be key equality");
    if (normalize_update_values_for_schema(&t->schema, cols.items, vals.items, count, err,
                                           errlen) != 0)
        return -1;
    if (refuse_on_hard_stop(err, errlen) != 0) return -1;
    uint64_t seq = next_seq();
    if (table_apply_update(internal, seq, key, cols.items, vals.items, count, err, errlen) != 0)
        return -1;
    OwnedText row;
    {
        RwReadGuard g(&t->lock);
        char* r = nullptr;
        int deleted = 0;
        if (versioned_get_latest_json(t, key, &r, nullptr, &deleted) == 0 && !deleted)
            row.reset(r);
        else
            free(r);
    }
    if (!row) return sp_fail(err, errlen, "updated row disappeared");
    if (wal_append_record(WAL_OP_UPDATE, seq, internal, key, row.get(), err, errlen) != 0)
        return -1;
    stats_add(&g_stats.rows_updated, 1);
    stats_add(&g_stats.total_writes, 1);
    {
        RwWriteGuard g(&t->lock);
        if (index_append_row_events(t, row.get(), key, 'I', err, errlen) != 0) return -1;
    }
    relieve_memory_after_change();
    *out = sp_dup("{\"ok\":true,\"updated\":1}");
    return *out ? 0 : sp_fail(err, errlen, "oom");
}

int run_delete(const Session* s, const std::string& sql, char** out, char* err, size_t errlen) {
    char tname[KYREL_INTERNAL_NAME_SIZE], key[kKeyCap], where_col[64] = "";
    if (parse_delete_sql(sql.c_str(), tname, sizeof tname, key, sizeof key, where_col,
                         sizeof where_col, err, errlen) != 0)
        return -1;
    char internal[KYREL_INTERNAL_NAME_SIZE];
    Table* t = session_table(s, tname, internal, sizeof internal, err, errlen);
    if (!t) return -1;
    if (strcmp(where_col, t->schema.primary_key) != 0)
        return sp_fail(err, errlen, "DELETE supports primary-key equality only");
    if (refuse_on_hard_stop(err, errlen) != 0) return -1;
    uint64_t seq = next_seq();
    if (table_apply_delete(internal, seq, key, err, errlen) != 0) return -1;
    if (wal_append_record(WAL_OP_DELETE, seq, internal, key, "", err, errlen) != 0) return -1;
    stats_add(&g_stats.rows_deleted, 1);
    stats_add(&g_stats.total_writes, 1);
    {
        RwWriteGuard g(&t->lock);
        if (index_append_row_events(t, nullptr, key, 'D', err, errlen) != 0) return -1;
    }
    relieve_memory_after_change();
    *out = sp_dup("{\"ok\":true,\"deleted\":1}");
    return *out ? 0 : sp_fail(err, errlen, "oom");
}

}  // namespace

int sp_authorize_invoker_sql(const Session* session, const char* sql, char* err, size_t errlen) {
    if (!session || !session->authenticated) return sp_fail(err, errlen, "authentication required");
    if (session->is_admin) return 0;
    if (!sql || strlen(sql) > 8191) return sp_fail(err, errlen, "procedure SQL too long");
    std::string s = sp_norm_trim(sql);
    std::string db = session_db(session);
    UserRole role = ROLE_NONE;
    char msg[256] = "";
    if (session_db_role(session, db.c_str(), &role, msg, sizeof msg) != 0)
        return sp_fail(err, errlen, "%s", msg[0] ? msg : "role lookup failed");
    if (is_select(s)) {
        if (role == ROLE_READ || role == ROLE_FULL) return 0;
        return sp_fail(err, errlen,
                       "permission denied: procedure SELECT requires READ or FULL on database %s",
                       db.c_str());
    }
    if (is_write(s)) {
        if (role == ROLE_WRITE || role == ROLE_FULL) return 0;
        return sp_fail(err, errlen,
                       "permission denied: procedure write statement requires WRITE or FULL on "
                       "database %s",
                       db.c_str());
    }
    return sp_fail(err, errlen, "unsupported procedure statement");
}

int sp_execute_invoker_sql(Session* session, const char* sql, char** out_reply, char* err,
                           size_t errlen) {
    if (out_reply) *out_reply = nullptr;
    if (!out_reply) return sp_fail(err, errlen, "internal procedure SQL error");
    if (!sql) return sp_fail(err, errlen, "missing procedure body");
    if (!sql[0]) return sp_fail(err, errlen, "procedure body cannot be empty");
    if (strlen(sql) >= 8192)
        return sp_fail(err, errlen,
                       "phase SP2 CALL supports executable SQL bodies up to 8191 bytes");
    std::string s = sp_norm_trim(sql);
    if (sp_authorize_invoker_sql(session, s.c_str(), err, errlen) != 0) return -1;
    char* out = nullptr;
    int rc;
    if (is_select(s))
        rc = run_select(session, s, &out, err, errlen);
    else if (sp_ci_starts(s, "INSERT INTO "))
        rc = run_insert(session, s, &out, err, errlen);
    else if (sp_ci_starts(s, "UPDATE "))
        rc = run_update(session, s, &out, err, errlen);
    else if (sp_ci_starts(s, "DELETE FROM "))
        rc = run_delete(session, s, &out, err, errlen);
    else
        return sp_fail(err, errlen, "unsupported procedure statement");
    if (rc != 0) {
        free(out);
        return -1;
    }
    *out_reply = out;
    return 0;
}
