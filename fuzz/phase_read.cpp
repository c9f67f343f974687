// Fuzz target: the phase-space data pass over arbitrary bytes, with the
// count pass as its oracle.
//
// Input: [mode u8][n][length u32][dump bytes...]; n as in phase_count.cpp.
// Mode bit 0 clear: the buffer length is the u32 (bounded). Mode bit 0 set:
// it is what the count pass says the dump needs, off by the low byte of the
// u32 taken as a signed delta.
//
// Checked beyond "no memory error": the data pass succeeds exactly when the
// count pass does and the buffer is long enough, then writes exactly the
// counted elements; elements past those it wrote are never touched.
#include <cstdint>

#include "fuzz_support.hpp"
#include "phase_reader.hpp"
#include "source.hpp"

using namespace quickio;

namespace {
// Far beyond what an input of a few KiB can hold, small enough that
// allocating and checking the buffer stays cheap.
constexpr int64_t max_elements = int64_t{1} << 12;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint8_t mode = in.u8();
    const uint8_t first = in.u8();
    const int32_t n = first == 0x7F ? in.i32() : static_cast<int8_t>(first);
    const uint32_t raw_length = in.u32();

    native::MemorySource src(in.rest(), in.rest_size());
    int64_t particles = 0;
    const native::Error counted = native::count_particles(src, n, &particles, {});
    const int64_t need = counted ? -1 : particles * (2 * int64_t{n} + 1);

    int64_t length = (mode & 1) ? (need < 0 ? 0 : need) + static_cast<int8_t>(raw_length & 0xFF) : int64_t{raw_length};
    length = length < 0 ? 0 : length > max_elements ? max_elements : length;
    fuzz::Buffer storage(length);

    int64_t written = -1;
    const native::Error err = native::read_particles(src, n, storage.span(), &written, {});
    fuzz::check(written >= 0 && written <= length && storage.untouched_from(written));
    // A memory source fails only reads outside it, which the passes rule out.
    fuzz::check(err.status != native::Status::os_error);
    if (n < 0) {
        fuzz::check(err.status == native::Status::value_error && written == 0);
    } else if (counted) {
        // A dump the count pass refuses never reads as a whole.
        fuzz::check(static_cast<bool>(err));
    } else if (need <= length) {
        fuzz::check(!err && written == need);
    } else {
        fuzz::check(err.status == native::Status::value_error);
    }
    return 0;
}
