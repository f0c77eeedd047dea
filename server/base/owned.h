// Owned heap memory from malloc-family functions: a unique_ptr deleter that
// calls free(), and the owned C string built on it. Every heap text the
// server's C-style interfaces hand out is released through these.
#pragma once

#include <cstdlib>
#include <memory>

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
using CStr = std::unique_ptr<char, FreeDeleter>;
