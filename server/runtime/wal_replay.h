// Start-up replay of the write-ahead logs: every record above its log's
// checkpoint sequence is applied again. Runs on the main thread before any
// worker starts and before the WAL writers open.
#pragma once

#include <cstddef>
#include <cstdint>

// Bootstrap log above g_checkpoint_seq, then every registered database's log
// above its own checkpoint sequence. A damaged log stops only itself (one
// line on standard error); 0, or -1 with the first file's message. Afterwards
// the sequence counter stands above every checkpoint, segment and replayed seq.
int replay_wal(char* err, size_t errlen);
// One log file; 0 on success or when missing, -1 with a message when a
// damaged record stopped it (the records before it are applied).
int replay_wal_file(const char* path, uint64_t checkpoint_seq, char* err, size_t errlen);
