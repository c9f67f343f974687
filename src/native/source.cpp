#include "source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "limits.hpp"

namespace quickio::native {

namespace {

// The sizes that split the reads; limits.hpp says why each is what it is.
constexpr int64_t max_read_chunk = limits::max_read_chunk;
constexpr int64_t min_window = limits::min_window;
constexpr int max_iov = limits::max_pieces;

bool range_ok(int64_t offset, int64_t n, int64_t size) noexcept {
    return offset >= 0 && n >= 0 && offset <= size && n <= size - offset;
}

// The total length of `count` pieces, or -1 when a length is negative or
// the sum passes int64.
int64_t total_length(const Source::Piece* pieces, int64_t count) noexcept {
    int64_t total = 0;
    for (int64_t i = 0; i < count; ++i) {
        if (pieces[i].len < 0 || __builtin_add_overflow(total, pieces[i].len, &total)) return -1;
    }
    return total;
}

FileIdentity identity_from(const struct stat& st) noexcept {
    FileIdentity id;
    id.device = static_cast<uint64_t>(st.st_dev);
    id.inode = static_cast<uint64_t>(st.st_ino);
    id.size = st.st_size > 0 ? static_cast<int64_t>(st.st_size) : 0;
    id.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    id.ctime_ns = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return id;
}

Error cut_short(int64_t offset, int64_t size) noexcept {
    return Error::in_file(Status::changed,
                          "the file ends at byte %lld although it was %lld bytes long when it was opened; "
                          "it changed while it was read",
                          static_cast<long long>(offset), static_cast<long long>(size));
}

Error not_regular() noexcept { return Error::os(EINVAL, "not a regular file"); }

}  // namespace

Error open_regular(const char* path, Interrupt* interrupt, int* out) noexcept {
    int fd;
    for (;;) {
        // O_NONBLOCK: opening a FIFO without a writer, or a device, must not
        // wait. The file is checked before anything is read from it.
        fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0 || errno != EINTR) break;
        if (interrupt != nullptr && interrupt->requested()) return Error::interrupted();
    }
    if (fd < 0) {
        const int err = errno;
        // A socket cannot be opened at all (ENXIO): say what it is.
        struct stat st;
        if (::stat(path, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return not_regular();
        return Error::os(err);
    }
    struct stat st;
    Error refused;
    if (::fstat(fd, &st) != 0) {
        refused = Error::os(errno);
    } else if (S_ISDIR(st.st_mode)) {
        refused = Error::os(EISDIR);  // open(2) succeeds on a directory; reading would not
    } else if (!S_ISREG(st.st_mode)) {
        refused = not_regular();
    } else {
        // Reads of a regular file never wait anyway; the flag goes so that
        // the descriptor is an ordinary one.
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags == -1 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) refused = Error::os(errno);
    }
    if (refused) {
        ::close(fd);
        return refused;
    }
    *out = fd;
    return {};
}

Error identity_of(int fd, FileIdentity* out) noexcept {
    struct stat st;
    if (::fstat(fd, &st) != 0) return Error::os(errno);
    *out = identity_from(st);
    return {};
}

Error identity_of(const char* path, FileIdentity* out) noexcept {
    struct stat st;
    if (::stat(path, &st) != 0) return Error::os(errno);
    *out = identity_from(st);
    return {};
}

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

// ---- FileSource ------------------------------------------------------------

FileSource::~FileSource() {
    if (fd_ >= 0) ::close(fd_);  // read-only: nothing to lose if close reports an error
}

Error FileSource::open(const char* path, Interrupt* interrupt, const FileIdentity* expect) noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    int fd;
    if (Error e = open_regular(path, interrupt, &fd)) return e;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        return Error::os(err);
    }
    const FileIdentity id = identity_from(st);
    if (expect != nullptr && id != *expect) {
        ::close(fd);
        return Error::in_file(Status::changed, "the file changed between the checks of its header and the read");
    }
    // The dumps are read front to back; a hint only, so its result is ignored.
    (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    fd_ = fd;
    identity_ = id;
    return {};
}

Error FileSource::verify_unchanged() const noexcept {
    FileIdentity now;
    if (Error e = identity_of(fd_, &now)) return e;
    if (now != identity_) {
        return Error::in_file(Status::changed, "the file changed while it was read (%s)",
                              now.size != identity_.size ? "its size changed" : "it was written to");
    }
    return {};
}

Error FileSource::read_at(int64_t offset, void* dst, int64_t n) noexcept {
    if (fd_ < 0) return Error::os(EBADF);
    if (!range_ok(offset, n, size())) return Error::os(EINVAL);
    auto* p = static_cast<unsigned char*>(dst);
    while (n > 0) {
        const size_t want = static_cast<size_t>(n < max_read_chunk ? n : max_read_chunk);
        const ssize_t got = ::pread(fd_, p, want, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) continue;
            return Error::os(errno);
        }
        if (got == 0) return cut_short(offset, size());
        p += got;
        offset += got;
        n -= got;
    }
    return {};
}

Error FileSource::read_scatter(int64_t offset, const Piece* pieces, int64_t count) noexcept {
    if (fd_ < 0) return Error::os(EBADF);
    const int64_t total = total_length(pieces, count);
    if (total < 0 || !range_ok(offset, total, size())) return Error::os(EINVAL);
    // (i, done): the piece being filled and the bytes of it already read.
    int64_t i = 0, done = 0;
    struct iovec iov[max_iov];
    for (;;) {
        // Gather up to max_iov pieces, at most max_read_chunk bytes in all.
        int k = 0;
        int64_t batch = 0;
        for (int64_t j = i, skip = done; j < count && k < max_iov && batch < max_read_chunk; ++j, skip = 0) {
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
        const ssize_t got = ::preadv(fd_, iov, k, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) continue;
            return Error::os(errno);
        }
        if (got == 0) return cut_short(offset, size());
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

void FileSource::prefetch(int64_t offset, int64_t n) noexcept {
    if (fd_ >= 0 && range_ok(offset, n, size()) && n > 0) {
        (void)::posix_fadvise(fd_, static_cast<off_t>(offset), static_cast<off_t>(n), POSIX_FADV_WILLNEED);
    }
}

// ---- MemorySource ----------------------------------------------------------

Error MemorySource::read_at(int64_t offset, void* dst, int64_t n) noexcept {
    if (!range_ok(offset, n, size_)) return Error::os(EINVAL);
    if (n > 0) std::memcpy(dst, data_ + offset, static_cast<size_t>(n));
    return {};
}

// ---- WindowReader ----------------------------------------------------------

WindowReader::WindowReader(Source& src) noexcept : src_(src), size_(src.size()), min_len_(min_window) {
    const int64_t preferred = src.preferred_read();
    if (preferred > min_len_) min_len_ = preferred;
}

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
        int64_t len = (last_len_ > 0 && offset >= begin_ && offset <= end_ + last_len_) ? last_len_ * 2 : min_len_;
        if (len > cap_) len = cap_;
        if (len < n) len = n;
        const int64_t left = size_ - offset;
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
