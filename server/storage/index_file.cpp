// Index files.
//
// indexes.meta (.../tables/<t>/indexes.meta; legacy, read only:
// ./kyreldb_data/tables/<internal>/indexes.meta): one line per IndexDef in the
// table's index order, each ended by a line feed. Written form:
//   "INDEX3 %s %s %d %d %d %d" name, method, unique, fillfactor,
//                               deduplicate_items, column count
//   then per column (at most 8) " %s %d %d": name, ascending, nulls_first
// Also read: "INDEX2 " lines (no unique field) and "INDEX %s %s" (name and one
// column). At most 32 definitions per table. The file is replaced atomically
// (temp file, fsync, rename, directory fsync). Reading it must succeed whole:
// a cut file, an unknown or malformed line, a repeated name, more than 32
// definitions or an index over a column the table lacks stop start-up.
//
// <index>.idx (.../tables/<t>/<index>.idx): an append-only event log, lines
// "%c\t%s\t%s\n": 'I' (the key has this value) or 'D' (the key left the index,
// empty value), the index value and the primary key, both JSON-escaped. The
// last line for a key decides. A row without a value for the index gets no
// 'I' line. The files are a cache rebuilt from the rows at start-up, so they
// are not synced; an incomplete last line is ignored when reading.
#include "storage/index_file.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/config.h"
#include "base/err.h"
#include "base/json_text.h"
#include "base/owned.h"
#include "base/text_util.h"
#include "storage/db_registry.h"
#include "storage/ident.h"
#include "storage/index_values.h"
#include "storage/paths.h"
#include "storage/row_version.h"
#include "storage/sec_index.h"
#include "storage/segment.h"
#include "storage/table.h"

namespace {

bool parse_num(const std::string& s, long* out) {
    char* end = nullptr;
    long v = strtol(s.c_str(), &end, 10);
    if (end == s.c_str()) return false;
    *out = v;
    return true;
}

// INDEX3 (with_unique) or INDEX2 line into def; false when a field is missing.
bool parse_index_line(const char* line, bool with_unique, IndexDef* def) {
    std::vector<std::string> f = split_blanks(line);
    size_t i = 1;  // skip the keyword
    indexdef_init(def);
    auto need = [&](size_t n) { return i + n <= f.size(); };
    if (!need(2)) return false;
    snprintf(def->name, sizeof def->name, "%s", f[i++].c_str());
    snprintf(def->method, sizeof def->method, "%s", f[i++].c_str());
    long v;
    if (with_unique) {
        if (!need(1) || !parse_num(f[i++], &v)) return false;
        def->unique = v != 0;
    }
    if (!need(3) || !parse_num(f[i++], &v)) return false;
    def->fillfactor = (int32_t)v;
    {
        const std::string& word = f[i++];
        int on = parse_onoff(word.c_str(), -1);
        if (on == -1) on = atol(word.c_str()) != 0;
        def->deduplicate_items = on ? 1 : 0;
    }
    long count;
    if (!parse_num(f[i++], &count) || count < 1 || count > KYREL_MAX_INDEX_COLUMNS) return false;
    if (!need((size_t)count * 3)) return false;
    def->column_count = (int32_t)count;
    for (long c = 0; c < count; ++c) {
        IndexColumn& col = def->columns[c];
        snprintf(col.name, sizeof col.name, "%s", f[i++].c_str());
        long a, n;
        if (!parse_num(f[i++], &a) || !parse_num(f[i++], &n)) return false;
        col.ascending = a != 0;
        col.nulls_first = n != 0;
    }
    snprintf(def->column, sizeof def->column, "%s", def->columns[0].name);
    indexdef_ensure_defaults(def);
    return i == f.size();  // nothing may follow the last column
}

using IdxEntry = IndexFileEntry;

// Scans an .idx file: one entry per key in order of first appearance, the
// last line for a key deciding its value and deleted flag. 1 when the file is
// missing, 0 with the entries, -1 "oom".
int scan_index_file(const char* path, std::vector<IdxEntry>* out, char* err, size_t errlen) {
    FilePtr f(fopen(path, "r"));
    if (!f) return 1;
    std::unordered_map<std::string, size_t> pos;
    char* line = nullptr;
    size_t cap = 0;
    ssize_t n;
    int rc = 0;
    try {
        while ((n = getline(&line, &cap, f.get())) > 0) {
            if (line[n - 1] != '\n') break;  // incomplete append in progress
            line[n - 1] = '\0';
            char* t1 = strchr(line, '\t');
            if (!t1) continue;
            char* t2 = strchr(t1 + 1, '\t');
            if (!t2) continue;
            const char ev = line[0];
            *t2 = '\0';
            CStr value(json_unescape_fragment(t1 + 1));
            CStr key(json_unescape_fragment(t2 + 1));
            if (!value || !key) {
                set_err(err, errlen, "oom");
                rc = -1;
                break;
            }
            auto it = pos.find(key.get());
            if (it == pos.end()) {
                pos.emplace(key.get(), out->size());
                out->push_back({key.get(), value.get(), ev == 'D'});
            } else {
                (*out)[it->second].value = value.get();
                (*out)[it->second].deleted = ev == 'D';
            }
        }
    } catch (...) {
        set_err(err, errlen, "oom");
        rc = -1;
    }
    free(line);
    return rc;
}

int keys_to_array(const std::vector<const std::string*>& keys, char*** out_keys, int* out_count,
                  char* err, size_t errlen) {
    char** arr = (char**)calloc(keys.size() + 1, sizeof(char*));
    if (!arr) {
        set_err(err, errlen, "oom");
        return -1;
    }
    for (size_t i = 0; i < keys.size(); ++i) {
        arr[i] = xstrdup(keys[i]->c_str());
        if (!arr[i]) {
            free_string_array(arr, (int)i);
            set_err(err, errlen, "oom");
            return -1;
        }
    }
    *out_keys = arr;
    *out_count = (int)keys.size();
    return 0;
}

}  // namespace

