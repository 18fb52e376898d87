// pulse_counter: what the counter sends, cycle by cycle, in every mode, and
// how range, step, reset and Active changes move it.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "pulse_counter_support.h"

using namespace pc;

namespace {

std::vector<int> positions(const sehost::DspInstance &dsp)
{
    std::vector<int> out = indices(dsp);
    for (int &i : out)
        ++i;
    return out;
}

std::string trace(const Settings &s)
{
    return std::to_string(s.start) + "," + std::to_string(s.end) + "," + std::to_string(s.step) +
           " " + (s.mode >= 0 && s.mode <= 6 ? kModeNames[s.mode] : "mode?") + " reset " +
           std::to_string(s.reset);
}

const int kAllButRandom[] = {kForward, kBack, kFwdBack, kBackFwd, kFwdBack2, kBackFwd2};

} // namespace

// Sent positions (index + 1), one cycle each, from the mode's start.
TEST(PulseCounterCounting, SequenceTable)
{
    struct Row {
        int start, end, step, mode;
        std::vector<int> expected;
    };
    std::vector<Row> rows = {
        {1, 4, 1, kForward, {1, 2, 3, 4, 1, 2, 3, 4}},
        {1, 4, 1, kBack, {4, 3, 2, 1, 4, 3, 2, 1}},
        {1, 4, 1, kFwdBack, {1, 2, 3, 4, 3, 2, 1, 2, 3, 4}},
        {1, 4, 1, kBackFwd, {4, 3, 2, 1, 2, 3, 4, 3, 2, 1}},
        {1, 4, 1, kFwdBack2, {1, 2, 3, 4, 4, 3, 2, 1, 1, 2, 3, 4}},
        {1, 4, 1, kBackFwd2, {4, 3, 2, 1, 1, 2, 3, 4, 4, 3, 2, 1}},
        {2, 8, 3, kForward, {2, 5, 8, 4, 7, 3, 6, 2}},
        {2, 8, 3, kBack, {8, 5, 2, 6, 3, 7, 4, 8}},
        {2, 8, 3, kFwdBack, {2, 5, 8, 5, 2, 5, 8}},
        {3, 6, 2, kFwdBack, {3, 5, 5, 3, 5, 5, 3}},
        {3, 6, 2, kFwdBack2, {3, 5, 6, 4, 3, 5, 6, 4}},
        {1, 8, 7, kForward, {1, 8, 7, 6, 5, 4, 3, 2, 1}},
        {1, 8, 7, kFwdBack, {1, 8, 1, 8, 1, 8}},
        {6, 3, 1, kFwdBack2, {3, 4, 5, 6, 6, 5, 4, 3, 3, 4}},
    };
    for (int mode : kAllButRandom) // Start = End: the step is 0
        rows.push_back({5, 5, 1, mode, {5, 5, 5, 5}});
    for (int mode : {kForward, kFwdBack, kFwdBack2}) // Step wider than the range
        rows.push_back({1, 8, 8, mode, {1, 1, 1, 1, 1}});
    for (int mode : {kBack, kBackFwd, kBackFwd2})
        rows.push_back({1, 8, 31, mode, {8, 8, 8, 8, 8}});

    for (const Row &row : rows) {
        Settings s;
        s.start = row.start;
        s.end = row.end;
        s.step = row.step;
        s.mode = row.mode;
        SCOPED_TRACE(trace(s));
        auto dsp = open_counter(s);
        run_cycles(*dsp, static_cast<uint32_t>(row.expected.size()));
        EXPECT_EQ(positions(*dsp), row.expected);
    }
}

// Start above End is the same range in every mode, Random included.
TEST(PulseCounterCounting, StartAboveEndIsTheSameRange)
{
    for (int mode = 0; mode <= 6; ++mode)
        for (int step : {1, 3}) {
            Settings up;
            up.mode = mode;
            up.step = step;
            up.start = 2;
            up.end = 7;
            Settings down = up;
            down.start = 7;
            down.end = 2;
            SCOPED_TRACE(trace(down));
            auto a = open_counter(up);
            auto b = open_counter(down);
            run_cycles(*a, 14);
            run_cycles(*b, 14);
            EXPECT_EQ(indices(*a).size(), 14u);
            EXPECT_EQ(indices(*a), indices(*b));
        }
}

// Reset (to) outside the range is clamped into it and written back into the
// pin variable; the next cycle sends it (range 3 to 6).
TEST(PulseCounterCounting, ResetIsClampedIntoTheRange)
{
    struct Row {
        int reset, clamped;
    };
    const Row rows[] = {{12, 6}, {1, 3}, {4, 4}};
    for (int mode : kAllButRandom)
        for (const Row &row : rows) {
            Settings s;
            s.start = 3;
            s.end = 6;
            s.mode = mode;
            SCOPED_TRACE(trace(s) + " -> reset " + std::to_string(row.reset));
            auto dsp = open_counter(s);
            run_cycles(*dsp, 2);
            dsp->set_value(kReset, row.reset, cycle_clock(2) - 3);
            run_cycles(*dsp, 1);
            EXPECT_EQ(pin_variable(*dsp, kReset), row.clamped);
            const std::vector<int> sent = indices(*dsp);
            ASSERT_EQ(sent.size(), 3u);
            EXPECT_EQ(sent[2], row.clamped - 1);
        }
}

