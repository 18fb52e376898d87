// quantise.h - reading cv_to_rpn's inputs: a control voltage sample as a
// 14-bit number, and the tests the process loop makes on eight samples at a
// time (gate positive, sample changed, sample still on a given number).
#ifndef CV_TO_RPN_QUANTISE_H
#define CV_TO_RPN_QUANTISE_H

#include <cstdint>
#include <limits>

#include "se_lanes.h"

// The eight-sample scans are SSE2 code: every target of the pack has it.
#include <emmintrin.h>

namespace cv_rpn {

constexpr int32_t kMaxValue = 16383; // 14 bits: 0 V gives 0, 10 V gives 16383

// A sample's bit pattern as a signed number: the range tests below are
// comparisons of it.
inline int32_t signed_bits(float x)
{
    return static_cast<int32_t>(se_sdk::bits_of(x));
}

// A control voltage sample (1.0 = 10 V) as a 14-bit number: the product
// with 16383 rounded toward zero to a float, plus 0.5, truncated.  Samples at
// or below 0 V (and not-a-number) give 0, samples at or above 10 V give
// 16383.
//
// Computed exactly without the float rounding: for x in (0, 1) the double
// product p = x * 16383 is exact (24 + 14 bits), and rounding p toward zero
// to a float f changes nothing after the half-up rounding: every n - 0.5
// (n <= 16383) is itself a float, so f >= n - 0.5 exactly when p >= n - 0.5.
// p + 0.5 is exact for x >= 2^-16, and below that the result is 0 either
// way.  The range tests read the bit pattern as a signed integer, so a
// subnormal, infinite or not-a-number sample never reaches the arithmetic.
inline int32_t scale(float x)
{
    const int32_t b = signed_bits(x);
    if (b < 0x37800000) // negative (and -NaN), zero, or below 2^-16: 0
        return 0;
    if (b >= 0x3F800000) // 1.0 and above; +NaN gives 0
        return b > 0x7F800000 ? 0 : kMaxValue;
    return static_cast<int32_t>(static_cast<double>(x) * kMaxValue + 0.5);
}

// The samples x with scale(x) & mask == v, for a v that the mask keeps
// whole, told apart from the others without computing scale().  With the
// mask's step s (its lowest bit), that is v - 0.5 <= 16383 x < v + s - 0.5,
// since scale(x) >= n exactly when 16383 x >= n - 0.5.  The top value has no
// upper bound (1.0 and above, infinity included, give 16383).
//
// Samples that are not positive normal floats (negative, zero, subnormal,
// not-a-number) give 0 and are taken as 0 first; that also keeps
// subnormals, on which some processors take a slow path, out of the
// arithmetic.  Then 16383 x >= w (w = n - 0.5, a float) is tested in floats
// as 16384 x - w >= x: 16384 x is exact, where it is within a factor of two
// of w the subtraction is exact too, and elsewhere the two sides are too far
// apart for the rounding of the subtraction to carry one across the other.
// For v = 0 the lower test (w = -0.5) always passes.
struct Window {
    float low;  // v - 0.5
    float high; // v + s - 0.5, or infinity for the top value
};

inline Window window_of(int32_t value, int32_t step)
{
    Window w;
    w.low = static_cast<float>(value) - 0.5f;
    w.high = value + step > kMaxValue ? std::numeric_limits<float>::infinity()
                                      : static_cast<float>(value + step) - 0.5f;
    return w;
}

inline bool inside(float x, const Window &w)
{
    const int32_t b = signed_bits(x);
    const float y = b >= 0x00800000 && b <= 0x7F800000 ? x : 0.0f;
    const float big = y * 16384.0f;
    return big - w.low >= y && !(big - w.high >= y);
}

// What the process loop asks of a run of samples: bit k of `open` is set
// where sample k's gate is positive, of `stops` where its parameter number
// (where there is one) is outside its window, of `updates` where its value is
// outside its window, of `changes` where its value differs from the one
// before (x[-1] being `before`; not-a-number differs from everything).
struct Scan {
    uint32_t open;
    uint32_t stops;
    uint32_t updates;
    uint32_t changes;
};

// Up to eight samples one by one.
inline Scan scan(const float *gate, const float *value, const float *parameter, float before,
                 const Window &values, const Window &parameters, int32_t n)
{
    Scan s{0, 0, 0, 0};
    for (int32_t k = 0; k < n; ++k) {
        const bool stop = parameter != nullptr && !inside(parameter[k], parameters);
        s.open |= static_cast<uint32_t>(gate[k] > 0.0f) << k;
        s.stops |= static_cast<uint32_t>(stop) << k;
        s.updates |= static_cast<uint32_t>(!inside(value[k], values)) << k;
        s.changes |= static_cast<uint32_t>(!(value[k] == before)) << k;
        before = value[k];
    }
    return s;
}

// Bit k set where gate[k] (k < n) is positive.
inline uint32_t positive(const float *gate, int32_t n)
{
    uint32_t out = 0;
    for (int32_t k = 0; k < n; ++k)
        out |= static_cast<uint32_t>(gate[k] > 0.0f) << k;
    return out;
}
// Bit k set where gate[k] (k < n) is 0 or negative (not-a-number is neither
// positive nor this).
inline uint32_t closed(const float *gate, int32_t n)
{
    uint32_t out = 0;
    for (int32_t k = 0; k < n; ++k)
        out |= static_cast<uint32_t>(gate[k] <= 0.0f) << k;
    return out;
}

// Four lanes at a time.
struct Window4 {
    __m128 low, high;
    explicit Window4(const Window &w) : low(_mm_set1_ps(w.low)), high(_mm_set1_ps(w.high)) {}
};

// All ones in the lanes outside the window.  maxps gives its second operand
// (0) for not-a-number.
inline __m128 outside4(__m128 x, const Window4 &w)
{
    const __m128 positive = _mm_max_ps(x, _mm_setzero_ps());
    const __m128i subnormal =
        _mm_cmplt_epi32(_mm_castps_si128(positive), _mm_set1_epi32(0x00800000));
    const __m128 y = _mm_andnot_ps(_mm_castsi128_ps(subnormal), positive);
    const __m128 big = _mm_mul_ps(y, _mm_set1_ps(16384.0f));
    const __m128 below = _mm_cmpnge_ps(_mm_sub_ps(big, w.low), y);
    const __m128 above = _mm_cmpge_ps(_mm_sub_ps(big, w.high), y);
    return _mm_or_ps(below, above);
}

// Bit k set where gate[k] (k < 8) is positive.
inline uint32_t positive8(const float *gate)
{
    const __m128 zero = _mm_setzero_ps();
    const int a = _mm_movemask_ps(_mm_cmpgt_ps(_mm_loadu_ps(gate), zero));
    const int b = _mm_movemask_ps(_mm_cmpgt_ps(_mm_loadu_ps(gate + 4), zero));
    return static_cast<uint32_t>(a | b << 4);
}
// Eight samples.  The first lane's predecessor comes in a register (x[-1]
// may be outside the buffer); the second four's is x[3].
template <bool WithParameter>
inline Scan scan8(const float *gate, const float *value, const float *parameter, float before,
                  const Window4 &values, const Window4 &parameters)
{
    const __m128 v0 = _mm_loadu_ps(value), v1 = _mm_loadu_ps(value + 4);
    const __m128 before0 =
        _mm_move_ss(_mm_shuffle_ps(v0, v0, _MM_SHUFFLE(2, 1, 0, 0)), _mm_set_ss(before));
    const __m128 before1 = _mm_loadu_ps(value + 3);
    Scan s;
    s.open = positive8(gate);
    s.stops = 0;
    if (WithParameter)
        s.stops = static_cast<uint32_t>(
            _mm_movemask_ps(outside4(_mm_loadu_ps(parameter), parameters)) |
            _mm_movemask_ps(outside4(_mm_loadu_ps(parameter + 4), parameters)) << 4);
    s.updates = static_cast<uint32_t>(_mm_movemask_ps(outside4(v0, values)) |
                                      _mm_movemask_ps(outside4(v1, values)) << 4);
    s.changes = static_cast<uint32_t>(_mm_movemask_ps(_mm_cmpneq_ps(v0, before0)) |
                                      _mm_movemask_ps(_mm_cmpneq_ps(v1, before1)) << 4);
    return s;
}

// Whether any of x[0..8) differs from the sample before it (x[-1] is read).
inline bool any_changed8(const float *x)
{
    const __m128 a = _mm_cmpneq_ps(_mm_loadu_ps(x), _mm_loadu_ps(x - 1));
    const __m128 b = _mm_cmpneq_ps(_mm_loadu_ps(x + 4), _mm_loadu_ps(x + 3));
    return _mm_movemask_ps(_mm_or_ps(a, b)) != 0;
}

inline int32_t lowest_bit(uint32_t word) // word != 0
{
    return __builtin_ctz(word);
}

inline int32_t highest_bit(uint32_t word) // word != 0
{
    return 31 - __builtin_clz(word);
}

} // namespace cv_rpn

#endif
