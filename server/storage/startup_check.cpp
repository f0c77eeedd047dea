// Start-up consistency of the data directory as a whole.
//
// Each loader refuses a file it cannot read whole; what a loader cannot see
// is a file that is whole but says less than the directory holds, or a number
// that no other file bears out. Before replay applies anything, this unit
// walks every log once (records are only read: torn and damaged tails are
// replay's to report) and then refuses to start when:
//   - a database directory whose catalog.meta names tables is not listed in
//     databases.meta and no CREATE DATABASE record in the bootstrap log
//     brings it back (an edited or damaged databases.meta would hide it);
//   - a table directory holds data (a segment file, a manifest naming a
//     segment, or index definitions) while its database's catalog has no
//     such table and no logged CREATE TABLE or DROP TABLE explains it (a
//     logged CREATE whose catalog save failed is created again by replay;
//     a cut, emptied or deleted catalog would lose the table's rows and
//     indexes);
//   - a checkpoint file holds a number beyond every sequence number the logs
//     and segments hold: every checkpoint stamps each table's segment with
//     its number before any checkpoint file names it, so such a number can
//     only come from damage, and replay would skip logged changes below it.
// A log that exists but cannot be opened is refused here as well; replay
// would read it as empty.
#include "storage/startup_check.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "base/err.h"
#include "storage/checkpoint.h"
#include "storage/db_registry.h"
#include "storage/index_file.h"
#include "storage/paths.h"
#include "storage/segment.h"
#include "storage/table.h"
#include "storage/wal.h"

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(tolower(c)); });
    return s;
}

// What the logs say, gathered without applying anything.
struct LogEvidence {
    uint64_t max_seq = 0;
    std::set<std::string> created_databases;  // lower case
    std::set<std::string> dropped_tables;     // internal names, lower case
    std::set<std::string> created_tables;     // internal names, lower case
};

int scan_log(const char* path, LogEvidence* ev, char* err, size_t errlen) {
    WalReader r;
    if (wal_reader_open(&r, path) != 0) {
        if (errno == ENOENT) return 0;
        set_errf(err, errlen, "%s: cannot open: %s", path, strerror(errno));
        return -1;
    }
    WalRecord rec;
    char bad[64] = "";
    while (wal_reader_next(&r, &rec, bad, sizeof bad) == WAL_READ_RECORD) {
        ev->max_seq = std::max(ev->max_seq, rec.h.seq);
        if (rec.h.op == WAL_OP_CREATE_DATABASE && !rec.table.empty())
            ev->created_databases.insert(lower(rec.table));
        else if (rec.h.op == WAL_OP_DROP_TABLE)
            ev->dropped_tables.insert(lower(rec.table));
        else if (rec.h.op == WAL_OP_CREATE_TABLE && !rec.table.empty())
            ev->created_tables.insert(lower(rec.table));
    }
    return 0;
}

std::vector<std::string> subdirectories(const char* dir) {
    std::vector<std::string> out;
    DIR* d = opendir(dir);
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        const std::string path = std::string(dir) + "/" + e->d_name;
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) out.emplace_back(e->d_name);
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> registered() {
    std::vector<std::string> names;
    RwReadGuard g(&g_databases.lock);
    for (int i = 0; i < g_databases.count && i < KYREL_MAX_DATABASES; ++i)
        names.emplace_back(g_databases.names[i]);
    return names;
}

int scan_all_logs(LogEvidence* ev, char* err, size_t errlen) {
    if (scan_log(KYREL_DATA_ROOT "/main.wal", ev, err, errlen) != 0) return -1;
    for (const std::string& db : subdirectories(KYREL_DATABASES_DIR)) {
        char path[512];
        db_wal_path(db.c_str(), path, sizeof path);
        if (scan_log(path, ev, err, errlen) != 0) return -1;
    }
    return 0;
}

bool is_registered(const std::vector<std::string>& dbs, const std::string& name) {
    for (const std::string& d : dbs)
        if (strcasecmp(d.c_str(), name.c_str()) == 0) return true;
    return false;
}

