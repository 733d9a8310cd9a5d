/* A failing disk on demand, preloaded into tests (LD_PRELOAD): makes one call of one file
 * function fail, as a bad USB stick or a network share going away would.
 *
 * FACEMASK_FAULT="CALL:TEXT:N:WHAT" makes the Nth call of CALL on a file whose path contains
 * TEXT (for calls on a descriptor, the path the descriptor was opened as) fail; "N+" fails that
 * call and every later one. WHAT is an error name (EIO, EINTR, EXDEV, EACCES, ENAMETOOLONG, ELOOP,
 * ENOENT, ENOSPC, EINVAL, EPERM) or "short": read and write then deliver half of what was asked (at least one
 * byte). CALL is one of open, openat, read, write, pread, pwrite, fsync (which stands for
 * fdatasync too: either flush fails), close, rename, renameat2, link, unlink, stat (our own
 * calls of stat; Qt's file information goes through statx and is not seen).
 * The variable is read again whenever it changes, which restarts the count, so a test process
 * may arm it with qputenv() while no other thread touches files. The failure happens instead of
 * the call: nothing is written, read, renamed or closed (a failed close still closes the
 * descriptor, as the kernel does). Calls glibc makes internally (fopen, say) are not seen.
 *
 * FACEMASK_NO_LINKS="TEXT" makes the files whose paths contain TEXT behave as on exFAT or FAT
 * through FUSE (a USB stick): renameat2 with flags fails with EINVAL and link with EPERM.
 *
 * FACEMASK_NO_TMPFILE="TEXT" makes the folders whose paths contain TEXT behave as on NFS, CIFS or
 * FAT: open with O_TMPFILE (an unnamed file) fails with EOPNOTSUPP.
 *
 * FACEMASK_SLOW="TEXT:MS" makes every call above, and statx, on a path containing TEXT take MS
 * milliseconds longer, as a share far away or a dying disk does. FACEMASK_STALL="TEXT:MARKER"
 * makes them wait for as long as the file MARKER exists, as a share that went away does; remove
 * MARKER to let them go on. Both are read at every call. FACEMASK_STALL_RENAME="TEXT:MARKER" holds
 * only renames onto a path that ends in TEXT, as a stick that stops answering at the move does.
 * FACEMASK_STALL_OPEN="TEXT:MARKER" holds only opens of a path containing TEXT, so that a file is
 * never made there while the marker exists and the other calls on it (an unlink) go on. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static char armedFault[4096];
static char call[32];
static char text[2048];
static long nth;
static int fromThenOn;
static int error;     /* 0: a short transfer */
static long seen;

static int errorNumber(const char* name)
{
    static const struct {
        const char* name;
        int number;
    } known[] = {{"EIO", EIO},       {"EINTR", EINTR},   {"EXDEV", EXDEV},
                 {"EACCES", EACCES}, {"ENAMETOOLONG", ENAMETOOLONG},
                 {"ELOOP", ELOOP},   {"ENOENT", ENOENT}, {"ENOSPC", ENOSPC},
                 {"EINVAL", EINVAL}, {"EPERM", EPERM}};
    for (size_t i = 0; i < sizeof known / sizeof known[0]; ++i) {
        if (strcmp(known[i].name, name) == 0) {
            return known[i].number;
        }
    }
    return EIO;
}

/* Parses the variable when it changed; the caller holds lock. */
static void rearm(void)
{
    const char* fault = getenv("FACEMASK_FAULT");
    if (!fault) {
        fault = "";
    }
    if (strcmp(fault, armedFault) == 0) {
        return;
    }
    snprintf(armedFault, sizeof armedFault, "%s", fault);
    call[0] = 0;
    seen = 0;
    char copy[sizeof armedFault];
    snprintf(copy, sizeof copy, "%s", fault);
    char* fields[4] = {0};
    char* rest = copy;
    for (int i = 0; i < 4 && rest; ++i) {
        fields[i] = rest;
        char* colon = i < 3 ? strchr(rest, ':') : NULL;
        if (colon) {
            *colon = 0;
        }
        rest = colon ? colon + 1 : NULL;
    }
    if (!fields[3]) {
        return;
    }
    snprintf(call, sizeof call, "%.31s", fields[0]);
    snprintf(text, sizeof text, "%.2047s", fields[1]);
    nth = strtol(fields[2], NULL, 10);
    fromThenOn = strchr(fields[2], '+') != NULL;
    error = strcmp(fields[3], "short") == 0 ? 0 : errorNumber(fields[3]);
}

