// kyreldb_router_macos: the router process. Parses the command line, loads
// the configuration (writing a default file when there is none), starts the
// health thread, listens, and hands each accepted client to its own thread.
// SIGINT/SIGTERM stop it, SIGHUP reloads the configuration.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "router_admission.h"
#include "router_backend.h"
#include "router_config.h"
#include "router_reports.h"
#include "router_request.h"
#include "router_wire.h"

static void on_stop_signal(int) { g_running.store(0); }
static void on_hup_signal(int) { g_reload_requested.store(1); }

static void install_handler(int sig, void (*fn)(int)) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = fn;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a blocked accept() returns EINTR
    sigaction(sig, &sa, nullptr);
}

// Signals are serviced by the main thread only, so that a stop or reload
// request interrupts its accept(). Other threads start with them blocked.
template <typename Fn>
static std::thread start_thread_without_signals(Fn fn) {
    sigset_t set, old;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, &old);
    struct Restore {
        sigset_t* old;
        ~Restore() { pthread_sigmask(SIG_SETMASK, old, nullptr); }
    } restore{&old};
    return std::thread(fn);
}

static void usage(FILE* out, const char* prog) {
    fprintf(out, "Usage: %s [--config kyreldb_router.config] [--port 9292] [--about]\n", prog);
}

static long parse_port_arg(const char* s) {
    const char* p = s;
    bool neg = false;
    if (*p == '+' || *p == '-') neg = (*p++ == '-');
    long v = 0;
    while (*p >= '0' && *p <= '9') {
        if (v < 1000000) v = v * 10 + (*p - '0');
        p++;
    }
    return neg ? -v : v;
}

struct RouterArgs {
    const char* config_path = ROUTER_DEFAULT_CONFIG_PATH;
    long port_override = 0;
    bool have_port = false;
};

// Reads the command line into *args. -1 to go on starting; otherwise the exit
// status (0 after --about or --help, 1 after a bad option).
static int parse_args(int argc, char** argv, RouterArgs* args) {
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        if (strcmp(a, "--config") == 0) {
            if (i + 1 >= argc) {
                fprintf(stderr, "--config requires a file path\n");
                return 1;
            }
            args->config_path = argv[++i];
        } else if (strcmp(a, "--port") == 0) {
            if (i + 1 >= argc) {
                fprintf(stderr, "--port requires a value\n");
                return 1;
            }
            args->port_override = parse_port_arg(argv[++i]);
            if (args->port_override < 1 || args->port_override > 65535) {
                fprintf(stderr, "invalid port\n");
                return 1;
            }
            args->have_port = true;
        } else if (strcmp(a, "--about") == 0) {
            printf("%s\nKyrelDB database router / gateway\n", ROUTER_BANNER);
            return 0;
        } else if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
            usage(stdout, argv[0]);
            return 0;
        } else {
            fprintf(stderr, "unknown option: %s\n", a);
            usage(stderr, argv[0]);
            return 1;
        }
    }
    return -1;
}

// What the start-up lines print and the listener needs, read once under the
// configuration lock (after a --port override is put in place).
struct StartupView {
    char host[128];
    int port, backends, databases, users;
};

static void take_startup_view(const RouterArgs& args, StartupView* v) {
    std::lock_guard<std::mutex> g(g_cfg_lock);
    if (args.have_port) g_cfg.listen_port = static_cast<int32_t>(args.port_override);
    router_copy_str(v->host, sizeof v->host, g_cfg.listen_host);
    v->port = g_cfg.listen_port;
    v->backends = g_cfg.backend_count;
    v->databases = g_cfg.database_count;
    v->users = g_cfg.user_count;
}

