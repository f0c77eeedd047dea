// Auto-vacuum: a background thread that checkpoints all tables while the
// server is idle and row memory or the write-ahead logs have grown past their
// thresholds.  It only ever tries g_checkpoint_lock, so it never holds up the
// commit thread.
#pragma once

#include <cstddef>

// 1 when a checkpoint is due, else 0; a short reason is written in both cases.
int auto_vacuum_should_run(char* reason, size_t reason_len);

// Thread body; runs while g_running and returns within about a second of it
// dropping (plus any checkpoint in progress).
void* auto_vacuum_thread(void* arg);
