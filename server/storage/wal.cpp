// Write-ahead log writers, record encoding and global sequence numbers.
//
// Record format (all integers little-endian, no padding, no separator between
// records; a file is just records back to back):
//
//   offset size field
//   0      4    magic      0x33574154, the bytes 'T' 'A' 'W' '3'
//   4      2    version    1
//   6      2    op         WalOp: 1 create table, 2 insert, 3 update (whole
//                          new row, replayed as a put), 4 delete, 5 create
//                          database, 6 alter table, 7 drop table
//   8      8    seq        global sequence number
//   16     4    table_len  bytes of the table text (internal table name; the
//                          database name for op 5)
//   20     4    key_len    bytes of the key text (primary key, or empty)
//   24     4    json_len   bytes of the json text (row JSON, statement text,
//                          or empty)
//   28     4    checksum   FNV-1a 32 (basis 0x811C9DC5, prime 16777619) over
//                          op(2) seq(8) table_len(4) key_len(4) json_len(4),
//                          then the table, key and json bytes. Magic, version
//                          and the checksum field itself are not covered.
//   32     ...  table, key, json bytes, no terminators
//
// Each text is at most 4,194,304 bytes.
//
// Reading (wal_reader_next) walks the records from offset 0, each starting
// where the previous one ends. A record is valid when its magic and version
// match, no length exceeds the limit, all three texts lie within the file and
// the checksum agrees. The walk ends:
//   - at the end of the file;
//   - at a torn record: fewer than 32 bytes left for the header, or texts
//     reaching past the end of the file. A crash during an append leaves
//     such a tail, so the log simply ends there;
//   - at a damaged record: "invalid WAL magic", "unsupported WAL version",
//     "corrupt WAL lengths" (checked in that order on the header) or, once
//     the texts are read, "WAL checksum mismatch".
// Nothing after a torn or damaged record is read: without a separator no
// later record boundary can be trusted. The end of the last valid record is
// where the log's good part ends; replay notes it with the writer
// (wal_note_valid_end), which cuts the file there before its first append.
//
// Files: scope "@bootstrap" (op 5 records and records without a table) logs
// to ./kyreldb_data/main.wal; every other record logs to the file of the
// database part of its table name, ./kyreldb_data/databases/<db>/main.wal
// (tables of "default" included). A checkpoint truncates every log.
//
// Sync policy: each scope counts records written since its last fdatasync;
// with wal_sync_every N > 1 the file is synced once the count reaches N,
// with N <= 1 after every write. A batch, or everything a commit group has
// for one file (wal_write_encoded), is one write and at most one sync.
#include "storage/wal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "base/config.h"
#include "base/err.h"
#include "base/stats.h"
#include "storage/db_registry.h"
#include "storage/ident.h"
#include "storage/paths.h"

WalWriters g_wal;
SeqCounter g_seq;
std::atomic<uint64_t> g_checkpoint_seq{0};

namespace {

bool err_empty(const char* err, size_t errlen) { return !err || errlen == 0 || err[0] == '\0'; }

size_t text_len(const char* s) { return s ? strlen(s) : 0; }

}  // namespace

// ---------------------------------------------------------------- bytes

void le16_store(unsigned char* p, uint16_t v) {
    p[0] = (unsigned char)(v & 0xff);
    p[1] = (unsigned char)(v >> 8);
}

void le32_store(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = (unsigned char)(v >> (8 * i));
}

void le64_store(unsigned char* p, uint64_t v) {
    for (int i = 0; i < 8; i++) p[i] = (unsigned char)(v >> (8 * i));
}

uint16_t le16_load(const unsigned char* p) { return (uint16_t)(p[0] | (p[1] << 8)); }

uint32_t le32_load(const unsigned char* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--) v = (v << 8) | p[i];
    return v;
}

uint64_t le64_load(const unsigned char* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--) v = (v << 8) | p[i];
    return v;
}

int write_u8(FILE* f, uint8_t v) { return fwrite(&v, 1, 1, f) == 1 ? 0 : -1; }

int write_u16le(FILE* f, uint16_t v) {
    unsigned char b[2];
    le16_store(b, v);
    return fwrite(b, 1, 2, f) == 2 ? 0 : -1;
}

