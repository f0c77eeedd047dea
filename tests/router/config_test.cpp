// Configuration file grammar: settings, directives, errors, the default file
// and the rewrite after a password change.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "router_config.h"
#include "router_harness.h"

using namespace router_test;

namespace {

const char* kBase = "BACKEND main 127.0.0.1 9191\nDATABASE default main\n";

struct Loaded {
    std::unique_ptr<RouterConfig> cfg{new RouterConfig};
    int rc = 0;
    char err[512] = "";
};

Loaded load_text(const TempDir& dir, const std::string& text) {
    std::string path = dir.file("r.config");
    write_file(path, text);
    Loaded l;
    l.rc = router_load_config_into(l.cfg.get(), path.c_str(), 0, l.err, sizeof l.err);
    return l;
}

}  // namespace

TEST(RouterConfigGrammar, SettingsKeepRangesAndOnOff) {
    TempDir dir;
    struct Case {
        const char* line;
        int RouterConfig::*field;
        int expected;
    };
    const Case cases[] = {
        {"LISTEN_PORT=70000", &RouterConfig::listen_port, 9292},   // out of range keeps default
        {"listen_port = 9400", &RouterConfig::listen_port, 9400},  // key any case, blanks trimmed
        {"MAX_CLIENTS=abc", &RouterConfig::max_clients, 256},  // no digits reads 0: out of range
        {"MAX_CLIENTS=99999999999999999999", &RouterConfig::max_clients, 256},  // huge: no overflow
        {"BACKEND_POOL_MAX_PER_BACKEND=abc", &RouterConfig::backend_pool_max_per_backend, 0},
        {"BACKEND_POOL=off", &RouterConfig::backend_pool_enabled, 0},
        {"BACKEND_POOL=maybe", &RouterConfig::backend_pool_enabled, 1},
        {"AUTH_THROTTLE_ENABLED=no", &RouterConfig::auth_throttle_enabled, 0},
        {"SP_CALL_ROLE=read", &RouterConfig::sp_call_role, ROUTER_ROLE_READ},
        {"SP_CALL_ROLE=admin", &RouterConfig::sp_call_role, ROUTER_ROLE_FULL},
        {"AUTH_THROTTLE_SECONDS=-1", &RouterConfig::auth_throttle_seconds, 5},
        {"AUTH_MAX_FAILURES_PER_SESSION=0", &RouterConfig::auth_max_failures_per_session, 0},
        {"LOGIN_TIMEOUT_SECONDS=5", &RouterConfig::login_timeout_seconds, 5},
        {"LOGIN_TIMEOUT_SECONDS=0", &RouterConfig::login_timeout_seconds, 30},  // never off
    };
    for (const Case& c : cases) {
        Loaded l = load_text(dir, std::string(kBase) + c.line + "\n");
        ASSERT_EQ(l.rc, 0) << c.line << ": " << l.err;
        EXPECT_EQ((*l.cfg).*(c.field), c.expected) << c.line;
    }
}

TEST(RouterConfigGrammar, DirectivesFillRecords) {
    TempDir dir;
    Loaded l = load_text(dir,
                         "# comment\n\n"
                         "BACKEND main 127.0.0.1 0\nbackend other localhost 7000 extra\n"
                         "DATABASE default MAIN\nDATABASE sales other\n"
                         "USER bob secret\nADMIN root pw rootb rootpw\n"
                         "GRANT bob sales READ\nGRANT bob * superuser\n");
    ASSERT_EQ(l.rc, 0) << l.err;
    const RouterConfig& c = *l.cfg;
    ASSERT_EQ(c.backend_count, 2);
    EXPECT_EQ(c.backends[0].port, 9191);  // port outside 1..65535
    EXPECT_EQ(c.backends[0].last_latency_us, -1);
    EXPECT_EQ(c.backends[1].port, 7000);
    EXPECT_EQ(c.databases[0].backend_idx, 0);  // backend names match case-insensitively
    EXPECT_EQ(c.databases[1].backend_idx, 1);
    ASSERT_EQ(c.user_count, 2);
    EXPECT_STREQ(c.users[0].backend_username, "bob");
    EXPECT_STREQ(c.users[0].backend_password, "secret");
    EXPECT_EQ(c.users[0].is_admin, 0);
    EXPECT_STREQ(c.users[1].backend_username, "rootb");
    EXPECT_EQ(c.users[1].is_admin, 1);
    ASSERT_EQ(c.grant_count, 2);
    EXPECT_EQ(c.grants[0].role, ROUTER_ROLE_READ);
    EXPECT_EQ(c.grants[1].role, ROUTER_ROLE_NONE);
}

