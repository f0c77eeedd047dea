// Session cursors over real tables: batching and exhaustion, the snapshot
// seen after later writes, refusals, slot and pin limits, kill rules,
// time-outs, SHOW CURSORS, and that every path gives back pins and memory.
#include "exec/row_statements.h"
#include "query/session_cursor.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/stats.h"
#include "query/session.h"
#include "storage/cursor_pins.h"
#include "suite_data_dir.h"

namespace {

// Value of a top-level number/bool member (enough for cursor replies).
std::string member(const std::string& json, const std::string& key) {
    size_t p = json.find("\"" + key + "\":");
    if (p == std::string::npos) return "";
    p += key.size() + 3;
    size_t e = json.find_first_of(",}]", p);
    return json.substr(p, e - p);
}

int count_rows(const std::string& reply) {
    int n = 0;
    for (size_t p = reply.find("{\"id\":"); p != std::string::npos;
         p = reply.find("{\"id\":", p + 1))
        ++n;
    return n;
}

class Cursors : public SuiteDataDir {
  protected:
    static void SetUpTestSuite() {
        enter_data_dir("/tmp/kyrel_cursor_XXXXXX");
        make("big");
        for (int i = 1; i <= 2500; ++i) insert("big", i, i % 2 ? "odd" : "even");
        make("small");
        for (int i = 1; i <= 3; ++i) insert("small", i, "s");
    }
    static void TearDownTestSuite() { leave_data_dir(); }
    void SetUp() override {
        memset(&s_, 0, sizeof s_);
        snprintf(s_.current_database, sizeof s_.current_database, "default");
        mem_before_ = mem_current();
        g_cfg.cursor_idle_timeout_seconds = 300;
        g_cfg.cursor_max_lifetime_seconds = 0;
    }
    void TearDown() override {
        session_cursors_free_all(&s_);
        EXPECT_EQ(mem_current(), mem_before_) << "cursor memory not given back";
        EXPECT_EQ(g_cursor_registry.pin_count.load(), 0) << "pins left behind";
    }

    static void make(const char* name) {
        create_table(name, {{"id", COL_TYPE_INT}, {"tag", COL_TYPE_STRING}});
    }
    static void insert(const char* table, int id, const char* tag) {
        std::string row = "{\"id\":" + std::to_string(id) + ",\"tag\":\"" + tag + "\"}";
        insert_row(table, row.c_str());
    }

    // Reply text or "ERR:<message>".
    static std::string take(int rc, char* out, const char* err) {
        std::string s = rc == 0 ? std::string(out ? out : "") : std::string("ERR:") + err;
        if (rc != 0) {
            EXPECT_EQ(out, nullptr);
        }
        free(out);
        return s;
    }
    std::string open(const char* sql, int batch = 1000) {
        char* out = nullptr;
        char err[256] = "";
        int rc = session_cursor_open_select(&s_, sql, batch, &out, err, sizeof err);
        return take(rc, out, err);
    }
    std::string fetch(uint64_t id, int batch = 1000) {
        char* out = nullptr;
        char err[256] = "";
        int rc = session_cursor_fetch(&s_, id, batch, &out, err, sizeof err);
        return take(rc, out, err);
    }
    std::string kill(Session* s, uint64_t id, uint64_t token) {
        char* out = nullptr;
        char err[256] = "";
        int rc = session_cursor_kill_request(s, id, token, &out, err, sizeof err);
        return take(rc, out, err);
    }

