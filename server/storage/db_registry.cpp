// Database registry, databases.meta and internal table names.
//
// databases.meta format: one canonical database name per line, "%s\n", in
// registry order.  Lines are trimmed on load and blank lines skipped;
// "default" and "config_db" are appended when missing.  The file is rewritten
// whole through a temporary file (see meta_file_write_atomic), and only when
// its content changes.  A file that exists but cannot be read, is empty or cut
// short, or holds an invalid or repeated name stops start-up with a message
// naming it: skipping a name would hide that database's tables.
#include "storage/db_registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/err.h"
#include "base/text_util.h"
#include "storage/checkpoint.h"
#include "storage/ident.h"
#include "storage/paths.h"
#include "storage/table.h"

DatabaseRegistry g_databases = {PTHREAD_RWLOCK_INITIALIZER, {}, 0};

namespace {

const char kDatabasesMetaPath[] = KYREL_DATA_ROOT "/databases.meta";

// True after a failed save: the registry holds a database the file lacks
// (its record is still in the bootstrap log), so the next checkpoint writes
// the file before it empties that log.
std::atomic<bool> g_databases_meta_stale{false};

// Adds a name; client names go through the client name rules.
int database_add_impl(const char* name, int allow_existing, bool client, char* err, size_t errlen) {
    char canon[64];
    int rc = client ? copy_ident_checked(canon, sizeof canon, name, "database name", err, errlen)
                    : copy_ident_stored(canon, sizeof canon, name, "database name", err, errlen);
    if (rc != 0) return -1;
    if (database_find_index_unlocked(canon) >= 0) {
        if (allow_existing) return 0;
        set_err(err, errlen, "database already exists");
        return -1;
    }
    if (g_databases.count >= KYREL_MAX_DATABASES) {
        set_err(err, errlen, "too many databases");
        return -1;
    }
    memcpy(g_databases.names[g_databases.count], canon, sizeof canon);
    g_databases.count++;
    return 0;
}

int database_create_impl(const char* name, int allow_existing, bool client, char* err,
                         size_t errlen) {
    char canon[64];
    bool added = false;
    {
        RwWriteGuard g(&g_databases.lock);
        const int before = g_databases.count;
        if (database_add_impl(name, allow_existing, client, err, errlen) != 0) return -1;
        added = g_databases.count > before;
        int slot = database_find_index_unlocked(name);
        snprintf(canon, sizeof canon, "%s", slot >= 0 ? g_databases.names[slot] : "");
    }
    ensure_dir(KYREL_DATA_ROOT);
    ensure_dir(KYREL_DATABASES_DIR);
    ensure_database_storage_dirs(canon);
    // Checkpoint step: reset this database's in-memory checkpoint sequence to 0.
    // Only a database without an entry gets one: an existing database's
    // loaded sequence must stay, or replay would apply checkpointed records.
    if (canon[0] && db_checkpoint_find_index_unlocked(canon) < 0) db_checkpoint_set(canon, 0);
    // A database already listed leaves the file as it is (start-up on a full
    // disk must not need a write).
    return added ? databases_save(err, errlen) : 0;
}

}  // namespace

int database_find_index_unlocked(const char* name) {
    char canon[64];
    snprintf(canon, sizeof canon, "%s", name ? name : "");
    canonicalize_ident(canon);
    for (int i = 0; i < g_databases.count; ++i)
        if (strcasecmp(g_databases.names[i], canon) == 0) return i;
    return -1;
}

int database_exists(const char* name) {
    RwReadGuard g(&g_databases.lock);
    return database_find_index_unlocked(name) >= 0 ? 1 : 0;
}

int database_add_unlocked(const char* name, int allow_existing, char* err, size_t errlen) {
    return database_add_impl(name, allow_existing, true, err, errlen);
}

int database_create_check(const char* name, char* canon, size_t cap, char* err, size_t errlen) {
    if (copy_ident_checked(canon, cap, name, "database name", err, errlen) != 0) return -1;
    RwReadGuard g(&g_databases.lock);
    if (database_find_index_unlocked(canon) >= 0) {
        set_err(err, errlen, "database already exists");
        return -1;
    }
    if (g_databases.count >= KYREL_MAX_DATABASES) {
        set_err(err, errlen, "too many databases");
        return -1;
    }
    return 0;
}

