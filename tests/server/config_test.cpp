// Configuration file grammar, setting conversions and auto-tuning with
// injected machine figures.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "base/config.h"
#include "storage/paths.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kMiB = 1ull << 20;
constexpr uint64_t kGiB = 1ull << 30;

// Each test runs with default settings inside a fresh temporary directory.
class ConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        old_ = fs::current_path();
        char tmpl[] = "/tmp/kyrel_config_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        fs::current_path(dir_);
        config_reset_defaults();
    }
    void TearDown() override {
        config_reset_defaults();
        fs::current_path(old_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    void load(const std::string& text) {
        std::ofstream("kyreldb.config") << text;
        ASSERT_EQ(load_config_file(), 0);
    }
    fs::path old_, dir_;
};

TEST_F(ConfigTest, MissingFileKeepsDefaults) {
    ASSERT_EQ(load_config_file(), 0);
    EXPECT_EQ(g_cfg.read_workers, 4);
    EXPECT_EQ(g_cfg.write_workers, 2);
    EXPECT_EQ(g_cfg.connection_workers, 8);
    EXPECT_EQ(g_cfg.memory_limit_bytes, kGiB);
    EXPECT_EQ(g_cfg.memory_hard_stop_percent, 95);
    EXPECT_EQ(g_cfg.auto_vacuum_wal_bytes, 64 * kMiB);
    EXPECT_EQ(g_cfg.cursor_max_lifetime_seconds, 3600);
    EXPECT_STREQ(g_cfg.config_path, "./kyreldb.config");
    EXPECT_STREQ(g_cfg.bootstrap_checkpoint_path, "./kyreldb_data/bootstrap.checkpoint.meta");
    EXPECT_EQ(g_cfg_set.read_workers, 0);
}

TEST_F(ConfigTest, LineGrammar) {
    load(
        "# comment = ignored\n"
        "\n"
        "  read_workers = 8;  \n"
        "no equals sign\n"
        "UNKNOWN_KEY=5\n"
        "write_workers=3\n"
        "WRITE_WORKERS=5\n"  // a later line wins
        "AUTO_VACUUM=Off\n"
        "cursor_idle_timeout_seconds=0\n"
        "AUTO_VACUUM_WAL_MB=128 ; \n"
        "=7\n");
    EXPECT_EQ(g_cfg.read_workers, 8);
    EXPECT_EQ(g_cfg_set.read_workers, 1);
    EXPECT_EQ(g_cfg.write_workers, 5);
    EXPECT_EQ(g_cfg.auto_vacuum, 0);
    EXPECT_EQ(g_cfg.cursor_idle_timeout_seconds, 0);
    EXPECT_EQ(g_cfg.auto_vacuum_wal_bytes, 128 * kMiB);
}

TEST_F(ConfigTest, OverlongLineIsReadInPieces) {
    // 600 bytes of padding: the piece that follows the first 511 bytes is a
    // line of its own and still sets its key.
    load(std::string(511, '#') + "WRITE_WORKERS=7\nREAD_WORKERS=6\n");
    EXPECT_EQ(g_cfg.write_workers, 7);
    EXPECT_EQ(g_cfg.read_workers, 6);
}

TEST_F(ConfigTest, RangesAndFlags) {
    struct Case {
        const char* line;
        int32_t* field;
        int32_t want;
        int* flag;
        int flag_want;
    } cases[] = {
        {"READ_WORKERS=0", &g_cfg.read_workers, 4, &g_cfg_set.read_workers, 0},
        {"READ_WORKERS=65", &g_cfg.read_workers, 4, &g_cfg_set.read_workers, 0},
        {"WORKER_THREADS=64", &g_cfg.read_workers, 64, &g_cfg_set.read_workers, 1},
        {"READ_WORKERS=-3", &g_cfg.read_workers, 4, &g_cfg_set.read_workers, 0},
        {"READ_WORKERS=4294967300", &g_cfg.read_workers, 4, &g_cfg_set.read_workers, 0},
        {"READ_WORKERS=99999999999999999999999", &g_cfg.read_workers, 4, &g_cfg_set.read_workers,
         0},
        {"CONNECTION_WORKERS=128", &g_cfg.connection_workers, 128, &g_cfg_set.connection_workers,
         1},
        {"CONNECTION_WORKERS=129", &g_cfg.connection_workers, 8, &g_cfg_set.connection_workers, 0},
        {"WRITE_WORKERS=33", &g_cfg.write_workers, 2, &g_cfg_set.write_workers, 0},
        {"COMMIT_GROUP_WAIT_MS=abc", &g_cfg.commit_group_wait_ms, 0, &g_cfg_set.commit_group_wait,
         1},
        {"COMMIT_GROUP_WAIT_MS=101", &g_cfg.commit_group_wait_ms, 2, &g_cfg_set.commit_group_wait,
         0},
        {"WAL_SYNC_EVERY=12x", &g_cfg.wal_sync_every, 12, &g_cfg_set.wal_sync_every, 1},
        {"WAL_SYNC_EVERY=1025", &g_cfg.wal_sync_every, 16, &g_cfg_set.wal_sync_every, 0},
        {"AUTO_VACUUM_INTERVAL_SECONDS=4", &g_cfg.auto_vacuum_interval_seconds, 60, nullptr, 0},
        {"AUTO_VACUUM_IDLE_SECONDS=3600", &g_cfg.auto_vacuum_idle_seconds, 3600, nullptr, 0},
        {"CURSOR_MAX_LIFETIME_SECONDS=604801", &g_cfg.cursor_max_lifetime_seconds, 3600, nullptr,
         0},
        {"FRAME_TIMEOUT_MS=250", &g_cfg.frame_timeout_ms, 250, nullptr, 0},
        {"FRAME_TIMEOUT_MS=0", &g_cfg.frame_timeout_ms, 30000, nullptr, 0},
        {"FRAME_TIMEOUT_MS=3600001", &g_cfg.frame_timeout_ms, 30000, nullptr, 0},
        {"LOGIN_TIMEOUT_SECONDS=5", &g_cfg.login_timeout_seconds, 5, nullptr, 0},
        {"LOGIN_TIMEOUT_SECONDS=0", &g_cfg.login_timeout_seconds, 30, nullptr, 0},
        {"LOGIN_TIMEOUT_SECONDS=86401", &g_cfg.login_timeout_seconds, 30, nullptr, 0},
        {"AUTO_TUNE=maybe", &g_cfg.auto_tune, 1, nullptr, 0},
        {"AUTO_TUNE=no", &g_cfg.auto_tune, 0, nullptr, 0},
        {"AUTO_VACUUM=2", &g_cfg.auto_vacuum, 1, nullptr, 0},
    };
    for (const auto& c : cases) {
        config_reset_defaults();
        load(std::string(c.line) + "\n");
        EXPECT_EQ(*c.field, c.want) << c.line;
        if (c.flag) {
            EXPECT_EQ(*c.flag, c.flag_want) << c.line;
        }
    }
}

TEST_F(ConfigTest, SizesAreRangeChecked) {
    struct Case {
        const char* text;
        uint64_t want;
    } cases[] = {
        {"1", kMiB},
        {" 2048", 2048 * kMiB},
        {"+3", 3 * kMiB},
        {"5MB", 5 * kMiB},
        {"0", 0},
        {"-1", 0},
        {"abc", 0},
        {"17592186044415", 17592186044415ull << 20},  // largest that fits
        {"17592186044416", 0},
        {"99999999999999999999999", 0},
        {nullptr, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parse_size_mb(c.text), c.want) << (c.text ? c.text : "NULL");

    load("MEMORY_LIMIT_MB=-1\nAUTO_VACUUM_WAL_MB=0\n");
    EXPECT_EQ(g_cfg.memory_limit_bytes, kGiB);
    EXPECT_EQ(g_cfg_set.memory_limit, 0);
    EXPECT_EQ(g_cfg.auto_vacuum_wal_bytes, 64 * kMiB);
    load("MEMORY_LIMIT_MB=512\n");
    EXPECT_EQ(g_cfg.memory_limit_bytes, 512 * kMiB);
    EXPECT_EQ(g_cfg_set.memory_limit, 1);

    // A reply travels in one frame: MAX_REPLY_MB takes 1..4095.
    const struct {
        const char* line;
        uint64_t want;
    } reply_limits[] = {
        {"MAX_REPLY_MB=1", kMiB},          {"MAX_REPLY_MB=4095", 4095 * kMiB},
        {"MAX_REPLY_MB=4096", 256 * kMiB}, {"MAX_REPLY_MB=0", 256 * kMiB},
        {"MAX_REPLY_MB=-5", 256 * kMiB},
    };
    for (const auto& c : reply_limits) {
        config_reset_defaults();
        load(std::string(c.line) + "\n");
        EXPECT_EQ(g_cfg.max_reply_bytes, c.want) << c.line;
    }
}

TEST_F(ConfigTest, HardStopCorrection) {
    struct Case {
        const char* text;
        int flush, hard;
    } cases[] = {
        {"MEMORY_FLUSH_PERCENT=90\nMEMORY_HARD_STOP_PERCENT=50\n", 90, 95},
        {"MEMORY_FLUSH_PERCENT=99\nMEMORY_HARD_STOP_PERCENT=20\n", 99, 100},
        {"MEMORY_FLUSH_PERCENT=50\nMEMORY_HARD_STOP_PERCENT=60\n", 50, 60},
        {"MEMORY_FLUSH_PERCENT=9\nMEMORY_HARD_STOP_PERCENT=101\n", 80, 95},
    };
    for (const auto& c : cases) {
        config_reset_defaults();
        load(c.text);
        EXPECT_EQ(g_cfg.memory_flush_percent, c.flush) << c.text;
        EXPECT_EQ(g_cfg.memory_hard_stop_percent, c.hard) << c.text;
    }
}

TEST(ConfigWords, OnOffAndClamp) {
    struct Case {
        const char* text;
        int current, want;
    } cases[] = {{"ON", 0, 1},  {"yes", 0, 1},   {"True", 0, 1},  {"1", 0, 1},
                 {"off", 1, 0}, {"NO", 1, 0},    {"false", 1, 0}, {"0", 1, 0},
                 {"01", 0, 0},  {"maybe", 1, 1}, {nullptr, 0, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(parse_onoff(c.text, c.current), c.want) << (c.text ? c.text : "NULL");
    EXPECT_EQ(clamp_int(0, 1, 16), 1);
    EXPECT_EQ(clamp_int(20, 1, 16), 16);
    EXPECT_EQ(clamp_int(7, 1, 16), 7);
}

TEST(ConfigTuning, DiskClasses) {
    struct Case {
        int64_t us;
        int32_t cls;
    } cases[] = {{-1, DISK_MEDIUM},   {0, DISK_FAST},       {3000, DISK_FAST},
                 {3001, DISK_MEDIUM}, {12000, DISK_MEDIUM}, {12001, DISK_SLOW}};
    for (const auto& c : cases) EXPECT_EQ(disk_class_for_fsync_us(c.us), c.cls) << c.us;
}

TEST(ConfigTuning, TablesWithInjectedFigures) {
    struct Case {
        const char* name;
        int64_t cpus;
        uint64_t ram;
        int64_t fsync_us;
        uint64_t mem;
        int rd, wr, conn, sync, wait;
    } cases[] = {
        {"2 cpu, 1.5 GiB, 5 ms", 2, kGiB + kGiB / 2, 5000, 256 * kMiB, 1, 1, 4, 16, 3},
        {"32 cpu, 256 GiB, 1 ms", 32, 256 * kGiB, 1000, 8 * kGiB, 16, 4, 64, 32, 1},
        {"unknown ram, 0 cpu", 0, 0, -1, kGiB, 1, 1, 4, 16, 3},
        {"1 cpu slow disk keeps 4 ms", 1, 3 * kGiB, 20000, 512 * kMiB, 1, 1, 4, 8, 4},
        {"6 cpu, exactly 4 GiB", 6, 4 * kGiB, 2000, kGiB, 3, 2, 12, 32, 1},
        {"12 cpu, 16 GiB", 12, 16 * kGiB, 8000, 2 * kGiB, 6, 3, 24, 16, 2},
        {"13 cpu, just under 128 GiB", 13, 128 * kGiB - 1, 8000, 4 * kGiB, 6, 4, 26, 16, 2},
        {"64 cpu, just under 2 GiB", 64, 2 * kGiB - 1, 8000, 256 * kMiB, 16, 4, 64, 16, 2},
        {"3 cpu, 64 GiB", 3, 64 * kGiB, 13000, 4 * kGiB, 1, 2, 6, 8, 4},
    };
    for (const auto& c : cases) {
        config_reset_defaults();
        RuntimeResources r = {c.cpus, c.ram, c.fsync_us, disk_class_for_fsync_us(c.fsync_us)};
        auto_tune_config_from(r);
        EXPECT_EQ(g_cfg.memory_limit_bytes, c.mem) << c.name;
        EXPECT_EQ(g_cfg.read_workers, c.rd) << c.name;
        EXPECT_EQ(g_cfg.write_workers, c.wr) << c.name;
        EXPECT_EQ(g_cfg.connection_workers, c.conn) << c.name;
        EXPECT_EQ(g_cfg.wal_sync_every, c.sync) << c.name;
        EXPECT_EQ(g_cfg.commit_group_wait_ms, c.wait) << c.name;
    }
    config_reset_defaults();
}

TEST_F(ConfigTest, FileSettingsAreNotTuned) {
    load(
        "READ_WORKERS=0\nWRITE_WORKERS=9\nMEMORY_LIMIT_MB=100\nCOMMIT_GROUP_WAIT_MS=0\n"
        "MEMORY_FLUSH_PERCENT=97\nMEMORY_HARD_STOP_PERCENT=98\n");
    RuntimeResources r = {32, 256 * kGiB, 1000, DISK_FAST};
    auto_tune_config_from(r);
    EXPECT_EQ(g_cfg.read_workers, 16);  // the refused 0 did not protect it
    EXPECT_EQ(g_cfg.write_workers, 9);
    EXPECT_EQ(g_cfg.memory_limit_bytes, 100 * kMiB);
    EXPECT_EQ(g_cfg.commit_group_wait_ms, 0);
    EXPECT_EQ(g_cfg.connection_workers, 64);
    EXPECT_EQ(g_cfg.memory_hard_stop_percent, 98);
}

TEST_F(ConfigTest, ProbeWithoutDataDirectoryClassifiesMedium) {
    // No ./kyreldb_data here: the probe file cannot be created.
    EXPECT_EQ(probe_wal_fsync_us(KYREL_DATA_ROOT), -1);
    detect_runtime_resources(KYREL_DATA_ROOT);
    EXPECT_EQ(g_runtime.wal_fsync_us, -1);
    EXPECT_EQ(g_runtime.disk_class, DISK_MEDIUM);
    EXPECT_GE(g_runtime.cpu_count, 1);

    ensure_parent_dirs();
    EXPECT_GE(probe_wal_fsync_us(KYREL_DATA_ROOT), 0);
    EXPECT_FALSE(fs::exists("./kyreldb_data/.wal_probe.tmp"));
}

}  // namespace
