// Shared pieces of the fuzz targets: taking control values off the front of
// an input, and float buffers allocated to exactly the length a reader is
// told, so that AddressSanitizer reports the first element written past it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "result.hpp"

namespace quickio::fuzz {

// Takes little-endian values off the front of the input; missing bytes
// read as zero, so every input is usable.
class Input {
public:
    Input(const uint8_t* data, size_t size) : p_(data), left_(size) {}

    uint8_t u8() { return static_cast<uint8_t>(take(1)); }
    uint16_t u16() { return static_cast<uint16_t>(take(2)); }
    uint32_t u32() { return static_cast<uint32_t>(take(4)); }
    int8_t i8() { return static_cast<int8_t>(u8()); }
    int32_t i32() { return static_cast<int32_t>(u32()); }

    // What is left: the dump.
    const uint8_t* rest() const { return p_; }
    int64_t rest_size() const { return static_cast<int64_t>(left_); }

private:
    uint64_t take(size_t n) {
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i) {
            if (left_ > 0) {
                v |= uint64_t{*p_} << (8 * i);
                ++p_;
                --left_;
            }
        }
        return v;
    }

    const uint8_t* p_;
    size_t left_;
};

// A byte pattern no reader writes by chance: its float is a NaN that no
// dump value produced by the fuzzer is likely to match in every byte.
constexpr uint8_t sentinel = 0xA5;

// A float buffer of exactly `length` elements (a zero-length allocation for
// 0), filled with the sentinel byte.
class Buffer {
public:
    explicit Buffer(int64_t length)
        : data_(static_cast<float*>(std::malloc(static_cast<size_t>(length) * sizeof(float)))), length_(length) {
        if (data_ == nullptr) __builtin_trap();
        std::memset(data_, sentinel, static_cast<size_t>(length) * sizeof(float));
    }
    ~Buffer() { std::free(data_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    native::FloatSpan span() const { return {data_, length_}; }
    int64_t length() const { return length_; }

    // True when elements [from, length) still hold the sentinel.
    bool untouched_from(int64_t from) const {
        if (from < 0) from = 0;
        if (from >= length_) return true;
        static const auto pattern = [] {
            struct Page {
                uint8_t bytes[4096];
            } page;
            std::memset(page.bytes, sentinel, sizeof page.bytes);
            return page;
        }();
        const auto* p = reinterpret_cast<const uint8_t*>(data_ + from);
        for (int64_t left = (length_ - from) * 4; left > 0;) {
            const size_t n = left < 4096 ? static_cast<size_t>(left) : 4096;
            if (std::memcmp(p, pattern.bytes, n) != 0) return false;
            p += n;
            left -= static_cast<int64_t>(n);
        }
        return true;
    }

private:
    float* data_;
    int64_t length_;
};

// A broken invariant is a finding: stop here so libFuzzer saves the input.
inline void check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace quickio::fuzz
