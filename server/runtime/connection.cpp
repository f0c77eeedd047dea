// Connection workers: one Session per connection, one reply frame per
// request frame (layout in connection.h). A worker serves a connection only
// while the event set (conn_events.h) reports bytes: it takes what is there,
// answers a request once its frame is complete, and hands the connection
// back. A bad frame length is answered with "invalid request size" and ends
// the connection (a frame not complete within g_cfg.frame_timeout_ms of its
// first byte is ended by the event set); a request that is not valid UTF-8,
// or that cannot be classified ("invalid request"), gets its error reply and
// the connection stays.
#include "runtime/connection.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/config.h"
#include "base/json_text.h"
#include "base/stats.h"
#include "base/text_util.h"
#include "query/session.h"
#include "runtime/classify.h"
#include "runtime/conn_events.h"
#include "runtime/dispatch.h"
#include "runtime/job_queue.h"
#include "runtime/server.h"

namespace {

void send_error(int fd, const char* message) {
    char* reply = make_error_json(message);
    send_json_response(fd, reply);
    free(reply);
}

// Answers one complete request frame (body is freed here).
void serve_request(Conn* c, char* body, uint32_t len) {
    mark_activity();
    // Nothing that is not UTF-8 gets past here, so names and values can
    // only ever hold valid text and every reply that echoes them stays
    // valid JSON. The frame was read whole: the connection goes on.
    // An escaped lone surrogate would decode to no text either.
    size_t bad_at = 0;
    if (!utf8_valid(body, len, &bad_at) || !json_surrogates_paired(body, len, &bad_at)) {
        free(body);
        char msg[96];
        snprintf(msg, sizeof msg, "request is not valid UTF-8 (byte %zu)", bad_at);
        send_error(c->fd, msg);
        return;
    }
    const char* refusal = nullptr;
    Job* job = parse_request(body, &refusal);
    free(body);
    if (!job) {
        send_error(c->fd, refusal ? refusal : "invalid request");
        return;
    }
    job->client_fd = c->fd;
    job->session = &c->session;
    dispatch_job(job);
    if (job->response) send_json_response(c->fd, job->response);
    job_free(job);
}

// Takes the bytes a ready connection has and answers a request whose frame
// is complete: true to keep the connection (back into the event set), false
// to close it (peer gone, socket error, bad frame length).
bool serve_ready_connection(Conn* c) {
    char* body = nullptr;
    uint32_t len = 0;
    int rc = frame_reader_step(&c->reader, c->fd, &body, &len);
    if (rc == FRAME_PENDING) return true;
    if (rc == FRAME_BAD_SIZE) {
        send_error(c->fd, "invalid request size");
        return false;
    }
    if (rc != FRAME_OK) return false;  // peer closed, socket error or no memory
    serve_request(c, body, len);
    return true;
}

}  // namespace

void* connection_worker_thread(void*) {
    while (g_running) {
        int fd = conn_queue_pop();
        if (fd < 0) continue;
        Conn* c = conn_take(fd);
        if (!c) continue;
        if (serve_ready_connection(c))
            conn_release(c);
        else
            conn_close(c);
    }
    return nullptr;
}
