// Text, JSON and SQL scanning helpers, mostly as tables of input and result.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "base/json_text.h"
#include "base/sql_scan.h"
#include "base/text_util.h"

namespace {

struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};
using Owned = std::unique_ptr<char, FreeDeleter>;

std::string edit(void (*fn)(char*), const std::string& in) {
    std::string buf = in;
    fn(buf.data());
    return std::string(buf.c_str());
}

TEST(TextUtil, InPlaceEditing) {
    struct Case {
        void (*fn)(char*);
        const char* in;
        const char* want;
    } cases[] = {
        {trim_ws, "  SELECT 1;;  ", "SELECT 1"},
        {trim_ws, "x ; ;", "x"},
        {trim_ws, ";x", ";x"},
        {trim_ws, " \t\n", ""},
        {trim_ws, "", ""},
        {strtoupper, "aBc1", "ABC1"},
        {normalize_sql_ws, "a\\nb", "a b"},
        {normalize_sql_ws, "a\\xb", "a\\xb"},
        {normalize_sql_ws, "'a\\tb'", "'a b'"},
        {normalize_sql_ws, "a\r\n\tb", "a   b"},
        {normalize_sql_ws, "a\\", "a\\"},
        {normalize_sql_ws, "'C:\\\\new'", "'C:\\\\new'"},
    };
    for (const auto& c : cases) EXPECT_EQ(edit(c.fn, c.in), c.want) << c.in;
    trim_ws(nullptr);
    normalize_sql_ws(nullptr);
}

TEST(TextUtil, CopiesAndPrefixes) {
    Owned d(xstrndup("ab\0cd", 5));
    ASSERT_TRUE(d);
    EXPECT_EQ(memcmp(d.get(), "ab\0cd\0", 6), 0);
    EXPECT_EQ(xstrdup(nullptr), nullptr);

    char buf[6];
    copy_substr_trim(buf, sizeof buf, "  abcdefgh", 9);
    EXPECT_STREQ(buf, "abc");
    copy_substr_trim(buf, sizeof buf, nullptr, 3);
    EXPECT_STREQ(buf, "");
    copy_substr_trim(buf, sizeof buf, "ab", 100);  // stops at the source's end
    EXPECT_STREQ(buf, "ab");

    EXPECT_EQ(ci_starts("SELECTED x", "select"), 1);
    EXPECT_EQ(ci_starts("sel", "select"), 0);
    EXPECT_EQ(ci_starts("x", ""), 1);
    EXPECT_EQ(ci_starts(nullptr, "x"), 0);
    const char* h = "insert INTO t";
    EXPECT_EQ(ci_find(h, "into"), h + 7);
    EXPECT_EQ(ci_find(h, ""), h);
    EXPECT_EQ(ci_find(h, "values"), nullptr);
    EXPECT_STREQ(skip_ws(" \t x"), "x");
}

TEST(TextUtil, SqlTopLevelScanners) {
    struct Case {
        const char* sql;
        char c;
        int want;  // offset, -1 for not found
    } chars[] = {
        {"f(a,b),c", ',', 6},    {"'a,b',c", ',', 5},
        {"'it''s,x',y", ',', 9}, {"\"a\\\",b\",c", ',', 7},
        {"'open,x", ',', -1},    {"a),b", ',', 2},  // unmatched ')' is ignored
        {"(a,b)", ',', -1},
    };
    for (const auto& c : chars) {
        const char* r = sql_find_top_level_char(c.sql, c.c);
        EXPECT_EQ(r ? static_cast<int>(r - c.sql) : -1, c.want) << c.sql;
    }

    const char* q = "SELECT (select 1 from x) FROM t WHERE 'x from y' = 1";
    const char* from = sql_find_top_level_ci(q, " from ");
    ASSERT_NE(from, nullptr);
    EXPECT_EQ(from - q, 24);
    EXPECT_EQ(sql_find_top_level_ci(q, ""), q);
    EXPECT_EQ(sql_find_top_level_ci("a 'b", "b"), nullptr);

    const char* s = "'it''s' rest";
    EXPECT_EQ(sql_skip_quoted_string(s), s + 7);
    EXPECT_EQ(sql_skip_quoted_string("'open"), nullptr);
    EXPECT_EQ(sql_skip_quoted_string("x"), std::string("x"));

    struct Op {
        const char* sql;
        int pos;
        const char* op;
    } ops[] = {
        {"a >= 1", 2, ">="}, {"a<=b", 1, "<="},        {"a<>b", 1, "<>"},        {"a=<b", 1, "="},
        {"a != b", 2, "!="}, {"name = 'x<y'", 5, "="}, {"(a = 1)", -1, nullptr}, {"a > b", 2, ">"},
    };
    for (const auto& o : ops) {
        const char* op = "unset";
        const char* r = sql_find_top_level_operator(o.sql, &op);
        EXPECT_EQ(r ? static_cast<int>(r - o.sql) : -1, o.pos) << o.sql;
        if (o.op) {
            EXPECT_STREQ(op, o.op) << o.sql;
        } else {
            EXPECT_EQ(op, nullptr) << o.sql;
        }
    }
}

