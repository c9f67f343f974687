// The layout of a field dump, in one place: Fortran sequential records
// (a 4-byte length marker on each side of each payload) holding Nparam, the
// integer parameters, the real parameters, then per block an extent record
// (nx_loc, ny_loc, nz_loc) and a data record, then the x, y and z axes.
//
// A record whose payload is longer than one subrecord holds (2 GiB - 9
// bytes, as gfortran writes them) is split: subrecords of that many bytes
// and a last one of the rest, each [marker][payload][marker], the markers
// between them signed to say that more follows (a negative opening marker)
// or that one came before (a negative closing marker). Only block data and
// axes are ever that long.
//
// `FieldWalk` knows where each record lies and checks every size the file
// claims against the grid and the file's length. A reader drives it by
// reading what it points at; a scan that only wants the block table drives
// it the same way, reading the extents and seeking over the data. The
// markers of a record that fits one subrecord are skipped by position and
// never read, so such a file with wrong marker values reads like one with
// correct markers; a longer record is found by its markers, which the walk
// reads itself, through the driver's window, and checks one by one.
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

// The length of a field dump of Nparam `nparam` and integer parameters
// `params` (at least min_nparam of them) whose file holds `blocks` blocks of
// `values` values in all, with `split_bytes` of markers between the
// subrecords of its split records: the blocks it lacks (of nproc_y *
// nproc_z) counted as well-formed ones holding the rest of the grid. -1 when
// the header's sizes are negative, which give no length.
int64_t expected_size(int32_t nparam, const int32_t* params, int64_t blocks, int64_t values,
                      int64_t split_bytes) noexcept;

// The most payload one record holds whole: gfortran's limit of a
// subrecord, 2 GiB - 9 bytes. Longer block data and axes come split.
constexpr int64_t max_subrecord = 2147483639;
// The limit the walks of this process take: max_subrecord, or a lower one
// from QUICKIO_MAX_SUBRECORD_BYTES (a positive number below it), for the
// files of a writer built with a lower limit (gfortran's
// -fmax-subrecord-length) and for tests of splits on small files. Reads the
// environment: call it where the environment cannot change meanwhile (with
// the interpreter lock held).
int64_t process_max_subrecord() noexcept;
}  // namespace field

// Where a record's payload lies in the file: `bytes` of payload from file
// offset `at`, in subrecords of `sub` bytes each but the last, with the two
// markers between one subrecord and the next (8 bytes) in between. A record
// written whole is one subrecord (sub >= bytes).
struct Record {
    // The markers between two subrecords: the closing one of the first and
    // the opening one of the next.
    static constexpr int64_t split_markers = 8;

    int64_t at = 0;
    int64_t bytes = 0;
    int64_t sub = 1;

    int64_t subrecords() const noexcept { return bytes > sub ? (bytes - 1) / sub + 1 : 1; }
    // The file offset of payload byte `b`, for 0 <= b < bytes.
    int64_t offset(int64_t b) const noexcept { return at + b + split_markers * (b / sub); }
    // The file offset just past the last payload byte.
    int64_t end() const noexcept { return at + bytes + split_markers * (subrecords() - 1); }
};

// Calls piece(file_offset, done, len) for the payload bytes [b, b + n) of
// `r` (inside the payload), one piece per subrecord they touch; `done` is
// the bytes of the range before the piece. Stops at the first error piece()
// returns.
template <class Piece>
Error each_piece(const Record& r, int64_t b, int64_t n, Piece&& piece) noexcept {
    for (int64_t done = 0; done < n;) {
        const int64_t left_in_sub = r.sub - (b + done) % r.sub;
        const int64_t len = n - done < left_in_sub ? n - done : left_in_sub;
        if (Error e = piece(r.offset(b + done), done, len)) return e;
        done += len;
    }
    return {};
}

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
    Record data;             // its data record (4 * count bytes)
};

// One axis record: `len` float32 values.
struct FieldAxis {
    Record values;
    int64_t len = 0;
};

class FieldWalk {
public:
    // `max_subrecord`: the longest record taken to be whole, without
    // reading its markers (field::max_subrecord, or a lower limit).
    explicit FieldWalk(int64_t file_size, int64_t max_subrecord = field::max_subrecord) noexcept
        : size_(file_size),
          max_sub_(max_subrecord > 0 && max_subrecord < field::max_subrecord ? max_subrecord : field::max_subrecord) {}

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
    //    block against the grid and the file, and describes it. A data
    //    record too long for one subrecord is found by its markers, read
    //    through `rd`.
    bool more() const noexcept;
    Error next_extents(int64_t* at) const noexcept;
    Error accept(const int32_t extents[3], FieldBlock* out, WindowReader& rd) noexcept;
    int64_t blocks_accepted() const noexcept { return accepted_; }

    // 4. After the last block: checks that the blocks covered the grid and
    //    that the file holds the three axis records, and gives them.
    Error axes(FieldAxis out[3], WindowReader& rd) noexcept;
    // The offset just past everything walked so far: after axes(), the end
    // of the z axis values (its closing marker is never needed).
    int64_t position() const noexcept { return pos_; }
    // After a step failed: the offset of the record it could not take (the
    // header value it refused, the extent or data record of a block, an
    // axis), so that a scan can say where a broken dump stops making sense.
    int64_t stopped_at() const noexcept { return stop_; }

private:
    bool inside(int64_t at, int64_t n) const noexcept;
    Error need(int64_t at, int64_t n, const char* what_fmt, long long a = 0, long long b = 0) const noexcept;
    Error ends_inside(int64_t at, int64_t n, const char* what) const noexcept;
    // The record whose opening marker is at `opening_at` and whose payload
    // the counts read before make `bytes` long; `what_fmt`, a and b name it.
    Error record(WindowReader& rd, int64_t opening_at, int64_t bytes, Record* out, const char* what_fmt,
                 long long a = 0, long long b = 0) const noexcept;
    Error split_record(WindowReader& rd, int64_t opening_at, int64_t bytes, int32_t opening, Record* out,
                       const char* what) const noexcept;
    Error layer_done() noexcept;
    Error stop(int64_t at, Error e) const noexcept {
        stop_ = at;
        return e;
    }

    int64_t size_;
    int64_t max_sub_;  // the longest record taken whole by position
    FieldHeader h_;
    int64_t layers_ = 0;  // layers walked: nproc_z, or 1 when a layer holds no block
    int64_t iz_ = 0;      // layer and column of the next block
    int64_t iy_ = 0;
    int64_t yoff_ = 0;    // rows of the grid the current layer has filled
    int64_t zoff_ = 0;    // planes the layers before have filled
    int64_t height_ = 0;  // nz_loc shared by the blocks of the current layer
    int64_t pos_ = 0;     // offset of the next record
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

// Copies the payload bytes [b, b + n) of `r` to `dst` through `rd`.
inline Error copy_payload(WindowReader& rd, const Record& r, int64_t b, void* dst, int64_t n) noexcept {
    auto* to = static_cast<unsigned char*>(dst);
    return each_piece(r, b, n, [&](int64_t at, int64_t done, int64_t len) { return rd.copy(at, to + done, len); });
}

}  // namespace quickio::native
