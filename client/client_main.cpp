// kyreldb_client: the interactive terminal client. Connects to one server or
// router, logs in (password read without echo, forced password change walked
// through), then collects SQL up to a terminating ';' (bodies between $$ marks
// kept whole), sends each statement as one request and prints the reply
// indented or raw. Single-threaded, one blocking socket for the whole run.
//
// Exit statuses: 0 after --help, \q, end of input or a successful --execute;
// 1 for connection, login, forced-change, --database and --execute failures and
// for an overflowing SQL buffer; 2 for command-line errors.
#include "client_wire.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <new>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

const char kClientName[] = "KyrelDB Simple Client 0.1.0";

// Option values beside the ClientState.
struct ClientOptions {
    char user[128] = "";
    char database[128] = "";
    std::string execute;  // kept whole: a cut statement would run something else
    int have_execute = 0;
    int no_password_prompt = 0;
    int timeout_seconds = 30;  // accepted for compatibility; not applied
};

// ---------------------------------------------------------------------------
// Terminal state while the password prompt has echo off. The saved attributes
// are put back by the prompt itself, by an exit handler, and by the handler of
// the signals that end the program, which then lets the signal take effect.
// Invariant: g_tty_saved is 1 exactly while echo is (or may be) off.
struct termios g_saved_tty;
volatile sig_atomic_t g_tty_saved = 0;

void restore_terminal() {
    if (g_tty_saved) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved_tty);
        g_tty_saved = 0;
    }
}

void on_terminating_signal(int sig) {
    if (g_tty_saved) {
        tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_tty);
        g_tty_saved = 0;
        ssize_t w = write(STDOUT_FILENO, "\n", 1);
        (void)w;
    }
    signal(sig, SIG_DFL);
    raise(sig);  // delivered with the default action once this handler returns
}

const int kTerminatingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int kSignalCount = sizeof kTerminatingSignals / sizeof kTerminatingSignals[0];

// Installs the restoring handler for the prompt's duration; the destructor
// puts the previous dispositions back.
struct SignalGuard {
    struct sigaction old[kSignalCount];
    SignalGuard() {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = on_terminating_signal;
        sigemptyset(&sa.sa_mask);
        for (int i = 0; i < kSignalCount; i++) sigaction(kTerminatingSignals[i], &sa, &old[i]);
    }
    ~SignalGuard() {
        for (int i = 0; i < kSignalCount; i++) sigaction(kTerminatingSignals[i], &old[i], nullptr);
    }
    SignalGuard(const SignalGuard&) = delete;
    SignalGuard& operator=(const SignalGuard&) = delete;
};

// Reads one whole line from stdin into buf (without the newline). Characters
// past cap - 1 are consumed and dropped and *too_long is set, so an over-long
// entry never spills into the next read. -1 at end of input with nothing read.
int read_line_limited(char* buf, size_t cap, int* too_long) {
    size_t n = 0;
    int c = EOF;
    *too_long = 0;
    while ((c = getc(stdin)) != EOF && c != '\n') {
        if (n + 1 < cap)
            buf[n++] = static_cast<char>(c);
        else
            *too_long = 1;
    }
    buf[n] = '\0';
    if (c == EOF && n == 0 && !*too_long) return -1;
    return 0;
}

void print_prompt(const char* message) {
    fputs(message, stdout);
    fflush(stdout);
}

// Prompts and reads a password into a 256-byte buffer, without echo when stdin
// is a terminal. -1 at end of input or when the entry is longer than 255
// characters (refused, buffer zeroed); 0 with the trimmed password.
int prompt_password(const char* message, char* buf) {
    const size_t cap = 256;
    int too_long = 0;
    int rc;
    struct termios tty;
    if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &tty) == 0) {
        SignalGuard guard;
        g_saved_tty = tty;
        g_tty_saved = 1;
        struct termios quiet = tty;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        // Echo goes off before the prompt appears, so nothing typed after the
        // prompt is ever shown.
        if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) != 0) {
            g_tty_saved = 0;
            print_prompt(message);
            rc = read_line_limited(buf, cap, &too_long);
        } else {
            print_prompt(message);
            rc = read_line_limited(buf, cap, &too_long);
            restore_terminal();
            fputs("\n", stdout);
            fflush(stdout);
        }
    } else {
        print_prompt(message);
        rc = read_line_limited(buf, cap, &too_long);
    }
    if (rc == 0 && too_long) {
        explicit_bzero(buf, cap);
        fputs("password too long (at most 255 characters)\n", stderr);
        return -1;
    }
    if (rc != 0) {
        explicit_bzero(buf, cap);
        return -1;
    }
    trim_ws(buf);
    return 0;
}

