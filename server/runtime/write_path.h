// Write path: the write-ingress workers, the single commit thread with group
// commit and the handler of every write kind.
#pragma once

#include <cstddef>

struct ChangeGroup;
struct Job;

constexpr int COMMIT_GROUP_MAX = 128;
constexpr int COMMIT_POP_WAIT_MS = 200;

void* write_ingress_worker(void* arg);
void* commit_thread(void* arg);

// On the connection worker, before the Job is queued: a login of a throttled
// (address, user) pair is refused here (-1 with the message), so that it
// costs the commit thread nothing; 0 for every other Job.
int write_login_gate(Job* job, char* msg, size_t msglen);
// On the connection worker, before the Job is queued: reads the statement of
// a row change ahead (JobRequest::row), so that the commit thread does not.
void write_read_ahead(Job* job);

// Applies one write Job on the calling thread and marks it done (exactly one
// job_mark_done). The commit thread calls it with g_checkpoint_lock held.
// With a group, a row change may wait in it: the group's flush then marks
// the Job done.
void apply_write_job(Job* job, ChangeGroup* group);