TEST(RouterConfigGrammar, PasswordWithEqualsIsReadAsSetting) {
    TempDir dir;
    Loaded l = load_text(dir, std::string(kBase) + "USER bob pa=ss\n");
    ASSERT_EQ(l.rc, 0) << l.err;
    EXPECT_EQ(l.cfg->user_count, 0);
}

TEST(RouterConfigGrammar, ErrorsStopTheLoad) {
    TempDir dir;
    std::string long64(64, 'n');
    struct Case {
        std::string text;
        const char* error;
    };
    const Case cases[] = {
        {"BACKEND main 127.0.0.1\nDATABASE default main\n", "bad BACKEND at line 1"},
        {std::string(kBase) + "DATABASE onlyname\n", "bad DATABASE at line 3"},
        {std::string(kBase) + "USER bob\n", "bad USER at line 3"},
        {std::string(kBase) + "GRANT bob *\n", "bad GRANT at line 3"},
        {"BACKEND " + long64 + " h 1\nDATABASE default main\n", "backend name too long at line 1"},
        {std::string(kBase) + "LISTEN_HOST=\n", "empty LISTEN_HOST at line 3"},
        {"BACKEND main h 1\nDATABASE default nowhere\n",
         "database 'default' references unknown backend 'nowhere'"},
        {"DATABASE default main\n", "database 'default' references unknown backend 'main'"},
        {"USER a b\n", "no BACKEND entries configured"},
        {"BACKEND main h 1\n", "no DATABASE entries configured"},
        {std::string(kBase) + std::string(1023, 'x') + "\n",
         "router config line too long at line 3"},
    };
    for (const Case& c : cases) {
        Loaded l = load_text(dir, c.text);
        EXPECT_EQ(l.rc, -1) << c.error;
        EXPECT_STREQ(l.err, c.error);
    }
    Loaded ok = load_text(dir, std::string(kBase) + "#" + std::string(1021, 'x') + "\n");
    EXPECT_EQ(ok.rc, 0) << "a line of 1022 characters loads: " << ok.err;

    RouterConfig cfg;
    char err[256];
    EXPECT_EQ(router_load_config_into(&cfg, dir.file("absent").c_str(), 0, err, sizeof err), -1);
    EXPECT_EQ(std::string(err), "cannot open config file: " + dir.file("absent"));
    std::string longpath(300, 'p');
    EXPECT_EQ(router_load_config_into(&cfg, longpath.c_str(), 0, err, sizeof err), -1);
    EXPECT_STREQ(err, "router config path is too long");
}

TEST(RouterConfigFile, DefaultFileIsWrittenWhenMissing) {
    TempDir dir;
    std::string path = dir.file("kyreldb_router.config");
    std::unique_ptr<RouterConfig> cfg(new RouterConfig);
    char err[256];
    ASSERT_EQ(router_load_config_into(cfg.get(), path.c_str(), 1, err, sizeof err), 0) << err;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string text = read_file(path);
    EXPECT_EQ(text.rfind("# KyrelDB Router configuration\n", 0), 0u);
    EXPECT_NE(text.find("\nUSER admin lumen406 admin lumen406\n"), std::string::npos);
    // This host only until someone opens it on purpose.
    EXPECT_NE(text.find("\nLISTEN_HOST=127.0.0.1\n"), std::string::npos);
    EXPECT_STREQ(cfg->listen_host, "127.0.0.1");
    EXPECT_EQ(cfg->login_timeout_seconds, 30);
    EXPECT_EQ(text.substr(text.size() - 19), "GRANT admin * FULL\n");
    EXPECT_EQ(cfg->user_count, 1);
    EXPECT_EQ(cfg->backends[0].port, 9191);
    EXPECT_STREQ(cfg->config_path, path.c_str());
}

