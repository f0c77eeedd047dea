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
// Reading: the file must be whole. A short or cut record, a seq that differs
// from the file's, a tombstone, a row that is not a JSON object or whose key
// member does not give the record's key stop start-up with a message naming
// the file, the record and its offset.
//
// Manifest .../tables/<t>/manifest.meta, four lines:
//   "TABLE=%s\n" "ACTIVE_SEGMENT=%llu\n" "NEXT_SEGMENT=%llu\n" "CHECKPOINT_SEQ=%llu\n"
// Only the two segment lines are read back. It is replaced atomically
// (temp file, fsync, rename, directory fsync). At start-up the manifest is
// the truth: segment files it does not name are removed. A manifest that is
// cut, holds another line or lacks ACTIVE_SEGMENT, one that names a missing
// segment, and a missing manifest beside segment files stop start-up.
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
#include "base/json_text.h"
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

std::string segment_dir_first_file(const char* dir) {
    std::string found;
    DIR* d = opendir(dir);
    if (!d) return found;
    while (dirent* e = readdir(d)) {
        const char* name = e->d_name;
        if (strncmp(name, "seg_", 4) != 0) continue;
        const size_t n = strspn(name + 4, "0123456789");
        if (n == 0 || strcmp(name + 4 + n, ".dat") != 0) continue;
        found = name;
        break;
    }
    closedir(d);
    return found;
}

namespace {

// Parses a manifest's text into the table's numbers. -1 with
// "<path>: <what is wrong>": the file is replaced whole, so a cut, a line of
// another form or a missing ACTIVE_SEGMENT line is damage, and reading
// around it would drop every checkpointed row.
int parse_manifest(Table* t, const char* path, const std::string& text, bool* named_active,
                   char* err, size_t errlen) {
    if (text.empty() || text.back() != '\n') {
        set_errf(err, errlen, "%s: is %s", path,
                 text.empty() ? "empty" : "cut short (its last line has no line feed)");
        return -1;
    }
    bool active_seen = false;
    bool bad_line = false;
    std::vector<std::string> lines;
    int lineno = text_lines(text, 255, &lines);
    if (lineno == 0) {
        for (const std::string& line : lines) {
            lineno++;
            if (line.empty()) continue;
            auto number = [&](size_t prefix, uint64_t* out) {
                const char* digits = line.c_str() + prefix;
                const size_t n = strspn(digits, "0123456789");
                if (n == 0 || n > 20 || digits[n] != '\0') return false;
                errno = 0;
                *out = strtoull(digits, nullptr, 10);
                return errno == 0;
            };
            uint64_t v = 0;
            if (line.compare(0, 15, "ACTIVE_SEGMENT=") == 0) {
                bad_line = !number(15, &v);
                t->active_segment = v;
                active_seen = true;
            } else if (line.compare(0, 13, "NEXT_SEGMENT=") == 0) {
                bad_line = !number(13, &v);
                t->next_segment = v;
            } else if (line.compare(0, 15, "CHECKPOINT_SEQ=") == 0) {
                bad_line = !number(15, &v);
            } else {
                bad_line = line.compare(0, 6, "TABLE=") != 0;
            }
            if (bad_line) break;
        }
    } else {
        bad_line = true;
    }
    if (bad_line) {
        set_errf(err, errlen, "%s: line %d is not a manifest line", path, lineno);
        return -1;
    }
    if (!active_seen) {
        set_errf(err, errlen, "%s: has no ACTIVE_SEGMENT line", path);
        return -1;
    }
    *named_active = true;
    return 0;
}

}  // namespace

int manifests_load(char* err, size_t errlen) {
    RwReadGuard g(&g_tables.lock);
    for (int i = 0; i < g_tables.count && i < KYREL_MAX_TABLES; ++i) {
        Table* t = &g_tables.slots[i];
        if (t->dropped || !t->schema.name[0]) continue;
        char path[512];
        table_manifest_path(t->schema.name, path, sizeof path);
        meta_file_remove_leftover(path);
        std::string text;
        int got = read_file_whole(path, &text, err, errlen);
        if (got < 0) return -1;
        const bool current = got == 0;
        if (!current) {
            legacy_table_manifest_path(t->schema.name, path, sizeof path);
            got = read_file_whole(path, &text, err, errlen);
            if (got < 0) return -1;
        }
        bool named_active = false;
        if (got == 0) {
            if (parse_manifest(t, path, text, &named_active, err, errlen) != 0) return -1;
        } else {
            // No manifest: a table that was never checkpointed, unless its
            // directory holds segments, whose rows would then be lost.
            char dir[512];
            table_segments_dir_path(t->schema.name, dir, sizeof dir);
            const std::string seg = segment_dir_first_file(dir);
            table_manifest_path(t->schema.name, path, sizeof path);
            if (!seg.empty()) {
                set_errf(err, errlen, "%s: is missing, but %s/%s holds rows of table %s", path, dir,
                         seg.c_str(), t->schema.name);
                return -1;
            }
        }
        if (t->next_segment == 0) t->next_segment = 1;
        // The segment a manifest names is written and synced before the
        // manifest names it, so a missing one is damage.
        if (named_active && t->active_segment != 0) {
            char seg[512];
            if (current)
                table_segment_path(t->schema.name, t->active_segment, seg, sizeof seg);
            else
                legacy_table_segment_path(t->schema.name, t->active_segment, seg, sizeof seg);
            if (access(seg, F_OK) != 0) {
                set_errf(err, errlen, "%s: names segment %s, which is missing", path, seg);
                return -1;
            }
        }
        // A crash between a checkpoint's manifest switch and the removal of
        // the old segment, or between a segment write and the switch, leaves
        // segment files the manifest does not name; nothing ever reads them.
        if (current && named_active) segment_remove_orphans(t);
    }
    return 0;
}

