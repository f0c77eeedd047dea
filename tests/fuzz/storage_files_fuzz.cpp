// Fuzz targets of the files the server reads at start-up, one binary per
// file (KYREL_FUZZ_FILE): the input takes the place of that file in a small
// but complete data directory, and the storage is loaded the way start-up
// loads it (registry, checkpoint files, catalogs, manifests, index
// definitions, segments, log replay, index rebuild).
//
//   wal          databases/shop/main.wal
//   segment      the active segment of shop's table items
//   manifest     items' manifest.meta
//   catalog      databases/shop/catalog.meta
//   indexes_meta items' indexes.meta
//   idx          items' items_email.idx, read by look-ups once the in-memory
//                maps are marked unusable (after the load, which rewrites it)
//   checkpoint   the bootstrap and shop's checkpoint.meta
//   databases    databases.meta
//
// The directory is built once by the storage code itself (a table with a
// unique and a composite index, rows, a checkpoint, more writes after it),
// kept as bytes, and laid out again before every input.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "base/config.h"
#include "base/text_util.h"
#include "exec/row_change.h"
#include "fuzz_input.h"
#include "query/ddl_parse.h"
#include "query/simple_parse.h"
#include "runtime/wal_replay.h"
#include "storage/catalog.h"
#include "storage/checkpoint.h"
#include "storage/db_registry.h"
#include "storage/ident.h"
#include "storage/index_file.h"
#include "storage/paths.h"
#include "storage/row_changes.h"
#include "storage/sec_index.h"
#include "storage/segment.h"
#include "storage/table.h"
#include "storage/wal.h"
#include "storage_reset.h"

#ifndef KYREL_FUZZ_FILE
#error "KYREL_FUZZ_FILE names the file the input replaces"
#endif

