// The layout of a field dump, in one place: Fortran sequential records
// (a 4-byte length marker on each side of each payload) holding Nparam, the
// integer parameters, the real parameters, then per block an extent record
// (nx_loc, ny_loc, nz_loc) and a data record, then the x, y and z axes.
//
// `FieldWalk` knows where each record lies and checks every size the file
// claims against the grid and the file's length; it reads nothing itself.
// A reader drives it by reading what it points at; a scan that only wants
// the block table drives it the same way, reading the extents and seeking
// over the data. Markers are skipped by position and never read, so a file
// with wrong marker values reads like one with correct markers.
#pragma once

#include <cstdint>

#include "result.hpp"
#include "source.hpp"

namespace quickio::native {

namespace field {
// Header payload offsets: Nparam at 4, the integer parameters at 16.
constexpr int64_t nparam_at = 4;
constexpr int64_t int_params_at = 16;
// The integer parameters the layout depends on, and the least Nparam
// holding them.
constexpr int idx_nproc_y = 0, idx_nproc_z = 1, idx_nx = 3, idx_ny = 4, idx_nz = 6;
constexpr int32_t min_nparam = 7;
// The field loader also takes integer parameter 14 (the dimension count,
// which nothing acts on), so it needs Nparam of at least 15.
constexpr int idx_ndimension = 14;
constexpr int32_t loader_min_nparam = idx_ndimension + 1;

// The first 16 bytes of a file carry the markers of a field dump's first
// records: 4, then Nparam >= 0, 4, and 4*Nparam. No reader relies on
// markers; this only tells a field dump whose walk fails (cut short, say)
// apart from a file of another kind.
constexpr int64_t framing_bytes = 16;
bool framed(const unsigned char head[framing_bytes]) noexcept;
}  // namespace field

struct FieldHeader {
    int32_t nparam = 0;
    int64_t real_params_at = 0;  // payload offset of the real parameters
    int64_t blocks_at = 0;       // offset of the first block's extent record
    int64_t nproc_y = 0, nproc_z = 0, nx = 0, ny = 0, nz = 0;
    int64_t cells = 0;  // nx * ny * nz
};

// One block as the walk accepted it: where it sits in the grid, its
// extents, and where its records lie in the file.
struct FieldBlock {
    int64_t layer = 0, column = 0;  // position in the writer's tiling
    int64_t y0 = 0, z0 = 0;         // first row and plane of the grid it fills
    int64_t nx = 0, ny = 0, nz = 0;
    int64_t count = 0;       // nx * ny * nz values
    int64_t extents_at = 0;  // payload offset of its extent record (12 bytes)
    int64_t data_at = 0;     // payload offset of its data record (4 * count bytes)
};

// One axis record: `len` float32 values from payload offset `at`.
struct FieldAxis {
    int64_t at = 0;
    int64_t len = 0;
};

class FieldWalk {
public:
    explicit FieldWalk(int64_t file_size) noexcept : size_(file_size) {}

    // 1. The parameter count: 4 bytes at field::nparam_at (Error::eof when
    //    the file is shorter), then take_nparam() with its value, which
    //    checks that the three parameter records fit the file.
    Error nparam_record(int64_t* at) const noexcept;
    Error take_nparam(int32_t nparam) noexcept;
    // 2. The first field::min_nparam integer parameters, read at
    //    field::int_params_at: the tiling and the grid.
    Error take_params(const int32_t* params) noexcept;
    const FieldHeader& header() const noexcept { return h_; }

    // 3. The blocks: while more() is true, next_extents() gives the offset
    //    of the next 12-byte extent payload (after checking the file holds
    //    it) and accept() takes the three values read there, checks the
    //    block against the grid and the file, and describes it.
    bool more() const noexcept;
    Error next_extents(int64_t* at) const noexcept;
    Error accept(const int32_t extents[3], FieldBlock* out) noexcept;
    int64_t blocks_accepted() const noexcept { return accepted_; }

    // 4. After the last block: checks that the blocks covered the grid and
    //    that the file holds the three axis records, and gives them.
    Error axes(FieldAxis out[3]) noexcept;
    // The offset just past everything walked so far: after axes(), the end
    // of the z axis values (its closing marker is never needed).
    int64_t position() const noexcept { return pos_; }
    // After a step failed: the offset of the record it could not take (the
    // header value it refused, the extent or data record of a block, an
    // axis), so that a scan can say where a broken dump stops making sense.
    int64_t stopped_at() const noexcept { return stop_; }

private:
    Error need(int64_t at, int64_t n, const char* what_fmt, long long a = 0, long long b = 0) const noexcept;
    Error layer_done() noexcept;
    Error stop(int64_t at, Error e) const noexcept {
        stop_ = at;
        return e;
    }

    int64_t size_;
    FieldHeader h_;
    int64_t layers_ = 0;   // layers walked: nproc_z, or 1 when a layer holds no block
    int64_t iz_ = 0;       // layer and column of the next block
    int64_t iy_ = 0;
    int64_t yoff_ = 0;     // rows of the grid the current layer has filled
    int64_t zoff_ = 0;     // planes the layers before have filled
    int64_t height_ = 0;   // nz_loc shared by the blocks of the current layer
    int64_t pos_ = 0;      // offset of the next record
    int64_t accepted_ = 0;
    mutable int64_t stop_ = -1;  // see stopped_at()
};

// Reads the next block's extents through `rd`, where the walk points: the
// one step the reader and the scan both take before accept().
inline Error read_next_extents(WindowReader& rd, const FieldWalk& walk, int32_t extents[3]) noexcept {
    int64_t at;
    if (Error e = walk.next_extents(&at)) return e;
    return rd.copy(at, extents, 12);
}

}  // namespace quickio::native
