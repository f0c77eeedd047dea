// Router configuration file.
//
// Format: one item per line; blank lines and lines starting with '#' are
// skipped; white space at both ends is trimmed. A line containing '=' is a
// setting KEY=VALUE (key case-insensitive). Any other line is a directive of
// blank- or tab-separated tokens:
//   BACKEND <name> <host> <port>
//   DATABASE <database> <backend>
//   USER|ADMIN <user> <password> [backend_user] [backend_password]
//   GRANT <user> <database|*> <READ|WRITE|FULL>
// Lines are at most 1022 characters. After the last line every DATABASE must
// name a BACKEND, and at least one of each must exist. Any error stops the
// load; a reload that fails leaves the running configuration in place.
#include "router_config.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "router_backend.h"
#include "router_json.h"
#include "router_wire.h"

RouterConfig g_cfg;
std::mutex g_cfg_lock;
uint64_t g_config_generation = 1;
std::atomic<int> g_running{1};
std::atomic<int> g_reload_requested{0};
int g_active_clients = 0;
std::mutex g_clients_lock;

// Random bits for a temporary file name; the clock and process id stand in
// when the system has no entropy to give.
static uint64_t random_name_bits() {
    uint64_t v = 0;
    if (getentropy(&v, sizeof v) == 0) return v;
    static std::atomic<uint64_t> counter{0};
    return static_cast<uint64_t>(router_now_micros()) ^ (static_cast<uint64_t>(getpid()) << 32) ^
           (++counter * 0x9E3779B97F4A7C15ull);
}

// fsync of the directory holding path, so a rename into it is durable.
static int sync_parent_directory(const char* path) {
    const char* slash = strrchr(path, '/');
    std::string dir =
        slash == nullptr ? std::string(".")
                         : std::string(path, slash == path ? 1 : static_cast<size_t>(slash - path));
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    int rc = fsync(fd);
    close(fd);
    return rc;
}

static void backend_health_reset(BackendEntry* b) {
    b->healthy = 0;
    b->last_check_at = 0;
    b->last_success_at = 0;
    b->last_latency_us = -1;
    b->best_latency_us = -1;
    b->worst_latency_us = -1;
    b->total_checks = 0;
    b->success_checks = 0;
    b->failed_checks = 0;
    b->consecutive_failures = 0;
    b->runtime_failures = 0;
    b->last_runtime_failure_at = 0;
    b->last_error[0] = '\0';
    b->last_runtime_error[0] = '\0';
}

void router_config_set_defaults(RouterConfig* cfg) {
    memset(cfg, 0, sizeof *cfg);
    router_copy_str(cfg->listen_host, sizeof cfg->listen_host, "0.0.0.0");
    cfg->listen_port = 9292;
    cfg->max_clients = 256;
    cfg->backend_pool_enabled = 1;
    cfg->backend_pool_max_per_backend = 16;
    cfg->backend_pool_idle_seconds = 300;
    cfg->sp_call_role = ROUTER_ROLE_FULL;
    cfg->sp_call_require_same_backend_user = 1;
    cfg->auth_throttle_enabled = 1;
    cfg->auth_fail_window_seconds = 60;
    cfg->auth_fail_threshold = 5;
    cfg->auth_throttle_seconds = 5;
    cfg->auth_max_failures_per_session = 10;
    cfg->login_timeout_seconds = 30;
}

int router_config_token_is_safe(const char* text) {
    if (text == nullptr || *text == '\0') return 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; p++) {
        if (*p < 0x20 || *p == 0x7F || isspace(*p)) return 0;
    }
    return 1;
}

int router_role_from_string(const char* text) {
    if (text == nullptr) return ROUTER_ROLE_NONE;
    if (strcasecmp(text, "READ") == 0) return ROUTER_ROLE_READ;
    if (strcasecmp(text, "WRITE") == 0) return ROUTER_ROLE_WRITE;
    if (strcasecmp(text, "FULL") == 0) return ROUTER_ROLE_FULL;
    return ROUTER_ROLE_NONE;
}

const char* router_role_to_string(int role) {
    switch (role) {
    case ROUTER_ROLE_READ: return "READ";
    case ROUTER_ROLE_WRITE: return "WRITE";
    case ROUTER_ROLE_FULL: return "FULL";
    default: return "NONE";
    }
}