int write_u32le(FILE* f, uint32_t v) {
    unsigned char b[4];
    le32_store(b, v);
    return fwrite(b, 1, 4, f) == 4 ? 0 : -1;
}

int write_u64le(FILE* f, uint64_t v) {
    unsigned char b[8];
    le64_store(b, v);
    return fwrite(b, 1, 8, f) == 8 ? 0 : -1;
}

int read_exact_file(FILE* f, void* buf, size_t n) {
    if (n == 0) return 0;
    if (!f || !buf) return -1;
    return fread(buf, 1, n, f) == n ? 0 : -1;
}

int read_u8(FILE* f, uint8_t* out) { return read_exact_file(f, out, 1); }

int read_u16le(FILE* f, uint16_t* out) {
    unsigned char b[2];
    if (read_exact_file(f, b, 2) != 0) return -1;
    *out = le16_load(b);
    return 0;
}

int read_u32le(FILE* f, uint32_t* out) {
    unsigned char b[4];
    if (read_exact_file(f, b, 4) != 0) return -1;
    *out = le32_load(b);
    return 0;
}

int read_u64le(FILE* f, uint64_t* out) {
    unsigned char b[8];
    if (read_exact_file(f, b, 8) != 0) return -1;
    *out = le64_load(b);
    return 0;
}

int wal_write_full_fd(int fd, const void* buf, size_t n) {
    const char* p = static_cast<const char*>(buf);
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (w == 0) return -1;
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

// ---------------------------------------------------------------- checksum

uint32_t fnv1a32_update(uint32_t h, const void* data, size_t n) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < n; i++) {
        h ^= p[i];
        h *= 16777619u;
    }
    return h;
}

uint32_t wal_checksum_calc(uint16_t op, uint64_t seq, const char* table, size_t table_len,
                           const char* key, size_t key_len, const char* json, size_t json_len) {
    unsigned char fixed[22];
    le16_store(fixed, op);
    le64_store(fixed + 2, seq);
    le32_store(fixed + 10, (uint32_t)table_len);
    le32_store(fixed + 14, (uint32_t)key_len);
    le32_store(fixed + 18, (uint32_t)json_len);
    uint32_t h = fnv1a32_update(FNV1A32_BASIS, fixed, sizeof fixed);
    if (table_len) h = fnv1a32_update(h, table, table_len);
    if (key_len) h = fnv1a32_update(h, key, key_len);
    if (json_len) h = fnv1a32_update(h, json, json_len);
    return h;
}

void wal_header_encode(const WalRecordHeader& h, unsigned char out[WAL_HEADER_SIZE]) {
    le32_store(out, h.magic);
    le16_store(out + 4, h.version);
    le16_store(out + 6, h.op);
    le64_store(out + 8, h.seq);
    le32_store(out + 16, h.table_len);
    le32_store(out + 20, h.key_len);
    le32_store(out + 24, h.json_len);
    le32_store(out + 28, h.checksum);
}

void wal_header_decode(const unsigned char in[WAL_HEADER_SIZE], WalRecordHeader* h) {
    h->magic = le32_load(in);
    h->version = le16_load(in + 4);
    h->op = le16_load(in + 6);
    h->seq = le64_load(in + 8);
    h->table_len = le32_load(in + 16);
    h->key_len = le32_load(in + 20);
    h->json_len = le32_load(in + 24);
    h->checksum = le32_load(in + 28);
}

namespace {

// Writes the record into dst, which has room for 32 + the three lengths.
void encode_into(unsigned char* dst, uint16_t op, uint64_t seq, const char* table, size_t tl,
                 const char* key, size_t kl, const char* json, size_t jl) {
    WalRecordHeader h{WAL_MAGIC,    WAL_VERSION,
                      op,           seq,
                      (uint32_t)tl, (uint32_t)kl,
                      (uint32_t)jl, wal_checksum_calc(op, seq, table, tl, key, kl, json, jl)};
    wal_header_encode(h, dst);
    unsigned char* p = dst + WAL_HEADER_SIZE;
    if (tl) memcpy(p, table, tl);
    p += tl;
    if (kl) memcpy(p, key, kl);
    p += kl;
    if (jl) memcpy(p, json, jl);
}

}  // namespace

