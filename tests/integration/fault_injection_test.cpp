// The fault library itself: a running server's file calls fail exactly as
// its rules say, and what it refused stays refused after a restart.
#include <gtest/gtest.h>

#include <string>

#include "fault_injection.h"
#include "kyrel_test.h"
#include "writes_helpers.h"

// The fault library fails exactly the calls its rules name, while the
// server runs, and says which it failed.
TEST(FaultInjection, FailsTheNamedCallsWhileTheServerRuns) {
    kyrel_test::TestServer srv;
    kyrel_test::FaultInjection faults(srv);
    if (!faults.available()) GTEST_SKIP() << faults.why_unavailable();
    ASSERT_TRUE(srv.start()) << srv.last_error();
    writes_test::Client c;
    ASSERT_TRUE(c.connect(srv.port()));
    writes_test::login_admin_as(c, "harness-pw");
    ASSERT_TRUE(writes_test::ok(c.sql("CREATE TABLE t (id int PRIMARY KEY, v string)")));

    faults.set("write main.wal EIO\n");
    std::string r = c.sql("INSERT INTO t VALUES (1, 'refused')");
    EXPECT_FALSE(writes_test::ok(r)) << r;
    faults.clear();
    r = c.sql("INSERT INTO t VALUES (2, 'kept')");
    EXPECT_TRUE(writes_test::ok(r)) << r;
    EXPECT_NE(faults.log().find("main.wal"), std::string::npos) << faults.log();

    ASSERT_TRUE(srv.restart()) << srv.last_error();
    writes_test::Client again;
    ASSERT_TRUE(again.connect(srv.port()));
    writes_test::login_admin_as(again, "harness-pw");
    r = again.sql("SELECT id FROM t");
    EXPECT_EQ(r.find("refused"), std::string::npos) << r;
    EXPECT_NE(r.find("2"), std::string::npos) << r;
}
