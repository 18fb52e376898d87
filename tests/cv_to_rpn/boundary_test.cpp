// The RPN/NRPN sender at its edges: properties and pins, the DSP-only
// exports, sleep, inputs outside their documented ranges, and the exact
// 14-bit scaling on every build.
#include "cv_to_rpn_support.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>

namespace {

using namespace cv_rpn_test;

// ---- properties, pins, exports -----------------------------------------------

TEST(CvToRpnProperties, IdentityAndAboutText)
{
    const sehost::ModuleInfo info = library()->properties();
    EXPECT_EQ(info.name, "XT_CVto(N)RPN");
    EXPECT_EQ(info.identifier, "tavenor CVto(N)RPN");
    EXPECT_EQ(info.flags, 0);
    EXPECT_EQ(info.sdk_revision, 2230);

    const std::string &about = info.about;
    EXPECT_EQ(about.rfind("XT_CVto(N)RPN V1.1.2\n", 0), 0u);
    ASSERT_GE(about.size(), 2u);
    EXPECT_EQ(about.substr(about.size() - 2), "\n\n");
    EXPECT_NE(about.substr(about.size() - 3, 1), "\n"); // exactly two
    // Line 4 is empty and the help text starts on line 5.
    std::vector<std::string> lines;
    for (size_t pos = 0; pos < about.size();) {
        const size_t end = about.find('\n', pos);
        lines.push_back(about.substr(pos, end - pos));
        pos = end + 1;
    }
    ASSERT_GE(lines.size(), 5u);
    EXPECT_FALSE(lines[1].empty());
    EXPECT_FALSE(lines[2].empty());
    EXPECT_EQ(lines[3], "");
    EXPECT_EQ(lines[4],
              "Summary: Sends MIDI RPN or NRPN messages in response to control voltage inputs.");
    for (const char *heading : {"Inputs:", "Output:", "Parameters"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), heading), lines.end()) << heading;
    EXPECT_NE(about.find("\tMIDI Out"), std::string::npos);
    EXPECT_NE(about.find("16383"), std::string::npos);
}

TEST(CvToRpnProperties, RevisionIsWrittenForEveryIndex)
{
    for (int32_t index : {0, 1, -1, 2, std::numeric_limits<int32_t>::max()}) {
        SCOPED_TRACE(index);
        ModuleProperties p;
        std::memset(&p, 0, sizeof p);
        const int32_t answer = library()->get_properties_fn()(index, &p);
        EXPECT_EQ(answer, index == 0 ? 1 : 0);
        EXPECT_EQ(p.sdk_revision, 2230);
        EXPECT_EQ(p.reserved, 0);
        EXPECT_EQ(p.flags, 0);
        EXPECT_EQ(p.name != nullptr, index == 0);
    }
}

TEST(CvToRpnProperties, PinTable)
{
    struct Pin {
        const char *name;
        int32_t direction, datatype;
        const char *default_value, *list_text;
        int32_t flags;
    };
    const Pin expected[] = {
        {"Gate", DR_IN, DT_FSAMPLE, "0", nullptr, 0x200},
        {"Parameter# CV", DR_IN, DT_FSAMPLE, "0", nullptr, 0x200},
        {"Parameter#", DR_IN, DT_CHOICE, "1", "range:0,16383", 0},
        {"Value CV", DR_IN, DT_FSAMPLE, "0", nullptr, 0x200},
        {"Channel", DR_IN, DT_CHOICE, "0", "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16", 0},
        {"RPN/NRPN", DR_IN, DT_CHOICE, "0", "RPN,NRPN", 0},
        {"MIDI Out", DR_OUT, DT_MIDI, nullptr, nullptr, 0},
        {"Parameter# Select Mode", DR_SETTING, DT_CHOICE, "0", "List,CV", 0},
        {"Bit Depth", DR_SETTING, DT_CHOICE, "3", "7,8,9,10,11,12,13,14", 0},
    };
    sehost::DspInstance dsp(library());
    const std::vector<sehost::PinDecl> &pins = dsp.pins();
    ASSERT_EQ(pins.size(), std::size(expected));
    EXPECT_EQ(dsp.pin_count(), 9);
    for (size_t i = 0; i < pins.size(); ++i) {
        SCOPED_TRACE(expected[i].name);
        const sehost::PinDecl &p = pins[i];
        EXPECT_EQ(p.name, expected[i].name);
        EXPECT_EQ(p.direction, expected[i].direction);
        EXPECT_EQ(p.datatype, expected[i].datatype);
        EXPECT_EQ(p.flags, expected[i].flags);
        EXPECT_EQ(p.dsp_index, static_cast<int>(i));
        EXPECT_EQ(p.default_value.has_value(), expected[i].default_value != nullptr);
        if (expected[i].default_value != nullptr && p.default_value) {
            EXPECT_EQ(*p.default_value, expected[i].default_value);
        }
        EXPECT_EQ(p.list_text.has_value(), expected[i].list_text != nullptr);
        if (expected[i].list_text != nullptr && p.list_text) {
            EXPECT_EQ(*p.list_text, expected[i].list_text);
        }
        EXPECT_EQ(p.variable_address == 0, p.datatype == DT_MIDI);
    }
    // The pin variables lie in the module's member order.
    const int member_order[] = {0, 1, 3, 2, 4, 5, 7, 8};
    for (size_t k = 1; k < std::size(member_order); ++k)
        EXPECT_LT(pins[member_order[k - 1]].variable_address,
                  pins[member_order[k]].variable_address)
            << pins[member_order[k]].name;
}