namespace {

// Appends text at *len in dest (cap bytes), cutting at the end like snprintf;
// dest stays terminated.
void path_append(char* dest, size_t cap, size_t* len, const char* text) {
    size_t n = strlen(text);
    if (*len + 1 >= cap) return;
    size_t room = cap - 1 - *len;
    if (n > room) n = room;
    memcpy(dest + *len, text, n);
    *len += n;
    dest[*len] = '\0';
}

}  // namespace

void table_indexes_meta_path(const char* internal, char* dest, size_t cap) {
    if (!dest || cap == 0) return;
    char dir[512];
    table_dir_path(internal, dir, sizeof dir);
    size_t len = 0;
    dest[0] = '\0';
    path_append(dest, cap, &len, dir);
    path_append(dest, cap, &len, "/indexes.meta");
}

void table_index_file_path(const char* internal, const char* index_name, char* dest, size_t cap) {
    if (!dest || cap == 0) return;
    char dir[512], name[64];
    table_dir_path(internal, dir, sizeof dir);
    path_copy_component(name, sizeof name, index_name);
    size_t len = 0;
    dest[0] = '\0';
    path_append(dest, cap, &len, dir);
    path_append(dest, cap, &len, "/");
    path_append(dest, cap, &len, name);
    path_append(dest, cap, &len, ".idx");
}

int table_find_indexdef(const Table* t, const char* name) {
    if (!t || !name) return -1;
    for (int i = 0; i < t->index_count && i < KYREL_MAX_INDEXES; ++i)
        if (strcasecmp(t->indexes[i].name, name) == 0) return i;
    return -1;
}

int table_find_indexdef_by_column(const Table* t, const char* column) {
    if (!t || !column) return -1;
    for (int i = 0; i < t->index_count && i < KYREL_MAX_INDEXES; ++i) {
        const IndexDef& d = t->indexes[i];
        const char* first = d.column[0] ? d.column : d.columns[0].name;
        if (strcasecmp(first, column) == 0) return i;
    }
    return -1;
}

