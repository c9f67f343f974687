#pragma once
#include "result.hpp"
#include "source.hpp"

namespace quickio::native {

// Reads a whole field dump (Fortran sequential records: Nparam, integer
// parameters, real parameters, then per block an extent record and a data
// record, then the x, y and z axes) into the caller's buffers: the field with
// x fastest, then y, then z, and the three axes.
Error read_grid_dump(const char* path, FloatSpan field, FloatSpan x, FloatSpan y, FloatSpan z) noexcept;

// The same from an already opened source; `name` is used in messages only.
Error read_grid_dump(Source& src, const char* name, FloatSpan field, FloatSpan x, FloatSpan y,
                     FloatSpan z) noexcept;

}  // namespace quickio::native