TEST(CvToRpnExports, DspSideOnly)
{
    const se_make_module_fn make_module = library()->make_module_fn();
    struct Case {
        int32_t index, type;
    };
    for (const Case &c :
         {Case{0, 2}, Case{0, 0}, Case{0, 3}, Case{0, -1}, Case{1, 1}, Case{-1, 1}, Case{1, 2}}) {
        SCOPED_TRACE(testing::Message() << c.index << "," << c.type);
        EXPECT_EQ(make_module(c.index, c.type, nullptr, nullptr), nullptr);
    }
    sehost::Module module(library());
    EXPECT_FALSE(module.has_gui());
}

// Without a host callback the clock reads 0 and nothing is processed: no
// pin is touched (there are none).
TEST(CvToRpnExports, WithoutAHostNothingIsProcessed)
{
    void *made = library()->make_module_fn()(0, 1, nullptr, nullptr);
    ASSERT_NE(made, nullptr);
    PlugRecord *plug = static_cast<PlugRecord *>(made);
    EXPECT_EQ(plug->dispatch(plug, MOD_OPEN, 0, 0, nullptr, 0.0f), 0);
    plug->process(plug->object, 0, 64);
    EXPECT_EQ(plug->dispatch(plug, MOD_CLOSE, 0, 0, nullptr, 0.0f), 1);
}

// ---- sleep ---------------------------------------------------------------------

// The module asks to sleep at the end of a stretch whose last Value CV
// sample is still and only while no input it reads streams: a streaming
// input brings no event that would wake it.  The inputs hold their values
// here, so their statuses alone decide (STATUS_CHANGED is still once
// handled); Parameter# CV counts in CV mode only, and a select mode other
// than List or CV asks nothing.
TEST(CvToRpnSleep, OnlyWhileNoInputItReadsStreams)
{
    constexpr int32_t S = STATUS_STILL, C = STATUS_CHANGED, R = STATUS_STREAMING;
    struct Row {
        int select;
        int32_t gate, value, parameter_cv;
        bool sleeps;
    };
    const Row rows[] = {
        {0, S, S, S, true},  {0, C, C, C, true},  {0, S, S, R, true},  {0, R, S, S, false},
        {0, S, R, S, false}, {0, R, R, R, false}, {1, S, S, S, true},  {1, C, S, C, true},
        {1, S, S, R, false}, {1, R, S, S, false}, {1, S, R, C, false}, {2, S, S, S, false},
        {2, R, R, R, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << "mode " << row.select << ", statuses " << row.gate
                                        << row.value << row.parameter_cv);
        auto dsp = std::make_unique<sehost::DspInstance>(library());
        dsp->set_value("Parameter# Select Mode", row.select);
        dsp->set_value("Gate", 1.0);
        dsp->set_status(dsp->dsp_index("Gate"), row.gate);
        dsp->set_status(dsp->dsp_index("Value CV"), row.value);
        dsp->set_status(dsp->dsp_index("Parameter# CV"), row.parameter_cv);
        dsp->open();
        dsp->run(3 * 1024);
        EXPECT_EQ(!dsp->sleeps().empty(), row.sleeps);
        EXPECT_EQ(dsp->process_calls(), row.sleeps ? 2u : 3u); // clock 0 sends nothing
    }
}