// ---------------------------------------------------------------------------

void print_usage(const char* prog) {
    fprintf(stderr, "%s\n\nUsage:\n  %s [options]\n\nOptions:\n", kClientName, prog);
    fputs(
        "  --host HOST        KyrelDB host, default 127.0.0.1\n"
        "  --port PORT        KyrelDB port, default 9191\n"
        "  --user USER        Username. If omitted, the client prompts.\n"
        "  --database DB      USE database after login.\n"
        "  --execute SQL      Execute one SQL command and exit.\n"
        "  --json-only        Print raw JSON without pretty formatting.\n"
        "  --no-password-prompt\n"
        "                     Do not prompt for password; read KYRELDB_PASSWORD.\n"
        "  --timeout SEC      Socket timeout hint, default 30.\n"
        "  --help             Show this help.\n"
        "\n"
        "Environment:\n"
        "  KYRELDB_PASSWORD   Password source when --no-password-prompt is used.\n"
        "\n"
        "Interactive commands:\n"
        "  \\help             Show client help.\n"
        "  \\password         Change password for the logged-in user.\n"
        "  \\use DB           Switch database.\n"
        "  \\ping             Send protocol ping.\n"
        "  \\g                Execute the current SQL buffer.\n"
        "  \\clear            Clear the current SQL buffer.\n"
        "  \\q                Quit.\n"
        "\n"
        "SQL commands are sent when a semicolon is reached outside an AS $$ ... $$ body.\n",
        stderr);
}

void print_client_help() {
    puts(
        "\n"
        "KyrelDB client commands:\n"
        "  \\help               Show this help.\n"
        "  \\q                  Quit.\n"
        "  \\password           Change password for current user.\n"
        "  \\use DB             Switch database.\n"
        "  \\ping               Send ping.\n"
        "  \\g                  Execute SQL buffer now.\n"
        "  \\clear              Clear SQL buffer.\n"
        "\n"
        "Regular SQL examples:\n"
        "  SHOW DATABASES;\n"
        "  CREATE DATABASE sales;\n"
        "  USE sales;\n"
        "  SHOW TABLES;\n"
        "  CHANGE PASSWORD TO 'new_password';\n"
        "\n"
        "CREATE PROCEDURE bodies using AS $$ ... $$ are kept as one command.\n");
}

void copy_cut(char* dst, size_t dstsz, const char* src) {
    snprintf(dst, dstsz, "%s", src ? src : "");
}

// Parses the command line left to right. -1 to go on, else the exit status.
int parse_args(int argc, char** argv, ClientState* st, ClientOptions* opt) {
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        if (!strcmp(a, "--help") || !strcmp(a, "-h")) {
            print_usage(argv[0]);
            return 0;
        }
        if (!strcmp(a, "--json-only")) {
            st->json_only = 1;
            continue;
        }
        if (!strcmp(a, "--no-password-prompt")) {
            opt->no_password_prompt = 1;
            continue;
        }
        bool takes_value = !strcmp(a, "--host") || !strcmp(a, "--port") || !strcmp(a, "--user") ||
                           !strcmp(a, "-u") || !strcmp(a, "--database") || !strcmp(a, "-d") ||
                           !strcmp(a, "--execute") || !strcmp(a, "-e") || !strcmp(a, "--timeout");
        if (!takes_value || i + 1 >= argc) {
            fprintf(stderr, "Unknown or incomplete option: %s\n", a);
            print_usage(argv[0]);
            return 2;
        }
        const char* v = argv[++i];
        if (!strcmp(a, "--host")) {
            copy_cut(st->host, sizeof st->host, v);
        } else if (!strcmp(a, "--port")) {
            char* end = nullptr;
            errno = 0;
            long p = strtol(v, &end, 10);
            if (errno != 0 || end == v || *end != '\0' || p < 1 || p > 65535) {
                fputs("Invalid port.\n", stderr);
                return 2;
            }
            st->port = static_cast<int>(p);
        } else if (!strcmp(a, "--user") || !strcmp(a, "-u")) {
            copy_cut(opt->user, sizeof opt->user, v);
        } else if (!strcmp(a, "--database") || !strcmp(a, "-d")) {
            copy_cut(opt->database, sizeof opt->database, v);
        } else if (!strcmp(a, "--execute") || !strcmp(a, "-e")) {
            opt->execute = v;
            opt->have_execute = 1;
        } else {  // --timeout
            long t = strtol(v, nullptr, 10);
            opt->timeout_seconds = t < 1 || t > 1000000 ? 30 : static_cast<int>(t);
        }
    }
    return -1;
}