TEST(RouterConfigFile, SaveWritesGeneratedLinesAndReloads) {
    TempDir dir;
    std::string path = dir.file("r.config");
    write_file(
        path,
        "# hand comment\nLISTEN_PORT=9400\nSP_CALL_ROLE=WRITE\nBACKEND main 127.0.0.1 9191\n"
        "DATABASE default main\nADMIN root pw\nUSER bob pw2 bb bp\nGRANT bob default READ\n");
    char err[256];
    ASSERT_EQ(router_load_config(path.c_str(), err, sizeof err), 0) << err;
    {
        std::lock_guard<std::mutex> g(g_cfg_lock);
        ASSERT_EQ(router_save_config_file(err, sizeof err), 0) << err;
    }
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(
        read_file(path),
        "# KyrelDB Router configuration\n"
        "# Auto-saved by KyrelDB Router after an in-band password change.\n\n"
        "LISTEN_HOST=0.0.0.0\nLISTEN_PORT=9400\nMAX_CLIENTS=256\nBACKEND_POOL=ON\n"
        "BACKEND_POOL_MAX_PER_BACKEND=16\nBACKEND_POOL_IDLE_SECONDS=300\n"
        "STORED_PROCEDURE_CALL_ROLE=WRITE\nSTORED_PROCEDURE_CALL_REQUIRE_SAME_BACKEND_USER=ON\n"
        "AUTH_THROTTLE=ON\nAUTH_FAIL_WINDOW_SECONDS=60\nAUTH_FAIL_THRESHOLD=5\nAUTH_THROTTLE_"
        "SECONDS=5\n"
        "AUTH_MAX_FAILURES_PER_SESSION=10\nLOGIN_TIMEOUT_SECONDS=30\n\n"
        "BACKEND main 127.0.0.1 9191\n\nDATABASE default main\n\n"
        "ADMIN root pw root pw\nUSER bob pw2 bb bp\n\nGRANT bob default READ\n");

    // Reload: the file re-read, the listen port change reported and ignored.
    write_file(path, read_file(path) + "LISTEN_PORT=9500\nUSER carol pw\n");
    std::string reply = router_reload_config_json();
    EXPECT_EQ(json_get(reply, "ok"), "true") << reply;
    EXPECT_EQ(json_get(reply, "listen_change_ignored"), "true");
    EXPECT_EQ(json_get(reply, "ignored_listen_port"), "9500");
    EXPECT_NE(reply.find("\"new\":{\"backends\":1,\"databases\":1,\"users\":3,\"grants\":1}"),
              std::string::npos);
    {
        std::lock_guard<std::mutex> g(g_cfg_lock);
        EXPECT_EQ(g_cfg.listen_port, 9400);
        EXPECT_EQ(g_cfg.user_count, 3);
    }
    write_file(path, "BACKEND main h 1\n");
    reply = router_reload_config_json();
    EXPECT_EQ(json_get(reply, "error"),
              "router config reload failed: no DATABASE entries configured");
    std::lock_guard<std::mutex> g(g_cfg_lock);
    EXPECT_EQ(g_cfg.user_count, 3);  // the running configuration stays
}