int indexes_meta_save(Table* t, char* err, size_t errlen) {
    std::string text;
    for (int i = 0; i < t->index_count && i < KYREL_MAX_INDEXES; ++i) {
        IndexDef* d = &t->indexes[i];
        indexdef_ensure_defaults(d);
        char line[1024];
        int cols = d->column_count < 1 ? 1 : d->column_count;
        if (cols > KYREL_MAX_INDEX_COLUMNS) cols = KYREL_MAX_INDEX_COLUMNS;
        snprintf(line, sizeof line, "INDEX3 %s %s %d %d %d %d", d->name,
                 d->method[0] ? d->method : "btree", d->unique ? 1 : 0, (int)d->fillfactor,
                 d->deduplicate_items ? 1 : 0, cols);
        text += line;
        for (int c = 0; c < cols; ++c) {
            snprintf(line, sizeof line, " %s %d %d", d->columns[c].name,
                     d->columns[c].ascending ? 1 : 0, d->columns[c].nulls_first ? 1 : 0);
            text += line;
        }
        text += "\n";
    }
    char dir[512], path[512], werr[256];
    table_dir_path(t->schema.name, dir, sizeof dir);
    ensure_dir(dir);
    table_indexes_meta_path(t->schema.name, path, sizeof path);
    if (meta_file_write_atomic(path, text.data(), text.size(), werr, sizeof werr) != 0) {
        set_err(err, errlen, "cannot write indexes meta");
        return -1;
    }
    return 0;
}

namespace {

bool table_has_column_ci(const Table* t, const char* name) {
    for (int c = 0; c < t->schema.column_count && c < KYREL_MAX_COLUMNS; ++c)
        if (strcasecmp(t->schema.columns[c].name, name) == 0) return true;
    return false;
}

// Reads one table's indexes.meta text into its definitions. -1 with
// "<path>: <what is wrong>": the file is replaced whole, so a cut, a line of
// no known form, a repeated name or an index over a column the table does not
// have is damage, and skipping it would drop an index (a unique one lets
// duplicates in) without a word.
int parse_indexes_meta(Table* t, const char* path, const std::string& text, char* err,
                       size_t errlen) {
    if (meta_text_check_whole(path, text, err, errlen) != 0) return -1;
    auto bad = [&](int lineno, const char* what) {
        set_errf(err, errlen, "%s: line %d: %s", path, lineno, what);
        return -1;
    };
    std::vector<std::string> lines;
    if (int n = text_lines(text, 2047, &lines)) return bad(n, "not an index line");
    int lineno = 0;
    for (const std::string& text_line : lines) {
        lineno++;
        const char* line = text_line.c_str();
        if (!line[0]) continue;
        IndexDef def;
        bool ok = false;
        if (ci_starts(line, "INDEX3 ")) {
            ok = parse_index_line(line, true, &def);
        } else if (ci_starts(line, "INDEX2 ")) {
            ok = parse_index_line(line, false, &def);
        } else if (ci_starts(line, "INDEX ")) {
            std::vector<std::string> f = split_blanks(line);
            if (f.size() == 3 && f[1].size() < 64 && f[2].size() < 64) {
                indexdef_init(&def);
                snprintf(def.name, sizeof def.name, "%s", f[1].c_str());
                snprintf(def.column, sizeof def.column, "%s", f[2].c_str());
                indexdef_ensure_defaults(&def);
                ok = true;
            }
        }
        if (!ok) return bad(lineno, "not an index line");
        if (t->index_count >= KYREL_MAX_INDEXES)
            return bad(lineno, "more indexes than a table can hold");
        if (table_find_indexdef(t, def.name) >= 0) return bad(lineno, "index listed twice");
        const int cols = def.column_count < 1 ? 1 : def.column_count;
        for (int c = 0; c < cols && c < KYREL_MAX_INDEX_COLUMNS; ++c) {
            const char* col = c == 0 && !def.columns[0].name[0] ? def.column : def.columns[c].name;
            if (!table_has_column_ci(t, col)) {
                set_errf(err, errlen,
                         "%s: line %d: index %s is over column %s, which table %s does not have",
                         path, lineno, def.name, col, t->schema.name);
                return -1;
            }
        }
        t->indexes[t->index_count++] = def;
    }
    return 0;
}

}  // namespace

int load_indexes_meta(char* err, size_t errlen) {
    RwWriteGuard g(&g_tables.lock);
    for (int i = 0; i < g_tables.count && i < KYREL_MAX_TABLES; ++i) {
        Table* t = &g_tables.slots[i];
        if (t->dropped || !t->schema.name[0]) continue;
        char path[512];
        table_indexes_meta_path(t->schema.name, path, sizeof path);
        meta_file_remove_leftover(path);
        std::string text;
        int got = read_file_whole(path, &text, err, errlen);
        if (got == 1) {
            legacy_table_indexes_meta_path(t->schema.name, path, sizeof path);
            got = read_file_whole(path, &text, err, errlen);
        }
        if (got < 0) return -1;
        if (got == 1) continue;  // no indexes
        if (parse_indexes_meta(t, path, text, err, errlen) != 0) return -1;
    }
    return 0;
}

