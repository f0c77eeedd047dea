// Tables: column look-up in a schema, the global slot array, look-up by
// internal name, creation, protected names, ALTER TABLE with the rewrite of
// each key's newest row, DROP TABLE with its directory, DROP INDEX and the
// search for an index's table.
#include "storage/table.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/err.h"
#include "base/json_text.h"
#include "base/stats.h"
#include "base/text_util.h"
#include "storage/catalog.h"
#include "storage/db_registry.h"
#include "storage/index_file.h"
#include "storage/paths.h"
#include "storage/row_version.h"
#include "storage/segment.h"
#include "storage/wal.h"
#include "system_table_names.h"

TableList g_tables;

int schema_get_col(const TableSchema* schema, const char* name) {
    if (!schema || !name) return -1;
    for (int i = 0; i < schema->column_count && i < KYREL_MAX_COLUMNS; ++i)
        if (strcmp(schema->columns[i].name, name) == 0) return i;
    return -1;
}

int schema_get_col_ci(const TableSchema* schema, const char* name) {
    if (!schema || !name) return -1;
    for (int i = 0; i < schema->column_count && i < KYREL_MAX_COLUMNS; ++i)
        if (strcasecmp(schema->columns[i].name, name) == 0) return i;
    return -1;
}

namespace {

// Case-insensitive index lookup by name in a table's definitions.
int find_indexdef_ci(const Table* t, const char* name) {
    if (!t || !name) return -1;
    int n = t->index_count < KYREL_MAX_INDEXES ? t->index_count : KYREL_MAX_INDEXES;
    for (int i = 0; i < n; ++i)
        if (strcasecmp(t->indexes[i].name, name) == 0) return i;
    return -1;
}

bool column_is_pk(const TableSchema& s, int col) {
    return s.columns[col].is_primary_key || strcasecmp(s.columns[col].name, s.primary_key) == 0;
}

}  // namespace

int table_find_index_unlocked(const char* internal_name) {
    if (!internal_name) return -1;
    char want[130];
    snprintf(want, sizeof want, "%s", internal_name);
    canonicalize_ident(want);
    if (!want[0]) return -1;
    for (int i = 0; i < g_tables.count && i < KYREL_MAX_TABLES; ++i) {
        const Table& t = g_tables.slots[i];
        if (t.dropped || !t.schema.name[0]) continue;
        if (strcasecmp(t.schema.name, want) == 0) return i;
    }
    return -1;
}

int table_find_index(const char* internal_name) {
    RwReadGuard g(&g_tables.lock);
    return table_find_index_unlocked(internal_name);
}

Table* table_find_live(const char* internal_name, char* err, size_t errlen) {
    int idx = internal_name ? table_find_index(internal_name) : -1;
    if (idx < 0) {
        set_err(err, errlen, "table not found");
        return nullptr;
    }
    return &g_tables.slots[idx];
}

int table_get_latest_row_by_key(const char* table_name, const char* key, char** out_json,
                                int* out_deleted, char* err, size_t errlen) {
    if (out_json) *out_json = nullptr;
    if (out_deleted) *out_deleted = 0;
    int idx = table_name ? table_find_index(table_name) : -1;
    if (idx < 0) {
        set_err(err, errlen, "table not found");
        return -1;
    }
    Table* t = &g_tables.slots[idx];
    RwReadGuard g(&t->lock);
    int deleted = 0;
    if (!key || versioned_get_latest_json(t, key, out_json, nullptr, &deleted) != 0) {
        set_err(err, errlen, "row not found");
        return -1;
    }
    if (out_deleted) *out_deleted = deleted;
    return 0;
}

