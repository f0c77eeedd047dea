/* Fault injection for durability tests: a library loaded into the server with
 * LD_PRELOAD that makes chosen file calls on chosen files fail.
 *
 * The rules live in the file named by KYREL_FAULT_FILE, re-read whenever its
 * size or modification time changes (so a test can start a server cleanly,
 * then switch faults on and off while it runs). One rule a line:
 *
 *     <call> <path-part> <error> [<skip> [<count>]]
 *
 *   call       write (write, pwrite, writev, fwrite, fprintf, fputs, fputc
 *              and the flush of a stdio stream), sync (fsync, fdatasync),
 *              rename, open (open, openat, creat, fopen), truncate
 *              (ftruncate, truncate), unlink, mkdir
 *   path-part  a substring of the file's path ("main.wal", ".idx"); "*" is
 *              any file but the standard streams. For rename either name
 *              may match.
 *   error      EIO, ENOSPC, EDQUOT, EACCES or EROFS: the call fails with
 *              that errno and does nothing; "short": a write writes half of
 *              what it was given (at least one byte less) and says so.
 *   skip       matching calls to let through before the first failure (0)
 *   count      failures before the rule goes quiet (-1, the default: every
 *              later matching call fails)
 *
 * Lines starting with '#' and blank lines are ignored. Counters start again
 * whenever the file is re-read. Each failure appends "<call> <path>\n" to
 * the file named by KYREL_FAULT_LOG when it is set, so a test can tell that
 * its fault was reached. Without KYREL_FAULT_FILE every call goes straight
 * through.
 *
 * The library is built without sanitizers; an ASan server it is loaded into
 * needs ASAN_OPTIONS=verify_asan_link_order=0.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

enum fault_call { FC_WRITE, FC_SYNC, FC_RENAME, FC_OPEN, FC_TRUNCATE, FC_UNLINK, FC_MKDIR };

#define MAX_RULES 32

struct fault_rule {
    enum fault_call call;
    char part[256];
    int err; /* errno, or 0 for a short write */
    long skip;
    long count; /* -1: no end */
};

static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static struct fault_rule g_rules[MAX_RULES];
static int g_rule_count;
static struct timespec g_rules_mtime;
static off_t g_rules_size = -1;
static ino_t g_rules_ino;
static int g_in_shim; /* per-process guard is enough: checked under g_lock */

#define REAL(name) real_##name
#define DECLARE_REAL(ret, name, ...)                                    \
    static ret (*real_##name)(__VA_ARGS__);                             \
    static void load_##name(void) {                                     \
        if (!real_##name) *(void**)(&real_##name) = dlsym(RTLD_NEXT, #name); \
    }

DECLARE_REAL(ssize_t, write, int, const void*, size_t)
DECLARE_REAL(ssize_t, pwrite, int, const void*, size_t, off_t)
DECLARE_REAL(ssize_t, writev, int, const struct iovec*, int)
DECLARE_REAL(int, fsync, int)
DECLARE_REAL(int, fdatasync, int)
DECLARE_REAL(int, rename, const char*, const char*)
DECLARE_REAL(int, open, const char*, int, ...)
DECLARE_REAL(int, open64, const char*, int, ...)
DECLARE_REAL(int, openat, int, const char*, int, ...)
DECLARE_REAL(int, openat64, int, const char*, int, ...)
DECLARE_REAL(int, creat, const char*, mode_t)
DECLARE_REAL(FILE*, fopen, const char*, const char*)
DECLARE_REAL(FILE*, fopen64, const char*, const char*)
DECLARE_REAL(int, ftruncate, int, off_t)
DECLARE_REAL(int, ftruncate64, int, off_t)
DECLARE_REAL(int, truncate, const char*, off_t)
DECLARE_REAL(int, unlink, const char*)
DECLARE_REAL(int, unlinkat, int, const char*, int)
DECLARE_REAL(int, mkdir, const char*, mode_t)
DECLARE_REAL(size_t, fwrite, const void*, size_t, size_t, FILE*)
DECLARE_REAL(int, fputs, const char*, FILE*)
DECLARE_REAL(int, fputc, int, FILE*)
DECLARE_REAL(int, vfprintf, FILE*, const char*, va_list)
DECLARE_REAL(int, fflush, FILE*)
DECLARE_REAL(int, fclose, FILE*)

static int parse_call(const char* s, enum fault_call* out) {
    static const struct {
        const char* name;
        enum fault_call call;
    } names[] = {{"write", FC_WRITE},       {"sync", FC_SYNC},     {"rename", FC_RENAME},
                 {"open", FC_OPEN},         {"truncate", FC_TRUNCATE}, {"unlink", FC_UNLINK},
                 {"mkdir", FC_MKDIR}};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; i++)
        if (strcmp(s, names[i].name) == 0) {
            *out = names[i].call;
            return 0;
        }
    return -1;
}