// With the inputs held, a Value CV change keeps the module awake for the
// hold of 10 samples after it: it sleeps at the end of the first stretch
// whose last sample comes 11 or more samples after the change (whole blocks
// of 1024; the first real stretch, at 1024, sleeps at once).
TEST(CvToRpnSleep, AfterTheValueCvHasHeldStillPastItsHold)
{
    struct Case {
        uint32_t change;
        uint32_t sleep_at; // clock of the stretch that asks after the change
    };
    for (const Case &c : {Case{2036, 2036}, Case{2037, 2048}, Case{3071, 3072}}) {
        SCOPED_TRACE(c.change);
        Settings s;
        s.gate = 1.0;
        auto dsp = make(s);
        dsp->set_value("Value CV", 0.75, c.change);
        dsp->run(5 * 1024);
        EXPECT_EQ(dsp->sleeps(), (std::vector<uint32_t>{1024, c.sleep_at}));
        EXPECT_TRUE(dsp->asleep());
    }
}

// Asleep, the module wakes at the next event: a gate rise sends at once.
TEST(CvToRpnSleep, AnEventWakes)
{
    Settings s;
    s.gate = 1.0;
    s.value = 0.25;
    auto dsp = make(s);
    dsp->run(8000);
    dsp->clear_requests();
    dsp->set_value("Gate", 0.0, 9000);
    dsp->set_value("Gate", 1.0, 9001);
    dsp->run_until(9100);
    EXPECT_EQ(midi_text(*dsp),
              (Lines{"9001: B0 65 00", "9001: B0 64 01", "9001: B0 06 20", "9001: B0 26 00"}));
    EXPECT_EQ(dsp->sleeps(), (std::vector<uint32_t>{9000, 9001}));
}

// ---- inputs outside their ranges -------------------------------------------------

struct MendCase {
    const char *name;
    void (*edit)(Settings &);
    Lines expected; // at the rise, clock 100
};

void PrintTo(const MendCase &c, std::ostream *os)
{
    *os << c.name;
}

class CvToRpnOutOfRangeCase : public ::testing::TestWithParam<MendCase>
{};

