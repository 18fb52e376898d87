// se_lanes.h - a float's bit pattern, and masks over one or four samples.
//
// Sample loops that must cost the same on any input (noise included) choose
// their outputs with masks instead of branches: a mask word is all ones
// where a test holds and 0 where it does not.  A kernel written once as a
// template over its lane type runs on one sample (a plain uint32_t, for the
// first sample of a call and the tail) and on four (Lanes4, for the body);
// both give the same bits, since every operation here is exact on words.
//
// Lanes4 is four SSE2 words where the compiler targets SSE2 (every target
// of this pack does) and PortableLanes4, four plain words, elsewhere.  The
// portable type is always defined, so that a test can hold the two to the
// same answers.
#ifndef SE_LANES_H
#define SE_LANES_H

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace se_sdk {

// ---- bit patterns ----------------------------------------------------------
// A value's bytes as another type of the same size.
template <class To, class From> To same_bits(From x)
{
    static_assert(sizeof(To) == sizeof(From), "same size");
    To y;
    std::memcpy(&y, &x, sizeof y);
    return y;
}
inline uint32_t bits_of(float x)
{
    return same_bits<uint32_t>(x);
}
inline uint64_t bits_of(double x)
{
    return same_bits<uint64_t>(x);
}
inline float from_bits(uint32_t b)
{
    return same_bits<float>(b);
}
inline double from_bits(uint64_t b)
{
    return same_bits<double>(b);
}

constexpr uint32_t kSignBit = 0x80000000u;

// ---- one lane: a plain word --------------------------------------------------
// The tests read a sample as its bits: positive = sign bit clear and not
// zero (as a signed integer the word is above 0); zero = +0 or -0 (nothing
// left after the sign bit is shifted out).
inline uint32_t positive_mask(uint32_t x)
{
    return 0u - static_cast<uint32_t>(static_cast<int32_t>(x) > 0);
}
inline uint32_t zero_mask(uint32_t x)
{
    return 0u - static_cast<uint32_t>((x << 1) == 0);
}
// All ones where the sign bit is set.
inline uint32_t sign_mask(uint32_t x)
{
    return 0u - (x >> 31);
}
// ~a & b.
inline uint32_t andnot(uint32_t a, uint32_t b)
{
    return ~a & b;
}
// Lane k gets the exclusive-or of lanes 0..k: one lane keeps its word.
inline uint32_t prefix_xor(uint32_t x)
{
    return x;
}
// Every lane gets the last lane's word.
inline uint32_t last_lane(uint32_t x)
{
    return x;
}
// Lane 0's word.
inline uint32_t first_lane(uint32_t x)
{
    return x;
}
// The lanes' sign bits as a number, lane k in bit k.
inline uint32_t sign_bits(uint32_t x)
{
    return x >> 31;
}

// ---- four lanes, portable ------------------------------------------------------
struct PortableLanes4 {
    uint32_t w[4];

    static PortableLanes4 splat(uint32_t x) { return {{x, x, x, x}}; }
    static PortableLanes4 load(const float *p)
    {
        PortableLanes4 r;
        std::memcpy(r.w, p, sizeof r.w);
        return r;
    }
    void store(float *p) const { std::memcpy(p, w, sizeof w); }

    template <class F> PortableLanes4 each(F f) const
    {
        return {{f(w[0]), f(w[1]), f(w[2]), f(w[3])}};
    }
    template <class F> PortableLanes4 each(const PortableLanes4 &b, F f) const
    {
        return {{f(w[0], b.w[0]), f(w[1], b.w[1]), f(w[2], b.w[2]), f(w[3], b.w[3])}};
    }
};
inline PortableLanes4 operator&(const PortableLanes4 &a, const PortableLanes4 &b)
{
    return a.each(b, [](uint32_t x, uint32_t y) { return x & y; });
}
inline PortableLanes4 operator|(const PortableLanes4 &a, const PortableLanes4 &b)
{
    return a.each(b, [](uint32_t x, uint32_t y) { return x | y; });
}
inline PortableLanes4 operator^(const PortableLanes4 &a, const PortableLanes4 &b)
{
    return a.each(b, [](uint32_t x, uint32_t y) { return x ^ y; });
}
inline PortableLanes4 andnot(const PortableLanes4 &a, const PortableLanes4 &b)
{
    return a.each(b, [](uint32_t x, uint32_t y) { return andnot(x, y); });
}
inline PortableLanes4 positive_mask(const PortableLanes4 &a)
{
    return a.each([](uint32_t x) { return positive_mask(x); });
}
inline PortableLanes4 zero_mask(const PortableLanes4 &a)
{
    return a.each([](uint32_t x) { return zero_mask(x); });
}
inline PortableLanes4 sign_mask(const PortableLanes4 &a)
{
    return a.each([](uint32_t x) { return sign_mask(x); });
}
inline PortableLanes4 prefix_xor(const PortableLanes4 &a)
{
    const uint32_t p1 = a.w[0] ^ a.w[1], p2 = p1 ^ a.w[2];
    return {{a.w[0], p1, p2, p2 ^ a.w[3]}};
}
inline PortableLanes4 last_lane(const PortableLanes4 &a)
{
    return PortableLanes4::splat(a.w[3]);
}
inline uint32_t first_lane(const PortableLanes4 &a)
{
    return a.w[0];
}
inline uint32_t sign_bits(const PortableLanes4 &a)
{
    return sign_bits(a.w[0]) | sign_bits(a.w[1]) << 1 | sign_bits(a.w[2]) << 2 |
           sign_bits(a.w[3]) << 3;
}

// ---- four lanes, SSE2 ------------------------------------------------------------
#if defined(__SSE2__)
struct Lanes4 {
    __m128i v;

    static Lanes4 splat(uint32_t x) { return {_mm_set1_epi32(static_cast<int32_t>(x))}; }
    static Lanes4 load(const float *p)
    {
        return {_mm_loadu_si128(reinterpret_cast<const __m128i *>(p))};
    }
    void store(float *p) const { _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v); }
};
inline Lanes4 operator&(Lanes4 a, Lanes4 b)
{
    return {_mm_and_si128(a.v, b.v)};
}
inline Lanes4 operator|(Lanes4 a, Lanes4 b)
{
    return {_mm_or_si128(a.v, b.v)};
}
inline Lanes4 operator^(Lanes4 a, Lanes4 b)
{
    return {_mm_xor_si128(a.v, b.v)};
}
inline Lanes4 andnot(Lanes4 a, Lanes4 b)
{
    return {_mm_andnot_si128(a.v, b.v)};
}
// A signed compare with 0.
inline Lanes4 positive_mask(Lanes4 a)
{
    return {_mm_cmpgt_epi32(a.v, _mm_setzero_si128())};
}
inline Lanes4 zero_mask(Lanes4 a)
{
    return {_mm_cmpeq_epi32(_mm_slli_epi32(a.v, 1), _mm_setzero_si128())};
}
// The sign bit shifted arithmetically over the word.
inline Lanes4 sign_mask(Lanes4 a)
{
    return {_mm_srai_epi32(a.v, 31)};
}
// Two shifted copies: lanes k-1 then k-2 and k-3 folded in.
inline Lanes4 prefix_xor(Lanes4 a)
{
    const __m128i one = _mm_xor_si128(a.v, _mm_slli_si128(a.v, 4));
    return {_mm_xor_si128(one, _mm_slli_si128(one, 8))};
}
inline Lanes4 last_lane(Lanes4 a)
{
    return {_mm_shuffle_epi32(a.v, 0xFF)};
}
inline uint32_t first_lane(Lanes4 a)
{
    return static_cast<uint32_t>(_mm_cvtsi128_si32(a.v));
}
inline uint32_t sign_bits(Lanes4 a)
{
    return static_cast<uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(a.v)));
}
#else
using Lanes4 = PortableLanes4;
#endif

// Lanes of either kind from one word or from memory, for kernels templated
// over the lane type.
template <class L> L splat(uint32_t x)
{
    return L::splat(x);
}
template <> inline uint32_t splat<uint32_t>(uint32_t x)
{
    return x;
}
template <class L> L load(const float *p)
{
    return L::load(p);
}
template <> inline uint32_t load<uint32_t>(const float *p)
{
    return bits_of(*p);
}
template <class L> void store(float *p, const L &x)
{
    x.store(p);
}
inline void store(float *p, uint32_t x)
{
    std::memcpy(p, &x, sizeof x);
}

// Whether the `count` floats at `a` and at `b` share no byte: a kernel that
// reads ahead of what it writes may then take four at a time.
inline bool apart(const float *a, const float *b, int32_t count)
{
    const uintptr_t at = reinterpret_cast<uintptr_t>(a), bt = reinterpret_cast<uintptr_t>(b);
    const uintptr_t bytes = static_cast<uintptr_t>(count) * sizeof(float);
    return bt + bytes <= at || at + bytes <= bt;
}

} // namespace se_sdk

#endif
