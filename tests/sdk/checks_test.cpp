// Contract checks: each stops the process with its expression text and the
// SDK source that made it.
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

void refused_operation(int32_t op)
{
    sehost::DspInstance dsp(probe_library());
    dsp.dispatch(op);
}

void pin_without_pins()
{
    sehost::DspInstance dsp(probe_library(), with_count(0));
    dsp.open();
    dsp.dispatch(MOD_MESSAGE, 0, PROBE_PIN_AT);
}

void pin_past_the_count()
{
    sehost::DspInstance dsp(probe_library(), with_count(2));
    dsp.open();
    dsp.dispatch(MOD_MESSAGE, 2, PROBE_PIN_AT);
}

void post_into_the_past()
{
    sehost::DspInstance dsp(probe_library());
    dsp.open();
    dsp.run(100);
    dsp.dispatch(MOD_MESSAGE, -1, PROBE_POST_EVENT);
}

void midi_into_the_past()
{
    sehost::DspInstance dsp(probe_library());
    dsp.open();
    dsp.run(100);
    dsp.dispatch(MOD_MESSAGE, -1, PROBE_SEND_MIDI);
}

void current_sample_of_a_choice_pin()
{
    sehost::DspInstance dsp(probe_library());
    dsp.open();
    float sample = 0.0f;
    dsp.dispatch(MOD_MESSAGE, 0, PROBE_CURRENT_SAMPLE, &sample);
}

void event_off_its_time()
{
    sehost::DspInstance dsp(probe_library());
    dsp.open();
    dsp.run(100);
    TimedEvent e{};
    e.time_stamp = 7;
    e.kind = EV_PATCH_CHANGE;
    PlugRecord *rec = dsp.record();
    rec->event(rec->object, &e);
}

void stored_input_pin()
{
    auto lib = sehost::Library::load(se_test::plugin_path("sdk_bad_pin_module"));
    auto *rec = static_cast<PlugRecord *>(lib->make_module_fn()(0, SE_MAKE_DSP, nullptr, nullptr));
    SEPinProperties p{};
    if (rec != nullptr)
        rec->dispatch(rec, MOD_GET_PIN_PROPERTIES, 0, 0, &p, 0.0f);
}

void gui_without_callback()
{
    auto make = probe_library()->make_module_fn();
    auto *rec = static_cast<GuiPlugRecord *>(make(0, SE_MAKE_GUI, nullptr, nullptr));
    if (rec != nullptr)
        rec->dispatcher(rec, GUI_OP_INITIALISE, 1, 0, nullptr, 0.0f);
}
} // namespace

TEST(SdkChecksDeathTest, StopWithExpressionAndSource)
{
    struct Case {
        const char *name;
        void (*run)();
        const char *pattern;
    } cases[] = {
        {"operation 7", [] { refused_operation(7); }, "SEModule_base.*check failed: false"},
        {"operation 10", [] { refused_operation(10); }, "SEModule_base.*check failed: false"},
        {"PinAt without pins", pin_without_pins, "SEModule_base.*m_pins != 0"},
        {"PinAt past the count", pin_past_the_count, "SEModule_base.*index < m_pin_count"},
        {"event posted into the past", post_into_the_past,
         "SEModule_base.*p_time_stamp >= SampleClock\\(\\)"},
        {"MIDI into the past", midi_into_the_past,
         "SEPin.*sampleclock >= m_module->SampleClock\\(\\)"},
        {"CurrentSample of a choice", current_sample_of_a_choice_pin,
         "SEPin.*m_datatype == DT_FSAMPLE"},
        {"event off its time", event_off_its_time,
         "SEModule_base.*e->time_stamp == SampleClock\\(\\)"},
        {"stored input pin", stored_input_pin,
         "SEModule_base.*IO_PATCH_STORE\\) == 0 \\|\\| .*IO_PRIVATE\\) != 0 \\|\\| .*direction == "
         "DR_OUT"},
        {"GUI side without callback", gui_without_callback, "SEGUI_base\\(134\\).*seaudioMaster"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_DEATH(c.run(), c.pattern);
    }
}
