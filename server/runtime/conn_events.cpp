// The event set of open connections (see conn_events.h): accept, the cap of
// open connections, the hand-over to the connection queue and back, and the
// login and frame time limits.
#include "runtime/conn_events.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <queue>
#include <unordered_map>
#include <vector>

#include "base/config.h"
#include "base/json_text.h"
#include "base/stats.h"
#include "query/session_cursor.h"
#include "runtime/job_queue.h"
#include "runtime/peer_address.h"
#include "runtime/server.h"

namespace {

enum ConnState { kIdle = 0, kBusy = 1 };

// A moment at which a connection's time limits are to be checked: its login
// deadline (queued at accept) or the deadline of a started frame (queued when
// a worker hands back a connection whose frame is incomplete). Entries of
// connections that closed, or whose limit no longer applies, are dropped when
// they come due; so the check costs nothing for connections that are simply
// idle.
struct Deadline {
    int64_t at;  // frame_clock_ms()
    int fd;
    uint64_t id;  // Conn::id: the fd may belong to a newer connection by then
};
struct LaterFirst {
    bool operator()(const Deadline& a, const Deadline& b) const { return a.at > b.at; }
};

struct ConnRegistry {
    std::mutex lock;
    std::unordered_map<int, Conn*> by_fd;  // every open connection, guarded by lock
    std::priority_queue<Deadline, std::vector<Deadline>, LaterFirst> due;  // guarded by lock
    uint64_t next_id = 1;                                                  // guarded by lock
    int epoll_fd = -1;     // set before the first connection, then fixed
    size_t max_conns = 0;  // likewise
};
// Never destroyed: workers may still hand connections back while the process
// exits, and what it lists stays reachable to the end.
ConnRegistry& g_conns = *new ConnRegistry;

constexpr int kSweepMs = 200;  // how often the time limits are checked
constexpr uint32_t kArmed = EPOLLIN | EPOLLONESHOT;

const char kBusyReply[] = "{\"ok\":false,\"error\":\"server busy: too many connections\"}";

// The cap of open connections: the descriptor limit less a reserve for the
// data files, logs and the listener (a quarter, at least 16, at most 1024).
size_t connection_cap() {
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return 1u << 20;
    const uint64_t limit = rl.rlim_cur;
    uint64_t reserve = limit / 4;
    if (reserve < 16) reserve = 16;
    if (reserve > 1024) reserve = 1024;
    return limit > reserve ? static_cast<size_t>(limit - reserve) : 0;
}

// Sends a last reply without waiting, lets the peer read it, and closes.
// Bytes the client already sent are read away first: closing with unread
// input would reset the connection and could drop the reply on the way.
void send_last_and_close(int fd, const char* reply) {
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    if (reply) send_json_response(fd, reply);
    char sink[4096];
    for (int i = 0; i < 16 && recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0; i++) {}
    shutdown(fd, SHUT_WR);
    close(fd);
}

void refuse_busy(int fd) { send_last_and_close(fd, kBusyReply); }

void session_init(Session* s, int fd) {
    memset(s, 0, sizeof *s);
    strcpy(s->current_database, "default");
    if (peer_ip_string(fd, s->peer_address, sizeof s->peer_address) != 0 || !s->peer_address[0])
        strcpy(s->peer_address, "unknown");
    s->from_localhost = is_localhost_ip(s->peer_address) ? 1u : 0u;
}

// Frees a Conn that is in no set and no queue any more.
void conn_destroy(Conn* c) {
    session_cursors_free_all(&c->session);  // pins and accounted memory of this connection
    frame_reader_reset(&c->reader);
    delete c;
}

// A new client: into the set as idle, or "server busy" when none can be taken.
void admit(int fd) {
    stats_add(&g_stats.counters.total_connections, 1);
    Conn* c = new (std::nothrow) Conn;
    if (!c) {
        refuse_busy(fd);
        return;
    }
    c->fd = fd;
    c->state = kIdle;
    c->opened_ms = frame_clock_ms();
    c->reader = FrameReader{};
    c->frame_due_for = 0;
    session_init(&c->session, fd);
    // A client that stops reading its replies cannot hold a worker in a send
    // for longer than a frame may take.
    timeval tv{g_cfg.frame_timeout_ms / 1000, (g_cfg.frame_timeout_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    {
        std::lock_guard<std::mutex> g(g_conns.lock);
        if (g_conns.by_fd.size() < g_conns.max_conns) {
            c->id = g_conns.next_id++;
            bool listed = false;
            try {
                g_conns.by_fd[fd] = c;
                g_conns.due.push(Deadline{
                    c->opened_ms + static_cast<int64_t>(g_cfg.login_timeout_seconds) * 1000, fd,
                    c->id});
                listed = true;
            } catch (...) {}
            if (listed) {
                epoll_event ev{};
                ev.events = kArmed;
                ev.data.ptr = c;
                if (epoll_ctl(g_conns.epoll_fd, EPOLL_CTL_ADD, fd, &ev) == 0) return;
            }
            g_conns.by_fd.erase(fd);  // a deadline left queued finds no connection
        }
    }
    delete c;
    refuse_busy(fd);
}

// Accepts every pending client. spare is a descriptor held back so that,
// when none is left, one client at a time can still be told "server busy".
// false when no descriptor could be had at all (the caller backs off).
bool accept_pending(int listen_fd, int* spare) {
    for (;;) {
        int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            admit(fd);
            continue;
        }
        int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK) return true;
        if (err == EINTR || err == ECONNABORTED) continue;
        if (err != EMFILE && err != ENFILE) {
            perror("accept");
            return true;
        }
        if (*spare < 0) return false;
        close(*spare);
        fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            stats_add(&g_stats.counters.total_connections, 1);
            refuse_busy(fd);
        }
        *spare = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0 || *spare < 0) return false;
    }
}