// A Reset (to) set before processing starts wins over the mode's start.
TEST(PulseCounterCounting, ResetBeforeProcessingStarts)
{
    for (int mode : kAllButRandom) {
        Settings s;
        s.mode = mode;
        s.reset = 5;
        SCOPED_TRACE(trace(s));
        auto dsp = open_counter(s);
        run_cycles(*dsp, 1);
        EXPECT_EQ(indices(*dsp), std::vector<int>{4});
    }
}

// Active OFF (the default): nothing is sent, whatever the input, and every
// process call asks to sleep.
TEST(PulseCounterActive, OffOnlySleeps)
{
    Settings s;
    s.active = 0;
    auto dsp = open_counter(s);
    for (uint32_t k = 1; k <= 4; ++k)
        dsp->set_value(kStart, 1, k * 64 + 5); // wake it now and then
    dsp->run(6 * 64);
    EXPECT_TRUE(sends(*dsp).empty());
    EXPECT_GE(dsp->process_calls(), 5u);
    EXPECT_EQ(dsp->sleeps().size(), dsp->process_calls());
}

// OFF changes no state: neither generator is stepped while OFF, and ON
// restarts the deterministic modes at their start position.
TEST(PulseCounterActive, OffOnRestartsTheMode)
{
    struct Row {
        int mode;
        std::vector<int> expected; // indices: four before OFF, four after ON
    };
    const Row rows[] = {
        {kForward, {0, 1, 2, 0, 0, 1, 2, 0}}, // range 1..3
        {kBackFwd, {2, 1, 0, 1, 2, 1, 0, 1}},
        {kFwdBack2, {0, 1, 2, 2, 0, 1, 2, 2}},
        {kRandom, {0, 1, 1, 1, 1, 2, 0, 2}}, // seed 1.0: runs on from where it stood
    };
    for (const Row &row : rows) {
        Settings s;
        s.end = 3;
        s.mode = row.mode;
        s.seed = 1.0f;
        s.humanise = 1.0f; // 10 ms of random delay, drawn per process call
        SCOPED_TRACE(trace(s));
        auto dsp = open_counter(s);
        dsp->run(64); // four cycles in the first call
        dsp->set_value(kActive, 0, 64);
        dsp->run(3 * 64);
        dsp->set_value(kActive, 1, 4 * 64);
        dsp->run(64);
        const std::vector<Send> sent = sends(*dsp);
        ASSERT_EQ(sent.size(), 8u);
        EXPECT_EQ(indices(*dsp), row.expected);
        // The delays are the first and second draws: the calls while OFF
        // drew nothing.
        EXPECT_EQ(sent[0].stamp, cycle_clock(0) + 370);
        EXPECT_EQ(sent[4].stamp, 4 * 64 + cycle_clock(0) + 195);
    }
}

// After OFF the input must first fall to zero or below: a constant positive
// input counts once after open and not again after OFF and ON.
TEST(PulseCounterActive, OnNeedsTheInputToFallFirst)
{
    Settings s;
    auto high_then_dip = [](uint32_t c) { return (c >= 300 && c < 310) ? 0.0f : 0.5f; };
    auto dsp = open_counter(s, high_then_dip);
    dsp->set_value(kActive, 0, 100);
    dsp->set_value(kActive, 1, 200);
    dsp->run(400);
    const std::vector<Send> sent = sends(*dsp);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].stamp, 0u);
    EXPECT_EQ(sent[1].stamp, 310u);
    EXPECT_EQ(sent[1].index, 0); // restarted at the start

    // Switched on from the default OFF with the input already high: nothing.
    Settings off = s;
    off.active = 0;
    auto late = open_counter(off, [](uint32_t) { return 0.5f; });
    late->set_value(kActive, 1, 50);
    late->run(300);
    EXPECT_TRUE(sends(*late).empty());
}

