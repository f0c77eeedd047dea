// The login throttle's table: when every slot is taken, a new pair takes
// over the slot of the oldest failure that is not blocked, so failures under
// ever new user names cannot push a blocked pair out of its block.
#include <gtest/gtest.h>

#include <string>

#include "router_auth.h"
#include "router_wire.h"

TEST(RouterThrottleTable, NewPairsDoNotPushBlockedPairsOut) {
    int64_t now = router_now_seconds();
    AuthThrottleEntry* blocked = auth_throttle_find_entry_locked("10.0.0.1|admin", 1, now);
    ASSERT_NE(blocked, nullptr);
    blocked->last_failure = now - 1000;  // the oldest failure of all
    blocked->blocked_until = now + 100;
    AuthThrottleEntry* open_old = auth_throttle_find_entry_locked("10.0.0.1|old", 1, now);
    open_old->last_failure = now - 500;
    for (int i = 2; i < ROUTER_AUTH_THROTTLE_SLOTS; i++)
        auth_throttle_find_entry_locked(("10.0.0.1|u" + std::to_string(i)).c_str(), 1, now);

    // The table is full: the next pairs take the slots of unblocked entries.
    auth_throttle_find_entry_locked("10.0.0.1|fresh1", 1, now);
    EXPECT_EQ(auth_throttle_find_entry_locked("10.0.0.1|old", 0, now), nullptr);
    for (int i = 0; i < 100; i++)
        auth_throttle_find_entry_locked(("10.0.0.1|n" + std::to_string(i)).c_str(), 1, now);
    AuthThrottleEntry* still = auth_throttle_find_entry_locked("10.0.0.1|admin", 0, now);
    ASSERT_NE(still, nullptr);
    EXPECT_EQ(still->blocked_until, now + 100);
}