// What follows a statement's own ';' is another statement, unless the ';'
// stands inside quotes or a procedure body.
TEST(TextUtil, SqlTextAfterStatement) {
    struct Case {
        const char* sql;
        const char* rest;  // nullptr: one statement
    } cases[] = {
        {"INSERT INTO t VALUES (1,'a'); INSERT INTO t VALUES (2,'b')",
         "INSERT INTO t VALUES (2,'b')"},
        {"SELECT * FROM t;x", "x"},
        {"SELECT * FROM t; ;  ; DELETE FROM t WHERE id = 1", "DELETE FROM t WHERE id = 1"},
        {"SELECT * FROM t", nullptr},
        {"SELECT * FROM t ; ;", nullptr},
        {"SELECT * FROM t WHERE v = 'a;b' AND w = \"c;d\"", nullptr},
        {"SELECT * FROM t WHERE v = 'it''s; x'", nullptr},
        {"SELECT * FROM t WHERE v = 'a\\';b'", nullptr},
        {"CREATE PROCEDURE p() ON t AS $$ SELECT * FROM t; DELETE FROM t WHERE id = 1; $$",
         nullptr},
        {"CREATE PROCEDURE p() ON t AS $$ SELECT * FROM t; $$; DROP TABLE t", "DROP TABLE t"},
        {"SELECT * FROM t WHERE v = 'open; x", nullptr},
        {"CREATE PROCEDURE p() ON t AS $$ SELECT 1; x", nullptr},
    };
    for (const Case& c : cases) {
        const char* r = sql_text_after_statement(c.sql);
        if (c.rest) {
            ASSERT_NE(r, nullptr) << c.sql;
            EXPECT_STREQ(r, c.rest) << c.sql;
        } else {
            EXPECT_EQ(r, nullptr) << c.sql;
        }
    }
}

TEST(TextUtil, SqlCopySpanTrim) {
    const char* t = "  abc  def";
    char d[8], err[64];
    EXPECT_EQ(sql_copy_span_trim(d, sizeof d, t, t + 7, "x", err, sizeof err), 0);
    EXPECT_STREQ(d, "abc");
    EXPECT_EQ(sql_copy_span_trim(d, sizeof d, t, t + 8, "WHERE clause", err, sizeof err), -1);
    EXPECT_STREQ(err, "WHERE clause too long");
    EXPECT_EQ(sql_copy_span_trim(d, sizeof d, t, t + 8, nullptr, err, sizeof err), -1);
    EXPECT_STREQ(err, "SQL clause too long");
    EXPECT_EQ(sql_copy_span_trim(d, sizeof d, t + 3, t, nullptr, err, sizeof err), -1);
    EXPECT_STREQ(err, "bad SQL span");
    EXPECT_EQ(sql_copy_span_trim(nullptr, 8, t, t, "column", err, sizeof err), -1);
    EXPECT_STREQ(err, "bad column");
}

TEST(TextUtil, JsonWriting) {
    struct Case {
        const char* in;
        const char* want;
    } cases[] = {
        {"a\"b\\c", "a\\\"b\\\\c"},
        {"\t\n\r", "\\t\\n\\r"},
        {"\x01", "\\u0001"},
        {"\x1f", "\\u001f"},
        {"a/b", "a/b"},
        {"\xC3\xA9\x7F", "\xC3\xA9\x7F"},
        // Malformed UTF-8 (a character cut by a length limit, bytes from an
        // old file) never reaches a reply: each bad byte becomes U+FFFD.
        {"ab\xC3", "ab\\ufffd"},
        {"\xE2\x82", "\\ufffd\\ufffd"},
        {"i\xC0\x80"
         "d",
         "i\\ufffd\\ufffdd"},
        {"\xED\xA0\x80", "\\ufffd\\ufffd\\ufffd"},
        {"\xFF\xE2\x82\xAC", "\\ufffd\xE2\x82\xAC"},
    };
    for (const auto& c : cases) {
        Owned e(json_escape_string(c.in));
        ASSERT_TRUE(e);
        EXPECT_STREQ(e.get(), c.want) << c.in;
    }
    Owned empty(json_escape_string(nullptr));
    EXPECT_STREQ(empty.get(), "");
    Owned q(json_quote_token("a\"b"));
    EXPECT_STREQ(q.get(), "\"a\\\"b\"");
    Owned qn(json_quote_token(nullptr));
    EXPECT_STREQ(qn.get(), "\"\"");
    Owned e1(make_error_json(nullptr));
    EXPECT_STREQ(e1.get(), "{\"ok\":false,\"error\":\"error\"}");
    Owned e2(make_error_json("bad \"x\""));
    EXPECT_STREQ(e2.get(), "{\"ok\":false,\"error\":\"bad \\\"x\\\"\"}");
}

