// Write-ahead log: record format, per-scope writers, the record reader,
// sequence numbers and the little-endian byte helpers shared with segment
// files and replay. The record layout and the rule for a valid record are
// described at the top of wal.cpp.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "base/owned.h"

enum WalOp : uint16_t {
    WAL_OP_CREATE_TABLE = 1,
    WAL_OP_INSERT = 2,
    WAL_OP_UPDATE = 3,
    WAL_OP_DELETE = 4,
    WAL_OP_CREATE_DATABASE = 5,
    WAL_OP_ALTER_TABLE = 6,
    WAL_OP_DROP_TABLE = 7,
};

constexpr uint32_t WAL_MAGIC = 0x33574154u;  // bytes 'T' 'A' 'W' '3'
constexpr uint16_t WAL_VERSION = 1;
constexpr size_t WAL_HEADER_SIZE = 32;
constexpr size_t WAL_FIELD_MAX = 4194304;  // largest table, key or json text
constexpr int WAL_MAX_WRITERS = 65;        // bootstrap scope + 64 databases
constexpr const char* WAL_BOOTSTRAP_SCOPE = "@bootstrap";

struct WalRecordHeader {
    uint32_t magic;
    uint16_t version;
    uint16_t op;
    uint64_t seq;
    uint32_t table_len;
    uint32_t key_len;
    uint32_t json_len;
    uint32_t checksum;
};

struct WalWriterSlot {
    uint32_t in_use;
    char scope[64];
    int32_t fd;
    int32_t pending;
    uint64_t bytes;  // file length as known to this writer (set at open)
    // 1 after a failed record could not be cut off again: bytes past `bytes`
    // may still hold it. Nothing is appended until a cut succeeds (retried
    // before each write) or a checkpoint empties the log.
    uint32_t closed;
};

// The open logs, one writer per scope.
struct WalWriters {
    std::mutex lock;  // guards every slot and every log write; lock order: storage/lock_order.h
    WalWriterSlot writers[WAL_MAX_WRITERS];  // guarded by lock
};
extern WalWriters g_wal;

// The next sequence number to hand out.
struct SeqCounter {
    std::mutex lock;    // a leaf lock
    uint64_t next = 1;  // guarded by lock; starts at 1
};
extern SeqCounter g_seq;
extern std::atomic<uint64_t> g_checkpoint_seq;  // last global checkpoint sequence

// --- byte helpers (little-endian) ---
void le16_store(unsigned char* p, uint16_t v);
void le32_store(unsigned char* p, uint32_t v);
void le64_store(unsigned char* p, uint64_t v);
uint16_t le16_load(const unsigned char* p);
uint32_t le32_load(const unsigned char* p);
uint64_t le64_load(const unsigned char* p);
int write_u8(FILE* f, uint8_t v);
int write_u16le(FILE* f, uint16_t v);
int write_u32le(FILE* f, uint32_t v);
int write_u64le(FILE* f, uint64_t v);
int read_u8(FILE* f, uint8_t* out);
int read_u16le(FILE* f, uint16_t* out);
int read_u32le(FILE* f, uint32_t* out);
int read_u64le(FILE* f, uint64_t* out);
int read_exact_file(FILE* f, void* buf, size_t n);
int wal_write_full_fd(int fd, const void* buf, size_t n);

uint32_t fnv1a32_update(uint32_t h, const void* data, size_t n);
constexpr uint32_t FNV1A32_BASIS = 0x811C9DC5u;
uint32_t wal_checksum_calc(uint16_t op, uint64_t seq, const char* table, size_t table_len,
                           const char* key, size_t key_len, const char* json, size_t json_len);

// Header encode/decode of the 32 fixed bytes (decode checks nothing).
void wal_header_encode(const WalRecordHeader& h, unsigned char out[WAL_HEADER_SIZE]);
void wal_header_decode(const unsigned char in[WAL_HEADER_SIZE], WalRecordHeader* h);

