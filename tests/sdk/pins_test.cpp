// Pin creation: DSP numbering, GUI-only declarations, repeated pins and
// storage by data type.
#include <gtest/gtest.h>

#include "sdk_support.h"

using namespace sdk_test;

namespace {
sehost::HostConfig with_count(int32_t count)
{
    sehost::HostConfig config;
    config.pin_count = count;
    return config;
}
} // namespace

TEST(SdkPins, GuiOnlyDeclarationTakesNoDspIndex)
{
    // Declarations 0..3 with 2 GUI-only and a host count of 3: DSP pins come
    // from declarations 0, 1 and 3.
    sehost::DspInstance dsp(probe_library(), with_count(3));
    dsp.open();
    ProbePins pins = pin_info(dsp);
    ASSERT_EQ(pins.count, 3);
    const int32_t types[] = {DT_CHOICE, DT_FSAMPLE, DT_BOOLEAN};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(pins.pins[i].pin_index, i);
        EXPECT_EQ(pins.pins[i].datatype, types[i]);
        EXPECT_EQ(pins.pins[i].status, STATUS_STILL);
    }
}

TEST(SdkPins, RepeatedLastDeclarationGivesCopiesWithTheirOwnStorage)
{
    sehost::HostConfig config;
    config.repeat_copies = 2;
    sehost::DspInstance dsp(probe_library(), config);
    EXPECT_EQ(dsp.pin_count(), 6);
    dsp.open();
    ProbePins pins = pin_info(dsp);
    ASSERT_EQ(pins.count, 6);
    for (int i = 3; i < 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(pins.pins[i].pin_index, i);
        EXPECT_EQ(pins.pins[i].datatype, DT_MIDI);
        EXPECT_EQ(pins.pins[i].has_variable, 0); // MIDI has no value
    }
}

TEST(SdkPins, StorageByDataType)
{
    sehost::DspInstance dsp(probe_library());
    dsp.open();
    ProbePins pins = pin_info(dsp);
    ASSERT_EQ(pins.count, 4);
    struct Case {
        int pin;
        int32_t datatype;
        int32_t own_storage;
        int32_t value;
    } cases[] = {
        {0, DT_CHOICE, 1, 0},  // 16 bits, 0
        {1, DT_FSAMPLE, 1, 1}, // the host's buffer address
        {2, DT_BOOLEAN, 1, 0}, // 8 bits, 0
        {3, DT_MIDI, 0, 0},    // nothing
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pin);
        EXPECT_EQ(pins.pins[c.pin].datatype, c.datatype);
        EXPECT_EQ(pins.pins[c.pin].own_storage, c.own_storage);
        EXPECT_EQ(pins.pins[c.pin].value, c.value);
    }
    // The audio pin without a variable asked for its buffer exactly once.
    EXPECT_EQ(dsp.count(HOST_GET_PIN_BUFFER), 1u);
}

TEST(SdkPins, HostCountBelowDeclarationsIgnoresTheRest)
{
    sehost::DspInstance dsp(probe_library(), with_count(2));
    dsp.open();
    ProbePins pins = pin_info(dsp);
    ASSERT_EQ(pins.count, 2);
    EXPECT_EQ(pins.pins[0].datatype, DT_CHOICE);
    EXPECT_EQ(pins.pins[1].datatype, DT_FSAMPLE);
}

TEST(SdkPins, ZeroCountLeavesNoArray)
{
    sehost::DspInstance dsp(probe_library(), with_count(0));
    dsp.open();
    ProbePins pins = pin_info(dsp);
    EXPECT_EQ(pins.count, 0);
    EXPECT_EQ(pins.has_array, 0);
    dsp.close(); // the destructor frees nothing
}

TEST(SdkPins, IsConnectedForAnyNonZeroAnswer)
{
    struct Case {
        int32_t answer;
        int32_t connected;
    } cases[] = {{0, 0}, {1, 1}, {5, 1}, {-1, 1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.answer);
        sehost::HostConfig config;
        config.is_pin_connected = [&](int) { return c.answer; };
        sehost::DspInstance dsp(probe_library(), config);
        dsp.open();
        int32_t connected = -1;
        dsp.dispatch(MOD_MESSAGE, 0, PROBE_IS_CONNECTED, &connected);
        EXPECT_EQ(connected, c.connected);
    }
}
