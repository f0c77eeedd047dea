// Dispatch of one classified Job: authorisation, then the read path on this
// connection worker or the write road through the commit thread. Each request
// kind is answered here until its handler exists; a kind without a handler
// gets "unsupported action".
#include "runtime/dispatch.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/json_text.h"
#include "query/session.h"
#include "runtime/authorize.h"
#include "runtime/classify.h"
#include "runtime/job_queue.h"
#include "runtime/read_path.h"
#include "runtime/write_path.h"
#include "storage/db_registry.h"
#include "storage/table.h"

namespace {

// Read kinds run inline on this connection worker (read_path.cpp).
void run_read_job(Job* job) { execute_read_job(job); }

}  // namespace

int run_write_job(Job* job) {
    if (queue_try_push(&g_write_queue, job, 200) != 0) {
        char msg[96];
        snprintf(msg, sizeof msg, "server busy: write queue full (depth=%d)",
                 queue_depth(&g_write_queue));
        job_mark_done(job, make_error_json(msg));
        return -1;
    }
    // No time-out: the commit thread marks every job it takes done, with a
    // reply or an error, and never touches it afterwards.
    job_wait_done(job);
    return 0;
}

void dispatch_job(Job* job) {
    if (!job) return;
    char msg[256] = {0};
    if (authorize_job(job->session, job, msg, sizeof msg) != 0) {
        job_mark_done(job, make_error_json(msg));
        return;
    }
    if (job->is_write) {
        if (write_login_gate(job, msg, sizeof msg) != 0) {
            job_mark_done(job, make_error_json(msg));
            return;
        }
        // What depends on the statement alone is read here, in parallel
        // with the other connections, rather than on the commit thread.
        write_read_ahead(job);
        run_write_job(job);
        return;
    }
    run_read_job(job);
}
