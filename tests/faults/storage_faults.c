/* Storage faults for the tests: preloaded (LD_PRELOAD) into a child
 * interpreter, this library stands in front of read, pread and preadv and
 * makes the reads of one file behave as a troubled disk or a busy network
 * file system may: short reads, errors at chosen offsets, slow calls, and
 * the file rewritten in place while it is being read.
 *
 * Only the file named by QUICKIO_FAULT_PATH is touched (a descriptor is
 * matched by device and inode, so every descriptor open on that file is,
 * and nothing else: the interpreter's own imports read normally).
 *
 *   QUICKIO_FAULT_SHORT=N      a call moves at most N bytes
 *   QUICKIO_FAULT_ERRNO=E      a call whose range covers one of the offsets
 *   QUICKIO_FAULT_AT=X[,Y...]  fails with errno E (after shortening, so the
 *                              error comes when the reader reaches X)...
 *   QUICKIO_FAULT_TIMES=K      ...only the first K times per offset (0 or
 *                              unset: every time)
 *   QUICKIO_FAULT_DELAY_US=U   every call first sleeps U microseconds, so
 *                              that the tasks of a parallel read interleave
 *   QUICKIO_FAULT_REWRITE=R    the K-th call whose range covers offset X
 *   QUICKIO_FAULT_REWRITE_AT=X first writes the bytes of file R over the
 *   QUICKIO_FAULT_REWRITE_CALL=K  file in place (same inode), then reads
 *   QUICKIO_FAULT_KEEP_MTIME=1 and puts the old access and modification
 *                              times back (as cp -p or rsync -t do)
 *
 * A rewrite that cannot be made ends the process with status 99 and a
 * message, so that a test never passes on a fault that was not injected.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#define MAX_OFFSETS 16

static const char* target_path;
static atomic_int target_known;
static dev_t target_dev;
static ino_t target_ino;

static long long short_len, delay_us, fail_times;
static int fail_errno, nfail;
static long long fail_at[MAX_OFFSETS];
static atomic_llong fail_hits[MAX_OFFSETS];

static const char* rewrite_from;
static long long rewrite_at, rewrite_call;
static int keep_mtime;
static atomic_llong rewrite_hits;

static ssize_t (*real_read)(int, void*, size_t);
static ssize_t (*real_pread)(int, void*, size_t, off_t);
static ssize_t (*real_preadv)(int, const struct iovec*, int, off_t);

static long long env_number(const char* name) {
    const char* v = getenv(name);
    return v != NULL ? strtoll(v, NULL, 10) : 0;
}

__attribute__((constructor)) static void init(void) {
    real_read = (ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
    real_pread = (ssize_t(*)(int, void*, size_t, off_t))dlsym(RTLD_NEXT, "pread");
    real_preadv = (ssize_t(*)(int, const struct iovec*, int, off_t))dlsym(RTLD_NEXT, "preadv");
    target_path = getenv("QUICKIO_FAULT_PATH");
    short_len = env_number("QUICKIO_FAULT_SHORT");
    delay_us = env_number("QUICKIO_FAULT_DELAY_US");
    fail_errno = (int)env_number("QUICKIO_FAULT_ERRNO");
    fail_times = env_number("QUICKIO_FAULT_TIMES");
    for (const char* p = getenv("QUICKIO_FAULT_AT"); p != NULL && *p != '\0' && nfail < MAX_OFFSETS;) {
        char* end;
        fail_at[nfail++] = strtoll(p, &end, 10);
        p = *end == ',' ? end + 1 : NULL;
    }
    rewrite_from = getenv("QUICKIO_FAULT_REWRITE");
    rewrite_at = env_number("QUICKIO_FAULT_REWRITE_AT");
    rewrite_call = env_number("QUICKIO_FAULT_REWRITE_CALL");
    keep_mtime = env_number("QUICKIO_FAULT_KEEP_MTIME") != 0;
}

static int is_target(int fd) {
    if (target_path == NULL) return 0;
    if (!atomic_load(&target_known)) {
        struct stat st;
        if (stat(target_path, &st) != 0) return 0;
        target_dev = st.st_dev;
        target_ino = st.st_ino;
        atomic_store(&target_known, 1);
    }
    struct stat st;
    return fstat(fd, &st) == 0 && st.st_dev == target_dev && st.st_ino == target_ino;
}

static int covers(off_t off, size_t len, long long at) { return at >= off && at - off < (long long)len; }

static void die(const char* what) {
    fprintf(stderr, "storage_faults: %s: %s\n", what, strerror(errno));
    _exit(99);
}

/* Copies the replacement over the target in place. */
static void rewrite_target(void) {
    const int src = open(rewrite_from, O_RDONLY | O_CLOEXEC);
    const int dst = open(target_path, O_WRONLY | O_CLOEXEC);
    struct stat before;
    if (src < 0 || dst < 0 || fstat(dst, &before) != 0) die("rewrite: open");
    char buf[1 << 16];
    off_t at = 0;
    for (;;) {
        const ssize_t got = real_read(src, buf, sizeof buf);
        if (got < 0) die("rewrite: read");
        if (got == 0) break;
        if (pwrite(dst, buf, (size_t)got, at) != got) die("rewrite: write");
        at += got;
    }
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    if (keep_mtime && futimens(dst, times) != 0) die("rewrite: futimens");
    close(src);
    close(dst);
}