TEST_P(CvToRpnOutOfRangeCase, IsClampedIntoRange)
{
    Settings s;
    s.value = cv(8193);
    GetParam().edit(s);
    auto dsp = make(s);
    dsp->set_value("Gate", 1.0, 100);
    dsp->run_until(1024); // a not-a-number Value CV never rests
    EXPECT_EQ(midi_text(*dsp), GetParam().expected);
}

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Defaults: List, RPN, channel "1", Parameter# 1, 14 bits, V = 8193.
const MendCase kMendCases[] = {
    {"ValueAbove10V",
     [](Settings &s) { s.value = 1.5; },
     {"100: B0 65 00", "100: B0 64 01", "100: B0 06 7F", "100: B0 26 7F"}},
    {"ValueHuge",
     [](Settings &s) { s.value = 3e38; },
     {"100: B0 65 00", "100: B0 64 01", "100: B0 06 7F", "100: B0 26 7F"}},
    {"ValueInfinite",
     [](Settings &s) { s.value = kInf; },
     {"100: B0 65 00", "100: B0 64 01", "100: B0 06 7F", "100: B0 26 7F"}},
    {"ValueNegative",
     [](Settings &s) { s.value = -0.5; },
     {"100: B0 65 00", "100: B0 64 01", "100: B0 06 00", "100: B0 26 00"}},
    {"ValueJustBelowZero",
     [](Settings &s) { s.value = -1e-4; },
     {"100: B0 65 00", "100: B0 64 01", "100: B0 06 00", "100: B0 26 00"}},
    {"ValueMinusInfinite",
     [](Settings &s) { s.value = -kInf; },
     {"100: B0 65 00", "100: B0 64 01", "100: B0 06 00", "100: B0 26 00"}},
    {"ValueNan",
     [](Settings &s) { s.value = kNan; },
     {"100: B0 65 00", "100: B0 64 01", "100: B0 06 00", "100: B0 26 00"}},
    {"ParameterCvAbove10V",
     [](Settings &s) {
         s.select = 1;
         s.parameter_cv = 2.0;
     },
     {"100: B0 65 7F", "100: B0 64 7F", "100: B0 06 40", "100: B0 26 01"}},
    {"ParameterCvInfinite",
     [](Settings &s) {
         s.select = 1;
         s.parameter_cv = kInf;
     },
     {"100: B0 65 7F", "100: B0 64 7F", "100: B0 06 40", "100: B0 26 01"}},
    {"ParameterCvNegative",
     [](Settings &s) {
         s.select = 1;
         s.parameter_cv = -3.0;
     },
     {"100: B0 65 00", "100: B0 64 00", "100: B0 06 40", "100: B0 26 01"}},
    {"ParameterCvNan",
     [](Settings &s) {
         s.select = 1;
         s.parameter_cv = kNan;
     },
     {"100: B0 65 00", "100: B0 64 00", "100: B0 06 40", "100: B0 26 01"}},
    {"ListParameterNegative",
     [](Settings &s) { s.parameter = -5; },
     {"100: B0 65 00", "100: B0 64 00", "100: B0 06 40", "100: B0 26 01"}},
    {"ListParameterAbove",
     [](Settings &s) { s.parameter = 32767; },
     {"100: B0 65 7F", "100: B0 64 7F", "100: B0 06 40", "100: B0 26 01"}},
    {"BitDepth8IsFourteenBits",
     [](Settings &s) { s.depth = 8; },
     {"100: B0 65 00", "100: B0 64 01", "100: B0 06 40", "100: B0 26 01"}},
    {"BitDepthHugeIsFourteenBits",
     [](Settings &s) { s.depth = 32767; },
     {"100: B0 65 00", "100: B0 64 01", "100: B0 06 40", "100: B0 26 01"}},
    {"BitDepthNegativeIsSevenBits",
     [](Settings &s) { s.depth = -1; },
     {"100: B0 65 00", "100: B0 64 01", "100: B0 06 40", "100: B0 26 00"}},
    {"BitDepthMostNegative",
     [](Settings &s) { s.depth = -32768; },
     {"100: B0 65 00", "100: B0 64 01", "100: B0 06 40", "100: B0 26 00"}},
    {"Channel17IsChannel16",
     [](Settings &s) { s.channel = 16; },
     {"100: BF 65 00", "100: BF 64 01", "100: BF 06 40", "100: BF 26 01"}},
    {"ChannelHuge",
     [](Settings &s) { s.channel = 300; },
     {"100: BF 65 00", "100: BF 64 01", "100: BF 06 40", "100: BF 26 01"}},
    {"ChannelNegative",
     [](Settings &s) { s.channel = -1; },
     {"100: B0 65 00", "100: B0 64 01", "100: B0 06 40", "100: B0 26 01"}},
};

