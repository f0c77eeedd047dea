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

// Polls ready() for at most max_ns while a polling slot is held; true as soon
// as ready() holds, false when the slot was refused or the time ran out (the
// caller then sleeps as usual).
template <typename Ready>
bool spin_until(Ready ready, int64_t max_ns) {
    if (ready()) return true;
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
    return hit;
}
