#pragma once
#include <cstdint>

#include "result.hpp"
#include "source.hpp"

namespace quickio::native {

// Count pass: the total number of particles in a phase-space dump of
// dimension count `n` (each entry 2n+2 words, 2n+1 of them components),
// reading only the block counts. `n` must be >= 0.
Error count_particles(const char* path, int32_t n, int64_t* particles) noexcept;
Error count_particles(Source& src, const char* name, int32_t n, int64_t* particles) noexcept;

// Data pass: writes the 2n+1 components of every particle, in file order,
// into `storage`, dropping each entry's trailing word. Never writes past
// storage.length; elements after the last particle are left untouched.
// `*written`, when not null, receives the number of elements written.
Error read_particles(const char* path, int32_t n, FloatSpan storage, int64_t* written) noexcept;
Error read_particles(Source& src, const char* name, int32_t n, FloatSpan storage,
                     int64_t* written) noexcept;

}  // namespace quickio::native