TEST(TextUtil, Utf8Validation) {
    struct Case {
        std::string text;
        long bad_at;  // -1: valid
    } cases[] = {
        {"", -1},
        {"plain ascii \x7f", -1},
        {"\xC3\xA9 \xE2\x82\xAC \xF0\x9D\x84\x9E", -1},  // 2-, 3- and 4-byte forms
        {"\xC2\x80\xDF\xBF", -1},                        // U+0080, U+07FF
        {"\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80", -1},    // U+0800, U+D7FF, U+E000
        {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", -1},        // U+10000, U+10FFFF
        {std::string("a\0b", 3), -1},
        {"i\xC0\x80"
         "d",
         1},                      // overlong NUL
        {"\xC1\xBF", 0},          // overlong U+007F
        {"ab\xE0\x9F\xBF", 2},    // overlong U+07FF
        {"\xF0\x8F\xBF\xBF", 0},  // overlong U+FFFF
        {"x\xED\xA0\x80", 1},     // encoded surrogate U+D800
        {"\xED\xBF\xBF", 0},      // encoded surrogate U+DFFF
        {"\xF4\x90\x80\x80", 0},  // above U+10FFFF
        {"\xF5\x80\x80\x80", 0},
        {"ok\xFF", 2},
        {"\x80", 0},  // stray continuation byte
        {"\xC3", 0},  // cut short at the end
        {"\xE2\x82", 0},
        {"\xE2\x82x", 0},  // cut short before ASCII
        {"\xC3\xA9\xC3\xC3\xA9", 2},
    };
    for (const auto& c : cases) {
        size_t at = 12345;
        const bool ok = utf8_valid(c.text.data(), c.text.size(), &at);
        EXPECT_EQ(ok, c.bad_at < 0) << testing::PrintToString(c.text);
        if (c.bad_at >= 0) {
            EXPECT_EQ(at, size_t(c.bad_at)) << testing::PrintToString(c.text);
        }
    }
    EXPECT_TRUE(utf8_valid(nullptr, 0, nullptr));
}

TEST(TextUtil, JsonSurrogateEscapesMustPair) {
    struct Case {
        const char* text;
        long bad_at;  // -1: accepted
    } cases[] = {
        {R"({"a":"\ud834\udd1e"})", -1},  // a pair
        {R"({"a":"\uD834\uDD1E\u00e9\u0000"})", -1},
        {R"({"a":"\\ud800"})", -1},  // an escaped backslash, then text
        {R"({"a":"\"\ud800"})", 8},  // a quote escape does not end the string
        {R"({"a":"\ud800"})", 6},
        {R"({"a":"x\udc00"})", 7},
        {R"({"a":"\ud800\ud800"})", 6},
        {R"({"a":"\ud800x\udc00"})", 6},
        {R"({"a":"\ud800\n"})", 6},
        {R"({"a":"\ud800)", 6},           // cut before its pair could follow
        {R"({"\udfff":1})", 2},           // member names are strings too
        {R"({"a":1} \ud800)", -1},        // outside strings: not this check's business
        {R"({"a":"\uzz00\ud800"})", 12},  // a malformed escape does not hide the next
    };
    for (const auto& c : cases) {
        size_t at = 12345;
        const bool ok = json_surrogates_paired(c.text, strlen(c.text), &at);
        EXPECT_EQ(ok, c.bad_at < 0) << c.text;
        if (c.bad_at >= 0) {
            EXPECT_EQ(at, size_t(c.bad_at)) << c.text;
        }
    }
}