int connect_client(ClientState* st) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    char port[16];
    snprintf(port, sizeof port, "%d", st->port);
    struct addrinfo* res = nullptr;
    int g = getaddrinfo(st->host, port, &hints, &res);
    if (g != 0) {
        fprintf(stderr, "DNS/addr error for %s:%d: %s\n", st->host, st->port, gai_strerror(g));
        fprintf(stderr, "Could not connect to KyrelDB at %s:%d\n", st->host, st->port);
        return -1;
    }
    for (struct addrinfo* ai = res; ai; ai = ai->ai_next) {
        int fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (fd < 0) continue;
        if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
            st->fd = fd;
            break;
        }
        close(fd);
    }
    freeaddrinfo(res);
    if (st->fd < 0) {
        fprintf(stderr, "Could not connect to KyrelDB at %s:%d\n", st->host, st->port);
        return -1;
    }
    return 0;
}

void print_reply(const ClientState* st, const char* reply) {
    if (st->json_only)
        puts(reply);
    else
        pretty_print_json(reply);
    fflush(stdout);
}

// The reply's own top-level "ok"; a reply that has none, or is not a JSON
// object at all, counts as failed and is named so on stderr.
bool reply_succeeded(const char* reply) {
    int ok = json_reply_ok(reply);
    if (ok < 0) fputs("invalid reply: not a JSON object with a boolean \"ok\"\n", stderr);
    return ok == 1;
}

// One exchange; on failure prints the reason and then `what` on stderr.
int exchange(ClientState* st, const char* request, char** reply, const char* what) {
    char err[256] = "";
    int r = client_request_raw(st, request, reply, err, sizeof err);
    if (r != 0) {
        fprintf(stderr, "%s\n%s\n", err, what);
        return -1;
    }
    return 0;
}

// Frees a request that may hold a password, wiping it first.
void free_secret(char* text) {
    if (!text) return;
    explicit_bzero(text, strlen(text));
    free(text);
}

int send_sql(ClientState* st, const char* text) {
    char* req = make_json2("sql", "sql", text, nullptr, nullptr);
    if (!req) {
        fputs("out of memory\n", stderr);
        return -1;
    }
    char* reply = nullptr;
    int r = exchange(st, req, &reply, "SQL request failed");
    free(req);
    if (r != 0) return -1;
    print_reply(st, reply);
    bool ok = reply_succeeded(reply);
    free(reply);
    if (!ok) return -1;
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') p++;
    if (ci_starts(p, "USE ")) {
        char name[256];
        copy_cut(name, sizeof name, p + 4);
        trim_ws(name);
        size_t n = strlen(name);
        while (n > 0 && (name[n - 1] == ';' || strchr(" \t\r\n\f\v", name[n - 1])))
            name[--n] = '\0';
        trim_ws(name);
        if (name[0]) copy_cut(st->current_database, sizeof st->current_database, name);
    }
    return 0;
}

void send_action_and_print(ClientState* st, const char* action) {
    char* esc = json_escape_alloc(action);
    std::string req;
    try {
        if (esc) req = std::string("{\"action\":\"") + esc + "\"}";
    } catch (const std::bad_alloc&) {
        req.clear();
    }
    free(esc);
    if (req.empty()) {
        fputs("out of memory\n", stderr);
        return;
    }
    char* reply = nullptr;
    if (exchange(st, req.c_str(), &reply, "request failed") != 0) return;
    print_reply(st, reply);
    free(reply);
}