namespace {

const char* const kTable = "shop__items";
const char* const kTableDir = "kyreldb_data/databases/shop/tables/items";

std::string g_dir;                           // the working directory of the target
std::map<std::string, std::string> g_files;  // the data directory as built: path -> bytes

void fail(const char* what, const char* err) {
    fprintf(stderr, "fuzz set-up failed: %s: %s\n", what, err);
    abort();
}

void mkdirs_for(const std::string& path) {
    for (size_t p = path.find('/'); p != std::string::npos; p = path.find('/', p + 1))
        mkdir(path.substr(0, p).c_str(), 0755);
}

void write_file(const std::string& path, const std::string& bytes) {
    mkdirs_for(path);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

void snapshot(const std::string& dir) {
    std::vector<std::string> stack{dir};
    while (!stack.empty()) {
        std::string d = stack.back();
        stack.pop_back();
        std::unique_ptr<DIR, int (*)(DIR*)> h(opendir(d.c_str()), closedir);
        if (!h) continue;
        while (dirent* e = readdir(h.get())) {
            if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
            const std::string path = d + "/" + e->d_name;
            struct stat st;
            if (stat(path.c_str(), &st) != 0) continue;
            if (S_ISDIR(st.st_mode)) {
                stack.push_back(path);
            } else {
                std::ifstream in(path, std::ios::binary);
                std::stringstream ss;
                ss << in.rdbuf();
                g_files[path] = ss.str();
            }
        }
    }
}

void insert_row(const char* key, const char* row) {
    char err[256] = "";
    uint64_t seq = next_seq();
    const char* rows[] = {row};
    const char* keys[] = {key};
    if (table_apply_insert_batch_with_wal(kTable, rows, keys, &seq, 1, err, sizeof err) != 0)
        fail("insert", err);
}

void add_index(const char* sql) {
    char err[256] = "", table[64];
    IndexDef def;
    int if_not_exists = 0;
    if (parse_create_index_def(sql, table, sizeof table, &def, &if_not_exists, err, sizeof err) !=
        0)
        fail("index", err);
    Table* t = &g_tables.slots[table_find_index(kTable)];
    RwWriteGuard g(&t->lock);
    t->indexes[t->index_count++] = def;
    if (indexes_meta_save(t, err, sizeof err) != 0 || rebuild_table_indexes(t, err, sizeof err))
        fail("index files", err);
}

void build_data_dir() {
    config_reset_defaults();
    g_cfg.wal_sync_every = 1;
    ensure_parent_dirs();
    char err[256] = "";
    if (databases_load(err, sizeof err) != 0 || database_create("shop", err, sizeof err) != 0)
        fail("database", err);
    wal_append_record(WAL_OP_CREATE_DATABASE, next_seq(), "shop", "", "", err, sizeof err);
    const char* create = "CREATE TABLE items (id int PRIMARY KEY, email string, n int, d double)";
    TableSchema schema{};
    if (parse_create_table_sql(create, &schema, err, sizeof err) != 0 ||
        table_create(kTable, &schema, err, sizeof err) != 0 ||
        catalog_save_db("shop", err, sizeof err) != 0 ||
        wal_append_record(WAL_OP_CREATE_TABLE, next_seq(), kTable, "", create, err, sizeof err))
        fail("table", err);
    add_index("CREATE UNIQUE INDEX items_email ON items (email)");
    add_index("CREATE INDEX items_nd ON items (n DESC, d ASC NULLS FIRST)");
    char key[16], row[128];
    for (int i = 1; i <= 9; i++) {
        snprintf(key, sizeof key, "%d", i);
        snprintf(row, sizeof row, R"({"id":%d,"email":"e%d@x","n":%d,"d":%d.5})", i, i, i % 3, i);
        insert_row(key, row);
        if (i == 6) {
            std::lock_guard<std::mutex> g(g_checkpoint_lock);
            if (checkpoint_all_tables(err, sizeof err) != 0) fail("checkpoint", err);
        }
    }
    // An update and a delete after the checkpoint, logged as the commit
    // thread logs them.
    const char* updated = R"({"id":2,"email":"new@x","n":7,"d":7.25})";
    uint64_t seq = next_seq();
    if (table_apply_insert(kTable, seq, updated, err, sizeof err) != 0 ||
        wal_append_record(WAL_OP_UPDATE, seq, kTable, "2", updated, err, sizeof err) != 0)
        fail("update", err);
    seq = next_seq();
    if (table_apply_delete(kTable, seq, "3", err, sizeof err) != 0 ||
        wal_append_record(WAL_OP_DELETE, seq, kTable, "3", "", err, sizeof err) != 0)
        fail("delete", err);
    wal_writer_close();
    snapshot("kyreldb_data");
    kyrel_storage::drop_memory_state();
}

// The path(s) the input replaces; the segment's is found in the snapshot.
std::vector<std::string> target_paths() {
    const std::string f = KYREL_FUZZ_FILE, t = kTableDir;
    if (f == "wal") return {"kyreldb_data/databases/shop/main.wal"};
    if (f == "manifest") return {t + "/manifest.meta"};
    if (f == "catalog") return {"kyreldb_data/databases/shop/catalog.meta"};
    if (f == "indexes_meta") return {t + "/indexes.meta"};
    if (f == "idx") return {t + "/items_email.idx"};
    if (f == "checkpoint")
        return {"kyreldb_data/bootstrap.checkpoint.meta",
                "kyreldb_data/databases/shop/checkpoint.meta"};
    if (f == "databases") return {"kyreldb_data/databases.meta"};
    for (const auto& [path, bytes] : g_files)
        if (path.find(t + "/segments/seg_") == 0) return {path};
    fail("target", "no segment in the data directory");
    return {};
}

// Look-ups that have to read the index file.
void look_up_through_file(const std::string& operand) {
    int slot = table_find_index(kTable);
    if (slot < 0) return;
    Table* t = &g_tables.slots[slot];
    t->sec_maps_invalid = 1;
    char err[256];
    for (const char* op : {"=", ">", "<=", "!="}) {
        for (const char* value : {"e1@x", "\"e5@x\"", operand.c_str()}) {
            char** keys = nullptr;
            int count = 0;
            if (lookup_keys_from_index(t, "email", op, value, &keys, &count, err, sizeof err) == 0)
                free_string_array(keys, count);
        }
    }
    for (int pos = 0; pos < 2; pos++) {
        char** keys = nullptr;
        int count = 0;
        if (lookup_keys_from_index_exact(t, pos, operand.c_str(), &keys, &count, err, sizeof err) ==
            0)
            free_string_array(keys, count);
    }
}

void remove_dir() {
    if (g_dir.empty()) return;
    char err[256];
    if (chdir("/") == 0) remove_path_recursive(g_dir.c_str(), err, sizeof err);
}

}  // namespace

// Durability is not what is fuzzed here, and a sync per metadata file would
// leave a few hundred inputs a second: the target's own no-op syncs take the
// place of the C library's.
extern "C" int fsync(int) { return 0; }
extern "C" int fdatasync(int) { return 0; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kyrel_fuzz_XXXXXX";
    if (!mkdtemp(tmpl.data()) || chdir(tmpl.c_str()) != 0) fail("temp dir", tmpl.c_str());
    g_dir = tmpl;
    atexit(remove_dir);
    build_data_dir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input = kyrel_fuzz::text(data, size);
    char err[256];
    remove_path_recursive("kyreldb_data", err, sizeof err);
    for (const auto& [path, bytes] : g_files) write_file(path, bytes);
    const bool idx = std::string(KYREL_FUZZ_FILE) == "idx";
    if (!idx)
        for (const std::string& path : target_paths()) write_file(path, input);
    kyrel_storage::load_storage(err, sizeof err);
    if (idx) {
        write_file(target_paths()[0], input);
        // A value taken from the input, so values of its lines can match.
        look_up_through_file(input.substr(0, input.find('\t')));
    }
    kyrel_storage::drop_memory_state();
    return 0;
}
