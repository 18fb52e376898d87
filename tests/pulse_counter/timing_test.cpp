// pulse_counter: time stamps of the sends (humanise and shift delay), the
// two generators and their reseeding from "Random Seed (ratio)".
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "pulse_counter_support.h"

using namespace pc;

namespace {

const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const uint32_t kMaxDelay = 2147483647u; // the bound on a delay, in samples

std::string text(float f)
{
    return std::to_string(f);
}

// Delay of every send: its stamp minus the clock of its cycle.
std::vector<uint32_t> delays(const sehost::DspInstance &dsp)
{
    std::vector<uint32_t> out;
    uint32_t k = 0;
    for (const Send &s : sends(dsp))
        out.push_back(s.stamp - cycle_clock(k++));
    return out;
}

// A host that announces only the pins it drives: the counter's settings,
// its input and Active, not the seed and timing inputs.  The generators
// then keep the words open gives them, which a start-up that announces every
// pin (as the reference host's does) replaces with the default seed's.
class BareHost
{
public:
    static constexpr int32_t kBlock = 64;

    BareHost(int mode, float humanise) : m_humanise(humanise)
    {
        auto make = library()->make_module_fn();
        m_plug = static_cast<PlugRecord *>(make(0, SE_MAKE_DSP, &BareHost::callback, this));
        if (m_plug == nullptr)
            return;
        for (int32_t pin = 0; pin < kPins; ++pin) {
            SEPinProperties p{};
            m_plug->dispatch(m_plug, MOD_GET_PIN_PROPERTIES, pin, 0, &p, 0.0f);
            m_variables[pin] = p.variable_address;
        }
        m_plug->dispatch(m_plug, MOD_SET_SAMPLE_RATE, 0, 0, nullptr, 44100.0f);
        m_plug->dispatch(m_plug, MOD_SET_BLOCK_SIZE, 0, kBlock, nullptr, 0.0f);
        m_plug->dispatch(m_plug, MOD_OPEN, 0, 0, nullptr, 0.0f);
        for (int32_t pin : {kIn, kSeed, kHumanise, kShift}) {
            m_buffers[pin].assign(kBlock, 0.0f);
            float *address = m_buffers[pin].data();
            std::memcpy(m_variables[pin], &address, sizeof address);
        }
        const int16_t values[] = {1, 8, 1, static_cast<int16_t>(mode), 0, 0, 1};
        for (int32_t pin = kStart; pin <= kActive; ++pin)
            if (pin != kOut)
                std::memcpy(m_variables[pin], &values[pin - 1], sizeof(int16_t));
        for (int32_t pin = kIn; pin <= kActive; ++pin) {
            if (pin == kOut)
                continue;
            TimedEvent e{0, EV_PIN_STATUS, pin == kIn ? STATUS_STREAMING : STATUS_STILL, 0, pin, 0};
            m_plug->event(m_plug->object, &e);
        }
    }

    ~BareHost()
    {
        if (m_plug != nullptr)
            m_plug->dispatch(m_plug, MOD_CLOSE, 0, 0, nullptr, 0.0f);
    }

    bool opened() const { return m_plug != nullptr; }

    void run_blocks(int blocks)
    {
        for (int b = 0; b < blocks; ++b) {
            for (int32_t i = 0; i < kBlock; ++i) {
                m_buffers[kIn][i] = pulses(m_clock + static_cast<uint32_t>(i));
                m_buffers[kHumanise][i] = m_humanise;
            }
            m_plug->process(m_plug->object, 0, kBlock);
            m_clock += kBlock;
        }
    }

    std::vector<Send> sends;

private:
    static constexpr int32_t kPins = 11;

    static se_result SE_CALL callback(void *plug, int32_t op, int32_t index, int32_t, void *ptr,
                                      float)
    {
        auto *self = static_cast<BareHost *>(static_cast<PlugRecord *>(plug)->host_data);
        switch (op) {
        case HOST_GET_PIN_COUNT:
            return kPins;
        case HOST_GET_SAMPLE_CLOCK:
        case HOST_GET_BUFFER_START:
            return static_cast<se_result>(self->m_clock);
        case HOST_SET_PIN_STATUS: {
            int16_t value = 0;
            std::memcpy(&value, self->m_variables[index], sizeof value);
            self->sends.push_back({SE_POINTER_TO_CLOCK(ptr), value});
            return 0;
        }
        default:
            return 0;
        }
    }

