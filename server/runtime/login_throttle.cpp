// Login throttle (see login_throttle.h): a table from (address, user) to the
// times of that pair's recent failures.
#include "runtime/login_throttle.h"

#include <mutex>
#include <string>
#include <unordered_map>

#include "base/err.h"
#include "base/config.h"

namespace {

constexpr int64_t kWindowMs = LOGIN_THROTTLE_WINDOW_SECONDS * 1000;

// The last failures of one pair, oldest first: fail_ms[0..count).
struct PairFailures {
    int64_t fail_ms[LOGIN_THROTTLE_FAILURES];
    int count;
};

struct Throttle {
    std::mutex lock;
    std::unordered_map<std::string, PairFailures> pairs;  // guarded by lock
    int64_t last_prune_ms = 0;                            // guarded by lock
};
// Never destroyed: a login may still be checked while the process exits.
Throttle& g_throttle = *new Throttle;

// Address and user joined by a NUL, which neither can hold.
std::string pair_key(const char* address, const char* user) {
    std::string key(address ? address : "");
    key.push_back('\0');
    key.append(user ? user : "");
    return key;
}

// Drops the failures that have left the window.
void forget_old(PairFailures* p, int64_t now_ms) {
    int keep = 0;
    for (int i = 0; i < p->count; i++)
        if (now_ms - p->fail_ms[i] < kWindowMs) p->fail_ms[keep++] = p->fail_ms[i];
    p->count = keep;
}

// Makes room for one more pair, under the lock.
void make_room(int64_t now_ms) {
    auto& pairs = g_throttle.pairs;
    if (pairs.size() < LOGIN_THROTTLE_MAX_PAIRS) return;
    // A full sweep at most once a second; in between, any pair gives way.
    if (now_ms - g_throttle.last_prune_ms >= 1000) {
        g_throttle.last_prune_ms = now_ms;
        for (auto it = pairs.begin(); it != pairs.end();) {
            forget_old(&it->second, now_ms);
            it = it->second.count == 0 ? pairs.erase(it) : std::next(it);
        }
    }
    if (pairs.size() >= LOGIN_THROTTLE_MAX_PAIRS) pairs.erase(pairs.begin());
}

}  // namespace

int login_throttle_check_at(const char* address, const char* user, int64_t now_ms, char* err,
                            size_t errlen) {
    try {
        const std::string key = pair_key(address, user);
        std::lock_guard<std::mutex> g(g_throttle.lock);
        auto it = g_throttle.pairs.find(key);
        if (it == g_throttle.pairs.end()) return 0;
        forget_old(&it->second, now_ms);
        if (it->second.count < LOGIN_THROTTLE_FAILURES) return 0;
    } catch (...) {
        return 0;  // no memory for the key: the attempt is not throttled
    }
    set_err(err, errlen, "too many failed logins; try again later");
    return -1;
}

void login_throttle_note_at(const char* address, const char* user, bool succeeded, int64_t now_ms) {
    try {
        const std::string key = pair_key(address, user);
        std::lock_guard<std::mutex> g(g_throttle.lock);
        if (succeeded) {
            g_throttle.pairs.erase(key);
            return;
        }
        auto it = g_throttle.pairs.find(key);
        if (it == g_throttle.pairs.end()) {
            make_room(now_ms);
            it = g_throttle.pairs.emplace(key, PairFailures{{}, 0}).first;
        }
        PairFailures* p = &it->second;
        forget_old(p, now_ms);
        if (p->count == LOGIN_THROTTLE_FAILURES) {
            // Attempts let through at the same time: keep the newest times.
            for (int i = 1; i < p->count; i++) p->fail_ms[i - 1] = p->fail_ms[i];
            p->count--;
        }
        p->fail_ms[p->count++] = now_ms;
    } catch (...) {
        // No memory to record the failure: nothing else to do.
    }
}

int login_throttle_check(const char* address, const char* user, char* err, size_t errlen) {
    return login_throttle_check_at(address, user, monotonic_us() / 1000, err, errlen);
}

void login_throttle_note(const char* address, const char* user, bool succeeded) {
    login_throttle_note_at(address, user, succeeded, monotonic_us() / 1000);
}

void login_throttle_reset() {
    std::lock_guard<std::mutex> g(g_throttle.lock);
    g_throttle.pairs.clear();
}
