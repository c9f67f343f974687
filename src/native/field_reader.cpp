#include "field_reader.hpp"

#include <bit>
#include <cstring>
#include <string>

namespace quickio::native {

namespace {

static_assert(std::endian::native == std::endian::little,
              "dumps are little-endian and are read without byte swapping");

// The buffer of the block walk: extent records and short rows come through
// it; rows of a quarter of this or more are read straight into the field.
constexpr int64_t window_capacity = int64_t{1} << 20;

// Blocks of at least this many bytes not already in the window are read
// straight into the field by scatter reads; a read call costs about as much
// as copying this many bytes once more, so smaller blocks come through the
// window, many per read.
constexpr int64_t min_scatter = int64_t{16} << 10;
// Pieces of one scatter read: a plane run per piece, plus two per block
// boundary. Enough for dozens of blocks of a typical tiling per call.
constexpr int max_pieces = 512;
// Extent records one scatter read can carry: at most one per three pieces.
constexpr int max_slots = max_pieces / 3 + 1;

// Fortran sequential records: a 4-byte length marker on each side of the
// payload. Markers are skipped by position and never compared, so a file
// with wrong marker values reads like one with correct markers.
constexpr int64_t marker = 4;
// Header payload offsets: Nparam at 4, the integer parameters at 16.
constexpr int64_t nparam_offset = 4;
constexpr int64_t int_params_offset = 16;
// The integer parameters the reader uses, and the least Nparam holding them.
constexpr int idx_nproc_y = 0, idx_nproc_z = 1, idx_nx = 3, idx_ny = 4, idx_nz = 6;
constexpr int32_t min_nparam = 7;

std::string str(int64_t v) { return std::to_string(v); }

std::string block_name(int64_t layer, int64_t column) {
    return "block (layer " + str(layer) + ", column " + str(column) + ")";
}

std::string triple(int64_t a, int64_t b, int64_t c) {
    // Built by appending: gcc 12 warns falsely (-Wrestrict) on "(" + string.
    std::string s = "(";
    s.append(str(a)).append(", ").append(str(b)).append(", ").append(str(c)).append(")");
    return s;
}

struct Grid {
    int64_t nproc_y = 0, nproc_z = 0, nx = 0, ny = 0, nz = 0;
    int64_t cells = 0;        // nx * ny * nz
    int64_t blocks_at = 0;    // file offset of the first block's extent record
};

class Walker {
public:
    Walker(WindowReader& rd, const char* name) : rd_(rd), name_(name) {}

    // Reads and checks the header; nothing is written anywhere.
    Error header(Grid& g);

    // Walks the blocks and the axes. With `write` false it only checks that
    // every block fits the grid, that the blocks cover it and that the file
    // holds every record; with `write` true it repeats the same checks while
    // it fills the buffers, so the buffers are never written past the grid
    // even should the file change between the passes.
    Error blocks_and_axes(const Grid& g, bool write, FloatSpan f, FloatSpan x, FloatSpan y,
                          FloatSpan z);

private:
    // Error::eof unless [offset, offset + n) lies inside the file.
    Error need(int64_t offset, int64_t n, const std::string& what) const;
    Error read_ints(int64_t offset, int32_t* out, int64_t count);

    // Where a block sits: its layer and column, and its first row and plane.
    struct Place {
        int64_t iz, iy, yoff, zoff;
    };

    // Reads the data of the block at `p`, whose extents (nx, by, bz) have
    // been checked and whose data starts at file offset `data_at`, straight
    // into the field with scatter reads. The last read goes on over what
    // follows in the file: the next block's extents, and while the tiling
    // goes on with blocks of the same extents that fit the grid and the file,
    // their data too, each into the place such a block has. Afterwards
    // preread_ counts the blocks after `p` whose extents turned out as
    // assumed (their data is in place; a block whose extents differ has had
    // its data put in a place that a later block fills, and is read again),
    // and have_next_ says whether next_ext_ holds the extents of the block
    // after those.
    Error read_blocks(const Grid& g, int64_t layers, Place p, int64_t by, int64_t bz,
                      int64_t data_at, float* field);

