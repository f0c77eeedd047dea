// Owned C-library resources: heap memory from malloc-family functions (a
// unique_ptr deleter that calls free(), and the owned C string built on it)
// and stdio streams (a deleter that calls fclose()). Every heap text the
// server's C-style interfaces hand out, and every file the server reads or
// writes through stdio, is released through these.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "base/text_util.h"

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
using CStr = std::unique_ptr<char, FreeDeleter>;

struct FileCloser {
    void operator()(FILE* f) const {
        if (f) std::fclose(f);
    }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// An owned array of count owned texts, as the JSON array readers hand out.
struct StringArray {
    char** items = nullptr;
    int count = 0;
    StringArray() = default;
    StringArray(const StringArray&) = delete;
    StringArray& operator=(const StringArray&) = delete;
    ~StringArray() { free_string_array(items, count); }
};
