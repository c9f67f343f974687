// Fuzz target: the phase-space count pass over arbitrary bytes.
//
// Input: [n][dump bytes...], where n is one signed byte, or, when that byte
// is 0x7F, the int32 that follows it (so that the extremes are reached too).
//
// Checked beyond "no memory error": a negative n is refused; a count that
// succeeds describes entries that fit inside the dump.
#include <cstdint>

#include "fuzz_support.hpp"
#include "phase_reader.hpp"
#include "source.hpp"

using namespace quickio;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint8_t first = in.u8();
    const int32_t n = first == 0x7F ? in.i32() : static_cast<int8_t>(first);

    native::MemorySource src(in.rest(), in.rest_size());
    int64_t particles = -1;
    const native::Error err = native::count_particles(src, n, &particles, {});
    if (n < 0) {
        fuzz::check(err.status == native::Status::value_error && particles == -1);
        return 0;
    }
    if (err) {
        fuzz::check(err.status == native::Status::eof_error && particles == -1);
        return 0;
    }
    // Every particle takes 8n+8 bytes of the dump besides at least one count
    // word, but for the last one's trailing word, which the file may lack.
    const auto bytes = static_cast<__int128>(particles) * (8 * static_cast<__int128>(n) + 8);
    fuzz::check(particles >= 0 && (particles == 0 || bytes <= in.rest_size()));
    return 0;
}
