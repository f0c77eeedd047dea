// Memory pressure of row changes: the checkpoint that relieves memory once it
// reached the flush level, and the hard stop above which changes are refused.
#pragma once

#include <cstddef>
#include <cstdint>

// Checkpoints all tables when row memory reached the flush threshold. The
// caller holds g_checkpoint_lock (the change road runs under it). 0 when
// nothing was done or the checkpoint worked.
int maybe_checkpoint_under_pressure(char* msg, size_t msglen);
// 1 when row memory is at or above the hard-stop share of the limit.
int memory_hard_exceeded(void);
// The lower of the two levels, in bytes: below it neither the checkpoint nor
// the hard stop can act.
uint64_t memory_pressure_floor(void);
