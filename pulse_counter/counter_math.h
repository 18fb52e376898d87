// counter_math.h - pulse_counter's numbers: the generator pairs behind the
// random mode and the humanise delay, their reseeding from a float, the
// rounding of draws and delays, and the scan of a chunk for positive
// samples.
#ifndef PULSE_COUNTER_COUNTER_MATH_H
#define PULSE_COUNTER_COUNTER_MATH_H

#include <cmath>
#include <cstdint>

#include "se_lanes.h"

namespace pulse_counter {

// Generator words as open sets them.
constexpr uint32_t kRandomX0 = 0xEFCDAB89u;
constexpr uint32_t kRandomY0 = 0x67453201u;
constexpr uint32_t kTimingX0 = 0x89CDABEFu;
constexpr uint32_t kTimingY0 = 0x45320167u;

// Reseed multipliers: two exact integers and two 32-bit floats (0x89CDAC00
// and 0x45320180, the floats nearest to the timing words above).
constexpr uint32_t kRandomXSeed = 4023233417u;
constexpr uint32_t kRandomYSeed = 1164378418u;
constexpr uint32_t kTimingXSeed = 2311957504u;
constexpr uint32_t kTimingYSeed = 1160905088u;

// Longest delay in samples: stamps stay less than half the clock range ahead.
constexpr double kMaxDelay = 2147483647.0;

inline int16_t clamp16(int16_t v, int16_t lo, int16_t hi)
{
    return v < lo ? lo : (v > hi ? hi : v);
}

// Bit j set where in[j] (j < n) is above zero: sign bit clear and not +0;
// -0 and every pattern with the sign bit set count as not positive.  A
// whole chunk of 32 is read four samples at a time.
template <class L> uint32_t positive_bits_of(const float *in, int32_t n)
{
    constexpr int32_t kLanes = sizeof(L) / sizeof(uint32_t); // a lane is one word
    uint32_t mask = 0;
    for (int32_t j = 0; j < n; j += kLanes)
        mask |= se_sdk::sign_bits(se_sdk::positive_mask(se_sdk::load<L>(in + j))) << j;
    return mask;
}

inline uint32_t positive_bits(const float *in, int32_t n)
{
    return n == 32 ? positive_bits_of<se_sdk::Lanes4>(in, 32) : positive_bits_of<uint32_t>(in, n);
}

// Position of the lowest set bit of a non-zero word.
inline int32_t lowest_bit(uint32_t word)
{
    return __builtin_ctz(word);
}

// Round to the nearest integer, ties to the even neighbour, whatever the
// floating-point environment says.  The values met here (draws scaled to the
// range, delays in samples) are small and not negative: below 2^31 a 32-bit
// truncation is the floor (one instruction on every target, 32-bit ones
// included) and the parity is an integer's; whether to go up is worked out
// as 0 or 1 without a branch, since a random draw's fraction is anyone's
// guess.  Anything else takes the general path.
inline double round_even(double v)
{
    if (v >= 0.0 && v < 2147483648.0) {
        const int32_t r = static_cast<int32_t>(v);
        const double f = v - static_cast<double>(r);
        const int32_t up = static_cast<int32_t>(f > 0.5) | (static_cast<int32_t>(f == 0.5) & r);
        return static_cast<double>(r) + static_cast<double>(up & 1); // r + 1 may be 2^31
    }
    double r = std::floor(v);
    const double f = v - r;
    if (f > 0.5 || (f == 0.5 && std::fmod(r, 2.0) != 0.0))
        r += 1.0;
    return r;
}

// One step of a generator pair: y ^= x; x += y (mod 2^32).  The draw reads
// the new x as a signed 32-bit number: X * 2^-32 + 0.5, in [0, 1).
inline uint32_t step_word(uint32_t &x, uint32_t &y)
{
    y ^= x;
    x += y;
    return x;
}

inline double step_and_draw(uint32_t &x, uint32_t &y)
{
    step_word(x, y);
    // The word as a two's complement number (the compilers this builds with
    // convert modulo 2^32): a 32-bit conversion, which 32-bit targets do in
    // one instruction, where a 64-bit one goes through the x87 unit.
    const int32_t signed_x = static_cast<int32_t>(x);
    return double(signed_x) * (1.0 / 4294967296.0) + 0.5;
}

// Low 32 bits of trunc(k * x) taken as a 64-bit signed integer, computed
// exactly from the float's mantissa and exponent: a double product keeps
// only 53 of the up to 56 significant bits.  Not-a-number counts as 0; a
// product outside the 64-bit range saturates to its limit.
inline uint32_t seed_word(uint32_t k, float x)
{
    const uint32_t b = se_sdk::bits_of(x);
    const bool negative = (b & 0x80000000u) != 0;
    const uint32_t exponent = (b >> 23) & 0xFFu;
    const uint32_t fraction = b & 0x7FFFFFu;
    const uint64_t saturated = negative ? 0x8000000000000000ull : 0x7FFFFFFFFFFFFFFFull;
    if (exponent == 0xFF)
        return fraction != 0 ? 0u : uint32_t(saturated);

    // x = m * 2^e exactly.
    const uint64_t m = exponent != 0 ? (fraction | 0x800000u) : fraction;
    const int32_t e = exponent != 0 ? int32_t(exponent) - 150 : -149;
    const uint64_t product = uint64_t(k) * m; // below 2^56

    uint64_t magnitude;
    if (e >= 0) {
        if (e >= 63 || product > (0x7FFFFFFFFFFFFFFFull >> e))
            return uint32_t(saturated); // product is not 0 here: m >= 2^23
        magnitude = product << e;
    } else {
        magnitude = e <= -64 ? 0 : product >> -e; // truncation toward zero
    }
    const uint64_t value = negative ? 0 - magnitude : magnitude;
    return uint32_t(value);
}

// A timing sample as a number of 10 ms units: not-a-number counts as 0.
inline double timing_value(float sample)
{
    return std::isnan(sample) ? 0.0 : double(sample);
}

} // namespace pulse_counter

#endif
