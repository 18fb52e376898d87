// A host that makes another number of pins than a module declares: fewer
// leaves declared audio pins without a buffer of the host's, more gives
// pins nothing declared. Neither may make the module write through a null
// buffer or reach a pin it never bound; the pins the host did make work as
// ever. (A module that asks for a missing pin by PinAt stops at the SDK's
// contract check instead, as the checks tests show.)
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "plugin_path.h"
#include "sehost/sehost.h"

namespace {

struct Case {
    const char *name;
    const char *plugin;
    int32_t pin_count;
    // Settings and sources on the pins the host made, before open.
    std::function<void(sehost::DspInstance &)> set_up;
    // What must hold after the run, beyond "no fault".
    std::function<void(sehost::DspInstance &)> check;
};

} // namespace

TEST(HostPinCount, NoMissingOrUndeclaredPinFaults)
{
    const auto nothing = [](sehost::DspInstance &) {};
    const Case cases[] = {
        // No pins: the output variable has no host buffer, the process
        // function writes it every call until it sleeps.
        {"no pins, audio output written", "pitch_adjust", 0, nothing,
         [](sehost::DspInstance &dsp) { EXPECT_FALSE(dsp.sleeps().empty()); }},
        // Two pins more than declared: their statuses at open reach pins the
        // module never bound. Its own output is right all the same.
        {"two undeclared pins", "pitch_adjust", 6,
         [](sehost::DspInstance &dsp) { dsp.set_value("Octave", 1); },
         [](sehost::DspInstance &dsp) { EXPECT_EQ(dsp.output("Pitch_Adj")[0], 0.1f); }},
        {"undeclared pins of a GUI-only module", "panel_switch4", 3, nothing,
         [](sehost::DspInstance &dsp) { EXPECT_FALSE(dsp.sleeps().empty()); }},
        // Built without the checks: audio inputs missing read silence, so
        // the gate stays shut.
        {"no pins, audio inputs read", "cv_to_rpn", 0, nothing,
         [](sehost::DspInstance &dsp) { EXPECT_TRUE(dsp.midi_out().empty()); }},
        // Gate and Value CV made, the MIDI output not: the messages the
        // moving value sends reach no pin of the host's.
        {"MIDI output missing", "cv_to_rpn", 6,
         [](sehost::DspInstance &dsp) {
             dsp.set_source("Gate", [](uint32_t) { return 1.0f; });
             dsp.set_source("Value CV",
                            [](uint32_t t) { return 0.5f + 0.4f * std::sin(0.01f * float(t)); });
         },
         [](sehost::DspInstance &dsp) {
             EXPECT_TRUE(dsp.midi_out().empty());
             EXPECT_GT(dsp.process_calls(), 2u);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto lib = sehost::Library::load(se_test::plugin_path(c.plugin));
        sehost::HostConfig config;
        config.pin_count = c.pin_count;
        config.block_size = 256;
        sehost::DspInstance dsp(lib, config);
        c.set_up(dsp);
        EXPECT_NO_THROW({
            dsp.open();
            dsp.run(4 * 256);
        });
        EXPECT_TRUE(dsp.errors().empty()) << dsp.errors().front();
        c.check(dsp);
    }
}
