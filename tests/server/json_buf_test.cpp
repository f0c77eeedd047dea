// JsonBuf growth and the member / row append helpers.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/config.h"
#include "query/json_buf.h"

namespace {

TEST(JsonBuf, GrowsByDoublingAndStaysTerminated) {
    JsonBuf b;
    char err[64] = {0};
    ASSERT_EQ(json_buf_init(&b, 16, err, sizeof err), 0);
    EXPECT_EQ(b.capacity, 16u);
    std::string chunk(20, 'x');
    ASSERT_EQ(json_buf_append_str(&b, chunk.c_str(), err, sizeof err), 0);
    EXPECT_EQ(b.capacity, 32u);
    EXPECT_EQ(b.length, 20u);
    EXPECT_EQ(std::string(b.data), chunk);
    ASSERT_EQ(ensure_json_buf_capacity(&b.data, &b.capacity, 100, err, sizeof err), 0);
    EXPECT_EQ(b.capacity, 128u);
    ASSERT_EQ(ensure_json_buf_capacity(&b.data, &b.capacity, 50, err, sizeof err), 0);
    EXPECT_EQ(b.capacity, 128u);
    EXPECT_EQ(ensure_json_buf_capacity(nullptr, &b.capacity, 50, err, sizeof err), -1);
    json_buf_free(&b);
    EXPECT_EQ(b.data, nullptr);
}

// Every finite value near the end of the double range is written as a number
// that reads back finite: the 15-digit text where it does, else 17 digits.
// Values beyond the largest double are not written.
// A reply stops growing at MAX_REPLY_MB: the append that would pass it fails
// with the limit message, and the buffer never holds more than the limit.
TEST(JsonBuf, StopsAtTheReplyLimit) {
    const uint64_t saved = g_cfg.max_reply_bytes;
    g_cfg.max_reply_bytes = 1u << 20;
    JsonBuf b;
    char err[128] = "";
    ASSERT_EQ(json_buf_init(&b, 0, err, sizeof err), 0);
    const std::string chunk(100000, 'r');
    int rc = 0;
    while ((rc = json_buf_append_str(&b, chunk.c_str(), err, sizeof err)) == 0) {}
    g_cfg.max_reply_bytes = saved;
    EXPECT_STREQ(err, "reply too large (limit 1 MiB): narrow the query or use a cursor");
    EXPECT_LE(b.capacity, (1u << 20) + 1);
    EXPECT_EQ(b.length, 10u * chunk.size());  // ten chunks fit, the eleventh does not
    EXPECT_EQ(b.data[b.length], '\0');
    json_buf_free(&b);
}

TEST(ReplyNumber, ReadsBackFiniteUpToTheLargestDouble) {
    int seventeen = 0;
    for (int k = 0; k <= 400; ++k) {
        for (long double sign : {1.0L, -1.0L}) {
            const long double v = sign * (1.797693134862313e308L + k * 1e291L);
            char buf[64];
            const bool fits = fabsl(v) <= static_cast<long double>(DBL_MAX);
            ASSERT_EQ(format_reply_number(v, buf, sizeof buf), fits) << k;
            if (!fits) {
                EXPECT_STREQ(buf, "");
                continue;
            }
            EXPECT_TRUE(std::isfinite(strtod(buf, nullptr))) << buf;
            char fifteen[64];
            snprintf(fifteen, sizeof fifteen, "%.15Lg", v);
            if (std::isfinite(strtod(fifteen, nullptr))) {
                EXPECT_STREQ(buf, fifteen);
            } else {
                ++seventeen;
                char want[64];
                snprintf(want, sizeof want, "%.17Lg", v);
                EXPECT_STREQ(buf, want);
            }
        }
    }
    EXPECT_GT(seventeen, 0);  // the sweep reaches the values 15 digits round past
    char buf[64];
    EXPECT_FALSE(format_reply_number(static_cast<long double>(NAN), buf, sizeof buf));
    EXPECT_FALSE(format_reply_number(static_cast<long double>(INFINITY), buf, sizeof buf));
    EXPECT_FALSE(format_reply_number(2e308L, buf, sizeof buf));
    ASSERT_TRUE(format_reply_number(0.1L + 0.2L, buf, sizeof buf));
    EXPECT_STREQ(buf, "0.3");
}

TEST(JsonBuf, ObjectMembersAndArrayRows) {
    JsonBuf b;
    char err[64] = {0};
    ASSERT_EQ(json_buf_init(&b, 8, err, sizeof err), 0);
    int first = 1;
    ASSERT_EQ(json_buf_append_str(&b, "{", err, sizeof err), 0);
    ASSERT_EQ(
        append_json_key_raw(&b.data, &b.capacity, &b.length, &first, "a\"b", "1", err, sizeof err),
        0);
    EXPECT_EQ(first, 0);
    ASSERT_EQ(append_json_key_raw(&b.data, &b.capacity, &b.length, &first, nullptr, nullptr, err,
                                  sizeof err),
              0);
    ASSERT_EQ(json_buf_append_str(&b, "}[", err, sizeof err), 0);
    int rows = 0;
    ASSERT_EQ(append_raw_row_json_to_result(&b.data, &b.capacity, &b.length, &rows, "{\"x\":1}",
                                            err, sizeof err),
              0);
    ASSERT_EQ(append_raw_row_json_to_result(&b.data, &b.capacity, &b.length, &rows, nullptr, err,
                                            sizeof err),
              0);
    ASSERT_EQ(append_raw_row_json_to_result(&b.data, &b.capacity, &b.length, &rows, "{\"x\":2}",
                                            err, sizeof err),
              0);
    ASSERT_EQ(json_buf_append_str(&b, "]", err, sizeof err), 0);
    EXPECT_EQ(rows, 2);
    EXPECT_STREQ(b.data, R"({"a\"b":1,"":null}[{"x":1},{"x":2}])");
    EXPECT_EQ(b.length, std::string(b.data).size());
    json_buf_free(&b);
}

}  // namespace