int table_alloc_slot_unlocked(const char* internal_name, const TableSchema* schema, char* err,
                              size_t errlen) {
    if (g_tables.count >= KYREL_MAX_TABLES) {
        set_err(err, errlen, "too many tables");
        return -1;
    }
    int slot = g_tables.count;
    Table& t = g_tables.slots[slot];
    if (schema)
        t.schema = *schema;
    else
        memset(&t.schema, 0, sizeof t.schema);
    snprintf(t.schema.name, sizeof t.schema.name, "%s", internal_name ? internal_name : "");
    canonicalize_ident(t.schema.name);
    if (t.schema.column_count < 0) t.schema.column_count = 0;
    if (t.schema.column_count > KYREL_MAX_COLUMNS) t.schema.column_count = KYREL_MAX_COLUMNS;
    t.dropped = 0;
    t.rows = nullptr;
    t.row_memory_bytes = 0;
    t.active_segment = 0;
    t.next_segment = 1;
    t.index_count = 0;
    memset(t.indexes, 0, sizeof t.indexes);
    memset(t.sec_maps, 0, sizeof t.sec_maps);
    t.sec_maps_invalid = 0;
    t.index_files_stale = 0;
    memset(&t.pk_map, 0, sizeof t.pk_map);
    pk_latest_map_init(&t);  // a failed init is retried on first update
    pthread_rwlock_init(&t.lock, nullptr);
    g_tables.count++;
    return slot;
}

namespace {

// Whether a table of that name can be created (g_tables.lock held): 0 with
// the canonical name in canon, or -1 "table already exists" / "invalid table
// name" / "too many tables".
int create_check_unlocked(const char* internal_name, char* canon, size_t cap, char* err,
                          size_t errlen) {
    if (table_find_index_unlocked(internal_name) >= 0) {
        set_err(err, errlen, "table already exists");
        return -1;
    }
    snprintf(canon, cap, "%s", internal_name ? internal_name : "");
    canonicalize_ident(canon);
    if (!canon[0]) {
        set_err(err, errlen, "invalid table name");
        return -1;
    }
    if (g_tables.count >= KYREL_MAX_TABLES) {
        set_err(err, errlen, "too many tables");
        return -1;
    }
    return 0;
}

}  // namespace

int table_create(const char* internal_name, const TableSchema* schema, char* err, size_t errlen) {
    RwWriteGuard g(&g_tables.lock);
    char canon[KYREL_INTERNAL_NAME_SIZE];
    if (create_check_unlocked(internal_name, canon, sizeof canon, err, errlen) != 0) return -1;
    int slot = table_alloc_slot_unlocked(canon, schema, err, errlen);
    if (slot < 0) return -1;
    // Manifest step: manifest_save for the new table (creates its directory); failure ignored.
    {
        char merr[256];
        manifest_save(&g_tables.slots[slot], merr, sizeof merr);
    }
    return 0;
}

namespace {

// A table directory no live table owns was left by an earlier table of that
// name (a DROP whose cleanup failed, or files written before a crash): it is
// removed before a table of the name is created, so the new table never
// adopts an old indexes.meta, index file or segment.
int clear_leftover_table_files(const char* internal_name, char* err, size_t errlen) {
    char dir[512];
    table_dir_path(internal_name, dir, sizeof dir);
    struct stat st;
    if (lstat(dir, &st) != 0) return 0;
    char rmerr[256] = "";
    if (remove_path_recursive(dir, rmerr, sizeof rmerr) == 0) return 0;
    set_errf(err, errlen, "cannot remove files left by an earlier table in %s: %s", dir, rmerr);
    return -1;
}

}  // namespace

int table_create_logged(const char* internal_name, const TableSchema* schema, const char* sql,
                        char* warning, size_t warnlen, char* err, size_t errlen) {
    if (warning && warnlen) warning[0] = '\0';
    char canon[KYREL_INTERNAL_NAME_SIZE];
    {
        RwReadGuard g(&g_tables.lock);
        if (create_check_unlocked(internal_name, canon, sizeof canon, err, errlen) != 0) return -1;
    }
    if (clear_leftover_table_files(canon, err, errlen) != 0) return -1;
    if (wal_append_record(WAL_OP_CREATE_TABLE, next_seq(), canon, "", sql, err, errlen) != 0)
        return -1;
    // Logged: the table exists from here on. The checks above hold because
    // tables are created and dropped only under g_checkpoint_lock.
    char e[256] = "";
    if (table_create(canon, schema, e, sizeof e) != 0) {
        set_err(warning, warnlen, e);
        return 0;
    }
    char db[64], tname[KYREL_INTERNAL_NAME_SIZE];
    split_internal_table_name(canon, db, sizeof db, tname, sizeof tname);
    // A catalog that could not be written is written by the next
    // checkpoint; until then replay creates the table from its record.
    if (catalog_save_db(db, e, sizeof e) != 0) set_err(warning, warnlen, e);
    return 0;
}

