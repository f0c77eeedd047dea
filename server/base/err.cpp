// The (err, errlen) message writers (see err.h).
#include "base/err.h"

#include <cstdarg>
#include <cstdio>

void set_err(char* err, size_t errlen, const char* msg) {
    if (err && errlen) snprintf(err, errlen, "%s", msg ? msg : "");
}

void set_errf(char* err, size_t errlen, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    set_verrf(err, errlen, fmt, ap);
    va_end(ap);
}

void set_verrf(char* err, size_t errlen, const char* fmt, va_list ap) {
    if (err && errlen) vsnprintf(err, errlen, fmt, ap);
}
