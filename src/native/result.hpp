// Plain result types shared by the native readers.
//
// The readers know nothing of Python: they take pointers with their
// lengths and a source of bytes, and report failure through an Error value
// that the module frame turns into an exception at the boundary. An Error
// carries its message in a fixed buffer, so that reporting a failure never
// allocates: a reader runs without the interpreter lock and may not throw.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>

namespace quickio::native {

enum class Status {
    ok,
    os_error,     // the operating system refused an open or a read; errno_value holds errno
    eof_error,    // the file ends before a record or block that its own counts announce
    value_error,  // the file's contents, or the caller's buffers, cannot describe a valid load
    changed,      // the file changed while it was read: its result cannot be trusted
    interrupted,  // the caller asked the read to stop (a signal arrived)
};

struct Error {
    Status status = Status::ok;
    int errno_value = 0;
    // True when the message is about the file, so that the frame puts the
    // file's name in front of it.
    bool about_file = false;
    // A NUL-terminated message; nothing past the NUL is set. Walks return
    // an Error for every record they check, so making one writes a single
    // byte of it, not all of it.
    char message[320];

    Error() noexcept { message[0] = '\0'; }

    explicit operator bool() const noexcept { return status != Status::ok; }

    static Error os(int err) noexcept {
        Error e;
        e.status = Status::os_error;
        e.errno_value = err;
        return e;
    }
    // An OS error whose text says more than strerror(err) would.
    static Error os(int err, const char* text) noexcept {
        Error e = os(err);
        std::snprintf(e.message, sizeof e.message, "%s", text);
        return e;
    }
    static Error interrupted() noexcept {
        Error e;
        e.status = Status::interrupted;
        return e;
    }
    // A message about the file's contents.
    [[gnu::format(printf, 2, 3)]] static Error in_file(Status status, const char* fmt, ...) noexcept {
        Error e;
        e.status = status;
        e.about_file = true;
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(e.message, sizeof e.message, fmt, ap);
        va_end(ap);
        return e;
    }
    // A message about the caller's arguments or buffers.
    [[gnu::format(printf, 1, 2)]] static Error value(const char* fmt, ...) noexcept {
        Error e;
        e.status = Status::value_error;
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(e.message, sizeof e.message, fmt, ap);
        va_end(ap);
        return e;
    }
};

// A caller's float32 storage: `length` elements from `data` on.
struct FloatSpan {
    float* data = nullptr;
    int64_t length = 0;
};

// Asked between pieces of work whether the caller wants the read to stop
// (the frame answers from the interpreter's pending signals). Called only
// on the thread that started the read.
class Interrupt {
public:
    virtual bool requested() noexcept = 0;

protected:
    ~Interrupt() = default;
};

// What identifies a file's contents: the same device, inode, size,
// modification time and status-change time before and after a read mean it
// was not rewritten. The status-change time is the one a writer cannot set
// back: a rewrite in place that keeps the old modification time (cp -p,
// touch -r, rsync -t --inplace) still moves it.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t mtime_ns = 0;
    int64_t ctime_ns = 0;

    bool operator==(const FileIdentity& o) const noexcept {
        return device == o.device && inode == o.inode && size == o.size && mtime_ns == o.mtime_ns &&
               ctime_ns == o.ctime_ns;
    }
    bool operator!=(const FileIdentity& o) const noexcept { return !(*this == o); }
};

// How a read runs: how many threads may read at once (1: only the calling
// thread), whom to ask whether to stop, when the caller has already looked
// at the file, the identity it saw, which the file opened by path must
// still have, and where field records are split.
struct ReadOptions {
    int threads = 1;
    Interrupt* interrupt = nullptr;
    const FileIdentity* expect = nullptr;
    // The longest field record taken to be whole (field::max_subrecord when
    // 0 or more than it): a longer one is found by its markers.
    int64_t max_subrecord = 0;

    bool stop_requested() const noexcept { return interrupt != nullptr && interrupt->requested(); }
};

}  // namespace quickio::native