int router_parse_onoff(const char* text, int current) {
    if (text == nullptr) return current;
    if (strcasecmp(text, "ON") == 0 || strcasecmp(text, "YES") == 0 ||
        strcasecmp(text, "TRUE") == 0 || strcmp(text, "1") == 0)
        return 1;
    if (strcasecmp(text, "OFF") == 0 || strcasecmp(text, "NO") == 0 ||
        strcasecmp(text, "FALSE") == 0 || strcmp(text, "0") == 0)
        return 0;
    return current;
}

int router_find_backend_idx_in_config(const RouterConfig* cfg, const char* name) {
    for (int i = 0; i < cfg->backend_count; i++) {
        if (strcasecmp(cfg->backends[i].name, name) == 0) return i;
    }
    return -1;
}

int router_max_clients_snapshot() {
    std::lock_guard<std::mutex> g(g_cfg_lock);
    return g_cfg.max_clients;
}

uint64_t router_config_generation_snapshot() {
    std::lock_guard<std::mutex> g(g_cfg_lock);
    return g_config_generation;
}

// Leading, optionally signed decimal integer; no digits reads 0. Saturates
// instead of overflowing, so a huge value simply falls outside every range.
static long long parse_leading_int(const char* s) {
    const char* p = s;
    bool neg = false;
    if (*p == '+' || *p == '-') {
        neg = (*p == '-');
        p++;
    }
    long long v = 0;
    while (isdigit(static_cast<unsigned char>(*p))) {
        if (v < 1000000000000LL) v = v * 10 + (*p - '0');
        p++;
    }
    return neg ? -v : v;
}

static void set_ranged(int32_t* field, const char* value, long long lo, long long hi) {
    long long v = parse_leading_int(value);
    if (v >= lo && v <= hi) *field = static_cast<int32_t>(v);
}

static char* trim_in_place(char* s) {
    while (*s && isspace(static_cast<unsigned char>(*s))) s++;
    size_t n = strlen(s);
    while (n > 0 && isspace(static_cast<unsigned char>(s[n - 1]))) s[--n] = '\0';
    return s;
}

// Copies a token into a fixed field: "empty %s"/"%s too long" at line %d.
static int copy_token(char* dst, size_t cap, const char* tok, const char* label, int line,
                      char* err, size_t errlen) {
    if (tok == nullptr || *tok == '\0') {
        snprintf(err, errlen, "empty %s at line %d", label, line);
        return -1;
    }
    if (strlen(tok) >= cap) {
        snprintf(err, errlen, "%s too long at line %d", label, line);
        return -1;
    }
    router_copy_str(dst, cap, tok);
    return 0;
}