int segment_load_for_table(Table* t, char* err, size_t errlen) {
    if (t->active_segment == 0) return 0;
    char path[512];
    table_segment_path(t->schema.name, t->active_segment, path, sizeof path);
    FilePtr f(fopen(path, "rb"));
    if (!f) {
        legacy_table_segment_path(t->schema.name, t->active_segment, path, sizeof path);
        f.reset(fopen(path, "rb"));
    }
    if (!f) {
        table_segment_path(t->schema.name, t->active_segment, path, sizeof path);
        set_errf(err, errlen, "%s: cannot open: %s", path, strerror(errno));
        return -1;
    }
    struct stat st;
    if (fstat(fileno(f.get()), &st) != 0) {
        set_errf(err, errlen, "%s: cannot read: %s", path, strerror(errno));
        return -1;
    }
    const uint64_t size = (uint64_t)st.st_size;
    uint64_t pos = 0;
    uint64_t loaded_mem = 0;
    uint64_t record = 0;
    uint64_t file_seq = 0;
    const int pk_col = schema_get_col(&t->schema, t->schema.primary_key);
    const int key_type = pk_col >= 0 ? t->schema.columns[pk_col].type : COL_TYPE_STRING;
    // A segment is written whole and synced before its manifest names it, so
    // every record must be whole and hold what the writer writes: the same
    // seq throughout, no tombstone, a JSON object whose key member gives the
    // record's key. Anything else is damage; loading around it would lose
    // rows or serve text that is not JSON.
    std::string problem;
    while (pos < size && problem.empty()) {
        record++;
        unsigned char head[17];
        std::unique_ptr<char[]> key, json;
        if (size - pos < sizeof head || read_exact_file(f.get(), head, sizeof head) != 0) {
            problem = "short record header (the file is cut short)";
            break;
        }
        const uint64_t seq = le64_load(head);
        const uint32_t klen = le32_load(head + 9);
        const uint32_t jlen = le32_load(head + 13);
        const uint64_t left = size - pos - sizeof head;
        if ((uint64_t)klen + jlen > left) {
            problem = "record lengths run past the end of the file";
            break;
        }
        if (record == 1) file_seq = seq;
        if (seq != file_seq) {
            problem = "record seq differs from the file's";
            break;
        }
        if (head[8] != 0) {
            problem = "record is marked deleted, which segments never hold";
            break;
        }
        key.reset(new (std::nothrow) char[(size_t)klen + 1]);
        json.reset(new (std::nothrow) char[(size_t)jlen + 1]);
        if (!key || !json) {
            problem = "out of memory";
            break;
        }
        if (read_exact_file(f.get(), key.get(), klen) != 0 ||
            read_exact_file(f.get(), json.get(), jlen) != 0) {
            problem = "short record";
            break;
        }
        key[klen] = '\0';
        json[jlen] = '\0';
        if (strlen(key.get()) != klen) {
            problem = "record key holds a NUL byte";
            break;
        }
        if (!json_text_is_object(json.get(), jlen)) {
            problem = "row is not a valid JSON object";
            break;
        }
        std::string k = key.get();
        if (pk_col >= 0) {
            std::vector<char> buf((size_t)jlen + 2);
            char e[128] = "";
            if (schema_get_pk_value(t, json.get(), buf.data(), buf.size(), e, sizeof e) != 0) {
                problem = std::string("row lacks its key (") + e + ")";
                break;
            }
            // Keys once kept in another form (see loaded_key) are taken from
            // the row; every other key must be the row's own.
            const std::string from_row = buf.data();
            if (from_row != k && loaded_key(t, key_type, k.c_str(), json.get()) != from_row) {
                problem = "record key differs from the row's key";
                break;
            }
            k = from_row;
        }
        VersionedRow* v = versioned_row_new(seq, k.c_str(), json.get(), false);
        if (!v) {
            problem = "out of memory";
            break;
        }
        v->next = t->rows;
        t->rows = v;
        pk_latest_map_update(t, v);
        t->row_memory_bytes += v->mem_size;
        loaded_mem += v->mem_size;
        if (seq > g_segment_max_seq) g_segment_max_seq = seq;
        pos += sizeof head + klen + jlen;
    }
    mem_add((int64_t)loaded_mem);
    if (!problem.empty()) {
        set_errf(err, errlen, "%s: record %llu at offset %llu: %s", path,
                 (unsigned long long)record, (unsigned long long)pos, problem.c_str());
        return -1;
    }
    return 0;
}

int load_segments(char* err, size_t errlen) {
    {
        RwReadGuard g(&g_tables.lock);
        for (int i = 0; i < g_tables.count && i < KYREL_MAX_TABLES; ++i) {
            Table* t = &g_tables.slots[i];
            if (t->dropped || !t->schema.name[0]) continue;
            if (segment_load_for_table(t, err, errlen) != 0) return -1;
        }
    }
    // New writes must be numbered above every row loaded from a segment.
    if (g_segment_max_seq > 0) bump_seq(g_segment_max_seq);
    return 0;
}

uint64_t segment_max_loaded_seq() { return g_segment_max_seq; }
