// Job and the bounded rings that move work between the server's threads.
//
//   g_conn_queue   ready connections (bytes arrived): the event set on the
//                  main thread -> connection workers (runtime/conn_events.h)
//   g_write_queue  write jobs: connection workers -> write-ingress workers
//   g_commit       write jobs: write-ingress workers -> the commit thread
//   g_read_queue   started with its workers; no request path fills it
//
// Each ring holds 1024 entries under one mutex with two condition variables
// (not_empty, not_full). The rings are plain statics whose zero state is a
// valid empty ring; they are never destroyed, so threads still blocked in a
// wait when the process exits are harmless.
//
// Wake-ups: a push wakes a sleeping consumer only when no wake-up is already
// on its way, and a consumer that leaves entries behind when it takes its
// share wakes the next one; so a burst of pushes that one consumer takes
// whole (queue_pop_batch) costs one wake-up.
// A consumer about to sleep first polls for a little while when a core is
// free for it and polling has been paying off (runtime/spin_budget.h), at
// most one per ring.
//
// Ownership: the connection worker creates a Job, and frees it after sending
// its reply. The rings only hold pointers. job_mark_done hands the reply text
// to the Job; after that call the marking thread must not touch the Job.
#pragma once

#include <pthread.h>
#include <cstdint>

struct RowStatement;
struct Session;

inline constexpr int kQueueSlots = 1024;

// The request as classification read it (runtime/classify.h), so that no
// handler scans the request text for "sql" or normalises it again.
struct JobRequest {
    char* sql;       // the "sql" member decoded (owned); nullptr when absent or not a string
    char* sql_norm;  // sql after normalize_sql_ws and trim_ws (owned); nullptr with sql
    // A row change read ahead by the connection worker (owned; see
    // exec/row_statements.h), or nullptr: the commit side then reads it.
    RowStatement* row;
};

struct Job {
    uint32_t kind;       // JobKind (classify.h)
    uint32_t is_write;   // 1: write queue and commit thread; 0: runs inline
    int32_t client_fd;   // socket of the requesting connection
    char table[64];      // "table" member for the actions that carry it, else ""
    Session* session;    // borrowed from the connection loop
    char* payload;       // owned copy of the whole request text, or nullptr
    JobRequest request;  // what classification read of the payload
    char* response;      // owned reply text, set once by job_mark_done
    int32_t done;        // 0 until the reply is set; stored with release order
    // The thread sleeping in job_wait_done for this Job (opaque), or the mark
    // that job_mark_done has run; nullptr before either. Atomic.
    void* waiter;
};

struct JobQueue {
    Job* slots[kQueueSlots];
    int32_t head;   // next slot to take
    int32_t tail;   // next slot to fill
    int32_t count;  // 0..kQueueSlots
    pthread_mutex_t lock;
    pthread_cond_t not_empty;
    pthread_cond_t not_full;
    int32_t sleepers;      // consumers waiting on not_empty
    int32_t wake_pending;  // 1 from a not_empty signal until a woken consumer runs
    int32_t polling;       // 1 while a consumer polls count instead of sleeping
    int32_t poll_skip;     // waits left to sleep at once (the poller's PollHistory)
};

struct ConnQueue {
    int32_t slots[kQueueSlots];
    int32_t head;
    int32_t tail;
    int32_t count;
    pthread_mutex_t lock;
    pthread_cond_t not_empty;
    pthread_cond_t not_full;
    int32_t sleepers;
    int32_t wake_pending;
    int32_t polling;
    int32_t poll_skip;
};

extern JobQueue g_read_queue;
extern JobQueue g_write_queue;
extern JobQueue g_commit;
extern ConnQueue g_conn_queue;

// Blocks while the ring is full and the server runs; after shutdown the Job
// is silently not queued.
void queue_push(JobQueue* q, Job* job);
// queue_push for n Jobs in order under one hold of the ring's lock, with one
// wake-up for all of them.
void queue_push_batch(JobQueue* q, Job* const* jobs, int n);
// 0 queued; -1 when no slot freed within timeout_ms or the server stopped.
int queue_try_push(JobQueue* q, Job* job, int timeout_ms);
int queue_depth(JobQueue* q);
// The head Job, or nullptr on time-out or when empty at shutdown.
// timeout_ms < 0 waits without limit; 0 only polls.
Job* queue_pop(JobQueue* q, int timeout_ms);
// Waits like queue_pop for one Job, then takes up to max in all, in order,
// under one hold of the lock. The number taken (0 on time-out or when empty
// at shutdown).
int queue_pop_batch(JobQueue* q, Job** out, int max, int timeout_ms);

// 0 queued, -1 when kQueueSlots sockets already wait (the event set keeps
// the rest for later). Never blocks.
int conn_queue_try_push(int fd);
int conn_queue_depth();
// The head socket; waits while empty and the server runs; -1 when empty at
// shutdown.
int conn_queue_pop();

// Hands the reply (owned, may be nullptr = "out of memory") to the waiter and
// wakes it if it sleeps.
void job_mark_done(Job* job, char* response);
// Blocks until job_mark_done has run for this Job. One thread waits for a Job.
void job_wait_done(Job* job);
// Frees the payload, the request record, the response and the Job itself;
// nullptr is ignored.
void job_free(Job* job);