static int apply_setting(RouterConfig* cfg, const char* path, int line, char* key, char* value,
                         char* err, size_t errlen) {
    if (strcasecmp(key, "LISTEN_HOST") == 0) {
        return copy_token(cfg->listen_host, sizeof cfg->listen_host, value, "LISTEN_HOST", line,
                          err, errlen);
    } else if (strcasecmp(key, "LISTEN_PORT") == 0) {
        set_ranged(&cfg->listen_port, value, 1, 65535);
    } else if (strcasecmp(key, "MAX_CLIENTS") == 0) {
        set_ranged(&cfg->max_clients, value, 1, 100000);
    } else if (strcasecmp(key, "BACKEND_POOL") == 0) {
        cfg->backend_pool_enabled = router_parse_onoff(value, cfg->backend_pool_enabled);
    } else if (strcasecmp(key, "BACKEND_POOL_MAX_PER_BACKEND") == 0) {
        set_ranged(&cfg->backend_pool_max_per_backend, value, 0, 10000);
    } else if (strcasecmp(key, "BACKEND_POOL_IDLE_SECONDS") == 0) {
        set_ranged(&cfg->backend_pool_idle_seconds, value, 1, 86400);
    } else if (strcasecmp(key, "STORED_PROCEDURE_CALL_ROLE") == 0 ||
               strcasecmp(key, "SP_CALL_ROLE") == 0) {
        int role = router_role_from_string(value);
        if (role == ROUTER_ROLE_NONE)
            fprintf(stderr, "warning: invalid stored procedure CALL role at %s:%d: %s\n", path,
                    line, value);
        else
            cfg->sp_call_role = role;
    } else if (strcasecmp(key, "STORED_PROCEDURE_CALL_REQUIRE_SAME_BACKEND_USER") == 0 ||
               strcasecmp(key, "SP_CALL_REQUIRE_SAME_BACKEND_USER") == 0) {
        cfg->sp_call_require_same_backend_user =
            router_parse_onoff(value, cfg->sp_call_require_same_backend_user);
    } else if (strcasecmp(key, "AUTH_THROTTLE") == 0 ||
               strcasecmp(key, "AUTH_THROTTLE_ENABLED") == 0) {
        cfg->auth_throttle_enabled = router_parse_onoff(value, cfg->auth_throttle_enabled);
    } else if (strcasecmp(key, "AUTH_FAIL_WINDOW_SECONDS") == 0) {
        set_ranged(&cfg->auth_fail_window_seconds, value, 1, 86400);
    } else if (strcasecmp(key, "AUTH_FAIL_THRESHOLD") == 0) {
        set_ranged(&cfg->auth_fail_threshold, value, 1, 1000);
    } else if (strcasecmp(key, "AUTH_THROTTLE_SECONDS") == 0) {
        set_ranged(&cfg->auth_throttle_seconds, value, 0, 3600);
    } else if (strcasecmp(key, "AUTH_MAX_FAILURES_PER_SESSION") == 0) {
        set_ranged(&cfg->auth_max_failures_per_session, value, 0, 100000);
    } else if (strcasecmp(key, "LOGIN_TIMEOUT_SECONDS") == 0) {
        set_ranged(&cfg->login_timeout_seconds, value, 1, 86400);
    } else {
        fprintf(stderr, "warning: unknown key at %s:%d: %s\n", path, line, key);
    }
    return 0;
}

// The directive lines of the configuration file, one function each. tok[0] is
// the directive's name and tok[1..] its words, at least as many as each checks.
typedef std::vector<char*> Words;

static int add_backend(RouterConfig* cfg, const Words& tok, int line, char* err, size_t errlen) {
    if (tok.size() - 1 < 3) {
        snprintf(err, errlen, "bad BACKEND at line %d", line);
        return -1;
    }
    if (cfg->backend_count >= ROUTER_MAX_BACKENDS) {
        snprintf(err, errlen, "too many backends");
        return -1;
    }
    BackendEntry* b = &cfg->backends[cfg->backend_count];
    memset(b, 0, sizeof *b);
    if (copy_token(b->name, sizeof b->name, tok[1], "backend name", line, err, errlen) != 0 ||
        copy_token(b->host, sizeof b->host, tok[2], "backend host", line, err, errlen) != 0)
        return -1;
    long long port = parse_leading_int(tok[3]);
    b->port = (port >= 1 && port <= 65535) ? static_cast<int32_t>(port) : 9191;
    backend_health_reset(b);
    cfg->backend_count++;
    return 0;
}

static int add_database(RouterConfig* cfg, const Words& tok, int line, char* err, size_t errlen) {
    if (tok.size() - 1 < 2) {
        snprintf(err, errlen, "bad DATABASE at line %d", line);
        return -1;
    }
    if (cfg->database_count >= ROUTER_MAX_DATABASES) {
        snprintf(err, errlen, "too many databases");
        return -1;
    }
    DatabaseRoute* r = &cfg->databases[cfg->database_count];
    memset(r, 0, sizeof *r);
    if (copy_token(r->name, sizeof r->name, tok[1], "database name", line, err, errlen) != 0 ||
        copy_token(r->backend_name, sizeof r->backend_name, tok[2], "database backend", line, err,
                   errlen) != 0)
        return -1;
    r->backend_idx = -1;
    cfg->database_count++;
    return 0;
}

