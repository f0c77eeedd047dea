// Write path: the write-ingress workers, the single commit thread with group
// commit, the handler of every write kind and the memory-pressure rule.
#pragma once

#include <cstddef>

struct Job;

constexpr int COMMIT_GROUP_MAX = 128;
constexpr int COMMIT_POP_WAIT_MS = 200;

void* write_ingress_worker(void* arg);
void* commit_thread(void* arg);

// Applies one write Job on the calling thread and marks it done (exactly one
// job_mark_done). The commit thread calls it with g_checkpoint_lock held.
void apply_write_job(Job* job);

// Checkpoints all tables when row memory reached the flush threshold and the
// checkpoint lock is free. 0 when nothing was done or the checkpoint worked.
int maybe_checkpoint_under_pressure(char* msg, size_t msglen);
int memory_hard_exceeded(void);