    Session s_;
    uint64_t mem_before_ = 0;
};

// The keys a cursor pins count with the rows in memory: with the memory
// limit just above what is held now, a small cursor opens and a large one is
// refused with nothing left pinned or accounted.
TEST_F(Cursors, PinnedKeysCountAgainstTheMemoryLimit) {
    const uint64_t saved = g_cfg.memory_limit_bytes;
    g_cfg.memory_limit_bytes = mem_current() + 1024;
    std::string small = open("SELECT * FROM small", 1);  // stays open
    std::string big = open("SELECT * FROM big");
    g_cfg.memory_limit_bytes = saved;
    EXPECT_EQ(member(small, "ok"), "true") << small.substr(0, 200);
    EXPECT_EQ(big.rfind("ERR:cursor would exceed the memory limit (", 0), 0u) << big.substr(0, 200);
    EXPECT_EQ(g_cursor_registry.pin_count.load(), 1);
}

TEST_F(Cursors, BatchesUntilDoneThenTheCursorIsGone) {
    std::string r = open("SELECT * FROM big");
    ASSERT_EQ(member(r, "ok"), "true") << r.substr(0, 200);
    EXPECT_EQ(r.rfind("{\"ok\":true,\"cursor_id\":1,\"table\":\"big\",\"snapshot_seq\":2500,"
                      "\"offset\":0,\"rows\":[{",
                      0),
              0u)
        << r.substr(0, 200);
    EXPECT_EQ(count_rows(r), 1000);
    EXPECT_NE(r.find("],\"fetched\":1000,\"next_offset\":1000,\"total\":2500,\"done\":false}"),
              std::string::npos);
    EXPECT_GT(mem_current(), mem_before_);  // the key snapshot is accounted
    EXPECT_EQ(g_cursor_registry.pin_count.load(), 1);

    r = fetch(1);
    EXPECT_EQ(count_rows(r), 1000);
    EXPECT_EQ(member(r, "offset"), "1000");
    r = fetch(1);
    EXPECT_EQ(count_rows(r), 500);
    EXPECT_NE(r.find("\"fetched\":500,\"next_offset\":2500,\"total\":2500,\"done\":true}"),
              std::string::npos);
    EXPECT_EQ(fetch(1), "ERR:cursor not found");
    EXPECT_EQ(g_cursor_registry.pin_count.load(), 0);

    // A small result is done in its first batch; ids keep counting.
    r = open("SELECT * FROM small", 10);
    EXPECT_EQ(member(r, "cursor_id"), "2");
    EXPECT_EQ(member(r, "done"), "true");
    EXPECT_EQ(count_rows(r), 3);
    EXPECT_EQ(fetch(2), "ERR:cursor not found");
}

TEST_F(Cursors, SnapshotIgnoresLaterWrites) {
    make("snap");
    for (int i = 1; i <= 4; ++i) insert("snap", i, "old");
    mem_before_ = mem_current();
    std::string r = open("SELECT * FROM snap", 1);
    ASSERT_EQ(member(r, "fetched"), "1") << r;
    std::string first =
        r.substr(r.find("\"rows\":["), r.find("],\"fetched\"") - r.find("\"rows\":["));
    // Change every row after the open: delete one, update the others, add one.
    char e[256] = "";
    const char* names[] = {"tag"};
    const char* vals[] = {"\"new\""};
    for (int i = 1; i <= 4; ++i) {
        std::string key = std::to_string(i);
        if (first.find("{\"id\":" + key + ",") != std::string::npos) continue;
        if (i % 2) {
            ASSERT_EQ(table_apply_delete("snap", ++seq_, key.c_str(), e, sizeof e), 0) << e;
        } else {
            ASSERT_EQ(table_apply_update("snap", ++seq_, key.c_str(), names, vals, 1, e, sizeof e),
                      0)
                << e;
        }
    }
    insert("snap", 5, "new");
    r = fetch(1, 100);
    EXPECT_EQ(member(r, "fetched"), "3") << r;
    EXPECT_EQ(member(r, "done"), "true");
    EXPECT_EQ(r.find("new"), std::string::npos) << r;
    EXPECT_EQ(r.find("\"id\":5"), std::string::npos) << r;
    EXPECT_EQ(g_cursor_registry.pin_count.load(), 0);
    mem_before_ = mem_current();  // the later writes added row memory
}

TEST_F(Cursors, KeysWithoutASnapshotVersionAreSkipped) {
    make("gone");
    for (int i = 1; i <= 5; ++i) insert("gone", i, "g");
    mem_before_ = mem_current();
    std::string r = open("SELECT * FROM gone", 1);
    ASSERT_EQ(member(r, "fetched"), "1");
    // Keys 2 and 3 of the snapshot name rows that have no version at all:
    // they are passed over without counting toward the batch.
    SessionCursor& c = s_.cursors[0];
    for (int i : {1, 2}) {
        free(c.keys[i]);
        c.keys[i] = strdup(i == 1 ? "404" : "405");
    }
    r = fetch(1, 1);
    EXPECT_EQ(member(r, "fetched"), "1") << r;
    EXPECT_EQ(member(r, "next_offset"), "4") << r;
}

TEST_F(Cursors, WhereFiltersAndLimitDoesNotCut) {
    std::string r = open("SELECT * FROM big WHERE tag = 'odd' LIMIT 5", 10000);
    EXPECT_EQ(member(r, "total"), "1250") << r.substr(0, 200);
    EXPECT_EQ(count_rows(r), 1250);
    EXPECT_EQ(r.find("even"), std::string::npos);
}

TEST_F(Cursors, RefusedStatements) {
    const char* kMsg =
        "ERR:cursor_open currently supports SELECT * without ORDER BY, GROUP BY, aggregates or "
        "window functions";
    EXPECT_EQ(open("SELECT id FROM big"), kMsg);
    EXPECT_EQ(open("SELECT * FROM big ORDER BY id"), kMsg);
    EXPECT_EQ(open("SELECT COUNT(*) FROM big"), kMsg);
    EXPECT_EQ(open("SELECT * FROM nosuch"), "ERR:table not found");
    EXPECT_EQ(open(""), "ERR:missing sql");
    char* out = nullptr;
    char err[64] = "";
    EXPECT_EQ(session_cursor_open_select(nullptr, "SELECT * FROM big", 5, &out, err, sizeof err),
              -1);
    EXPECT_STREQ(err, "session required");
    EXPECT_EQ(g_cursor_registry.pin_count.load(), 0);  // failed opens register nothing
}

TEST_F(Cursors, SixteenSlotsPerSession) {
    for (int i = 0; i < SESSION_CURSOR_SLOTS; ++i)
        ASSERT_EQ(member(open("SELECT * FROM big", 1), "ok"), "true");
    EXPECT_EQ(open("SELECT * FROM big", 1), "ERR:too many open cursors");
    EXPECT_EQ(g_cursor_registry.pin_count.load(), SESSION_CURSOR_SLOTS);
    char* out = nullptr;
    char err[64] = "";
    ASSERT_EQ(session_cursor_close(&s_, 5, &out, err, sizeof err), 0);
    EXPECT_STREQ(out, "{\"ok\":true,\"cursor_id\":5,\"closed\":true}");
    free(out);
    EXPECT_EQ(member(open("SELECT * FROM big", 1), "cursor_id"), "17");
    EXPECT_EQ(session_cursor_close(&s_, 5, &out, err, sizeof err), -1);
    EXPECT_STREQ(err, "cursor not found");
}

TEST_F(Cursors, ParseKillCursor) {
    struct Case {
        const char* sql;
        uint64_t id, token;
        const char* msg;
    } cases[] = {
        {"KILL CURSOR 3", 3, 0, nullptr},
        {"KILL CURSOR PIN 17", 0, 17, nullptr},
        {"kill  cursor token 17 ", 0, 17, nullptr},
        {"KILL CURSOR 0", 0, 0, "cursor id or pin token must be greater than zero"},
        {"KILL CURSOR abc", 0, 0, "bad cursor id or pin token"},
        {"KILL CURSOR 12x", 0, 0, "bad cursor id or pin token"},
        {"KILL CURSOR 99999999999999999999999", 0, 0, "bad cursor id or pin token"},
        {"KILL CURSOR", 0, 0, "invalid KILL CURSOR"},
        {"KILL CURSOR PIN ", 0, 0, "bad cursor id or pin token"},
        {"KILL CURSOR TOKEN x", 0, 0, "bad cursor id or pin token"},
    };
    for (const Case& c : cases) {
        uint64_t id = 9, token = 9;
        char err[128] = "";
        int rc = parse_kill_cursor_sql(c.sql, &id, &token, err, sizeof err);
        if (c.msg) {
            EXPECT_EQ(rc, -1) << c.sql;
            EXPECT_STREQ(err, c.msg) << c.sql;
        } else {
            EXPECT_EQ(rc, 0) << c.sql << ": " << err;
            EXPECT_EQ(id, c.id) << c.sql;
            EXPECT_EQ(token, c.token) << c.sql;
        }
    }
    uint64_t id, token;
    char err[128] = "";
    EXPECT_EQ(parse_kill_cursor_sql(std::string(1100, ' ').c_str(), &id, &token, err, sizeof err),
              -1);
    EXPECT_STREQ(err, "KILL CURSOR statement too long");
}

TEST_F(Cursors, KillOwnOtherAndRegistryPins) {
    ASSERT_EQ(member(open("SELECT * FROM big", 1), "ok"), "true");
    const uint64_t token = s_.cursors[0].pin_token;
    Session other{};
    snprintf(other.current_database, sizeof other.current_database, "default");
    EXPECT_EQ(kill(&other, 0, token), "ERR:permission denied");
    EXPECT_EQ(kill(&other, 1, 0), "ERR:cursor not found");
    EXPECT_EQ(kill(&other, 0, 0), "ERR:missing cursor_id or pin_token");
    other.is_admin = 1;
    EXPECT_EQ(kill(&other, 0, token),
              "{\"ok\":true,\"cursor_id\":0,\"pin_token\":" + std::to_string(token) +
                  ",\"killed\":true,\"scope\":\"registry\"}");
    EXPECT_EQ(kill(&other, 0, token), "ERR:cursor pin not found");
    EXPECT_EQ(fetch(1), "ERR:cursor 1 was killed or expired");
    EXPECT_FALSE(s_.cursors[0].in_use);

    // The session's own cursor, by id and by its token.
    ASSERT_EQ(member(open("SELECT * FROM big", 1), "ok"), "true");
    ASSERT_EQ(member(open("SELECT * FROM big", 1), "ok"), "true");
    const uint64_t t2 = s_.cursors[0].pin_token;
    const uint64_t t3 = s_.cursors[1].pin_token;
    EXPECT_EQ(kill(&s_, 2, 99999),
              "{\"ok\":true,\"cursor_id\":2,\"pin_token\":" + std::to_string(t2) +
                  ",\"killed\":true,\"scope\":\"session\"}");
    EXPECT_EQ(kill(&s_, 0, t3), "{\"ok\":true,\"cursor_id\":3,\"pin_token\":" + std::to_string(t3) +
                                    ",\"killed\":true,\"scope\":\"session\"}");
    EXPECT_EQ(g_cursor_registry.pin_count.load(), 0);
}

TEST_F(Cursors, IdleAndLifetimeTimeouts) {
    ASSERT_EQ(member(open("SELECT * FROM big", 1), "ok"), "true");
    s_.cursors[0].opened_at -= 301;  // not fetched since the first batch
    s_.cursors[0].last_fetch_at -= 301;
    EXPECT_EQ(fetch(1), "ERR:cursor 1 expired: idle_timeout");
    EXPECT_FALSE(s_.cursors[0].in_use);

    g_cfg.cursor_max_lifetime_seconds = 60;
    ASSERT_EQ(member(open("SELECT * FROM big", 1), "ok"), "true");
    s_.cursors[0].opened_at -= 61;
    s_.cursors[0].last_fetch_at = time(nullptr);
    EXPECT_EQ(fetch(2), "ERR:cursor 2 expired: max_lifetime_timeout");

    // Idle time-out 0: never expires for idleness; the expiry pass keeps it.
    g_cfg.cursor_max_lifetime_seconds = 0;
    g_cfg.cursor_idle_timeout_seconds = 0;
    ASSERT_EQ(member(open("SELECT * FROM big", 1), "ok"), "true");
    s_.cursors[0].opened_at -= 100000;
    s_.cursors[0].last_fetch_at -= 100000;
    EXPECT_EQ(session_cursors_expire_timed_out(&s_), 0);
    EXPECT_EQ(member(fetch(3, 1), "fetched"), "1");

    // The expiry pass clears slots whose pin the registry dropped.
    cursor_registry_kill_token(s_.cursors[0].pin_token);
    EXPECT_EQ(session_cursors_expire_timed_out(&s_), 1);
    EXPECT_FALSE(s_.cursors[0].in_use);
}

TEST_F(Cursors, FetchLimitFromPayload) {
    struct Case {
        const char* payload;
        int expect;
    } cases[] = {
        {"{}", 1000},
        {"{\"fetch\":0}", 1000},
        {"{\"fetch_size\":50000}", 10000},
        {"{\"batch_size\":7}", 7},
        {"{\"fetch\":3,\"batch_size\":7}", 3},
        {"{\"fetch\":\"x\",\"fetch_size\":5}", 5},
        {"{\"fetch\":-4}", 1000},
    };
    for (const Case& c : cases)
        EXPECT_EQ(cursor_fetch_limit_from_payload(c.payload, 1000), c.expect) << c.payload;
    EXPECT_EQ(cursor_fetch_limit_from_payload(nullptr, 1000), 1000);
}

TEST_F(Cursors, ShowCursorsListsSessionAndRegistry) {
    ASSERT_EQ(member(open("SELECT * FROM small", 1), "ok"), "true");
    char* out = nullptr;
    char err[64] = "";
    ASSERT_EQ(build_show_cursors_json(&s_, &out, err, sizeof err), 0) << err;
    std::string r = out;
    free(out);
    const SessionCursor& c = s_.cursors[0];
    const std::string tok = std::to_string(c.pin_token);
    EXPECT_EQ(r.rfind("{\"ok\":true,\"cursors\":{\"scope\":\"session\",\"items\":[{\"cursor_id\":1,"
                      "\"pin_token\":" +
                          tok +
                          ",\"table\":\"small\",\"internal_table\":\"small\","
                          "\"snapshot_seq\":" +
                          std::to_string(c.snapshot_seq) +
                          ",\"offset\":1,\"total\":3,\"remaining\":2,\"memory_bytes\":30,",
                      0),
              0u)
        << r;
    EXPECT_NE(r.find("\"fetch_calls\":1,\"rows_fetched\":1}],\"session_cursor_count\":1,"
                     "\"session_cursor_memory_bytes\":30,\"registry_cursor_count\":1,"
                     "\"registry_cursor_memory_bytes\":30,"),
              std::string::npos)
        << r;
    EXPECT_NE(r.find("\"cursor_idle_timeout_seconds\":300,\"cursor_max_lifetime_seconds\":0,"
                     "\"registry_items\":[{\"pin_token\":" +
                     tok + ",\"cursor_id\":1,\"table\":\"small\""),
              std::string::npos)
        << r;
    EXPECT_EQ(r.substr(r.size() - 4), "}]}}");
    EXPECT_EQ(build_show_cursors_json(nullptr, &out, err, sizeof err), -1);
    EXPECT_STREQ(err, "session required");
}

TEST_F(Cursors, CursorIdsSkipZeroWhenWrapping) {
    Session s{};
    EXPECT_EQ(session_next_cursor_id(&s), 1u);
    EXPECT_EQ(session_next_cursor_id(&s), 2u);
    s.next_cursor_id = UINT64_MAX;
    EXPECT_EQ(session_next_cursor_id(&s), UINT64_MAX);
    EXPECT_EQ(session_next_cursor_id(&s), 1u);
}

}  // namespace
