// Server process pieces used by main: command line, signal routing, the
// listener and the accept loop (run by the event set, conn_events.h).
#include "runtime/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/conn_events.h"

std::atomic<int> g_running{1};
int g_server_port = 9191;
int64_t g_server_start_ts = 0;

static_assert(std::atomic<int>::is_always_lock_free, "g_running is written by a signal handler");

namespace {

sigset_t termination_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

void print_about() {
    puts("KyrelDB database server, made by the KyrelDB developers.");
    puts("Contact: kyreldb-dev@example.org");
}

int parse_cli_args(int argc, char** argv) {
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (strcmp(arg, "--about") == 0) {
            print_about();
            return 1;
        }
        if (strcmp(arg, "--port") == 0) {
            if (i + 1 >= argc) {
                fprintf(stderr, "--port requires a value\n");
                return -1;
            }
            const char* value = argv[++i];
            // Leading number wins ("8080x" is 8080); no number is invalid.
            char* end = nullptr;
            errno = 0;
            long port = strtol(value, &end, 10);
            if (end == value || errno == ERANGE || port < 1 || port > 65535) {
                fprintf(stderr, "invalid port: %s\n", value);
                return -1;
            }
            g_server_port = static_cast<int>(port);
            continue;
        }
        fprintf(stderr, "unknown option: %s\n", arg);
        return -1;
    }
    return 0;
}

void on_signal(int) { g_running = 0; }

void server_install_signals() {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND;  // one delivery; no SA_RESTART, so waits end with EINTR
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // Threads inherit the mask: only the main thread ever takes the signal,
    // and it takes it only inside the event set's wait (see server_accept_loop).
    sigset_t set = termination_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void server_unblock_signals() {
    sigset_t set = termination_signals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

int server_listen(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        perror("socket");
        return -1;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        perror("bind");
        close(fd);
        return -1;
    }
    // Room for bursts of new clients: each one is accepted in microseconds.
    if (listen(fd, 1024) != 0) {
        perror("listen");
        close(fd);
        return -1;
    }
    // Non-blocking so that accept after a ready poll never blocks when the
    // peer has already gone.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

void server_accept_loop(int listen_fd) {
    // The termination signals are blocked everywhere except inside the
    // event set's wait, which unblocks them atomically: a signal can never
    // slip in between the test of g_running and the wait.
    sigset_t wait_mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &wait_mask);
    sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGTERM);
    conn_events_run(listen_fd, &wait_mask);
}