int database_create(const char* name, char* err, size_t errlen) {
    return database_create_impl(name, 0, true, err, errlen);
}

int database_create_if_missing(const char* name, char* err, size_t errlen) {
    return database_create_impl(name ? name : "default", 1, false, err, errlen);
}

void meta_file_remove_leftover(const char* path) {
    if (!path || !*path) return;
    unlink((std::string(path) + ".tmp").c_str());
}

int meta_file_write_atomic(const char* path, const char* data, size_t len, char* err,
                           size_t errlen) {
    if (!path || !*path) {
        set_err(err, errlen, "cannot write metadata file");
        return -1;
    }
    std::string tmp = std::string(path) + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, KYREL_FILE_MODE);
    if (fd < 0) {
        set_errf(err, errlen, "cannot write %s", path);
        return -1;
    }
    bool ok = true;
    size_t off = 0;
    while (ok && off < len) {
        ssize_t w = write(fd, data + off, len - off);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0)
            ok = false;
        else
            off += (size_t)w;
    }
    if (ok && fsync(fd) != 0) ok = false;
    if (close(fd) != 0) ok = false;
    if (ok && rename(tmp.c_str(), path) != 0) ok = false;
    if (!ok) {
        unlink(tmp.c_str());
        set_errf(err, errlen, "cannot write %s", path);
        return -1;
    }
    fsync_dir_of(path);  // the rename itself
    return 0;
}

namespace {

std::string registry_text() {
    std::string text;
    RwReadGuard g(&g_databases.lock);
    for (int i = 0; i < g_databases.count; ++i) {
        text += g_databases.names[i];
        text += '\n';
    }
    return text;
}

}  // namespace

int databases_save(char* err, size_t errlen) {
    const std::string text = registry_text();
    if (meta_file_write_atomic(kDatabasesMetaPath, text.data(), text.size(), nullptr, 0) != 0) {
        g_databases_meta_stale = true;
        set_err(err, errlen, "cannot write databases meta");
        return -1;
    }
    g_databases_meta_stale = false;
    return 0;
}

int databases_save_if_stale(char* err, size_t errlen) {
    return g_databases_meta_stale ? databases_save(err, errlen) : 0;
}

namespace {

// Splits the file into its names. The writer ends every line with a line
// feed and lists each name once, so anything else is damage: -1 with
// "<path>: <what is wrong>".
int parse_databases_meta(const std::string& text, std::vector<std::string>* names, char* err,
                         size_t errlen) {
    const char* path = kDatabasesMetaPath;
    if (text.empty()) {
        set_errf(err, errlen, "%s: is empty (it always lists at least default and config_db)",
                 path);
        return -1;
    }
    if (meta_text_check_whole(path, text, err, errlen) != 0) return -1;
    std::vector<std::string> lines;
    if (int n = text_lines(text, 255, &lines)) {
        set_errf(err, errlen, "%s: line %d is not a database name", path, n);
        return -1;
    }
    int lineno = 0;
    for (const std::string& line : lines) {
        lineno++;
        if (line.empty()) continue;  // a blank line names nothing
        char canon[64], e[128] = "";
        if (copy_ident_stored(canon, sizeof canon, line.c_str(), "database name", e, sizeof e) !=
            0) {
            set_errf(err, errlen, "%s: line %d: %s", path, lineno, e);
            return -1;
        }
        for (const std::string& n : *names) {
            if (strcasecmp(n.c_str(), canon) == 0) {
                set_errf(err, errlen, "%s: line %d: database %s is listed twice", path, lineno,
                         canon);
                return -1;
            }
        }
        if (names->size() >= KYREL_MAX_DATABASES) {
            set_errf(err, errlen, "%s: lists more than %d databases", path, KYREL_MAX_DATABASES);
            return -1;
        }
        names->emplace_back(canon);
    }
    return 0;
}

// True when the databases directory holds a database other than the
// registered ones whose catalog names tables.
bool unlisted_database_with_tables() {
    DIR* d = opendir(KYREL_DATABASES_DIR);
    if (!d) return false;
    bool found = false;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        {
            RwReadGuard g(&g_databases.lock);
            if (database_find_index_unlocked(e->d_name) >= 0) continue;
        }
        char path[512];
        db_catalog_path(e->d_name, path, sizeof path);
        if (file_size_bytes(path) > 0) {
            found = true;
            break;
        }
    }
    closedir(d);
    return found;
}

}  // namespace