// Idle connections past a time limit leave the set; the caller answers and
// closes them outside the lock.
struct Expired {
    Conn* conn;
    const char* message;
};

// Why an idle connection must close now, or nullptr.
const char* time_limit_passed(const Conn* c, int64_t now) {
    if (c->reader.started_ms != 0 && now - c->reader.started_ms >= g_cfg.frame_timeout_ms)
        return "request frame not completed in time";
    if (!c->session.authenticated &&
        now - c->opened_ms >= static_cast<int64_t>(g_cfg.login_timeout_seconds) * 1000)
        return "login not completed in time";
    return nullptr;
}

std::vector<Expired> take_expired(int64_t now) {
    std::vector<Expired> out;
    std::lock_guard<std::mutex> g(g_conns.lock);
    while (!g_conns.due.empty() && g_conns.due.top().at <= now) {
        const Deadline d = g_conns.due.top();
        g_conns.due.pop();
        auto it = g_conns.by_fd.find(d.fd);
        if (it == g_conns.by_fd.end() || it->second->id != d.id) continue;  // closed since
        Conn* c = it->second;
        if (c->state != kIdle) {
            // A worker has it: look again once it is likely back in the set.
            try {
                g_conns.due.push(Deadline{now + kSweepMs, d.fd, d.id});
            } catch (...) {}
            continue;
        }
        const char* message = time_limit_passed(c, now);
        if (!message) continue;  // logged in, or the frame was completed
        epoll_ctl(g_conns.epoll_fd, EPOLL_CTL_DEL, c->fd, nullptr);
        g_conns.by_fd.erase(it);
        try {
            out.push_back({c, message});
        } catch (...) {
            close(c->fd);
            conn_destroy(c);
        }
    }
    return out;
}

void close_expired(int64_t now) {
    for (const Expired& e : take_expired(now)) {
        char* reply = make_error_json(e.message);
        send_last_and_close(e.conn->fd, reply);
        free(reply);
        conn_destroy(e.conn);
    }
}