namespace {

// One .idx line, "%c\t%s\t%s\n" with value and key JSON-escaped, appended to
// *out. -1 "oom".
int index_line_text(char event, const char* value, const char* key, std::string* out, char* err,
                    size_t errlen) {
    CStr v(json_escape_string(event == 'D' ? "" : value));
    CStr k(json_escape_string(key));
    if (!v || !k) {
        set_err(err, errlen, "oom");
        return -1;
    }
    try {
        out->push_back(event);
        out->push_back('\t');
        out->append(v.get());
        out->push_back('\t');
        out->append(k.get());
        out->push_back('\n');
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    return 0;
}

}  // namespace

int index_append_record_fp(FILE* fp, char event, const char* value, const char* key, char* err,
                           size_t errlen) {
    if (!fp) {
        set_err(err, errlen, "invalid index file");
        return -1;
    }
    std::string line;
    if (index_line_text(event, value, key, &line, err, errlen) != 0) return -1;
    if (fwrite(line.data(), 1, line.size(), fp) != line.size()) {
        set_err(err, errlen, "cannot append index file");
        return -1;
    }
    return 0;
}

int index_append_record(Table* t, int index_pos, char event, const char* value, const char* key,
                        char* err, size_t errlen) {
    if (!t || index_pos < 0 || index_pos >= t->index_count || index_pos >= KYREL_MAX_INDEXES) {
        set_err(err, errlen, "invalid index file");
        return -1;
    }
    char path[512];
    table_index_file_path(t->schema.name, t->indexes[index_pos].name, path, sizeof path);
    FilePtr f(fopen(path, "a"));
    if (!f) {
        set_err(err, errlen, "cannot append index file");
        return -1;
    }
    if (index_append_record_fp(f.get(), event, value, key, err, errlen) != 0) return -1;
    if (fclose(f.release()) != 0) {
        set_err(err, errlen, "cannot append index file");
        return -1;
    }
    return 0;
}

int index_append_row_events(Table* t, const char* row_json, const char* key, char event, char* err,
                            size_t errlen) {
    for (int i = 0; i < t->index_count && i < KYREL_MAX_INDEXES; ++i) {
        if (event == 'D') {
            if (index_append_record(t, i, 'D', "", key, err, errlen) != 0) return -1;
            continue;
        }
        char* raw = nullptr;
        int r = index_build_value_for_row(t, &t->indexes[i], row_json, &raw, err, errlen);
        CStr value(raw);
        if (r < 0) return -1;
        if (r == 1) continue;
        if (index_append_record(t, i, 'I', value.get(), key, err, errlen) != 0) return -1;
    }
    return 0;
}

int index_append_rows_batch_events(Table* t, const char* const* rows, const char* const* keys,
                                   int n, char* err, size_t errlen) {
    if (n < 1 || !rows || !keys) return 0;
    for (int i = 0; i < t->index_count && i < KYREL_MAX_INDEXES; ++i) {
        char path[512];
        table_index_file_path(t->schema.name, t->indexes[i].name, path, sizeof path);
        FilePtr f(fopen(path, "a"));
        if (!f) {
            set_err(err, errlen, "cannot append index file");
            return -1;
        }
        for (int r = 0; r < n; ++r) {
            char* raw = nullptr;
            int b = index_build_value_for_row(t, &t->indexes[i], rows[r], &raw, err, errlen);
            CStr value(raw);
            if (b < 0) return -1;
            if (b == 1) continue;
            if (index_append_record_fp(f.get(), 'I', value.get(), keys[r], err, errlen) != 0)
                return -1;
        }
        if (fclose(f.release()) != 0) {
            set_err(err, errlen, "cannot close index file");
            return -1;
        }
    }
    return 0;
}

void index_files_mark_stale(Table* t, const char* why) {
    if (!t) return;
    if (!t->index_files_stale)
        fprintf(stderr, "index files of table %s marked for rebuild: %s\n", t->schema.name,
                why && *why ? why : "write failed");
    t->index_files_stale = 1;
}

namespace {

// True when a and b hold the same lines in any order. A rebuilt file has one
// line per key, so the order carries nothing; a chain loaded from a segment
// walks its keys in another order than the one the file was written in.
bool same_lines(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    if (a == b) return true;
    auto lines = [](const std::string& t) {
        std::vector<std::string_view> out;
        size_t pos = 0;
        while (pos < t.size()) {
            size_t nl = t.find('\n', pos);
            if (nl == std::string::npos) nl = t.size();
            out.emplace_back(t.data() + pos, nl - pos);
            pos = nl + 1;
        }
        std::sort(out.begin(), out.end());
        return out;
    };
    try {
        return lines(a) == lines(b);
    } catch (...) {
        return false;
    }
}

// Rewrites one index file from the newest live rows. A file that already
// holds exactly those lines (in any order) is left alone: start-up rebuilds every index,
// and must not need a write (a full disk still opens). -1 with the message.
int write_index_file(Table* t, const IndexDef* d, char* err, size_t errlen) {
    char path[512];
    table_index_file_path(t->schema.name, d->name, path, sizeof path);
    std::string text;
    SeenKeyList seen;
    for (VersionedRow* v = t->rows; v; v = v->next) {
        int s = seen_key_list_add(&seen, v->key);
        if (s < 0) {
            set_err(err, errlen, "index rebuild overflow");
            return -1;
        }
        if (s == 0 || v->deleted || !v->json) continue;
        char* raw = nullptr;
        int b = index_build_value_for_row(t, d, v->json, &raw, err, errlen);
        CStr value(raw);
        if (b < 0) return -1;
        if (b == 1) continue;
        if (index_line_text('I', value.get(), v->key, &text, err, errlen) != 0) return -1;
    }
    std::string current;
    if (read_file_whole(path, &current, nullptr, 0) == 0 && same_lines(current, text)) return 0;
    FilePtr f(fopen(path, "w"));
    if (!f) {
        set_err(err, errlen, "cannot write index file");
        return -1;
    }
    if (fwrite(text.data(), 1, text.size(), f.get()) != text.size()) {
        set_err(err, errlen, "cannot write index file");
        return -1;
    }
    if (fclose(f.release()) != 0) {
        set_err(err, errlen, "cannot close index file");
        return -1;
    }
    return 0;
}

}  // namespace

int rebuild_table_indexes(Table* t, char* err, size_t errlen) {
    for (int i = 0; i < t->index_count && i < KYREL_MAX_INDEXES; ++i) {
        IndexDef* d = &t->indexes[i];
        indexdef_ensure_defaults(d);
        if (d->unique && unique_index_validate_existing_rows_locked(t, d, err, errlen) != 0)
            return -1;
    }
    // The files are a record of the rows, not a source of truth: one that
    // cannot be written leaves the files stale, and the rows stand.
    std::string failed;
    for (int i = 0; i < t->index_count && i < KYREL_MAX_INDEXES; ++i) {
        char e[256] = {0};
        if (write_index_file(t, &t->indexes[i], e, sizeof e) != 0 && failed.empty())
            failed = std::string(t->indexes[i].name) + ": " + e;
    }
    if (failed.empty()) {
        t->index_files_stale = 0;
    } else {
        t->index_files_stale = 0;  // report this rebuild's failure afresh
        index_files_mark_stale(t, failed.c_str());
    }
    if (sec_index_rebuild_all(t) == 0) sec_index_maps_mark_valid(t);
    return 0;
}

int rebuild_all_indexes(char* err, size_t errlen) {
    int rc = 0;
    RwReadGuard g(&g_tables.lock);
    for (int i = 0; i < g_tables.count && i < KYREL_MAX_TABLES; ++i) {
        Table* t = &g_tables.slots[i];
        if (t->dropped || !t->schema.name[0]) continue;
        RwWriteGuard tg(&t->lock);
        char e[256] = {0};
        if (rebuild_table_indexes(t, e, sizeof e) != 0) {
            // One table's bad index must not leave the other tables unindexed.
            fprintf(stderr, "index rebuild failed for table %s: %s\n", t->schema.name, e);
            if (rc == 0) set_err(err, errlen, e);
            rc = -1;
        }
    }
    return rc;
}

int index_file_read_entries(Table* t, int index_pos, std::vector<IndexFileEntry>* out, char* err,
                            size_t errlen) {
    if (!t || !out || index_pos < 0 || index_pos >= KYREL_MAX_INDEXES) return 1;
    out->clear();
    char path[512];
    {
        RwReadGuard g(&t->lock);
        if (index_pos >= t->index_count || t->index_files_stale) return 1;
        table_index_file_path(t->schema.name, t->indexes[index_pos].name, path, sizeof path);
    }
    return scan_index_file(path, out, err, errlen);
}

int lookup_keys_from_index(Table* t, const char* column, const char* op, const char* operand,
                           char*** out_keys, int* out_count, char* err, size_t errlen) {
    if (out_keys) *out_keys = nullptr;
    if (out_count) *out_count = 0;
    if (!t || !column || !out_keys || !out_count) return 1;
    int k;
    int type;
    char path[512];
    {
        RwReadGuard g(&t->lock);
        // Only an index of that one column holds comparable values: a longer
        // index led by it stores composite texts.
        k = -1;
        for (int i = 0; i < t->index_count && i < KYREL_MAX_INDEXES && k < 0; ++i) {
            const IndexDef& d = t->indexes[i];
            const char* first = d.column[0] ? d.column : d.columns[0].name;
            if (d.column_count <= 1 && strcasecmp(first, column) == 0) k = i;
        }
        if (k < 0) return 1;
        int c = schema_get_col(&t->schema, column);
        if (c < 0) {
            set_err(err, errlen, "unknown index column");
            return -1;
        }
        type = t->schema.columns[c].type;
        if (sec_index_map_usable(t, k)) {
            int r = sec_index_lookup_keys(t, k, op, operand, out_keys, out_count, err, errlen);
            if (r != 1) return r;
        }
        if (t->index_files_stale) return 1;
        table_index_file_path(t->schema.name, t->indexes[k].name, path, sizeof path);
    }
    std::vector<IdxEntry> entries;
    int r = scan_index_file(path, &entries, err, errlen);
    if (r != 0) return r;
    std::vector<const std::string*> keys;
    for (const auto& e : entries)
        if (!e.deleted && eval_compare(type, e.value.c_str(), op, operand)) keys.push_back(&e.key);
    return keys_to_array(keys, out_keys, out_count, err, errlen);
}

int sec_index_lookup_keys_exact(Table* t, int index_pos, const char* value, char*** out_keys,
                                int* out_count, char* err, size_t errlen) {
    if (out_keys) *out_keys = nullptr;
    if (out_count) *out_count = 0;
    if (!t || !value || !out_keys || !out_count || index_pos < 0 || index_pos > 31 ||
        index_pos >= t->index_count || !sec_index_map_usable(t, index_pos))
        return 1;
    SecIndexValueEntry* e = sec_index_find_value_entry(&t->sec_maps[index_pos], value);
    if (!e) return 0;
    std::vector<std::string> keys;
    try {
        for (SecIndexKeyNode* n = e->keys; n; n = n->next) keys.emplace_back(n->key);
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    std::vector<const std::string*> ptrs;
    for (const auto& s : keys) ptrs.push_back(&s);
    return keys_to_array(ptrs, out_keys, out_count, err, errlen);
}

int lookup_keys_from_index_exact(Table* t, int index_pos, const char* value, char*** out_keys,
                                 int* out_count, char* err, size_t errlen) {
    if (out_keys) *out_keys = nullptr;
    if (out_count) *out_count = 0;
    if (!t || !value || !out_keys || !out_count || index_pos < 0 || index_pos > 31) return 1;
    char path[512];
    {
        RwReadGuard g(&t->lock);
        if (index_pos >= t->index_count) return 1;
        int r = sec_index_lookup_keys_exact(t, index_pos, value, out_keys, out_count, err, errlen);
        if (r != 1) return r;
        if (t->index_files_stale) return 1;
        table_index_file_path(t->schema.name, t->indexes[index_pos].name, path, sizeof path);
    }
    std::vector<IdxEntry> entries;
    int r = scan_index_file(path, &entries, err, errlen);
    if (r != 0) return r;
    std::vector<const std::string*> keys;
    for (const auto& e : entries)
        if (!e.deleted && e.value == value) keys.push_back(&e.key);
    return keys_to_array(keys, out_keys, out_count, err, errlen);
}
