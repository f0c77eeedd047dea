// Connection loop: one Session per connection, one reply frame per request
// frame (layout in connection.h). A bad frame length is answered with
// "invalid request size" and ends the connection, as does a frame that is
// not complete within g_cfg.frame_timeout_ms of its first byte; a request
// that is not valid UTF-8, or that cannot be classified ("invalid request"),
// gets its error reply and the connection stays.
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
#include "runtime/dispatch.h"
#include "runtime/job_queue.h"
#include "runtime/peer_address.h"
#include "runtime/server.h"
#include "storage/roles.h"

namespace {

void send_error(int fd, const char* message) {
    char* reply = make_error_json(message);
    send_json_response(fd, reply);
    free(reply);
}

void session_init(Session* s, int fd) {
    memset(s, 0, sizeof *s);
    strcpy(s->current_database, "default");
    if (peer_ip_string(fd, s->peer_address, sizeof s->peer_address) != 0 || !s->peer_address[0])
        strcpy(s->peer_address, "unknown");
    s->from_localhost = is_localhost_ip(s->peer_address) ? 1u : 0u;
}

}  // namespace

void handle_client(int fd) {
    Session session;
    session_init(&session, fd);

    for (;;) {
        char* body = nullptr;
        uint32_t len = 0;
        int rc = read_request_frame(fd, &body, &len, g_cfg.frame_timeout_ms);
        if (rc == FRAME_BAD_SIZE) {
            send_error(fd, "invalid request size");
            break;
        }
        if (rc == FRAME_TIMED_OUT) {
            // The frame can no longer be delimited: say why, then close.
            send_error(fd, "request frame not completed in time");
            break;
        }
        if (rc != FRAME_OK) break;  // peer closed, socket error or no memory

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
            send_error(fd, msg);
            continue;
        }
        const char* refusal = nullptr;
        Job* job = parse_request(body, &refusal);
        free(body);
        if (!job) {
            send_error(fd, refusal ? refusal : "invalid request");
            continue;
        }
        job->client_fd = fd;
        job->session = &session;
        dispatch_job(job);
        if (job->response) send_json_response(fd, job->response);
        job_free(job);
    }
    session_cursors_free_all(&session);  // pins and accounted memory of this connection
}

void* connection_worker_thread(void*) {
    while (g_running) {
        int fd = conn_queue_pop();
        if (fd < 0) continue;
        handle_client(fd);
        close(fd);
    }
    return nullptr;
}
