// Segment files and table manifests.
//
// Segment ./kyreldb_data/databases/<db>/tables/<t>/segments/seg_%06llu.dat
// (legacy, read only: ./kyreldb_data/tables/<internal>/segments/). No header;
// a sequence of records, integers little-endian, no padding:
//   off 0   8 bytes   seq       checkpoint sequence (the same in every record)
//   off 8   1 byte    deleted   0 when written (non-zero is read as a tombstone)
//   off 9   4 bytes   key_len
//   off 13  4 bytes   json_len
//   off 17  key_len   primary-key text, no terminator
//   then    json_len  row JSON text, no terminator
// One record per live key, in the order the keys' newest versions stand in
// the chain (newest change first). A segment is written once: fsynced and its
// directory fsynced before the manifest may name it.
// Reading: a record whose lengths run past the end of the file, or a short
// read, ends the load; the records before it stay loaded and the damage is
// reported on standard error.
//
// Manifest .../tables/<t>/manifest.meta, four lines:
//   "TABLE=%s\n" "ACTIVE_SEGMENT=%llu\n" "NEXT_SEGMENT=%llu\n" "CHECKPOINT_SEQ=%llu\n"
// Only the two segment lines are read back. It is replaced atomically
// (temp file, fsync, rename, directory fsync). At start-up the manifest is
// the truth: segment files it does not name are removed.
#include "storage/segment.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/err.h"
#include "base/owned.h"
#include "base/stats.h"
#include "base/text_util.h"
#include "storage/db_registry.h"
#include "storage/ident.h"
#include "storage/paths.h"
#include "storage/pk_map.h"
#include "storage/row_version.h"
#include "storage/table.h"
#include "storage/wal.h"

namespace {

uint64_t g_segment_max_seq = 0;  // start-up only (single thread)

void ensure_table_dirs(const char* internal) {
    char db[64], tname[64], path[512];
    split_internal_for_path(internal, db, sizeof db, tname, sizeof tname);
    ensure_database_storage_dirs(db);
    table_dir_path(internal, path, sizeof path);
    ensure_dir(path);
}

// Segments written before keys took one form kept a string key with its JSON
// escapes and a double key as written; such a key is taken from the row
// again, so it matches what lookups build. Other keys are already in form.
std::string loaded_key(const Table* t, int key_type, const char* stored, const char* row) {
    const bool may_differ =
        key_type == COL_TYPE_DOUBLE || (key_type == COL_TYPE_STRING && strchr(stored, '\\'));
    if (!may_differ || !row) return stored;
    std::vector<char> buf(strlen(row) + 2);
    char e[128];
    if (schema_get_pk_value(t, row, buf.data(), buf.size(), e, sizeof e) != 0) return stored;
    return buf.data();
}

}  // namespace

int seen_key_list_add(SeenKeyList* list, const char* key) {
    if (!list) return -1;
    std::string_view k(key ? key : "");
    try {
        if (list->keys.count(k)) return 0;
        if (list->keys.size() >= list->limit) return -1;
        list->keys.insert(k);
    } catch (...) {
        return -1;
    }
    return 1;
}

