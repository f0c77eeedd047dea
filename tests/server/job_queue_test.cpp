// Job rings, connection ring, job hand-back and the write road's queueing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/text_util.h"
#include "runtime/classify.h"
#include "runtime/dispatch.h"
#include "runtime/job_queue.h"
#include "runtime/server.h"

namespace {

using Clock = std::chrono::steady_clock;

long long ms_since(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// A zero-filled ring (a valid empty queue), freed at the end of the test.
struct QueueFixture : ::testing::Test {
    JobQueue* q = static_cast<JobQueue*>(calloc(1, sizeof(JobQueue)));
    Job jobs[kQueueSlots + 1] = {};  // only their addresses are queued

    void fill() {
        for (int i = 0; i < kQueueSlots; i++) ASSERT_EQ(queue_try_push(q, &jobs[i], 0), 0);
    }
    void TearDown() override {
        g_running = 1;
        free(q);
    }
};

TEST_F(QueueFixture, FifoAcrossWrapAndPollOnEmpty) {
    auto t0 = Clock::now();
    EXPECT_EQ(queue_pop(q, 0), nullptr);
    EXPECT_LT(ms_since(t0), 50);
    // Push and pop more than a ring's worth so the indexes wrap.
    for (int round = 0; round < 3; round++) {
        for (int i = 0; i < 700; i++) queue_push(q, &jobs[i]);
        EXPECT_EQ(queue_depth(q), 700);
        for (int i = 0; i < 700; i++) ASSERT_EQ(queue_pop(q, 0), &jobs[i]);
    }
    EXPECT_EQ(queue_depth(q), 0);
}

TEST_F(QueueFixture, TryPushOnFullRingTimesOutOrTakesFreedSlot) {
    fill();
    auto t0 = Clock::now();
    EXPECT_EQ(queue_try_push(q, &jobs[kQueueSlots], 200), -1);
    long long waited = ms_since(t0);
    EXPECT_GE(waited, 190);
    EXPECT_LT(waited, 2000);

    std::thread consumer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the slot frees mid-wait
        EXPECT_EQ(queue_pop(q, 0), &jobs[0]);
    });
    EXPECT_EQ(queue_try_push(q, &jobs[kQueueSlots], 2000), 0);
    consumer.join();
    EXPECT_EQ(queue_depth(q), kQueueSlots);
}

TEST_F(QueueFixture, PopWaitsForAPush) {
    std::thread producer([&] { queue_push(q, &jobs[7]); });
    EXPECT_EQ(queue_pop(q, -1), &jobs[7]);
    producer.join();
    auto t0 = Clock::now();
    EXPECT_EQ(queue_pop(q, 100), nullptr);
    EXPECT_GE(ms_since(t0), 90);
}

TEST_F(QueueFixture, AfterShutdownNothingIsQueuedButQueuedJobsDrain) {
    queue_push(q, &jobs[0]);
    g_running = 0;
    queue_push(q, &jobs[1]);  // returns, not queued
    EXPECT_EQ(queue_try_push(q, &jobs[2], 200), -1);
    EXPECT_EQ(queue_depth(q), 1);
    EXPECT_EQ(queue_pop(q, -1), &jobs[0]);  // a non-empty queue still yields
    auto t0 = Clock::now();
    EXPECT_EQ(queue_pop(q, -1), nullptr);  // empty at shutdown: no wait
    EXPECT_LT(ms_since(t0), 50);
    EXPECT_EQ(conn_queue_pop(), -1);
}

