// Memory pressure: thresholds are shares of memory_limit_bytes, computed in
// unsigned 64-bit integers.
#include "exec/memory_pressure.h"

#include <cstdint>

#include "base/config.h"
#include "base/err.h"
#include "base/stats.h"
#include "storage/checkpoint.h"

namespace {

uint64_t flush_level() {
    return (uint64_t)g_cfg.memory_flush_percent * g_cfg.memory_limit_bytes / 100u;
}

uint64_t hard_level() {
    return (uint64_t)g_cfg.memory_hard_stop_percent * g_cfg.memory_limit_bytes / 100u;
}

}  // namespace

int maybe_checkpoint_under_pressure(char* msg, size_t msglen) {
    if (mem_current() < flush_level()) return 0;
    // Runs after a change's log record: it must not throw.
    int rc = -1;
    if (!run_unless_oom([&] { rc = checkpoint_all_tables(msg, msglen); }))
        set_err(msg, msglen, "oom");
    return rc == 0 ? 0 : -1;
}

int memory_hard_exceeded(void) { return mem_current() >= hard_level() ? 1 : 0; }

uint64_t memory_pressure_floor(void) {
    const uint64_t f = flush_level(), h = hard_level();
    return f < h ? f : h;
}
