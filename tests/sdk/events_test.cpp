// Event delivery, statuses, MIDI, posted events and process functions.
#include <gtest/gtest.h>

#include "sdk_support.h"

using namespace sdk_test;

TEST(SdkEvents, StatusInsideHandlerAndAfterwards)
{
    struct Case {
        int32_t sent, inside, after;
    } cases[] = {
        {STATUS_CHANGED, 1, 0}, // a single change holds still once handled
        {STATUS_STREAMING, 2, 2},
        {STATUS_STILL, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.sent);
        sehost::DspInstance dsp(probe_library());
        dsp.open();
        const size_t before = hooks(dsp, HOOK_PIN_STATUS).size();
        dsp.set_status(0, c.sent, 10);
        dsp.run(64);
        auto seen = hooks(dsp, HOOK_PIN_STATUS);
        ASSERT_EQ(seen.size(), before + 1);
        EXPECT_EQ(seen.back().a, 0);
        EXPECT_EQ(seen.back().b, c.inside);
        EXPECT_EQ(pin_info(dsp).pins[0].status, c.after);
    }
}

TEST(SdkEvents, OpenDeliversInitialStatusesForInputsAtClockZero)
{
    sehost::DspInstance dsp(probe_library());
    dsp.open();
    auto seen = hooks(dsp, HOOK_PIN_STATUS);
    // DSP inputs 0, 1, 2 in pin order; the MIDI output gets none.
    ASSERT_EQ(seen.size(), 3u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(seen[i].a, i);
}

TEST(SdkEvents, MidiExtraIsTheSignedLow16Bits)
{
    struct Case {
        int32_t value16;
        int32_t extra;
    } cases[] = {{int32_t(0xFFFF8001u), -32767}, {0x7FFF, 32767}, {0x18000, -32768}, {0, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value16);
        sehost::DspInstance dsp(probe_library());
        dsp.open();
        dsp.queue_midi(5, 0x407F90, c.value16);
        dsp.run(16);
        auto midi = hooks(dsp, HOOK_MIDI);
        ASSERT_EQ(midi.size(), 1u);
        EXPECT_EQ(midi[0].a, 5);
        EXPECT_EQ(midi[0].b, 0x407F90);
        EXPECT_EQ(midi[0].c, c.extra);
    }
}

TEST(SdkEvents, PostedEventAtTheCurrentClockRunsThere)
{
    sehost::DspInstance dsp(probe_library());
    dsp.open();
    dsp.run(100);
    dsp.dispatch(MOD_MESSAGE, 0, PROBE_POST_EVENT);  // RunAt(now)
    dsp.dispatch(MOD_MESSAGE, 30, PROBE_POST_EVENT); // RunAt(now + 30)
    dsp.run(100);
    auto runs = hooks(dsp, HOOK_RUN);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].a, 100);
    EXPECT_EQ(runs[1].a, 130);
}

TEST(SdkEvents, ProcessCallsSplitAtEvents)
{
    sehost::DspInstance dsp(probe_library());
    dsp.open();
    dsp.set_status(0, STATUS_CHANGED, 300);
    dsp.run_block();
    auto calls = hooks(dsp, HOOK_PROCESS_A);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].a, 0);   // start
    EXPECT_EQ(calls[0].b, 300); // count
    EXPECT_EQ(calls[0].c, 0);   // clock of the first sample
    EXPECT_EQ(calls[1].a, 300);
    EXPECT_EQ(calls[1].b, 1024 - 300);
    EXPECT_EQ(calls[1].c, 300);
}

TEST(SdkEvents, InstallingTheSameFunctionTwiceTellsTheHostOnce)
{
    sehost::DspInstance dsp(probe_library());
    dsp.open();
    const size_t after_open = dsp.process_changes().size();
    EXPECT_EQ(after_open, 1u); // process_a installed by Open
    dsp.dispatch(MOD_MESSAGE, 0, PROBE_INSTALL_TWICE);
    EXPECT_EQ(dsp.process_changes().size(), after_open + 1);
    dsp.run(32);
    EXPECT_EQ(hooks(dsp, HOOK_PROCESS_B).size(), 1u);
    EXPECT_EQ(hooks(dsp, HOOK_PROCESS_A).size(), 0u);
}

TEST(SdkEvents, MidiAtTheCurrentClockPassesTheCheck)
{
    sehost::DspInstance dsp(probe_library());
    dsp.open();
    dsp.run(40);
    dsp.dispatch(MOD_MESSAGE, 0, PROBE_SEND_MIDI);
    auto midi = dsp.midi_out();
    ASSERT_EQ(midi.size(), 1u);
    EXPECT_EQ(midi[0].pin, 3);
    EXPECT_EQ(midi[0].stamp, 40u);
    EXPECT_EQ(midi[0].message, 0x407F90);
}

TEST(SdkEvents, CurrentSampleIsTheSampleAtTheClock)
{
    sehost::DspInstance dsp(probe_library());
    dsp.set_source(1, [](uint32_t clock) { return 0.5f * static_cast<float>(clock); });
    dsp.open();
    dsp.run(100);
    float sample = -1.0f;
    dsp.dispatch(MOD_MESSAGE, 1, PROBE_CURRENT_SAMPLE, &sample);
    EXPECT_EQ(sample, 50.0f);
}
