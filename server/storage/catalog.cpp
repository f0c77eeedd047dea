// Catalog files: the schemas of one database's tables.
//
// File ./kyreldb_data/databases/<db>/catalog.meta, plain text, one record per
// line, each ended by a line feed:
//   "TABLE %s PK %s\n"    table name without its database part; the
//                         primary-key column, or "-" when there is none
//   "COL %s %s %d %d\n"   column name, type word (type_name), max_length,
//                         is_primary_key (0/1); one per column, in order
//   "END\n"               closes the table
// Tables follow each other in slot order. Names hold no blanks, so fields are
// separated by single spaces. The legacy file ./kyreldb_data/catalog.meta has
// the same format with internal names of database "default".
//
// Writing: the whole text goes to "catalog.meta.tmp", is fsynced and renamed
// over the old file, then the directory is fsynced, so a crash leaves either
// the old or the new catalog, never a truncated one.
// Reading: the file must be whole. A line that is not one of the three
// forms, a table block without END, a file whose last line has no line feed,
// a repeated table or column, an unknown type word or more tables or columns
// than the server holds stop start-up with a message naming the file and the
// line: skipping them would drop tables or columns without a word.
#include "storage/catalog.h"

#include <strings.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/err.h"
#include "base/text_util.h"
#include "storage/db_registry.h"
#include "storage/ident.h"
#include "storage/paths.h"
#include "storage/table.h"

namespace {

std::string catalog_text_for_db(const char* db) {
    std::string out;
    RwReadGuard g(&g_tables.lock);
    for (int i = 0; i < g_tables.count && i < KYREL_MAX_TABLES; ++i) {
        const Table& t = g_tables.slots[i];
        if (t.dropped || !t.schema.name[0]) continue;
        char tdb[64], tname[130];
        split_internal_table_name(t.schema.name, tdb, sizeof tdb, tname, sizeof tname);
        if (strcasecmp(tdb, db) != 0) continue;
        char line[512];
        snprintf(line, sizeof line, "TABLE %s PK %s\n", tname,
                 t.schema.primary_key[0] ? t.schema.primary_key : "-");
        out += line;
        for (int c = 0; c < t.schema.column_count && c < KYREL_MAX_COLUMNS; ++c) {
            const ColumnDef& col = t.schema.columns[c];
            snprintf(line, sizeof line, "COL %s %s %d %d\n", col.name, type_name(col.type),
                     (int)col.max_length, col.is_primary_key ? 1 : 0);
            out += line;
        }
        out += "END\n";
    }
    return out;
}

}  // namespace

int catalog_save_db(const char* db, char* err, size_t errlen) {
    char name[64];
    path_copy_component(name, sizeof name, db && *db ? db : "default");
    ensure_database_storage_dirs(name);
    char path[512];
    db_catalog_path(name, path, sizeof path);
    const std::string text = catalog_text_for_db(name);
    char werr[256] = {0};
    if (meta_file_write_atomic(path, text.data(), text.size(), werr, sizeof werr) != 0) {
        set_err(err, errlen, "cannot write catalog");
        return -1;
    }
    return 0;
}

int catalog_save(char* err, size_t errlen) {
    std::vector<std::string> names;
    {
        RwReadGuard g(&g_databases.lock);
        for (int i = 0; i < g_databases.count && i < KYREL_MAX_DATABASES; ++i)
            names.emplace_back(g_databases.names[i]);
    }
    for (const auto& n : names)
        if (catalog_save_db(n.c_str(), err, errlen) != 0) return -1;
    return 0;
}

namespace {

bool parse_int_field(const std::string& s, int* out) {
    if (s.empty() || s.size() > 10) return false;
    char* end = nullptr;
    long v = strtol(s.c_str(), &end, 10);
    if (*end || v < INT32_MIN || v > INT32_MAX) return false;
    *out = (int)v;
    return true;
}

bool schema_has_column_ci(const TableSchema& s, const char* name) {
    for (int c = 0; c < s.column_count; ++c)
        if (strcasecmp(s.columns[c].name, name) == 0) return true;
    return false;
}

}  // namespace