INSTANTIATE_TEST_SUITE_P(Mends, CvToRpnOutOfRangeCase, ::testing::ValuesIn(kMendCases),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

// Two channel values beyond 16 are the same channel: no new message.
TEST(CvToRpnOutOfRange, ClampedChannelChangeIsNoChange)
{
    Settings s;
    s.channel = 20;
    auto dsp = make(s);
    dsp->set_value("Gate", 1.0, 100);
    dsp->set_value("Channel", 21, 300);
    dsp->set_value("Channel", 15, 400);
    dsp->run(2000);
    EXPECT_EQ(midi_text(*dsp).size(), 4u);
}

// Every kind of bad sample on every audio input, with the gate toggling:
// midi_text() checks each message's bytes.
TEST(CvToRpnOutOfRange, StreamOfBadSamplesKeepsEveryMessageValid)
{
    const float f_nan = std::numeric_limits<float>::quiet_NaN();
    const float f_inf = std::numeric_limits<float>::infinity();
    const float bad[] = {f_nan,  f_inf,      -f_inf, 2.0f,        -2.0f, 3e38f,
                         -3e38f, 1e-45f,     -0.0f,  0.99999994f, 1.0f,  0.5f,
                         -1e-6f, 1.0000001f, 4.0f,   0.0f,        -f_nan};
    constexpr uint32_t n = std::size(bad);
    for (int select : {0, 1}) {
        SCOPED_TRACE(select);
        Settings s;
        s.select = select;
        auto dsp = make(s);
        dsp->set_source("Value CV", [&](uint32_t c) { return bad[c % n]; });
        dsp->set_source("Parameter# CV", [&](uint32_t c) { return bad[(c / 3) % n]; });
        dsp->set_source("Gate", [&](uint32_t c) { return bad[(c / 7) % n]; });
        dsp->run(4096);
        EXPECT_GT(midi_text(*dsp).size(), 100u);
    }
}

// ---- the 14-bit scaling, bit for bit ----------------------------------------------

// The product x * 16383 rounded toward zero to a float never drops below
// k - 0.5 when the exact product is at or above it (k - 0.5 is a float), so
// V = floor(x * 16383 + 0.5) of the exact product: computed here in integers
// from the float's bits, independent of the processor's floating point.
int32_t exact_scale(float x)
{
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    const uint32_t exponent = (bits >> 23) & 0xFF;
    const uint64_t mantissa = exponent == 0 ? (bits & 0x7FFFFF) : ((bits & 0x7FFFFF) | 0x800000);
    const int shift = exponent == 0 ? 149 : 150 - static_cast<int>(exponent); // x = m / 2^shift
    if (shift > 40)
        return 0;
    const uint64_t product = mantissa * 16383u; // x * 16383 = product / 2^shift
    return static_cast<int32_t>((product + (uint64_t{1} << (shift - 1))) >> shift);
}

TEST(CvToRpnScale, FourteenBitValueIsExactOnEveryBuild)
{
    // Samples near every 7th half-way point, a few ulps either side, and
    // pseudo-random samples in (0, 1).
    std::vector<float> xs;
    for (int k = 0; k < 16383; k += 7) {
        float x = static_cast<float>((k + 0.5) / 16383.0);
        for (int i = 0; i < 3; ++i)
            x = std::nextafter(x, 0.0f);
        for (int i = 0; i < 7; ++i, x = std::nextafter(x, 1.0f))
            xs.push_back(x);
    }
    uint32_t rng = 12345;
    for (int i = 0; i < 4096; ++i) {
        rng = rng * 1664525u + 1013904223u;
        xs.push_back(static_cast<float>(rng >> 8) / 16777216.0f);
    }
    xs.push_back(1e-45f);
    xs.push_back(0.99999994f);
    // Neighbours must differ, so that the Value CV keeps moving and every
    // change of V goes out as a value update.
    xs.erase(std::unique(xs.begin(), xs.end()), xs.end());

    Settings s;
    s.gate = 1.0;
    s.value = 0.0;
    auto dsp = make(s);
    const uint32_t first = 1024; // the stretch at clock 0 is not processed
    dsp->set_source("Value CV", [&](uint32_t c) {
        return c < first ? 0.0f : xs[std::min<size_t>(c - first, xs.size() - 1)];
    });
    dsp->run(first + static_cast<uint32_t>(xs.size()));

    // Replay the data entry bytes: V of each sample is the last LSB's value.
    std::vector<int32_t> sent(xs.size(), -1);
    int32_t msb = -1;
    for (const sehost::MidiOut &m : dsp->midi_out()) {
        const int32_t controller = (m.message >> 8) & 0xFF, data = (m.message >> 16) & 0xFF;
        if (controller == 6)
            msb = data;
        if (controller == 38 && m.stamp >= first)
            sent[m.stamp - first] = msb << 7 | data;
    }
    size_t mismatches = 0;
    int32_t current = -1;
    for (size_t i = 0; i < xs.size(); ++i) {
        if (sent[i] >= 0)
            current = sent[i];
        if (current != exact_scale(xs[i]) && ++mismatches <= 5) {
            uint32_t bits;
            std::memcpy(&bits, &xs[i], sizeof bits);
            ADD_FAILURE() << "sample " << i << " bits " << std::hex << bits << std::dec << ": sent "
                          << current << ", exact " << exact_scale(xs[i]);
        }
    }
    EXPECT_EQ(mismatches, 0u) << "of " << xs.size();
    EXPECT_EQ(exact_scale(0.3f), 4915);
    EXPECT_EQ(exact_scale(0.5f), 8192);
}

} // namespace