int databases_load(char* err, size_t errlen) {
    meta_file_remove_leftover(kDatabasesMetaPath);
    std::string text;
    const int got = read_file_whole(kDatabasesMetaPath, &text, err, errlen);
    if (got < 0) return -1;
    std::vector<std::string> names;
    if (got == 0 && parse_databases_meta(text, &names, err, errlen) != 0) return -1;
    {
        RwWriteGuard g(&g_databases.lock);
        memset(g_databases.names, 0, sizeof g_databases.names);
        g_databases.count = 0;
        for (const std::string& n : names) database_add_impl(n.c_str(), 1, false, nullptr, 0);
        if (g_databases.count < KYREL_MAX_DATABASES)
            database_add_impl("default", 1, false, nullptr, 0);
        if (g_databases.count < KYREL_MAX_DATABASES)
            database_add_impl("config_db", 1, false, nullptr, 0);
    }
    ensure_dir(KYREL_DATA_ROOT);
    ensure_dir(KYREL_DATABASES_DIR);
    {
        std::vector<std::string> dbs;
        {
            RwReadGuard g(&g_databases.lock);
            for (int i = 0; i < g_databases.count; ++i) dbs.emplace_back(g_databases.names[i]);
        }
        for (const std::string& d : dbs) ensure_database_storage_dirs(d.c_str());
    }
    // Written only when it says something new (a new directory, or default
    // and config_db added): a data directory on a full disk still opens. A
    // missing list beside databases that hold tables is not replaced: the
    // start-up checks refuse it, or replay registers them again.
    if (got == 0 && text == registry_text()) return 0;
    if (got == 1 && unlisted_database_with_tables()) return 0;
    if (databases_save(err, errlen) != 0) return -1;
    return 0;
}

void make_internal_table_name(const char* database, const char* table, char* out, size_t capacity) {
    if (!out || capacity == 0) return;
    char db[64], tb[64];
    snprintf(db, sizeof db, "%s", database ? database : "default");
    snprintf(tb, sizeof tb, "%s", table ? table : "");
    canonicalize_ident(db);
    canonicalize_ident(tb);
    if (!db[0] || strcasecmp(db, "default") == 0)
        snprintf(out, capacity, "%s", tb);
    else
        snprintf(out, capacity, "%s__%s", db, tb);
}

void split_internal_table_name(const char* internal, char* db_out, size_t db_capacity,
                               char* table_out, size_t table_capacity) {
    if (db_out && db_capacity) db_out[0] = '\0';
    if (table_out && table_capacity) table_out[0] = '\0';
    if (!internal) return;
    const char* sep = strstr(internal, "__");
    if (!sep) {
        if (db_out && db_capacity) snprintf(db_out, db_capacity, "default");
        if (table_out && table_capacity) {
            std::string t(internal);
            std::vector<char> buf(t.begin(), t.end());
            buf.push_back('\0');
            canonicalize_ident(buf.data());
            snprintf(table_out, table_capacity, "%s", buf.data());
        }
        return;
    }
    if (db_out && db_capacity) {
        std::string d(internal, (size_t)(sep - internal));
        std::vector<char> buf(d.begin(), d.end());
        buf.push_back('\0');
        trim_ws(buf.data());
        snprintf(db_out, db_capacity, "%s", buf.data());
    }
    if (table_out && table_capacity) {
        std::string t(sep + 2);
        std::vector<char> buf(t.begin(), t.end());
        buf.push_back('\0');
        trim_ws(buf.data());
        snprintf(table_out, table_capacity, "%s", buf.data());
    }
}

int resolve_table_for_session(const char* session_db, const char* table, char* out,
                              size_t capacity) {
    char name[KYREL_INTERNAL_NAME_SIZE];
    make_internal_table_name((session_db && *session_db) ? session_db : "default", table, name,
                             sizeof name);
    if (out && capacity) snprintf(out, capacity, "%s", name);
    return table_find_index(name) >= 0 ? 0 : -1;
}
