// demo_patch.cpp - the built-in demo: all nine plug-ins of the pack working
// together for eight seconds.
//
//   osc (sine 4 Hz) -> edge (LeadX, Sqr2: a 2 Hz square, half the rate)
//     -> count (ON, Fwd+Back over 1..4) -> "Index:Count" -> router.Choice
//   phrase (a note every 250 ms) -> router: the note goes to the output the
//     count chooses, with all-notes-off on the output it leaves
//   gate (0.25 Hz square) and lfo (0.5 Hz sine, 0..10 V) -> rpn: NRPN 74
//     on channel 1 at 7 bits while the gate is high
//   pitch: octave, semitone and cent settings changing over time
//   toggle (bool_volts) and panels (panel_switch8): driven by a GUI script
//   tabs (panel_switch4, Keep 1 Panel): switching way 4 off is undone at the
//     next idle call, so one panel always stays shown
//   pulse (patch_pulse): fires at open and at patch changes at 3 s and 6 s
#include "patch/patch.h"

namespace secli {
namespace {

Setting set(const std::string &pin, const std::string &value)
{
    return Setting{pin, value, "demo: " + pin};
}

TimedSetting at(double seconds, const std::string &pin, const std::string &value)
{
    return TimedSetting{TimeSpec{seconds, false, 0}, pin, value, "demo: " + pin};
}

ModuleSpec module(const std::string &name, const std::string &plugin)
{
    ModuleSpec m;
    m.name = name;
    m.plugin = plugin;
    m.where = "demo: " + name;
    return m;
}

} // namespace

Patch demo_patch()
{
    Patch p;
    p.origin = "built-in demo";
    p.rate = 44100;
    p.block = 1024;
    p.duration = TimeSpec{8.0, false, 0};
    p.sources = {{"osc", "sine:4:5", "demo: osc"},
                 {"gate", "square:0.25:5:5", "demo: gate"},
                 {"lfo", "sine:0.5:5:5", "demo: lfo"}};

    ModuleSpec edge = module("edge", "edge_detect");
    edge.set = {set("Detect Mode", "LeadX"), set("Pulse Mode", "Sqr2"), set("Pulse Level", "5")};

    ModuleSpec count = module("count", "pulse_counter");
    count.set = {set("Active", "ON"), set("Mode", "Fwd+Back"), set("Start", "1"), set("End", "4")};

    ModuleSpec router = module("router", "midi_choice");
    router.repeat = 3;
    router.set = {set("All-Notes-Off on Change?", "Yes")};
    for (int i = 0; i < 32; ++i) {
        MidiIn on, off;
        on.time = TimeSpec{0.25 * i + 0.01, false, 0};
        on.message = 0x90 | (60 + (i % 8) * 2) << 8 | 100 << 16;
        off.time = TimeSpec{0.25 * i + 0.2, false, 0};
        off.message = 0x80 | (60 + (i % 8) * 2) << 8;
        router.midi.push_back(on);
        router.midi.push_back(off);
    }
    router.midi_where = "demo: phrase";

    ModuleSpec rpn = module("rpn", "cv_to_rpn");
    rpn.set = {set("RPN/NRPN", "NRPN"), set("Parameter#", "74"), set("Channel", "1"),
               set("Bit Depth", "7")};

    ModuleSpec pitch = module("pitch", "pitch_adjust");
    pitch.at = {at(1.0, "Octave", "+1"), at(2.5, "Semitone", "+7"), at(4.0, "Cents", "50"),
                at(5.5, "Octave", "-2"), at(7.0, "Semitone", "0")};

    ModuleSpec toggle = module("toggle", "bool_volts");
    toggle.at = {at(1.0, "Bool (PatchMem)", "ON"), at(3.0, "Bool (PatchMem)", "OFF"),
                 at(5.0, "Bool (PatchMem)", "ON")};

    ModuleSpec panels = module("panels", "panel_switch8");
    panels.set = {set("1 Switch (Animation)", "1")};
    panels.at = {at(1.5, "3 Switch (Animation)", "1"), at(3.5, "6 Switch (Animation)", "1"),
                 at(5.5, "6 Switch (Animation)", "0"), at(6.5, "8 Switch (Animation)", "1")};

    ModuleSpec tabs = module("tabs", "panel_switch4");
    tabs.set = {set("Mode", "Keep 1 Panel"), set("2 Switch (Animation)", "1")};
    tabs.at = {at(2.0, "4 Switch (Animation)", "1"), at(4.0, "4 Switch (Animation)", "0"),
               at(6.0, "1 Switch (Animation)", "1")};

    ModuleSpec pulse = module("pulse", "patch_pulse");
    pulse.patch_changes = {{TimeSpec{3.0, false, 0}, "demo: pulse"},
                           {TimeSpec{6.0, false, 0}, "demo: pulse"}};

    p.modules = {edge, count, router, rpn, pitch, toggle, panels, tabs, pulse};
    p.wires = {{"osc", "edge.Audio In", "demo: osc -> edge"},
               {"edge.Pulse Out", "count.Pulse/Osc In", "demo: edge -> count"},
               {"count.Index:Count", "router.Choice", "demo: count -> router"},
               {"gate", "rpn.Gate", "demo: gate -> rpn"},
               {"lfo", "rpn.Value CV", "demo: lfo -> rpn"}};
    return p;
}

} // namespace secli