TEST(RouterConfigFile, SaveRefusesUnsafeTokens) {
    TempDir dir;
    std::string path = dir.file("r.config");
    write_file(path, std::string(kBase) + "USER bob pw\n");
    char err[256];
    ASSERT_EQ(router_load_config(path.c_str(), err, sizeof err), 0) << err;
    std::string before = read_file(path);
    std::lock_guard<std::mutex> g(g_cfg_lock);
    strcpy(g_cfg.users[0].backend_password, "has space");
    EXPECT_EQ(router_save_config_file(err, sizeof err), -1);
    EXPECT_STREQ(err,
                 "router config cannot persist empty passwords or passwords containing whitespace");
    EXPECT_EQ(read_file(path), before);
}

TEST(RouterConfigTokens, SafeTokenAndRoleNames) {
    EXPECT_EQ(router_config_token_is_safe("abc=1"), 1);
    EXPECT_EQ(router_config_token_is_safe(""), 0);
    EXPECT_EQ(router_config_token_is_safe("a b"), 0);
    EXPECT_EQ(router_config_token_is_safe("a\x7f"), 0);
    EXPECT_EQ(router_config_token_is_safe("a\x01"), 0);
    EXPECT_STREQ(router_role_to_string(router_role_from_string("write")), "WRITE");
    EXPECT_STREQ(router_role_to_string(7), "NONE");
    EXPECT_EQ(router_parse_onoff("Yes", 0), 1);
    EXPECT_EQ(router_parse_onoff("2", 0), 0);
}

TEST(RouterConfigFile, PrivateFileIsNeverCreatedThroughALink) {
    TempDir dir;
    const std::string target = dir.file("target"), missing = dir.file("missing");
    write_file(target, "keep");
    struct Case {
        const char* name;
        std::function<void(const std::string&)> plant;
    };
    const Case cases[] = {
        {"link to a file",
         [&](const std::string& p) { ASSERT_EQ(symlink(target.c_str(), p.c_str()), 0); }},
        {"dangling link",
         [&](const std::string& p) { ASSERT_EQ(symlink(missing.c_str(), p.c_str()), 0); }},
        {"regular file", [&](const std::string& p) { write_file(p, "old"); }},
    };
    for (const Case& c : cases) {
        std::string path = dir.file(std::string("planted ") + c.name);
        c.plant(path);
        errno = 0;
        EXPECT_EQ(router_create_private_file(path.c_str()), -1) << c.name;
        EXPECT_EQ(errno, EEXIST) << c.name;
    }
    EXPECT_EQ(read_file(target), "keep");
    struct stat st;
    EXPECT_NE(lstat(missing.c_str(), &st), 0) << "the dangling link was followed";

    // A fresh name gets a regular file of mode 0600 whatever the umask.
    mode_t old = umask(0277);
    int fd = router_create_private_file(dir.file("fresh").c_str());
    umask(old);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    close(fd);
}

TEST(RouterConfigFile, SaveIgnoresLinksPlantedBesideTheFile) {
    TempDir dir;
    std::string path = dir.file("r.config");
    write_file(path, std::string(kBase) + "USER bob secret-pw\n");
    chmod(path.c_str(), 0644);
    char err[256];
    ASSERT_EQ(router_load_config(path.c_str(), err, sizeof err), 0) << err;
    // A link at the fixed name an older router wrote its temporary file to.
    const std::string stolen = dir.file("stolen");
    ASSERT_EQ(symlink(stolen.c_str(), (path + ".tmp." + std::to_string(getpid())).c_str()), 0);
    {
        std::lock_guard<std::mutex> g(g_cfg_lock);
        ASSERT_EQ(router_save_config_file(err, sizeof err), 0) << err;
    }
    struct stat st;
    EXPECT_NE(lstat(stolen.c_str(), &st), 0) << "the configuration went through the link";
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(read_file(path).find("\nUSER bob secret-pw bob secret-pw\n"), std::string::npos);
    // Nothing is left behind but the planted link.
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names,
              (std::vector<std::string>{"r.config", "r.config.tmp." + std::to_string(getpid())}));
}
