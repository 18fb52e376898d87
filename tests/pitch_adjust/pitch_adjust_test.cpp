// pitch_adjust through the reference host: exact output bits, the sleep
// countdown over one block, announcements and the pin declarations.
#include <algorithm>
#include <cstring>
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

using se_test::bits;

std::shared_ptr<sehost::Library> library()
{
    return se_test::plugin_library("pitch_adjust");
}

struct ValueCase {
    int octave, semitone, cents;
    uint32_t expected;
};

// Sums formed in double and rounded once; rounding each step to a float
// changes the last bit of several of these.
const ValueCase kValues[] = {
    {0, 0, 0, 0x00000000u},   {1, 0, 0, 0x3DCCCCCDu},   {0, 12, 0, 0x3DCCCCCDu},
    {0, 1, 0, 0x3C088889u},   {0, 0, 1, 0x38AEC33Fu},   {0, 0, -1, 0xB8AEC33Fu},
    {0, 0, 99, 0x3C072B02u},  {6, 48, 99, 0x3F810E56u}, {-6, -48, -99, 0xBF810E56u},
    {2, -7, 50, 0x3E155555u},
};

TEST(PitchAdjust, OutputBitsForEverySettingOfTheTable)
{
    for (const ValueCase &c : kValues) {
        SCOPED_TRACE(std::to_string(c.octave) + " oct, " + std::to_string(c.semitone) + " st, " +
                     std::to_string(c.cents) + " ct");
        DspInstance dsp(library());
        dsp.set_value("Octave", c.octave);
        dsp.set_value("Semitone", c.semitone);
        dsp.set_value("Cents", c.cents);
        dsp.open();
        float *out = dsp.output("Pitch_Adj");
        std::fill(out, out + 1024, 7.0f);
        dsp.run(16);
        for (int i = 0; i < 16; ++i)
            EXPECT_EQ(bits(out[i]), c.expected) << std::hex << "sample " << i;
        EXPECT_EQ(out[16], 7.0f) << "only the call's samples are written";
    }
}

TEST(PitchAdjust, ANewSettingTakesEffectAtItsClock)
{
    DspInstance dsp(library());
    dsp.open();
    dsp.set_value("Octave", 1, 100);
    dsp.run(200);
    const float *out = dsp.output("Pitch_Adj");
    EXPECT_EQ(bits(out[99]), 0u);
    EXPECT_EQ(bits(out[100]), 0x3DCCCCCDu);
    EXPECT_EQ(bits(out[199]), 0x3DCCCCCDu);
}

// Block size 64: calls of 32, 16 and 16 write all 64 samples and the third
// asks to sleep; once woken, a call of 8 writes its 8 samples and asks again.
TEST(PitchAdjust, SleepsAfterOneBlockOfSamples)
{
    HostConfig config;
    config.block_size = 64;
    DspInstance dsp(library(), config);
    dsp.set_value("Octave", 1);
    dsp.open();
    float *out = dsp.output("Pitch_Adj");
    std::fill(out, out + 64, 7.0f);
    dsp.clear_requests();
    dsp.split_lengths({32, 16, 16});
    dsp.run(32 + 16);
    EXPECT_TRUE(dsp.sleeps().empty());
    dsp.run(16);
    EXPECT_EQ(dsp.sleeps(), std::vector<uint32_t>{48});
    EXPECT_EQ(dsp.process_calls(), 3u);
    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(bits(out[i]), 0x3DCCCCCDu) << "sample " << i;

    // Woken by an event that is no pin change: the countdown is not restarted.
    std::fill(out, out + 64, 7.0f);
    dsp.queue_patch_change(64);
    dsp.split_lengths({8});
    dsp.run(8);
    EXPECT_EQ(dsp.sleeps(), (std::vector<uint32_t>{48, 64}));
    EXPECT_EQ(dsp.process_calls(), 4u);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(bits(out[i]), 0x3DCCCCCDu) << "sample " << i;
    EXPECT_EQ(out[8], 7.0f);
}

// A change of any pin announces pin 3 as changed at the current clock and
// restarts the countdown at the block size.
TEST(PitchAdjust, PinChangeAnnouncesTheOutputAndRestartsTheCountdown)
{
    HostConfig config;
    config.block_size = 64;
    const char *const names[] = {"Octave", "Semitone", "Cents"};
    for (const char *name : names) {
        SCOPED_TRACE(name);
        DspInstance dsp(library(), config);
        dsp.open();
        dsp.run(128);
        ASSERT_FALSE(dsp.sleeps().empty());
        dsp.clear_requests();
        dsp.set_value(name, 2, 130);
        dsp.run(64); // to 192: 62 samples since the change
        auto statuses = dsp.statuses();
        ASSERT_EQ(statuses.size(), 1u);
        EXPECT_EQ(statuses[0].pin, 3);
        EXPECT_EQ(statuses[0].status, STATUS_CHANGED);
        EXPECT_EQ(statuses[0].stamp, 130u);
        EXPECT_TRUE(dsp.sleeps().empty());
        dsp.run(64);
        EXPECT_EQ(dsp.sleeps(), std::vector<uint32_t>{192});
    }
}

