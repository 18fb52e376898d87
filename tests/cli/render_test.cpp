// render_test.cpp - `sehost render` and `sehost info` on the modules of the
// pack: what lands in the WAV, MIDI and JSON-lines files must be what the
// modules do.
#include <cmath>

#include "cli_support.h"

namespace {

using namespace se_cli;

TEST(SehostInfo, ListsPropertiesPinsAndDecodedLists)
{
    Result r = sehost({"info", "pitch_adjust", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    json info = json::parse(r.out).at("plugins").at(0);
    EXPECT_EQ(info["sdk_revision"], 2240);
    ASSERT_EQ(info["pins"].size(), 4u);
    EXPECT_EQ(info["pins"][0]["name"], "Octave");
    EXPECT_EQ(info["pins"][3]["type"], "audio");
    bool found = false;
    for (const json &e : info["pins"][0]["entries"])
        found = found || (e["label"] == "+1" && e["value"] == 1);
    EXPECT_TRUE(found);

    r = sehost({"info", "panel_switch4"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("GUI only"), std::string::npos);
    EXPECT_NE(r.out.find("stored with the patch"), std::string::npos);
    EXPECT_NE(r.out.find("Allow Off=0, Keep 1 Panel=1"), std::string::npos);
}

TEST(SehostRender, PitchAdjustHoldsItsOffsetAndFollowsTimedChanges)
{
    std::string out = fresh_dir("pitch");
    Result r = sehost({"render", "pitch_adjust", "--set", "Octave=+1", "--at", "0.5s",
                       "Semitone=+7", "-d", "1s", "--rate", "48000", "-o", out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("report: " + out + "/report.html"), std::string::npos);
    int rate = 0;
    std::vector<float> v = read_wav(out + "/pitch_adjust.Pitch_Adj.wav", &rate);
    EXPECT_EQ(rate, 48000);
    ASSERT_EQ(v.size(), 48000u);
    // 1 V/octave is 0.1 per octave; a semitone is a twelfth of that.
    EXPECT_FLOAT_EQ(v[10], 0.1f);
    EXPECT_FLOAT_EQ(v[23999], 0.1f);
    EXPECT_NEAR(v[24000], 0.1 + 0.7 / 12, 1e-6);
    EXPECT_NEAR(v.back(), 0.1 + 0.7 / 12, 1e-6);
    std::vector<json> ev = read_events(out);
    auto changed = select(ev, "status", "Pitch_Adj");
    bool at_change = false;
    for (const json &e : changed)
        at_change = at_change || e["stamp"] == 24000;
    EXPECT_TRUE(at_change);
    EXPECT_FALSE(select(ev, "sleep").empty());
    for (size_t i = 1; i < ev.size(); ++i)
        EXPECT_LE(ev[i - 1]["clock"].get<uint64_t>(), ev[i]["clock"].get<uint64_t>())
            << "line " << i;
}

TEST(SehostRender, EdgeDetectSquaresAtHalfTheInputRate)
{
    std::string out = fresh_dir("edge");
    Result r = sehost({"render", "edge_detect", "--set", "Audio In=sine:100:5", "--set",
                       "Detect Mode=LeadX", "--set", "Pulse Mode=Sqr2", "--set", "Pulse Level=5",
                       "-d", "1s", "-o", out});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<float> v = read_wav(out + "/edge_detect.Pulse_Out.wav");
    ASSERT_EQ(v.size(), 44100u);
    int flips = 0;
    for (size_t i = 1; i < v.size(); ++i) {
        EXPECT_TRUE(std::fabs(std::fabs(v[i]) - 0.5f) < 1e-6f) << "sample " << i << " = " << v[i];
        flips += (v[i] > 0) != (v[i - 1] > 0);
    }
    // One flip per rising crossing: 100 a second, give or take the ends.
    EXPECT_GE(flips, 99);
    EXPECT_LE(flips, 100);
}

TEST(SehostRender, CvToRpnSendsCompleteParameterMessages)
{
    std::string out = fresh_dir("rpn");
    Result r = sehost({"render",    "cv_to_rpn",    "--set",
                       "Gate=0",    "--at",         "0.05s",
                       "Gate=5",    "--set",        "Value CV=const:5",
                       "--set",     "Parameter#=1", "--set",
                       "Channel=1", "--set",        "RPN/NRPN=RPN",
                       "--set",     "Bit Depth=14", "-d",
                       "0.1s",      "-o",           out});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<SmfEvent> m = read_smf(out + "/cv_to_rpn.MIDI_Out.mid");
    ASSERT_GE(m.size(), 4u);
    const std::vector<std::vector<int>> want = {
        {0xB0, 0x65, 0}, {0xB0, 0x64, 1}, {0xB0, 0x06, 0x40}, {0xB0, 0x26, 0}};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(m[i].bytes, want[i]) << "message " << i;
        EXPECT_NEAR(m[i].seconds, 0.05, 1e-5); // the sample where the gate rises
    }
    std::string log = slurp(out + "/cv_to_rpn.MIDI_Out.midi.txt");
    EXPECT_NE(log.find("=> RPN ch 1 param 1 = 8192"), std::string::npos) << log;
}

// A gate and a Value CV that stream bring no events: the module stays awake
// for them.  A 2 Hz gate sends a complete message (CC 101 first) at every
// rise: the first processed call, then 0.5, 1.0 and 1.5 s.  A 3 Hz gate with
// a slow sine at a high rate (samples repeated near its peaks) sends through
// every spell of the gate, [k/3, k/3 + 1/6) s, up to the end.
TEST(SehostRender, CvToRpnFollowsStreamingInputsToTheEnd)
{
    std::string out = fresh_dir("rpn-gate");
    Result r = sehost({"render", "cv_to_rpn", "--set", "Gate=square:2:5:5", "--set",
                       "Value CV=const:5", "-d", "2s", "-o", out});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<double> rises;
    for (const SmfEvent &e : read_smf(out + "/cv_to_rpn.MIDI_Out.mid"))
        if (e.bytes.at(1) == 0x65)
            rises.push_back(std::round(e.seconds * 44100));
    EXPECT_EQ(rises, (std::vector<double>{1024, 22050, 44100, 66150}));

    out = fresh_dir("rpn-sine");
    r = sehost({"render", "cv_to_rpn", "--set", "Gate=square:3:5:5", "--set", "Value CV=sine:2:5:5",
                "--rate", "768000", "--block", "64", "-d", "2s", "-o", out});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<int> per_spell(6, 0);
    for (const SmfEvent &e : read_smf(out + "/cv_to_rpn.MIDI_Out.mid"))
        per_spell.at(static_cast<size_t>(e.seconds * 3))++;
    for (int n : per_spell)
        EXPECT_GT(n, 50);
}

TEST(SehostRender, MidiChoiceRoutesToTheChosenCopy)
{
    std::string out = fresh_dir("choice");
    Result r = sehost({"render", "midi_choice", "--repeat", "2", "--set", "Choice=1", "--midi",
                       "0.1s=on 1 60 100", "--midi", "0.2s=90 40 7F", "-d", "0.5s", "-o", out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_smf(out + "/midi_choice.Add_Midi_Out.mid").empty());
    std::vector<SmfEvent> m = read_smf(out + "/midi_choice.Add_Midi_Out_1.mid");
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].bytes, (std::vector<int>{0x90, 60, 100}));
    EXPECT_NEAR(m[0].seconds, 0.1, 1e-3);
    EXPECT_EQ(m[1].bytes, (std::vector<int>{0x90, 0x40, 0x7F}));
    EXPECT_TRUE(read_smf(out + "/midi_choice.Add_Midi_Out_2.mid").empty());
}

TEST(SehostRender, GuiSidesAndPatchChanges)
{
    // bool_volts: a GUI write at 0.5 s steps the DSP output to 10 V.
    std::string out = fresh_dir("bool");
    Result r = sehost(
        {"render", "bool_volts", "--at", "0.5s", "Bool (PatchMem)=ON", "-d", "1s", "-o", out});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<float> v = read_wav(out + "/bool_volts.Volts.wav");
    ASSERT_EQ(v.size(), 44100u);
    EXPECT_EQ(v[100], 0.0f);
    EXPECT_EQ(v[30000], 1.0f);
    EXPECT_EQ(v.back(), 1.0f);
    EXPECT_EQ(select(read_events(out), "gui_set").size(), 1u);

    // patch_pulse: fires at open and at the patch change, on both sides.
    out = fresh_dir("pulse");
    r = sehost({"render", "patch_pulse", "--patch-change", "0.5s", "-d", "1s", "-o", out});
    ASSERT_EQ(r.status, 0) << r.err;
    v = read_wav(out + "/patch_pulse.Pulse.wav");
    EXPECT_EQ(v[0], 1.0f);
    EXPECT_EQ(v[22050], 1.0f);
    std::vector<json> ev = read_events(out);
    EXPECT_EQ(select(ev, "to_gui").size(), 2u);
    auto writes = select(ev, "gui_write", "Bool pulse");
    ASSERT_EQ(writes.size(), 5u); // cleared at initialise, then true/false twice
    EXPECT_EQ(writes[1]["value"], 1.0);
    EXPECT_EQ(writes[2]["value"], 0.0);

    // panel_switch8: turning way 3 on shows panel 3 and hides panel 1.
    out = fresh_dir("panel");
    r = sehost({"render", "panel_switch8", "--set", "1 Switch (Animation)=1", "--at", "0.2s",
                "3 Switch (Animation)=1", "-d", "0.5s", "-o", out});
    ASSERT_EQ(r.status, 0) << r.err;
    ev = read_events(out);
    double shown1 = -1, shown3 = -1;
    for (const json &e : select(ev, "gui_write")) {
        if (e["decl"] == 8) // the output pair of way 1
            shown1 = e["value"];
        if (e["decl"] == 10)
            shown3 = e["value"];
    }
    EXPECT_EQ(shown1, 0.0);
    EXPECT_EQ(shown3, 1.0);

    // panel_switch4 with Keep 1 Panel: switching the shown way off asks for
    // idle calls, and the next idle tick puts the switch back on.
    out = fresh_dir("keep");
    r = sehost({"render", "panel_switch4", "--set", "Mode=Keep 1 Panel", "--set",
                "2 Switch (Animation)=1", "--at", "0.2s", "2 Switch (Animation)=0", "-d", "0.5s",
                "-o", out});
    ASSERT_EQ(r.status, 0) << r.err;
    ev = read_events(out);
    auto turned_off = select(ev, "gui_set");
    ASSERT_EQ(turned_off.size(), 1u);
    const uint64_t off_clock = turned_off[0]["clock"];
    bool restored = false;
    for (const json &e : select(ev, "gui_write", "2 Switch (Animation)"))
        restored = restored || (e["clock"].get<uint64_t>() > off_clock && e["value"] == 1.0);
    EXPECT_TRUE(restored);
    for (const json &e : select(ev, "gui_write"))
        if (e["clock"].get<uint64_t>() >= off_clock) {
            EXPECT_NE(e["decl"], 5) << "panel 2 stays shown"; // its output pair is never cleared
        }
}

// Files that sehost wrote go back in as sources: a MIDI file into the MIDI
// input, a WAV file into an audio input.
TEST(SehostRender, MidiAndWavFilesAsInputs)
{
    std::string first = fresh_dir("files_first"), again = fresh_dir("files_again");
    Result r = sehost({"render", "midi_choice", "--midi", "0.1s=on 1 60 100", "--midi",
                       "0.3s=cc 3 7 99", "--midi", "0.35s=pc 2 9", "-d", "0.5s", "-o", first});
    ASSERT_EQ(r.status, 0) << r.err;
    r = sehost({"render", "midi_choice", "--midi-file", first + "/midi_choice.Add_Midi_Out.mid",
                "-d", "0.5s", "-o", again});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<SmfEvent> a = read_smf(first + "/midi_choice.Add_Midi_Out.mid"),
                          b = read_smf(again + "/midi_choice.Add_Midi_Out.mid");
    ASSERT_EQ(a.size(), 3u);
    ASSERT_EQ(b.size(), a.size());
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].bytes, b[i].bytes);
        EXPECT_NEAR(a[i].seconds, b[i].seconds, 1.0 / 44100);
    }
    EXPECT_EQ(b[2].bytes, (std::vector<int>{0xC1, 9}));