int change_password_interactive(ClientState* st) {
    char first[256] = "";
    char second[256] = "";
    struct Wipe {  // both entries are wiped on every path
        char* a;
        char* b;
        ~Wipe() {
            explicit_bzero(a, 256);
            explicit_bzero(b, 256);
        }
    } wipe{first, second};
    if (prompt_password("New password: ", first) != 0) return -1;
    if (prompt_password("Confirm new password: ", second) != 0) return -1;
    if (strcmp(first, second) != 0) {
        fputs("Passwords do not match.\n", stderr);
        return -1;
    }
    if (!first[0]) {
        fputs("Password cannot be empty.\n", stderr);
        return -1;
    }
    char* req = make_json2("change_password", "new_password", first, nullptr, nullptr);
    if (!req) {
        fputs("out of memory\n", stderr);
        return -1;
    }
    char* reply = nullptr;
    int r = exchange(st, req, &reply, "password change request failed");
    free_secret(req);
    if (r != 0) return -1;
    print_reply(st, reply);
    bool ok = reply_succeeded(reply);
    free(reply);
    if (!ok) return -1;
    st->must_change_password = 0;
    return 0;
}

// Logs in; 0 on success, else the exit status.
int login(ClientState* st, const ClientOptions* opt) {
    char user[128] = "";
    if (opt->user[0]) {
        copy_cut(user, sizeof user, opt->user);
    } else {
        fputs("Username: ", stdout);
        fflush(stdout);
        int too_long = 0;
        if (read_line_limited(user, sizeof user, &too_long) != 0) return 1;
        if (too_long) {
            fputs("user name too long (at most 127 characters)\n", stderr);
            return 1;
        }
        trim_ws(user);
    }

    char password[256] = "";
    if (opt->no_password_prompt) {
        const char* env = getenv("KYRELDB_PASSWORD");
        if (!env) {
            fputs("KYRELDB_PASSWORD is not set.\n", stderr);
            return 1;
        }
        if (strlen(env) > 255) {
            fputs("KYRELDB_PASSWORD is longer than 255 characters.\n", stderr);
            return 1;
        }
        copy_cut(password, sizeof password, env);
    } else if (prompt_password("Password: ", password) != 0) {
        return 1;
    }

    char* req = make_json2("login", "username", user, "password", password);
    explicit_bzero(password, sizeof password);
    if (!req) {
        fputs("out of memory\n", stderr);
        return 1;
    }
    char* reply = nullptr;
    int r = exchange(st, req, &reply, "login request failed");
    free_secret(req);
    if (r != 0) return 1;
    print_reply(st, reply);
    bool ok = reply_succeeded(reply);
    if (ok) {
        st->logged_in = 1;
        st->must_change_password = json_bool_field(reply, "must_change_password");
        copy_cut(st->username, sizeof st->username, user);
        char db[128];
        if (json_string_field(reply, "current_db", db, sizeof db) && db[0])
            copy_cut(st->current_database, sizeof st->current_database, db);
    }
    free(reply);
    return ok ? 0 : 1;
}

// Copy of a line with white space trimmed at both ends.
std::string trimmed_copy(const char* s, size_t n) {
    size_t b = 0;
    while (b < n && isspace(static_cast<unsigned char>(s[b]))) b++;
    while (n > b && isspace(static_cast<unsigned char>(s[n - 1]))) n--;
    return std::string(s + b, n - b);
}

// Appends a raw line and one more newline to the statement buffer and toggles
// the $$ body state for every "$$" in it. -1 when the buffer would pass its
// limit (message printed).
int append_line(std::string& buf, const char* line, size_t n, bool* in_body) {
    if (buf.size() + n + 2 > CLIENT_MAX_FRAME) {
        fputs("SQL buffer too large. Use \\clear.\n", stderr);
        return -1;
    }
    buf.append(line, n);
    buf += '\n';
    for (size_t i = 0; i + 1 < n; i++) {
        if (line[i] == '$' && line[i + 1] == '$') {
            *in_body = !*in_body;
            i++;
        }
    }
    return 0;
}

bool ends_with_semicolon(const char* line, size_t n) {
    while (n > 0 && isspace(static_cast<unsigned char>(line[n - 1]))) n--;
    return n > 0 && line[n - 1] == ';';
}