TEST(PitchAdjust, NoPinPastTheLastDeclaration)
{
    DspInstance dsp(library());
    SEPinProperties record;
    std::memset(&record, 0xA5, sizeof record);
    SEPinProperties before = record;
    EXPECT_EQ(dsp.dispatch(MOD_GET_PIN_PROPERTIES, 4, 0, &record), 0);
    EXPECT_EQ(std::memcmp(&record, &before, sizeof record), 0) << "record untouched";
}

TEST(PitchAdjust, PropertiesAndAboutText)
{
    const sehost::ModuleInfo info = library()->properties();
    EXPECT_EQ(info.name, "QZ_Osc_Pitch_Adj");
    EXPECT_EQ(info.identifier, "Osc_Pitch_Adj_QZ2006");
    EXPECT_EQ(info.flags, 0);
    EXPECT_EQ(info.sdk_revision, 2240);
    const std::vector<std::string> lines = se_test::lines_of(info.about);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], "Oscillator Pitch Adjustment (1v/Oct)");
    EXPECT_EQ(lines[1].rfind("Ver:2.90", 0), 0u);
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[3], "Simple options to Adjust/Transpose an Oscillators pitch in 1V/Oct mode");
    EXPECT_EQ(lines[4], "");
}

// Every entry's number is its value; the texts have the exact lengths and
// the labelled entries.
TEST(PitchAdjust, PinTableAndLists)
{
    DspInstance dsp(library());
    const auto &pins = dsp.pins();
    ASSERT_EQ(pins.size(), 4u);
    const char *const names[] = {"Octave", "Semitone", "Cents", "Pitch_Adj"};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(names[i]);
        EXPECT_EQ(pins[i].name, names[i]);
        EXPECT_EQ(pins[i].direction, i < 3 ? DR_IN : DR_OUT);
        EXPECT_EQ(pins[i].datatype, i < 3 ? DT_CHOICE : DT_FSAMPLE);
        EXPECT_EQ(pins[i].flags, 0);
        EXPECT_NE(pins[i].variable_address, 0u);
        EXPECT_EQ(pins[i].dsp_index, static_cast<int>(i));
        if (i < 3) {
            ASSERT_TRUE(pins[i].default_value.has_value());
            EXPECT_EQ(*pins[i].default_value, "0");
        } else {
            EXPECT_FALSE(pins[i].default_value.has_value());
            EXPECT_FALSE(pins[i].list_text.has_value());
        }
    }

    struct ListCase {
        size_t pin, length;
        int32_t low, high;
        std::vector<std::pair<int32_t, std::string>> labels;
    };
    const ListCase lists[] = {
        {0, 40, -6, 6, {{-6, "-6"}, {0, "0"}, {1, "+1"}, {6, "+6"}}},
        {1,
         443,
         -48,
         48,
         {{-48, "-48 (-4 Oct)"},
          {-36, "-36 (-3 Oct)"},
          {-24, "-24 (-2 Oct)"},
          {-12, "-12 (-1 Oct)"},
          {-11, "-11"},
          {-2, "-2"},
          {0, "0"},
          {2, "+2"},
          {12, "+12 (+1 Oct)"},
          {24, "+24 (+2 Oct)"},
          {36, "+36 (+3 Oct)"},
          {47, "+47"},
          {48, "+48 (+4 Oct)"}}},
        {2,
         699,
         -99,
         99,
         {{-99, "-99"}, {-10, "-10"}, {-9, "-09"}, {-1, "-01"}, {0, "00"}, {1, "01"}, {99, "99"}}},
    };
    for (const ListCase &c : lists) {
        SCOPED_TRACE(names[c.pin]);
        ASSERT_TRUE(pins[c.pin].list_text.has_value());
        EXPECT_EQ(pins[c.pin].list_text->size(), c.length);
        const sehost::EnumList list = pins[c.pin].list();
        ASSERT_EQ(list.entries().size(), static_cast<size_t>(c.high - c.low + 1));
        for (size_t k = 0; k < list.entries().size(); ++k)
            EXPECT_EQ(list.entries()[k].value, c.low + static_cast<int32_t>(k));
        for (const auto &label : c.labels)
            EXPECT_EQ(list.label_of(label.first), label.second) << "value " << label.first;
    }
    EXPECT_EQ(pins[1].list_text->rfind("-48 (-4 Oct)=-48,-47,-46,", 0), 0u);
    EXPECT_EQ(pins[2].list_text->rfind("-99=-99,-98,-97,", 0), 0u);
}

} // namespace
