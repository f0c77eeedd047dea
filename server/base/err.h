// The error convention of the server: a fallible function returns 0 on
// success or -1 with its message written into the caller's (err, errlen)
// buffer, because messages travel unchanged into the replies clients read.
// A NULL buffer or a zero length discards the message.
#pragma once

#include <cstddef>

// Writes msg as it stands (no format interpretation), cut at errlen - 1.
void set_err(char* err, size_t errlen, const char* msg);
// printf-style form for messages that name a value.
void set_errf(char* err, size_t errlen, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
