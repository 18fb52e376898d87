// patch_pulse through the reference host: the DSP pulse and its statuses at
// open and on patch changes, the message to the GUI side, the GUI bool
// pulse with its busy delay, and the declarations.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "float_bits.h"
#include "plugin_library.h"
#include "sehost/sehost.h"

namespace {

using sehost::DspInstance;
using sehost::GuiInstance;
using sehost::Library;

constexpr int kBoolPulse = 1; // declaration number, GUI side only

std::shared_ptr<sehost::Library> library()
{
    return se_test::plugin_library("patch_pulse");
}

using se_test::bits;

::testing::AssertionResult holds(const float *out, int from, int to, float value)
{
    for (int i = from; i < to; ++i)
        if (bits(out[i]) != bits(value))
            return ::testing::AssertionFailure() << "sample " << i << " is " << out[i];
    return ::testing::AssertionSuccess();
}

struct Change {
    uint32_t stamp;
    uint32_t clock;
};

std::vector<Change> changes(const DspInstance &dsp)
{
    std::vector<Change> result;
    for (const auto &s : dsp.statuses()) {
        EXPECT_EQ(s.pin, 0);
        EXPECT_EQ(s.status, STATUS_CHANGED);
        result.push_back({s.stamp, s.clock});
    }
    return result;
}

// Open fires: the first call rises at its first sample, the next falls at
// its first sample and sleeps; the module then stays asleep.
TEST(PatchPulse, PulseAtOpen)
{
    DspInstance dsp(library());
    dsp.open();
    EXPECT_EQ(dsp.gui_messages(), std::vector<int32_t>{995});
    float *out = dsp.output("Pulse");
    std::fill(out, out + 1024, 7.0f);
    dsp.run_block();
    auto c = changes(dsp);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].stamp, 0u);
    EXPECT_TRUE(holds(out, 0, 1024, 1.0f)) << "the whole rising call";
    EXPECT_TRUE(dsp.sleeps().empty());

    std::fill(out, out + 1024, 7.0f);
    dsp.run_block();
    c = changes(dsp);
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[1].stamp, 1024u);
    EXPECT_TRUE(holds(out, 0, 1024, 0.0f)) << "the whole falling call";
    EXPECT_EQ(dsp.sleeps(), std::vector<uint32_t>{1024});

    dsp.run(4 * 1024);
    EXPECT_EQ(dsp.process_calls(), 2u);
}

struct FiringCase {
    const char *what;
    std::vector<uint32_t> events; // offsets in the third block
    std::vector<uint32_t> rises;  // offsets announced 1.0
};

const std::vector<FiringCase> kFirings = {
    {"one patch change at 300", {300}, {300}},
    {"two patch changes at 100 and 200", {100, 200}, {100, 200}},
};

TEST(PatchPulse, PulseOnEveryPatchChange)
{
    for (const FiringCase &f : kFirings) {
        SCOPED_TRACE(f.what);
        DspInstance dsp(library());
        dsp.open();
        dsp.run(2048); // the pulse of open, then asleep
        dsp.clear_requests();
        float *out = dsp.output("Pulse");
        std::fill(out, out + 1024, 7.0f);
        for (uint32_t at : f.events)
            dsp.queue_patch_change(2048 + at);
        dsp.run_block();
        EXPECT_EQ(dsp.gui_messages(), std::vector<int32_t>(f.events.size(), 995));
        auto c = changes(dsp);
        ASSERT_EQ(c.size(), f.rises.size());
        for (size_t k = 0; k < c.size(); ++k) {
            EXPECT_EQ(c[k].stamp, 2048 + f.rises[k]);
            EXPECT_EQ(c[k].clock, 2048 + f.rises[k]);
        }
        EXPECT_TRUE(holds(out, 0, static_cast<int>(f.events[0]), 7.0f)) << "asleep before";
        EXPECT_TRUE(holds(out, static_cast<int>(f.events[0]), 1024, 1.0f));
        EXPECT_TRUE(dsp.sleeps().empty()) << "the pulse has not ended in this block";

        // The next call falls at its first sample; the module sleeps once
        // a block size of 0.0 has followed, announcing nothing more.
        dsp.clear_requests();
        dsp.split_lengths({10});
        dsp.run(40);
        c = changes(dsp);
        ASSERT_EQ(c.size(), 1u);
        EXPECT_EQ(c[0].stamp, 3072u);
        EXPECT_TRUE(holds(out, 0, 40, 0.0f));
        EXPECT_TRUE(holds(out, static_cast<int>(f.events[0]), 1024, 1.0f)) << "not yet overwritten";
        EXPECT_TRUE(dsp.sleeps().empty()) << "40 samples of 0.0 are not a block size";
        dsp.run(2048);
        EXPECT_EQ(changes(dsp).size(), 1u);
        EXPECT_EQ(dsp.sleeps(), std::vector<uint32_t>{3072 + 1020})
            << "the call that completes 1024 samples";
        EXPECT_TRUE(holds(out, 0, 1024, 0.0f)) << "no stale 1.0 left asleep";
    }
}