TEST(TextUtil, JsonFindKeyMatchesOnlyMemberNames) {
    struct Case {
        const char* json;
        const char* key;
        int want;  // offset of the opening quote, -1 for absent
    } cases[] = {
        {"{\"a\":1}", "a", 1},
        // A string value equal to the key is not a member name.
        {"{\"user\":\"active\",\"active\":1}", "active", 17},
        {"{\"name\":\"id\"}", "id", -1},
        // Quoted key text inside a longer value is skipped too.
        {"{\"note\":\"x \\\"id\\\": 5\",\"id\":7}", "id", 22},
        // The first real member wins, nested ones included.
        {"{\"o\":{\"k\":1},\"k\":2}", "k", 6},
        {"{\"k\" : 1}", "k", 1},
        {"[\"k\", 1]", "k", -1},
        {"{\"k\":\"unterminated", "z", -1},
        {"{\"kk\":1}", "k", -1},
    };
    for (const auto& c : cases) {
        const char* r = json_find_key(c.json, c.key);
        EXPECT_EQ(r ? static_cast<int>(r - c.json) : -1, c.want) << c.json;
    }
    EXPECT_EQ(json_find_key(nullptr, "a"), nullptr);
    std::string long_key(125, 'k');
    std::string doc = "{\"" + long_key + "\":1}";
    EXPECT_EQ(json_find_key(doc.c_str(), long_key.c_str()), nullptr);
}

TEST(TextUtil, JsonStringDecoding) {
    struct Case {
        const char* name;
        const char* json;
        int rc;
        const char* want;
    } cases[] = {
        {"plain", "{\"v\":\"abc\"}", 0, "abc"},
        {"simple escapes", "{\"v\":\"a\\\"b\\\\c\\/d\\n\\r\\t\"}", 0, "a\"b\\c/d\n\r\t"},
        {"backspace, form feed", "{\"v\":\"\\b\\f\"}", 0, "\b\f"},
        {"two-byte", "{\"v\":\"caf\\u00e9\"}", 0, "caf\xC3\xA9"},
        {"three-byte upper-case hex", "{\"v\":\"\\u20AC\"}", 0, "\xE2\x82\xAC"},
        {"control byte round trip", "{\"v\":\"\\u0001\"}", 0, "\x01"},
        {"surrogate pair", "{\"v\":\"\\ud83d\\ude00\"}", 0, "\xF0\x9F\x98\x80"},
        {"raw UTF-8 kept", "{\"v\":\"\xC3\xA9\"}", 0, "\xC3\xA9"},
        {"other escape keeps the letter", "{\"v\":\"\\q\"}", 0, "q"},
        {"NUL refused", "{\"v\":\"a\\u0000b\"}", -1, ""},
        {"short hex", "{\"v\":\"\\u12\"}", -1, ""},
        {"bad hex", "{\"v\":\"\\u12G4\"}", -1, ""},
        {"lone high surrogate", "{\"v\":\"\\ud83dx\"}", -1, ""},
        {"lone low surrogate", "{\"v\":\"\\ude00\"}", -1, ""},
        {"high then non-low", "{\"v\":\"\\ud83d\\u0041\"}", -1, ""},
        {"not a string", "{\"v\":12}", -1, ""},
        {"absent", "{\"w\":\"x\"}", -1, ""},
        {"unterminated", "{\"v\":\"abc", -1, ""},
        {"value text is not a key", "{\"x\":\"v\"}", -1, ""},
    };
    for (const auto& c : cases) {
        char buf[64] = "junk";
        EXPECT_EQ(json_extract_string(c.json, "v", buf, sizeof buf), c.rc) << c.name;
        if (c.rc == 0) {
            EXPECT_STREQ(buf, c.want) << c.name;
        }
        char* heap = reinterpret_cast<char*>(1);
        EXPECT_EQ(json_extract_string_alloc(c.json, "v", &heap), c.rc) << c.name;
        Owned h(heap);
        if (c.rc == 0) {
            EXPECT_STREQ(heap, c.want) << c.name;
        } else {
            EXPECT_EQ(heap, nullptr) << c.name;
        }
    }
}

