// bool_volts through the reference host: the GUI bool carried to the DSP
// side, the step at the sample of the change, announcements, the sleep
// after block size + 1 samples and the GUI side ending idle calls.
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

constexpr int kVolts = 0; // DSP index and declaration number
constexpr int kBool = 1;  // DSP index and declaration number

using se_test::bits;

std::shared_ptr<sehost::Library> library()
{
    return se_test::plugin_library("bool_volts");
}

// Samples [from, to) of the output buffer all hold `value`, bit for bit.
::testing::AssertionResult holds(const float *out, int from, int to, float value)
{
    for (int i = from; i < to; ++i)
        if (bits(out[i]) != bits(value))
            return ::testing::AssertionFailure() << "sample " << i << " is " << out[i];
    return ::testing::AssertionSuccess();
}

TEST(BoolVolts, OutputIsZeroUntilTheBoolChanges)
{
    sehost::Module m(library());
    m.open();
    float *out = m.dsp().output("Volts");
    std::fill(out, out + 1024, 7.0f);
    m.run_block();
    EXPECT_TRUE(holds(out, 0, 1024, 0.0f));
}

// The GUI side's value reaches the DSP side as a status change at the
// DSP clock; the step lands exactly there.
TEST(BoolVolts, StepAtTheSampleOfTheChange)
{
    struct Step {
        double value;
        float level;
    };
    const Step steps[] = {{1, 1.0f}, {0, 0.0f}, {1, 1.0f}};
    sehost::Module m(library());
    m.open();
    float *out = m.dsp().output("Volts");
    float before = 0.0f;
    for (const Step &step : steps) {
        SCOPED_TRACE(step.value);
        const uint32_t block = m.dsp().clock();
        m.dsp().clear_requests();
        std::fill(out, out + 1024, 7.0f);
        m.run(100);
        m.set_gui_pin(kBool, step.value);
        m.run_block();
        EXPECT_TRUE(holds(out, 0, 100, before));
        EXPECT_TRUE(holds(out, 100, 1024, step.level));
        const auto statuses = m.dsp().statuses();
        ASSERT_EQ(statuses.size(), 1u);
        EXPECT_EQ(statuses[0].pin, kVolts);
        EXPECT_EQ(statuses[0].status, STATUS_CHANGED);
        EXPECT_EQ(statuses[0].stamp, block + 100);
        before = step.level;
    }
}

// Sleep comes with the first call at or after block size + 1 samples since
// the last change, and that call still writes; the same value reported
// again restarts it all; a status of pin 0 changes nothing.
TEST(BoolVolts, SleepsAfterBlockSizePlusOneSamples)
{
    HostConfig config;
    config.block_size = 1024;
    DspInstance dsp(library(), config);
    dsp.open();
    dsp.split_lengths({1});
    dsp.run(100);
    dsp.clear_requests();
    dsp.set_value(kBool, 1, 100);
    dsp.run_until(1024);
    float *out = dsp.output("Volts");
    std::fill(out, out + 1024, 7.0f);
    dsp.run_until(1200);
    EXPECT_EQ(dsp.sleeps(), std::vector<uint32_t>{100 + 1024}) << "1025th sample since the change";
    EXPECT_TRUE(holds(out, 0, 101, 1.0f));
    EXPECT_EQ(out[101], 7.0f) << "asleep after the 1025th sample";

    // A status of pin 0 neither wakes the step nor restarts the countdown.
    dsp.clear_requests();
    dsp.set_status(kVolts, STATUS_CHANGED, 1300);
    dsp.run_until(1310);
    EXPECT_TRUE(dsp.statuses().empty());
    EXPECT_EQ(dsp.sleeps(), std::vector<uint32_t>{1300}) << "woken, asks again at once";

    // The same value again: announced again, countdown restarted.
    dsp.clear_requests();
    dsp.set_value(kBool, 1, 1400);
    dsp.run_until(1400 + 1024);
    ASSERT_EQ(dsp.statuses().size(), 1u);
    EXPECT_EQ(dsp.statuses()[0].stamp, 1400u);
    EXPECT_TRUE(dsp.sleeps().empty());
    dsp.run(1);
    EXPECT_EQ(dsp.sleeps(), std::vector<uint32_t>{1400 + 1024});
}

TEST(BoolVolts, GuiSideEndsIdleCallsWhenClosed)
{
    sehost::Module m(library());
    m.open();
    ASSERT_TRUE(m.has_gui());
    sehost::GuiInstance *gui = m.gui();
    EXPECT_TRUE(gui->requests().empty()) << "the GUI side itself makes no request before closing";
    gui->close();
    ASSERT_EQ(gui->requests().size(), 1u);
    EXPECT_EQ(gui->requests()[0].op, GUI_HOST_SET_IDLE);
    EXPECT_EQ(gui->requests()[0].index, 0);
}

TEST(BoolVolts, PropertiesAndPins)
{
    const sehost::ModuleInfo info = library()->properties();
    EXPECT_EQ(info.name, "QZ_GUI_Bool_to_Volts");
    EXPECT_EQ(info.identifier, "GUI_Bool_to_Volts_QZ2010");
    EXPECT_EQ(info.flags, 0);
    EXPECT_EQ(info.sdk_revision, 2240);
    const std::vector<std::string> lines = se_test::lines_of(info.about);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], "GUI Converter to Volts(DSP) with PatchMemory");
    EXPECT_EQ(lines[1].rfind("Ver:3.00", 0), 0u);
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[3], "");
    EXPECT_EQ(lines[4], "");

    DspInstance dsp(library());
    const auto &pins = dsp.pins();
    ASSERT_EQ(pins.size(), 2u);
    EXPECT_EQ(pins[0].name, "Volts");
    EXPECT_EQ(pins[0].direction, DR_OUT);
    EXPECT_EQ(pins[0].datatype, DT_FSAMPLE);
    EXPECT_EQ(pins[0].flags, 0);
    EXPECT_EQ(pins[1].name, "Bool (PatchMem)");
    EXPECT_EQ(pins[1].direction, DR_IN);
    EXPECT_EQ(pins[1].datatype, DT_BOOLEAN);
    EXPECT_EQ(pins[1].flags, 0x8400);
    for (const auto &p : pins) {
        SCOPED_TRACE(p.name);
        EXPECT_NE(p.variable_address, 0u);
        EXPECT_EQ(p.dsp_index, p.number);
        EXPECT_FALSE(p.default_value.has_value());
        EXPECT_FALSE(p.list_text.has_value());
    }
    EXPECT_EQ(dsp.dsp_pins().size(), 2u);
}

} // namespace
