// The server's lock order, the one place it is written; every header that
// declares a lock points here.
//
// A thread that holds several of these locks took them in this order:
//
//   1. g_checkpoint_lock (checkpoint.h, a plain mutex): the commit thread
//      around each job it applies; auto-vacuum only tries it. Nobody takes it
//      twice: the change functions of exec/row_change.cpp have a _locked form
//      for a holder (the commit thread's SQL and JSON writes, procedures and
//      system-table changes, and the security set-up at start-up), and the
//      plain form, which takes it per change, serves replay.
//   2. g_tables.lock (table.h): the table list.
//   3. Table::lock (table.h): one table's slot; never two tables at once.
//   4. g_cursor_registry.lock (cursor_pins.h): the cursor pins.
//
//   g_wal.lock (wal.h) before g_databases.lock (db_registry.h); a checkpoint
//   takes g_databases.lock on its own after it has let go of the table locks.
//   ALTER TABLE writes its log record (g_wal.lock) while it holds its
//   table's lock, between the checks and the change; no holder of g_wal.lock
//   takes a table lock.
//
// Leaf locks, held only around their own fields and never while taking
// another: g_seq.lock (wal.h), g_stats.lock, g_mem.lock and g_activity.lock
// (base/stats.h).
//
// Unlocked by design: g_cfg, g_cfg_set and g_runtime (base/config.h) are
// written by the start-up thread before any worker exists and read-only
// afterwards.
#pragma once
