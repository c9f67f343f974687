#include "source.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
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

// The smallest refill of a WindowReader: enough for a few hundred block
// headers, small enough that reading it in front of a skipped block is free.
constexpr int64_t min_window = int64_t{4} << 10;

bool range_ok(int64_t offset, int64_t n, int64_t size) noexcept {
    return offset >= 0 && n >= 0 && offset <= size && n <= size - offset;
}

// Destinations smaller than this keep their pages: a few faults cost less
// than the call.
constexpr int64_t min_advised = int64_t{4} << 20;
constexpr uintptr_t huge_page = uintptr_t{2} << 20;

}  // namespace

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