/* Whether this call of function on path fails; *failure the error number (0: short). */
static int strikes(const char* function, const char* path, int* failure)
{
    if (!path) {
        return 0;
    }
    pthread_mutex_lock(&lock);
    rearm();
    int hit = 0;
    if (call[0] && strcmp(call, function) == 0 && strstr(path, text)) {
        ++seen;
        hit = fromThenOn ? seen >= nth : seen == nth;
        *failure = error;
    }
    pthread_mutex_unlock(&lock);
    return hit;
}

/* Whether function is the armed call, before a descriptor's path is looked up. */
static int armedFor(const char* function)
{
    pthread_mutex_lock(&lock);
    rearm();
    const int armed = call[0] && strcmp(call, function) == 0;
    pthread_mutex_unlock(&lock);
    return armed;
}

static int descriptorStrikes(const char* function, int fd, int* failure)
{
    if (!armedFor(function)) {
        return 0;
    }
    char link[64];
    char path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, path, sizeof path - 1);
    if (length <= 0) {
        return 0;
    }
    path[length] = 0;
    return strikes(function, path, failure);
}

/* The C library's own function, as real_NAME. */
#define REAL(name) \
    static __typeof__(&name) real_##name; \
    if (!real_##name) { \
        real_##name = (__typeof__(&name))dlsym(RTLD_NEXT, #name); \
    }

/* Whether path holds the TEXT before the first colon of setting; *rest what follows the colon. */
static int slowedBy(const char* setting, const char* path, const char** rest)
{
    const char* colon = setting ? strchr(setting, ':') : NULL;
    if (!colon || colon == setting || !path) {
        return 0;
    }
    char wanted[2048];
    const size_t length = (size_t)(colon - setting) < sizeof wanted ? (size_t)(colon - setting) : sizeof wanted - 1;
    memcpy(wanted, setting, length);
    wanted[length] = 0;
    *rest = colon + 1;
    return strstr(path, wanted) != NULL;
}

/* Sleeps as FACEMASK_SLOW and FACEMASK_STALL ask for a call on path. */
static void slowDown(const char* path)
{
    const char* rest = NULL;
    if (slowedBy(getenv("FACEMASK_SLOW"), path, &rest)) {
        const long ms = strtol(rest, NULL, 10);
        if (ms > 0) {
            const struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
            nanosleep(&pause, NULL);
        }
    }
    if (slowedBy(getenv("FACEMASK_STALL"), path, &rest) && rest[0]) {
        static __typeof__(&access) real_access;
        if (!real_access) {
            real_access = (__typeof__(&access))dlsym(RTLD_NEXT, "access");
        }
        const struct timespec tick = {0, 20 * 1000000L};
        while (real_access(rest, F_OK) == 0) {
            nanosleep(&tick, NULL);
        }
    }
}

/* Whether setting names a text to slow or hold: ":" (how the tests leave it) names none. */
static int namesText(const char* setting)
{
    return setting && setting[0] && setting[0] != ':';
}

/* slowDown for a descriptor: the path it was opened as. */
static void slowDownDescriptor(int fd)
{
    if (!namesText(getenv("FACEMASK_SLOW")) && !namesText(getenv("FACEMASK_STALL"))) {
        return;
    }
    char link[64];
    char path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, path, sizeof path - 1);
    if (length > 0) {
        path[length] = 0;
        slowDown(path);
    }
}