    std::string pitch = fresh_dir("files_pitch"), edge = fresh_dir("files_edge");
    ASSERT_EQ(
        sehost({"render", "pitch_adjust", "--set", "Octave=-1", "-d", "0.2s", "-o", pitch}).status,
        0);
    r = sehost({"render", "edge_detect", "--set",
                "Audio In=" + pitch + "/pitch_adjust.Pitch_Adj.wav", "--set", "Pulse Mode=Sqr+0",
                "-d", "0.3s", "-o", edge});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<float> v = read_wav(edge + "/edge_detect.Pulse_Out.wav");
    ASSERT_EQ(v.size(), 13230u);
    EXPECT_EQ(v[100], -1.0f); // -1 V in: low
    EXPECT_EQ(v[8819], -1.0f);
    EXPECT_EQ(v[8820], 0.0f); // the file has ended: silence, and Sqr+0 gives 0
}

TEST(SehostRender, HostVersionDecidesMidiChoiceOutputs)
{
    std::string old_host = fresh_dir("old_host"), new_host = fresh_dir("new_host");
    Result r =
        sehost({"render", "midi_choice", "--host-version", "100237", "-d", "0.1s", "-o", old_host});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(fs::exists(old_host + "/midi_choice.Add_Midi_Out.mid"));
    r = sehost({"render", "midi_choice", "--host-version", "100238", "-d", "0.1s", "-o", new_host});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(new_host + "/midi_choice.Add_Midi_Out.mid"));
}

