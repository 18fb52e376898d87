// sine_fill.cpp - the sine source without the C library's sin on the common
// path, and yet every float as the library's sin gives it.
//
// The sample is Y = (float)y, y = offset + amp * S (double), S = sin(x),
// x = 2 * M_PI * f, f = fraction(clock * step) in [0, 1).  Stored runs
// depend on every bit of Y, so a faster sin may only be used where it
// provably gives the same float.  Here S' comes from a polynomial, y' is
// formed from it as y from S, and y' is used only where a margin M around it
// rounds to one float; elsewhere (near a float's rounding boundary, or where
// [y' - M, y' + M] holds a zero) the sample is taken by the formula itself.
//
// S', in half turns: t = 2 * clock * step (a double, exactly twice the
// formula's clock * step; its fraction is the formula's f), k = t rounded to
// a whole number, u = t - k in [-1/2, 1/2] (exact: t and k lie within a
// factor 2 of each other, or k = 0); 2 pi f = pi t - 2 pi (whole turns) and
// pi t = pi k + theta with theta = pi u in [-pi/2, pi/2], so
// sin 2 pi f = (-1)^k sin theta, and sin theta by its Taylor series to
// theta^19 (an odd polynomial; the sign is k's low bit put in, exact).  Every
// step is plain arithmetic on one sample, so a block is made with vector
// instructions.
//
// The bound on |y - y'|, all errors absolute (the values are at most 1 in
// S, in samples in y):
//   |S - sin x| <= 2^-52: the library's sin within 1 ulp (an ulp of a value
//     in [-1, 1] is at most 2^-53; this allows 2).
//   |sin x - sin 2 pi f| <= |x - 2 pi f| <= f |2 M_PI - 2 pi| + ulp(x) / 2
//     <= 2.5e-16 + 2^-51 < 2^-50 (x < 8).
//   |S' - sin 2 pi f| < 2^-49: theta's rounding and pi's (under 2^-52
//     together), the series' remainder (theta^21/21! at pi/2: 2.6e-16, under
//     2^-51) and the rounding of the polynomial's steps (|theta^3 p| < 0.6,
//     its terms fall fast: under 2^-51).
//   So |S - S'| < 2^-48.  The products amp * S and amp * S' each round by at
//   most |amp| 2^-53 (or 2^-1075 below the normal range), the sums by
//   |y| 2^-53 and |y'| 2^-53, and |y| <= |y'| + |y - y'|:
//   |y - y'| < |amp| 2^-47 + |y'| 2^-51 + 2^-1073.
// M = |amp| 2^-40 + |y'| 2^-48 + DBL_MIN (the smallest normal double) is 128
// times the first term, 8 times the second and far above the third, room for
// a library sin up to about 128 ulps off and for the rounding of y' - M and
// y' + M themselves (at most |y' +- M| 2^-53).  So y lies in
// [fl(y' - M), fl(y' + M)].  Rounding to float is monotonic and, on an
// interval of one sign, two ends that round to the same bits leave every
// value between them those bits: Y is then (float)y'.  An interval that
// reaches zero is always left to the formula (a float zero has two signs).
//
// How often: M is about 2^-15 of a float's spacing at |y'| ~ |amp|, so a
// sample falls back with a chance of some 10^-4 (more near the zero
// crossings of a sine without offset); the tests count them.
#include "sources/sine_fill.h"

#include "sources/chunks.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

