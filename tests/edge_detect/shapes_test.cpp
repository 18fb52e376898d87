// The output shapes are written once over a lane type: on four samples at
// once they give what they give one sample at a time, the sign carried from
// lane to lane included, with the SSE2 lanes and the portable ones (what a
// target without SSE2 would build).
#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "shapes.h"

namespace {

using edge_detect::Kernel;
using edge_detect::Shape;

const uint32_t kWords[] = {0x00000000u, 0x80000000u, 0x00000001u, 0x80000001u,
                           0x3F800000u, 0xBF800000u, 0x7F800000u, 0xFF800000u,
                           0x7FC00000u, 0xFFC00000u, 0x7F800001u, 0x41200000u};

template <Shape S, class L> void check_shape(std::mt19937 &random)
{
    std::uniform_int_distribution<size_t> pick(0, std::size(kWords) - 1);
    for (int n = 0; n < 500; ++n) {
        float in[5], lanes[4], one[4];
        for (float &x : in)
            x = se_sdk::from_bits(kWords[pick(random)]);
        const Kernel<S> k(se_sdk::from_bits(kWords[pick(random)]));
        const uint32_t sign = n % 2 ? se_sdk::kSignBit : 0u;

        L carried4 = se_sdk::splat<L>(sign);
        se_sdk::store(lanes, k(se_sdk::load<L>(in + 1), se_sdk::load<L>(in), carried4));
        uint32_t carried = sign;
        for (int j = 0; j < 4; ++j)
            se_sdk::store(one + j, k(se_sdk::bits_of(in[j + 1]), se_sdk::bits_of(in[j]), carried));
        for (int j = 0; j < 4; ++j)
            ASSERT_EQ(se_sdk::bits_of(lanes[j]), se_sdk::bits_of(one[j]))
                << "shape " << static_cast<int>(S) << ", lane " << j;
        ASSERT_EQ(se_sdk::first_lane(carried4), carried);
    }
}

template <class L> void check_every_shape()
{
    std::mt19937 random(3);
    check_shape<Shape::ZeroxPulse, L>(random);
    check_shape<Shape::ZeroxBipolar, L>(random);
    check_shape<Shape::ZeroxSquare, L>(random);
    check_shape<Shape::ZeroxSign, L>(random);
    check_shape<Shape::LeadxPulse, L>(random);
    check_shape<Shape::LeadxSquare, L>(random);
    check_shape<Shape::LeadxAlternate, L>(random);
    check_shape<Shape::LeadxToggle, L>(random);
}

TEST(EdgeDetectShapes, FourLanesGiveWhatOneLaneGives)
{
    check_every_shape<se_sdk::Lanes4>();
    check_every_shape<se_sdk::PortableLanes4>();
}

} // namespace
