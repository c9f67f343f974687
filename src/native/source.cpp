#include "source.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

namespace quickio::native {

namespace {

// One pread asks for at most this much. Linux moves at most about 2 GiB per
// call anyway; a moderate cap keeps each call short.
constexpr int64_t max_read_chunk = int64_t{64} << 20;

// The smallest refill of a WindowReader, after a jump: the header of the
// next block and a little more. Each block of a dump of large blocks costs
// one such read, so it is kept short; reads that follow on double it, so a
// dump of tiny blocks soon reads a whole buffer per call.
constexpr int64_t min_window = 512;

bool range_ok(int64_t offset, int64_t n, int64_t size) noexcept {
    return offset >= 0 && n >= 0 && offset <= size && n <= size - offset;
}

// Destinations smaller than this keep their pages: a few faults cost less
// than the call.
constexpr int64_t min_advised = int64_t{4} << 20;
constexpr uintptr_t huge_page = uintptr_t{2} << 20;

// The iovec entries handed to one preadv: the kernel's limit is IOV_MAX
// (1024 on Linux); fewer keep the array on the stack small.
constexpr int max_iov = 256;

// The total length of `count` pieces, or -1 when a length is negative or
// the sum passes int64.
int64_t total_length(const Source::Piece* pieces, int64_t count) noexcept {
    int64_t total = 0;
    for (int64_t i = 0; i < count; ++i) {
        if (pieces[i].len < 0 || __builtin_add_overflow(total, pieces[i].len, &total)) return -1;
    }
    return total;
}

}  // namespace

Error Source::read_scatter(int64_t offset, const Piece* pieces, int64_t count) noexcept {
    const int64_t total = total_length(pieces, count);
    if (total < 0 || !range_ok(offset, total, size())) return Error::os(EINVAL);
    for (int64_t i = 0; i < count; ++i) {
        if (pieces[i].len == 0) continue;
        if (Error e = read_at(offset, pieces[i].dst, pieces[i].len)) return e;
        offset += pieces[i].len;
    }
    return {};
}

void advise_destination(void* data, int64_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
    if (data == nullptr || bytes < min_advised) return;
    const auto begin = reinterpret_cast<uintptr_t>(data);
    const uintptr_t first = (begin + huge_page - 1) & ~(huge_page - 1);
    const uintptr_t last = (begin + static_cast<uintptr_t>(bytes)) & ~(huge_page - 1);
    if (last <= first) return;
    (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

// ---- FileSource ------------------------------------------------------------

FileSource::FileSource(FileSource&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), size_(std::exchange(other.size_, 0)) {}

FileSource& FileSource::operator=(FileSource&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

FileSource::~FileSource() { close(); }

void FileSource::close() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);  // read-only: nothing to lose if close reports an error
        fd_ = -1;
    }
    size_ = 0;
}

Error FileSource::open(const char* path, FileSource& out) noexcept {
    out.close();
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return Error::os(errno);

    struct stat st;
    if (::fstat(fd, &st) != 0) {
        int err = errno;
        ::close(fd);
        return Error::os(err);
    }
    // open(2) succeeds on a directory; refuse it here, as reading would.
    if (S_ISDIR(st.st_mode)) {
        ::close(fd);
        return Error::os(EISDIR);
    }
    // The dumps are read front to back; a hint only, so its result is ignored.
    (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    out.fd_ = fd;
    out.size_ = st.st_size > 0 ? static_cast<int64_t>(st.st_size) : 0;
    return {};
}

Error FileSource::read_at(int64_t offset, void* dst, int64_t n) noexcept {
    if (fd_ < 0) return Error::os(EBADF);
    if (!range_ok(offset, n, size_)) return Error::os(EINVAL);
    auto* p = static_cast<unsigned char*>(dst);
    while (n > 0) {
        size_t want = static_cast<size_t>(n < max_read_chunk ? n : max_read_chunk);
        ssize_t got = ::pread(fd_, p, want, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) continue;
            return Error::os(errno);
        }
        // The file is shorter than when it was opened.
        if (got == 0) return Error::os(EIO);
        p += got;
        offset += got;
        n -= got;
    }
    return {};
}

Error FileSource::read_scatter(int64_t offset, const Piece* pieces, int64_t count) noexcept {
    if (fd_ < 0) return Error::os(EBADF);
    const int64_t total = total_length(pieces, count);
    if (total < 0 || !range_ok(offset, total, size_)) return Error::os(EINVAL);
    // (i, done): the piece being filled and the bytes of it already read.
    int64_t i = 0, done = 0;
    struct iovec iov[max_iov];
    for (;;) {
        // Gather up to max_iov pieces, at most max_read_chunk bytes in all.
        int k = 0;
        int64_t batch = 0;
        for (int64_t j = i, skip = done; j < count && k < max_iov && batch < max_read_chunk;
             ++j, skip = 0) {
            int64_t len = pieces[j].len - skip;
            if (len > max_read_chunk - batch) len = max_read_chunk - batch;
            if (len > 0) {
                iov[k].iov_base = static_cast<unsigned char*>(pieces[j].dst) + skip;
                iov[k].iov_len = static_cast<size_t>(len);
                ++k;
                batch += len;
            }
        }
        if (k == 0) return {};  // every remaining piece is empty
        ssize_t got = ::preadv(fd_, iov, k, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) continue;
            return Error::os(errno);
        }
        // The file is shorter than when it was opened.
        if (got == 0) return Error::os(EIO);
        offset += got;
        // Move (i, done) on by the bytes read; a short read resumes inside
        // the piece where it stopped.
        for (int64_t left = got; left > 0 && i < count;) {
            const int64_t rest = pieces[i].len - done;
            if (left < rest) {
                done += left;
                break;
            }
            left -= rest;
            ++i;
            done = 0;
        }
    }
}

