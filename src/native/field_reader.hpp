#pragma once
#include "result.hpp"
#include "source.hpp"

namespace quickio::native {

// The caller's four buffers. With `exact`, each must hold exactly what the
// dump's grid needs: the buffers were sized from the header read before,
// and a dump that now describes another grid has changed since.
struct FieldBuffers {
    FloatSpan field, x, y, z;
    bool exact = false;
};

// Reads a whole field dump in one pass into the caller's buffers: the field
// with x fastest, then y, then z, and the three axes. Each block's extents
// are checked against the grid and the file before its data is read
// straight into place; a failure may leave the buffers partly written, but
// never writes outside the grid.
Error read_grid_dump(Source& src, const FieldBuffers& buffers, const ReadOptions& options) noexcept;

// The same from a file opened by path, which must not change during the
// read.
Error read_grid_dump(const char* path, const FieldBuffers& buffers, const ReadOptions& options) noexcept;

}  // namespace quickio::native
