// Owners for what the connector hands out on the heap, shared by the
// connector tests.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>

#include "kyreldb_database.h"

struct ResultFree {
    void operator()(kc_result* r) const { kc_result_free(r); }
};
using Result = std::unique_ptr<kc_result, ResultFree>;

struct ConnFree {
    void operator()(kc_connection* c) const { kc_connection_free(c); }
};
using Conn = std::unique_ptr<kc_connection, ConnFree>;

struct HandleFree {
    void operator()(kyreldb_handle* h) const { kyreldb_database_free(h); }
};
using Handle = std::unique_ptr<kyreldb_handle, HandleFree>;

// Takes ownership of a heap text from the connector; "<null>" for NULL.
inline std::string take(char* text) {
    if (!text) return "<null>";
    std::string s(text);
    std::free(text);
    return s;
}
