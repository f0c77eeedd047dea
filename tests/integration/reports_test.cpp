// Status reports over the wire: each report answers "ok" first, then one
// member holding exactly its keys in their order; a few figures that are
// fixed by design are checked too.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "kyrel_test.h"
#include "writes_helpers.h"

using namespace kyrel_test;
using namespace writes_test;

namespace {

// Member names of the object that follows "<member>":{ (flat, numeric values).
std::vector<std::string> keys_of(const std::string& reply, const std::string& member) {
    std::vector<std::string> out;
    std::string head = "{\"ok\":true,\"" + member + "\":{";
    if (reply.rfind(head, 0) != 0) return out;
    std::string body = reply.substr(head.size());
    body = body.substr(0, body.find('}'));
    std::regex re("\"([a-z_]+)\":");
    for (std::sregex_iterator it(body.begin(), body.end(), re), end; it != end; ++it)
        out.push_back((*it)[1]);
    return out;
}

std::vector<std::string> split(const std::string& csv) {
    std::vector<std::string> out;
    size_t p = 0;
    while (p < csv.size()) {
        size_t q = csv.find(',', p);
        if (q == std::string::npos) q = csv.size();
        out.push_back(csv.substr(p, q - p));
        p = q + 1;
    }
    return out;
}

TEST(Reports, EachReportHasItsKeysInOrder) {
    TestServer srv;
    srv.set_config("AUTO_TUNE=OFF\nAUTO_VACUUM=OFF\nCONNECTION_WORKERS=2\n");
    ASSERT_TRUE(srv.start()) << srv.last_error();
    Client c;
    ASSERT_TRUE(c.connect(srv.port()));
    c.login_ready("admin", "lumen406");

    struct Case {
        const char* action;
        const char* member;
        const char* keys;
    } cases[] = {
        {"show_stats", "stats",
         "total_requests,total_connections,wal_appends,wal_bytes,total_writes,rows_inserted,"
         "rows_updated,rows_deleted,recovery_records,sql_requests,read_requests,write_requests,"
         "memory_bytes,memory_limit_bytes,wal_file_bytes,checkpoint_seq,read_workers,"
         "write_workers,connection_workers,read_queue_depth,write_queue_depth,"
         "commit_queue_depth,auto_vacuum_enabled,auto_vacuum_runs,auto_vacuum_skips,"
         "auto_vacuum_errors,auto_vacuum_last_run,auto_vacuum_idle_seconds,"
         "auto_vacuum_interval_seconds,auto_vacuum_memory_percent,auto_vacuum_wal_bytes,"
         "auto_tune_enabled,wal_sync_every,commit_group_wait_ms,detected_cpu_count,"
         "detected_ram_bytes,detected_wal_fsync_us,detected_disk_class"},
        {"show_performance", "performance",
         "uptime_seconds,total_requests,sql_requests,read_requests,write_requests,"
         "requests_per_second,sql_requests_per_second,read_requests_per_second,"
         "write_requests_per_second,rows_inserted,rows_updated,rows_deleted,total_writes,"
         "wal_appends,wal_bytes,active_memory_bytes,wal_file_bytes,cursor_count,"
         "cursor_memory_bytes,oldest_cursor_snapshot_seq,oldest_cursor_age_seconds"},
        {"show_memory", "memory",
         "used_bytes,limit_bytes,used_percent,flush_percent,hard_stop_percent,"
         "detected_ram_bytes,memory_limit_configured,auto_vacuum_memory_percent,cursor_count,"
         "cursor_memory_bytes,oldest_cursor_snapshot_seq,oldest_cursor_age_seconds"},
        {"show_wal", "wal",
         "wal_appends,wal_bytes,wal_file_bytes,wal_sync_every,commit_group_wait_ms,"
         "commit_queue_depth,checkpoint_seq,recovery_records,detected_wal_fsync_us,"
         "detected_disk_class,auto_vacuum_wal_bytes"},
        {"show_workers", "workers",
         "read_workers,write_workers,connection_workers,read_queue_depth,write_queue_depth,"
         "connection_queue_capacity,configured_read_workers,configured_write_workers,"
         "configured_connection_workers,detected_cpu_count,auto_tune_enabled"},
    };
    for (const Case& k : cases) {
        std::string r = c.ask(std::string("{\"action\":\"") + k.action + "\"}");
        EXPECT_EQ(keys_of(r, k.member), split(k.keys)) << r;
    }

    std::string w = c.ask(R"({"action":"show_workers"})");
    EXPECT_NE(w.find("\"connection_queue_capacity\":1024"), std::string::npos) << w;
    EXPECT_NE(w.find("\"read_queue_depth\":0"), std::string::npos) << w;
    EXPECT_NE(w.find("\"connection_workers\":2"), std::string::npos) << w;
    EXPECT_NE(w.find("\"configured_connection_workers\":1"), std::string::npos) << w;
    // Rates are counters divided by the uptime (at least one second).
    std::string p = c.ask(R"({"action":"show_performance"})");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(p, m, std::regex("\"read_requests\":([0-9]+),")));
    EXPECT_GT(std::stoll(m[1]), 0);
    EXPECT_TRUE(std::regex_search(p, std::regex("\"read_requests_per_second\":[0-9]+\\.[0-9]{3},")))
        << p;
}

}  // namespace