// Runs a client command typed at the main prompt. -1 to go on, else the exit status.
int run_client_command(ClientState* st, const std::string& cmd) {
    const char* c = cmd.c_str();
    if (cmd == "\\q" || cmd == "\\quit" || cmd == "\\exit") return 0;
    if (cmd == "\\help" || cmd == "\\?") {
        print_client_help();
    } else if (cmd == "\\clear") {
        puts("SQL buffer cleared.");
    } else if (cmd == "\\g") {
        puts("SQL buffer is empty.");
    } else if (cmd == "\\password") {
        change_password_interactive(st);
    } else if (cmd == "\\ping") {
        send_action_and_print(st, "ping");
    } else if (ci_starts(c, "\\use ")) {
        std::string name = trimmed_copy(c + 5, cmd.size() - 5);
        if (name.size() > 200) {
            fputs("database name too long\n", stderr);
        } else {
            std::string sql = "USE " + name + ";";
            send_sql(st, sql.c_str());
        }
    } else {
        fprintf(stderr, "Unknown client command: %s. Use \\help.\n", c);
    }
    fflush(stdout);
    return -1;
}

// getline(3) into a heap line freed by the guard.
struct LineReader {
    char* line = nullptr;
    size_t cap = 0;
    ~LineReader() { free(line); }
    ssize_t next() { return getline(&line, &cap, stdin); }
};

int interactive_loop(ClientState* st) {
    std::string buf;
    try {
        buf.reserve(8192);
    } catch (const std::bad_alloc&) {
        return 1;
    }
    LineReader in;
    for (;;) {
        printf("kyreldb:%s> ", st->current_database[0] ? st->current_database : "default");
        fflush(stdout);
        ssize_t n = in.next();
        if (n < 0) {
            puts("");
            return 0;
        }
        std::string first = trimmed_copy(in.line, static_cast<size_t>(n));
        if (first.empty()) continue;
        if (first[0] == '\\') {
            int rc = run_client_command(st, first);
            if (rc >= 0) return rc;
            continue;
        }
        buf.clear();
        bool in_body = false;
        if (append_line(buf, in.line, static_cast<size_t>(n), &in_body) != 0) return 1;
        bool complete = !in_body && ends_with_semicolon(in.line, static_cast<size_t>(n));
        while (!complete) {
            fputs("        ...> ", stdout);
            fflush(stdout);
            n = in.next();
            if (n < 0) {
                puts("");
                return 0;
            }
            if (trimmed_copy(in.line, static_cast<size_t>(n)).empty()) {
                if (in_body) continue;
                break;  // a blank line outside a body sends what has been collected
            }
            if (append_line(buf, in.line, static_cast<size_t>(n), &in_body) != 0) return 1;
            complete = !in_body && ends_with_semicolon(in.line, static_cast<size_t>(n));
        }
        send_sql(st, buf.c_str());
        buf.clear();
    }
}

int run_client(int argc, char** argv) {
    ClientState st;
    ClientOptions opt;
    int rc = parse_args(argc, argv, &st, &opt);
    if (rc >= 0) return rc;
    if (connect_client(&st) != 0) return 1;
    struct SocketGuard {
        ClientState* st;
        ~SocketGuard() {
            if (st->fd >= 0) close(st->fd);
        }
    } sock{&st};

    printf("%s\nConnected to %s:%d\n", kClientName, st.host, st.port);
    fflush(stdout);

    rc = login(&st, &opt);
    if (rc != 0) return rc;

    if (st.must_change_password) {
        puts("\nKyrelDB requires this user to change password before continuing.");
        if (change_password_interactive(&st) != 0) return 1;
    }
    if (opt.database[0]) {
        std::string use = std::string("USE ") + opt.database + ";";
        if (send_sql(&st, use.c_str()) != 0) return 1;
    }
    if (opt.have_execute) return send_sql(&st, opt.execute.c_str()) == 0 ? 0 : 1;

    printf("\nConnected. Type \\help for help. End SQL with semicolon or use \\g.\n");
    return interactive_loop(&st);
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    atexit(restore_terminal);
    try {
        return run_client(argc, argv);
    } catch (const std::bad_alloc&) {
        restore_terminal();
        fputs("out of memory\n", stderr);
        return 1;
    }
}
