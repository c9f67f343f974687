// Fuzz target: the field reader on large, mostly well-formed dumps, against
// a plain reference reader.
//
// The input describes a tiling rather than bytes, so that blocks come out
// tens of KiB large and in long runs of equal extents: that is where the
// reader reads blocks straight into place, several per call, packed into
// tasks of several blocks each. Edits and a cut applied to the assembled
// bytes then break the tiling anywhere.
//
// Input: [flags u8][fail_from u32 when flags bit 2 is set][nx-1 u16][nproc_y u8][nproc_z u8]
//        [nz_loc u8 per layer][ny_loc u8 per block]
//        [(offset u32, value i32) edits...], the last u32 a cut when flags bit 0 is set.
// Each layer's last block gets the rest of the rows, so tilings are valid
// unless widths overrun. The data are distinct floats, so a block put in the
// wrong place shows.
//
// Checked: the reader succeeds exactly when the reference does, and then
// fills the field and axes exactly as the reference does. Every read task
// holds only pieces of at least one byte and stays within its budget. With
// flags bit 2, the tasks' reads that reach past `fail_from` fail with EIO:
// once one has, the reader reports EIO, never a result or a format error.
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "field_reader.hpp"
#include "fuzz_support.hpp"
#include "source.hpp"

using namespace quickio;

namespace {

// Room for dozens of blocks of 16 KiB and more, small enough to build fast.
constexpr int64_t max_cells = int64_t{1} << 18;
constexpr int nparam = 20;

class Writer {
public:
    void i32(int32_t v) { put(&v, 4); }
    void f32(float v) { put(&v, 4); }
    void put(const void* p, size_t n) {
        const auto* b = static_cast<const uint8_t*>(p);
        bytes.insert(bytes.end(), b, b + n);
    }
    // `count` floats counting up from `*next`. Not traced for coverage: it is
    // the harness's hottest loop and tells the fuzzer nothing.
    __attribute__((no_sanitize("coverage"))) void ramp(int64_t count, float* next, float sign) {
        const size_t at = bytes.size();
        bytes.resize(at + 4 * static_cast<size_t>(count));
        for (int64_t i = 0; i < count; ++i) {
            const float v = sign * (*next)++;
            std::memcpy(bytes.data() + at + 4 * i, &v, 4);
        }
    }
    std::vector<uint8_t> bytes;
};

// The source of the reader: the tasks' scatter reads are checked against
// the task builder's invariant, and fail with EIO past `fail_from`.
class TaskCheckingSource final : public native::Source {
public:
    // The field reader's budget of one task.
    static constexpr int64_t task_budget = int64_t{8} << 20;

