// sine_fill_test.cpp - the fast sine source against the formula with the C
// library's sin, bit for bit, over millions of clocks; and the same check
// made blind (no margin) or fed a worse polynomial, which must be caught.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "float_bits.h"
#include "sources/sine_fill.h"
#include "sources/sources.h"

namespace {

using se_test::bits;
using secli::SineWave;

struct Wave {
    double rate, freq, volts, offset_volts;
    double max_fallback_share; // of the wave's samples
};

// Rates of 44.1, 48 and 96 kHz; slow, fast and awkward frequencies; volts
// from below the float range to near its top; offsets that keep the wave on
// one side of zero, cross it, or sit a hair off it.  freq = rate / 8 hits
// phases 0 and 1/2 exactly, where the library's sin of 2 * M_PI * 0.5 is
// 1.2e-16 and not 0: with an offset of 1e-16 the float depends on it.
// Where a wave reaches zero the check leaves more samples to the formula:
// a sine whose rate is a whole multiple of its frequency hits phase 0 once
// a period (y = 0), a wave whose trough touches 0 V lingers near it.
const Wave kWaves[] = {
    {44100, 100, 5, 0, 3e-3},
    {44100, 440, 5, 0.01, 1e-3},
    {48000, 0.5, 5, 5, 1e-2},
    {48000, 7, 5, 0, 1e-3},
    {96000, 1234.5, 3, -2.9, 1e-3},
    {44100, 5512.5, 10, -10, 0.15},
    {48000, 6000, 5, 1e-15, 0.3},
    {96000, 47999, 5, 0, 1e-3},
    {44100, 0.013, 1e36, 1e35, 1e-3},
    {48000, 3001.7, 1e-40, 0, 1e-3},
    {96000, 17.3, 1e-300, 3e-301, 1e-3},
    {44100, 20000, 0.001, -0.0005, 1e-3},
};

// Windows of clocks: the start, far into a run, and across the wrap to 0.
struct Window {
    uint32_t first, count;
};
const Window kWindows[] = {{0u, 200000u},
                           {1u << 20, 200000u},
                           {123456789u, 200000u},
                           {3000000000u, 200000u},
                           {UINT32_MAX - 99999u, 200000u}};

// The formula as the source always had it.
float by_formula(const SineWave &w, uint32_t clock)
{
    return static_cast<float>(w.offset +
                              w.amp * std::sin(2 * M_PI * std::fmod(clock * w.step, 1.0)));
}

struct Tally {
    size_t samples = 0, fallbacks = 0, mismatches = 0;
};

// Every wave over every window, through fill_sine_tuned with these knobs,
// in blocks of 1000 (a block boundary falls inside each window).
std::vector<Tally> run(double margin_scale, double polynomial_error)
{
    std::vector<Tally> tallies;
    std::vector<float> want, got(1000);
    for (const Wave &wave : kWaves) {
        const SineWave w{wave.volts / 10.0, wave.freq / wave.rate, wave.offset_volts / 10.0};
        Tally t;
        for (const Window &win : kWindows) {
            for (uint32_t done = 0; done < win.count; done += 1000) {
                const uint32_t first = win.first + done;
                t.fallbacks += secli::fill_sine_tuned(w, first, 1000, got.data(), margin_scale,
                                                      polynomial_error);
                for (uint32_t i = 0; i < 1000; ++i)
                    if (bits(got[i]) != bits(by_formula(w, first + i)))
                        ++t.mismatches;
                t.samples += 1000;
            }
        }
        tallies.push_back(t);
    }
    return tallies;
}

size_t total_mismatches(const std::vector<Tally> &tallies)
{
    size_t n = 0;
    for (const Tally &t : tallies)
        n += t.mismatches;
    return n;
}

TEST(SehostSineFill, EveryFloatAsTheLibrarySinGivesIt)
{
    const std::vector<Tally> tallies = run(1.0, 0.0);
    size_t fallbacks = 0, samples = 0;
    for (size_t k = 0; k < tallies.size(); ++k) {
        const Wave &w = kWaves[k];
        const Tally &t = tallies[k];
        SCOPED_TRACE(::testing::Message() << "sine:" << w.freq << ":" << w.volts << ":"
                                          << w.offset_volts << " at " << w.rate);
        EXPECT_EQ(t.mismatches, 0u);
        EXPECT_LE(t.fallbacks, static_cast<size_t>(w.max_fallback_share * t.samples))
            << t.fallbacks << " of " << t.samples;
        std::printf("sine:%g:%g:%g at %g: %zu of %zu samples by the formula\n", w.freq, w.volts,
                    w.offset_volts, w.rate, t.fallbacks, t.samples);
        fallbacks += t.fallbacks;
        samples += t.samples;
    }
    // The formula's path is taken (and so tested) here.
    EXPECT_GT(fallbacks, 0u) << "of " << samples;
}

// The margin is what makes the fast path exact: without it, or with a
// polynomial a little worse than the margin allows for, floats differ; an
// error well inside the margin still changes none.
TEST(SehostSineFill, TheMarginIsWhatKeepsTheBits)
{
    struct Case {
        const char *what;
        double margin_scale, polynomial_error;
        bool exact;
    };
    const Case cases[] = {{"no margin", 0.0, 0.0, false},
                          {"polynomial 2^-38 off (4x the margin's share)", 1.0, 0x1p-38, false},
                          {"polynomial 2^-42 off (inside the margin)", 1.0, 0x1p-42, true}};
    for (const Case &c : cases) {
        const size_t mismatches = total_mismatches(run(c.margin_scale, c.polynomial_error));
        if (c.exact)
            EXPECT_EQ(mismatches, 0u) << c.what;
        else
            EXPECT_GT(mismatches, 0u) << c.what;
    }
}

// The source of "sine:..." is this fill, clock for clock.
TEST(SehostSineFill, IsTheSineSource)
{
    secli::Source s = secli::make_source("sine:440:5:0.01", 48000, UINT32_MAX, "t");
    const SineWave w{5 / 10.0, 440.0 / 48000, 0.01 / 10.0};
    std::vector<float> got(4096);
    s.fill(UINT32_MAX - 2047, 4096, got.data());
    for (uint32_t i = 0; i < 4096; ++i)
        ASSERT_EQ(bits(got[i]), bits(by_formula(w, UINT32_MAX - 2047 + i))) << i;
}

} // namespace