// Appends one whole encoded record to out. 0, or -1 "WAL field too large" /
// "oom". Lets a caller assemble many records for one write.
int wal_encode_record(std::string& out, uint16_t op, uint64_t seq, const char* table,
                      const char* key, const char* json, char* err, size_t errlen);

// Scope of a record: "@bootstrap" for op 5 or an empty table, else the
// database part of the internal table name, canonicalised.
void wal_record_scope(uint16_t op, const char* table, char* out, size_t cap);
void wal_scope_name(const char* scope, char* out, size_t cap);
void wal_path_for_scope(const char* scope, char* out, size_t cap);

// Writes already encoded records (nrecords of them) to one scope's file in one
// write, applies the sync rule and the statistics. Takes g_wal.lock. A failed
// write or sync cuts the file back to its last acknowledged record; when that
// cut fails the log is closed for writing (WalWriterSlot::closed) and every
// later write to it is refused until a cut succeeds or a checkpoint empties
// it.
// sync_now syncs whatever the rule says.
int wal_write_encoded(const char* scope, const void* data, size_t len, int nrecords, char* err,
                      size_t errlen, bool sync_now = false);

// One record, written and synced (the schema changes use it).
int wal_append_record(uint16_t op, uint64_t seq, const char* table, const char* key,
                      const char* json, char* err, size_t errlen);
int wal_append_records_batch(uint16_t op, const char* table, const char* const* keys,
                             const char* const* jsons, const uint64_t* seqs, int n, char* err,
                             size_t errlen);

int wal_writer_open(char* err, size_t errlen);
void wal_writer_close(void);
uint64_t wal_total_file_bytes(void);

// The caller holds g_wal.lock for all of these.
int wal_writer_find_slot_locked(const char* scope, int create);
int wal_writer_open_locked(const char* scope, char* err, size_t errlen);
int wal_writer_sync_locked(const char* scope, char* err, size_t errlen);
int wal_writer_close_locked(const char* scope, char* err, size_t errlen);
int wal_writer_close_all_locked(char* err, size_t errlen);

// Torn or damaged tails: replay notes where each log's last good record ends;
// when the writer first opens that file it cuts it there and fsyncs before
// any append, so new records never land behind bytes replay would stop at.
// wal_note_valid_end takes g_wal.lock; the _locked form expects it held (the
// checkpoint truncates every log to 0 and forgets the notes, below).
void wal_note_valid_end(const char* path, uint64_t end);
// Every log was just emptied by a checkpoint: the notes go, and a log closed
// for writing after a failed cut is open again.
void wal_logs_emptied_locked(void);

// --- reading ---
// A reader walks one log file from its start, record by record, and hands
// out every valid record in file order. It stops at the end of the file, at
// a torn record (the log ends there) or at a damaged one; valid_end is
// always the end of the last valid record handed out, so bytes after it
// (valid_end < size) are a torn or damaged tail.
struct WalRecord {
    WalRecordHeader h;
    std::string table, key, json;  // the three texts, exactly as logged
};
struct WalReader {
    FilePtr f;
    uint64_t size = 0;       // file length when it was opened
    uint64_t valid_end = 0;  // end of the last valid record read
    int stop = 1;            // WAL_READ_RECORD while walking, then how it ended
};
enum WalReadResult {
    WAL_READ_RECORD = 1,  // *rec holds the next valid record
    WAL_READ_END = 0,     // end of the log (the file's end or a torn record)
    WAL_READ_BAD = -1,    // a damaged record, or no memory: message in err
};
// 0 with the file open for reading; -1 when it cannot be opened (a missing
// log reads as an empty one).
int wal_reader_open(WalReader* r, const char* path);
// The next record: one of WalReadResult. Once the walk has ended (END or
// BAD) every further call gives the same answer without reading.
int wal_reader_next(WalReader* r, WalRecord* rec, char* err, size_t errlen);

uint64_t next_seq(void);
int next_seq_batch(uint64_t n, uint64_t* out_first);
void bump_seq(uint64_t seq);
