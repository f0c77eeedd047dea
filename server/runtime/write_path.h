// Write path: the write-ingress workers, the single commit thread with group
// commit and the handler of every write kind.
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
