// The login throttle's table: five failures of one (address, user) pair in a
// minute refuse that pair until the oldest failure is a minute old; refused
// attempts do not count, a success clears the pair, other pairs go on.
#include <gtest/gtest.h>

#include <string>

#include "runtime/login_throttle.h"

namespace {

constexpr const char* kRefused = "too many failed logins; try again later";

int check(const char* addr, const char* user, int64_t t, std::string* msg = nullptr) {
    char err[128] = {0};
    int rc = login_throttle_check_at(addr, user, t, err, sizeof err);
    if (msg) *msg = err;
    return rc;
}

TEST(LoginThrottle, FiveFailuresInAMinuteRefuseThePair) {
    login_throttle_reset();
    const int64_t t0 = 1000000;
    for (int i = 0; i < LOGIN_THROTTLE_FAILURES; i++) {
        ASSERT_EQ(check("10.0.0.1", "bob", t0 + i * 1000), 0) << i;
        login_throttle_note_at("10.0.0.1", "bob", false, t0 + i * 1000);
    }
    std::string msg;
    EXPECT_EQ(check("10.0.0.1", "bob", t0 + 5000, &msg), -1);
    EXPECT_EQ(msg, kRefused);
    const struct {
        const char* label;
        const char* addr;
        const char* user;
        int64_t at;
        int want;
    } rows[] = {
        {"other user, same address", "10.0.0.1", "alice", t0 + 5000, 0},
        {"same user, other address", "10.0.0.2", "bob", t0 + 5000, 0},
        {"user name is not a prefix key", "10.0.0.1", "bo", t0 + 5000, 0},
        {"just before the first failure leaves", "10.0.0.1", "bob", t0 + 59999, -1},
        {"first failure has left the window", "10.0.0.1", "bob", t0 + 60000, 0},
    };
    for (const auto& r : rows) EXPECT_EQ(check(r.addr, r.user, r.at), r.want) << r.label;
    // One more failure at once fills the window again.
    login_throttle_note_at("10.0.0.1", "bob", false, t0 + 60000);
    EXPECT_EQ(check("10.0.0.1", "bob", t0 + 60001), -1);
}

TEST(LoginThrottle, SuccessClearsThePair) {
    login_throttle_reset();
    for (int i = 0; i < LOGIN_THROTTLE_FAILURES - 1; i++)
        login_throttle_note_at("10.0.0.1", "bob", false, 100 + i);
    login_throttle_note_at("10.0.0.1", "bob", true, 200);
    login_throttle_note_at("10.0.0.1", "bob", false, 300);
    EXPECT_EQ(check("10.0.0.1", "bob", 400), 0) << "failures before the success still count";
}

// The table stays bounded: a flood of pairs pushes old ones out instead of
// growing without end.
TEST(LoginThrottle, TableIsBounded) {
    login_throttle_reset();
    for (int i = 0; i < LOGIN_THROTTLE_FAILURES; i++)
        login_throttle_note_at("10.0.0.9", "victim", false, 10 + i);
    for (size_t i = 0; i < LOGIN_THROTTLE_MAX_PAIRS + 10; i++)
        login_throttle_note_at("10.0.0.8", ("u" + std::to_string(i)).c_str(), false, 100000);
    // Whether or not the victim's pair survived, the flood's newest pairs are
    // tracked and a flooded pair refuses after five failures.
    for (int i = 1; i < LOGIN_THROTTLE_FAILURES; i++)
        login_throttle_note_at("10.0.0.8", "last", false, 100000 + i);
    login_throttle_note_at("10.0.0.8", "last", false, 100010);
    EXPECT_EQ(check("10.0.0.8", "last", 100011), -1);
    login_throttle_reset();
}

}  // namespace