    PlugRecord *m_plug = nullptr;
    std::array<void *, kPins> m_variables{};
    std::array<std::vector<float>, kPins> m_buffers;
    float m_humanise;
    uint32_t m_clock = 0;
};

} // namespace

// From the state open sets: Random over 1..8 sends 7 6 4 1 1 5, and the
// timing generator's first draw is u = 0.8390707... (new words 0x56CD5677,
// 0xCCFFAA88), whose successors give the later delays.
TEST(PulseCounterGenerators, OpenState)
{
    BareHost random(kRandom, 0.0f);
    ASSERT_TRUE(random.opened());
    random.run_blocks(2);
    std::vector<int> got;
    for (const Send &s : random.sends)
        got.push_back(s.index);
    ASSERT_GE(got.size(), 6u);
    got.resize(6);
    EXPECT_EQ(got, (std::vector<int>{7, 6, 4, 1, 1, 5}));

    // Humanise 10^5 ms: D = round(u * 4410000) tells u to 7 digits.
    const std::vector<uint32_t> expected = {3700302, 1946624, 3793276, 330850};
    BareHost timing(kForward, 10000.0f);
    ASSERT_TRUE(timing.opened());
    timing.run_blocks(4);
    ASSERT_EQ(timing.sends.size(), 16u);
    for (size_t k = 0; k < timing.sends.size(); ++k)
        EXPECT_EQ(timing.sends[k].stamp - cycle_clock(static_cast<uint32_t>(k)), expected[k / 4])
            << "send " << k;
}

// Reseeding: each word is the low 32 bits of trunc(constant * seed), the
// product exact (for 123456784 a double product loses the low bits).  The
// reference host reseeds at start-up with the default (1.0 V, sample 0.1).
TEST(PulseCounterGenerators, ReseedFromTheSeedSample)
{
    struct Row {
        std::optional<float> seed;
        std::vector<int> random; // Random over 1..8
    };
    const Row rows[] = {
        {std::nullopt, {5, 6, 2, 1, 4, 0, 6, 3}},
        {1.0f, {1, 2, 2, 4, 5, 5, 0, 6}},
        // A double product drops 0x10 from the first word: the sequence
        // parts from the 15th index on.
        {123456784.0f, {6, 3, 6, 1, 5, 2, 4, 0, 6, 3, 6, 0, 4, 1, 1, 6, 6, 3, 6, 6}},
        {-3.5f, {7, 6, 3, 5, 0, 7, 4, 1}},
        {0.7f, {5, 3, 5, 1, 7, 5, 2, 4}},
        {2.0e9f, {5, 6, 2, 6, 4, 3, 4, 6}},
        {0.0f, {4, 4, 4, 4, 4, 4, 4, 4}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.seed ? text(*row.seed) : std::string("default"));
        Settings s;
        s.mode = kRandom;
        s.seed = row.seed;
        auto dsp = open_counter(s);
        const uint32_t n = static_cast<uint32_t>(row.random.size());
        run_cycles(*dsp, n);
        EXPECT_EQ(indices(*dsp), row.random);

        // A seed change later restarts the same sequence.
        dsp->set_value(kSeed, row.seed.value_or(0.1f), dsp->clock() + 3);
        run_cycles(*dsp, n);
        const std::vector<int> all = indices(*dsp);
        ASSERT_EQ(all.size(), 2 * n);
        EXPECT_EQ(std::vector<int>(all.begin() + n, all.end()), row.random);
    }
}