// USER and ADMIN: name, router password, then optionally the backend user and
// password (the router's own pair when they are left out).
static int add_user(RouterConfig* cfg, const Words& tok, int line, char* err, size_t errlen) {
    size_t args = tok.size() - 1;
    if (args < 2) {
        snprintf(err, errlen, "bad USER at line %d", line);
        return -1;
    }
    if (cfg->user_count >= ROUTER_MAX_USERS) {
        snprintf(err, errlen, "too many users");
        return -1;
    }
    RouterUser* u = &cfg->users[cfg->user_count];
    memset(u, 0, sizeof *u);
    const char* bu = args >= 3 ? tok[3] : tok[1];
    const char* bp = args >= 4 ? tok[4] : tok[2];
    if (copy_token(u->username, sizeof u->username, tok[1], "username", line, err, errlen) != 0 ||
        copy_token(u->router_password, sizeof u->router_password, tok[2], "router password", line,
                   err, errlen) != 0 ||
        copy_token(u->backend_username, sizeof u->backend_username, bu, "backend username", line,
                   err, errlen) != 0 ||
        copy_token(u->backend_password, sizeof u->backend_password, bp, "backend password", line,
                   err, errlen) != 0)
        return -1;
    u->is_admin = strcasecmp(tok[0], "ADMIN") == 0 ? 1 : 0;
    cfg->user_count++;
    return 0;
}

static int add_grant(RouterConfig* cfg, const Words& tok, int line, char* err, size_t errlen) {
    if (tok.size() - 1 < 3) {
        snprintf(err, errlen, "bad GRANT at line %d", line);
        return -1;
    }
    if (cfg->grant_count >= ROUTER_MAX_GRANTS) {
        snprintf(err, errlen, "too many grants");
        return -1;
    }
    RouterGrant* g = &cfg->grants[cfg->grant_count];
    memset(g, 0, sizeof *g);
    if (copy_token(g->username, sizeof g->username, tok[1], "grant username", line, err, errlen) !=
            0 ||
        copy_token(g->database, sizeof g->database, tok[2], "grant database", line, err, errlen) !=
            0)
        return -1;
    g->role = router_role_from_string(tok[3]);
    cfg->grant_count++;
    return 0;
}

static int apply_directive(RouterConfig* cfg, const char* path, int line, char* text, char* err,
                           size_t errlen) {
    Words tok;
    for (char *save = nullptr, *t = strtok_r(text, " \t", &save); t;
         t = strtok_r(nullptr, " \t", &save))
        tok.push_back(t);
    if (tok.empty()) return 0;
    const char* name = tok[0];
    if (strcasecmp(name, "BACKEND") == 0) return add_backend(cfg, tok, line, err, errlen);
    if (strcasecmp(name, "DATABASE") == 0) return add_database(cfg, tok, line, err, errlen);
    if (strcasecmp(name, "USER") == 0 || strcasecmp(name, "ADMIN") == 0)
        return add_user(cfg, tok, line, err, errlen);
    if (strcasecmp(name, "GRANT") == 0) return add_grant(cfg, tok, line, err, errlen);
    fprintf(stderr, "warning: unknown directive at %s:%d: %s\n", path, line, name);
    return 0;
}

static const char* const kDefaultConfigLines[] = {
    "# KyrelDB Router configuration",
    "# The router accepts KyrelDB client connections and routes by database.",
    "",
    "# This host only. Before opening the router to other hosts (LISTEN_HOST=0.0.0.0",
    "# for every address, or one address of this host), change the admin password below.",
    "LISTEN_HOST=127.0.0.1",
    "LISTEN_PORT=9292",
    "MAX_CLIENTS=256",
    "BACKEND_POOL=ON",
    "BACKEND_POOL_MAX_PER_BACKEND=16",
    "BACKEND_POOL_IDLE_SECONDS=300",
    "",
    "# Stored procedure CALL policy. FULL is the safest default.",
    "# To allow READ users to CALL procedures, use READ and keep one-to-one backend users.",
    "STORED_PROCEDURE_CALL_ROLE=FULL",
    "STORED_PROCEDURE_CALL_REQUIRE_SAME_BACKEND_USER=ON",
    "",
    "# Authentication throttling protects the Router from repeated login attempts.",
    "AUTH_THROTTLE=ON",
    "AUTH_FAIL_WINDOW_SECONDS=60",
    "AUTH_FAIL_THRESHOLD=5",
    "AUTH_THROTTLE_SECONDS=5",
    "AUTH_MAX_FAILURES_PER_SESSION=10",
    "# A connection that has not logged in within this many seconds is closed.",
    "LOGIN_TIMEOUT_SECONDS=30",
    "",
    "# BACKEND <name> <host> <port>",
    "BACKEND main 127.0.0.1 9191",
    "",
    "# DATABASE <database_name> <backend_name>",
    "DATABASE default main",
    "",
    "# USER <router_user> <router_password> [backend_user] [backend_password]",
    "# If backend_user/backend_password are omitted, router_user/router_password are used.",
    "USER admin lumen406 admin lumen406",
    "",
    "# GRANT <user> <database|*> <READ|WRITE|FULL>",
    "GRANT admin * FULL",
};