int table_is_protected_internal_name(const char* internal_name) {
    if (!internal_name) return 0;
    char db[64], tb[KYREL_INTERNAL_NAME_SIZE];
    split_internal_table_name(internal_name, db, sizeof db, tb, sizeof tb);
    return system_table_is_protected(db, tb);
}

int table_index_uses_column(const Table* table, const char* column) {
    if (!table || !column || !*column) return 0;
    int n = table->index_count < KYREL_MAX_INDEXES ? table->index_count : KYREL_MAX_INDEXES;
    for (int i = 0; i < n; ++i) {
        IndexDef def = table->indexes[i];
        indexdef_ensure_defaults(&def);
        int cols =
            def.column_count < KYREL_MAX_INDEX_COLUMNS ? def.column_count : KYREL_MAX_INDEX_COLUMNS;
        if (cols < 1 && strcasecmp(def.column, column) == 0) return 1;
        for (int c = 0; c < cols; ++c)
            if (strcasecmp(def.columns[c].name, column) == 0) return 1;
    }
    return 0;
}

int remove_path_recursive(const char* path, char* err, size_t errlen) {
    if (!path || !*path) return 0;
    struct stat st;
    if (lstat(path, &st) != 0) {
        if (errno == ENOENT) return 0;
        set_err(err, errlen, "cannot stat path for removal");
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (unlink(path) == 0 || errno == ENOENT) return 0;
        set_err(err, errlen, "cannot remove file");
        return -1;
    }
    DIR* d = opendir(path);
    if (!d) {
        set_err(err, errlen, "cannot open directory for removal");
        return -1;
    }
    int rc = 0;
    while (struct dirent* e = readdir(d)) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
        std::string child = std::string(path) + "/" + e->d_name;
        if (child.size() >= 1024) {
            set_err(err, errlen, "path too long during removal");
            rc = -1;
            break;
        }
        if (remove_path_recursive(child.c_str(), err, errlen) != 0) {
            rc = -1;
            break;
        }
    }
    closedir(d);
    if (rc != 0) return rc;
    if (rmdir(path) == 0 || errno == ENOENT) return 0;
    set_err(err, errlen, "cannot remove directory");
    return -1;
}

int row_rewrite_for_altered_schema(const char* row_json, const TableSchema* new_schema,
                                   const char* rename_from, const char* rename_to,
                                   const char* added_column, const char* default_text,
                                   char** out_row, char* err, size_t errlen) {
    if (out_row) *out_row = nullptr;
    if (!row_json || !new_schema || !out_row) {
        set_err(err, errlen, "oom");
        return -1;
    }
    std::string out = "{";
    out.reserve(4096);
    bool first = true;
    for (int i = 0; i < new_schema->column_count && i < KYREL_MAX_COLUMNS; ++i) {
        const char* col = new_schema->columns[i].name;
        char* raw = nullptr;
        if (json_extract_raw(row_json, col, &raw) != 0) raw = nullptr;
        if (!raw && rename_from && *rename_from && rename_to && strcasecmp(col, rename_to) == 0 &&
            json_extract_raw(row_json, rename_from, &raw) != 0)
            raw = nullptr;
        std::string val;
        bool have = false;
        if (raw) {
            val = raw;
            have = true;
            free(raw);
        } else if (added_column && *added_column && strcasecmp(col, added_column) == 0 &&
                   default_text && *default_text) {
            val = default_text;
            have = true;
        }
        if (!have) continue;
        json_append_raw_member(&out, &first, col, val);
        if (out.size() > (size_t)LLONG_MAX / 2) {
            set_err(err, errlen, "row rewrite too large");
            return -1;
        }
    }
    out += "}";
    *out_row = xstrdup(out.c_str());
    if (!*out_row) {
        set_err(err, errlen, "oom");
        return -1;
    }
    return 0;
}

