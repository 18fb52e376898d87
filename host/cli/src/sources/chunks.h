// chunks.h - a source's samples made in fixed-length runs of clocks, so that
// the loop that makes them has a length the compiler knows (and turns into
// vector code), and the run never passes the clock's wrap to 0.
#ifndef SEHOST_CLI_CHUNKS_H
#define SEHOST_CLI_CHUNKS_H

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "se_lanes.h"

namespace secli {

constexpr uint32_t kChunkLength = 64;

// n floats of an aligned run out: a whole run 16 bytes at a time (fixed-size
// copies become vector moves; a plain copy of 256 bytes becomes a slow
// string move).
inline void copy_run(const float *y, uint32_t n, float *out)
{
    if (n == kChunkLength) {
        for (uint32_t k = 0; k < kChunkLength; k += 4)
            std::memcpy(out + k, y + k, 4 * sizeof(float));
    } else {
        std::copy_n(y, n, out);
    }
}

// chunk(c0, y) writes the samples of clocks c0 + i (c0 a double, i below
// kChunkLength) into y, a local aligned buffer (which the compiler needs to
// know to make vector code); the first of them up to count or the wrap are
// copied out.
template <class Chunk>
void fill_by_chunks(uint32_t first, uint32_t count, float *out, Chunk &&chunk)
{
    alignas(64) float y[kChunkLength];
    while (count > 0) {
        const uint32_t n = static_cast<uint32_t>(
            std::min<uint64_t>({count, kChunkLength, (uint64_t{1} << 32) - first}));
        chunk(static_cast<double>(first), y);
        copy_run(y, n, out);
        first += n;
        out += n;
        count -= n;
    }
}

using se_sdk::bits_of;
using se_sdk::from_bits;

// x - trunc(x) for x in [0, 2^51), bit for bit, in steps a vector unit has
// (no comparison, which would keep the loop from being vectorised):
// f = x - round(x) in [-1/2, 1/2] is exact (x + 1.5 * 2^52 - 1.5 * 2^52
// rounds x to a whole number); a negative f (x >= 1/2 then, so f is a whole
// number of 2^-53) gets 1 added, exactly, by its sign bit.
inline double phase_fraction(double x)
{
    constexpr double kRound = 0x1.8p52;
    const double f = x - ((x + kRound) - kRound);
    const uint64_t below = bits_of(f) >> 63;
    return f + from_bits((0 - below) & bits_of(1.0));
}

} // namespace secli

#endif
