// Plain result types shared by the native readers.
//
// The readers know nothing of Python: they take pointers with their
// lengths and a path, and report failure through an Error value that the
// module frame turns into an exception at the boundary.
#pragma once

#include <cstdint>
#include <string>

namespace quickio::native {

enum class Status {
    ok,
    os_error,     // the operating system refused an open or a read; errno_value holds errno
    eof_error,    // the file ends before a record or block that its own counts announce
    value_error,  // the file's contents, or the caller's buffers, cannot describe a valid load
};

struct Error {
    Status status = Status::ok;
    int errno_value = 0;
    std::string message;

    explicit operator bool() const noexcept { return status != Status::ok; }

    static Error os(int err) { return Error{Status::os_error, err, {}}; }
    static Error eof(std::string msg) { return Error{Status::eof_error, 0, std::move(msg)}; }
    static Error value(std::string msg) { return Error{Status::value_error, 0, std::move(msg)}; }
};

// A caller's float32 storage: `length` elements from `data` on.
struct FloatSpan {
    float* data = nullptr;
    int64_t length = 0;
};

}  // namespace quickio::native