int wal_encode_record(std::string& out, uint16_t op, uint64_t seq, const char* table,
                      const char* key, const char* json, char* err, size_t errlen) {
    size_t tl = text_len(table), kl = text_len(key), jl = text_len(json);
    if (tl > WAL_FIELD_MAX || kl > WAL_FIELD_MAX || jl > WAL_FIELD_MAX) {
        set_err(err, errlen, "WAL field too large");
        return -1;
    }
    size_t total = WAL_HEADER_SIZE + tl + kl + jl;
    try {
        size_t at = out.size();
        out.resize(at + total);
        encode_into(reinterpret_cast<unsigned char*>(&out[at]), op, seq, table, tl, key, kl, json,
                    jl);
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------- scopes

void wal_scope_name(const char* scope, char* out, size_t cap) {
    if (!out || cap == 0) return;
    char buf[512];
    snprintf(buf, sizeof buf, "%s", scope ? scope : "");
    canonicalize_ident(buf);
    const char* name = buf[0] ? buf : WAL_BOOTSTRAP_SCOPE;
    size_t n = strnlen(name, cap - 1);
    memcpy(out, name, n);
    out[n] = '\0';
}

void wal_record_scope(uint16_t op, const char* table, char* out, size_t cap) {
    if (op == WAL_OP_CREATE_DATABASE || !table || !table[0]) {
        snprintf(out, cap, "%s", WAL_BOOTSTRAP_SCOPE);
        return;
    }
    char db[64], tname[64];
    split_internal_for_path(table, db, sizeof db, tname, sizeof tname);
    wal_scope_name(db, out, cap);
}

void wal_path_for_scope(const char* scope, char* out, size_t cap) {
    char name[64];
    wal_scope_name(scope, name, sizeof name);
    if (strcmp(name, WAL_BOOTSTRAP_SCOPE) == 0)
        snprintf(out, cap, "%s/main.wal", KYREL_DATA_ROOT);
    else
        db_wal_path(name, out, cap);
}

// ---------------------------------------------------------------- writer slots

int wal_writer_find_slot_locked(const char* scope, int create) {
    char name[64];
    wal_scope_name(scope, name, sizeof name);
    for (int i = 0; i < WAL_MAX_WRITERS; i++)
        if (g_wal.writers[i].in_use && strcasecmp(g_wal.writers[i].scope, name) == 0) return i;
    if (!create) return -1;
    for (int i = 0; i < WAL_MAX_WRITERS; i++) {
        WalWriterSlot& s = g_wal.writers[i];
        if (s.in_use) continue;
        s.in_use = 1;
        snprintf(s.scope, sizeof s.scope, "%s", name);
        s.fd = -1;
        s.pending = 0;
        s.bytes = 0;
        return i;
    }
    return -1;
}

namespace {

// Valid ends noted by replay, matched by device and inode so that any
// spelling of a log's path finds it. Guarded by g_wal.lock.
struct WalValidEnd {
    dev_t dev;
    ino_t ino;
    uint64_t end;
};
std::vector<WalValidEnd> g_wal_valid_ends;

int wal_cut_noted_tail_locked(int fd) {
    struct stat st;
    if (g_wal_valid_ends.empty() || fstat(fd, &st) != 0) return 0;
    for (size_t i = 0; i < g_wal_valid_ends.size(); ++i) {
        const WalValidEnd e = g_wal_valid_ends[i];
        if (e.dev != st.st_dev || e.ino != st.st_ino) continue;
        g_wal_valid_ends.erase(g_wal_valid_ends.begin() + (long)i);
        if ((uint64_t)st.st_size <= e.end) return 0;
        if (ftruncate(fd, (off_t)e.end) != 0 || fsync(fd) != 0) return -1;
        return 0;
    }
    return 0;
}

}  // namespace

void wal_note_valid_end(const char* path, uint64_t end) {
    struct stat st;
    if (!path || stat(path, &st) != 0) return;
    std::lock_guard<std::mutex> g(g_wal.lock);
    for (auto& e : g_wal_valid_ends) {
        if (e.dev == st.st_dev && e.ino == st.st_ino) {
            e.end = end;
            return;
        }
    }
    try {
        g_wal_valid_ends.push_back({st.st_dev, st.st_ino, end});
    } catch (...) {}
}

void wal_forget_valid_ends_locked(void) { g_wal_valid_ends.clear(); }

int wal_writer_open_locked(const char* scope, char* err, size_t errlen) {
    int i = wal_writer_find_slot_locked(scope, 1);
    if (i < 0) {
        set_err(err, errlen, "too many WAL writers");
        return -1;
    }
    WalWriterSlot& s = g_wal.writers[i];
    if (s.fd >= 0) return 0;
    char path[512];
    wal_path_for_scope(s.scope, path, sizeof path);
    // A torn tail left by a crash is cut off here, before the first append
    // after opening (replay noted where the last good record ends).
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, KYREL_FILE_MODE);
    if (fd < 0) {
        set_err(err, errlen, "cannot open WAL");
        return -1;
    }
    if (wal_cut_noted_tail_locked(fd) != 0) {
        close(fd);
        set_err(err, errlen, "cannot truncate damaged WAL tail");
        return -1;
    }
    off_t end = lseek(fd, 0, SEEK_END);
    s.fd = fd;
    s.pending = 0;
    s.bytes = end > 0 ? (uint64_t)end : 0;
    return 0;
}

int wal_writer_sync_locked(const char* scope, char* err, size_t errlen) {
    int i = wal_writer_find_slot_locked(scope, 0);
    if (i < 0) return 0;
    WalWriterSlot& s = g_wal.writers[i];
    if (s.fd < 0 || s.pending < 1) return 0;
    if (fdatasync(s.fd) != 0) {
        set_err(err, errlen, "cannot sync WAL");
        return -1;
    }
    s.pending = 0;
    return 0;
}

int wal_writer_close_locked(const char* scope, char* err, size_t errlen) {
    int i = wal_writer_find_slot_locked(scope, 0);
    if (i < 0) return 0;
    WalWriterSlot& s = g_wal.writers[i];
    if (s.fd < 0) return 0;
    if (wal_writer_sync_locked(s.scope, err, errlen) != 0) return -1;
    int rc = close(s.fd);
    s.fd = -1;  // even a failed close releases the descriptor on Linux
    if (rc != 0) {
        set_err(err, errlen, "cannot close WAL");
        return -1;
    }
    return 0;
}

int wal_writer_close_all_locked(char* err, size_t errlen) {
    for (int i = 0; i < WAL_MAX_WRITERS; i++) {
        WalWriterSlot& s = g_wal.writers[i];
        if (!s.in_use || s.fd < 0) continue;
        if (wal_writer_close_locked(s.scope, err, errlen) != 0) return -1;
    }
    return 0;
}

int wal_writer_open(char* err, size_t errlen) {
    std::lock_guard<std::mutex> g(g_wal.lock);
    return wal_writer_open_locked(WAL_BOOTSTRAP_SCOPE, err, errlen);
}

void wal_writer_close(void) {
    std::lock_guard<std::mutex> g(g_wal.lock);
    for (int i = 0; i < WAL_MAX_WRITERS; i++) {
        WalWriterSlot& s = g_wal.writers[i];
        if (!s.in_use || s.fd < 0) continue;
        char e[64] = "";
        wal_writer_close_locked(s.scope, e, sizeof e);  // errors ignored at shutdown
    }
}

// ---------------------------------------------------------------- appends

int wal_write_encoded(const char* scope, const void* data, size_t len, int nrecords, char* err,
                      size_t errlen) {
    if (err && errlen) err[0] = '\0';
    int rc = 0;
    {
        std::lock_guard<std::mutex> g(g_wal.lock);
        if (wal_writer_open_locked(scope, err, errlen) != 0) return -1;
        int i = wal_writer_find_slot_locked(scope, 0);
        if (i < 0) {
            set_err(err, errlen, "WAL writer missing");
            return -1;
        }
        WalWriterSlot& s = g_wal.writers[i];
        const int32_t pending_before = s.pending;
        if (wal_write_full_fd(s.fd, data, len) != 0) {
            rc = -1;
        } else {
            s.pending += nrecords;
            int every = g_cfg.wal_sync_every;
            if (every <= 1 || s.pending >= every) {
                if (fdatasync(s.fd) != 0) {
                    set_err(err, errlen, "cannot sync WAL");
                    rc = -1;
                } else {
                    s.pending = 0;
                }
            }
        }
        if (rc == 0) {
            s.bytes += len;
        } else {
            // The caller is told the records were not logged: cut off what
            // reached the file so that a torn record cannot hide later ones
            // from replay, and a refused change is not replayed.
            // Never extends the file: only a tail beyond the known length goes.
            struct stat st;
            if (fstat(s.fd, &st) == 0 && (uint64_t)st.st_size > s.bytes &&
                ftruncate(s.fd, (off_t)s.bytes) != 0) {
                // Left for replay's torn-tail rule; the error is already set.
            }
            s.pending = pending_before;
        }
    }
    if (rc != 0) {
        if (err_empty(err, errlen)) set_err(err, errlen, "cannot write WAL");
        return -1;
    }
    stats_add(&g_stats.counters.wal_appends, nrecords);
    stats_add(&g_stats.counters.wal_bytes, (int64_t)len);
    return 0;
}

int wal_append_record(uint16_t op, uint64_t seq, const char* table, const char* key,
                      const char* json, char* err, size_t errlen) {
    size_t tl = text_len(table), kl = text_len(key), jl = text_len(json);
    if (tl > WAL_FIELD_MAX || kl > WAL_FIELD_MAX || jl > WAL_FIELD_MAX) {
        set_err(err, errlen, "WAL field too large");
        return -1;
    }
    char scope[64];
    wal_record_scope(op, table, scope, sizeof scope);

    // Small records are built on the stack; larger ones on the heap.
    size_t total = WAL_HEADER_SIZE + tl + kl + jl;
    unsigned char local[4096];
    std::unique_ptr<unsigned char[]> heap;
    unsigned char* buf = local;
    if (total > sizeof local) {
        heap.reset(new (std::nothrow) unsigned char[total]);
        if (!heap) {
            set_err(err, errlen, "oom");
            return -1;
        }
        buf = heap.get();
    }
    encode_into(buf, op, seq, table, tl, key, kl, json, jl);
    return wal_write_encoded(scope, buf, total, 1, err, errlen);
}

int wal_append_records_batch(uint16_t op, const char* table, const char* const* keys,
                             const char* const* jsons, const uint64_t* seqs, int n, char* err,
                             size_t errlen) {
    if (n < 1) return 0;
    if (!jsons || !seqs) {
        set_err(err, errlen, "invalid WAL batch");
        return -1;
    }
    char scope[64];
    wal_record_scope(op, table, scope, sizeof scope);
    size_t tl = text_len(table);
    if (tl > WAL_FIELD_MAX) {
        set_err(err, errlen, "WAL field too large");
        return -1;
    }
    size_t total = 0;
    for (int i = 0; i < n; i++) {
        size_t kl = text_len(keys ? keys[i] : nullptr), jl = text_len(jsons[i]);
        if (kl > WAL_FIELD_MAX || jl > WAL_FIELD_MAX) {
            set_err(err, errlen, "WAL field too large");
            return -1;
        }
        size_t rec = WAL_HEADER_SIZE + tl + kl + jl;
        if (total > SIZE_MAX - rec) {
            set_err(err, errlen, "WAL batch too large");
            return -1;
        }
        total += rec;
    }
    std::string buf;
    try {
        buf.reserve(total);
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    for (int i = 0; i < n; i++) {
        const char* key = (keys && keys[i]) ? keys[i] : "";
        const char* json = jsons[i] ? jsons[i] : "";
        if (wal_encode_record(buf, op, seqs[i], table, key, json, err, errlen) != 0) return -1;
    }
    return wal_write_encoded(scope, buf.data(), buf.size(), n, err, errlen);
}

uint64_t wal_total_file_bytes(void) {
    char path[512];
    wal_path_for_scope(WAL_BOOTSTRAP_SCOPE, path, sizeof path);
    uint64_t total = file_size_bytes(path);
    std::vector<std::string> names;
    {
        pthread_rwlock_rdlock(&g_databases.lock);
        for (int i = 0; i < g_databases.count; i++) names.emplace_back(g_databases.names[i]);
        pthread_rwlock_unlock(&g_databases.lock);
    }
    for (const auto& n : names) {
        db_wal_path(n.c_str(), path, sizeof path);
        total += file_size_bytes(path);
    }
    return total;
}

// ---------------------------------------------------------------- reading

int wal_reader_open(WalReader* r, const char* path) {
    r->f.reset(path ? fopen(path, "rb") : nullptr);
    r->size = 0;
    r->valid_end = 0;
    r->stop = WAL_READ_RECORD;
    if (!r->f) return -1;
    struct stat st;
    if (fstat(fileno(r->f.get()), &st) != 0) {
        r->f.reset();
        return -1;
    }
    r->size = (uint64_t)st.st_size;
    return 0;
}

namespace {

// The header's own checks, in their order; NULL when it may be a valid record.
const char* wal_header_problem(const WalRecordHeader& h) {
    if (h.magic != WAL_MAGIC) return "invalid WAL magic";
    if (h.version != WAL_VERSION) return "unsupported WAL version";
    if (h.table_len > WAL_FIELD_MAX || h.key_len > WAL_FIELD_MAX || h.json_len > WAL_FIELD_MAX)
        return "corrupt WAL lengths";
    return nullptr;
}

// Reads the record at r->valid_end into rec: WAL_READ_RECORD, WAL_READ_END for
// a torn record, or WAL_READ_BAD with *bad set.
int wal_read_record(WalReader* r, WalRecord* rec, const char** bad) {
    FILE* f = r->f.get();
    const uint64_t left = r->size - r->valid_end;
    unsigned char raw[WAL_HEADER_SIZE];
    if (left < WAL_HEADER_SIZE || read_exact_file(f, raw, sizeof raw) != 0) return WAL_READ_END;
    WalRecordHeader& h = rec->h;
    wal_header_decode(raw, &h);
    if ((*bad = wal_header_problem(h)) != nullptr) return WAL_READ_BAD;
    const uint64_t body = (uint64_t)h.table_len + h.key_len + h.json_len;
    if (body > left - WAL_HEADER_SIZE) return WAL_READ_END;
    try {
        rec->table.assign(h.table_len, '\0');
        rec->key.assign(h.key_len, '\0');
        rec->json.assign(h.json_len, '\0');
    } catch (...) {
        *bad = "oom";
        return WAL_READ_BAD;
    }
    if (read_exact_file(f, rec->table.data(), h.table_len) != 0 ||
        read_exact_file(f, rec->key.data(), h.key_len) != 0 ||
        read_exact_file(f, rec->json.data(), h.json_len) != 0)
        return WAL_READ_END;
    if (wal_checksum_calc(h.op, h.seq, rec->table.data(), h.table_len, rec->key.data(), h.key_len,
                          rec->json.data(), h.json_len) != h.checksum) {
        *bad = "WAL checksum mismatch";
        return WAL_READ_BAD;
    }
    r->valid_end += WAL_HEADER_SIZE + body;
    return WAL_READ_RECORD;
}

}  // namespace

int wal_reader_next(WalReader* r, WalRecord* rec, char* err, size_t errlen) {
    if (r->stop != WAL_READ_RECORD) return r->stop;
    if (!r->f || r->valid_end >= r->size) {
        r->stop = WAL_READ_END;
        return r->stop;
    }
    const char* bad = nullptr;
    const int got = wal_read_record(r, rec, &bad);
    if (got == WAL_READ_BAD) set_err(err, errlen, bad);
    if (got != WAL_READ_RECORD) r->stop = got;
    return got;
}

// ---------------------------------------------------------------- sequence numbers

uint64_t next_seq(void) {
    std::lock_guard<std::mutex> g(g_seq.lock);
    return g_seq.next++;
}

int next_seq_batch(uint64_t n, uint64_t* out_first) {
    if (out_first) *out_first = 0;
    if (n < 1 || !out_first) return -1;
    std::lock_guard<std::mutex> g(g_seq.lock);
    if (g_seq.next > UINT64_MAX - n) return -1;
    *out_first = g_seq.next;
    g_seq.next += n;
    return 0;
}

void bump_seq(uint64_t seq) {
    std::lock_guard<std::mutex> g(g_seq.lock);
    if (seq >= g_seq.next && seq != UINT64_MAX) g_seq.next = seq + 1;
}