int catalog_load_single(const char* path, const char* db, int legacy, char* err, size_t errlen) {
    std::string text;
    const int got = read_file_whole(path, &text, err, errlen);
    if (got == 1) return 0;
    if (got < 0) return -1;
    // The file is replaced whole, never appended to: every line ends with a
    // line feed and every table block is closed. Anything else is damage,
    // and reading around it would lose tables or columns without a word.
    if (meta_text_check_whole(path, text, err, errlen) != 0) return -1;
    auto bad = [&](int lineno, const char* what) {
        set_errf(err, errlen, "%s: line %d: %s", path, lineno, what);
        return -1;
    };
    std::unique_ptr<TableSchema> schema(new (std::nothrow) TableSchema);
    if (!schema) {
        set_errf(err, errlen, "%s: cannot read: out of memory", path);
        return -1;
    }
    std::vector<std::string> lines;
    if (int n = text_lines(text, 511, &lines)) return bad(n, "not a catalog line");
    bool open = false;
    int open_line = 0;
    int lineno = 0;
    for (const std::string& text_line : lines) {
        lineno++;
        const char* line = text_line.c_str();
        if (!line[0]) continue;
        const std::vector<std::string> f = split_blanks(line);
        if (ci_starts(line, "TABLE ")) {
            if (open) {
                set_errf(err, errlen, "%s: line %d: table %s has no END line", path, open_line,
                         schema->name);
                return -1;
            }
            if (f.size() != 4 || strcasecmp(f[2].c_str(), "PK") != 0 || f[1].size() > 63 ||
                f[3].size() > 63)
                return bad(lineno, "malformed TABLE line");
            memset(schema.get(), 0, sizeof *schema);
            snprintf(schema->name, sizeof schema->name, "%s", f[1].c_str());
            if (f[3] != "-")
                snprintf(schema->primary_key, sizeof schema->primary_key, "%s", f[3].c_str());
            open = true;
            open_line = lineno;
        } else if (ci_starts(line, "COL ")) {
            if (!open) return bad(lineno, "COL line outside a table");
            if (schema->column_count >= KYREL_MAX_COLUMNS)
                return bad(lineno, "more columns than a table can hold");
            // Fields that are not there stay 0 (an old short form); fields
            // that are there must read.
            int maxlen = 0, ispk = 0;
            if (f.size() < 2 || f.size() > 5 || f[1].size() > 63 ||
                (f.size() > 3 && !parse_int_field(f[3], &maxlen)) ||
                (f.size() > 4 && (!parse_int_field(f[4], &ispk) || (ispk != 0 && ispk != 1))))
                return bad(lineno, "malformed COL line");
            const int type = f.size() > 2 ? parse_type_name(f[2].c_str()) : COL_TYPE_UNKNOWN;
            if (f.size() > 2 && type == COL_TYPE_UNKNOWN &&
                strcasecmp(f[2].c_str(), type_name(type)) != 0)
                return bad(lineno, "unknown column type");
            if (schema_has_column_ci(*schema, f[1].c_str()))
                return bad(lineno, "column listed twice");
            ColumnDef col;
            memset(&col, 0, sizeof col);
            snprintf(col.name, sizeof col.name, "%s", f[1].c_str());
            col.type = type;
            col.max_length = maxlen;
            col.is_primary_key = ispk;
            if (ispk) snprintf(schema->primary_key, sizeof schema->primary_key, "%s", col.name);
            schema->columns[schema->column_count++] = col;
        } else if (strcmp(line, "END") == 0) {
            if (!open) return bad(lineno, "END line outside a table");
            open = false;
            if (schema->primary_key[0] && !schema_has_column_ci(*schema, schema->primary_key))
                return bad(lineno, "the primary key is not a column of the table");
            char internal[KYREL_INTERNAL_NAME_SIZE];
            if (legacy)
                snprintf(internal, sizeof internal, "%s", schema->name);
            else
                make_internal_table_name(db, schema->name, internal, sizeof internal);
            RwWriteGuard g(&g_tables.lock);
            if (table_find_index_unlocked(internal) >= 0) return bad(lineno, "table listed twice");
            char e[256] = "";
            if (table_alloc_slot_unlocked(internal, schema.get(), e, sizeof e) < 0)
                return bad(lineno, e);
        } else {
            return bad(lineno, "not a catalog line");
        }
    }
    if (open) {
        set_errf(err, errlen, "%s: line %d: table %s has no END line (the file is cut short)", path,
                 open_line, schema->name);
        return -1;
    }
    return 1;
}

int catalog_load(char* err, size_t errlen) {
    std::vector<std::string> names;
    {
        RwReadGuard g(&g_databases.lock);
        for (int i = 0; i < g_databases.count && i < KYREL_MAX_DATABASES; ++i)
            names.emplace_back(g_databases.names[i]);
    }
    int read = 0;
    for (const auto& n : names) {
        char path[512];
        db_catalog_path(n.c_str(), path, sizeof path);
        meta_file_remove_leftover(path);
        const int r = catalog_load_single(path, n.c_str(), 0, err, errlen);
        if (r < 0) return -1;
        read += r;
    }
    if (read > 0) return 0;
    return catalog_load_single(KYREL_DATA_ROOT "/catalog.meta", "default", 1, err, errlen) < 0 ? -1
                                                                                               : 0;
}