int router_create_private_file(const char* path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    // The mode is exact whatever the umask.
    if (fchmod(fd, 0600) != 0) {
        int e = errno;
        close(fd);
        unlink(path);
        errno = e;
        return -1;
    }
    return fd;
}

int router_write_default_config(const char* path) {
    int fd = router_create_private_file(path);
    if (fd < 0) return -1;
    FILE* f = fdopen(fd, "w");
    if (f == nullptr) {
        close(fd);
        unlink(path);
        return -1;
    }
    bool ok = true;
    for (const char* line : kDefaultConfigLines) {
        if (fprintf(f, "%s\n", line) < 0) ok = false;
    }
    if (ferror(f)) ok = false;
    if (fclose(f) != 0) ok = false;
    if (!ok) {
        unlink(path);
        return -1;
    }
    return 0;
}

int router_load_config_into(RouterConfig* cfg, const char* path, int allow_default_file, char* err,
                            size_t errlen) {
    router_config_set_defaults(cfg);
    if (path == nullptr || *path == '\0') path = ROUTER_DEFAULT_CONFIG_PATH;
    if (strlen(path) >= sizeof cfg->config_path) {
        snprintf(err, errlen, "router config path is too long");
        return -1;
    }
    router_copy_str(cfg->config_path, sizeof cfg->config_path, path);
    struct stat st;
    if (allow_default_file && stat(path, &st) != 0 && errno == ENOENT)
        router_write_default_config(path);

    std::unique_ptr<FILE, int (*)(FILE*)> f(fopen(path, "r"), fclose);
    if (!f) {
        snprintf(err, errlen, "cannot open config file: %s", path);
        return -1;
    }
    char buf[1024];
    int line = 0;
    while (fgets(buf, sizeof buf, f.get()) != nullptr) {
        line++;
        size_t n = strlen(buf);
        bool has_nl = n > 0 && buf[n - 1] == '\n';
        if (!has_nl && n == sizeof buf - 1 && !feof(f.get())) {
            int c;
            while ((c = fgetc(f.get())) != EOF && c != '\n') {}
            snprintf(err, errlen, "router config line too long at line %d", line);
            return -1;
        }
        char* text = trim_in_place(buf);
        if (*text == '\0' || *text == '#') continue;
        char* eq = strchr(text, '=');
        int rc;
        if (eq != nullptr) {
            *eq = '\0';
            rc = apply_setting(cfg, path, line, trim_in_place(text), trim_in_place(eq + 1), err,
                               errlen);
        } else {
            rc = apply_directive(cfg, path, line, text, err, errlen);
        }
        if (rc != 0) return -1;
    }
    for (int i = 0; i < cfg->database_count; i++) {
        DatabaseRoute* r = &cfg->databases[i];
        r->backend_idx = router_find_backend_idx_in_config(cfg, r->backend_name);
        if (r->backend_idx < 0) {
            snprintf(err, errlen, "database '%s' references unknown backend '%s'", r->name,
                     r->backend_name);
            return -1;
        }
    }
    if (cfg->backend_count == 0) {
        snprintf(err, errlen, "no BACKEND entries configured");
        return -1;
    }
    if (cfg->database_count == 0) {
        snprintf(err, errlen, "no DATABASE entries configured");
        return -1;
    }
    return 0;
}

int router_load_config(const char* path, char* err, size_t errlen) {
    std::unique_ptr<RouterConfig> fresh(new (std::nothrow) RouterConfig);
    if (!fresh) {
        snprintf(err, errlen, "out of memory");
        return -1;
    }
    if (router_load_config_into(fresh.get(), path, 1, err, errlen) != 0) return -1;
    std::lock_guard<std::mutex> g(g_cfg_lock);
    g_cfg = *fresh;
    return 0;
}