TEST(TextUtil, JsonStringCut) {
    char b4[4];
    EXPECT_EQ(json_extract_string("{\"v\":\"abcdef\"}", "v", b4, sizeof b4), 0);
    EXPECT_STREQ(b4, "abc");
    // A cut never leaves half a character behind.
    EXPECT_EQ(json_extract_string("{\"v\":\"ab\\u00e9\"}", "v", b4, sizeof b4), 0);
    EXPECT_STREQ(b4, "ab");
    EXPECT_EQ(json_extract_string("{\"v\":\"ab\xC3\xA9\"}", "v", b4, sizeof b4), 0);
    EXPECT_STREQ(b4, "ab");
    EXPECT_EQ(json_extract_string("{\"v\":\"a\xC3\xA9z\"}", "v", b4, sizeof b4), 0);
    EXPECT_STREQ(b4, "a\xC3\xA9");
    // The rest of the value is still checked.
    EXPECT_EQ(json_extract_string("{\"v\":\"abcd\\u0000\"}", "v", b4, sizeof b4), -1);
    std::string big = "{\"v\":\"" + std::string(1000, 'x') + "\"}";
    char* heap = nullptr;
    ASSERT_EQ(json_extract_string_alloc(big.c_str(), "v", &heap), 0);
    Owned h(heap);
    EXPECT_EQ(strlen(heap), 1000u);
}

TEST(TextUtil, JsonUnescapeFragment) {
    Owned a(json_unescape_fragment("x\\u00e9\\b\\"));
    EXPECT_STREQ(a.get(), "x\xC3\xA9\b\\");
    Owned b(json_unescape_fragment(nullptr));
    EXPECT_STREQ(b.get(), "");
    EXPECT_EQ(json_unescape_fragment("\\u0000"), nullptr);
}

TEST(TextUtil, JsonValueScanAndRaw) {
    struct Case {
        const char* text;
        int end;  // offset, -1 for NULL
    } ends[] = {
        {"12 ,x", 3},           {"\"a\\\"b\" x", 6}, {"{\"a\":\"}\",\"b\":[1]} x", 17},
        {"[1,[2],'x]'] x", 12}, {"{\"a\":1", -1},    {"  ", -1},
        {"true}", 4},
    };
    for (const auto& c : ends) {
        const char* r = scan_json_value_end(c.text);
        EXPECT_EQ(r ? static_cast<int>(r - c.text) : -1, c.end) << c.text;
    }

    const char* doc =
        "{\"n\": 12 ,\"s\":\"q\\\"\",\"o\":{\"x\":[1,2]},\"a\":[{\"i\":1}, {\"i\":2}],"
        "\"e\":[],\"bad\":[{\"i\":1},3],\"m\":-7x,\"qs\":\"7\",\"w\":abc}";
    char* raw = nullptr;
    ASSERT_EQ(json_extract_raw(doc, "n", &raw), 0);
    EXPECT_STREQ(raw, "12 ");
    free(raw);
    ASSERT_EQ(json_extract_raw(doc, "s", &raw), 0);
    EXPECT_STREQ(raw, "\"q\\\"\"");
    free(raw);
    ASSERT_EQ(json_extract_object_raw(doc, "o", &raw), 0);
    EXPECT_STREQ(raw, "{\"x\":[1,2]}");
    free(raw);
    EXPECT_EQ(json_extract_object_raw(doc, "n", &raw), -1);
    EXPECT_EQ(raw, nullptr);
    EXPECT_EQ(json_extract_raw(doc, "zz", &raw), -1);

    char** arr = nullptr;
    int count = -1;
    ASSERT_EQ(json_extract_array_objects_raw(doc, "a", &arr, &count), 0);
    ASSERT_EQ(count, 2);
    EXPECT_STREQ(arr[0], "{\"i\":1}");
    EXPECT_STREQ(arr[1], "{\"i\":2}");
    free_string_array(arr, count);
    ASSERT_EQ(json_extract_array_objects_raw(doc, "e", &arr, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(arr, nullptr);
    EXPECT_EQ(json_extract_array_objects_raw(doc, "bad", &arr, &count), -1);
    EXPECT_EQ(arr, nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(json_extract_array_objects_raw(doc, "o", &arr, &count), -1);

    long long v = 0;
    EXPECT_EQ(json_extract_ll(doc, "n", &v), 0);
    EXPECT_EQ(v, 12);
    EXPECT_EQ(json_extract_ll(doc, "m", &v), 0);
    EXPECT_EQ(v, -7);
    EXPECT_EQ(json_extract_ll(doc, "qs", &v), -1);
    EXPECT_EQ(json_extract_ll(doc, "w", &v), -1);
    EXPECT_EQ(json_extract_ll("{\"big\":99999999999999999999}", "big", &v), 0);
    EXPECT_EQ(v, INT64_MAX);
    int i = 0;
    EXPECT_EQ(json_extract_int("{\"x\":4294967297}", "x", &i), 0);
    EXPECT_EQ(i, 1);
}

}  // namespace
