// The layout of a phase-space dump, in one place: a run of blocks to the end
// of the file, each an int32 count N followed by N particle entries of
// 2n+2 words (2n+1 float32 components and a trailing word). A count of zero
// or less is an empty block of its count word alone; fewer than 4 bytes
// left end the dump. Nothing in the file records n: the caller gives it.
//
// `PhaseWalk` knows where each block lies and checks every count against
// the file's length; it reads nothing itself. The count pass, the data pass,
// the reductions and the scan all drive it.
#pragma once

#include <cstdint>

#include "result.hpp"

namespace quickio::native {

// Refuses a negative dimension count, which has no layout.
Error check_dimensions(int32_t n) noexcept;

// The bytes of one particle in a file of dimension count `n`: its block's
// count word and its 2n+1 values (the trailing word of a file's last entry
// may be missing). A file shorter than that holds no particle.
// `n` below 2^60, so that the bytes fit int64.
inline int64_t one_particle_bytes(int64_t n) noexcept { return 8 * n + 8; }

// The largest dimension count a phase-space dump of `file_size` bytes is
// read with: one particle must fit in the file, or, for a file too short to
// hold one (an empty dump, or one of empty blocks, which says nothing of its
// count), any count up to small_file_dimensions, which is past every
// simulation's and keeps what a count makes of it (2n + 1 names, rows and
// columns) small. At most INT32_MAX, the readers' limit.
constexpr int32_t small_file_dimensions = 16;
int32_t most_dimensions(int64_t file_size) noexcept;

struct PhaseBlock {
    int64_t at = 0;          // offset of its count word
    int32_t stored = 0;      // the count as stored (zero or less: empty)
    int64_t count = 0;       // particles it holds: the stored count, or 0
    int64_t first = 0;       // number of its first particle in the dump
    int64_t entries_at = 0;  // offset of its first entry
    // Bytes of its entries that the file holds: count entries, less the
    // last entry's trailing word when the file ends without it.
    int64_t bytes = 0;
};

class PhaseWalk {
public:
    // `n` must be >= 0 (check_dimensions).
    PhaseWalk(int32_t n, int64_t file_size) noexcept
        : size_(file_size), entry_bytes_(8 * int64_t{n} + 8), components_(2 * int64_t{n} + 1) {}

    int64_t entry_bytes() const noexcept { return entry_bytes_; }
    int64_t components() const noexcept { return components_; }

    // True once fewer than 4 bytes are left: no further block count.
    bool done() const noexcept { return size_ - pos_ < 4; }
    // The offset of the next block's count word.
    int64_t position() const noexcept { return pos_; }
    // Takes the count read at position(): checks that the file holds the
    // block's entries (the very last entry may lack its trailing word, which
    // no reader needs), describes the block and moves on past it. Inline:
    // a dump of tiny blocks calls it millions of times.
    Error accept(int32_t stored, PhaseBlock* out) noexcept {
        const int64_t at = pos_;
        *out = PhaseBlock{at, stored, 0, particles_, at + 4, 0};
        pos_ = at + 4;
        ++blocks_;
        if (stored <= 0) return {};
        const int64_t remain = size_ - pos_;
        // Up to 2^31 entries of up to 2^34 bytes: the product may pass int64.
        int64_t bytes;
        if (__builtin_mul_overflow(int64_t{stored}, entry_bytes_, &bytes) || bytes - trailing_word > remain) {
            return cut_short(at, stored, remain);
        }
        // The last entry of the file may end without its trailing word.
        if (bytes > remain) bytes = remain;
        out->count = stored;
        out->bytes = bytes;
        particles_ += stored;
        pos_ += bytes;
        return {};
    }

    int64_t particles() const noexcept { return particles_; }
    int64_t blocks() const noexcept { return blocks_; }
    // After accept() failed: the offset of the count word of the block it
    // refused.
    int64_t stopped_at() const noexcept { return stop_; }

private:
    // The trailing word of an entry: no reader reads it.
    static constexpr int64_t trailing_word = 4;
    Error cut_short(int64_t at, int32_t stored, int64_t remain) noexcept;

    int64_t size_;
    int64_t entry_bytes_;
    int64_t components_;
    int64_t pos_ = 0;
    int64_t particles_ = 0;
    int64_t blocks_ = 0;
    int64_t stop_ = -1;
};

}  // namespace quickio::native
