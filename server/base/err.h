// The error convention of the server: a fallible function returns 0 on
// success or -1 with its message written into the caller's (err, errlen)
// buffer, because messages travel unchanged into the replies clients read.
// A NULL buffer or a zero length discards the message.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <new>
#include <stdexcept>

// Writes msg as it stands (no format interpretation), cut at errlen - 1.
void set_err(char* err, size_t errlen, const char* msg);
// printf-style form for messages that name a value.
void set_errf(char* err, size_t errlen, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
// The same for a caller that took the arguments itself.
void set_verrf(char* err, size_t errlen, const char* fmt, va_list ap)
    __attribute__((format(printf, 3, 0)));

// Runs step and tells whether it ended without running out of memory: the
// std::bad_alloc or std::length_error a container or std::string throws is
// caught here, and the caller answers "oom". One such guard stands where each
// request is executed (the read path, the commit thread per job, the
// procedure interpreter), so that no exception ends the server.
template <typename Step>
bool run_unless_oom(Step&& step) {
    try {
        step();
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
}
