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
// index rebuild. The result is that of the registry load, the only step
// whose failure stops a start; the others report on standard error.
inline int load_storage(char* err, size_t errlen) {
    if (databases_load(err, errlen) != 0) return -1;
    checkpoint_meta_load();
    db_checkpoint_load_all();
    catalog_load();
    manifests_load();
    load_indexes_meta();
    load_segments();
    char ignored[256];
    replay_wal(ignored, sizeof ignored);
    rebuild_all_indexes(ignored, sizeof ignored);
    return 0;
}

}  // namespace kyrel_storage