// ---- MemorySource ----------------------------------------------------------

Error MemorySource::read_at(int64_t offset, void* dst, int64_t n) noexcept {
    if (!range_ok(offset, n, size_)) return Error::os(EINVAL);
    if (n > 0) std::memcpy(dst, data_ + offset, static_cast<size_t>(n));
    return {};
}

// ---- WindowReader ----------------------------------------------------------

Error WindowReader::init(int64_t capacity) noexcept {
    int64_t cap = capacity < size_ ? capacity : size_;
    if (cap < 16) cap = 16;  // keeps the arithmetic below free of zero cases
    buf_.reset(new (std::nothrow) unsigned char[static_cast<size_t>(cap)]);
    if (!buf_) {
        cap_ = 0;
        return Error::os(ENOMEM);
    }
    cap_ = cap;
    begin_ = end_ = last_len_ = 0;
    return {};
}

Error WindowReader::view(int64_t offset, int64_t n, const unsigned char** out) noexcept {
    if (n > cap_ || !range_ok(offset, n, size_)) return Error::os(EINVAL);
    if (offset < begin_ || offset > end_ || n > end_ - offset) {
        // Grow the window while reads follow on from the last one; start
        // small again after a jump.
        int64_t len = (last_len_ > 0 && offset >= begin_ && offset <= end_ + last_len_)
                          ? last_len_ * 2
                          : min_window;
        if (len > cap_) len = cap_;
        if (len < n) len = n;
        int64_t left = size_ - offset;
        if (len > left) len = left;
        begin_ = end_ = 0;  // nothing valid should the read fail
        if (Error e = src_.read_at(offset, buf_.get(), len)) return e;
        begin_ = offset;
        end_ = offset + len;
        last_len_ = len;
    }
    *out = at(offset);
    return {};
}

Error WindowReader::copy(int64_t offset, void* dst, int64_t n) noexcept {
    if (n <= 0) return range_ok(offset, 0, size_) ? Error{} : Error::os(EINVAL);
    // Already buffered, or short enough that buffering it (and whatever
    // follows it) beats a read call of its own.
    if (available(offset) >= n || n <= cap_ / 4) {
        const unsigned char* p;
        if (Error e = view(offset, n, &p)) return e;
        std::memcpy(dst, p, static_cast<size_t>(n));
        return {};
    }
    return src_.read_at(offset, dst, n);
}

}  // namespace quickio::native