// A rise on a split block: the call after the rising one falls, whatever
// its length, and the calls after it keep writing 0.0 unannounced.
TEST(PatchPulse, FallsAtTheFirstSampleOfTheNextCall)
{
    DspInstance dsp(library());
    dsp.split_lengths({3, 5});
    dsp.open();
    float *out = dsp.output("Pulse");
    std::fill(out, out + 1024, 7.0f);
    dsp.run(20);
    auto c = changes(dsp);
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0].stamp, 0u);
    EXPECT_EQ(c[1].stamp, 3u);
    EXPECT_TRUE(holds(out, 0, 3, 1.0f));
    EXPECT_TRUE(holds(out, 3, 20, 0.0f));
    EXPECT_TRUE(dsp.sleeps().empty());
}

// The host may split any block after the rising call; the module may sleep
// only once its buffer holds no stale 1.0, or every later block repeats the
// pulse.  Two seconds at 44.1 kHz with a patch change at 1 s: one rise at
// open, a fall, one rise at the change and a fall, whatever the split.
TEST(PatchPulse, RandomSplitsLeaveNoStalePulse)
{
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        SCOPED_TRACE(seed);
        DspInstance dsp(library());
        dsp.split_random(seed, 64);
        dsp.capture("Pulse");
        dsp.open();
        dsp.queue_patch_change(44100);
        dsp.run(2 * 44100);
        const std::vector<float> &v = dsp.captured("Pulse");
        ASSERT_EQ(v.size(), 2u * 44100);
        std::vector<size_t> edges;
        for (size_t i = 1; i < v.size(); ++i)
            if (bits(v[i]) != bits(v[i - 1]))
                edges.push_back(i);
        ASSERT_EQ(edges.size(), 3u) << "first stale edge at " << (edges.size() > 3 ? edges[3] : 0);
        EXPECT_EQ(bits(v[0]), bits(1.0f));
        EXPECT_EQ(edges[1], 44100u) << "the rise at the patch change";
        EXPECT_TRUE(holds(v.data(), static_cast<int>(edges[2]), static_cast<int>(v.size()), 0.0f));
        EXPECT_EQ(dsp.sleeps().size(), 2u) << "asleep after each pulse";
        EXPECT_TRUE(dsp.asleep());
    }
}

// Other events wake the module through the base only: nothing fires, the
// installed falling function just runs again.
TEST(PatchPulse, OtherEventKindsDoNotFire)
{
    const int32_t kinds[] = {EV_PIN_STATUS + 1, EV_MIDI, 5, 7, EV_RUN_FUNCTION + 1, 99};
    for (int32_t kind : kinds) {
        SCOPED_TRACE(kind);
        DspInstance dsp(library());
        dsp.open();
        dsp.run(2048);
        dsp.clear_requests();
        TimedEvent e{};
        e.time_stamp = 2048 + 50;
        e.kind = kind;
        dsp.queue_event(e);
        dsp.run_block();
        EXPECT_TRUE(dsp.gui_messages().empty());
        EXPECT_TRUE(dsp.process_changes().empty());
        auto c = changes(dsp);
        ASSERT_EQ(c.size(), 1u);
        EXPECT_EQ(c[0].stamp, 2048u + 50);
        EXPECT_EQ(dsp.sleeps(), std::vector<uint32_t>{2048 + 50});
        EXPECT_TRUE(holds(dsp.output("Pulse"), 50, 1024, 0.0f));
    }
}

std::vector<int32_t> bool_writes(const GuiInstance &gui)
{
    std::vector<int32_t> v;
    for (const auto &w : gui.writes()) {
        EXPECT_EQ(w.pin, kBoolPulse);
        EXPECT_EQ(w.kind, sehost::GuiValue::Kind::Int);
        v.push_back(w.i);
    }
    return v;
}

