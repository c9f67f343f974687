#pragma once
#include <cstdint>

#include "phase_format.hpp"
#include "result.hpp"
#include "source.hpp"

namespace quickio::native {

// Count pass: the total number of particles in a phase-space dump of
// dimension count `n` (each entry 2n+2 words, 2n+1 of them components),
// reading only the block counts and seeking over the entries.
Error count_particles(Source& src, int32_t n, int64_t* particles, const ReadOptions& options) noexcept;
Error count_particles(const char* path, int32_t n, int64_t* particles, const ReadOptions& options) noexcept;

// Data pass: writes the 2n+1 components of every particle, in file order,
// into `storage`, dropping each entry's trailing word. Never writes past
// storage.length. `*written` receives the number of elements written:
// on success every particle's, (2n+1)*P; after a failure, a bound past
// which nothing was written.
Error read_particles(Source& src, int32_t n, FloatSpan storage, int64_t* written, const ReadOptions& options) noexcept;
Error read_particles(const char* path, int32_t n, FloatSpan storage, int64_t* written,
                     const ReadOptions& options) noexcept;

// What a streaming pass hands its particles to.
class EntrySink {
public:
    // Called for every non-empty block, in file order, on the thread that
    // walks the dump, before any of its entries reach take().
    virtual Error block(const PhaseBlock& block) noexcept {
        (void)block;
        return {};
    }
    // `count` whole entries of `entry_bytes` each from `entries` on (the
    // very last entry of a file may lack its trailing word), particles
    // `first` to `first + count - 1`. `worker` numbers the thread, from 0:
    // takes of different workers run at once, for different particles. With
    // one thread, takes come in file order.
    virtual Error take(int worker, const unsigned char* entries, int64_t count, int64_t first) noexcept = 0;
    // Where the components of particle `first` and those after it go, when
    // the sink keeps them in a (2n+1)-strided run: entries too large for a
    // read buffer are then read straight there.
    virtual float* place(int64_t first) noexcept {
        (void)first;
        return nullptr;
    }

protected:
    ~EntrySink() = default;
};

// One sequential pass over the dump, handing every particle to `sink`.
// Large blocks are read in runs of whole entries by up to options.threads
// threads (when the dump is large enough to gain from it), each into a read
// buffer of its own; small blocks come through one buffer on the calling
// thread.
Error stream_particles(Source& src, int32_t n, EntrySink& sink, const ReadOptions& options) noexcept;

}  // namespace quickio::native
