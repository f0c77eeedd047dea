// The server's lock order, the one place it is written; every header that
// declares a lock points here.
//
// A thread that holds several of these locks took them in this order:
//
//   1. g_checkpoint_lock (checkpoint.h, recursive): the commit thread around
//      each job it applies; auto-vacuum only tries it.
//      It stays recursive because one thread takes it again on purpose: the
//      change functions of exec/row_change.cpp take it for every caller, and
//      on the commit thread (SQL and JSON writes, procedures, system-table
//      changes) it is already held for the whole commit group; the
//      checkpoint under memory pressure tries it from that same thread.
//      Replay runs before any worker starts and calls them without it.
//      Each of those paths would need a second, lock-expecting form to make
//      it a plain mutex.
//   2. g_tables.lock (table.h): the table list.
//   3. Table::lock (table.h): one table's slot; never two tables at once.
//   4. g_cursor_registry_lock (cursor_pins.h): the cursor pins.
//
//   g_wal_lock (wal.h) before g_databases.lock (db_registry.h); a checkpoint
//   takes g_databases.lock on its own after it has let go of the table locks.
//
// Leaf locks, held only around their own fields and never while taking
// another: g_seq_lock (wal.h), g_stats_lock, g_mem_lock and g_activity_lock
// (base/stats.h).
//
// Unlocked by design: g_cfg, g_cfg_set and g_runtime (base/config.h) are
// written by the start-up thread before any worker exists and read-only
// afterwards.
#pragma once
