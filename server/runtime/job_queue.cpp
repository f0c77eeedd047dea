// Job hand-back and the bounded rings (see job_queue.h for the roles of the
// four queues). Every ring operation runs under the ring's own mutex; a
// timed wait computes its CLOCK_REALTIME deadline afresh before each wait.
#include "runtime/job_queue.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "base/json_text.h"
#include "runtime/server.h"

JobQueue g_read_queue = {
    {}, 0, 0, 0, PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, PTHREAD_COND_INITIALIZER};
JobQueue g_write_queue = {
    {}, 0, 0, 0, PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, PTHREAD_COND_INITIALIZER};
JobQueue g_commit = {
    {}, 0, 0, 0, PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, PTHREAD_COND_INITIALIZER};
ConnQueue g_conn_queue = {
    {}, 0, 0, 0, PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, PTHREAD_COND_INITIALIZER};

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

// Invariant (both ring types): 0 <= count <= kQueueSlots and the entries are
// slots[head], slots[head+1], ... modulo kQueueSlots.
// count is stored atomically (always under the lock) so that a waiter may
// look at it without the lock while it spins.
template <typename Q, typename T>
void ring_store_quiet(Q* q, T item) {
    q->slots[q->tail] = item;
    q->tail = (q->tail + 1) % kQueueSlots;
    __atomic_store_n(&q->count, q->count + 1, __ATOMIC_RELEASE);
}

template <typename Q, typename T>
void ring_store(Q* q, T item) {
    ring_store_quiet(q, item);
    pthread_cond_signal(&q->not_empty);
}

template <typename Q>
auto ring_take(Q* q) {
    auto item = q->slots[q->head];
    q->head = (q->head + 1) % kQueueSlots;
    __atomic_store_n(&q->count, q->count - 1, __ATOMIC_RELEASE);
    pthread_cond_signal(&q->not_full);
    return item;
}

// Before a blocking wait, a waiter on the write road polls its word for a
// short while: the hand-offs between connection worker, write-ingress worker
// and commit thread are microseconds apart under load, and catching them
// here saves a sleep and a wake-up on both sides. Returns true once ready()
// holds, false when the spin ran out (the caller then waits as usual).
constexpr int64_t kSpinNs = 30000;

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

int64_t mono_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

template <typename Ready>
bool spin_briefly(Ready ready) {
    if (ready()) return true;
    const int64_t until = mono_ns() + kSpinNs;
    for (;;) {
        for (int i = 0; i < 64; i++) {
            cpu_relax();
            if (ready()) return true;
        }
        if (mono_ns() >= until || !g_running) return false;
    }
}

}  // namespace

void queue_push(JobQueue* q, Job* job) {
    MutexGuard g(&q->lock);
    while (q->count >= kQueueSlots && g_running) pthread_cond_wait(&q->not_full, &q->lock);
    if (g_running) ring_store(q, job);
}

int queue_try_push(JobQueue* q, Job* job, int timeout_ms) {
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
        ring_store_quiet(q, job);
    }
    // Signalled once the lock is free, so the woken consumer does not
    // block again on the ring's mutex (the rings live as long as the process).
    pthread_cond_signal(&q->not_empty);
    return 0;
}

int queue_depth(JobQueue* q) {
    MutexGuard g(&q->lock);
    return q->count;
}

Job* queue_pop(JobQueue* q, int timeout_ms) {
    if (timeout_ms == 0) {
        // A poll: its deadline is already past, so an empty ring answers
        // NULL at once, without the lock or a trip through the wait.
        if (__atomic_load_n(&q->count, __ATOMIC_ACQUIRE) == 0) return nullptr;
        MutexGuard g(&q->lock);
        return q->count > 0 ? ring_take(q) : nullptr;
    }
    spin_briefly([q] { return __atomic_load_n(&q->count, __ATOMIC_ACQUIRE) > 0; });
    MutexGuard g(&q->lock);
    while (q->count == 0 && g_running) {
        if (timeout_ms < 0) {
            pthread_cond_wait(&q->not_empty, &q->lock);
        } else {
            timespec dl = deadline_after_ms(timeout_ms);
            if (pthread_cond_timedwait(&q->not_empty, &q->lock, &dl) == ETIMEDOUT) break;
        }
    }
    if (q->count > 0) return ring_take(q);
    return nullptr;
}

void queue_push_batch(JobQueue* q, Job* const* jobs, int n) {
    if (n < 1) return;
    int stored = 0;
    {
        MutexGuard g(&q->lock);
        for (int i = 0; i < n; i++) {
            if (q->count >= kQueueSlots) {
                // Wake the consumer for what is already in before waiting.
                for (; stored > 0; stored--) pthread_cond_signal(&q->not_empty);
                while (q->count >= kQueueSlots && g_running)
                    pthread_cond_wait(&q->not_full, &q->lock);
            }
            if (!g_running) break;
            ring_store_quiet(q, jobs[i]);
            stored++;
        }
    }
    // One signal per Job pushed, after the lock is released.
    for (; stored > 0; stored--) pthread_cond_signal(&q->not_empty);
}

int conn_queue_try_push(int fd) {
    MutexGuard g(&g_conn_queue.lock);
    if (g_conn_queue.count >= kQueueSlots) return -1;
    ring_store(&g_conn_queue, fd);
    return 0;
}

int conn_queue_depth() {
    MutexGuard g(&g_conn_queue.lock);
    return g_conn_queue.count;
}

int conn_queue_pop() {
    MutexGuard g(&g_conn_queue.lock);
    while (g_conn_queue.count == 0 && g_running)
        pthread_cond_wait(&g_conn_queue.not_empty, &g_conn_queue.lock);
    if (g_conn_queue.count >= 1) return ring_take(&g_conn_queue);
    return -1;
}

void job_mark_done(Job* job, char* response) {
    if (!job) {
        free(response);
        return;
    }
    if (!response) response = make_error_json("out of memory");
    MutexGuard g(&job->lock);
    free(job->response);  // set once; guards against a double mark leaking
    job->response = response;
    __atomic_store_n(&job->done, 1, __ATOMIC_RELEASE);
    pthread_cond_signal(&job->finished);
}

void job_wait_done(Job* job) {
    if (!job) return;
    spin_briefly([job] { return __atomic_load_n(&job->done, __ATOMIC_ACQUIRE) != 0; });
    // The lock is still taken: it orders the reply text with this thread and
    // lets job_mark_done finish with the Job before it is freed.
    MutexGuard g(&job->lock);
    while (!job->done) pthread_cond_wait(&job->finished, &job->lock);
}

void job_free(Job* job) {
    if (!job) return;
    free(job->payload);
    free(job->response);
    pthread_mutex_destroy(&job->lock);
    pthread_cond_destroy(&job->finished);
    free(job);
}
