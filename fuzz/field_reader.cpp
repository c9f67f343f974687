// Fuzz target: the field dump reader over arbitrary bytes.
//
// Input: [mode u8][f u32][x u16][y u16][z u16][dump bytes...]
// Mode bit 0 clear: the four numbers are the buffer lengths themselves.
// Mode bit 0 set: each buffer is sized from the grid the dump's header
// claims, off by the low byte of its number taken as a signed delta, so
// buffers one element short or long of a plausible grid come up often.
// Mode bit 1 set: records longer than 64 + (mode >> 2) bytes are split into
// subrecords (the reader follows their markers), so that splits come up in
// inputs of a few hundred bytes.
//
// Checked beyond "no memory error": a read that succeeds had buffers large
// enough and left their tails untouched; a read that fails wrote nothing
// past the grid, and nothing at all when a buffer was too short for it.
#include <cstdint>
#include <cstring>

#include "field_reader.hpp"
#include "fuzz_support.hpp"
#include "source.hpp"

using namespace quickio;

namespace {

// Far beyond any grid an input of a few KiB can hold, small enough that
// allocating and checking the buffers stays cheap.
constexpr int64_t max_elements = int64_t{1} << 12;

int32_t header_int(const uint8_t* dump, int64_t size, int64_t offset) {
    if (offset < 0 || offset + 4 > size) return 0;
    int32_t v;
    std::memcpy(&v, dump + offset, 4);
    return v;
}

int64_t clamp(int64_t v) { return v < 0 ? 0 : v > max_elements ? max_elements : v; }

// What the header claims, as the reader would need it: nx*ny*nz, nx, ny, nz
// (entries 3, 4 and 6 of the integer parameters at offset 16).
void claimed(const uint8_t* dump, int64_t size, int64_t out[4]) {
    int64_t nx = header_int(dump, size, 16 + 4 * 3);
    int64_t ny = header_int(dump, size, 16 + 4 * 4);
    int64_t nz = header_int(dump, size, 16 + 4 * 6);
    nx = nx < 0 ? 0 : nx;
    ny = ny < 0 ? 0 : ny;
    nz = nz < 0 ? 0 : nz;
    int64_t plane, cells;
    if (__builtin_mul_overflow(nx, ny, &plane) || __builtin_mul_overflow(plane, nz, &cells)) {
        cells = INT64_MAX / 2;  // no buffer can be that long; the reader must refuse
    }
    out[0] = cells;
    out[1] = nx;
    out[2] = ny;
    out[3] = nz;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint8_t mode = in.u8();
    const int64_t raw[4] = {in.u32(), in.u16(), in.u16(), in.u16()};
    const uint8_t* dump = in.rest();
    const int64_t dump_size = in.rest_size();

    int64_t need[4];
    claimed(dump, dump_size, need);
    int64_t len[4];
    for (int i = 0; i < 4; ++i) {
        len[i] = (mode & 1) ? clamp(need[i] + static_cast<int8_t>(raw[i] & 0xFF)) : clamp(raw[i]);
    }
    fuzz::Buffer f(len[0]), x(len[1]), y(len[2]), z(len[3]);

    native::MemorySource src(dump, dump_size);
    native::ReadOptions options;
    if (mode & 2) options.max_subrecord = 64 + (mode >> 2);
    const native::Error err = native::read_grid_dump(src, {f.span(), x.span(), y.span(), z.span()}, options);

    const fuzz::Buffer* bufs[4] = {&f, &x, &y, &z};
    if (err) {
        // Every size is checked before use, so the source never sees a read
        // outside itself (that would come back as an os_error).
        fuzz::check(err.status == native::Status::value_error || err.status == native::Status::eof_error);
        fuzz::check(err.message[0] != '\0');
        bool fits = true;
        for (int i = 0; i < 4; ++i) fits = fits && need[i] <= len[i];
        for (int i = 0; i < 4; ++i) fuzz::check(bufs[i]->untouched_from(fits ? need[i] : 0));
        return 0;
    }
    // Success: the header's grid fits every buffer, and nothing past it moved.
    for (int i = 0; i < 4; ++i) {
        fuzz::check(need[i] <= len[i]);
        fuzz::check(bufs[i]->untouched_from(need[i]));
    }
    return 0;
}
