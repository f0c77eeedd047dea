// JsonBuf growth and the member / row append helpers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

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