    TaskCheckingSource(native::Source& inner, int64_t fail_from) : inner_(inner), fail_from_(fail_from) {}
    int64_t size() const noexcept override { return inner_.size(); }
    native::Error read_at(int64_t offset, void* dst, int64_t n) noexcept override {
        return inner_.read_at(offset, dst, n);
    }
    native::Error read_scatter(int64_t offset, const Piece* pieces, int64_t count) noexcept override {
        int64_t total = 0;
        for (int64_t i = 0; i < count; ++i) {
            fuzz::check(pieces[i].len > 0);
            total += pieces[i].len;
        }
        fuzz::check(total <= task_budget);
        if (offset + total > fail_from_) {
            failed_.store(true);
            return native::Error::os(EIO);
        }
        return inner_.read_scatter(offset, pieces, count);
    }
    bool failed() const { return failed_.load(); }

private:
    native::Source& inner_;
    int64_t fail_from_;
    std::atomic<bool> failed_{false};
};

// memcpy that takes empty vectors' null pointers for zero lengths.
void copy(void* dst, const void* src, int64_t n) {
    if (n > 0) std::memcpy(dst, src, static_cast<size_t>(n));
}

int32_t word(const std::vector<uint8_t>& d, int64_t at) {
    int32_t v;
    std::memcpy(&v, d.data() + at, 4);
    return v;
}

// The format read the plain way: every check in the reader's order, one
// copy per plane run. True when the dump reads; then f, x, y, z hold it.
bool reference(const std::vector<uint8_t>& d, std::vector<float>& f, std::vector<float>& x, std::vector<float>& y,
               std::vector<float>& z) {
    const int64_t size = static_cast<int64_t>(d.size());
    auto inside = [&](int64_t at, int64_t n) { return at >= 0 && n >= 0 && at + n <= size; };
    if (!inside(4, 4)) return false;
    const int64_t np = word(d, 4);
    if (np < 7 || !inside(16, 4 * np)) return false;
    const int64_t real_at = 16 + 4 * np + 8;
    if (!inside(real_at, 4 * np)) return false;
    const int64_t nproc_y = word(d, 16), nproc_z = word(d, 20);
    const int64_t nx = word(d, 28), ny = word(d, 32), nz = word(d, 40);
    if (nproc_y < 0 || nproc_z < 0 || nx < 0 || ny < 0 || nz < 0) return false;
    int64_t plane, cells;
    if (__builtin_mul_overflow(nx, ny, &plane) || __builtin_mul_overflow(plane, nz, &cells) || cells > max_cells ||
        nx > max_cells || ny > max_cells || nz > max_cells) {
        return false;  // the harness never builds these; the reader is handed short buffers
    }
    f.assign(nx * ny * nz, 0.0f);
    x.assign(nx, 0.0f);
    y.assign(ny, 0.0f);
    z.assign(nz, 0.0f);

    int64_t o = real_at + 4 * np + 4, zoff = 0;
    const int64_t layers = nproc_y == 0 && nproc_z > 0 ? 1 : nproc_z;
    for (int64_t iz = 0; iz < layers; ++iz) {
        int64_t yoff = 0, height = 0;
        for (int64_t iy = 0; iy < nproc_y; ++iy) {
            if (!inside(o + 4, 12)) return false;
            const int64_t bx = word(d, o + 4), by = word(d, o + 8), bz = word(d, o + 12);
            if (bx != nx || by < 0 || bz < 0 || by > ny - yoff || bz > nz - zoff || (iy > 0 && bz != height)) {
                return false;
            }
            height = bz;
            const int64_t data_at = o + 24;
            if (!inside(data_at, 4 * nx * by * bz)) return false;
            for (int64_t k = 0; k < bz; ++k) {
                copy(f.data() + nx * ny * (zoff + k) + nx * yoff, d.data() + data_at + 4 * nx * by * k, 4 * nx * by);
            }
            yoff += by;
            o = data_at + 4 * nx * by * bz + 4;
        }
        if (yoff != ny) return false;
        zoff += height;
    }
    if (zoff != nz) return false;
    for (auto* axis : {&x, &y, &z}) {
        const int64_t len = static_cast<int64_t>(axis->size());
        if (!inside(o + 4, 4 * len)) return false;
        copy(axis->data(), d.data() + o + 4, 4 * len);
        o += 4 * len + 8;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint8_t flags = in.u8();
    const int64_t fail_from = (flags & 4) ? int64_t{in.u32()} : INT64_MAX;
    const int64_t nx = 1 + in.u16() % 4096;
    const int64_t nproc_y = in.u8() % 9, nproc_z = in.u8() % 9;
    std::vector<int64_t> heights(nproc_z);
    int64_t nz = 0;
    // Flags bit 1: layers of hundreds of planes, more plane runs per block
    // than one scatter read takes.
    for (auto& h : heights) nz += (h = (in.u8() % 9) * ((flags & 2) ? 128 : 1));
    std::vector<std::vector<int64_t>> widths(nproc_z, std::vector<int64_t>(nproc_y));
    int64_t ny = 0;
    for (int64_t iz = 0; iz < nproc_z; ++iz) {
        int64_t used = 0;
        for (int64_t iy = 0; iy < nproc_y; ++iy) {
            int64_t& w = widths[iz][iy];
            w = in.u8() % 9;
            if (iz == 0) {
                ny += w;
            } else if (iy == nproc_y - 1 && used <= ny) {
                w = ny - used;  // the rest of the rows
            }
            used += w;
        }
    }
    // Widths that overrun make blocks larger than the grid: bound both.
    int64_t data_floats = 0;
    for (int64_t iz = 0; iz < nproc_z; ++iz) {
        for (int64_t by : widths[iz]) data_floats += nx * by * heights[iz];
    }
    if (nx * ny * nz > max_cells / 2 || data_floats > max_cells / 2) return 0;

    // Assemble the dump with correct markers; data floats count up.
    Writer w;
    w.bytes.reserve(static_cast<size_t>(4 * (data_floats + nx + ny + nz) + 4096));
    float next = 1.0f;
    auto record = [&](auto&& payload, int32_t len) {
        w.i32(len);
        payload();
        w.i32(len);
    };
    record([&] { w.i32(nparam); }, 4);
    const int32_t ints[nparam] = {static_cast<int32_t>(nproc_y), static_cast<int32_t>(nproc_z), 0,
                                  static_cast<int32_t>(nx),      static_cast<int32_t>(ny),      0,
                                  static_cast<int32_t>(nz)};
    record([&] { w.put(ints, sizeof ints); }, 4 * nparam);
    record(
        [&] {
            for (int i = 0; i < nparam; ++i) w.f32(0.5f * static_cast<float>(i));
        },
        4 * nparam);
    for (int64_t iz = 0; iz < nproc_z; ++iz) {
        for (int64_t iy = 0; iy < nproc_y; ++iy) {
            const int64_t by = widths[iz][iy], bz = heights[iz];
            record(
                [&] {
                    w.i32(static_cast<int32_t>(nx));
                    w.i32(static_cast<int32_t>(by));
                    w.i32(static_cast<int32_t>(bz));
                },
                12);
            const int64_t count = nx * by * bz;
            record([&] { w.ramp(count, &next, 1.0f); }, static_cast<int32_t>(4 * count));
        }
    }
    for (int64_t len : {nx, ny, nz}) {
        record([&] { w.ramp(len, &next, -1.0f); }, static_cast<int32_t>(4 * len));
    }
    std::vector<uint8_t>& dump = w.bytes;

    // Edits: whole words overwritten anywhere; then perhaps a cut.
    while (in.rest_size() >= 8) {
        const uint32_t at = in.u32();
        const int32_t value = in.i32();
        if (dump.size() >= 4) std::memcpy(dump.data() + at % (dump.size() - 3), &value, 4);
    }
    if (flags & 1) dump.resize(in.u32() % (dump.size() + 1));
    dump.shrink_to_fit();  // the source ends where the allocation does

    std::vector<float> rf, rx, ry, rz;
    const bool ok = reference(dump, rf, rx, ry, rz);
    if (!ok && rf.empty() && rx.empty() && ry.empty() && rz.empty()) {
        // A header the reference refused before sizing: give the reader
        // buffers of the assembled grid.
        rf.resize(nx * ny * nz), rx.resize(nx), ry.resize(ny), rz.resize(nz);
    }
    fuzz::Buffer f(static_cast<int64_t>(rf.size())), x(static_cast<int64_t>(rx.size())),
        y(static_cast<int64_t>(ry.size())), z(static_cast<int64_t>(rz.size()));
    native::MemorySource memory(dump.data(), static_cast<int64_t>(dump.size()));
    TaskCheckingSource src(memory, fail_from);
    const native::Error err = native::read_grid_dump(src, {f.span(), x.span(), y.span(), z.span()}, {});

    if (src.failed()) {
        fuzz::check(err.status == native::Status::os_error && err.errno_value == EIO);
        return 0;
    }
    fuzz::check(!err == ok);
    if (ok) {
        const std::pair<const fuzz::Buffer*, const std::vector<float>*> pairs[] = {
            {&f, &rf}, {&x, &rx}, {&y, &ry}, {&z, &rz}};
        for (const auto& [got, want] : pairs) {
            fuzz::check(want->empty() || std::memcmp(got->span().data, want->data(), 4 * want->size()) == 0);
        }
    } else {
        fuzz::check(err.status == native::Status::value_error || err.status == native::Status::eof_error);
    }
    return 0;
}