int segment_write_latest(Table* t, uint64_t seq, uint64_t segno, char* err, size_t errlen) {
    const char* internal = t->schema.name;
    ensure_table_dirs(internal);
    char dir[512], path[512];
    table_segments_dir_path(internal, dir, sizeof dir);
    ensure_dir(dir);
    table_segment_path(internal, segno, path, sizeof path);
    FilePtr f(fopen(path, "wb"));
    if (!f) {
        set_err(err, errlen, "cannot write segment");
        return -1;
    }
    auto fail = [&](const char* msg) {
        set_err(err, errlen, msg);
        f.reset();
        unlink(path);
        return -1;
    };
    SeenKeyList seen;
    for (VersionedRow* v = t->rows; v; v = v->next) {
        int r = seen_key_list_add(&seen, v->key);
        if (r < 0) return fail("oom");
        if (r == 0 || v->deleted) continue;
        const size_t klen = strlen(v->key ? v->key : "");
        const size_t jlen = v->json ? strlen(v->json) : 0;
        if (klen > 0xFFFFFFFFull || jlen > 0xFFFFFFFFull) return fail("segment record too large");
        unsigned char head[17];
        le64_store(head, seq);
        head[8] = 0;
        le32_store(head + 9, (uint32_t)klen);
        le32_store(head + 13, (uint32_t)jlen);
        if (fwrite(head, 1, sizeof head, f.get()) != sizeof head ||
            (klen && fwrite(v->key, 1, klen, f.get()) != klen) ||
            (jlen && fwrite(v->json, 1, jlen, f.get()) != jlen))
            return fail("cannot write segment record");
    }
    if (fflush(f.get()) != 0 || fsync(fileno(f.get())) != 0)
        return fail("cannot write segment record");
    FILE* raw = f.release();
    if (fclose(raw) != 0) {
        unlink(path);
        set_err(err, errlen, "cannot write segment record");
        return -1;
    }
    fsync_dir(dir);
    return 0;
}

int manifest_save(Table* t, char* err, size_t errlen) {
    ensure_table_dirs(t->schema.name);
    char path[512];
    table_manifest_path(t->schema.name, path, sizeof path);
    char text[512];
    int n =
        snprintf(text, sizeof text,
                 "TABLE=%s\nACTIVE_SEGMENT=%llu\nNEXT_SEGMENT=%llu\nCHECKPOINT_SEQ=%llu\n",
                 t->schema.name, (unsigned long long)t->active_segment,
                 (unsigned long long)t->next_segment, (unsigned long long)g_checkpoint_seq.load());
    char werr[256];
    if (n < 0 || (size_t)n >= sizeof text ||
        meta_file_write_atomic(path, text, (size_t)n, werr, sizeof werr) != 0) {
        set_err(err, errlen, "cannot write manifest");
        return -1;
    }
    return 0;
}

int segment_remove_orphans(const Table* t) {
    char dir[512];
    table_segments_dir_path(t->schema.name, dir, sizeof dir);
    DIR* d = opendir(dir);
    if (!d) return 0;
    int removed = 0;
    while (dirent* e = readdir(d)) {
        // Only names this unit writes: "seg_" digits ".dat".
        const char* name = e->d_name;
        if (strncmp(name, "seg_", 4) != 0) continue;
        const char* digits = name + 4;
        size_t n = strspn(digits, "0123456789");
        if (n == 0 || n > 20 || strcmp(digits + n, ".dat") != 0) continue;
        errno = 0;
        const unsigned long long segno = strtoull(digits, nullptr, 10);
        if (errno == 0 && segno == t->active_segment) continue;
        const std::string path = std::string(dir) + "/" + name;
        if (unlink(path.c_str()) == 0) removed++;
    }
    closedir(d);
    if (removed) fsync_dir(dir);
    return removed;
}

int manifests_load() {
    RwReadGuard g(&g_tables.lock);
    for (int i = 0; i < g_tables.count && i < KYREL_MAX_TABLES; ++i) {
        Table* t = &g_tables.slots[i];
        if (t->dropped || !t->schema.name[0]) continue;
        char path[512];
        table_manifest_path(t->schema.name, path, sizeof path);
        meta_file_remove_leftover(path);
        FilePtr f(fopen(path, "r"));
        bool current = f != nullptr;
        bool named_active = false;
        if (!f) {
            legacy_table_manifest_path(t->schema.name, path, sizeof path);
            f.reset(fopen(path, "r"));
        }
        if (f) {
            char line[256];
            while (fgets(line, sizeof line, f.get())) {
                trim_ws(line);
                if (strncmp(line, "ACTIVE_SEGMENT=", 15) == 0) {
                    t->active_segment = strtoull(line + 15, nullptr, 10);
                    const size_t digits = strspn(line + 15, "0123456789");
                    named_active = digits > 0 && line[15 + digits] == '\0';
                } else if (strncmp(line, "NEXT_SEGMENT=", 13) == 0)
                    t->next_segment = strtoull(line + 13, nullptr, 10);
            }
        }
        if (t->next_segment == 0) t->next_segment = 1;
        // A crash between a checkpoint's manifest switch and the removal of
        // the old segment, or between a segment write and the switch, leaves
        // segment files the manifest does not name; nothing ever reads them.
        // Only a manifest of the current layout that names its segment, and
        // whose segment is there, decides this: a damaged one removes nothing.
        if (current && named_active && t->active_segment != 0) {
            table_segment_path(t->schema.name, t->active_segment, path, sizeof path);
            current = access(path, F_OK) == 0;
        }
        if (current && named_active) segment_remove_orphans(t);
    }
    return 0;
}