// Modules whose output does not depend on how blocks are split give the same
// samples and messages with a random split as with whole blocks.
TEST(SehostRender, RandomSplitMatchesWholeBlocks)
{
    const std::vector<std::vector<std::string>> cases = {
        {"edge_detect", "--set", "Audio In=sine:333:5", "--set", "Pulse Mode=+Ve/-Ve"},
        {"pitch_adjust", "--at", "0.3s", "Cents=50", "--at", "0.6s", "Octave=-2"},
        // cv_to_rpn skips the stretch at clock 0, however long it is: its
        // gate rises only after the first block here.
        {"cv_to_rpn", "--set", "Gate=0", "--at", "0.1s", "Gate=5", "--at", "0.6s", "Gate=0",
         "--set", "Value CV=sine:3:5:5", "--set", "Bit Depth=9"},
        {"bool_volts", "--at", "0.25s", "Bool (PatchMem)=ON", "--at", "0.75s",
         "Bool (PatchMem)=OFF"},
    };
    for (const auto &c : cases) {
        std::string plain = fresh_dir("plain_" + c[0]), split = fresh_dir("split_" + c[0]);
        std::vector<std::string> a = {"render"};
        a.insert(a.end(), c.begin(), c.end());
        a.insert(a.end(), {"-d", "1s", "--block", "512"});
        std::vector<std::string> b = a;
        a.insert(a.end(), {"-o", plain});
        b.insert(b.end(), {"-o", split, "--split-seed", "12345", "--split-max", "37"});
        Result ra = sehost(a), rb = sehost(b);
        ASSERT_EQ(ra.status, 0) << ra.err;
        ASSERT_EQ(rb.status, 0) << rb.err;
        for (const auto &f : fs::directory_iterator(plain)) {
            std::string name = f.path().filename().string();
            if (f.path().extension() == ".wav") {
                EXPECT_EQ(read_wav(plain + "/" + name), read_wav(split + "/" + name))
                    << c[0] << " " << name;
            }
            if (f.path().extension() == ".mid") {
                EXPECT_EQ(slurp(plain + "/" + name), slurp(split + "/" + name))
                    << c[0] << " " << name;
            }
        }
        auto messages = [](const std::string &dir) {
            std::vector<std::string> out;
            for (const json &e : read_events(dir))
                if (e["kind"] == "midi" || (e["kind"] == "status" && e.contains("value")))
                    out.push_back(e["pin"].dump() + e["stamp"].dump() + e.value("bytes", "") +
                                  e.value("label", ""));
            return out;
        };
        EXPECT_EQ(messages(plain), messages(split)) << c[0];
        EXPECT_GT(read_events(split).size(), 0u);
    }
}

} // namespace

namespace {

// patch_pulse's GUI side holds its thread for a fixed loop at every firing
// (at its opening and at each patch change): the run tells how long its
// opening and GUI-side message handling took, apart from the rest.
TEST(SehostRender, TellsTheTimeInGuiSidesApart)
{
    std::string out = fresh_dir("gui_time");
    se_cli::Result r = se_cli::sehost(
        {"render", "patch_pulse", "--patch-change", "50ms", "-d", "0.1s", "-o", out});
    ASSERT_EQ(r.status, 0) << r.err;
    double total = -1, gui = -1, pulse = -1;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("rendered", 0) == 0)
            std::sscanf(line.c_str(), "rendered %*f s of %*d instance(s) in %lf s", &total);
        if (line.rfind("of which", 0) == 0)
            std::sscanf(line.c_str(),
                        "of which %lf s in GUI sides (opening, message handlers): "
                        "patch_pulse %lf s",
                        &gui, &pulse);
    }
    EXPECT_GT(gui, 0.0) << r.out;
    EXPECT_EQ(gui, pulse) << r.out; // the only instance
    EXPECT_LE(gui, total + 0.005) << r.out;
}

} // namespace