/* Holds an open of path as FACEMASK_STALL_OPEN asks. */
static void stallOpen(const char* path)
{
    const char* rest = NULL;
    if (!path || !slowedBy(getenv("FACEMASK_STALL_OPEN"), path, &rest) || !rest[0]) {
        return;
    }
    static __typeof__(&access) real_access;
    if (!real_access) {
        real_access = (__typeof__(&access))dlsym(RTLD_NEXT, "access");
    }
    const struct timespec tick = {0, 20 * 1000000L};
    while (real_access(rest, F_OK) == 0) {
        nanosleep(&tick, NULL);
    }
}

static int openWith(const char* function, int dirfd, const char* path, int flags, mode_t mode)
{
    slowDown(path);
    stallOpen(path);
    const char* noUnnamed = getenv("FACEMASK_NO_TMPFILE");
    if ((flags & O_TMPFILE) == O_TMPFILE && path && noUnnamed && noUnnamed[0] && strstr(path, noUnnamed)) {
        errno = EOPNOTSUPP;
        return -1;
    }
    int failure = 0;
    if (strikes(function, path, &failure)) {
        errno = failure ? failure : EIO;
        return -1;
    }
    REAL(openat)
    return real_openat(dirfd, path, flags, mode);
}

static mode_t modeOf(int flags, va_list arguments)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(arguments, int) : 0;
}

