// Memory pressure: thresholds are shares of memory_limit_bytes, computed in
// unsigned 64-bit integers.
#include "exec/memory_pressure.h"

#include <cstdint>
#include <mutex>

#include "base/config.h"
#include "base/stats.h"
#include "storage/checkpoint.h"

int maybe_checkpoint_under_pressure(char* msg, size_t msglen) {
    const uint64_t limit = g_cfg.memory_limit_bytes;
    const uint64_t threshold = (uint64_t)g_cfg.memory_flush_percent * limit / 100u;
    if (mem_current() < threshold) return 0;
    std::unique_lock<std::recursive_mutex> cp(g_checkpoint_lock, std::try_to_lock);
    if (!cp.owns_lock()) return 0;
    return checkpoint_all_tables(msg, msglen) == 0 ? 0 : -1;
}

int memory_hard_exceeded(void) {
    const uint64_t limit = g_cfg.memory_limit_bytes;
    const uint64_t threshold = (uint64_t)g_cfg.memory_hard_stop_percent * limit / 100u;
    return mem_current() >= threshold ? 1 : 0;
}
