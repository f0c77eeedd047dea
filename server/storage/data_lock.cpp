// The data directory's owner lock (see data_lock.h).
#include "storage/data_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/err.h"
#include "storage/paths.h"

namespace {

// The descriptor that holds the lock; open until the process ends.
int g_data_lock_fd = -1;

// The data directory's absolute path when it can be resolved.
void data_dir_name(char* out, size_t cap) {
    char resolved[PATH_MAX];
    snprintf(out, cap, "%s", realpath(KYREL_DATA_ROOT, resolved) ? resolved : KYREL_DATA_ROOT);
}

}  // namespace

int data_dir_lock_acquire(char* err, size_t errlen) {
    if (g_data_lock_fd >= 0) return 0;
    char dir[PATH_MAX];
    data_dir_name(dir, sizeof dir);
    int fd = open(KYREL_DATA_LOCK_FILE, O_RDWR | O_CREAT | O_CLOEXEC, KYREL_FILE_MODE);
    if (fd < 0) {
        set_errf(err, errlen, "cannot open the lock file of data directory %s: %s", dir,
                 strerror(errno));
        return -1;
    }
    int rc;
    do {
        rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int e = errno;
        close(fd);
        if (e == EWOULDBLOCK)
            set_errf(err, errlen, "data directory %s is in use by another server", dir);
        else
            set_errf(err, errlen, "cannot lock data directory %s: %s", dir, strerror(e));
        return -1;
    }
    char pid[32];
    int n = snprintf(pid, sizeof pid, "%ld\n", static_cast<long>(getpid()));
    if (ftruncate(fd, 0) == 0 && n > 0) {
        ssize_t w = write(fd, pid, static_cast<size_t>(n));
        (void)w;  // the text is informational only
    }
    g_data_lock_fd = fd;
    return 0;
}
