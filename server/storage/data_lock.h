// The data directory's owner lock: one server process per data directory.
//
// The lock is an exclusive flock on "./kyreldb_data/server.lock", taken at
// start-up before anything in the directory is read or written and held on
// an open descriptor for the life of the process; the kernel releases it
// when the process ends, however it ends. The file holds the owner's process
// id as text, for people; nothing reads it back.
#pragma once

#include <cstddef>

#define KYREL_DATA_LOCK_FILE "./kyreldb_data/server.lock"

// 0 when this process now owns the data directory. -1 with the message when
// another process holds it ("data directory <path> is in use by another
// server") or the lock file cannot be opened or locked.
int data_dir_lock_acquire(char* err, size_t errlen);
