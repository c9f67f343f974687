// Where a native reader takes its bytes from: a file opened by path, or a
// region of memory (used by the fuzz targets, which must not touch the disk,
// and by the reductions of a dump fetched by range).
#pragma once

#include <cstdint>
#include <memory>

#include "result.hpp"

namespace quickio::native {

class Source {
public:
    virtual ~Source() = default;

    // Total length in bytes, known up front so that every size a dump claims
    // can be checked against it before it is used.
    virtual int64_t size() const noexcept = 0;

    // Copies exactly `n` bytes starting at `offset` into `dst`. Callers check
    // `offset + n <= size()` first; a source that turns out to hold less
    // than its size reports the file as changed. Safe to call from several
    // threads at once.
    virtual Error read_at(int64_t offset, void* dst, int64_t n) noexcept = 0;

    // One stretch of a scatter read: `len` bytes to `dst`.
    struct Piece {
        void* dst;
        int64_t len;
    };

    // Copies the `count` pieces' lengths of bytes, back to back from
    // `offset` on, into the pieces' destinations: one read that fills many
    // places. Callers check that the total fits inside size() first. This
    // default reads piece by piece.
    virtual Error read_scatter(int64_t offset, const Piece* pieces, int64_t count) noexcept;

    // A hint that [offset, offset + n) will be read soon; sources that can
    // start fetching it in the background do.
    virtual void prefetch(int64_t offset, int64_t n) noexcept {
        (void)offset;
        (void)n;
    }

    // The least a buffered reader should ask of this source in one read.
    // A source whose every read has a high fixed cost (a call into Python,
    // a request over a network) asks for more than the few bytes a block's
    // header needs, so that the headers of many small blocks come in one
    // read. 0: no preference.
    virtual int64_t preferred_read() const noexcept { return 0; }
};

// A file opened read-only by path. Its size is taken once, at open, and every
// read is bounded by it, so a file that grows later reads like the file that
// was opened; one that shrinks makes a read fail as changed.
class FileSource final : public Source {
public:
    FileSource() noexcept = default;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;
    ~FileSource() override;

    // Opens `path` by open_regular(). With `expect`, a file whose identity differs
    // from it (replaced or rewritten since the caller looked) is refused as
    // changed.
    Error open(const char* path, Interrupt* interrupt, const FileIdentity* expect) noexcept;

    // Error unless the open file still has the identity it had when opened:
    // a file rewritten in place during a read is caught here.
    Error verify_unchanged() const noexcept;

    const FileIdentity& identity() const noexcept { return identity_; }
    int64_t size() const noexcept override { return identity_.size; }
    Error read_at(int64_t offset, void* dst, int64_t n) noexcept override;
    // One preadv per batch of pieces instead of one pread per piece.
    Error read_scatter(int64_t offset, const Piece* pieces, int64_t count) noexcept override;
    void prefetch(int64_t offset, int64_t n) noexcept override;

private:
    int fd_ = -1;
    FileIdentity identity_;
};

// Opens `path` read-only into `*fd` without waiting on it: a FIFO, a
// device or a socket is refused as "not a regular file" (Error::os with
// EINVAL and that message) before anything reads from it, a directory as
// EISDIR. An open that a signal interrupts is retried unless `interrupt`
// says to stop.
Error open_regular(const char* path, Interrupt* interrupt, int* fd) noexcept;

// The identity of the file open on `fd`, or of the file at `path`.
Error identity_of(int fd, FileIdentity* out) noexcept;
Error identity_of(const char* path, FileIdentity* out) noexcept;

// A region of memory that the caller keeps alive while the source is in use:
// the fuzz targets' input, and stretches of a dump fetched by range.
class MemorySource final : public Source {
public:
    MemorySource(const void* data, int64_t size) noexcept
        : data_(static_cast<const unsigned char*>(data)), size_(size < 0 ? 0 : size) {}

    int64_t size() const noexcept override { return size_; }
    Error read_at(int64_t offset, void* dst, int64_t n) noexcept override;

private:
    const unsigned char* data_;
    int64_t size_;
};

// Reads a source through one reused buffer, so that many small reads close
// together (block counts, extent records, short rows) cost one large read
// between them, while large reads go straight to their destination.
//
// The window a refill reads starts small (the larger of 512 bytes and the
// source's preferred read) and doubles while the reads stay close to the
// previous window, up to the buffer's capacity; a jump far ahead (past a
// large block that is skipped or read directly) starts small again, so that
// skipping over data never drags the skipped bytes in.
class WindowReader {
public:
    explicit WindowReader(Source& src) noexcept;
    WindowReader(const WindowReader&) = delete;
    WindowReader& operator=(const WindowReader&) = delete;

    // Allocates the buffer: `capacity` bytes, or less when the source is
    // smaller. Failure is Error::os(ENOMEM).
    Error init(int64_t capacity) noexcept;

    int64_t capacity() const noexcept { return cap_; }
    int64_t size() const noexcept { return size_; }
    Source& source() const noexcept { return src_; }

    // The bytes buffered from `offset` on (0 when `offset` is not buffered),
    // and a pointer to them.
    int64_t available(int64_t offset) const noexcept { return (offset >= begin_ && offset < end_) ? end_ - offset : 0; }
    const unsigned char* at(int64_t offset) const noexcept { return buf_.get() + (offset - begin_); }

    // Makes [offset, offset + n) buffered and points `*out` at it. Needs
    // n <= capacity() and offset + n <= size().
    Error view(int64_t offset, int64_t n, const unsigned char** out) noexcept;

    // Copies [offset, offset + n) to `dst`: from the buffer when it is short,
    // straight from the source when it is large. Needs offset + n <= size().
    Error copy(int64_t offset, void* dst, int64_t n) noexcept;

private:
    Source& src_;
    int64_t size_;     // the source's size, taken once: it is asked for per block
    int64_t min_len_;  // the length of a refill after a jump
    std::unique_ptr<unsigned char[]> buf_;
    int64_t cap_ = 0;
    int64_t begin_ = 0;     // file offset of buf_[0]
    int64_t end_ = 0;       // file offset just past the buffered bytes
    int64_t last_len_ = 0;  // length of the last refill
};

}  // namespace quickio::native
