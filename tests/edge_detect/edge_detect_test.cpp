// edge_detect through the reference host: every detect/pulse pair on short
// input sequences compared by bit pattern, shared state across mode
// changes, the level read once per call, announcements and the sleep rule.
#include <algorithm>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "float_bits.h"
#include "plugin_library.h"
#include "text_lines.h"
#include "sehost/sehost.h"

namespace {

using sehost::DspInstance;
using sehost::HostConfig;
using sehost::Library;

constexpr uint32_t kSignBit = 0x80000000u;

using se_test::bits;

using se_test::from_bits;

const float kMinusZero = from_bits(0x80000000u);
const float kPlusNaN = from_bits(0x7FC00000u);
const float kMinusNaN = from_bits(0xFFC00000u);
const float kTinyPositive = from_bits(0x00000001u); // smallest denormal

std::shared_ptr<sehost::Library> library()
{
    return se_test::plugin_library("edge_detect");
}

// Output expected in units of the level: +1 = L, -1 = -L (L with its sign
// bit flipped), 0 = +0.0.
uint32_t expected_bits(int unit, float level)
{
    if (unit == 0)
        return 0u;
    return unit > 0 ? bits(level) : bits(level) ^ kSignBit;
}

std::string show(const std::vector<uint32_t> &v)
{
    std::ostringstream s;
    s << std::hex;
    for (uint32_t b : v)
        s << "0x" << b << ' ';
    return s.str();
}

enum Detect { ZeroX = 0, LeadX = 1 };
enum Pulse { PosVe = 0, Bipolar = 1, Sqr = 2, SqrPlus0 = 3, Sqr2 = 4 };

struct SequenceCase {
    const char *what;
    int detect;
    int pulse;
    std::vector<float> input;
    std::vector<int> expected; // in units of L
};

const std::vector<SequenceCase> kSequences = {
    // ZeroX +Ve: the first sample after open pulses whatever its sign.
    {"zerox +ve after a positive sample", ZeroX, PosVe, {1, 1, 1, -1, -1, 1}, {1, 0, 0, 1, 0, 1}},
    {"zerox +ve first sample negative", ZeroX, PosVe, {-1, -1, 1}, {1, 0, 1}},
    {"zerox +ve: a crossing at +0 is silent", ZeroX, PosVe, {-1, +0.0f, 1}, {1, 0, 0}},
    {"zerox +ve: -0 keeps the sign, +1 pulses", ZeroX, PosVe, {-1, kMinusZero, 1}, {1, 0, 1}},
    {"zerox +ve: sign bit of NaNs and denormals",
     ZeroX,
     PosVe,
     {kTinyPositive, kMinusNaN, kPlusNaN, -kTinyPositive},
     {1, 1, 1, 1}},
    {"zerox +ve/-ve after a positive sample",
     ZeroX,
     Bipolar,
     {1, 1, 1, -1, -1, 1},
     {1, 0, 0, -1, 0, 1}},
    {"zerox +ve/-ve first sample negative", ZeroX, Bipolar, {-1, 1, -1}, {-1, 1, -1}},
    {"zerox +ve/-ve: -0 then +1",
     ZeroX,
     Bipolar,
     {-1, kMinusZero, 1, +0.0f, -1},
     {-1, 0, 1, 0, -1}},
    {"zerox sqr",
     ZeroX,
     Sqr,
     {0.5f, +0.0f, -0.5f, kMinusZero, kPlusNaN, kMinusNaN},
     {1, -1, -1, -1, 1, -1}},
    {"zerox sqr2 equals sqr",
     ZeroX,
     Sqr2,
     {0.5f, +0.0f, -0.5f, kMinusZero, kPlusNaN, kMinusNaN},
     {1, -1, -1, -1, 1, -1}},
    {"zerox sqr+0",
     ZeroX,
     SqrPlus0,
     {0.5f, +0.0f, -0.5f, kMinusZero, kTinyPositive, kMinusNaN},
     {1, 0, -1, 0, 1, -1}},
    {"leadx +ve", LeadX, PosVe, {-1, 1, 1, -1, 1}, {0, 1, 0, 0, 1}},
    {"leadx +ve: first positive sample pulses", LeadX, PosVe, {1, 1, 0.0f, 1}, {1, 0, 0, 1}},
    {"leadx +ve: -0 and NaN",
     LeadX,
     PosVe,
     {kMinusZero, kPlusNaN, kMinusNaN, kTinyPositive},
     {0, 1, 0, 1}},
    {"leadx +ve/-ve alternates, +L first",
     LeadX,
     Bipolar,
     {1, -1, 1, 1, 0.0f, 1, -1, 1},
     {1, 0, -1, 0, 0, 1, 0, -1}},
    {"leadx sqr", LeadX, Sqr, {0.5f, +0.0f, -0.5f, kMinusZero, 1}, {1, 0, 0, 0, 1}},
    {"leadx sqr+0 equals sqr",
     LeadX,
     SqrPlus0,
     {0.5f, +0.0f, -0.5f, kMinusZero, 1},
     {1, 0, 0, 0, 1}},
    {"leadx sqr2 divides by two", LeadX, Sqr2, {-1, 1, -1, 1, -1}, {-1, 1, 1, -1, -1}},
    {"leadx sqr2 first sample positive", LeadX, Sqr2, {1, 1, 0.0f, 1, 1}, {1, 1, 1, -1, -1}},
};

// Opens the module with both modes set and the input fed by `input`
// (indexed by clock; 0 past its end), level constant.
std::unique_ptr<DspInstance> make(int detect, int pulse, float level, std::vector<float> input,
                                  HostConfig config = {})
{
    auto dsp = std::make_unique<DspInstance>(library(), config);
    dsp->set_value("Detect Mode", detect);
    dsp->set_value("Pulse Mode", pulse);
    dsp->set_value("Pulse Level", level);
    dsp->set_source("Audio In",
                    [input](uint32_t clock) { return clock < input.size() ? input[clock] : 0.0f; });
    dsp->open();
    return dsp;
}

std::vector<uint32_t> output_bits(DspInstance &dsp, uint32_t from, size_t n)
{
    const float *out = dsp.output("Pulse Out");
    std::vector<uint32_t> result;
    for (size_t i = 0; i < n; ++i)
        result.push_back(bits(out[from + i]));
    return result;
}

TEST(EdgeDetect, EverySequenceForPositiveAndNegativeLevels)
{
    for (float level : {1.0f, 0.5f, -1.0f, -0.25f}) {
        for (const SequenceCase &c : kSequences) {
            SCOPED_TRACE(std::string(c.what) + ", level " + std::to_string(level));
            auto dsp = make(c.detect, c.pulse, level, c.input);
            dsp->run(static_cast<uint32_t>(c.input.size()));
            std::vector<uint32_t> want;
            for (int unit : c.expected)
                want.push_back(expected_bits(unit, level));
            const std::vector<uint32_t> got = output_bits(*dsp, 0, c.input.size());
            EXPECT_EQ(got, want) << "got " << show(got) << "\nwant " << show(want);
        }
    }
}

// The same sequences cut into calls of one and two samples: the state
// carries over from call to call.
TEST(EdgeDetect, StateCarriesAcrossCalls)
{
    for (const SequenceCase &c : kSequences) {
        SCOPED_TRACE(c.what);
        auto dsp = make(c.detect, c.pulse, 0.5f, c.input);
        dsp->split_lengths({1, 2});
        dsp->run(static_cast<uint32_t>(c.input.size()));
        std::vector<uint32_t> want;
        for (int unit : c.expected)
            want.push_back(expected_bits(unit, 0.5f));
        EXPECT_EQ(output_bits(*dsp, 0, c.input.size()), want);
    }
}

TEST(EdgeDetect, LevelIsReadOnceAtTheFirstSampleOfEachCall)
{
    // ZeroX Sqr: the output is +-L every sample, so it shows the level used.
    auto dsp = std::make_unique<DspInstance>(library());
    dsp->set_value("Detect Mode", ZeroX);
    dsp->set_value("Pulse Mode", Sqr);
    dsp->set_source("Pulse Level", [](uint32_t clock) { return clock < 3 ? 0.5f : 0.75f; });
    dsp->set_source("Audio In", [](uint32_t clock) { return clock % 2 == 0 ? 1.0f : -1.0f; });
    dsp->open();
    dsp->split_lengths({6, 4});
    dsp->run(10);
    const float *out = dsp->output("Pulse Out");
    const std::vector<float> want = {0.5f,  -0.5f, 0.5f,   -0.5f, 0.5f,
                                     -0.5f, 0.75f, -0.75f, 0.75f, -0.75f};
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_EQ(bits(out[i]), bits(want[i])) << "sample " << i;
}

// Abnormal levels come out as bits: L is L's own pattern and -L the pattern
// with its sign bit flipped, so a signalling not-a-number stays signalling.
// Only the product m_sign x L of LeadX +Ve/-Ve and Sqr2 is arithmetic: a
// not-a-number level comes out of it quiet and with its own sign, as from
// any multiplication.  The level is written into the buffer as bits (a
// value passed as a double would already be quiet).
TEST(EdgeDetect, AbnormalLevelsAreBitExact)
{
    const uint32_t levels[] = {0x00000001u, 0x807FFFFFu, 0x7F800000u, 0xFF800000u, 0x7FC00000u,
                               0xFFC00123u, 0x7F800001u, 0xFF8A0000u, 0x7F7FFFFFu, 0x80000000u};
    for (uint32_t level_bits : levels) {
        const bool nan = (level_bits & ~kSignBit) > 0x7F800000u;
        for (const SequenceCase &c : kSequences) {
            SCOPED_TRACE(std::string(c.what) + ", level " + show({level_bits}));
            auto dsp = make(c.detect, c.pulse, 1.0f, c.input);
            float *buffer = dsp->input("Pulse Level");
            for (int32_t k = 0; k < dsp->config().block_size; ++k)
                std::memcpy(buffer + k, &level_bits, sizeof level_bits);
            dsp->run(static_cast<uint32_t>(c.input.size()));
            const bool product = c.detect == LeadX && (c.pulse == Bipolar || c.pulse == Sqr2);
            std::vector<uint32_t> want;
            for (int unit : c.expected)
                want.push_back(unit == 0        ? 0u
                               : product && nan ? level_bits | 0x00400000u
                               : unit > 0       ? level_bits
                                                : level_bits ^ kSignBit);
            const std::vector<uint32_t> got = output_bits(*dsp, 0, c.input.size());
            EXPECT_EQ(got, want) << "got " << show(got) << "\nwant " << show(want);
        }
    }
}

// A mode change hands the next function whatever edge state and sign the
// previous one left.
struct ModeChangeCase {
    const char *what;
    int detect_before, pulse_before;
    std::vector<float> before;
    int detect_after, pulse_after;
    std::vector<float> after;
    std::vector<int> expected_after;
};

const std::vector<ModeChangeCase> kModeChanges = {
    {"negative last ZeroX sample reads as not positive in LeadX",
     ZeroX,
     PosVe,
     {1, -1},
     LeadX,
     PosVe,
     {1},
     {1}},
    {"positive last ZeroX sample reads as positive in LeadX",
     ZeroX,
     PosVe,
     {-1, 1},
     LeadX,
     PosVe,
     {1},
     {0}},
    {"LeadX flag 1 differs from both signs in ZeroX", LeadX, PosVe, {-1}, ZeroX, PosVe, {-1}, {1}},
    {"LeadX flag 0 reads as a positive sign in ZeroX",
     LeadX,
     PosVe,
     {1},
     ZeroX,
     PosVe,
     {1, -1},
     {0, 1}},
    {"sign shared from +ve/-ve into sqr2",
     LeadX,
     Bipolar,
     {-1, 1},
     LeadX,
     Sqr2,
     {-1, 1, -1},
     {1, -1, -1}},
    {"sign shared from sqr2 into +ve/-ve",
     LeadX,
     Sqr2,
     {-1, 1, -1},
     LeadX,
     Bipolar,
     {1, -1, 1},
     {-1, 0, 1}},
};

TEST(EdgeDetect, EdgeStateAndSignAreSharedAcrossModeChanges)
{
    for (const ModeChangeCase &c : kModeChanges) {
        SCOPED_TRACE(c.what);
        std::vector<float> input = c.before;
        input.insert(input.end(), c.after.begin(), c.after.end());
        auto dsp = make(c.detect_before, c.pulse_before, 1.0f, input);
        const uint32_t at = static_cast<uint32_t>(c.before.size());
        dsp->set_value("Detect Mode", c.detect_after, at);
        dsp->set_value("Pulse Mode", c.pulse_after, at);
        dsp->run(static_cast<uint32_t>(input.size()));
        std::vector<uint32_t> want;
        for (int unit : c.expected_after)
            want.push_back(expected_bits(unit, 1.0f));
        EXPECT_EQ(output_bits(*dsp, at, c.after.size()), want);
    }
}

// Each pair makes its own function current; a pulse mode outside the list
// installs nothing and the function in place keeps running.
TEST(EdgeDetect, ProcessFunctionsFollowTheModePins)
{
    HostConfig config;
    auto dsp = std::make_unique<DspInstance>(library(), config);
    dsp->set_value("Detect Mode", ZeroX);
    dsp->set_value("Pulse Mode", 7);
    dsp->set_source("Audio In", [](uint32_t clock) { return clock % 2 == 0 ? 1.0f : -1.0f; });
    dsp->open();
    // Nothing at open and nothing for the pair outside the table.
    EXPECT_EQ(dsp->count(HOST_PROCESS_CHANGED), 0u);
    dsp->run(4);
    EXPECT_EQ(output_bits(*dsp, 0, 4), std::vector<uint32_t>(4, 0u))
        << "empty function writes nothing";

    dsp->set_value("Pulse Mode", Sqr, 4);
    dsp->run(4);
    EXPECT_EQ(dsp->process_changes(), std::vector<uint32_t>{4});
    dsp->set_value("Pulse Mode", 5, 8);
    dsp->run(4);
    EXPECT_EQ(dsp->process_changes().size(), 1u);
    const std::vector<uint32_t> square = {bits(1.0f), bits(-1.0f), bits(1.0f), bits(-1.0f)};
    EXPECT_EQ(output_bits(*dsp, 4, 4), square);
    EXPECT_EQ(output_bits(*dsp, 8, 4), square) << "Sqr stays in place";

    // Pairs that share a function install nothing new; a detect mode other
    // than 0 counts as LeadX.
    dsp->set_value("Pulse Mode", Sqr2, 12); // ZeroX Sqr2 is ZeroX Sqr
    dsp->run(4);
    EXPECT_EQ(dsp->process_changes().size(), 1u);
    dsp->set_value("Detect Mode", 3, 16); // LeadX Sqr2: the toggle
    dsp->run(4);
    EXPECT_EQ(dsp->process_changes().size(), 2u);
    EXPECT_EQ(output_bits(*dsp, 16, 4),
              (std::vector<uint32_t>{bits(1.0f), bits(1.0f), bits(-1.0f), bits(-1.0f)}));
}

TEST(EdgeDetect, EveryStatusChangeAnnouncesTheOutputAsStreaming)
{
    auto dsp = make(ZeroX, PosVe, 1.0f, {1, -1});
    // At open: one announcement per input pin, all at clock 0.
    auto statuses = dsp->statuses();
    ASSERT_EQ(statuses.size(), 4u);
    for (const auto &s : statuses) {
        EXPECT_EQ(s.pin, 4);
        EXPECT_EQ(s.status, STATUS_STREAMING);
        EXPECT_EQ(s.stamp, 0u);
    }
    dsp->clear_requests();
    dsp->set_value("Pulse Level", 0.3, 100);
    dsp->set_status(0, STATUS_STREAMING, 150);
    dsp->run(200);
    statuses = dsp->statuses();
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_EQ(statuses[0].stamp, 100u);
    EXPECT_EQ(statuses[1].stamp, 150u);
    for (const auto &s : statuses) {
        EXPECT_EQ(s.pin, 4);
        EXPECT_EQ(s.status, STATUS_STREAMING);
    }
}

// Block size + 1 samples after the last status change the module sleeps and
// announces that the output holds from the end of that call; a streaming
// input keeps it awake.
TEST(EdgeDetect, SleepsOnlyWhileTheInputDoesNotStream)
{
    HostConfig config;
    config.block_size = 64;
    {
        SCOPED_TRACE("still input");
        auto dsp = std::make_unique<DspInstance>(library(), config);
        dsp->set_value("Audio In", 0.5);
        dsp->set_value("Pulse Mode", Sqr);
        dsp->open();
        dsp->clear_requests();
        dsp->split_lengths({32});
        dsp->run(64);
        EXPECT_TRUE(dsp->sleeps().empty()) << "64 of 65 samples counted";
        float *out = dsp->output("Pulse Out");
        std::fill(out, out + 64, 7.0f);
        dsp->run(32);
        EXPECT_EQ(dsp->sleeps(), std::vector<uint32_t>{64});
        auto statuses = dsp->statuses();
        ASSERT_EQ(statuses.size(), 1u);
        EXPECT_EQ(statuses[0].pin, 4);
        EXPECT_EQ(statuses[0].status, STATUS_CHANGED);
        EXPECT_EQ(statuses[0].stamp, 96u);
        EXPECT_EQ(statuses[0].clock, 64u);
        EXPECT_EQ(bits(out[0]), bits(1.0f)) << "the sleeping call writes";
        EXPECT_EQ(bits(out[31]), bits(1.0f)) << "the sleeping call writes";
        EXPECT_EQ(bits(out[32]), bits(7.0f)) << "no call while asleep";

        // A status change restarts the countdown: 65 more samples.
        dsp->clear_requests();
        dsp->set_value("Pulse Level", 0.5, 128);
        dsp->run(128 + 64 - dsp->clock());
        EXPECT_TRUE(dsp->sleeps().empty());
        dsp->run(32);
        EXPECT_EQ(dsp->sleeps(), std::vector<uint32_t>{192});
    }
    {
        SCOPED_TRACE("streaming input");
        auto dsp = make(ZeroX, Sqr, 1.0f, {1, -1, 1}, config);
        dsp->run(64 * 10);
        EXPECT_TRUE(dsp->sleeps().empty());
        EXPECT_EQ(dsp->process_calls(), 10u);
    }
}

TEST(EdgeDetect, PropertiesAndAboutText)
{
    const sehost::ModuleInfo info = library()->properties();
    EXPECT_EQ(info.name, "QZ_Edge_Detect");
    EXPECT_EQ(info.identifier, "Edge_Detect_QZ2003");
    EXPECT_EQ(info.flags, 0);
    EXPECT_EQ(info.sdk_revision, 2240);

    const std::vector<std::string> lines = se_test::lines_of(info.about);
    ASSERT_GE(lines.size(), 17u);
    EXPECT_EQ(info.about.find('\r'), std::string::npos);
    EXPECT_EQ(lines[0], "Wave Edge Detector");
    EXPECT_EQ(lines[1].rfind("Ver:2.90", 0), 0u);
    const std::vector<std::string> fixed = {
        "",
        "Detects Zero Crossings in Audio",
        "",
        "Features:",
        "Edge Detect Modes:",
        "    ZeroX: Both -To+ and +To- detected",
        "    LeadX: Leading Edge -To+ only",
        "Pulse Output Modes:",
        "    +Ve:  Pulses are always +ve/High",
        "    +Ve/-Ve:  +ve on -To+ : -ve on +To-",
        "    Sqr:  High if +ve : Low if -ve : Either/Last State if input=0",
        "    Sqr+0:  High if +ve : Low if -ve : 0 if input=0",
        "Variable Pulse Level (*Can be Inverted by setting -ve value)",
        "",
    };
    for (size_t i = 0; i < fixed.size(); ++i)
        EXPECT_EQ(lines[2 + i], fixed[i]) << "line " << 2 + i;
}

TEST(EdgeDetect, PinTable)
{
    struct Want {
        const char *name;
        int32_t direction, datatype;
        const char *default_value, *list_text;
    };
    const Want want[] = {
        {"Audio In", DR_IN, DT_FSAMPLE, nullptr, nullptr},
        {"Detect Mode", DR_IN, DT_CHOICE, "0", "ZeroX,LeadX"},
        {"Pulse Mode", DR_IN, DT_CHOICE, "0", "+Ve,+Ve/-Ve,Sqr,Sqr+0,Sqr2"},
        {"Pulse Level", DR_IN, DT_FSAMPLE, "10.0", "20,0,20,0"},
        {"Pulse Out", DR_OUT, DT_FSAMPLE, nullptr, nullptr},
    };
    DspInstance dsp(library());
    const auto &pins = dsp.pins();
    ASSERT_EQ(pins.size(), 5u);
    for (size_t i = 0; i < pins.size(); ++i) {
        SCOPED_TRACE(want[i].name);
        EXPECT_EQ(pins[i].name, want[i].name);
        EXPECT_EQ(pins[i].direction, want[i].direction);
        EXPECT_EQ(pins[i].datatype, want[i].datatype);
        EXPECT_EQ(pins[i].flags, 0);
        EXPECT_NE(pins[i].variable_address, 0u);
        EXPECT_EQ(pins[i].dsp_index, static_cast<int>(i));
        EXPECT_EQ(pins[i].default_value.has_value(), want[i].default_value != nullptr);
        if (want[i].default_value) {
            EXPECT_EQ(*pins[i].default_value, want[i].default_value);
        }
        EXPECT_EQ(pins[i].list_text.has_value(), want[i].list_text != nullptr);
        if (want[i].list_text) {
            EXPECT_EQ(*pins[i].list_text, want[i].list_text);
        }
    }
}

} // namespace
