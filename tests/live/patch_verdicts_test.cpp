// One table of patches, each run by both drivers of the patch graph: the
// offline runner (as `sehost run` runs it) and the live engine (as
// `sehost play` runs it, driven period by period without a server). Every
// wiring rule and patch error gives the same verdict and the same text from
// both. SEHOST_SHOW_VERDICTS=1 prints the table.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "common/errors.h"
#include "live/live_engine.h"
#include "offline/offline_runner.h"
#include "patch/patch.h"
#include "patch/plugin_find.h"
#include "plugin_path.h"

namespace {

using secli::InputError;

// The verdict of the offline runner: "" when the patch runs to its end,
// else the error's text.
std::string offline_verdict(const secli::Patch &p)
{
    struct Nothing : secli::RunSink {
        void audio(size_t, const float *, size_t) override {}
        void midi(size_t, uint64_t, int32_t) override {}
        void event(const std::string &) override {}
    } sink;
    try {
        secli::Runner runner(p);
        runner.run(sink);
    } catch (const InputError &e) {
        return e.what();
    }
    return "";
}

// The same of the live engine over the patch's duration; with `patience`,
// then as long as its GUI thread may take to answer what it was given.
std::string live_verdict(const secli::Patch &p, bool patience)
{
    try {
        const uint32_t period = static_cast<uint32_t>(p.block);
        secli::LiveEngine e(p, p.rate, period);
        std::vector<std::vector<float>> ins(e.audio_inputs().size(), std::vector<float>(period));
        std::vector<std::vector<float>> outs(e.audio_outputs().size(), std::vector<float>(period));
        std::vector<const float *> in_ptrs;
        std::vector<float *> out_ptrs;
        for (auto &b : ins)
            in_ptrs.push_back(b.data());
        for (auto &b : outs)
            out_ptrs.push_back(b.data());
        std::vector<secli::LiveMidiList> midi_in(e.midi_inputs().size()),
            midi_out(e.midi_outputs().size());
        for (auto &l : midi_out)
            l.items.resize(secli::LiveEngine::kMidiPerPeriod);
        e.open();
        auto period_once = [&] {
            e.process(period, in_ptrs.data(), midi_in.data(), out_ptrs.data(), midi_out.data());
        };
        const uint64_t total = p.duration.clock(p.rate);
        while (e.clock() < total && !e.faulted())
            period_once();
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (patience && !e.faulted() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            period_once();
        }
        e.close();
        return e.fault();
    } catch (const InputError &e) {
        return e.what();
    }
}

struct Row {
    const char *name;
    const char *patch;               // JSON; FOLLOWER stands for the test plug-in's path
    const char *says;                // in the error; "" when the patch is accepted
    const char *live_says = nullptr; // where live differs by design: a live run has no end
};

// Two edge detectors, a counter, a router, a lamp and panels: every kind of
// pin. Rows add "sources" and "connections" (and change modules) as they need.
#define MODULES                                                                                        \
    R"j("modules": [{"name": "a", "plugin": "edge_detect"}, {"name": "b", "plugin": "edge_detect"},)j" \
    R"j({"name": "count", "plugin": "pulse_counter"}, {"name": "r", "plugin": "midi_choice"},)j"       \
    R"j({"name": "lamp", "plugin": "bool_volts"}, {"name": "panels", "plugin": "panel_switch4"}])j"
#define PATCH(rest) "{\"duration\": \"0.05s\", \"block\": 256, " MODULES ", " rest "}"

const Row kRows[] = {
    // Accepted: every kind of connection, and loops that are no audio loop.
    {"every kind", PATCH(R"j("sources": {"osc": "sine:50:5"}, "connections": [["osc", "a.Audio In"],
        ["a.Pulse Out", "count.Pulse/Osc In"], ["count.Index:Count", "r.Choice"],
        ["panels.Controls on Parent 2", "lamp.Bool (PatchMem)"]])j"),
     ""},
    {"MIDI merged from two outputs",
     R"j({"duration": "0.05s", "modules": [{"name": "x", "plugin": "midi_choice"},
        {"name": "y", "plugin": "midi_choice"}, {"name": "r", "plugin": "midi_choice"}],
        "connections": [["x.Add Midi Out", "r.Midi In"], ["y.Add Midi Out", "r.Midi In"]]})j",
     ""},
    {"MIDI loop through one instance",
     PATCH(R"j("connections": [["r.Add Midi Out", "r.Midi In"]])j"), ""},
    {"value loop through one instance",
     PATCH(R"j("connections": [["count.Index:Count", "count.End"]])j"), ""},
    // Names.
    {"no modules", R"j({"modules": []})j", "patch.json: the patch has no modules"},
    {"unknown plug-in", R"j({"modules": [{"name": "a", "plugin": "no_such_module"}]})j",
     "modules[0].plugin: no plug-in \"no_such_module\""},
    {"name used twice",
     R"j({"modules": [{"name": "a", "plugin": "edge_detect"}, {"name": "a", "plugin": "edge_detect"}]})j",
     "modules[1]: the name \"a\" is used twice"},
    {"names equal but for case",
     R"j({"modules": [{"name": "a", "plugin": "edge_detect"}, {"name": "A", "plugin": "edge_detect"}]})j",
     "modules[1].name: \"A\" differs from \"a\" (modules[0]) only in case"},
    {"name of a source", PATCH(R"j("sources": {"a": "sine:50"})j"),
     "modules[0]: the name \"a\" is used twice"},
    {"unsafe instance name", R"j({"modules": [{"name": "con", "plugin": "edge_detect"}]})j",
     "modules[0].name: instance name \"con\" must be 1 to 64 letters"},
    // Ends of a connection.
    {"to no instance pin", PATCH(R"j("connections": [["a.Pulse Out", "x"]])j"),
     "connections[0]: \"x\" names no instance pin (write instance.Pin)"},
    {"from nothing known", PATCH(R"j("connections": [["osc", "a.Audio In"]])j"),
     "connections[0]: \"osc\" names no source or instance pin; known: \"a.PIN\""},
    {"unknown output pin", PATCH(R"j("connections": [["a.Pulse Outt", "b.Audio In"]])j"),
     "connections[0]: from: no pin \"Pulse Outt\"; outputs are \"Pulse Out\""},
    {"unknown input pin", PATCH(R"j("connections": [["a.Pulse Out", "b.Audio Inn"]])j"),
     "connections[0]: to: no pin \"Audio Inn\"; inputs are \"Audio In\""},
    {"output as input", PATCH(R"j("connections": [["a.Pulse Out", "b.Pulse Out"]])j"),
     "connections[0]: to: pin \"Pulse Out\" is not an input"},
    // Kinds and sides.
    {"source into a value input", PATCH(R"j("sources": {"osc": "sine:50"},
        "connections": [["osc", "r.Choice"]])j"),
     "connections[0]: source \"osc\" is audio, but \"r.Choice\" is a value pin"},
    {"audio into MIDI", PATCH(R"j("connections": [["a.Pulse Out", "r.Midi In"]])j"),
     "connections[0]: cannot wire audio output \"a.Pulse Out\" to midi input \"r.Midi In\""},
    {"value into audio", PATCH(R"j("connections": [["count.Index:Count", "a.Audio In"]])j"),
     "connections[0]: cannot wire value output \"count.Index:Count\" to audio input"},
    {"GUI output into a DSP input",
     PATCH(R"j("connections": [["panels.Controls on Parent 2", "r.Choice"]])j"),
     "connections[0]: \"panels.Controls on Parent 2\" is a GUI-side pin and \"r.Choice\" is "
     "not; GUI pins wire only to GUI pins"},
    {"DSP output into a GUI input",
     PATCH(R"j("connections": [["count.Index:Count", "lamp.Bool (PatchMem)"]])j"),
     "connections[0]: \"lamp.Bool (PatchMem)\" is a GUI-side pin and \"count.Index:Count\" is "
     "not; GUI pins wire only to GUI pins"},
    // One connection an input.
    {"input wired twice",
     PATCH(R"j("connections": [["a.Pulse Out", "b.Audio In"], ["count.Index:Count", "r.Choice"],
        ["a.Pulse Out", "b.Audio In"]])j"),
     "connections[2]: input \"b.Audio In\" is already wired"},
    {"MIDI wire doubled", PATCH(R"j("connections": [["r.Add Midi Out", "r.Midi In"],
        ["r.Add Midi Out", "r.Midi In"]])j"),
     "connections[1]: \"r.Add Midi Out\" is already wired to \"r.Midi In\""},
    // Loops.
    {"audio into its own instance", PATCH(R"j("connections": [["a.Pulse Out", "a.Audio In"]])j"),
     "connections[0]: audio loop: \"a.Pulse Out\" feeds its own instance"},
    {"audio loop", PATCH(R"j("connections": [["a.Pulse Out", "b.Audio In"],
        ["b.Pulse Out", "a.Audio In"]])j"),
     "connections[0]: audio connections form a loop through \"a\", \"b\""},
    {"MIDI that multiplies round a loop",
     R"j({"duration": "60s", "block": 64, "modules": [
        {"name": "r", "plugin": "midi_choice", "midi": ["0.01s=on 1 60 100"]},
        {"name": "x", "plugin": "midi_choice"}, {"name": "y", "plugin": "midi_choice"}],
        "connections": [["r.Add Midi Out", "x.Midi In"], ["r.Add Midi Out", "y.Midi In"],
        ["x.Add Midi Out", "r.Midi In"], ["y.Add Midi Out", "r.Midi In"]]})j",
     "patch.json: MIDI feedback into \"r.Midi In\" grows without bound (over 8192 messages in "
     "one block come back through a loop)"},
    {"GUI loop through one instance",
     R"j({"duration": "0.05s", "modules": [{"name": "a", "plugin": "FOLLOWER",
        "at": [{"time": "0.01s", "set": {"In": 1}}]}], "connections": [["a.Out", "a.In"]]})j",
     "patch.json: GUI connections from \"a.Out\" loop back on themselves"},
    {"GUI loop through two instances",
     R"j({"duration": "0.05s", "modules": [{"name": "a", "plugin": "FOLLOWER",
        "at": [{"time": "0.01s", "set": {"In": 1}}]}, {"name": "b", "plugin": "FOLLOWER"}],
        "connections": [["a.Out", "b.In"], ["b.Out", "a.In"]]})j",
     "patch.json: GUI connections from \"a.Out\" loop back on themselves"},
    // Settings beside connections.
    {"setting of an input a source feeds",
     R"j({"sources": {"osc": "sine:50"}, "modules": [{"name": "a", "plugin": "edge_detect",
        "set": {"Audio In": "1"}}], "connections": [["osc", "a.Audio In"]]})j",
     "modules[0].set.\"Audio In\": \"Audio In\" is wired; it cannot be set as well"},
    {"setting of a wired audio input",
     R"j({"modules": [{"name": "a", "plugin": "edge_detect"},
        {"name": "b", "plugin": "edge_detect", "set": {"Audio In": "1"}}],
        "connections": [["a.Pulse Out", "b.Audio In"]]})j",
     "modules[1].set.\"Audio In\": \"Audio In\" is wired; it cannot be set as well"},
    {"setting of a wired value input",
     R"j({"modules": [{"name": "count", "plugin": "pulse_counter"},
        {"name": "r", "plugin": "midi_choice", "set": {"Choice": "1"}}],
        "connections": [["count.Index:Count", "r.Choice"]]})j",
     "modules[1].set.\"Choice\": \"Choice\" is wired; it cannot be set as well"},
    {"timed change of a wired value input",
     R"j({"modules": [{"name": "count", "plugin": "pulse_counter"},
        {"name": "r", "plugin": "midi_choice", "at": [{"time": "0.5s", "set": {"Choice": "1"}}]}],
        "connections": [["count.Index:Count", "r.Choice"]]})j",
     ""},
    {"timed change of a wired audio input",
     R"j({"modules": [{"name": "a", "plugin": "edge_detect"},
        {"name": "b", "plugin": "edge_detect", "at": [{"time": "0.5s", "set": {"Audio In": "1"}}]}],
        "connections": [["a.Pulse Out", "b.Audio In"]]})j",
     "modules[1].at[0].set.\"Audio In\": \"Audio In\" is wired; it cannot be set as well"},
    {"source of a setting", R"j({"modules": [{"name": "a", "plugin": "edge_detect",
        "set": {"Audio In": "sine:abc"}}]})j",
     "\"abc\" is no number"},
    {"timed change to a source", R"j({"modules": [{"name": "a", "plugin": "edge_detect",
        "at": [{"time": "0.5s", "set": {"Audio In": "sine:50"}}]}]})j",
     "modules[0].at[0].set.\"Audio In\": timed changes of audio pins take volts, not a source"},
    {"unknown setting pin",
     R"j({"modules": [{"name": "a", "plugin": "edge_detect", "set": {"Mode": "Sqr"}}]})j",
     "modules[0].set.\"Mode\": no pin \"Mode\"; inputs are \"Audio In\", \"Detect Mode\""},
    {"unknown list entry",
     R"j({"modules": [{"name": "a", "plugin": "edge_detect", "set": {"Pulse Mode": "Square"}}]})j",
     "has no entry \"Square\"; valid: \"+Ve\", \"+Ve/-Ve\", \"Sqr\", \"Sqr+0\", \"Sqr2\""},
    {"MIDI into a module without a MIDI input",
     R"j({"modules": [{"name": "p", "plugin": "pitch_adjust", "midi": ["0.5s=on 1 60 100"]}]})j",
     "modules[0].midi: module \"p\" has no MIDI input"},
    // Times: a live run has no end.
    {"timed change after the end",
     R"j({"duration": "1s", "modules": [{"name": "p", "plugin": "pitch_adjust",
        "at": [{"time": "5s", "set": {"Octave": "+1"}}]}]})j",
     "modules[0].at[0].set.\"Octave\": time lies at or after the end of the run", ""},
    {"patch change after the end",
     R"j({"duration": "1s", "modules": [{"name": "p", "plugin": "patch_pulse",
        "patch_changes": ["5s"]}]})j",
     "modules[0].patch_changes[0]: time lies at or after the end of the run", ""},
};