std::string router_reload_config_json() {
    std::unique_ptr<RouterConfig> fresh(new (std::nothrow) RouterConfig);
    if (!fresh) return make_error_json("oom");
    int old_counts[4], new_counts[4];
    bool host_ignored = false, port_ignored = false;
    char ignored_host[128] = "";
    int ignored_port = 0;
    uint64_t generation;
    {
        std::lock_guard<std::mutex> g(g_cfg_lock);
        old_counts[0] = g_cfg.backend_count;
        old_counts[1] = g_cfg.database_count;
        old_counts[2] = g_cfg.user_count;
        old_counts[3] = g_cfg.grant_count;
        char err[512] = "";
        if (router_load_config_into(fresh.get(), g_cfg.config_path, 0, err, sizeof err) != 0) {
            char msg[600];
            snprintf(msg, sizeof msg, "router config reload failed: %.480s", err);
            return make_error_json(msg);
        }
        if (strcasecmp(fresh->listen_host, g_cfg.listen_host) != 0) {
            host_ignored = true;
            router_copy_str(ignored_host, sizeof ignored_host, fresh->listen_host);
            router_copy_str(fresh->listen_host, sizeof fresh->listen_host, g_cfg.listen_host);
        }
        if (fresh->listen_port != g_cfg.listen_port) {
            port_ignored = true;
            ignored_port = fresh->listen_port;
            fresh->listen_port = g_cfg.listen_port;
        }
        for (int i = 0; i < fresh->backend_count; i++) {
            BackendEntry* nb = &fresh->backends[i];
            for (int j = 0; j < g_cfg.backend_count; j++) {
                const BackendEntry* ob = &g_cfg.backends[j];
                if (strcasecmp(nb->name, ob->name) == 0 && strcasecmp(nb->host, ob->host) == 0 &&
                    nb->port == ob->port) {
                    *nb = *ob;  // same identity: keep the whole health record
                    break;
                }
            }
        }
        g_cfg = *fresh;
        g_config_generation++;
        if (g_config_generation == 0) g_config_generation = 1;
        generation = g_config_generation;
        new_counts[0] = g_cfg.backend_count;
        new_counts[1] = g_cfg.database_count;
        new_counts[2] = g_cfg.user_count;
        new_counts[3] = g_cfg.grant_count;
    }
    backend_pool_close_all();
    std::string out;
    router_appendf(
        out,
        "{\"ok\":true,\"message\":\"router config reloaded\",\"config_generation\":%llu,"
        "\"pools_flushed\":true,\"old\":{\"backends\":%d,\"databases\":%d,\"users\":%d,\"grants\":%"
        "d},"
        "\"new\":{\"backends\":%d,\"databases\":%d,\"users\":%d,\"grants\":%d},"
        "\"listen_change_ignored\":%s,\"ignored_listen_host\":\"%s\",\"ignored_listen_port\":%d}",
        static_cast<unsigned long long>(generation), old_counts[0], old_counts[1], old_counts[2],
        old_counts[3], new_counts[0], new_counts[1], new_counts[2], new_counts[3],
        (host_ignored || port_ignored) ? "true" : "false", json_escape(ignored_host).c_str(),
        ignored_port);
    return out;
}

