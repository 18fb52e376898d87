// shapes.h - edge_detect's output shapes, each written once as a formula on
// a sample's bits and the sample before it, over a lane type (se_lanes.h):
// one sample for the first sample of a call and the tail, four for the body.
//
// Every test on a sample looks at its bit pattern: positive = sign bit clear
// and not zero, zero = +0 or -0, negative = sign bit set and not zero.  The
// outputs are chosen by masks instead of branches, so an unpredictable input
// (noise) costs what a predictable one costs.
#ifndef EDGE_DETECT_SHAPES_H
#define EDGE_DETECT_SHAPES_H

#include <cstddef>
#include <cstdint>

#include "se_lanes.h"

namespace edge_detect {

using se_sdk::kSignBit;

// One per process function; L is the level read at the call's first sample.
enum class Shape {
    ZeroxPulse,     // L where the sign bit changed and the sample is not zero
    ZeroxBipolar,   // as ZeroxPulse, L with the sample's own sign bit
    ZeroxSquare,    // L while positive, else -L
    ZeroxSign,      // L with the sample's sign bit, 0 for a zero sample
    LeadxPulse,     // L where a positive sample follows a not positive one
    LeadxSquare,    // L while positive, else 0
    LeadxAlternate, // as LeadxPulse with a sign that flips at every rise
    LeadxToggle,    // L with a sign that flips at every rise, throughout
};
constexpr std::size_t kShapeCount = 8;

// The shapes that read the sample before (the others are given the sample
// itself there, since in[-1] is not theirs to read), and those that carry a
// sign from rise to rise.
constexpr bool reads_before(Shape s)
{
    return s == Shape::ZeroxPulse || s == Shape::ZeroxBipolar || s == Shape::LeadxPulse ||
           s == Shape::LeadxAlternate || s == Shape::LeadxToggle;
}
constexpr bool flips(Shape s)
{
    return s == Shape::LeadxAlternate || s == Shape::LeadxToggle;
}

// A shape with its level.  `carried` is the sign (0 or kSignBit in every
// lane) before the samples and after them: flipping shapes give L x sign,
// for sign = +1 or -1, as bits.  The product of a number with +-1 is the
// number with its sign bit set accordingly, except that a not-a-number level
// comes out quiet and with its own sign, whatever the factor; so no multiply
// touches a subnormal, infinite or not-a-number level in the loop.  Four
// rises' flips are summed over the lanes by a prefix exclusive-or.
template <Shape S> struct Kernel {
    uint32_t level; // L's bits, made quiet if L is not-a-number and the sign flips
    uint32_t flip;  // kSignBit, or 0 for a not-a-number level

    explicit Kernel(float level_value)
    {
        const uint32_t b = se_sdk::bits_of(level_value);
        const bool nan = flips(S) && (b & ~kSignBit) > 0x7F800000u;
        level = nan ? b | 0x00400000u : b;
        flip = nan ? 0u : kSignBit;
    }

    template <class L> L operator()(L x, L before, L &carried) const
    {
        using namespace se_sdk;
        const L lv = splat<L>(level), sign = splat<L>(kSignBit);
        const L changed = sign_mask(x ^ before);
        const L rise = andnot(positive_mask(before), positive_mask(x));
        switch (S) {
        case Shape::ZeroxPulse:
            return lv & andnot(zero_mask(x), changed);
        case Shape::ZeroxBipolar:
            return (lv ^ (x & sign)) & andnot(zero_mask(x), changed);
        case Shape::ZeroxSquare:
            return lv ^ andnot(positive_mask(x), sign);
        case Shape::ZeroxSign:
            return andnot(zero_mask(x), lv ^ (x & sign));
        case Shape::LeadxPulse:
            return lv & rise;
        case Shape::LeadxSquare:
            return lv & positive_mask(x);
        case Shape::LeadxAlternate:
        case Shape::LeadxToggle:
            break;
        }
        const L signs = carried ^ prefix_xor(rise & sign);
        carried = last_lane(signs);
        const L value = lv ^ (signs & splat<L>(flip));
        return S == Shape::LeadxAlternate ? value & rise : value;
    }
};

// out[i] = k(in[i], in[i - 1]) for i in [from, count), from at least 1 for
// the shapes that read the sample before; returns the sign carried past the
// last.  Four at a time unless the buffers overlap: then one by one, each
// read after the previous write, as always.  The kernel is a copy: the
// compiler then knows no store to `out` changes its level, and keeps the
// level's lanes in registers.
template <Shape S>
uint32_t shape_samples(const Kernel<S> k, const float *in, float *out, int32_t from, int32_t count,
                       uint32_t carried)
{
    using se_sdk::Lanes4;
    int32_t i = from;
    if (se_sdk::apart(in, out, count)) {
        Lanes4 carried4 = Lanes4::splat(carried);
        for (; i + 4 <= count; i += 4) {
            const Lanes4 x = Lanes4::load(in + i);
            const Lanes4 before = reads_before(S) ? Lanes4::load(in + i - 1) : x;
            se_sdk::store(out + i, k(x, before, carried4));
        }
        carried = se_sdk::first_lane(carried4);
    }
    for (; i < count; ++i) {
        const uint32_t x = se_sdk::bits_of(in[i]);
        se_sdk::store(out + i, k(x, reads_before(S) ? se_sdk::bits_of(in[i - 1]) : x, carried));
    }
    return carried;
}

} // namespace edge_detect

#endif
