// Spin budget: whether a thread about to sleep for a hand-off may poll for it
// a little first.
//
// On the write road the hand-offs (connection worker -> write-ingress worker
// -> commit thread -> connection worker) are microseconds apart under load.
// A thread that polls catches the next one without a sleep and a wake-up,
// but that only pays on a core nobody else wants: on a busy machine the
// polling thread takes the core from the very thread it waits for. So polling
// threads are held to the cores that stood idle at the last look at the run
// queue (the runnable-task count of /proc/loadavg, read at most every 2 ms,
// less the pollers themselves and one core kept for whatever wakes next).
// Where that count cannot be read, nobody polls.
#pragma once

#include <cstdint>

// Claims a polling slot: true when a core is free for one more poller (then
// spin_budget_leave must follow), false when the caller should just sleep.
bool spin_budget_enter();
void spin_budget_leave();
// Monotonic clock in nanoseconds.
int64_t spin_clock_ns();
void spin_pause();

// Whether polling has been paying off for one waiter (a ring, a thread): a
// poll that ran out makes the next kSkipAfterMiss waits sleep at once, so a
// waiter whose hand-offs are far apart (a single client, say) stops burning
// a core for nothing, and tries again now and then.
struct PollHistory {
    int32_t skip = 0;
};
constexpr int32_t kSkipAfterMiss = 15;

// Polls ready() for at most max_ns while a polling slot is held and the
// history says polling pays; true as soon as ready() holds, false when the
// caller should sleep as usual.
template <typename Ready>
bool spin_until(Ready ready, int64_t max_ns, PollHistory* history) {
    if (ready()) return true;
    if (history->skip > 0) {
        history->skip--;
        return false;
    }
    if (!spin_budget_enter()) return false;
    bool hit = false;
    const int64_t until = spin_clock_ns() + max_ns;
    while (!hit) {
        for (int i = 0; i < 64 && !hit; i++) {
            spin_pause();
            hit = ready();
        }
        if (!hit && spin_clock_ns() >= until) break;
    }
    spin_budget_leave();
    if (!hit) history->skip = kSkipAfterMiss;
    return hit;
}
