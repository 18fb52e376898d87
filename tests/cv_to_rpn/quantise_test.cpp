// The input tests of the RPN/NRPN sender's process loop, against scale():
// a sample is inside the window of a quantised value exactly when it
// quantises to that value, and the eight-sample scan answers what the
// one-by-one scan answers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "float_bits.h"
#include "quantise.h"

namespace {

using se_test::from_bits;

// Samples a few ulps either side of every threshold (n - 0.5) / 16383 that
// bounds the window, and of 0 and 1, plus every kind of special value.
std::vector<float> probes(int32_t value, int32_t step)
{
    std::vector<float> xs;
    for (int32_t n : {value, value + step}) {
        const float t = static_cast<float>((n - 0.5) / 16383.0);
        uint32_t b;
        std::memcpy(&b, &t, sizeof b);
        for (uint32_t d = 0; d <= 6; ++d)
            xs.push_back(from_bits(b + d - 3));
    }
    const uint32_t specials[] = {
        0x00000000u, 0x80000000u, 0x00000001u, 0x807FFFFFu, 0x00800000u, // zeros, subnormals
        0x37800000u, 0x377FFFFFu, 0x3F7FFFFFu, 0x3F800000u, 0x3F800001u, // 2^-16, around 1
        0x7F7FFFFFu, 0x7F800000u, 0xFF800000u, 0x7FC00000u, 0xFFC00000u, // huge, infinities, NaN
        0x7F800001u, 0xBF800000u, 0x40000000u,
    };
    for (uint32_t b : specials)
        xs.push_back(from_bits(b));
    return xs;
}

TEST(CvToRpnQuantise, WindowHoldsExactlyTheSamplesOfItsValue)
{
    for (int depth = 7; depth <= 14; ++depth) {
        const int32_t step = 1 << (14 - depth);
        const int32_t mask = cv_rpn::kMaxValue & ~(step - 1);
        size_t wrong = 0;
        for (int32_t value = 0; value <= cv_rpn::kMaxValue; value += step) {
            const cv_rpn::Window w = cv_rpn::window_of(value, step);
            for (float x : probes(value, step)) {
                const bool expected = (cv_rpn::scale(x) & mask) == value;
                if (cv_rpn::inside(x, w) != expected && ++wrong <= 5)
                    ADD_FAILURE() << "depth " << depth << " value " << value << " sample "
                                  << std::hexfloat << x << ": scale " << cv_rpn::scale(x);
            }
        }
        EXPECT_EQ(wrong, 0u) << "depth " << depth;
    }
}

// Random runs of samples (thresholds, specials, repeats) through both scans
// with windows of random values.
TEST(CvToRpnQuantise, EightAtATimeAnswersAsOneByOne)
{
    uint32_t rng = 2024;
    auto next = [&rng] { return rng = rng * 1664525u + 1013904223u; };
    const std::vector<float> pool = probes(8192, 1);
    auto pick = [&](std::vector<float> &out, size_t n) {
        for (size_t k = 0; k < n; ++k) {
            const uint32_t r = next() >> 8;
            out.push_back(r % 4 == 0 && !out.empty() ? out.back() // a repeat
                          : r % 4 == 1               ? static_cast<float>(r % 16384) / 16383.0f
                                                     : pool[r % pool.size()]);
        }
    };
    for (int trial = 0; trial < 2000; ++trial) {
        std::vector<float> gate, value, parameter;
        pick(gate, 8);
        pick(value, 9); // value[0] is the sample before the eight
        pick(parameter, 8);
        // Windows of 0 and of the top value (no lower or no upper bound) as
        // often as any other.
        auto some_value = [&](int32_t step) {
            const uint32_t r = next() >> 8;
            const int32_t top = cv_rpn::kMaxValue & ~(step - 1);
            return r % 3 == 0   ? 0
                   : r % 3 == 1 ? top
                                : static_cast<int32_t>(r % 16384) & ~(step - 1);
        };
        const int32_t step = 1 << (next() >> 8) % 8;
        const cv_rpn::Window values = cv_rpn::window_of(some_value(step), step);
        const cv_rpn::Window parameters = cv_rpn::window_of(some_value(1), 1);
        const cv_rpn::Window4 values4(values), parameters4(parameters);
        for (bool with_parameter : {false, true}) {
            const float *p = with_parameter ? parameter.data() : nullptr;
            const cv_rpn::Scan one =
                cv_rpn::scan(gate.data(), value.data() + 1, p, value[0], values, parameters, 8);
            const cv_rpn::Scan eight = with_parameter
                                           ? cv_rpn::scan8<true>(gate.data(), value.data() + 1, p,
                                                                 value[0], values4, parameters4)
                                           : cv_rpn::scan8<false>(gate.data(), value.data() + 1, p,
                                                                  value[0], values4, parameters4);
            ASSERT_EQ(eight.open, one.open) << "trial " << trial;
            ASSERT_EQ(eight.stops, one.stops) << "trial " << trial;
            ASSERT_EQ(eight.updates, one.updates) << "trial " << trial;
            ASSERT_EQ(eight.changes, one.changes) << "trial " << trial;
        }
        EXPECT_EQ(cv_rpn::positive8(gate.data()), cv_rpn::positive(gate.data(), 8));
    }
}

} // namespace