// The timing words follow the seed too: seed 1.0 gives 0x89CDAC00 and
// 0x45320180, seed 123456784 gives 0x7396C000 and 0x66D39800.  Every cycle
// of one process call shares the call's delay.
TEST(PulseCounterTiming, HumaniseDrawsOncePerCall)
{
    struct Row {
        float seed, humanise, shift;
        std::array<uint32_t, 4> per_call;
    };
    const Row rows[] = {
        {1.0f, 1.0f, 0.0f, {370, 195, 379, 33}},
        {1.0f, 10000.0f, 0.0f, {3700303, 1946622, 3793277, 330856}},
        {1.0f, 1.0f, 0.5f, {591, 415, 600, 254}},
        {1.0f, -1.0f, -0.5f, {591, 415, 600, 254}}, // the total counts as positive
        {123456784.0f, 10000.0f, 0.0f, {152623, 2867506, 1694760, 3237439}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE("seed " + text(row.seed) + " h " + text(row.humanise) + " s " +
                     text(row.shift));
        Settings s;
        s.seed = row.seed;
        s.humanise = row.humanise;
        s.shift = row.shift;
        auto dsp = open_counter(s);
        dsp->run(4 * 64);
        const std::vector<uint32_t> got = delays(*dsp);
        ASSERT_EQ(got.size(), 16u);
        for (size_t k = 0; k < got.size(); ++k)
            EXPECT_EQ(got[k], row.per_call[k / 4]) << "send " << k;
    }
    // A call that counts no cycle draws nothing: after three quiet calls the
    // first sends carry the first draws all the same.
    Settings s;
    s.seed = 1.0f;
    s.humanise = 1.0f;
    auto dsp = open_counter(s, [](uint32_t c) { return c < 3 * 64 ? 0.0f : pulses(c); });
    dsp->run(5 * 64);
    const std::vector<Send> got = sends(*dsp);
    ASSERT_EQ(got.size(), 8u);
    EXPECT_EQ(got[0].stamp - (3 * 64 + cycle_clock(0)), 370u);
    EXPECT_EQ(got[4].stamp - (4 * 64 + cycle_clock(0)), 195u);
}

// The fixed delay, and timing samples that are not a number, infinite or
// huge: NaN counts as 0, everything else ends at a bound, never before the
// cycle.
TEST(PulseCounterTiming, ShiftAndBoundedDelays)
{
    struct Row {
        float humanise, shift;
        uint32_t delay;
    };
    const Row rows[] = {
        {0.0f, 1.0f, 441}, // 10 ms at 44100 Hz
        {0.0f, -1.0f, 441},
        {0.0f, 0.5f, 220}, // 220.5: ties to even
        {0.0f, 1.5f, 662}, // 661.5
        {0.0f, 0.0f, 0},
        {0.0f, kNaN, 0},
        {kNaN, 1.0f, 441},
        {kNaN, kNaN, 0},
        {0.0f, kInf, kMaxDelay},
        {0.0f, -kInf, kMaxDelay},
        {0.0f, 1.0e30f, kMaxDelay},
        {kInf, 0.0f, kMaxDelay},
        {-1.0e30f, 0.0f, kMaxDelay},
        {kInf, -kInf, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE("h " + text(row.humanise) + " s " + text(row.shift));
        Settings s;
        s.seed = 1.0f;
        s.humanise = row.humanise;
        s.shift = row.shift;
        auto dsp = open_counter(s);
        dsp->run(3 * 64);
        const std::vector<uint32_t> got = delays(*dsp);
        EXPECT_EQ(got, std::vector<uint32_t>(12, row.delay));
    }
}

// Seeds whose products are not a number, infinite or outside 64 bits give a
// defined state: equal seeds, equal sequences, indices inside the range.
// Not-a-number counts as 0.
TEST(PulseCounterMends, UnusualSeeds)
{
    const float seeds[] = {kNaN,    kInf,          -kInf,
                           1.0e30f, -1.0e30f,      3.0e9f,
                           -3.0e9f, from_bits(1u), from_bits(0x80000001u)};
    Settings zero;
    zero.mode = kRandom;
    zero.seed = 0.0f;
    auto reference = open_counter(zero);
    run_cycles(*reference, 12);

    for (float seed : seeds) {
        SCOPED_TRACE("seed " + text(seed));
        Settings s;
        s.mode = kRandom;
        s.seed = seed;
        s.humanise = 1.0f;
        auto a = open_counter(s);
        auto b = open_counter(s);
        a->run(12 * kPeriod);
        b->run(12 * kPeriod);
        const std::vector<Send> got = sends(*a);
        ASSERT_EQ(got.size(), 12u);
        EXPECT_EQ(indices(*a), indices(*b));
        for (size_t k = 0; k < got.size(); ++k) {
            EXPECT_TRUE(got[k].index >= 0 && got[k].index <= 7) << "index " << got[k].index;
            EXPECT_LE(got[k].stamp - cycle_clock(static_cast<uint32_t>(k)), 441u);
        }
        if (std::isnan(seed)) {
            EXPECT_EQ(indices(*a), indices(*reference));
        }
    }
}
