// Read path: every request kind that is not a write runs here, inline on the
// connection worker that received it, and never waits for the commit thread.
#pragma once

struct Job;

// Builds the reply of one read Job and marks it done (exactly one
// job_mark_done, with the reply or an error object). NULL does nothing.
void execute_read_job(Job* job);

// Read-worker thread body. No request path fills the read queue, so these
// threads stay blocked; they exist so the queue's depth can be reported.
void* read_worker_thread(void* arg);