// The saved form of the configuration: the settings, then the BACKEND,
// DATABASE, USER/ADMIN and GRANT lines, each group after a blank line.
static void write_config_text(FILE* f, const RouterConfig& c) {
    auto onoff = [](int v) -> const char* { return v ? "ON" : "OFF"; };
    fprintf(f, "# KyrelDB Router configuration\n");
    fprintf(f, "# Auto-saved by KyrelDB Router after an in-band password change.\n\n");
    fprintf(f, "LISTEN_HOST=%s\n", c.listen_host);
    fprintf(f, "LISTEN_PORT=%d\n", c.listen_port);
    fprintf(f, "MAX_CLIENTS=%d\n", c.max_clients);
    fprintf(f, "BACKEND_POOL=%s\n", onoff(c.backend_pool_enabled));
    fprintf(f, "BACKEND_POOL_MAX_PER_BACKEND=%d\n", c.backend_pool_max_per_backend);
    fprintf(f, "BACKEND_POOL_IDLE_SECONDS=%d\n", c.backend_pool_idle_seconds);
    fprintf(f, "STORED_PROCEDURE_CALL_ROLE=%s\n", router_role_to_string(c.sp_call_role));
    fprintf(f, "STORED_PROCEDURE_CALL_REQUIRE_SAME_BACKEND_USER=%s\n",
            onoff(c.sp_call_require_same_backend_user));
    fprintf(f, "AUTH_THROTTLE=%s\n", onoff(c.auth_throttle_enabled));
    fprintf(f, "AUTH_FAIL_WINDOW_SECONDS=%d\n", c.auth_fail_window_seconds);
    fprintf(f, "AUTH_FAIL_THRESHOLD=%d\n", c.auth_fail_threshold);
    fprintf(f, "AUTH_THROTTLE_SECONDS=%d\n", c.auth_throttle_seconds);
    fprintf(f, "AUTH_MAX_FAILURES_PER_SESSION=%d\n", c.auth_max_failures_per_session);
    fprintf(f, "LOGIN_TIMEOUT_SECONDS=%d\n\n", c.login_timeout_seconds);
    for (int i = 0; i < c.backend_count; i++)
        fprintf(f, "BACKEND %s %s %d\n", c.backends[i].name, c.backends[i].host,
                c.backends[i].port);
    fprintf(f, "\n");
    for (int i = 0; i < c.database_count; i++)
        fprintf(f, "DATABASE %s %s\n", c.databases[i].name, c.databases[i].backend_name);
    fprintf(f, "\n");
    for (int i = 0; i < c.user_count; i++) {
        const RouterUser& u = c.users[i];
        fprintf(f, "%s %s %s %s %s\n", u.is_admin ? "ADMIN" : "USER", u.username, u.router_password,
                u.backend_username, u.backend_password);
    }
    fprintf(f, "\n");
    for (int i = 0; i < c.grant_count; i++)
        fprintf(f, "GRANT %s %s %s\n", c.grants[i].username, c.grants[i].database,
                router_role_to_string(c.grants[i].role));
}

int router_save_config_file(char* err, size_t errlen) {
    const RouterConfig& c = g_cfg;
    if (c.config_path[0] == '\0') {
        snprintf(err, errlen, "router config path is empty");
        return -1;
    }
    for (int i = 0; i < c.user_count; i++) {
        const RouterUser& u = c.users[i];
        if (!router_config_token_is_safe(u.username) ||
            !router_config_token_is_safe(u.router_password) ||
            !router_config_token_is_safe(u.backend_username) ||
            !router_config_token_is_safe(u.backend_password)) {
            snprintf(
                err, errlen,
                "router config cannot persist empty passwords or passwords containing whitespace");
            return -1;
        }
    }
    // The temporary file gets a fresh random name and is created exclusively
    // without following links, so nothing planted beside the configuration
    // can receive its text (passwords included) or take its place.
    char tmp[512];
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; attempt++) {
        int n = snprintf(tmp, sizeof tmp, "%s.tmp.%016llx", c.config_path,
                         static_cast<unsigned long long>(random_name_bits()));
        if (n < 0 || static_cast<size_t>(n) >= sizeof tmp) {
            snprintf(err, errlen, "router config temp path is too long");
            return -1;
        }
        fd = router_create_private_file(tmp);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        snprintf(err, errlen, "cannot write router config: %s", c.config_path);
        return -1;
    }
    FILE* f = fdopen(fd, "w");
    if (f == nullptr) {
        close(fd);
        unlink(tmp);
        snprintf(err, errlen, "cannot open router config temp file");
        return -1;
    }
    write_config_text(f, c);
    // On disk before it replaces the old file, and the replacement itself on
    // disk before the change is reported saved.
    bool bad = fflush(f) != 0 || ferror(f) != 0 || fsync(fileno(f)) != 0;
    if (fclose(f) != 0) bad = true;
    if (bad) {
        unlink(tmp);
        snprintf(err, errlen, "cannot flush router config: %s", c.config_path);
        return -1;
    }
    if (rename(tmp, c.config_path) != 0) {
        unlink(tmp);
        snprintf(err, errlen, "cannot replace router config: %s", c.config_path);
        return -1;
    }
    if (sync_parent_directory(c.config_path) != 0) {
        snprintf(err, errlen, "router config replaced but its directory could not be synced: %s",
                 c.config_path);
        return -1;
    }
    return 0;
}