int open(const char* path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeOf(flags, arguments);
    va_end(arguments);
    return openWith("open", AT_FDCWD, path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeOf(flags, arguments);
    va_end(arguments);
    return openWith("open", AT_FDCWD, path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeOf(flags, arguments);
    va_end(arguments);
    return openWith("openat", dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeOf(flags, arguments);
    va_end(arguments);
    return openWith("openat", dirfd, path, flags, mode);
}

ssize_t read(int fd, void* buffer, size_t count)
{
    REAL(read)
    slowDownDescriptor(fd);
    int failure = 0;
    if (count > 0 && descriptorStrikes("read", fd, &failure)) {
        if (failure) {
            errno = failure;
            return -1;
        }
        count = count > 1 ? count / 2 : 1;
    }
    return real_read(fd, buffer, count);
}

ssize_t write(int fd, const void* buffer, size_t count)
{
    REAL(write)
    slowDownDescriptor(fd);
    int failure = 0;
    if (count > 0 && descriptorStrikes("write", fd, &failure)) {
        if (failure) {
            errno = failure;
            return -1;
        }
        count = count > 1 ? count / 2 : 1;
    }
    return real_write(fd, buffer, count);
}

static ssize_t preadWith(int fd, void* buffer, size_t count, off_t offset)
{
    REAL(pread64)
    slowDownDescriptor(fd);
    int failure = 0;
    if (count > 0 && descriptorStrikes("pread", fd, &failure)) {
        if (failure) {
            errno = failure;
            return -1;
        }
        count = count > 1 ? count / 2 : 1;
    }
    return real_pread64(fd, buffer, count, offset);
}

ssize_t pread(int fd, void* buffer, size_t count, off_t offset)
{
    return preadWith(fd, buffer, count, offset);
}

ssize_t pread64(int fd, void* buffer, size_t count, off_t offset)
{
    return preadWith(fd, buffer, count, offset);
}

static ssize_t pwriteWith(int fd, const void* buffer, size_t count, off_t offset)
{
    REAL(pwrite64)
    slowDownDescriptor(fd);
    int failure = 0;
    if (count > 0 && descriptorStrikes("pwrite", fd, &failure)) {
        if (failure) {
            errno = failure;
            return -1;
        }
        count = count > 1 ? count / 2 : 1;
    }
    return real_pwrite64(fd, buffer, count, offset);
}

ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset)
{
    return pwriteWith(fd, buffer, count, offset);
}

ssize_t pwrite64(int fd, const void* buffer, size_t count, off_t offset)
{
    return pwriteWith(fd, buffer, count, offset);
}

int fsync(int fd)
{
    REAL(fsync)
    slowDownDescriptor(fd);
    int failure = 0;
    if (descriptorStrikes("fsync", fd, &failure)) {
        errno = failure ? failure : EIO;
        return -1;
    }
    return real_fsync(fd);
}

int fdatasync(int fd)
{
    REAL(fdatasync)
    slowDownDescriptor(fd);
    int failure = 0;
    if (descriptorStrikes("fsync", fd, &failure)) {
        errno = failure ? failure : EIO;
        return -1;
    }
    return real_fdatasync(fd);
}

int close(int fd)
{
    REAL(close)
    int failure = 0;
    const int strike = descriptorStrikes("close", fd, &failure);
    const int closed = real_close(fd);
    if (strike && closed == 0) {
        errno = failure ? failure : EIO;
        return -1;
    }
    return closed;
}

/* Holds a rename onto to as FACEMASK_STALL_RENAME asks. */
static void stallRename(const char* to)
{
    const char* setting = getenv("FACEMASK_STALL_RENAME");
    const char* colon = setting ? strchr(setting, ':') : NULL;
    if (!colon || colon == setting || !to || !colon[1]) {
        return;
    }
    const size_t length = (size_t)(colon - setting);
    const size_t toLength = strlen(to);
    if (toLength < length || strncmp(to + toLength - length, setting, length) != 0) {
        return;
    }
    static __typeof__(&access) real_access;
    if (!real_access) {
        real_access = (__typeof__(&access))dlsym(RTLD_NEXT, "access");
    }
    const struct timespec tick = {0, 20 * 1000000L};
    while (real_access(colon + 1, F_OK) == 0) {
        nanosleep(&tick, NULL);
    }
}

int rename(const char* from, const char* to)
{
    REAL(rename)
    slowDown(to);
    stallRename(to);
    int failure = 0;
    if (strikes("rename", to, &failure)) {
        errno = failure ? failure : EIO;
        return -1;
    }
    return real_rename(from, to);
}

/* Whether path lies where FACEMASK_NO_LINKS says there are no links. */
static int withoutLinks(const char* path)
{
    const char* where = getenv("FACEMASK_NO_LINKS");
    return path && where && where[0] && strstr(path, where);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags)
{
    REAL(renameat2)
    slowDown(to);
    if (flags != 0 && withoutLinks(to)) {
        errno = EINVAL;
        return -1;
    }
    int failure = 0;
    if (strikes("renameat2", to, &failure)) {
        errno = failure ? failure : EIO;
        return -1;
    }
    return real_renameat2(fromDir, from, toDir, to, flags);
}

int link(const char* from, const char* to)
{
    REAL(link)
    slowDown(to);
    if (withoutLinks(to)) {
        errno = EPERM;
        return -1;
    }
    int failure = 0;
    if (strikes("link", to, &failure)) {
        errno = failure ? failure : EIO;
        return -1;
    }
    return real_link(from, to);
}

int unlink(const char* path)
{
    REAL(unlink)
    slowDown(path);
    int failure = 0;
    if (strikes("unlink", path, &failure)) {
        errno = failure ? failure : EIO;
        return -1;
    }
    return real_unlink(path);
}

int stat(const char* path, struct stat* status)
{
    REAL(stat)
    slowDown(path);
    int failure = 0;
    if (strikes("stat", path, &failure)) {
        errno = failure ? failure : EIO;
        return -1;
    }
    return real_stat(path, status);
}

/* Qt's file information; only slowed down, never failed. */
int statx(int dirfd, const char* path, int flags, unsigned mask, struct statx* status)
{
    REAL(statx)
    slowDown(path);
    return real_statx(dirfd, path, flags, mask, status);
}

/* Looked up by the tests, which refuse to run without the shim rather than pass untested. */
int facemaskFaultShimLoaded(void)
{
    return 1;
}
