// envelope.cpp - the least and greatest finite sample of a run, four lanes
// at a time (a min and max chain per sample would wait on the one before).
#include "report/envelope.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace secli {
namespace {

typedef float Lanes __attribute__((vector_size(16)));
typedef int32_t Masks __attribute__((vector_size(16)));

inline float volts(float sample)
{
    return sample * 10.0f;
}

// The first zero of the run, in order: which zero a sequential min or max
// that ends at zero keeps.
float first_zero(const float *samples, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        const float v = volts(samples[i]);
        if (v == 0.0f)
            return v;
    }
    return 0.0f; // not reached: the caller found a zero
}

} // namespace

void widen_envelope(const float *samples, size_t count, float &lo, float &hi)
{
    const Lanes ten = {10.0f, 10.0f, 10.0f, 10.0f};
    const Lanes up = {INFINITY, INFINITY, INFINITY, INFINITY};
    const Lanes top = {FLT_MAX, FLT_MAX, FLT_MAX, FLT_MAX};
    Lanes least = up, most = -up;
    size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        Lanes v;
        std::memcpy(&v, samples + i, sizeof v);
        v *= ten;
        Masks magnitude;
        std::memcpy(&magnitude, &v, sizeof magnitude);
        magnitude &= 0x7FFFFFFF;
        Lanes size;
        std::memcpy(&size, &magnitude, sizeof size);
        const Masks finite = size <= top; // false for not-a-number too
        const Lanes for_least = finite ? v : up, for_most = finite ? v : -up;
        least = for_least < least ? for_least : least;
        most = most < for_most ? for_most : most;
    }
    // Lanes, then the rest, into the bounds in order. Equal non-zero floats
    // have equal bits, so which lane gave a bound does not matter; a zero
    // does (it has two signs): unless the bound held a zero already, the
    // run's first zero is the one a sequential pass would have kept.
    float l = lo, h = hi;
    for (int k = 0; k < 4; ++k) {
        l = std::min(l, least[k]);
        h = std::max(h, most[k]);
    }
    for (; i < count; ++i) {
        const float v = volts(samples[i]);
        if (!std::isfinite(v))
            continue;
        l = std::min(l, v);
        h = std::max(h, v);
    }
    if (l == 0.0f && lo != 0.0f)
        l = first_zero(samples, count);
    if (h == 0.0f && hi != 0.0f)
        h = first_zero(samples, count);
    lo = l;
    hi = h;
}

} // namespace secli
