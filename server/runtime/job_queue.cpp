// Job hand-back and the bounded rings (see job_queue.h for the roles of the
// four queues and the wake-up rule). Every ring operation runs under the
// ring's own mutex; a timed wait computes its CLOCK_REALTIME deadline afresh
// before each wait. A connection worker waiting for its Job sleeps on a futex
// word of its own thread, which outlives every Job, so the commit side never
// touches a Job after marking it done.
#include "runtime/job_queue.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <mutex>

#include "base/json_text.h"
#include "exec/row_statements.h"
#include "runtime/server.h"
#include "runtime/spin_budget.h"

JobQueue g_read_queue = {
    {}, 0, 0, 0, PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, PTHREAD_COND_INITIALIZER,
    0,  0, 0, 0};
JobQueue g_write_queue = {
    {}, 0, 0, 0, PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, PTHREAD_COND_INITIALIZER,
    0,  0, 0, 0};
JobQueue g_commit = {
    {}, 0, 0, 0, PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, PTHREAD_COND_INITIALIZER,
    0,  0, 0, 0};
ConnQueue g_conn_queue = {
    {}, 0, 0, 0, PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, PTHREAD_COND_INITIALIZER,
    0,  0, 0, 0};

namespace {

class MutexGuard {
  public:
    explicit MutexGuard(pthread_mutex_t* m) : m_(m) { pthread_mutex_lock(m_); }
    ~MutexGuard() { pthread_mutex_unlock(m_); }
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

