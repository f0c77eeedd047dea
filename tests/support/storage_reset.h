// Forgetting the server's in-memory storage state as a process exit would,
// for code that loads the same data directory again in one process (unit
// tests of the storage files, the fuzz targets of their readers). Header
// only, no test framework: link kyrel_server_core.
#pragma once

#include <pthread.h>

#include <cstring>

#include "base/stats.h"
#include "runtime/wal_replay.h"
#include "storage/catalog.h"
#include "storage/checkpoint.h"
#include "storage/db_registry.h"
#include "storage/index_file.h"
#include "storage/pk_map.h"
#include "storage/sec_index.h"
#include "storage/segment.h"
#include "storage/table.h"
#include "storage/wal.h"

namespace kyrel_storage {

// Every table, sequence and checkpoint figure back to the state before the
// first loader ran; the WAL writers are closed.
inline void drop_memory_state() {
    wal_writer_close();
    for (int i = 0; i < g_tables.count; ++i) {
        Table& t = g_tables.slots[i];
        free_versioned_rows_chain(t.rows);
        pk_latest_map_clear(&t);
        sec_index_maps_clear_all(&t);
        pthread_rwlock_destroy(&t.lock);
        memset(&t, 0, sizeof t);
    }
    g_tables.count = 0;
    g_seq.next = 1;
    g_checkpoint_seq = 0;
    memset(g_db_checkpoints.items, 0, sizeof g_db_checkpoints.items);
    g_db_checkpoints.count = 0;
    g_mem.bytes = 0;
}

// The storage part of start-up in the server's order: loaders, log replay,
// index rebuild. -1 with the message when a loader refuses the directory
// (as the server then refuses to start); replay and rebuild report on
// standard error.
inline int load_storage(char* err, size_t errlen) {
    if (databases_load(err, errlen) != 0 || checkpoint_meta_load(err, errlen) != 0 ||
        db_checkpoint_load_all(err, errlen) != 0 || catalog_load(err, errlen) != 0 ||
        manifests_load(err, errlen) != 0 || load_indexes_meta(err, errlen) != 0 ||
        load_segments(err, errlen) != 0)
        return -1;
    char ignored[256];
    replay_wal(ignored, sizeof ignored);
    rebuild_all_indexes(ignored, sizeof ignored);
    return 0;
}

}  // namespace kyrel_storage