/* The faults of one call: -1 (errno set) to fail it, else 0 with the
 * length to ask the real call for in *want. */
static int before_read(int fd, off_t off, size_t len, size_t* want) {
    *want = len;
    if (!is_target(fd)) return 0;
    if (delay_us > 0) {
        const struct timespec pause = {delay_us / 1000000, (delay_us % 1000000) * 1000};
        nanosleep(&pause, NULL);
    }
    if (rewrite_from != NULL && covers(off, len, rewrite_at) &&
        atomic_fetch_add(&rewrite_hits, 1) + 1 == rewrite_call) {
        rewrite_target();
    }
    if (short_len > 0 && len > (size_t)short_len) len = (size_t)short_len;
    for (int i = 0; i < nfail; ++i) {
        if (covers(off, len, fail_at[i]) && (fail_times <= 0 || atomic_fetch_add(&fail_hits[i], 1) < fail_times)) {
            errno = fail_errno;
            return -1;
        }
    }
    *want = len;
    return 0;
}

ssize_t read(int fd, void* buf, size_t n) {
    size_t want = n;
    const off_t off = is_target(fd) ? lseek(fd, 0, SEEK_CUR) : -1;
    if (off >= 0 && before_read(fd, off, n, &want) < 0) return -1;
    return real_read(fd, buf, want);
}

ssize_t pread(int fd, void* buf, size_t n, off_t off) {
    size_t want;
    if (before_read(fd, off, n, &want) < 0) return -1;
    return real_pread(fd, buf, want, off);
}

ssize_t preadv(int fd, const struct iovec* iov, int count, off_t off) {
    size_t total = 0, want;
    for (int i = 0; i < count; ++i) total += iov[i].iov_len;
    if (before_read(fd, off, total, &want) < 0) return -1;
    if (want == total) return real_preadv(fd, iov, count, off);
    /* Short: the leading entries that hold `want` bytes, the last one cut. */
    struct iovec cut[count > 0 ? count : 1];
    int k = 0;
    for (; k < count && want > 0; ++k) {
        cut[k] = iov[k];
        if (cut[k].iov_len > want) cut[k].iov_len = want;
        want -= cut[k].iov_len;
    }
    return real_preadv(fd, cut, k, off);
}

/* The same calls under their large-file names. */
ssize_t pread64(int fd, void* buf, size_t n, off_t off) { return pread(fd, buf, n, off); }
ssize_t preadv64(int fd, const struct iovec* iov, int count, off_t off) { return preadv(fd, iov, count, off); }