namespace {

// The rows of an ALTER in their new shape, built before anything changes.
struct AlterRewrite {
    std::vector<std::pair<VersionedRow*, char*>> rows;  // newest version of a key, its new text
    ~AlterRewrite() {
        for (auto& r : rows) free(r.second);
    }
};

int alter_rewrite_prepare(Table* table, const TableSchema* new_schema, const char* rename_from,
                          const char* rename_to, const char* added_column, const char* default_text,
                          AlterRewrite* out, char* err, size_t errlen) {
    try {
        std::unordered_set<std::string> seen;
        for (VersionedRow* r = table->rows; r; r = r->next) {
            if (!r->key || !seen.insert(r->key).second) continue;  // each key's newest version
            if (r->deleted || !r->json) continue;
            char* shaped = nullptr;
            if (row_rewrite_for_altered_schema(r->json, new_schema, rename_from, rename_to,
                                               added_column, default_text, &shaped, err,
                                               errlen) != 0)
                return -1;
            // The rewritten row is stored, so its typed values (the DEFAULT
            // text included) are made canonical like any inserted row.
            char* canon = nullptr;
            int rc = schema_canonicalize_row_with_schema(new_schema, shaped, &canon, err, errlen);
            free(shaped);
            if (rc != 0) return -1;
            out->rows.emplace_back(r, nullptr);
            out->rows.back().second = canon;
        }
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    return 0;
}

// Cannot fail: the prepared texts replace the rows' and the schema changes.
void alter_rewrite_commit(Table* table, const TableSchema* new_schema, AlterRewrite* rw) {
    int64_t delta = 0;
    for (auto& [r, canon] : rw->rows) {
        uint64_t old_size = r->mem_size;
        free(r->json);
        r->json = canon;
        canon = nullptr;
        r->mem_size = versioned_row_mem_size(r->key, r->json);
        delta += (int64_t)r->mem_size - (int64_t)old_size;
    }
    char name[sizeof table->schema.name];
    memcpy(name, table->schema.name, sizeof name);
    table->schema = *new_schema;
    memcpy(table->schema.name, name, sizeof name);
    // Until the indexes are rebuilt from the rewritten rows the maps may not
    // answer lookups.
    sec_index_maps_mark_invalid(table);
    table->row_memory_bytes = (uint64_t)((int64_t)table->row_memory_bytes + delta);
    mem_add(delta);
}

}  // namespace

int table_rewrite_latest_rows_for_alter(Table* table, const TableSchema* new_schema,
                                        const char* rename_from, const char* rename_to,
                                        const char* added_column, const char* default_text,
                                        char* err, size_t errlen) {
    if (!table || !new_schema) {
        set_err(err, errlen, "table not found");
        return -1;
    }
    AlterRewrite rw;
    if (alter_rewrite_prepare(table, new_schema, rename_from, rename_to, added_column, default_text,
                              &rw, err, errlen) != 0)
        return -1;
    alter_rewrite_commit(table, new_schema, &rw);
    // Index-file step: rebuild_table_indexes(table) (its failure returns -1); a full rebuild clears the flag.
    if (rebuild_table_indexes(table, err, errlen) != 0) return -1;
    return 0;
}

namespace {

// What one ALTER step leaves to do once its checks passed: rewrite the rows
// under the new schema, or nothing (a replayed step that is already applied).
enum class AlterPlan { kRefused, kRewrite, kNothingToDo };

// The changed schema and the names the row rewrite needs.
struct AlterWork {
    TableSchema schema;
    const char* rename_from = nullptr;
    const char* rename_to = nullptr;
    const char* added_name = nullptr;
};

AlterPlan plan_add_column(AlterWork& w, const ColumnDef* added, int has_default, int replaying,
                          char* err, size_t errlen) {
    TableSchema& work = w.schema;
    if (!added || !added->name[0]) {
        set_err(err, errlen, "unsupported ALTER TABLE operation");
        return AlterPlan::kRefused;
    }
    int existing = schema_get_col_ci(&work, added->name);
    if (existing < 0) {
        if (work.column_count >= KYREL_MAX_COLUMNS) {
            set_err(err, errlen, "too many columns");
            return AlterPlan::kRefused;
        }
        work.columns[work.column_count] = *added;
        work.columns[work.column_count].name[sizeof added->name - 1] = '\0';
        work.columns[work.column_count].is_primary_key = 0;
        work.column_count++;
    } else if (!replaying) {
        set_err(err, errlen, "column already exists");
        return AlterPlan::kRefused;
    } else if (!has_default) {
        return AlterPlan::kNothingToDo;  // already applied
    }
    w.added_name = added->name;
    return AlterPlan::kRewrite;
}

AlterPlan plan_drop_column(AlterWork& w, const Table* t, const char* old_name, int replaying,
                           char* err, size_t errlen) {
    TableSchema& work = w.schema;
    int c = schema_get_col_ci(&work, old_name);
    if (c < 0) {
        // Replay after a catalog that already has the change: the rows may
        // still carry the column (their rewrite was not durable yet), so
        // they are brought to the schema's shape all the same.
        if (replaying) return AlterPlan::kRewrite;
        set_err(err, errlen, "column not found");
        return AlterPlan::kRefused;
    }
    if (column_is_pk(work, c)) {
        set_err(err, errlen, "cannot drop primary key column");
        return AlterPlan::kRefused;
    }
    if (table_index_uses_column(t, work.columns[c].name)) {
        set_err(err, errlen, "cannot drop column used by an index");
        return AlterPlan::kRefused;
    }
    for (int i = c; i + 1 < work.column_count; ++i) work.columns[i] = work.columns[i + 1];
    work.column_count--;
    memset(&work.columns[work.column_count], 0, sizeof(ColumnDef));
    return AlterPlan::kRewrite;
}

AlterPlan plan_rename_column(AlterWork& w, const Table* t, const char* old_name,
                             const char* new_name, int replaying, char* err, size_t errlen) {
    TableSchema& work = w.schema;
    int c = schema_get_col_ci(&work, old_name);
    int target = schema_get_col_ci(&work, new_name);
    if (c < 0) {
        if (replaying && target >= 0) {
            w.rename_from = old_name;
            w.rename_to = new_name;
            return AlterPlan::kRewrite;
        }
        set_err(err, errlen, "column not found");
        return AlterPlan::kRefused;
    }
    if (target >= 0) {
        set_err(err, errlen, "target column already exists");
        return AlterPlan::kRefused;
    }
    if (column_is_pk(work, c)) {
        set_err(err, errlen, "cannot rename primary key column");
        return AlterPlan::kRefused;
    }
    if (table_index_uses_column(t, work.columns[c].name)) {
        set_err(err, errlen, "cannot rename column used by an index");
        return AlterPlan::kRefused;
    }
    if (!new_name || !*new_name) {
        set_err(err, errlen, "invalid column name");
        return AlterPlan::kRefused;
    }
    snprintf(work.columns[c].name, sizeof work.columns[c].name, "%s", new_name);
    w.rename_from = old_name;
    w.rename_to = new_name;
    return AlterPlan::kRewrite;
}

}  // namespace

int table_apply_alter(const char* internal_name, int op, const ColumnDef* added,
                      const char* old_name, const char* new_name, const char* default_text,
                      int has_default, int replaying, char* err, size_t errlen,
                      const AlterLog* log) {
    int slot = table_find_index(internal_name);
    if (slot < 0) {
        if (replaying) return 0;
        set_err(err, errlen, "table not found");
        return -1;
    }
    if (table_is_protected_internal_name(internal_name)) {
        set_err(err, errlen, "cannot alter system table");
        return -1;
    }
    Table* t = &g_tables.slots[slot];
    RwWriteGuard g(&t->lock);
    if (t->dropped || !t->schema.name[0]) {  // dropped between lookup and lock
        if (replaying) return 0;
        set_err(err, errlen, "table not found");
        return -1;
    }
    AlterWork w;
    w.schema = t->schema;
    AlterPlan plan = AlterPlan::kRefused;
    switch (op) {
    case ALTER_OP_ADD_COLUMN:
        plan = plan_add_column(w, added, has_default, replaying, err, errlen);
        break;
    case ALTER_OP_DROP_COLUMN:
        plan = plan_drop_column(w, t, old_name, replaying, err, errlen);
        break;
    case ALTER_OP_RENAME_COLUMN:
        plan = plan_rename_column(w, t, old_name, new_name, replaying, err, errlen);
        break;
    default: set_err(err, errlen, "unsupported ALTER TABLE operation"); return -1;
    }
    if (plan == AlterPlan::kRefused) return -1;
    // Everything that can refuse the change is decided before its record is
    // logged: the plan's checks and every row's new shape.
    AlterRewrite rw;
    const char* deflt = has_default ? default_text : nullptr;
    if (plan == AlterPlan::kRewrite &&
        alter_rewrite_prepare(t, &w.schema, w.rename_from, w.rename_to, w.added_name, deflt, &rw,
                              err, errlen) != 0)
        return -1;
    if (log && log->write(log->ctx, err, errlen) != 0) return -1;
    if (plan == AlterPlan::kNothingToDo) return 0;
    alter_rewrite_commit(t, &w.schema, &rw);
    // The plan refuses a change of an indexed column, so the rebuild finds
    // the same values as before and cannot fail on a unique index.
    char ignored[256];
    rebuild_table_indexes(t, ignored, sizeof ignored);
    return 0;
}

int table_drop_check(const char* internal_name, int if_exists, char* stored, size_t stored_cap,
                     char* err, size_t errlen) {
    if (stored && stored_cap) stored[0] = '\0';
    RwReadGuard list(&g_tables.lock);
    int slot = table_find_index_unlocked(internal_name);
    if (slot < 0) {
        if (if_exists) return 1;
        set_err(err, errlen, "table not found");
        return -1;
    }
    const char* name = g_tables.slots[slot].schema.name;
    if (table_is_protected_internal_name(name)) {
        set_err(err, errlen, "cannot drop system table");
        return -1;
    }
    if (stored && stored_cap) snprintf(stored, stored_cap, "%s", name);
    return 0;
}

int table_drop_internal(const char* internal_name, int if_exists, char* err, size_t errlen,
                        char* stored, size_t stored_cap) {
    if (stored && stored_cap)
        snprintf(stored, stored_cap, "%s", internal_name ? internal_name : "");
    {
        RwWriteGuard list(&g_tables.lock);
        int slot = table_find_index_unlocked(internal_name);
        if (slot < 0) {
            if (if_exists) return 1;
            set_err(err, errlen, "table not found");
            return -1;
        }
        if (table_is_protected_internal_name(g_tables.slots[slot].schema.name)) {
            set_err(err, errlen, "cannot drop system table");
            return -1;
        }
        Table* t = &g_tables.slots[slot];
        RwWriteGuard g(&t->lock);
        if (stored && stored_cap) snprintf(stored, stored_cap, "%s", t->schema.name);
        t->dropped = 1;
        t->schema.name[0] = '\0';
        sec_index_maps_clear_all(t);
        t->index_count = 0;
    }
    return 0;
}

std::set<std::string> live_table_dirs() {
    std::set<std::string> dirs;
    RwReadGuard g(&g_tables.lock);
    for (int i = 0; i < g_tables.count && i < KYREL_MAX_TABLES; ++i) {
        const Table& t = g_tables.slots[i];
        if (t.dropped || !t.schema.name[0]) continue;
        char dir[512];
        table_dir_path(t.schema.name, dir, sizeof dir);
        dirs.insert(dir);
    }
    return dirs;
}

int table_remove_files(const char* internal_name, char* err, size_t errlen) {
    char dir[512];
    table_dir_path(internal_name, dir, sizeof dir);
    char rmerr[256] = "";
    if (remove_path_recursive(dir, rmerr, sizeof rmerr) == 0) return 0;
    set_errf(err, errlen, "table dropped from catalog; file cleanup warning: %s", rmerr);
    return -1;
}

int table_drop_index_internal(const char* internal_name, const char* index_name, int if_exists,
                              int* out_skipped, char* err, size_t errlen, char* warning,
                              size_t warnlen) {
    if (out_skipped) *out_skipped = 0;
    if (warning && warnlen) warning[0] = '\0';
    int slot = table_find_index(internal_name);
    if (slot < 0) {
        set_err(err, errlen, "table not found");
        return -1;
    }
    Table* t = &g_tables.slots[slot];
    char idx_path[512];
    {
        RwWriteGuard g(&t->lock);
        int i = t->dropped ? -1 : find_indexdef_ci(t, index_name);
        if (i < 0) {
            if (if_exists) {
                if (out_skipped) *out_skipped = 1;
                return 0;
            }
            set_err(err, errlen, "index not found");
            return -1;
        }
        table_index_file_path(t->schema.name, t->indexes[i].name, idx_path, sizeof idx_path);
        // indexes.meta is the drop's commit point: written without the index
        // first, and only then is the index taken out of memory, so a failed
        // write leaves the index as it was, live and on disk.
        const IndexDef removed = t->indexes[i];
        const SecIndexMap removed_map = t->sec_maps[i];  // ownership moves with the struct
        for (int j = i; j + 1 < t->index_count; ++j) {
            t->indexes[j] = t->indexes[j + 1];
            t->sec_maps[j] = t->sec_maps[j + 1];
        }
        t->index_count--;
        memset(&t->indexes[t->index_count], 0, sizeof(IndexDef));
        memset(&t->sec_maps[t->index_count], 0, sizeof(SecIndexMap));
        if (indexes_meta_save(t, err, errlen) != 0) {
            for (int j = t->index_count; j > i; --j) {
                t->indexes[j] = t->indexes[j - 1];
                t->sec_maps[j] = t->sec_maps[j - 1];
            }
            t->indexes[i] = removed;
            t->sec_maps[i] = removed_map;
            t->index_count++;
            return -1;
        }
        SecIndexMap gone = removed_map;
        sec_index_map_clear(&gone);
    }
    // The index is gone once indexes.meta no longer names it: a file that
    // stays is unused (and removed by a later CREATE INDEX of that name).
    if (unlink(idx_path) != 0 && errno != ENOENT)
        set_err(warning, warnlen, "cannot remove old index file");
    return 0;
}

int resolve_index_target_db(const char* database, const char* index_name, const char* table_name,
                            char* out, size_t capacity, char* err, size_t errlen) {
    if (out && capacity) out[0] = '\0';
    const char* db = database ? database : "default";
    if (table_name && *table_name) {
        make_internal_table_name(db, table_name, out, capacity);
        return 0;
    }
    char want_db[64];
    snprintf(want_db, sizeof want_db, "%s", db);
    canonicalize_ident(want_db);
    if (!want_db[0]) snprintf(want_db, sizeof want_db, "default");
    int found = 0;
    std::string last;
    {
        RwReadGuard list(&g_tables.lock);
        for (int s = 0; s < g_tables.count; ++s) {
            Table* t = &g_tables.slots[s];
            RwReadGuard g(&t->lock);
            if (t->dropped || !t->schema.name[0]) continue;
            char tdb[64], ttb[KYREL_INTERNAL_NAME_SIZE];
            split_internal_table_name(t->schema.name, tdb, sizeof tdb, ttb, sizeof ttb);
            if (strcasecmp(tdb, want_db) != 0) continue;
            if (find_indexdef_ci(t, index_name) >= 0) {
                found++;
                last = t->schema.name;
            }
        }
    }
    if (found == 0) {
        set_err(err, errlen, "index not found");
        return -1;
    }
    if (found > 1) {
        set_err(err, errlen, "index name is ambiguous; use DROP INDEX name ON table");
        return -1;
    }
    if (!out || last.size() >= capacity) {
        set_err(err, errlen, "table name too long");
        return -1;
    }
    snprintf(out, capacity, "%s", last.c_str());
    return 0;
}