// A listening TCP socket on host:port ("0.0.0.0" or "*" for every address),
// or -1 with the message in err.
static int open_listener(const char* host, int port, char* err, size_t errlen) {
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    if (lfd < 0) {
        snprintf(err, errlen, "socket failed: %s", strerror(errno));
        return -1;
    }
    int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (strcmp(host, "0.0.0.0") == 0 || strcmp(host, "*") == 0) {
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (inet_pton(AF_INET, host, &addr.sin_addr) != 1) {
        close(lfd);
        snprintf(err, errlen, "invalid listen host: %s", host);
        return -1;
    }
    if (bind(lfd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
        snprintf(err, errlen, "bind failed: %s", strerror(errno));
        close(lfd);
        return -1;
    }
    if (listen(lfd, 128) != 0) {
        snprintf(err, errlen, "listen failed: %s", strerror(errno));
        close(lfd);
        return -1;
    }
    // poll() says when to accept; a connection gone again by then must not
    // leave accept() waiting for the next one.
    int flags = fcntl(lfd, F_GETFL);
    if (flags >= 0) fcntl(lfd, F_SETFL, flags | O_NONBLOCK);
    return lfd;
}

// Accepts clients until a stop signal, each on its own thread. Every
// connection is admitted as pending (router_admission.h); a login takes one
// of the MAX_CLIENTS places. The loop wakes at least once a second to close
// pending connections past their login deadline, and does a reload asked for
// by SIGHUP between accepts.
static void accept_clients(int lfd) {
    int64_t last_reap = 0;
    while (g_running.load()) {
        if (g_reload_requested.exchange(0)) {
            std::string reply = router_reload_config_json();
            fprintf(stderr, "%s\n", reply.c_str());
        }
        // Once a second, however many connections arrive.
        int64_t now = router_now_micros();
        if (now - last_reap >= 1000000 || now < last_reap) {
            router_reap_pending();
            last_reap = now;
        }
        struct pollfd pfd = {lfd, POLLIN, 0};
        int ready = poll(&pfd, 1, 1000);
        if (ready <= 0) continue;  // time-out, or EINTR from a signal
        int cfd = accept(lfd, nullptr, nullptr);
        if (cfd < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            if (!g_running.load()) break;
            perror("accept");
            continue;
        }
        // The listener does not block; its connections do (some systems
        // hand the listener's flags on to them).
        int flags = fcntl(cfd, F_GETFL);
        if (flags >= 0 && (flags & O_NONBLOCK)) fcntl(cfd, F_SETFL, flags & ~O_NONBLOCK);
        router_apply_socket_options(cfd);
        uint64_t ticket = router_admit_pending(cfd);
        if (ticket == 0) {
            send_frame(cfd, "{\"ok\":false,\"error\":\"oom\"}");
            close(cfd);
            continue;
        }
        stats_add(STAT_ACCEPTED_CONNECTIONS, 1);
        try {
            start_thread_without_signals([cfd, ticket] { client_thread(cfd, ticket); }).detach();
        } catch (...) {
            router_forget_pending(ticket);
            close(cfd);
        }
    }
}

int main(int argc, char** argv) {
    RouterArgs args;
    int status = parse_args(argc, argv, &args);
    if (status >= 0) return status;

    install_handler(SIGINT, on_stop_signal);
    install_handler(SIGTERM, on_stop_signal);
    install_handler(SIGHUP, on_hup_signal);
    signal(SIGPIPE, SIG_IGN);

    char err[512];
    if (router_load_config(args.config_path, err, sizeof err) != 0) {
        fprintf(stderr, "config error: %s\n", err);
        return 1;
    }
    StartupView v;
    take_startup_view(args, &v);
    backend_pools_init();
    std::thread health = start_thread_without_signals(health_thread);

    int lfd = open_listener(v.host, v.port, err, sizeof err);
    if (lfd < 0) {
        fprintf(stderr, "server error: %s\n", err);
        g_running.store(0);
        health.join();
        return 1;
    }
    printf("%s listening on %s:%d\n", ROUTER_BANNER, v.host, v.port);
    printf("Backends: %d, Databases: %d, Users: %d\n", v.backends, v.databases, v.users);
    fflush(stdout);

    accept_clients(lfd);
    close(lfd);
    g_running.store(0);
    health.join();
    backend_pool_close_all();
    return 0;
}