// A cycle is a rise from "not positive" (sign bit set, or +0/-0) to
// "positive" (sign bit clear and not zero), judged on the bit patterns.
TEST(PulseCounterCounting, CycleDetectionOnBitPatterns)
{
    const float nan_neg = from_bits(0xFFC00000u);
    const float nan_pos = from_bits(0x7FC00000u);
    const float denorm_neg = from_bits(0x80000001u);
    const float denorm_pos = from_bits(0x00000001u);
    struct Row {
        const char *name;
        std::vector<float> input; // from clock 0, zeros after; the open state is negative
        std::vector<uint32_t> cycles;
    };
    const Row rows[] = {
        {"0 0 0.5", {0.0f, 0.0f, 0.5f}, {2}},
        {"-0.5 0 0 0.5", {-0.5f, 0.0f, 0.0f, 0.5f}, {3}},
        {"-0 0.5", {-0.0f, 0.5f}, {1}},
        {"0.5 -0 0.5", {0.5f, -0.0f, 0.5f}, {0, 2}},
        {"0.5 0 0.5 after low", {0.5f, 0.0f, 0.5f}, {0, 2}},
        {"0.5 0 0.5 after high", {0.25f, 0.5f, 0.0f, 0.5f}, {0, 3}},
        {"-nan 0.5", {nan_neg, 0.5f}, {1}},
        {"0 +nan", {0.0f, nan_pos}, {1}},
        {"denormals", {0.5f, denorm_neg, denorm_pos}, {0, 2}},
        {"bipolar", {-1.0f, -1.0f, 1.0f, 1.0f, -1.0f, 1.0f}, {2, 5}},
        {"held high", {0.5f, 0.5f, 0.5f, 0.5f}, {0}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const std::vector<float> input = row.input;
        auto dsp = open_counter(Settings{},
                                [input](uint32_t c) { return c < input.size() ? input[c] : 0.0f; });
        dsp->run(128);
        std::vector<uint32_t> stamps;
        for (const Send &x : sends(*dsp))
            stamps.push_back(x.stamp);
        EXPECT_EQ(stamps, row.cycles);
    }
}

// Start or End changed while the position lies outside the new range: the
// position there is sent once as it stands, then clamped into the range.
TEST(PulseCounterMends, RangeChangeClampsThePosition)
{
    for (int mode : kAllButRandom)
        for (uint32_t before = 1; before <= 32; ++before) {
            Settings s;
            s.end = 16;
            s.mode = mode;
            SCOPED_TRACE(trace(s) + " after " + std::to_string(before) + " cycles");
            auto reference = open_counter(s);
            run_cycles(*reference, before + 1);
            auto dsp = open_counter(s);
            run_cycles(*dsp, before);
            dsp->set_value(kEnd, 4, dsp->clock() + 1); // range 1..4
            run_cycles(*dsp, 12);
            const std::vector<int> got = indices(*dsp);
            ASSERT_EQ(got.size(), before + 12);
            // The change itself moves nothing.
            EXPECT_EQ(got[before], indices(*reference)[before]);
            for (size_t i = before + 1; i < got.size(); ++i)
                ASSERT_TRUE(got[i] >= 0 && got[i] <= 3) << "send " << i << " index " << got[i];
        }

    // Forward from index 10 with the new range 1..4: clamp to 3, step to 0.
    Settings s;
    s.end = 16;
    auto dsp = open_counter(s);
    run_cycles(*dsp, 10);
    dsp->set_value(kEnd, 4, dsp->clock() + 1);
    run_cycles(*dsp, 3);
    const std::vector<int> got = indices(*dsp);
    ASSERT_EQ(got.size(), 13u);
    EXPECT_EQ(std::vector<int>(got.begin() + 10, got.end()), (std::vector<int>{10, 0, 1}));
}

// Values outside the lists (a wired input can carry any 16-bit value) act
// as the nearest list value and never drive the counter out of its range.
TEST(PulseCounterMends, OutOfListValuesAreClamped)
{
    struct Row {
        int start, end, step, reset;         // as wired
        int c_start, c_end, c_step, c_reset; // as the lists allow
    };
    const int16_t lo = std::numeric_limits<int16_t>::min();
    const int16_t hi = std::numeric_limits<int16_t>::max();
    const Row rows[] = {
        {1, 8, 0, 0, 1, 8, 1, 0},     {1, 8, -3, 0, 1, 8, 1, 0},   {1, 64, 1000, 0, 1, 64, 31, 0},
        {1, 64, hi, 0, 1, 64, 31, 0}, {1, 64, lo, 0, 1, 64, 1, 0}, {0, 8, 1, 0, 1, 8, 1, 0},
        {-5, 8, 2, 0, 1, 8, 2, 0},    {hi, 1, 5, 0, 64, 1, 5, 0},  {60, 100, 3, 0, 60, 64, 3, 0},
        {lo, hi, 7, 0, 1, 64, 7, 0},  {1, 8, 1, 100, 1, 8, 1, 64}, {1, 8, 1, hi, 1, 8, 1, 64},
        {1, 8, 1, -7, 1, 8, 1, 0},
    };
    for (int mode = 0; mode <= 6; ++mode)
        for (const Row &row : rows) {
            Settings wired;
            wired.start = row.start;
            wired.end = row.end;
            wired.step = row.step;
            wired.reset = row.reset;
            wired.mode = mode;
            wired.seed = 0.5f;
            Settings listed = wired;
            listed.start = row.c_start;
            listed.end = row.c_end;
            listed.step = row.c_step;
            listed.reset = row.c_reset;
            SCOPED_TRACE(trace(wired));
            auto a = open_counter(wired);
            auto b = open_counter(listed);
            run_cycles(*a, 40);
            run_cycles(*b, 40);
            const std::vector<int> got = indices(*a);
            EXPECT_EQ(got, indices(*b));
            const int low = std::min(row.c_start, row.c_end) - 1;
            const int high = std::max(row.c_start, row.c_end) - 1;
            ASSERT_EQ(got.size(), 40u);
            for (int i : got)
                ASSERT_TRUE(i >= low && i <= high) << "index " << i;
        }
}
