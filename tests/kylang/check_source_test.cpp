// The compiler's in-process check of a program held in memory: what --check
// does, without reading or writing files.
#include <gtest/gtest.h>

#include <string>

#include "kylang.h"

namespace {

TEST(KylangCheckSource, CountsTheErrorsOfAProgramInMemory) {
    std::string deep_not = "VAR a = ";
    for (int i = 0; i < 200000; i++) deep_not += "NOT ";
    struct Case {
        const char* what;
        std::string source;
        int errors;
    } cases[] = {
        {"valid program", "VAR a = 1 + 2\nFUNCTION f(x)\nRETURN x\nENDFUNCTION\nCALL f(a)\n", 0},
        {"empty program", "", 0},
        {"two bad lines and an undefined function", "foo\nVAR\nCALL g()\n", 3},
        {"deep NOT chain", deep_not + "1\n", 1},
        {"NUL and control bytes", std::string("VAR a = \0\x01 )]}\n", 15), 2},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStderr();
        int errors = kylang_check_source("mem.prg", c.source.data(), c.source.size());
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(errors, c.errors) << c.what << "\n" << err;
        if (c.errors > 0) {
            EXPECT_EQ(err.rfind("mem.prg:", 0), 0u) << c.what << "\n" << err;
        }
    }
}

}  // namespace
