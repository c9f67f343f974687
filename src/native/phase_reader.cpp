#include "phase_reader.hpp"

#include <bit>
#include <cstring>
#include <string>

namespace quickio::native {

namespace {

static_assert(std::endian::native == std::endian::little,
              "dumps are little-endian and are read without byte swapping");

// The one buffer of a pass, allocated once per call and reused: counts and
// particle entries are parsed out of it, so a dump of many tiny blocks costs
// one read per window rather than one per block.
constexpr int64_t window_capacity = int64_t{2} << 20;

std::string str(int64_t v) { return std::to_string(v); }

std::string str(unsigned __int128 v) {
    if (v == 0) return "0";
    char buf[48];
    char* p = buf + sizeof buf;
    while (v != 0) {
        *--p = static_cast<char>('0' + static_cast<int>(v % 10));
        v /= 10;
    }
    return std::string(p, buf + sizeof buf);
}

// Blocks are [int32 count N][N entries of 2n+2 words]; N <= 0 is an empty
// block of its count word alone, and fewer than 4 bytes left end the dump.
class BlockWalker {
public:
    BlockWalker(WindowReader& rd, const char* name, int32_t n)
        : rd_(rd), name_(name), entry_bytes_(8 * int64_t{n} + 8) {}

    int64_t entry_bytes() const { return entry_bytes_; }

