// Spin budget (see spin_budget.h): one sample of the machine's run queue
// shared by every thread, refreshed by whichever poller finds it stale.
#include "runtime/spin_budget.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

namespace {

constexpr int64_t kSampleNs = 2000000;  // a sample is used for 2 ms

std::atomic<int> g_pollers{0};         // threads polling right now
std::atomic<int> g_poll_slots{0};      // pollers allowed by the last sample
std::atomic<int64_t> g_sampled_at{0};  // spin_clock_ns of the last sample; 0: none
std::atomic<bool> g_sampling{false};   // one thread refreshes at a time
int g_loadavg_fd = -2;                 // -2: not opened yet, -1: unreadable
int g_cpus = 0;
std::once_flag g_open_once;

void open_loadavg() {
    g_loadavg_fd = open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    g_cpus = n > 0 ? static_cast<int>(n) : 1;
}

// Runnable tasks on the whole machine: the number before '/' in the fourth
// field of /proc/loadavg ("0.51 0.40 0.37 3/612 4242"); -1 when unreadable.
int runnable_tasks() {
    std::call_once(g_open_once, open_loadavg);
    if (g_loadavg_fd < 0) return -1;
    char buf[128];
    ssize_t n = pread(g_loadavg_fd, buf, sizeof buf - 1, 0);
    if (n <= 0) return -1;
    buf[n] = '\0';
    const char* p = buf;
    for (int field = 0; field < 3; field++) {
        while (*p && *p != ' ') p++;
        while (*p == ' ') p++;
    }
    char* end = nullptr;
    long running = strtol(p, &end, 10);
    if (end == p || *end != '/' || running < 0) return -1;
    return static_cast<int>(running);
}

void refresh_sample(int64_t now) {
    bool expected = false;
    if (!g_sampling.compare_exchange_strong(expected, true, std::memory_order_acquire)) return;
    int running = runnable_tasks();
    int slots = 0;
    if (running >= 0) {
        // The count includes the pollers and this thread; what is left of
        // the cores, less one for whatever wakes next, may poll.
        int others = running - g_pollers.load(std::memory_order_relaxed) - 1;
        if (others < 0) others = 0;
        slots = g_cpus - 1 - others;
        if (slots < 0) slots = 0;
    }
    g_poll_slots.store(slots, std::memory_order_relaxed);
    g_sampled_at.store(now, std::memory_order_relaxed);
    g_sampling.store(false, std::memory_order_release);
}

}  // namespace

int64_t spin_clock_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void spin_pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

bool spin_budget_enter() {
    const int64_t now = spin_clock_ns();
    if (now - g_sampled_at.load(std::memory_order_relaxed) >= kSampleNs) refresh_sample(now);
    if (g_pollers.fetch_add(1, std::memory_order_relaxed) <
        g_poll_slots.load(std::memory_order_relaxed))
        return true;
    g_pollers.fetch_sub(1, std::memory_order_relaxed);
    return false;
}

void spin_budget_leave() { g_pollers.fetch_sub(1, std::memory_order_relaxed); }
