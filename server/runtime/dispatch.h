// Dispatch: runs one classified Job to its reply.
//
// The connection loop calls dispatch_job for every Job it parsed; on return
// the Job is done and job->response holds the reply (or is nullptr). This
// is the single place where authorisation, the read path (inline on the
// connection worker) and the write road (write queue -> write-ingress
// workers -> commit thread -> job_mark_done) are chosen.
#pragma once

struct Job;

void dispatch_job(Job* job);

// The write road: try-push onto g_write_queue for 200 ms and wait until the
// commit side marks the Job done. When the Job cannot be queued it is marked
// done with "server busy: write queue full (depth=%d)" and -1 is returned.
int run_write_job(Job* job);
