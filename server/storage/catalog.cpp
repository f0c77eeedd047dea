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
// Reading: malformed lines are skipped; a TABLE block without END (a file cut
// short) registers nothing for that table.
#include "storage/catalog.h"

#include <cstdio>
#include <cstring>
#include <strings.h>
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

int catalog_load_single(const char* path, const char* db, int legacy) {
    FILE* f = fopen(path, "r");
    if (!f) return 0;
    TableSchema schema;
    bool open = false;
    char line[512];
    while (fgets(line, sizeof line, f)) {
        // A line longer than the buffer is cut; drop the rest of it.
        if (!strchr(line, '\n') && !feof(f)) {
            int ch;
            while ((ch = fgetc(f)) != EOF && ch != '\n') {}
        }
        trim_ws(line);
        if (!line[0]) continue;
        if (ci_starts(line, "TABLE ")) {
            memset(&schema, 0, sizeof schema);
            open = false;
            char tname[64] = {0}, pk[64] = "-";
            if (sscanf(line + 6, "%63s PK %63s", tname, pk) >= 1) {
                snprintf(schema.name, sizeof schema.name, "%s", tname);
                if (strcmp(pk, "-") != 0)
                    snprintf(schema.primary_key, sizeof schema.primary_key, "%s", pk);
                open = true;
            }
        } else if (ci_starts(line, "COL ")) {
            if (!open || schema.column_count >= KYREL_MAX_COLUMNS) continue;
            ColumnDef col;
            memset(&col, 0, sizeof col);
            char cname[64] = {0}, tword[64] = {0};
            int maxlen = 0, ispk = 0;
            if (sscanf(line + 4, "%63s %63s %d %d", cname, tword, &maxlen, &ispk) < 1) continue;
            snprintf(col.name, sizeof col.name, "%s", cname);
            col.type = parse_type_name(tword);
            col.max_length = maxlen;
            col.is_primary_key = ispk;
            if (ispk) snprintf(schema.primary_key, sizeof schema.primary_key, "%s", col.name);
            schema.columns[schema.column_count++] = col;
        } else if (strcmp(line, "END") == 0 && open) {
            open = false;
            char internal[KYREL_INTERNAL_NAME_SIZE];
            if (legacy)
                snprintf(internal, sizeof internal, "%s", schema.name);
            else
                make_internal_table_name(db, schema.name, internal, sizeof internal);
            RwWriteGuard g(&g_tables.lock);
            if (g_tables.count >= KYREL_MAX_TABLES) continue;
            char err[256];
            table_alloc_slot_unlocked(internal, &schema, err, sizeof err);
        }
    }
    fclose(f);
    return 1;
}

int catalog_load() {
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
        read += catalog_load_single(path, n.c_str(), 0);
    }
    if (read > 0) return 0;
    catalog_load_single(KYREL_DATA_ROOT "/catalog.meta", "default", 1);
    return 0;
}