TEST(PatchPulse, GuiSideActsOnMessage995Only)
{
    DspInstance dsp(library());
    auto gui = GuiInstance::make(library(), dsp.pins());
    ASSERT_TRUE(gui);
    gui->set_pin(kBoolPulse, 1); // a stale true from the patch
    gui->initialise(0);
    EXPECT_EQ(bool_writes(*gui), std::vector<int32_t>{0});
    EXPECT_EQ(gui->int_value(kBoolPulse), 0);
    gui->clear_writes();

    for (int32_t message : {994, 996, 0, -995}) {
        gui->dsp_message(message);
        EXPECT_TRUE(gui->writes().empty()) << message;
    }

    // 1, the busy delay, 0: all inside the one message call.
    using Clock = std::chrono::steady_clock;
    std::vector<Clock::time_point> at;
    gui->on_write = [&at](int, const sehost::GuiValue &) { at.push_back(Clock::now()); };
    gui->dsp_message(995);
    EXPECT_EQ(bool_writes(*gui), (std::vector<int32_t>{1, 0}));
    EXPECT_EQ(gui->int_value(kBoolPulse), 0);
    ASSERT_EQ(at.size(), 2u);
    const double ms = std::chrono::duration<double, std::milli>(at[1] - at[0]).count();
    std::printf("bool pulse: %.2f ms between true and false\n", ms);
    // 90,000,000 dependent iterations cannot finish in 5 ms on any machine
    // this runs on; a loop the compiler dropped takes microseconds.
    EXPECT_GT(ms, 5.0);
}

// Both sides joined: open and every patch change reach the GUI side.
TEST(PatchPulse, BothSidesFireTogether)
{
    sehost::Module m(library());
    m.open();
    GuiInstance *gui = m.gui();
    ASSERT_NE(gui, nullptr);
    EXPECT_EQ(bool_writes(*gui), (std::vector<int32_t>{0, 1, 0})) << "Initialise, then the pulse";
    gui->clear_writes();
    m.dsp().queue_patch_change(300);
    m.run_block();
    EXPECT_EQ(bool_writes(*gui), (std::vector<int32_t>{1, 0}));
}

TEST(PatchPulse, PropertiesAndPins)
{
    const sehost::ModuleInfo info = library()->properties();
    EXPECT_EQ(info.name, "JW Patch Pulse v1");
    EXPECT_EQ(info.identifier, "JW Patch Pulse v1");
    EXPECT_EQ(info.flags, 256);
    EXPECT_EQ(info.sdk_revision, 2230);
    EXPECT_EQ(std::count(info.about.begin(), info.about.end(), '\n'), 1);
    EXPECT_NE(info.about.front(), '\n');
    EXPECT_NE(info.about.back(), '\n');

    // The revision is written before the index is looked at.
    for (int32_t index : {1, -1}) {
        ModuleProperties p;
        std::memset(&p, 0, sizeof p);
        EXPECT_EQ(library()->get_properties_fn()(index, &p), 0);
        EXPECT_EQ(p.sdk_revision, 2230);
        EXPECT_EQ(p.name, nullptr);
        EXPECT_EQ(p.flags, 0);
    }

    DspInstance dsp(library());
    const auto &pins = dsp.pins();
    ASSERT_EQ(pins.size(), 2u);
    EXPECT_EQ(pins[0].name, "Pulse");
    EXPECT_EQ(pins[0].direction, DR_OUT);
    EXPECT_EQ(pins[0].datatype, DT_FSAMPLE);
    EXPECT_EQ(pins[0].flags, 0x200);
    EXPECT_NE(pins[0].variable_address, 0u);
    EXPECT_EQ(pins[0].dsp_index, 0);
    EXPECT_EQ(pins[1].name, "Bool pulse");
    EXPECT_EQ(pins[1].direction, DR_OUT);
    EXPECT_EQ(pins[1].datatype, DT_BOOLEAN);
    EXPECT_EQ(pins[1].flags, 0x400);
    EXPECT_EQ(pins[1].variable_address, 0u);
    EXPECT_EQ(pins[1].dsp_index, -1);
    for (const auto &p : pins) {
        EXPECT_FALSE(p.default_value.has_value());
        EXPECT_FALSE(p.list_text.has_value());
    }
    EXPECT_EQ(dsp.dsp_pins().size(), 1u);
}

} // namespace
