// The live engine without a server: driven period by period as the
// server's callback drives it, it must give what the offline runner gives,
// and never allocate.
#include <gtest/gtest.h>

#include <algorithm>

#include "alloc_probe.h"
#include "errors.h"
#include "live_engine.h"
#include "live_support.h"

using namespace livetest;
using secli::LiveEngine;
using secli::LiveMidiList;

namespace {

namespace probe = sevalidate::alloc_probe;

struct Drive {
    Recorded out;
    uint64_t allocations = 0;
};

// Runs `periods` periods with the tape on every audio input and the MIDI
// tape on every MIDI input; the allocation counter is armed around each
// process call only.
Drive drive(LiveEngine &e, uint64_t periods, bool keep) {
    const uint64_t length = periods * kPeriod;
    std::vector<float> tape = input_tape(length);
    auto notes = midi_tape(length);
    std::vector<std::vector<float>> outs(e.audio_outputs().size(), std::vector<float>(kPeriod));
    std::vector<float *> out_ptrs;
    for (auto &o : outs)
        out_ptrs.push_back(o.data());
    std::vector<const float *> in_ptrs(e.audio_inputs().size());
    std::vector<LiveMidiList> midi_in(e.midi_inputs().size()), midi_out(e.midi_outputs().size());
    for (auto *lists : {&midi_in, &midi_out})
        for (LiveMidiList &l : *lists)
            l.items.resize(LiveEngine::kMidiPerPeriod);
    Drive d;
    for (const std::string &n : e.midi_outputs())
        d.out.midi[n];
    size_t next_note = 0;
    e.open();
    probe::reset();
    for (uint64_t k = 0; k < periods; ++k) {
        const uint64_t start = k * kPeriod;
        std::fill(in_ptrs.begin(), in_ptrs.end(), tape.data() + start);
        for (LiveMidiList &l : midi_in)
            l.clear();
        for (; next_note < notes.size() && notes[next_note].first < start + kPeriod; ++next_note)
            for (LiveMidiList &l : midi_in)
                l.add(static_cast<uint32_t>(notes[next_note].first - start), notes[next_note].second);
        probe::arm();
        e.process(kPeriod, in_ptrs.data(), midi_in.data(), out_ptrs.data(), midi_out.data());
        probe::disarm();
        if (!keep)
            continue;
        for (size_t o = 0; o < outs.size(); ++o) {
            auto &v = d.out.audio[e.audio_outputs()[o]];
            v.insert(v.end(), outs[o].begin(), outs[o].end());
        }
        for (size_t o = 0; o < midi_out.size(); ++o)
            for (size_t i = 0; i < midi_out[o].count; ++i)
                d.out.midi[e.midi_outputs()[o]].emplace_back(start + midi_out[o].items[i].frame,
                                                             midi_out[o].items[i].message);
    }
    d.allocations = probe::state().news + probe::state().mallocs;
    e.close();
    EXPECT_FALSE(e.faulted()) << e.fault();
    return d;
}

TEST(LiveEngine, EqualsTheOfflineRunOfTheSamePatchAndInputs) {
    const uint64_t periods = 750, length = periods * kPeriod; // 4 s
    std::string wav = write_wav(input_tape(length));
    Recorded off = offline(wav, length);
    unlink(wav.c_str());
    LiveEngine e(test_patch("jack:in", length), kRate, kPeriod);
    ASSERT_EQ(e.audio_inputs(), std::vector<std::string>{"in"});
    ASSERT_EQ(e.midi_inputs(), std::vector<std::string>{"router.Midi In"});
    Drive d = drive(e, periods, true);
    EXPECT_EQ(difference(d.out, off), "");
    // The comparison has something to compare: pulses and routed notes.
    const auto &pulses = off.audio.at("edge.Pulse Out");
    EXPECT_NE(std::count(pulses.begin(), pulses.end(), 0.0f), static_cast<long>(pulses.size()));
    size_t routed = 0;
    for (const auto &[name, list] : off.midi)
        routed += list.size();
    EXPECT_GT(routed, 10u);
}

TEST(LiveEngine, NoAllocationInTheCallbackOverAMinuteOfTheDemoPatch) {
    ASSERT_TRUE(probe::state().new_hooked) << "the counting allocator is not linked in";
    LiveEngine e(secli::demo_patch(), kRate, kPeriod);
    Drive d = drive(e, 60 * static_cast<uint64_t>(kRate) / kPeriod, false);
    EXPECT_EQ(d.allocations, 0u);
    EXPECT_EQ(e.clock(), 60 * static_cast<uint64_t>(kRate));
}

TEST(LiveEngine, RefusesWhatThePatchCannotUse) {
    struct Case {
        const char *what;
        double rate;
        uint32_t period;
        const char *source;
        const char *says;
    } cases[] = {
        {"rate too low", 500, 256, "jack:in", "sample rate"},
        {"rate too high", 1e6, 256, "jack:in", "sample rate"},
        {"no period", 48000, 0, "jack:in", "period"},
        {"period too long", 48000, 70000, "jack:in", "period"},
        {"port without name", 48000, 256, "jack:", "must name a port"},
        {"port with a client", 48000, 256, "jack:system:capture_1", "must name a port"},
    };
    for (const Case &c : cases) {
        try {
            LiveEngine e(test_patch(c.source, kPeriod), c.rate, c.period);
            ADD_FAILURE() << c.what << ": accepted";
        } catch (const secli::InputError &err) {
            EXPECT_NE(std::string(err.what()).find(c.says), std::string::npos) << c.what << ": " << err.what();
        }
    }
}

} // namespace