    WindowReader& rd_;
    const char* name_;
    int64_t preread_ = 0;     // blocks ahead whose data read_blocks has put in place
    bool have_next_ = false;  // next_ext_ holds the extents of the block after those
    int32_t next_ext_[3] = {0, 0, 0};
    unsigned char gap_[8];              // markers between records, read and dropped
    int32_t slots_[max_slots][3];       // extents read by read_blocks, one per block
};

Error Walker::read_blocks(const Grid& g, int64_t layers, Place p, int64_t by, int64_t bz,
                          int64_t data_at, float* field) {
    const int64_t size = rd_.size();
    const int64_t row_plane = g.nx * g.ny;
    const int64_t count = g.nx * by * bz;
    // A block of whole planes is one run; otherwise one run of nx*by floats
    // per plane.
    const bool whole = by == g.ny;
    const int64_t runs = whole ? 1 : bz;
    const int64_t run = whole ? count : g.nx * by;

    Source::Piece pieces[max_pieces];
    int m = 0;
    int64_t at = data_at;   // file offset of the first piece of the pending read
    int64_t end = data_at;  // file offset just past the pending pieces
    int64_t ahead = 0;      // blocks after `p` whose data the pieces hold
    bool fetched = false;   // slots_[ahead] receives the extents after those
    for (;;) {
        float* dst = field + row_plane * p.zoff + g.nx * p.yoff;
        for (int64_t k = 0; k < runs; ++k) {
            if (m == max_pieces) {  // only within the first block: the rest fit, checked below
                if (Error e = rd_.scatter(at, pieces, m)) return e;
                m = 0;
                at = end;
            }
            pieces[m++] = {dst + row_plane * k, 4 * run};
            end += 4 * run;
        }
        // The next block: on along the layer, or the first of the next.
        Place q = p;
        if (p.iy + 1 < g.nproc_y) {
            q.iy += 1;
            q.yoff += by;
        } else if (p.iz + 1 < layers) {
            q = {p.iz + 1, 0, 0, p.zoff + bz};
        } else {
            break;
        }
        // Its extents: past this record's closing marker and their opening one.
        const int64_t ext_at = end + 2 * marker;
        if (ext_at > size - 12 || m + 2 > max_pieces) break;
        pieces[m++] = {gap_, 2 * marker};
        pieces[m++] = {slots_[ahead], 12};
        end = ext_at + 12;
        fetched = true;
        // Its data, assuming it has this block's extents: only where such a
        // block fits, the layer before it is full, and the file holds it.
        const int64_t next_data = end + 2 * marker;
        const bool fits = (q.iy > 0 || p.yoff + by == g.ny) && by <= g.ny - q.yoff &&
                          bz <= g.nz - q.zoff && next_data <= size && 4 * count <= size - next_data &&
                          m + 1 + runs <= max_pieces && ahead + 1 < max_slots;
        if (!fits) break;
        pieces[m++] = {gap_, 2 * marker};
        end = next_data;
        ahead += 1;
        fetched = false;
        p = q;
    }
    if (Error e = rd_.scatter(at, pieces, m)) return e;

    // Keep the blocks up to the first whose extents are not the assumed ones.
    const int32_t want[3] = {static_cast<int32_t>(g.nx), static_cast<int32_t>(by),
                             static_cast<int32_t>(bz)};
    int64_t kept = 0;
    while (kept < ahead && std::memcmp(slots_[kept], want, sizeof want) == 0) ++kept;
    preread_ = kept;
    have_next_ = kept < ahead || fetched;
    if (have_next_) std::memcpy(next_ext_, slots_[kept], sizeof next_ext_);
    return {};
}

Error Walker::need(int64_t offset, int64_t n, const std::string& what) const {
    int64_t size = rd_.size();
    if (offset <= size && n <= size - offset) return {};
    int64_t left = offset < size ? size - offset : 0;
    return Error::eof(std::string(name_) + ": file ends inside " + what + ": " + str(n) +
                      " bytes needed at offset " + str(offset) + ", " + str(left) + " left");
}

Error Walker::read_ints(int64_t offset, int32_t* out, int64_t count) {
    return rd_.copy(offset, out, count * 4);
}

Error Walker::header(Grid& g) {
    int32_t nparam = 0;
    if (Error e = need(nparam_offset, 4, "the parameter count")) return e;
    if (Error e = read_ints(nparam_offset, &nparam, 1)) return e;
    if (nparam < min_nparam) {
        return Error::value(std::string(name_) + ": the header gives Nparam = " + str(nparam) +
                            ", but the reader needs at least " + str(min_nparam));
    }
    // Integer parameters at 16, real parameters at 24 + 4*Nparam, blocks at
    // 28 + 8*Nparam. Nparam < 2^31 keeps all of these well inside int64.
    int64_t np = nparam;
    if (Error e = need(int_params_offset, 4 * np, "the integer parameters")) return e;
    int64_t real_at = int_params_offset + 4 * np + 2 * marker;
    if (Error e = need(real_at, 4 * np, "the real parameters")) return e;
    g.blocks_at = real_at + 4 * np + marker;

    int32_t p[min_nparam];
    if (Error e = read_ints(int_params_offset, p, min_nparam)) return e;
    struct {
        const char* label;
        int idx;
        int64_t* dst;
    } const params[] = {
        {"nx", idx_nx, &g.nx},
        {"ny", idx_ny, &g.ny},
        {"nz", idx_nz, &g.nz},
        {"nproc_y", idx_nproc_y, &g.nproc_y},
        {"nproc_z", idx_nproc_z, &g.nproc_z},
    };
    for (const auto& prm : params) {
        if (p[prm.idx] < 0) {
            return Error::value(std::string(name_) + ": the header gives " + prm.label + " = " +
                                str(p[prm.idx]));
        }
        *prm.dst = p[prm.idx];
    }
    int64_t plane;
    if (__builtin_mul_overflow(g.nx, g.ny, &plane) ||
        __builtin_mul_overflow(plane, g.nz, &g.cells)) {
        return Error::value(std::string(name_) + ": the grid " + triple(g.nx, g.ny, g.nz) +
                            " has more points than a 64-bit count can hold");
    }
    return {};
}

Error Walker::blocks_and_axes(const Grid& g, bool write, FloatSpan f, FloatSpan x, FloatSpan y,
                              FloatSpan z) {
    const int64_t row_plane = g.nx * g.ny;  // <= cells, checked in header()
    int64_t o = g.blocks_at;  // extent record of the next block
    int64_t zoff = 0;         // planes filled by the layers so far

    // A layer without blocks has no height and reads nothing, so only the
    // first of any number of such layers needs looking at.
    const int64_t layers = g.nproc_y == 0 && g.nproc_z > 0 ? 1 : g.nproc_z;
    preread_ = 0;
    have_next_ = false;
    int32_t last[3] = {0, 0, 0};  // extents of the block before
    for (int64_t iz = 0; iz < layers; ++iz) {
        int64_t yoff = 0;           // rows filled by this layer's blocks so far
        int64_t layer_height = 0;   // nz_loc shared by the blocks of this layer
        for (int64_t iy = 0; iy < g.nproc_y; ++iy) {
            // Every block takes at least 28 bytes of file, so a header that
            // announces more blocks than the file holds ends here, early.
            if (Error e = need(o + marker, 12, "the extents of " + block_name(iz, iy))) return e;
            // The extents: read ahead along with earlier data, or read now.
            int32_t ext[3];
            if (preread_ > 0) {
                std::memcpy(ext, last, sizeof ext);
            } else if (have_next_) {
                std::memcpy(ext, next_ext_, sizeof ext);
                have_next_ = false;
            } else if (Error e = read_ints(o + marker, ext, 3)) {
                return e;
            }
            std::memcpy(last, ext, sizeof last);
            const int64_t bx = ext[0], by = ext[1], bz = ext[2];
            if (bx != g.nx || by < 0 || bz < 0 || by > g.ny - yoff || bz > g.nz - zoff ||
                (iy > 0 && bz != layer_height)) {
                return Error::value(std::string(name_) + ": " + block_name(iz, iy) +
                                    " has extents " + triple(bx, by, bz) +
                                    " that do not fit the grid " + triple(g.nx, g.ny, g.nz));
            }
            layer_height = bz;
            const int64_t row_len = bx * by;     // floats per plane of this block
            const int64_t count = row_len * bz;  // fits: the block lies inside the grid
            const int64_t data_at = o + 20 + marker;
            if (Error e = need(data_at, 4 * count, "the data of " + block_name(iz, iy))) return e;

            if (write && count > 0) {
                float* dst = f.data + row_plane * zoff + g.nx * yoff;
                if (preread_ > 0) {
                    preread_ -= 1;  // in place already
                } else if (rd_.available(data_at) >= 4 * count || 4 * count < min_scatter) {
                    // Small, or already buffered: through the window, one
                    // run of nx*ny_loc floats per plane.
                    for (int64_t k = 0; k < bz; ++k) {
                        if (Error e = rd_.copy(data_at + 4 * row_len * k, dst + row_plane * k,
                                               4 * row_len)) {
                            return e;
                        }
                    }
                } else if (Error e = read_blocks(g, layers, {iz, iy, yoff, zoff}, by, bz, data_at,
                                                 f.data)) {
                    return e;
                }
            }
            yoff += by;
            o = data_at + 4 * count + marker;
        }
        if (yoff != g.ny) {
            return Error::value(std::string(name_) + ": the blocks of layer " + str(iz) +
                                " leave y rows " + str(yoff) + " to " + str(g.ny - 1) +
                                " of the grid " + triple(g.nx, g.ny, g.nz) + " uncovered");
        }
        zoff += layer_height;
    }
    if (zoff != g.nz) {
        return Error::value(std::string(name_) + ": the layers of blocks leave z planes " +
                            str(zoff) + " to " + str(g.nz - 1) + " of the grid " +
                            triple(g.nx, g.ny, g.nz) + " uncovered");
    }

    // The axes: three records back to back. The z record's closing marker is
    // not needed: nothing after the z values is read.
    struct {
        const char* what;
        int64_t len;
        FloatSpan dst;
    } const axes[] = {{"the x axis", g.nx, x}, {"the y axis", g.ny, y}, {"the z axis", g.nz, z}};
    for (const auto& ax : axes) {
        const int64_t at = o + marker;
        if (Error e = need(at, 4 * ax.len, ax.what)) return e;
        if (write && ax.len > 0) {
            if (Error e = rd_.copy(at, ax.dst.data, 4 * ax.len)) return e;
        }
        o = at + 4 * ax.len + marker;
    }
    return {};
}

Error check_buffer(const char* label, FloatSpan buf, int64_t needed) {
    if (buf.length >= needed) return {};
    return Error::value(std::string("buffer ") + label + " holds " + str(buf.length) +
                        " elements but the dump needs " + str(needed));
}

}  // namespace

Error read_grid_dump(Source& src, const char* name, FloatSpan field, FloatSpan x, FloatSpan y,
                     FloatSpan z) noexcept {
    WindowReader rd(src);
    if (Error e = rd.init(window_capacity)) return e;
    Walker w(rd, name);

    Grid g;
    if (Error e = w.header(g)) return e;
    if (Error e = check_buffer("f", field, g.cells)) return e;
    if (Error e = check_buffer("x", x, g.nx)) return e;
    if (Error e = check_buffer("y", y, g.ny)) return e;
    if (Error e = check_buffer("z", z, g.nz)) return e;

    // Pass 1 checks the whole file before anything is written; pass 2 reads
    // each block straight into its place in the field, with no scratch grid.
    if (Error e = w.blocks_and_axes(g, false, field, x, y, z)) return e;
    advise_destination(field.data, 4 * g.cells);
    return w.blocks_and_axes(g, true, field, x, y, z);
}

Error read_grid_dump(const char* path, FloatSpan field, FloatSpan x, FloatSpan y,
                     FloatSpan z) noexcept {
    FileSource src;
    if (Error e = FileSource::open(path, src)) return e;
    return read_grid_dump(src, path, field, x, y, z);
}

}  // namespace quickio::native