namespace secli {
namespace {

inline double fraction(double x)
{
    return x - std::trunc(x); // exact for x >= 0, as fmod(x, 1.0)
}

// Samples are made kChunk at a time in fixed-length loops over local arrays
// (which the compiler turns into vector code), the rare ones left to the
// formula afterwards.
constexpr uint32_t kChunk = kChunkLength;

// 1.5 * 2^52: a double in [-2^51, 2^51] added to it is rounded to a whole
// number (ties to even), which then stands in the sum's low mantissa bits.
constexpr double kRound = 0x1.8p52;

// The samples of clocks first .. first + kChunk - 1 (no wrap among them) by
// the polynomial, as floats into y, and whether each is safe as it is.
void polynomial_chunk(const SineWave &w, uint32_t first, double margin_scale,
                      double polynomial_error, float *y_float, int32_t *safe)
{
    const double fixed = margin_scale * (std::fabs(w.amp) * 0x1p-40 + DBL_MIN);
    const double relative = margin_scale * 0x1p-48;
    const double c0 = first;
    for (uint32_t i = 0; i < kChunk; ++i) {
        const double x = (c0 + static_cast<double>(static_cast<int32_t>(i))) * w.step;
        const double t = x + x; // half turns, < 2^32
        const double big = t + kRound;
        const double u = t - (big - kRound);
        uint64_t k_bits;
        std::memcpy(&k_bits, &big, sizeof k_bits);
        const double th = u * 3.141592653589793; // pi
        const double t2 = th * th;
        // sin theta = theta + theta^3 p(theta^2), p's coefficients
        // (-1)^(n+1) / (2n+3)! for n = 0..8, summed in pairs and powers
        // (Estrin's scheme: a short chain of dependent steps)
        const double t4 = t2 * t2, t8 = t4 * t4;
        const double e0 = -1.0 / 6 + t2 * (1.0 / 120);
        const double e1 = -1.0 / 5040 + t2 * (1.0 / 362880);
        const double e2 = -1.0 / 39916800 + t2 * (1.0 / 6227020800);
        const double e3 = -1.0 / 1307674368000 + t2 * (1.0 / 355687428096000);
        const double e4 = -1.0 / 121645100408832000;
        const double p = (e0 + t4 * e1) + t8 * ((e2 + t4 * e3) + t8 * e4);
        const double sin_th = th + th * t2 * p;
        // (-1)^k: k's parity into the sign bit, exactly
        uint64_t s_bits;
        std::memcpy(&s_bits, &sin_th, sizeof s_bits);
        s_bits ^= k_bits << 63;
        double s;
        std::memcpy(&s, &s_bits, sizeof s);
        s += polynomial_error;
        const double y = w.offset + w.amp * s;
        const double m = fixed + relative * std::fabs(y);
        const double lo = y - m, hi = y + m;
        y_float[i] = static_cast<float>(y);
        // one sign on the whole interval: equal floats have equal bits
        safe[i] = ((lo > 0) | (hi < 0)) & (static_cast<float>(lo) == static_cast<float>(hi));
    }
}

} // namespace

float sine_sample(const SineWave &w, uint32_t clock)
{
    return static_cast<float>(w.offset + w.amp * std::sin(2 * M_PI * fraction(clock * w.step)));
}

size_t fill_sine_tuned(const SineWave &w, uint32_t first, uint32_t count, float *out,
                       double margin_scale, double polynomial_error)
{
    alignas(64) float y[kChunk];
    alignas(64) int32_t safe[kChunk];
    size_t fallbacks = 0;
    while (count > 0) {
        // a chunk stops short of the clock's wrap to 0
        const uint32_t n =
            static_cast<uint32_t>(std::min<uint64_t>({count, kChunk, (uint64_t{1} << 32) - first}));
        polynomial_chunk(w, first, margin_scale, polynomial_error, y, safe);
        copy_run(y, n, out);
        int32_t all_safe = 1;
        for (uint32_t i = 0; i < kChunk; ++i)
            all_safe &= safe[i];
        if (!all_safe) {
            for (uint32_t i = 0; i < n; ++i) {
                if (!safe[i]) {
                    out[i] = sine_sample(w, first + i);
                    ++fallbacks;
                }
            }
        }
        first += n;
        out += n;
        count -= n;
    }
    return fallbacks;
}

size_t fill_sine(const SineWave &w, uint32_t first, uint32_t count, float *out)
{
    return fill_sine_tuned(w, first, count, out, 1.0, 0.0);
}

} // namespace secli