std::string with_follower(std::string text)
{
    const std::string path = se_test::plugin_path("gui_follower");
    for (size_t at; (at = text.find("FOLLOWER")) != std::string::npos;)
        text.replace(at, 8, path);
    return text;
}

TEST(LivePatchVerdicts, BothDriversGiveTheSameVerdictAndText)
{
    secli::set_plugin_dir(se_test::plugin_dir());
    const bool show = std::getenv("SEHOST_SHOW_VERDICTS") != nullptr;
    for (const Row &row : kRows) {
        secli::Patch p;
        try {
            p = secli::parse_patch_text(with_follower(row.patch), "patch.json");
        } catch (const InputError &e) {
            ADD_FAILURE() << row.name << ": the table's patch does not read: " << e.what();
            continue;
        }
        const std::string offline = offline_verdict(p);
        const std::string live_says = row.live_says ? row.live_says : row.says;
        const std::string live = live_verdict(p, !live_says.empty());
        if (show)
            std::cout << "| " << row.name << " | " << (offline.empty() ? "runs" : offline) << " | "
                      << (live == offline ? "same"
                          : live.empty()  ? "runs"
                                          : live)
                      << " |\n";
        if (*row.says == '\0')
            EXPECT_EQ(offline, "") << row.name;
        else
            EXPECT_NE(offline.find(row.says), std::string::npos) << row.name << ": " << offline;
        if (live_says == row.says)
            EXPECT_EQ(live, offline) << row.name;
        else
            EXPECT_EQ(live, live_says) << row.name;
    }
}

} // namespace
