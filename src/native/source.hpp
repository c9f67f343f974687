// Where a native reader takes its bytes from: a file opened by path, or a
// region of memory (used by the fuzz targets, which must not touch the disk).
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
    // `offset + n <= size()` first; a short read here is an I/O fault.
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
};

// Asks the kernel to back the page-aligned interior of [data, data + bytes)
// with huge pages when it is large. A fresh receiving buffer faults in every
// page on first touch; with 4 KiB pages those faults cost more than the read
// itself, while an array from NumPy's own allocator gets huge pages. Advice
// only: it neither reads nor writes the memory, and a refusal changes nothing.
void advise_destination(void* data, int64_t bytes) noexcept;

}  // namespace quickio::native

namespace quickio::native {

// A file opened read-only by path. Its size is taken once, at open, and every
// read is bounded by it, so a file that grows later reads like the file that
// was opened; one that shrinks makes a read fail with EIO.
class FileSource final : public Source {
public:
    FileSource() noexcept = default;
    FileSource(FileSource&& other) noexcept;
    FileSource& operator=(FileSource&& other) noexcept;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;
    ~FileSource() override;

    // Opens `path` into `out`. Failure is Error::os(errno), with EISDIR for a
    // directory; `out` is then left closed.
    static Error open(const char* path, FileSource& out) noexcept;

    int64_t size() const noexcept override { return size_; }
    Error read_at(int64_t offset, void* dst, int64_t n) noexcept override;
    // One preadv per batch of pieces instead of one pread per piece.
    Error read_scatter(int64_t offset, const Piece* pieces, int64_t count) noexcept override;

private:
    void close() noexcept;

    int fd_ = -1;
    int64_t size_ = 0;
};

// A region of memory that the caller keeps alive while the source is in use.
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
// The window a refill reads starts small and doubles while the reads stay
// close to the previous window, up to the buffer's capacity; a jump far ahead
// (past a large block that is skipped or read directly) starts small again,
// so that skipping over data never drags the skipped bytes in.
class WindowReader {
public:
    explicit WindowReader(Source& src) noexcept : src_(src), size_(src.size()) {}
    WindowReader(const WindowReader&) = delete;
    WindowReader& operator=(const WindowReader&) = delete;

    // Allocates the buffer: `capacity` bytes, or less when the source is
    // smaller. Failure is Error::os(ENOMEM).
    Error init(int64_t capacity) noexcept;

    int64_t capacity() const noexcept { return cap_; }
    int64_t size() const noexcept { return size_; }

    // The bytes buffered from `offset` on (0 when `offset` is not buffered),
    // and a pointer to them.
    int64_t available(int64_t offset) const noexcept {
        return (offset >= begin_ && offset < end_) ? end_ - offset : 0;
    }
    const unsigned char* at(int64_t offset) const noexcept { return buf_.get() + (offset - begin_); }

    // Makes [offset, offset + n) buffered and points `*out` at it. Needs
    // n <= capacity() and offset + n <= size().
    Error view(int64_t offset, int64_t n, const unsigned char** out) noexcept;

    // Copies [offset, offset + n) to `dst`: from the buffer when it is short,
    // straight from the source when it is large. Needs offset + n <= size().
    Error copy(int64_t offset, void* dst, int64_t n) noexcept;

    // Reads the pieces straight from the source, back to back from `offset`
    // on, bypassing the buffer. Needs the pieces' total to fit the source.
    Error scatter(int64_t offset, const Source::Piece* pieces, int64_t count) noexcept {
        return src_.read_scatter(offset, pieces, count);
    }

private:
    Source& src_;
    int64_t size_;  // the source's size, taken once: it is asked for per block
    std::unique_ptr<unsigned char[]> buf_;
    int64_t cap_ = 0;
    int64_t begin_ = 0;     // file offset of buf_[0]
    int64_t end_ = 0;       // file offset just past the buffered bytes
    int64_t last_len_ = 0;  // length of the last refill
};

}  // namespace quickio::native