static int parse_error(const char* s, int* out) {
    static const struct {
        const char* name;
        int err;
    } names[] = {{"EIO", EIO}, {"ENOSPC", ENOSPC}, {"EDQUOT", EDQUOT},
                 {"EACCES", EACCES}, {"EROFS", EROFS}, {"short", 0}};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; i++)
        if (strcmp(s, names[i].name) == 0) {
            *out = names[i].err;
            return 0;
        }
    return -1;
}

static ssize_t raw_read_file(const char* path, char* buf, size_t cap) {
    load_open();
    int fd = REAL(open)(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    size_t got = 0;
    while (got + 1 < cap) {
        ssize_t r = read(fd, buf + got, cap - 1 - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += (size_t)r;
    }
    close(fd);
    buf[got] = '\0';
    return (ssize_t)got;
}

/* Re-reads the rules when their file changed. Called with g_lock held. */
static void refresh_rules(const char* rules_path) {
    struct stat st;
    if (stat(rules_path, &st) != 0) {
        g_rule_count = 0;
        g_rules_size = -1;
        return;
    }
    if (st.st_size == g_rules_size && st.st_ino == g_rules_ino &&
        st.st_mtim.tv_sec == g_rules_mtime.tv_sec && st.st_mtim.tv_nsec == g_rules_mtime.tv_nsec)
        return;
    g_rules_size = st.st_size;
    g_rules_ino = st.st_ino;
    g_rules_mtime = st.st_mtim;
    g_rule_count = 0;
    static char text[16384];
    if (raw_read_file(rules_path, text, sizeof text) < 0) return;
    char* save = NULL;
    for (char* line = strtok_r(text, "\n", &save); line && g_rule_count < MAX_RULES;
         line = strtok_r(NULL, "\n", &save)) {
        char call[32], part[256], err[32];
        long skip = 0, count = -1;
        if (line[0] == '#') continue;
        int n = sscanf(line, "%31s %255s %31s %ld %ld", call, part, err, &skip, &count);
        if (n < 3) continue;
        struct fault_rule* r = &g_rules[g_rule_count];
        if (parse_call(call, &r->call) != 0 || parse_error(err, &r->err) != 0) continue;
        snprintf(r->part, sizeof r->part, "%s", part);
        r->skip = skip;
        r->count = count;
        g_rule_count++;
    }
}

static void log_failure(const char* call, const char* path) {
    const char* log_path = getenv("KYREL_FAULT_LOG");
    if (!log_path) return;
    load_open();
    load_write();
    int fd = REAL(open)(log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    char line[PATH_MAX + 64];
    int n = snprintf(line, sizeof line, "%s %s\n", call, path);
    if (n > 0) (void)!REAL(write)(fd, line, (size_t)n < sizeof line ? (size_t)n : sizeof line - 1);
    close(fd);
}

static int path_matches(const char* part, const char* path) {
    if (!path || !*path) return 0;
    if (strcmp(part, "*") == 0) return 1;
    return strstr(path, part) != NULL;
}

/* The rule that fails this call, or -1. errno_out gets its error (0 for a
 * short write). paths: one or two names the call touches. */
static int decide(enum fault_call call, const char* call_name, const char* path1,
                  const char* path2, int* err_out) {
    const char* rules_path = getenv("KYREL_FAULT_FILE");
    if (!rules_path) return -1;
    pthread_mutex_lock(&g_lock);
    if (g_in_shim) {
        pthread_mutex_unlock(&g_lock);
        return -1;
    }
    g_in_shim = 1;
    refresh_rules(rules_path);
    int hit = -1;
    for (int i = 0; i < g_rule_count && hit < 0; i++) {
        struct fault_rule* r = &g_rules[i];
        if (r->call != call) continue;
        if (!path_matches(r->part, path1) && !path_matches(r->part, path2)) continue;
        if (r->skip > 0) {
            r->skip--;
            continue;
        }
        if (r->count == 0) continue;
        if (r->count > 0) r->count--;
        hit = i;
        *err_out = r->err;
    }
    g_in_shim = 0;
    pthread_mutex_unlock(&g_lock);
    if (hit >= 0) log_failure(call_name, path1 ? path1 : "");
    return hit;
}

/* Path of an open descriptor; "" for the standard streams, which no rule
 * reaches. */
static const char* fd_path(int fd, char* buf, size_t cap) {
    buf[0] = '\0';
    if (fd <= 2 || !getenv("KYREL_FAULT_FILE")) return buf;
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, buf, cap - 1);
    buf[n > 0 ? n : 0] = '\0';
    return buf;
}

/* Whether a write of n bytes to fd fails: returns -1 with errno set, the
 * shortened length for a short write, or n. */
static ssize_t write_fault(int fd, size_t n, const char* call_name) {
    char path[PATH_MAX];
    int err = 0;
    if (decide(FC_WRITE, call_name, fd_path(fd, path, sizeof path), NULL, &err) < 0)
        return (ssize_t)n;
    if (err) {
        errno = err;
        return -1;
    }
    return (ssize_t)(n > 1 ? n / 2 : 0);
}

ssize_t write(int fd, const void* buf, size_t n) {
    load_write();
    ssize_t allowed = write_fault(fd, n, "write");
    if (allowed < 0) return -1;
    if (allowed == 0 && n > 0) {
        errno = ENOSPC;
        return -1;
    }
    return REAL(write)(fd, buf, (size_t)allowed);
}

ssize_t pwrite(int fd, const void* buf, size_t n, off_t off) {
    load_pwrite();
    ssize_t allowed = write_fault(fd, n, "pwrite");
    if (allowed < 0) return -1;
    if (allowed == 0 && n > 0) {
        errno = ENOSPC;
        return -1;
    }
    return REAL(pwrite)(fd, buf, (size_t)allowed, off);
}

ssize_t writev(int fd, const struct iovec* iov, int cnt) {
    load_writev();
    size_t total = 0;
    for (int i = 0; i < cnt; i++) total += iov[i].iov_len;
    ssize_t allowed = write_fault(fd, total, "writev");
    if (allowed < 0) return -1;
    if ((size_t)allowed == total) return REAL(writev)(fd, iov, cnt);
    load_write();
    if (allowed == 0 || cnt == 0) {
        errno = ENOSPC;
        return -1;
    }
    /* A short vector write: the first part of the first buffer only. */
    size_t first = iov[0].iov_len < (size_t)allowed ? iov[0].iov_len : (size_t)allowed;
    return REAL(write)(fd, iov[0].iov_base, first ? first : 1);
}

static int sync_fault(int fd, const char* call_name) {
    char path[PATH_MAX];
    int err = 0;
    if (decide(FC_SYNC, call_name, fd_path(fd, path, sizeof path), NULL, &err) < 0) return 0;
    errno = err ? err : EIO;
    return -1;
}

int fsync(int fd) {
    load_fsync();
    if (sync_fault(fd, "fsync") != 0) return -1;
    return REAL(fsync)(fd);
}

int fdatasync(int fd) {
    load_fdatasync();
    if (sync_fault(fd, "fdatasync") != 0) return -1;
    return REAL(fdatasync)(fd);
}

static int path_fault(enum fault_call call, const char* name, const char* p1, const char* p2) {
    int err = 0;
    if (decide(call, name, p1, p2, &err) < 0) return 0;
    errno = err ? err : EIO;
    return -1;
}

int rename(const char* from, const char* to) {
    load_rename();
    if (path_fault(FC_RENAME, "rename", from, to) != 0) return -1;
    return REAL(rename)(from, to);
}

#define OPEN_MODE(flags, mode)                                     \
    mode_t mode = 0;                                               \
    if ((flags) & (O_CREAT | __O_TMPFILE)) {                       \
        va_list ap;                                                \
        va_start(ap, flags);                                       \
        mode = (mode_t)va_arg(ap, int);                            \
        va_end(ap);                                                \
    }

int open(const char* path, int flags, ...) {
    load_open();
    OPEN_MODE(flags, mode);
    if (path_fault(FC_OPEN, "open", path, NULL) != 0) return -1;
    return REAL(open)(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    load_open64();
    OPEN_MODE(flags, mode);
    if (path_fault(FC_OPEN, "open", path, NULL) != 0) return -1;
    return REAL(open64)(path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
    load_openat();
    OPEN_MODE(flags, mode);
    if (path_fault(FC_OPEN, "open", path, NULL) != 0) return -1;
    return REAL(openat)(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
    load_openat64();
    OPEN_MODE(flags, mode);
    if (path_fault(FC_OPEN, "open", path, NULL) != 0) return -1;
    return REAL(openat64)(dirfd, path, flags, mode);
}

int creat(const char* path, mode_t mode) {
    load_creat();
    if (path_fault(FC_OPEN, "open", path, NULL) != 0) return -1;
    return REAL(creat)(path, mode);
}

FILE* fopen(const char* path, const char* mode) {
    load_fopen();
    if (path_fault(FC_OPEN, "open", path, NULL) != 0) return NULL;
    return REAL(fopen)(path, mode);
}

FILE* fopen64(const char* path, const char* mode) {
    load_fopen64();
    if (path_fault(FC_OPEN, "open", path, NULL) != 0) return NULL;
    return REAL(fopen64)(path, mode);
}

static int truncate_fault(int fd) {
    char path[PATH_MAX];
    return path_fault(FC_TRUNCATE, "ftruncate", fd_path(fd, path, sizeof path), NULL);
}

int ftruncate(int fd, off_t len) {
    load_ftruncate();
    if (truncate_fault(fd) != 0) return -1;
    return REAL(ftruncate)(fd, len);
}

int ftruncate64(int fd, off_t len) {
    load_ftruncate64();
    if (truncate_fault(fd) != 0) return -1;
    return REAL(ftruncate64)(fd, len);
}

int truncate(const char* path, off_t len) {
    load_truncate();
    if (path_fault(FC_TRUNCATE, "truncate", path, NULL) != 0) return -1;
    return REAL(truncate)(path, len);
}

int unlink(const char* path) {
    load_unlink();
    if (path_fault(FC_UNLINK, "unlink", path, NULL) != 0) return -1;
    return REAL(unlink)(path);
}

int unlinkat(int dirfd, const char* path, int flags) {
    load_unlinkat();
    if (path_fault(FC_UNLINK, "unlink", path, NULL) != 0) return -1;
    return REAL(unlinkat)(dirfd, path, flags);
}

int mkdir(const char* path, mode_t mode) {
    load_mkdir();
    if (path_fault(FC_MKDIR, "mkdir", path, NULL) != 0) return -1;
    return REAL(mkdir)(path, mode);
}

/* stdio writes reach the kernel through the library's own internal calls,
 * which an interposed write() never sees, so the stream functions the
 * server writes files with are checked here. A failure marks the stream in
 * error, as a failed flush would. */
static int stream_fault(FILE* f, size_t n, size_t* allowed) {
    if (!getenv("KYREL_FAULT_FILE") || !f) {
        *allowed = n;
        return 0;
    }
    ssize_t a = write_fault(fileno(f), n, "fwrite");
    if (a < 0) return -1;
    *allowed = (size_t)a;
    return 0;
}

/* Marks f as failed: the pending buffer is dropped, so nothing reaches the
 * file, and the error flag is set. */
static void stream_fail(FILE* f, int err) {
    __fpurge(f);
    f->_flags |= 0x20; /* _IO_ERR_SEEN */
    errno = err;
}

size_t fwrite(const void* buf, size_t size, size_t nmemb, FILE* f) {
    load_fwrite();
    size_t total = size * nmemb, allowed = total;
    if (total == 0) return REAL(fwrite)(buf, size, nmemb, f);
    if (stream_fault(f, total, &allowed) != 0) {
        stream_fail(f, errno);
        return 0;
    }
    if (allowed == total) return REAL(fwrite)(buf, size, nmemb, f);
    size_t done = REAL(fwrite)(buf, 1, allowed, f);
    return size ? done / size : 0;
}

int fputs(const char* s, FILE* f) {
    load_fputs();
    size_t allowed = 0, n = strlen(s);
    if (stream_fault(f, n, &allowed) != 0 || allowed != n) {
        stream_fail(f, allowed != n ? ENOSPC : errno);
        return EOF;
    }
    return REAL(fputs)(s, f);
}

int fputc(int c, FILE* f) {
    load_fputc();
    size_t allowed = 0;
    if (stream_fault(f, 1, &allowed) != 0 || allowed != 1) {
        stream_fail(f, allowed != 1 ? ENOSPC : errno);
        return EOF;
    }
    return REAL(fputc)(c, f);
}

int vfprintf(FILE* f, const char* fmt, va_list ap) {
    load_vfprintf();
    size_t allowed = 0;
    if (f != stderr && f != stdout && (stream_fault(f, 1, &allowed) != 0 || allowed == 0)) {
        stream_fail(f, allowed == 0 ? ENOSPC : errno);
        return -1;
    }
    return REAL(vfprintf)(f, fmt, ap);
}

int fprintf(FILE* f, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int r = vfprintf(f, fmt, ap);
    va_end(ap);
    return r;
}

int fflush(FILE* f) {
    load_fflush();
    size_t allowed = 0;
    if (f && f != stderr && f != stdout && __fpending(f) > 0 &&
        stream_fault(f, __fpending(f), &allowed) != 0) {
        stream_fail(f, errno);
        return EOF;
    }
    return REAL(fflush)(f);
}

int fclose(FILE* f) {
    load_fclose();
    size_t allowed = 0;
    if (f && f != stderr && f != stdout && __fpending(f) > 0 &&
        stream_fault(f, __fpending(f), &allowed) != 0) {
        int err = errno;
        __fpurge(f);
        REAL(fclose)(f);
        errno = err;
        return EOF;
    }
    return REAL(fclose)(f);
}
