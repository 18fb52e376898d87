// The RPN/NRPN sender's messages, byte for byte with their time stamps.
#include "cv_to_rpn_support.h"

#include <algorithm>
#include <cstring>

namespace {

using namespace cv_rpn_test;

float float_bits(uint32_t bits)
{
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// ---- a rising gate sends one complete message -------------------------------

struct RiseCase {
    const char *name;
    Settings settings;
    Lines expected; // all at the rise, clock 100
};

void PrintTo(const RiseCase &c, std::ostream *os)
{
    *os << c.name;
}

class CvToRpnGateRise : public ::testing::TestWithParam<RiseCase>
{};

TEST_P(CvToRpnGateRise, SendsOneCompleteMessage)
{
    const RiseCase &c = GetParam();
    auto dsp = make(c.settings);
    dsp->set_value("Gate", 1.0, 100);
    dsp->run(3000);
    EXPECT_EQ(midi_text(*dsp), c.expected);
}

Settings with(void (*edit)(Settings &))
{
    Settings s;
    edit(s);
    return s;
}

// Defaults of the table: List, RPN, channel "1", Parameter# 1, 14 bits, 5 V.
const RiseCase kRiseCases[] = {
    {"Rpn", Settings{}, {"100: B0 65 00", "100: B0 64 01", "100: B0 06 40", "100: B0 26 00"}},
    {"Nrpn",
     with([](Settings &s) { s.rpn = 1; }),
     {"100: B0 63 00", "100: B0 62 01", "100: B0 06 40", "100: B0 26 00"}},
    {"Channel16",
     with([](Settings &s) { s.channel = 15; }),
     {"100: BF 65 00", "100: BF 64 01", "100: BF 06 40", "100: BF 26 00"}},
    {"TenVolts",
     with([](Settings &s) { s.value = 1.0; }),
     {"100: B0 65 00", "100: B0 64 01", "100: B0 06 7F", "100: B0 26 7F"}},
    {"ZeroVolts",
     with([](Settings &s) { s.value = 0.0; }),
     {"100: B0 65 00", "100: B0 64 01", "100: B0 06 00", "100: B0 26 00"}},
    // 0.3 scales to 4915, 7 bits keep 4864: data entry 38 and 0.
    {"SevenBits",
     with([](Settings &s) {
         s.depth = 0;
         s.value = 0.3;
     }),
     {"100: B0 65 00", "100: B0 64 01", "100: B0 06 26", "100: B0 26 00"}},
    // 10 bits (the default) keep 4912 of 4915.
    {"TenBits",
     with([](Settings &s) {
         s.depth = 3;
         s.value = 0.3;
     }),
     {"100: B0 65 00", "100: B0 64 01", "100: B0 06 26", "100: B0 26 30"}},
    {"Parameter16383",
     with([](Settings &s) { s.parameter = 16383; }),
     {"100: B0 65 7F", "100: B0 64 7F", "100: B0 06 40", "100: B0 26 00"}},
    {"ListParameter300",
     with([](Settings &s) {
         s.parameter = 300;
         s.rpn = 1;
     }),
     {"100: B0 63 02", "100: B0 62 2C", "100: B0 06 40", "100: B0 26 00"}},
    // CV mode: Parameter# CV 0.5 gives 8192; the list entry is ignored.
    {"CvModeHalf",
     with([](Settings &s) {
         s.select = 1;
         s.parameter_cv = 0.5;
         s.parameter = 77;
     }),
     {"100: B0 65 40", "100: B0 64 00", "100: B0 06 40", "100: B0 26 00"}},
    {"CvModeTenVolts",
     with([](Settings &s) {
         s.select = 1;
         s.parameter_cv = 1.0;
     }),
     {"100: B0 65 7F", "100: B0 64 7F", "100: B0 06 40", "100: B0 26 00"}},
    // x * 16383 = 4096.49995..., whose nearest float is 4096.5: rounded
    // toward zero the product stays below the half, so V is 4096, not 4097.
    {"ProductRoundsTowardZero",
     with([](Settings &s) { s.value = float_bits(0x3E800600); }),
     {"100: B0 65 00", "100: B0 64 01", "100: B0 06 20", "100: B0 26 00"}},
};

INSTANTIATE_TEST_SUITE_P(Rises, CvToRpnGateRise, ::testing::ValuesIn(kRiseCases),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

// ---- gate not positive: nothing; then the rise uses the current settings ----

TEST(CvToRpnGate, LowGateSendsNothingAndTheRiseTakesCurrentSettings)
{
    auto dsp = make(Settings{});
    dsp->set_value("Value CV", 0.25, 100); // 4096
    dsp->set_value("Channel", 2, 150);
    dsp->set_value("Parameter#", 300, 200);
    dsp->set_value("RPN/NRPN", 1, 250);
    dsp->set_value("Gate", -1.0, 260); // negative is not positive either
    dsp->set_value("Value CV", 0.3, 270);
    dsp->run(300);
    EXPECT_TRUE(midi_text(*dsp).empty());

    dsp->set_value("Gate", 1.0, 400);
    dsp->run(2000);
    EXPECT_EQ(midi_text(*dsp),
              (Lines{"400: B2 63 02", "400: B2 62 2C", "400: B2 06 26", "400: B2 26 33"}));
}

// Gate sequences: only a step from 0 or below to above 0 is a rise; a
// not-a-number gate is neither positive nor counted as a rise.
struct GateCase {
    const char *name;
    std::vector<std::pair<uint32_t, double>> gate; // clock, sample
    std::vector<uint32_t> complete_at;
};

TEST(CvToRpnGate, OnlyARiseFromZeroOrBelowSendsACompleteMessage)
{
    const double nan = std::nan("");
    const GateCase cases[] = {
        {"RiseFallRise", {{100, 1.0}, {200, 0.0}, {300, 0.5}}, {100, 300}},
        {"StaysHigh", {{100, 1.0}, {200, 0.7}, {300, 1e-30}}, {100}},
        {"FromNegative", {{100, -0.5}, {200, 0.1}}, {200}},
        {"NanThenPositive",
         {{100, 1.0}, {200, nan}, {300, 1.0}, {400, 0.0}, {500, 1.0}},
         {100, 500}},
        {"NanIsNotPositive", {{100, nan}, {200, 0.0}}, {}},
    };
    for (const GateCase &c : cases) {
        SCOPED_TRACE(c.name);
        auto dsp = make(Settings{});
        for (const auto &[clock, sample] : c.gate)
            dsp->set_value("Gate", sample, clock);
        dsp->run(1000);
        Lines expected;
        for (uint32_t t : c.complete_at)
            for (const char *m : {"B0 65 00", "B0 64 01", "B0 06 40", "B0 26 00"})
                expected.push_back(std::to_string(t) + ": " + m);
        EXPECT_EQ(midi_text(*dsp), expected);
    }
}

// ---- value updates while the gate stays positive ---------------------------

TEST(CvToRpnValue, UpdatesSendOnlyWhatChanged)
{
    struct Step {
        uint32_t clock;
        int k; // new 14-bit value
        Lines expected;
    };
    // Changes 10 samples apart keep the Value CV "moving", so none of them
    // starts a complete message.
    const Step steps[] = {
        {110, 8193, {"110: B0 06 40", "110: B0 26 01"}}, // first update: MSB too
        {120, 8200, {"120: B0 26 08"}},                  // same top bits: LSB alone
        {130, 8200 + 1, {"130: B0 26 09"}},
        {140, 8320, {"140: B0 06 41", "140: B0 26 00"}}, // top bits changed
        {150, 8191, {"150: B0 06 3F", "150: B0 26 7F"}},
        {160, 8191, {}}, // the same sample: nothing
    };
    Settings s;
    s.value = cv(8192);
    auto dsp = make(s);
    dsp->set_value("Gate", 1.0, 100);
    dsp->run(101);
    EXPECT_EQ(midi_text(*dsp),
              (Lines{"100: B0 65 00", "100: B0 64 01", "100: B0 06 40", "100: B0 26 00"}));
    for (const Step &step : steps) {
        SCOPED_TRACE(step.clock);
        dsp->clear_requests();
        dsp->set_value("Value CV", cv(step.k), step.clock);
        dsp->run_until(step.clock + 1);
        EXPECT_EQ(midi_text(*dsp), step.expected);
    }
}

TEST(CvToRpnValue, RampAtSevenBitsSendsOnlyWhenTheTopBitsChange)
{
    Settings s;
    s.depth = 0;
    s.gate = 1.0;
    s.value = 0.0;
    auto dsp = make(s);
    // From clock 1024 on: 1, 2, 3, ... up to 300 in 14-bit steps, one per sample.
    dsp->set_source("Value CV", [](uint32_t clock) {
        return clock < 1024 ? 0.0f : cv(static_cast<int>(std::min<uint32_t>(clock - 1023, 300)));
    });
    dsp->run(4096);
    EXPECT_EQ(midi_text(*dsp),
              (Lines{"1024: B0 65 00", "1024: B0 64 01", "1024: B0 06 00", "1024: B0 26 00",
                     "1151: B0 06 01", "1151: B0 26 00", "1279: B0 06 02", "1279: B0 26 00"}));
}

// ---- a change of setting with the gate positive ------------------------------

TEST(CvToRpnSettings, ChangeWithGateHighSendsACompleteMessageAtOnce)
{
    struct Case {
        const char *name;
        int select;
        const char *pin;
        double value;
        Lines expected; // after the complete message at the rise
    };
    const Case cases[] = {
        {"Channel",
         0,
         "Channel",
         5,
         {"300: B5 65 00", "300: B5 64 01", "300: B5 06 40", "300: B5 26 01"}},
        {"RpnToNrpn",
         0,
         "RPN/NRPN",
         1,
         {"300: B0 63 00", "300: B0 62 01", "300: B0 06 40", "300: B0 26 01"}},
        {"ListParameter",
         0,
         "Parameter#",
         300,
         {"300: B0 65 02", "300: B0 64 2C", "300: B0 06 40", "300: B0 26 01"}},
        {"ParameterCv",
         1,
         "Parameter# CV",
         0.5,
         {"300: B0 65 40", "300: B0 64 00", "300: B0 06 40", "300: B0 26 01"}},
        // In CV mode the list entry is not the parameter number.
        {"ListParameterInCvMode", 1, "Parameter#", 300, {}},
        // Not a complete message: only the value changes (8193 -> 8192), and
        // the first update after a complete message sends the MSB too.
        {"BitDepth", 0, "Bit Depth", 0, {"300: B0 06 40", "300: B0 26 00"}},
        // The same value again: nothing.
        {"SameChannel", 0, "Channel", 0, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Settings s;
        s.select = c.select;
        s.value = cv(8193);
        auto dsp = make(s);
        dsp->set_value("Gate", 1.0, 100);
        dsp->run(200);
        ASSERT_EQ(midi_text(*dsp).size(), 4u);
        dsp->clear_requests();
        dsp->set_value(c.pin, c.value, 300);
        dsp->run(2000);
        EXPECT_EQ(midi_text(*dsp), c.expected);
    }
}

// ---- the activity rule --------------------------------------------------------

// The Value CV changes at 100 (with the gate rise); once it has held still
// for 11 samples (101..111) a change is the start of a new movement.
TEST(CvToRpnActivity, ChangeAfterElevenStillSamplesSendsACompleteMessage)
{
    struct Case {
        int depth;
        uint32_t change_at;
        Lines expected; // after the rise at 100
    };
    const Case cases[] = {
        // 7 bits: 8192 and 8193 quantise alike.
        {0, 111, {}},
        {0, 112, {"112: B0 65 00", "112: B0 64 01", "112: B0 06 40", "112: B0 26 00"}},
        {7, 111, {"111: B0 06 40", "111: B0 26 01"}},
        {7, 112, {"112: B0 65 00", "112: B0 64 01", "112: B0 06 40", "112: B0 26 01"}},
        {7, 500, {"500: B0 65 00", "500: B0 64 01", "500: B0 06 40", "500: B0 26 01"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "depth " << c.depth << " change at " << c.change_at);
        Settings s;
        s.depth = c.depth;
        s.value = cv(8192);
        auto dsp = make(s);
        dsp->set_value("Gate", 1.0, 100);
        dsp->set_value("Value CV", cv(8193), c.change_at);
        dsp->run(1000);
        Lines expected{"100: B0 65 00", "100: B0 64 01", "100: B0 06 40", "100: B0 26 00"};
        expected.insert(expected.end(), c.expected.begin(), c.expected.end());
        EXPECT_EQ(midi_text(*dsp), expected);
    }
}

// The Value CV's hold runs on while the gate is off: a change before the
// rise still counts, so a second change 11 samples after the first is part
// of the same movement and one 12 samples after starts a new one, wherever
// the rise falls and however the host splits the stretches.
TEST(CvToRpnActivity, HoldCountsOnWhileTheGateIsOff)
{
    const uint32_t c = 300; // first change, gate off
    const struct {
        uint32_t rise, second;
        bool complete;
    } cases[] = {
        {c + 1, c + 11, false}, {c + 1, c + 12, true},   {c + 5, c + 11, false},
        {c + 5, c + 12, true},  {c + 10, c + 11, false}, {c + 10, c + 12, true},
        {c + 11, c + 12, true}, {c + 40, c + 41, true},
    };
    const std::vector<int32_t> splits[] = {{}, {7}, {3, 13}, {1}};
    for (const auto &k : cases)
        for (const std::vector<int32_t> &split : splits) {
            SCOPED_TRACE(testing::Message() << "rise " << k.rise << " second change " << k.second
                                            << " split " << (split.empty() ? 0 : split[0]));
            Settings s;
            s.depth = 7;
            s.value = cv(8192);
            auto dsp = make(s);
            if (!split.empty())
                dsp->split_lengths(split);
            dsp->set_value("Value CV", cv(8193), c);
            dsp->set_value("Gate", 1.0, k.rise);
            dsp->set_value("Value CV", cv(8194), k.second);
            dsp->run(1000);
            const std::string r = std::to_string(k.rise) + ": ",
                              t = std::to_string(k.second) + ": ";
            Lines expected{r + "B0 65 00", r + "B0 64 01", r + "B0 06 40", r + "B0 26 01"};
            if (k.complete)
                expected.insert(expected.end(),
                                {t + "B0 65 00", t + "B0 64 01", t + "B0 06 40", t + "B0 26 02"});
            else // the data entry MSB is resent once after a complete message
                expected.insert(expected.end(), {t + "B0 06 40", t + "B0 26 02"});
            EXPECT_EQ(midi_text(*dsp), expected);
        }
}

// With the gate open all along, a change of the Value CV 11 samples after
// the last one is part of the same movement and one 12 or more after starts
// a new one, wherever the changes fall among the samples the loop tests
// together.  A movement starts at 300 (alone, or with a second change 3
// samples later) and the last change follows `gap` samples after.  The
// Value CV comes from a source, so the changes do not start stretches; an
// event a few samples before 300 wakes the module and starts the stretch
// there.  At 7 bits the values quantise alike: only a new movement sends.
TEST(CvToRpnActivity, NewMovementIsFoundWhereverTheChangesFall)
{
    const uint32_t first = 300;
    for (uint32_t wake : {1u, 2u, 5u, 8u, 9u})
        for (uint32_t again : {0u, 3u})
            for (uint32_t gap : {1u, 6u, 10u, 11u, 12u, 13u, 19u}) {
                const uint32_t last = first + again + gap;
                SCOPED_TRACE(testing::Message() << "woken " << wake << " before, again " << again
                                                << ", last change " << last);
                Settings s;
                s.depth = 0;
                s.value = cv(8192);
                auto dsp = make(s);
                dsp->set_value("Gate", 1.0, 100);
                dsp->set_value("Channel", 0, first - wake);
                dsp->set_source("Value CV", [=](uint32_t t) {
                    return t >= last                     ? cv(8194)
                           : again && t >= first + again ? cv(8195)
                           : t >= first                  ? cv(8193)
                                                         : cv(8192);
                });
                dsp->run(1000);
                Lines expected;
                for (uint32_t at : {100u, first, last}) {
                    if (at == last && gap < 12)
                        continue;
                    const std::string t = std::to_string(at) + ": ";
                    expected.insert(expected.end(), {t + "B0 65 00", t + "B0 64 01", t + "B0 06 40",
                                                     t + "B0 26 00"});
                }
                EXPECT_EQ(midi_text(*dsp), expected);
            }
}

// With the gate open all along, a short spell of it off (0, negative or
// not-a-number samples) wherever it falls among the samples the loop tests
// together: the first open sample after a 0 or negative one is a rise and
// sends a complete message; one after a not-a-number sample is none.  Both
// inputs come from sources, so the spells do not start stretches.
TEST(CvToRpnGate, ShortSpellsOffSendAtTheRiseWhereverTheyFall)
{
    const struct {
        const char *spell; // per sample: 0, - (negative) or n (not-a-number)
        bool rise;
    } cases[] = {
        {"0", true},  {"-", true},   {"000", true}, {"00000000", true}, {"000000000", true},
        {"n", false}, {"0n", false}, {"n0", true},  {"0-0n0", true},    {"nnnnnnnnn", false},
    };
    const uint32_t first = 300;
    for (const auto &c : cases)
        for (uint32_t offset = 0; offset < 9; ++offset)
            for (int step : {0, 128}) {
                const std::string spell = c.spell;
                const uint32_t from = first + offset,
                               end = from + static_cast<uint32_t>(spell.size());
                SCOPED_TRACE(testing::Message()
                             << "spell " << spell << " at " << from << ", value step " << step);
                Settings s;
                s.depth = 0;
                auto dsp = make(s);
                // Moving all along (so the module never sleeps and no movement
                // starts), on the 7-bit value 64, or from the spell on 65: the
                // sample after a not-a-number gate has the value of the one
                // before it, and sends nothing.
                dsp->set_source("Value CV", [=](uint32_t t) {
                    return cv((t >= from ? 8192 + step : 8192) + static_cast<int>(t & 1));
                });
                dsp->set_value("Channel", 0, 50); // wakes the module
                dsp->set_source("Gate", [=](uint32_t t) {
                    if (t < 100)
                        return 0.0f;
                    if (t < from || t >= end)
                        return 1.0f;
                    const char k = spell[t - from];
                    return k == '0' ? 0.0f : k == '-' ? -0.5f : std::nanf("");
                });
                dsp->run(1000);
                Lines expected;
                for (uint32_t at : {100u, end}) {
                    if (at == end && !c.rise)
                        continue;
                    const std::string t = std::to_string(at) + ": ";
                    expected.insert(expected.end(),
                                    {t + "B0 65 00", t + "B0 64 01",
                                     t + (at == end && step ? "B0 06 41" : "B0 06 40"),
                                     t + "B0 26 00"});
                }
                EXPECT_EQ(midi_text(*dsp), expected);
            }
}

// A gate flipping off and on every sample (each on sample a rise) while the
// Value CV changes within one quantised value: the change among the rises
// still counts for the movement, so a change 12 or more samples after it
// starts a new movement and sends, one 11 or fewer after does not.  Where
// the first change meets an open gate it starts a movement and sends; on a
// closed one it sends nothing.  Both inputs come from sources (no
// stretches start at their changes); events at 50 and 290 wake the module.
TEST(CvToRpnGate, AChangeAmongRisesCountsForTheMovement)
{
    for (uint32_t offset = 0; offset < 9; ++offset)
        for (uint32_t into : {1u, 2u, 5u, 8u, 11u})
            for (uint32_t gap : {6u, 11u, 12u, 13u, 19u}) {
                const uint32_t from = 300 + offset, change = from + into, last = change + gap;
                SCOPED_TRACE(testing::Message() << "flips from " << from << ", change at " << change
                                                << ", again at " << last);
                auto gate = [=](uint32_t t) {
                    const bool flipping = t >= from && t < from + 16;
                    return t < 100 || (flipping && (t - from) % 2 == 0) ? 0.0f : 1.0f;
                };
                Settings s;
                s.depth = 0;
                auto dsp = make(s);
                dsp->set_value("Channel", 0, 50);
                dsp->set_value("Channel", 0, 290);
                dsp->set_source("Gate", gate);
                dsp->set_source("Value CV", [=](uint32_t t) {
                    return cv(t >= last ? 8194 : t >= change ? 8193 : 8192);
                });
                dsp->run(1000);
                Lines expected;
                for (uint32_t t = 100; t < 1000; ++t) {
                    const bool open = gate(t) > 0.0f;
                    const bool rise = open && !(gate(t - 1) > 0.0f);
                    if (rise || (open && (t == change || (t == last && gap >= 12)))) {
                        const std::string at = std::to_string(t) + ": ";
                        expected.insert(expected.end(), {at + "B0 65 00", at + "B0 64 01",
                                                         at + "B0 06 40", at + "B0 26 00"});
                    }
                }
                EXPECT_EQ(midi_text(*dsp), expected);
            }
}

// A rise in the middle of updates at 14 bits: after its complete message the
// next update sends the data entry MSB again, even where it equals the one
// sent alone before the rise.  The Value CV moves by one float step every
// sample (the module stays awake, no movement starts, the quantised value
// holds between the steps at 200 and 400).
TEST(CvToRpnGate, UpdateAfterARiseSendsTheMsbAgain)
{
    Settings s;
    s.depth = 7;
    auto dsp = make(s);
    dsp->set_value("Channel", 0, 50); // wakes the module
    dsp->set_source("Value CV", [](uint32_t t) {
        const float v = cv(t >= 400 ? 8326 : t >= 200 ? 8325 : 8192);
        return (t & 1) ? std::nextafterf(v, 2.0f) : v;
    });
    dsp->set_source("Gate", [](uint32_t t) { return t < 100 || t == 300 ? 0.0f : 1.0f; });
    dsp->run(1000);
    const Lines expected{"100: B0 65 00", "100: B0 64 01", "100: B0 06 40", "100: B0 26 00",
                         "200: B0 06 41", "200: B0 26 05", "301: B0 65 00", "301: B0 64 01",
                         "301: B0 06 41", "301: B0 26 05", "400: B0 06 41", "400: B0 26 06"};
    EXPECT_EQ(midi_text(*dsp), expected);
}

// ---- clock 0 and the select mode ---------------------------------------------

TEST(CvToRpnClockZero, StretchAtClockZeroSendsNothingAndAsksNoSleep)
{
    struct Case {
        std::vector<int32_t> split; // empty: whole blocks
        uint32_t first;
    };
    for (const Case &c : {Case{{}, 1024}, Case{{10}, 10}, Case{{1}, 1}}) {
        SCOPED_TRACE(c.first);
        Settings s;
        s.gate = 1.0;
        s.value = 0.0; // still: the module sleeps after its first real stretch
        auto dsp = make(s);
        if (!c.split.empty())
            dsp->split_lengths(c.split);
        dsp->run(3000);
        const std::string t = std::to_string(c.first) + ": ";
        EXPECT_EQ(midi_text(*dsp),
                  (Lines{t + "B0 65 00", t + "B0 64 01", t + "B0 06 00", t + "B0 26 00"}));
        const std::vector<uint32_t> sleeps = dsp->sleeps();
        ASSERT_FALSE(sleeps.empty());
        EXPECT_EQ(sleeps.front(), c.first);
    }
}

TEST(CvToRpnSelectMode, UnknownModeSendsNothingAndAsksNoSleep)
{
    for (int mode : {2, 3, -1, 100}) {
        SCOPED_TRACE(mode);
        Settings s;
        s.select = mode;
        s.gate = 1.0;
        auto dsp = make(s);
        dsp->set_value("Value CV", 0.7, 2000);
        dsp->set_value("Gate", 0.0, 2100);
        dsp->set_value("Gate", 1.0, 2200);
        dsp->run(4096);
        EXPECT_TRUE(midi_text(*dsp).empty());
        EXPECT_TRUE(dsp->sleeps().empty());
        EXPECT_GE(dsp->process_calls(), 4u);
        EXPECT_FALSE(dsp->asleep());
    }
}

} // namespace
