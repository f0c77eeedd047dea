// Data-directory layout and path builders.
//
//   ./kyreldb_data/
//     databases.meta, main.wal, bootstrap.checkpoint.meta, .wal_probe.tmp,
//     server.lock (the owner lock, data_lock.h)
//     databases/<db>/
//       catalog.meta, checkpoint.meta, main.wal, procedures/
//       tables/<t>/manifest.meta, indexes.meta, <i>.idx, segments/seg_NNNNNN.dat
//     tables/<internal>/...   legacy table directories, read as a fallback
//
// Components are cut to fixed sizes before formatting (database and table 63
// bytes, internal name 129) so a path never holds more than one name's worth
// of caller text. Directory creation ignores errors: the later open of a file
// is where a missing directory surfaces.
//
// The tree is private to the server's user: directories are made 0700 and
// every file 0600 (the process umask is 077 besides, see
// data_dir_private_umask), and start-up tightens a tree left more open.
#include "storage/paths.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/err.h"

namespace {

constexpr size_t kNameCap = 64;       // database, table, index: 63 bytes + NUL
constexpr size_t kInternalCap = 130;  // internal table name: 129 bytes + NUL

void db_component(const char* db, char out[kNameCap]) {
    path_copy_component(out, kNameCap, db ? db : "default");
}

}  // namespace

void path_copy_component(char* dest, size_t size, const char* src) {
    if (!dest || size == 0) return;
    if (!src) src = "";
    size_t len = strnlen(src, size - 1);
    memcpy(dest, src, len);
    dest[len] = '\0';
}

void split_internal_for_path(const char* internal, char* db, size_t dbcap, char* table,
                             size_t tablecap) {
    char name[kInternalCap];
    path_copy_component(name, sizeof name, internal);
    char* sep = strstr(name, "__");
    char dbbuf[kNameCap];
    char tbuf[kNameCap];
    if (sep) {
        *sep = '\0';
        path_copy_component(dbbuf, sizeof dbbuf, name);
        path_copy_component(tbuf, sizeof tbuf, sep + 2);
    } else {
        path_copy_component(dbbuf, sizeof dbbuf, "default");
        path_copy_component(tbuf, sizeof tbuf, name);
    }
    path_copy_component(db, dbcap, dbbuf);
    path_copy_component(table, tablecap, tbuf);
}

#define KYREL_DB_PATH(fn, fmt_tail)                                    \
    void fn(const char* db, char* dest, size_t cap) {                  \
        if (!dest || cap == 0) return;                                 \
        char d[kNameCap];                                              \
        db_component(db, d);                                           \
        snprintf(dest, cap, "%s/%s" fmt_tail, KYREL_DATABASES_DIR, d); \
    }

KYREL_DB_PATH(db_dir_path, "")
KYREL_DB_PATH(db_tables_dir_path, "/tables")
KYREL_DB_PATH(db_catalog_path, "/catalog.meta")
KYREL_DB_PATH(db_wal_path, "/main.wal")
KYREL_DB_PATH(db_checkpoint_path, "/checkpoint.meta")
KYREL_DB_PATH(db_procedures_dir_path, "/procedures")
#undef KYREL_DB_PATH

#define KYREL_TABLE_PATH(fn, fmt_tail)                                              \
    void fn(const char* internal, char* dest, size_t cap) {                         \
        if (!dest || cap == 0) return;                                              \
        char d[kNameCap], t[kNameCap];                                              \
        split_internal_for_path(internal, d, sizeof d, t, sizeof t);                \
        snprintf(dest, cap, "%s/%s/tables/%s" fmt_tail, KYREL_DATABASES_DIR, d, t); \
    }

KYREL_TABLE_PATH(table_dir_path, "")
KYREL_TABLE_PATH(table_segments_dir_path, "/segments")
KYREL_TABLE_PATH(table_manifest_path, "/manifest.meta")
#undef KYREL_TABLE_PATH