int segment_load_for_table(Table* t) {
    if (t->active_segment == 0) return 0;
    char path[512];
    table_segment_path(t->schema.name, t->active_segment, path, sizeof path);
    FilePtr f(fopen(path, "rb"));
    if (!f) {
        legacy_table_segment_path(t->schema.name, t->active_segment, path, sizeof path);
        f.reset(fopen(path, "rb"));
    }
    if (!f) return 0;
    struct stat st;
    if (fstat(fileno(f.get()), &st) != 0) return 0;
    const uint64_t size = (uint64_t)st.st_size;
    uint64_t pos = 0;
    uint64_t loaded_mem = 0;
    const int pk_col = schema_get_col(&t->schema, t->schema.primary_key);
    const int key_type = pk_col >= 0 ? t->schema.columns[pk_col].type : COL_TYPE_STRING;
    while (pos < size) {
        unsigned char head[17];
        const char* problem = nullptr;
        std::unique_ptr<char[]> key, json;
        if (size - pos < sizeof head || read_exact_file(f.get(), head, sizeof head) != 0) {
            problem = "short record header";
        } else {
            const uint64_t seq = le64_load(head);
            const uint32_t klen = le32_load(head + 9);
            const uint32_t jlen = le32_load(head + 13);
            const uint64_t left = size - pos - sizeof head;
            if ((uint64_t)klen + jlen > left) {
                problem = "record lengths past end of file";
            } else {
                key.reset(new (std::nothrow) char[(size_t)klen + 1]);
                json.reset(new (std::nothrow) char[(size_t)jlen + 1]);
                if (!key || !json) {
                    problem = "out of memory";
                } else if (read_exact_file(f.get(), key.get(), klen) != 0 ||
                           read_exact_file(f.get(), json.get(), jlen) != 0) {
                    problem = "short record";
                } else {
                    key[klen] = '\0';
                    json[jlen] = '\0';
                    // A tombstone (never written, but readable) carries no row text.
                    const bool deleted = head[8] != 0;
                    const std::string k = deleted ? std::string(key.get())
                                                  : loaded_key(t, key_type, key.get(), json.get());
                    VersionedRow* v =
                        versioned_row_new(seq, k.c_str(), deleted ? nullptr : json.get(), deleted);
                    if (!v) {
                        problem = "out of memory";
                    } else {
                        v->next = t->rows;
                        t->rows = v;
                        pk_latest_map_update(t, v);
                        t->row_memory_bytes += v->mem_size;
                        loaded_mem += v->mem_size;
                        if (seq > g_segment_max_seq) g_segment_max_seq = seq;
                        pos += sizeof head + klen + jlen;
                    }
                }
            }
        }
        if (problem) {
            fprintf(stderr, "corrupt segment %s at offset %llu: %s; later records ignored\n", path,
                    (unsigned long long)pos, problem);
            break;
        }
    }
    mem_add((int64_t)loaded_mem);
    return 0;
}

int load_segments() {
    {
        RwReadGuard g(&g_tables.lock);
        for (int i = 0; i < g_tables.count && i < KYREL_MAX_TABLES; ++i) {
            Table* t = &g_tables.slots[i];
            if (t->dropped || !t->schema.name[0]) continue;
            segment_load_for_table(t);
        }
    }
    // New writes must be numbered above every row loaded from a segment.
    if (g_segment_max_seq > 0) bump_seq(g_segment_max_seq);
    return 0;
}

uint64_t segment_max_loaded_seq() { return g_segment_max_seq; }