void sleep_ms(long ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR && g_running) {}
}

}  // namespace

void conn_raise_fd_limit() {
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur >= rl.rlim_max) return;
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
}

int conn_events_run(int listen_fd, const sigset_t* wait_mask) {
    int ep = epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0) {
        perror("epoll_create1");
        return -1;
    }
    epoll_event lev{};
    lev.events = EPOLLIN;
    lev.data.ptr = nullptr;  // the listener; every other entry is a Conn
    if (epoll_ctl(ep, EPOLL_CTL_ADD, listen_fd, &lev) != 0) {
        perror("epoll_ctl");
        close(ep);
        return -1;
    }
    g_conns.epoll_fd = ep;
    g_conns.max_conns = connection_cap();
    int spare = open("/dev/null", O_RDONLY | O_CLOEXEC);
    bool reported_fd_shortage = false;
    std::deque<int> ready;  // busy sockets the full connection queue could not take yet
    int64_t next_sweep = frame_clock_ms() + kSweepMs;
    epoll_event events[256];

    while (g_running) {
        int64_t now = frame_clock_ms();
        int wait = ready.empty() ? static_cast<int>(next_sweep > now ? next_sweep - now : 0) : 1;
        int n = epoll_pwait(ep, events, 256, wait, wait_mask);
        if (n < 0) {
            if (errno != EINTR) perror("epoll_wait");
            continue;
        }
        if (!g_running) break;
        for (int i = 0; i < n; i++) {
            Conn* c = static_cast<Conn*>(events[i].data.ptr);
            if (!c) {
                if (accept_pending(listen_fd, &spare)) {
                    reported_fd_shortage = false;
                    continue;
                }
                // No descriptor even for a refusal: the client stays pending
                // and the listener ready, so back off instead of spinning.
                if (!reported_fd_shortage) perror("accept");
                reported_fd_shortage = true;
                if (spare < 0) spare = open("/dev/null", O_RDONLY | O_CLOEXEC);
                sleep_ms(10);
                continue;
            }
            {
                std::lock_guard<std::mutex> g(g_conns.lock);
                c->state = kBusy;
            }
            ready.push_back(c->fd);
        }
        while (!ready.empty() && conn_queue_try_push(ready.front()) == 0) ready.pop_front();
        now = frame_clock_ms();
        if (now >= next_sweep) {
            close_expired(now);
            next_sweep = now + kSweepMs;
        }
    }
    if (spare >= 0) close(spare);
    return 0;
}

Conn* conn_take(int fd) {
    std::lock_guard<std::mutex> g(g_conns.lock);
    auto it = g_conns.by_fd.find(fd);
    return it == g_conns.by_fd.end() ? nullptr : it->second;
}

void conn_release(Conn* c) {
    {
        std::lock_guard<std::mutex> g(g_conns.lock);
        c->state = kIdle;
        // A started frame gets its deadline checked, once per frame.
        if (c->reader.started_ms != 0 && c->reader.started_ms != c->frame_due_for) {
            try {
                g_conns.due.push(
                    Deadline{c->reader.started_ms + g_cfg.frame_timeout_ms, c->fd, c->id});
                c->frame_due_for = c->reader.started_ms;
            } catch (...) {}
        }
        epoll_event ev{};
        ev.events = kArmed;
        ev.data.ptr = c;
        if (epoll_ctl(g_conns.epoll_fd, EPOLL_CTL_MOD, c->fd, &ev) == 0) return;
        c->state = kBusy;
    }
    conn_close(c);
}

void conn_close(Conn* c) {
    {
        std::lock_guard<std::mutex> g(g_conns.lock);
        epoll_ctl(g_conns.epoll_fd, EPOLL_CTL_DEL, c->fd, nullptr);
        g_conns.by_fd.erase(c->fd);
    }
    close(c->fd);
    conn_destroy(c);
}
