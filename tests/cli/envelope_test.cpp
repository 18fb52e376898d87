// envelope_test.cpp - the report's envelope of a run, bit for bit as a
// sequential min and max over its finite samples gives it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "float_bits.h"
#include "report/envelope.h"

namespace {

using se_test::bits;

// The envelope as a float at a time gives it.
void in_order(const std::vector<float> &run, float &lo, float &hi)
{
    for (float s : run) {
        const float v = s * 10.0f;
        if (!std::isfinite(v))
            continue;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
}

TEST(SehostEnvelope, EveryRunAsInOrder)
{
    const float nan = NAN, inf = INFINITY;
    // Runs where lanes and order could part: zeros of both signs first,
    // later or alone (the sign a zero bound keeps), not-a-number and
    // infinities (skipped, in lanes and in the tail), samples that overflow
    // to infinity in volts, and lengths around the four lanes.
    std::vector<std::vector<float>> runs = {
        {},
        {0.5f},
        {-0.0f, 0.0f, 0.25f, 0.5f, 0.0f},
        {0.0f, -0.0f, 0.25f, 0.5f, -0.0f},
        {0.25f, 0.5f, 0.75f, 1.0f, -0.0f, 0.0f},
        {0.25f, 0.5f, 0.75f, 1.0f, 0.0f, -0.0f, 0.3f, 0.1f, 0.2f},
        {-0.5f, -0.25f, 0.0f, -0.0f, -1.0f, -0.0f},
        {-0.5f, -0.25f, -0.75f, -1.0f, 0.0f, -0.0f, -0.3f},
        {nan, nan, nan, nan, nan},
        {nan, inf, -inf, 0.5f, nan, -inf, inf, -0.25f, nan},
        {3e38f, -3e38f, 1e37f, 0.0f},
        {0.0f, 0.0f, 0.0f, 0.0f, -0.0f, -0.0f, -0.0f, -0.0f, 0.0f},
        {-0.0f, -0.0f, -0.0f},
        // the first zero in a later lane than a zero of the other sign
        {0.5f, -0.0f, 0.5f, 0.5f, 0.0f, 0.5f, 0.5f, 0.5f},
        {0.5f, 0.5f, 0.0f, 0.5f, -0.0f, 0.5f, 0.5f, 0.5f},
        {-0.5f, 0.0f, -0.5f, -0.5f, -0.0f, -0.5f, -0.5f, -0.5f},
        {-0.5f, -0.5f, -0.5f, -0.0f, 0.0f, -0.5f, -0.5f, 0.0f},
        {1e-45f, -1e-45f, 0.0f, -0.0f, 1e-44f},
    };
    std::mt19937 gen(7);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    for (size_t length : {3u, 4u, 5u, 63u, 1000u}) {
        std::vector<float> run(length);
        for (float &x : run)
            x = uniform(gen);
        runs.push_back(run);
        for (size_t k = 1; k < length; k += 7) // pulses: zeros of both signs
            run[k] = k % 2 ? -0.0f : 0.0f;
        runs.push_back(run);
        std::transform(run.begin(), run.end(), run.begin(), [](float x) { return std::fabs(x); });
        runs.push_back(run);
    }
    // Bounds the run widens: untouched, zeros of both signs, values.
    const std::pair<float, float> starts[] = {
        {inf, -inf}, {0.0f, -0.0f}, {-0.0f, 0.0f}, {0.1f, 0.2f}, {-5.0f, 5.0f}};
    for (size_t r = 0; r < runs.size(); ++r) {
        for (auto [lo0, hi0] : starts) {
            float want_lo = lo0, want_hi = hi0, lo = lo0, hi = hi0;
            in_order(runs[r], want_lo, want_hi);
            secli::widen_envelope(runs[r].data(), runs[r].size(), lo, hi);
            EXPECT_EQ(bits(lo), bits(want_lo)) << "run " << r << " from " << lo0;
            EXPECT_EQ(bits(hi), bits(want_hi)) << "run " << r << " from " << hi0;
        }
    }
}

} // namespace