int check_unlisted_databases(const LogEvidence& ev, char* err, size_t errlen) {
    const std::vector<std::string> dbs = registered();
    for (const std::string& dir : subdirectories(KYREL_DATABASES_DIR)) {
        if (is_registered(dbs, dir) || ev.created_databases.count(lower(dir))) continue;
        char path[512];
        db_catalog_path(dir.c_str(), path, sizeof path);
        if (file_size_bytes(path) == 0) continue;  // no tables: nothing is hidden
        set_errf(err, errlen, "%s/databases.meta: does not list database %s, whose %s names tables",
                 KYREL_DATA_ROOT, dir.c_str(), path);
        return -1;
    }
    return 0;
}

// True when a table directory holds something a table that was never
// checkpointed and has no index would not: a segment file, a manifest that
// names a segment, or index definitions.
bool table_dir_holds_data(const std::string& dir) {
    if (!segment_dir_first_file((dir + "/segments").c_str()).empty()) return true;
    if (file_size_bytes((dir + "/indexes.meta").c_str()) > 0) return true;
    std::string manifest;
    if (read_file_whole((dir + "/manifest.meta").c_str(), &manifest, nullptr, 0) != 0) return false;
    const size_t at = manifest.find("ACTIVE_SEGMENT=");
    if (at == std::string::npos) return false;
    const char* digits = manifest.c_str() + at + 15;
    return strtoull(digits, nullptr, 10) != 0 || digits[0] != '0';
}

int check_table_dirs(const LogEvidence& ev, char* err, size_t errlen) {
    const std::set<std::string> live_dirs = live_table_dirs();
    for (const std::string& db : registered()) {
        char tables[512];
        db_tables_dir_path(db.c_str(), tables, sizeof tables);
        for (const std::string& name : subdirectories(tables)) {
            const std::string dir = std::string(tables) + "/" + name;
            if (live_dirs.count(dir) || !table_dir_holds_data(dir)) continue;
            char internal[KYREL_INTERNAL_NAME_SIZE];
            make_internal_table_name(db.c_str(), name.c_str(), internal, sizeof internal);
            if (ev.dropped_tables.count(lower(internal)) ||
                ev.created_tables.count(lower(internal)))
                continue;
            char catalog[512];
            db_catalog_path(db.c_str(), catalog, sizeof catalog);
            set_errf(err, errlen,
                     "%s: has no table %s, but %s holds its data (the catalog is damaged, or "
                     "the directory was left by a dropped table and may be removed)",
                     catalog, name.c_str(), dir.c_str());
            return -1;
        }
    }
    return 0;
}

int check_checkpoints(const LogEvidence& ev, char* err, size_t errlen) {
    const uint64_t known = std::max(ev.max_seq, segment_max_loaded_seq());
    auto beyond = [&](const char* path, uint64_t seq) {
        if (seq <= known) return 0;
        set_errf(err, errlen,
                 "%s: checkpoint %llu is beyond every sequence number the logs and segments "
                 "hold (the highest is %llu)",
                 path, static_cast<unsigned long long>(seq),
                 static_cast<unsigned long long>(known));
        return -1;
    };
    if (beyond(checkpoint_meta_path(), g_checkpoint_seq.load()) != 0) return -1;
    for (const std::string& db : registered()) {
        char path[512];
        db_checkpoint_path(db.c_str(), path, sizeof path);
        if (beyond(path, db_checkpoint_get(db.c_str())) != 0) return -1;
    }
    return 0;
}

}  // namespace

int data_dir_check_consistency(char* err, size_t errlen) {
    LogEvidence ev;
    if (scan_all_logs(&ev, err, errlen) != 0) return -1;
    if (check_unlisted_databases(ev, err, errlen) != 0) return -1;
    if (check_table_dirs(ev, err, errlen) != 0) return -1;
    return check_checkpoints(ev, err, errlen);
}