// A push wakes a sleeping consumer only when no wake-up is on its way, and a
// consumer that leaves jobs behind wakes the next. So the ring never holds a
// job while every consumer sleeps with no wake-up coming: then nobody would
// take it before the next push. Bursts are pushed while every consumer
// sleeps, and the state is checked under the ring's lock until they are
// taken; the last burst is one stop per consumer, each leaving with its own.
TEST_F(QueueFixture, NoJobWaitsWhileEveryConsumerSleepsUnwoken) {
    constexpr int kConsumers = 3, kRounds = 200;
    static Job pushed[40];
    static Job stop;
    std::atomic<int> taken{0}, live{kConsumers};
    std::vector<std::thread> consumers;
    for (int c = 0; c < kConsumers; c++) {
        consumers.emplace_back([&] {
            while (queue_pop(q, -1) != &stop) taken++;
            live--;
        });
    }
    // Waits until the ring is empty and every live consumer sleeps; false
    // when the ring holds jobs that no wake-up is coming for (or that the
    // one said to be coming has not taken in 10 s).
    auto settle = [&] {
        const auto give_up = Clock::now() + std::chrono::seconds(10);
        for (;;) {
            pthread_mutex_lock(&q->lock);
            const int sleeping = q->sleepers, left = q->count, waking = q->wake_pending;
            pthread_mutex_unlock(&q->lock);
            if (sleeping == live.load()) {
                if (left == 0) return true;
                if (!waking || Clock::now() > give_up) return false;
            }
            std::this_thread::yield();
        }
    };
    int stalls = 0, expected = 0;
    auto settled = [&] {
        while (!settle()) {
            stalls++;
            pthread_cond_broadcast(&q->not_empty);  // let the test go on
        }
    };
    for (int round = 0; round < kRounds; round++) {
        settled();
        const int burst = 1 + round % 40;
        for (int i = 0; i < burst; i++) {
            Job* j = &pushed[i];
            if (i % 3 == 0)
                queue_push(q, j);
            else if (i % 3 == 1)
                EXPECT_EQ(queue_try_push(q, j, 1000), 0);
            else
                queue_push_batch(q, &j, 1);
        }
        expected += burst;
    }
    settled();
    for (int c = 0; c < kConsumers; c++) queue_push(q, &stop);
    while (live.load() > 0) settled();
    for (auto& t : consumers) t.join();
    EXPECT_EQ(stalls, 0);
    EXPECT_EQ(taken.load(), expected);
}

TEST(ConnQueue, BoundedFifoNeverBlocks) {
    for (int i = 0; i < kQueueSlots; i++) ASSERT_EQ(conn_queue_try_push(1000 + i), 0);
    auto t0 = Clock::now();
    EXPECT_EQ(conn_queue_try_push(5), -1);
    EXPECT_LT(ms_since(t0), 50);
    EXPECT_EQ(conn_queue_depth(), kQueueSlots);
    for (int i = 0; i < kQueueSlots; i++) ASSERT_EQ(conn_queue_pop(), 1000 + i);
    EXPECT_EQ(conn_queue_depth(), 0);
}

TEST(JobHandBack, ReplyReachesWaiterAndNullBecomesOutOfMemory) {
    for (const char* reply : {"{\"ok\":true}", static_cast<const char*>(nullptr)}) {
        Job* job = job_new(JOB_INSERT);
        ASSERT_NE(job, nullptr);
        std::thread committer([&] { job_mark_done(job, reply ? xstrdup(reply) : nullptr); });
        job_wait_done(job);
        ASSERT_EQ(job->done, 1);
        ASSERT_NE(job->response, nullptr);
        EXPECT_STREQ(job->response, reply ? reply : "{\"ok\":false,\"error\":\"out of memory\"}");
        committer.join();
        job_free(job);
    }
    job_mark_done(nullptr, xstrdup("x"));  // only frees the reply
    job_free(nullptr);
}

TEST(JobNew, PayloadIsAnOwnedCopy) {
    std::string req = "{\"action\":\"insert\"}";
    Job* job = job_new_payload(JOB_INSERT, req.c_str(), 1);
    ASSERT_NE(job, nullptr);
    req[2] = 'X';
    EXPECT_STREQ(job->payload, "{\"action\":\"insert\"}");
    EXPECT_EQ(job->is_write, 1u);
    job_free(job);
}

// The write road: a stand-in commit side pops the write queue and answers.
TEST(WriteRoad, WaitsForCommitReplyAndReportsBusyQueue) {
    Job* job = job_new_payload(JOB_INSERT, "{}", 1);
    std::thread committer([] {
        Job* j = queue_pop(&g_write_queue, 5000);
        ASSERT_NE(j, nullptr);
        job_mark_done(j, xstrdup("{\"ok\":true,\"message\":\"applied\"}"));
    });
    EXPECT_EQ(run_write_job(job), 0);
    committer.join();
    EXPECT_STREQ(job->response, "{\"ok\":true,\"message\":\"applied\"}");
    job_free(job);

    static Job filler[kQueueSlots];
    for (int i = 0; i < kQueueSlots; i++)
        ASSERT_EQ(queue_try_push(&g_write_queue, &filler[i], 0), 0);
    Job* late = job_new_payload(JOB_INSERT, "{}", 1);
    EXPECT_EQ(run_write_job(late), -1);
    EXPECT_STREQ(late->response,
                 "{\"ok\":false,\"error\":\"server busy: write queue full (depth=1024)\"}");
    job_free(late);
    while (queue_pop(&g_write_queue, 0)) {}
}

}  // namespace
