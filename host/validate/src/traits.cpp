// traits.cpp - per-module declarations, taken from each module's rules.
#include "traits.h"

namespace sevalidate {
namespace {

std::vector<Traits> make_table() {
    std::vector<Traits> t;
    Traits x;

    // The index is sent at t0 + D + i, D drawn once per process call from
    // the timing generator (stepped per call) and the first samples of the
    // timing inputs: with Humanise 0 and a constant Shift, D is the same for
    // every call and the sends do not depend on the split.
    x = Traits{};
    x.identifier = "Pulse_Count_IDX_V2_QZ2008";
    x.writes_whole_stretch = true; // no audio output
    x.split_invariant = true;
    x.split_rules = {{"Humanise (ms)", Drive::Zero}, {"Shift/Delay (ms) +ve only", Drive::Constant}};
    x.why = "humanise draws once per process call";
    t.push_back(x);

    // The level is read once per call; the input streams, so the module never
    // sleeps (the sleep announcement is stamped at the end of a call).
    x = Traits{};
    x.identifier = "Edge_Detect_QZ2003";
    x.writes_whole_stretch = true;
    x.split_invariant = true;
    x.split_rules = {{"Pulse Level", Drive::Constant}, {"Audio In", Drive::Any}};
    x.why = "the level is read once per call";
    x.finite_needs = {"Pulse Level"};
    t.push_back(x);

    x = Traits{};
    x.identifier = "Osc_Pitch_Adj_QZ2006";
    x.writes_whole_stretch = true;
    x.split_invariant = true;
    x.why = "a constant written from each change on";
    t.push_back(x);

    x = Traits{};
    x.identifier = "Midi_1_to_Choice_QZ2005";
    x.writes_whole_stretch = true;
    x.split_invariant = true;
    x.why = "MIDI keeps its own stamps";
    t.push_back(x);

    // The stretch at clock 0 is skipped and a still Value CV lets the module
    // sleep at the end of a stretch: with the gate low through the first
    // block and a Value CV that moves at every sample the split is invisible.
    x = Traits{};
    x.identifier = "tavenor CVto(N)RPN";
    x.writes_whole_stretch = true;
    x.split_invariant = true;
    x.split_rules = {{"Gate", Drive::LowAtStart}, {"Value CV", Drive::Moving}};
    x.why = "the stretch at clock 0 is skipped and a still Value CV sleeps per stretch";
    t.push_back(x);

    for (const char *id : {"GUI_Panel_Switch_8_QZ2009", "GUI_Panel_Switch_4_QZ2009"}) {
        x = Traits{};
        x.identifier = id;
        x.writes_whole_stretch = true;
        x.split_invariant = true;
        x.why = "no DSP output";
        t.push_back(x);
    }

    x = Traits{};
    x.identifier = "GUI_Bool_to_Volts_QZ2010";
    x.writes_whole_stretch = true;
    x.split_invariant = true;
    x.why = "the level is written from each change on";
    t.push_back(x);

    // The pulse falls at the first sample of the call after the one that
    // raised it, so its width follows the split; the number of pulses and
    // their order do not.
    x = Traits{};
    x.identifier = "JW Patch Pulse v1";
    x.writes_whole_stretch = true;
    x.split_invariant = true;
    x.split_levels_only = true;
    x.why = "the pulse ends at the first sample of the next process call";
    t.push_back(x);

    // Modules of the validator's own tests.
    x = Traits{};
    x.identifier = "sevalidate.selftest";
    x.writes_whole_stretch = true;
    x.split_invariant = true;
    x.why = "self-test module";
    x.finite_needs = {"In"};
    t.push_back(x);
    return t;
}

} // namespace

const Traits &traits_for(const std::string &identifier) {
    static const std::vector<Traits> table = make_table();
    static const Traits unknown{};
    for (const Traits &t : table)
        if (identifier == t.identifier)
            return t;
    // The self-test modules share one entry by prefix.
    if (identifier.rfind("sevalidate.selftest", 0) == 0)
        return table.back();
    return unknown;
}

} // namespace sevalidate