void table_segment_path(const char* internal, uint64_t seg, char* dest, size_t cap) {
    if (!dest || cap == 0) return;
    char d[kNameCap], t[kNameCap];
    split_internal_for_path(internal, d, sizeof d, t, sizeof t);
    snprintf(dest, cap, "%s/%s/tables/%s/segments/seg_%06llu.dat", KYREL_DATABASES_DIR, d, t,
             static_cast<unsigned long long>(seg));
}

void legacy_table_manifest_path(const char* internal, char* dest, size_t cap) {
    if (!dest || cap == 0) return;
    char n[kInternalCap];
    path_copy_component(n, sizeof n, internal);
    snprintf(dest, cap, "%s/tables/%s/manifest.meta", KYREL_DATA_ROOT, n);
}

void legacy_table_segment_path(const char* internal, uint64_t seg, char* dest, size_t cap) {
    if (!dest || cap == 0) return;
    char n[kInternalCap];
    path_copy_component(n, sizeof n, internal);
    snprintf(dest, cap, "%s/tables/%s/segments/seg_%06llu.dat", KYREL_DATA_ROOT, n,
             static_cast<unsigned long long>(seg));
}

void legacy_table_indexes_meta_path(const char* internal, char* dest, size_t cap) {
    if (!dest || cap == 0) return;
    char n[kInternalCap];
    path_copy_component(n, sizeof n, internal);
    snprintf(dest, cap, "%s/tables/%s/indexes.meta", KYREL_DATA_ROOT, n);
}

void fsync_dir(const char* dir) {
    if (!dir) return;
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)fsync(fd);
    close(fd);
}

void fsync_dir_of(const char* path) {
    if (!path) return;
    std::string dir(path);
    size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
    fsync_dir(dir.c_str());
}

void ensure_dir(const char* path) {
    if (!path) return;
    struct stat st;
    if (stat(path, &st) != 0) (void)mkdir(path, KYREL_DIR_MODE);
}

void ensure_database_storage_dirs(const char* db) {
    char path[512];
    db_dir_path(db, path, sizeof path);
    ensure_dir(path);
    db_tables_dir_path(db, path, sizeof path);
    ensure_dir(path);
}

void ensure_parent_dirs() {
    ensure_dir(KYREL_DATA_ROOT);
    ensure_dir(KYREL_DATABASES_DIR);
    ensure_database_storage_dirs("default");
    ensure_database_storage_dirs("config_db");
}

uint64_t file_size_bytes(const char* path) {
    if (!path) return 0;
    struct stat st;
    if (stat(path, &st) != 0) return 0;
    return st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

int meta_text_check_whole(const char* path, const std::string& text, char* err, size_t errlen) {
    if (text.empty() || text.back() == '\n') return 0;
    set_errf(err, errlen, "%s: is cut short (its last line has no line feed)", path);
    return -1;
}

int read_file_whole(const char* path, std::string* out, char* err, size_t errlen) {
    if (out) out->clear();
    if (!path || !out) return 1;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return 1;
        set_errf(err, errlen, "%s: cannot open: %s", path, strerror(errno));
        return -1;
    }
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int e = errno;
            close(fd);
            set_errf(err, errlen, "%s: cannot read: %s", path, strerror(e));
            return -1;
        }
        if (n == 0) break;
        try {
            out->append(buf, (size_t)n);
        } catch (...) {
            close(fd);
            set_errf(err, errlen, "%s: cannot read: out of memory", path);
            return -1;
        }
    }
    close(fd);
    return 0;
}

void data_dir_private_umask() { umask(077); }

namespace {

long g_tightened = 0;  // start-up only (single thread)

int tighten_entry(const char* path, const struct stat* st, int type, struct FTW*) {
    if (type != FTW_F && type != FTW_D && type != FTW_DP) return 0;  // links are left alone
    if (!S_ISREG(st->st_mode) && !S_ISDIR(st->st_mode)) return 0;
    if ((st->st_mode & 077) == 0) return 0;
    if (chmod(path, st->st_mode & 07700) == 0) g_tightened++;
    return 0;
}

}  // namespace

long data_dir_tighten_modes() {
    g_tightened = 0;
    nftw(KYREL_DATA_ROOT, tighten_entry, 16, FTW_PHYS);
    return g_tightened;
}
