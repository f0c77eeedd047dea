// Dispatch of one classified Job: authorisation, then the read path on this
// connection worker or the write road through the commit thread. Each request
// kind is answered here until its handler exists; a kind without a handler
// gets "unsupported action".
#include "runtime/dispatch.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "runtime/authorize.h"
#include "runtime/classify.h"
#include "runtime/job_queue.h"
#include "runtime/session.h"
#include "storage/db_registry.h"
#include "storage/table.h"
#include "storage/text_util.h"

namespace {

// Read kinds run inline. The read path (execute_read_job) replaces this
// switch once it exists; until then only ping has a handler.
void run_read_job(Job* job) {
    switch (job->kind) {
    case JOB_PING:
        job_mark_done(job, xstrdup2("{\"ok\":true,\"pong\":true}"));
        return;
    case JOB_USE_DATABASE: {
        // Stand-in until the read path exists: switch the Session to the
        // registered spelling of the database that authorisation checked.
        char db[64] = {0};
        char msg[256] = {0};
        if (use_target_database(job, db, sizeof db, msg, sizeof msg) != 0) {
            job_mark_done(job, make_error_json(msg));
            return;
        }
        {
            RwReadGuard g(&g_databases_lock);
            int i = database_find_index_unlocked(db);
            if (i < 0) {
                g.unlock();
                job_mark_done(job, make_error_json("database not found"));
                return;
            }
            snprintf(db, sizeof db, "%s", g_databases[i]);
        }
        if (job->session)
            snprintf(job->session->current_database, sizeof job->session->current_database, "%s",
                     db);
        char* esc = json_escape_string(db);
        std::string reply = std::string("{\"ok\":true,\"database\":\"") + (esc ? esc : "") + "\"}";
        free(esc);
        job_mark_done(job, xstrdup2(reply.c_str()));
        return;
    }
    default:
        job_mark_done(job, make_error_json("unsupported action"));
        return;
    }
}

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
        run_write_job(job);
        return;
    }
    run_read_job(job);
}