    // Reads the block count at `*pos`. On success `*done` says whether the
    // dump has ended; otherwise `*count` is the block's particle count
    // (0 for an empty block) and `*pos` has moved past the count word to the
    // first entry. A block whose entries run past the end of the file is
    // Error::eof, reported before any of its entries is used.
    Error next(int64_t* pos, bool* done, int64_t* count) {
        const int64_t at = *pos;
        const int64_t size = rd_.size();
        if (size - at < 4) {
            *done = true;
            return {};
        }
        *done = false;
        int32_t raw;
        if (rd_.available(at) >= 4) {
            std::memcpy(&raw, rd_.at(at), 4);
        } else {
            const unsigned char* p;
            if (Error e = rd_.view(at, 4, &p)) return e;
            std::memcpy(&raw, p, 4);
        }
        *pos = at + 4;
        if (raw <= 0) {
            *count = 0;
            return {};
        }
        const int64_t remain = size - *pos;
        int64_t bytes64;
        if (__builtin_mul_overflow(int64_t{raw}, entry_bytes_, &bytes64) || bytes64 > remain) {
            // Up to 2^31 entries of up to 2^34 bytes: the product may pass int64.
            const auto bytes = static_cast<unsigned __int128>(raw) *
                               static_cast<unsigned __int128>(entry_bytes_);
            return Error::eof(std::string(name_) + ": block at offset " + str(at) + " announces " +
                              str(int64_t{raw}) + (raw == 1 ? " particle (" : " particles (") +
                              str(bytes) + " bytes) but only " + str(remain) +
                              " bytes remain");
        }
        *count = raw;
        return {};
    }

private:
    WindowReader& rd_;
    const char* name_;
    int64_t entry_bytes_;
};

Error check_n(int32_t n) {
    if (n >= 0) return {};
    return Error::value("n_dimensions must be >= 0, got " + str(int64_t{n}));
}

// Copies the first C words of each of k entries of C+1 words.
template <int64_t C>
void copy_entries_fixed(float* dst, const unsigned char* src, int64_t k) {
    for (int64_t i = 0; i < k; ++i) {
        std::memcpy(dst + i * C, src + i * (C + 1) * 4, C * 4);
    }
}

void copy_entries(float* dst, const unsigned char* src, int64_t k, int64_t comp) {
    switch (comp) {
        case 1: return copy_entries_fixed<1>(dst, src, k);
        case 3: return copy_entries_fixed<3>(dst, src, k);
        case 5: return copy_entries_fixed<5>(dst, src, k);
        case 7: return copy_entries_fixed<7>(dst, src, k);
        default: break;
    }
    const auto comp_bytes = static_cast<size_t>(comp * 4);
    const int64_t stride = comp * 4 + 4;
    for (int64_t i = 0; i < k; ++i) std::memcpy(dst + i * comp, src + i * stride, comp_bytes);
}

Error count_impl(Source& src, const char* name, int32_t n, int64_t* particles) {
    WindowReader rd(src);
    if (Error e = rd.init(window_capacity)) return e;
    BlockWalker walk(rd, name, n);
    int64_t pos = 0, total = 0;
    for (;;) {
        bool done;
        int64_t count;
        if (Error e = walk.next(&pos, &done, &count)) return e;
        if (done) break;
        // Both fit: the block's entries lie inside the file.
        total += count;
        pos += count * walk.entry_bytes();
    }
    *particles = total;
    return {};
}

Error read_impl(Source& src, const char* name, int32_t n, FloatSpan storage, int64_t* written) {
    WindowReader rd(src);
    if (Error e = rd.init(window_capacity)) return e;
    BlockWalker walk(rd, name, n);
    const int64_t entry = walk.entry_bytes();
    const int64_t comp = 2 * int64_t{n} + 1;
    // Entries up to a quarter of the buffer are parsed out of it; longer ones
    // have their components read straight into place, one read per entry.
    const bool buffered = entry <= rd.capacity() / 4;
    advise_destination(storage.data, 4 * storage.length);
    int64_t pos = 0;
    for (;;) {
        bool done;
        int64_t count;
        if (Error e = walk.next(&pos, &done, &count)) return e;
        if (done) break;
        if (count == 0) continue;
        // count * comp <= file size / 4: no overflow once next() accepted it.
        const int64_t need = *written + count * comp;
        if (need > storage.length) {
            return Error::value("buffer holds " + str(storage.length) +
                                " elements but the dump needs at least " + str(need));
        }
        float* dst = storage.data + *written;
        int64_t left = count;
        while (left > 0) {
            const int64_t k_avail = rd.available(pos) / entry;
            const int64_t k = k_avail < left ? k_avail : left;
            if (k > 0) {
                copy_entries(dst, rd.at(pos), k, comp);
            } else if (buffered) {
                // Refill from the entry that straddles the window's end.
                const unsigned char* p;
                if (Error e = rd.view(pos, entry, &p)) return e;
                continue;
            } else {
                if (Error e = rd.copy(pos, dst, comp * 4)) return e;
                dst += comp;
                pos += entry;
                left -= 1;
                *written += comp;
                continue;
            }
            dst += k * comp;
            pos += k * entry;
            left -= k;
            *written += k * comp;
        }
    }
    return {};
}

}  // namespace

Error count_particles(Source& src, const char* name, int32_t n, int64_t* particles) noexcept {
    if (Error e = check_n(n)) return e;
    int64_t total = 0;
    Error e = count_impl(src, name, n, &total);
    if (!e && particles) *particles = total;
    return e;
}

Error count_particles(const char* path, int32_t n, int64_t* particles) noexcept {
    if (Error e = check_n(n)) return e;
    FileSource src;
    if (Error e = FileSource::open(path, src)) return e;
    return count_particles(src, path, n, particles);
}

Error read_particles(Source& src, const char* name, int32_t n, FloatSpan storage,
                     int64_t* written) noexcept {
    int64_t done = 0;
    Error e = check_n(n);
    if (!e) e = read_impl(src, name, n, storage, &done);
    if (written) *written = done;
    return e;
}

Error read_particles(const char* path, int32_t n, FloatSpan storage, int64_t* written) noexcept {
    if (written) *written = 0;
    if (Error e = check_n(n)) return e;
    FileSource src;
    if (Error e = FileSource::open(path, src)) return e;
    return read_particles(src, path, n, storage, written);
}

}  // namespace quickio::native