  private:
    pthread_mutex_t* m_;
};

timespec deadline_after_ms(int ms) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    ts.tv_sec += ms / 1000;
    ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (ts.tv_nsec > 999999999L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

// How long a consumer or a waiting connection worker polls before it sleeps,
// when the spin budget lets it poll at all.
constexpr int64_t kPollNs = 50000;

// Invariant (both ring types): 0 <= count <= kQueueSlots and the entries are
// slots[head], slots[head+1], ... modulo kQueueSlots.
// count is stored atomically (always under the lock) so that a poller may
// look at it without the lock.
template <typename Q, typename T>
void ring_store(Q* q, T item) {
    q->slots[q->tail] = item;
    q->tail = (q->tail + 1) % kQueueSlots;
    __atomic_store_n(&q->count, q->count + 1, __ATOMIC_RELEASE);
}

template <typename Q>
auto ring_take(Q* q) {
    auto item = q->slots[q->head];
    q->head = (q->head + 1) % kQueueSlots;
    __atomic_store_n(&q->count, q->count - 1, __ATOMIC_RELEASE);
    pthread_cond_signal(&q->not_full);
    return item;
}

// After a push, under the lock: whether a sleeping consumer must be woken.
// Only when nobody is woken already: the woken consumer takes every entry
// there is by then (see job_queue.h).
template <typename Q>
bool ring_claim_wake(Q* q) {
    if (q->sleepers == 0 || q->wake_pending) return false;
    q->wake_pending = 1;
    return true;
}

// The consumer's wait for an entry, under the lock: false on time-out.
// timeout_ms < 0 waits without limit.
template <typename Q>
bool ring_wait_not_empty(Q* q, int timeout_ms) {
    q->sleepers++;
    bool timed_out = false;
    if (timeout_ms < 0) {
        pthread_cond_wait(&q->not_empty, &q->lock);
    } else {
        timespec dl = deadline_after_ms(timeout_ms);
        timed_out = pthread_cond_timedwait(&q->not_empty, &q->lock, &dl) == ETIMEDOUT;
    }
    q->sleepers--;
    q->wake_pending = 0;  // a consumer is up and will look at the ring
    return !timed_out;
}

// Before sleeping on an empty ring, one consumer at a time may poll it.
template <typename Q>
void ring_poll_briefly(Q* q) {
    int32_t idle = 0;
    if (!__atomic_compare_exchange_n(&q->polling, &idle, 1, false, __ATOMIC_ACQUIRE,
                                     __ATOMIC_RELAXED))
        return;
    // The polling flag makes this thread the only one to touch poll_skip.
    PollHistory history{q->poll_skip};
    spin_until([q] { return __atomic_load_n(&q->count, __ATOMIC_ACQUIRE) > 0 || !g_running; },
               kPollNs, &history);
    q->poll_skip = history.skip;
    __atomic_store_n(&q->polling, 0, __ATOMIC_RELEASE);
}

// ---- job hand-back ----------------------------------------------------------

// One per thread that has waited for a Job, never freed (a late wake-up
// may still reach it). state is a futex word: 0 empty, 1 notified, -1 the
// thread sleeps (or is about to).
struct JobWaiter {
    int32_t state;
};

// Stands in Job::waiter once job_mark_done has run.
JobWaiter g_marked_sentinel;
void* const kMarked = &g_marked_sentinel;

std::mutex g_waiters_lock;
std::deque<JobWaiter> g_waiters;  // guarded by g_waiters_lock; elements never move

JobWaiter* this_thread_waiter() {
    static thread_local JobWaiter* mine = nullptr;
    if (!mine) {
        std::lock_guard<std::mutex> g(g_waiters_lock);
        g_waiters.emplace_back();
        mine = &g_waiters.back();
    }
    return mine;
}

long futex(int32_t* word, int op, int32_t value) {
    return syscall(SYS_futex, word, op, value, nullptr, nullptr, 0);
}

void waiter_unpark(JobWaiter* w) {
    if (__atomic_exchange_n(&w->state, 1, __ATOMIC_RELEASE) == -1)
        futex(&w->state, FUTEX_WAKE_PRIVATE, 1);
}

// Returns once notified (possibly by a notification left over from a Job
// whose mark the caller saw without sleeping: the caller re-tests its Job).
void waiter_park(JobWaiter* w) {
    if (__atomic_fetch_sub(&w->state, 1, __ATOMIC_ACQUIRE) == 1) return;  // was notified
    for (;;) {
        futex(&w->state, FUTEX_WAIT_PRIVATE, -1);
        int32_t notified = 1;
        if (__atomic_compare_exchange_n(&w->state, &notified, 0, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            return;
    }
}

bool job_is_done(const Job* job) { return __atomic_load_n(&job->done, __ATOMIC_ACQUIRE) != 0; }

}  // namespace

void queue_push(JobQueue* q, Job* job) {
    bool wake = false;
    {
        MutexGuard g(&q->lock);
        while (q->count >= kQueueSlots && g_running) pthread_cond_wait(&q->not_full, &q->lock);
        if (!g_running) return;
        ring_store(q, job);
        wake = ring_claim_wake(q);
    }
    // Signalled once the lock is free, so the woken consumer does not block
    // again on the ring's mutex (the rings live as long as the process).
    if (wake) pthread_cond_signal(&q->not_empty);
}

int queue_try_push(JobQueue* q, Job* job, int timeout_ms) {
    bool wake = false;
    {
        MutexGuard g(&q->lock);
        while (q->count >= kQueueSlots && g_running) {
            timespec dl = deadline_after_ms(timeout_ms < 0 ? 0 : timeout_ms);
            if (pthread_cond_timedwait(&q->not_full, &q->lock, &dl) == ETIMEDOUT) {
                // A slot may have freed just as the wait timed out.
                if (q->count >= kQueueSlots) return -1;
            }
        }
        if (!g_running) return -1;
        ring_store(q, job);
        wake = ring_claim_wake(q);
    }
    if (wake) pthread_cond_signal(&q->not_empty);
    return 0;
}

int queue_depth(JobQueue* q) {
    MutexGuard g(&q->lock);
    return q->count;
}

Job* queue_pop(JobQueue* q, int timeout_ms) {
    Job* job = nullptr;
    return queue_pop_batch(q, &job, 1, timeout_ms) == 1 ? job : nullptr;
}

int queue_pop_batch(JobQueue* q, Job** out, int max, int timeout_ms) {
    if (max < 1) return 0;
    if (timeout_ms == 0) {
        // A poll: its deadline is already past, so an empty ring answers
        // at once, without the lock or a trip through the wait.
        if (__atomic_load_n(&q->count, __ATOMIC_ACQUIRE) == 0) return 0;
    } else {
        ring_poll_briefly(q);
    }
    bool wake = false;
    int n = 0;
    {
        MutexGuard g(&q->lock);
        while (timeout_ms != 0 && q->count == 0 && g_running) {
            if (!ring_wait_not_empty(q, timeout_ms)) break;
        }
        while (n < max && q->count > 0) out[n++] = ring_take(q);
        // Entries left beyond what this consumer takes: the next consumer
        // is woken for them (the rule of job_queue.h).
        wake = q->count > 0 && ring_claim_wake(q);
    }
    if (wake) pthread_cond_signal(&q->not_empty);
    return n;
}

void queue_push_batch(JobQueue* q, Job* const* jobs, int n) {
    if (n < 1) return;
    bool wake = false;
    {
        MutexGuard g(&q->lock);
        for (int i = 0; i < n; i++) {
            if (q->count >= kQueueSlots) {
                // Wake the consumer for what is already in before waiting.
                if (wake || ring_claim_wake(q)) pthread_cond_signal(&q->not_empty);
                wake = false;
                while (q->count >= kQueueSlots && g_running)
                    pthread_cond_wait(&q->not_full, &q->lock);
            }
            if (!g_running) break;
            ring_store(q, jobs[i]);
            wake = wake || ring_claim_wake(q);
        }
    }
    if (wake) pthread_cond_signal(&q->not_empty);
}

int conn_queue_try_push(int fd) {
    bool wake = false;
    {
        MutexGuard g(&g_conn_queue.lock);
        if (g_conn_queue.count >= kQueueSlots) return -1;
        ring_store(&g_conn_queue, fd);
        wake = ring_claim_wake(&g_conn_queue);
    }
    if (wake) pthread_cond_signal(&g_conn_queue.not_empty);
    return 0;
}

int conn_queue_depth() {
    MutexGuard g(&g_conn_queue.lock);
    return g_conn_queue.count;
}

int conn_queue_pop() {
    MutexGuard g(&g_conn_queue.lock);
    while (g_conn_queue.count == 0 && g_running) ring_wait_not_empty(&g_conn_queue, -1);
    if (g_conn_queue.count >= 1) {
        int fd = ring_take(&g_conn_queue);
        // Each ready socket is one request's work for one worker: another
        // waiting socket needs another worker.
        if (g_conn_queue.count > 0 && ring_claim_wake(&g_conn_queue))
            pthread_cond_signal(&g_conn_queue.not_empty);
        return fd;
    }
    return -1;
}

void job_mark_done(Job* job, char* response) {
    if (!job) {
        free(response);
        return;
    }
    if (!response) response = make_error_json("out of memory");
    free(job->response);  // set once; guards against a double mark leaking
    job->response = response;
    // The waiter is read before done is set: from that store on, the waiting
    // thread may free the Job.
    void* w = __atomic_exchange_n(&job->waiter, kMarked, __ATOMIC_ACQ_REL);
    __atomic_store_n(&job->done, 1, __ATOMIC_RELEASE);
    if (w && w != kMarked) waiter_unpark(static_cast<JobWaiter*>(w));
}

void job_wait_done(Job* job) {
    if (!job || job_is_done(job)) return;
    JobWaiter* me = this_thread_waiter();
    void* expected = nullptr;
    if (!__atomic_compare_exchange_n(&job->waiter, &expected, me, false, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE) &&
        expected != me) {
        // Marked already: done follows in the marker's next store.
        while (!job_is_done(job)) sched_yield();
        return;
    }
    static thread_local PollHistory history;
    if (spin_until([job] { return job_is_done(job); }, kPollNs, &history)) return;
    while (!job_is_done(job)) waiter_park(me);
}

void job_free(Job* job) {
    if (!job) return;
    free(job->payload);
    row_statement_free(job->request.row);  // may point into sql_norm
    free(job->request.sql);
    free(job->request.sql_norm);
    free(job->response);
    free(job);
}
