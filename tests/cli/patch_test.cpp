// patch_test.cpp - `sehost run` and `sehost demo`: values, statuses and MIDI
// carried across connections as a host carries them.
#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <map>

#include "cli_support.h"

namespace {

using namespace se_cli;

std::string write_patch(const std::string &name, const json &patch)
{
    std::string path = fresh_dir(name) + ".json";
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << patch.dump(2);
    return path;
}

// A square counted by pulse_counter; its index, announced with a delay (a
// future time stamp), chooses the midi_choice output of each note.
TEST(SehostRun, CountedIndexChoosesTheMidiOutput)
{
    json notes = json::array();
    for (int i = 0; i < 20; ++i)
        notes.push_back(std::to_string(0.05 * i + 0.013) + "s=on 1 " + std::to_string(40 + i) +
                        " 100");
    json patch = {
        {"duration", "1.05s"},
        {"block", 256},
        {"sources", {{"clock", "square:7:5"}}},
        {"modules",
         {{{"name", "count"},
           {"plugin", "pulse_counter"},
           {"set",
            {{"Active", "ON"},
             {"Mode", "Forward"},
             {"Start", "1"},
             {"End", "3"},
             {"Shift/Delay (ms) +ve only", 20}}}},
          {{"name", "router"}, {"plugin", "midi_choice"}, {"repeat", 2}, {"midi", notes}}}},
        {"connections",
         {{"clock", "count.Pulse/Osc In"},
          {{"from", "count.Index:Count"}, {"to", "router.Choice"}}}}};
    std::string out = fresh_dir("count_router");
    Result r = sehost({"run", write_patch("count_router", patch), "-o", out});
    ASSERT_EQ(r.status, 0) << r.err;

    std::vector<json> ev = read_events(out);
    std::vector<std::pair<uint64_t, int>> index; // stamp, value
    bool future = false;
    for (const json &e : select(ev, "status", "Index:Count")) {
        index.emplace_back(e["stamp"].get<uint64_t>(), static_cast<int>(e["value"].get<double>()));
        future = future || e["stamp"].get<uint64_t>() >= e["sent"].get<uint64_t>() + 256;
    }
    ASSERT_GE(index.size(), 6u);
    EXPECT_TRUE(future) << "the 20 ms delay should put some stamps past the block that sent them";

    // Every note leaves on the output that the last index at or before it chose.
    int routed = 0;
    for (int k = 0; k < 3; ++k) {
        std::string file =
            out + "/router.Add_Midi_Out" + (k ? "_" + std::to_string(k) : "") + ".mid";
        for (const SmfEvent &m : read_smf(file)) {
            if (m.bytes[0] != 0x90)
                continue;
            uint64_t clock = static_cast<uint64_t>(std::llround(m.seconds * 44100));
            int chosen = 0;
            for (auto &[stamp, value] : index)
                if (stamp <= clock)
                    chosen = value;
            EXPECT_EQ(chosen, k) << "note " << m.bytes[1] << " at clock " << clock;
            ++routed;
        }
    }
    EXPECT_EQ(routed, 20);
}

// An audio output feeds an input that reads its buffer, in audio order even
// when the patch lists the reader first; a sleeping module keeps its buffer.
TEST(SehostRun, AudioConnectionsFollowTheSignal)
{
    json patch = {
        {"duration", "0.5s"},
        {"modules",
         {{{"name", "edge"}, {"plugin", "edge_detect"}, {"set", {{"Pulse Mode", "Sqr"}}}},
          {{"name", "pitch"},
           {"plugin", "pitch_adjust"},
           {"at", {{{"time", "0.25s"}, {"set", {{"Octave", "+1"}}}}}}}}},
        {"connections", json::array({json::array({"pitch.Pitch_Adj", "edge.Audio In"})})}};
    std::string out = fresh_dir("pitch_edge");
    Result r = sehost({"run", write_patch("pitch_edge", patch), "-o", out});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<float> pitch = read_wav(out + "/pitch.Pitch_Adj.wav");
    std::vector<float> edge = read_wav(out + "/edge.Pulse_Out.wav");
    ASSERT_EQ(pitch.size(), 22050u);
    ASSERT_EQ(edge.size(), pitch.size());
    EXPECT_FLOAT_EQ(pitch[5000], 0.0f);
    EXPECT_FLOAT_EQ(pitch[11025], 0.1f);
    EXPECT_FLOAT_EQ(pitch.back(), 0.1f); // slept since, buffer kept
    // Sqr: high (10 V) for a positive input, from the sample where it turned positive.
    EXPECT_FLOAT_EQ(edge[11025], 1.0f);
    EXPECT_FLOAT_EQ(edge.back(), 1.0f);
    auto sleeps = select(read_events(out), "sleep");
    EXPECT_FALSE(sleeps.empty());
}

TEST(SehostRun, GuiOutputsDriveWiredGuiInputs)
{
    json patch = {
        {"duration", "0.3s"},
        {"modules",
         {{{"name", "panels"},
           {"plugin", "panel_switch4"},
           {"at", {{{"time", "0.1s"}, {"set", {{"2 Switch (Animation)", 1}}}}}}},
          {{"name", "lamp"}, {"plugin", "bool_volts"}}}},
        {"connections",
         json::array({json::array({"panels.Controls on Parent 2", "lamp.Bool (PatchMem)"})})}};
    std::string out = fresh_dir("gui_wire");
    Result r = sehost({"run", write_patch("gui_wire", patch), "-o", out});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<float> v = read_wav(out + "/lamp.Volts.wav");
    EXPECT_EQ(v[100], 0.0f);
    EXPECT_EQ(v.back(), 1.0f);
}

TEST(SehostDemo, UsesEveryModuleAndWritesTheSameReportEveryTime)
{
    std::string out = fresh_dir("demo");
    Result r = sehost({"demo", "-o", out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("report: " + out + "/report.html"), std::string::npos);
    std::string html = slurp(out + "/report.html");
    for (const char *plugin :
         {"pulse_counter", "edge_detect", "pitch_adjust", "midi_choice", "cv_to_rpn",
          "panel_switch8", "panel_switch4", "bool_volts", "patch_pulse"})
        EXPECT_NE(html.find(std::string("(") + plugin + ":"), std::string::npos) << plugin;
    EXPECT_NE(html.find("<svg"), std::string::npos);
    EXPECT_EQ(html.find("http://"), std::string::npos); // self-contained
    EXPECT_EQ(html.find("https://"), std::string::npos);
    EXPECT_NE(slurp(out + "/rpn.MIDI_Out.midi.txt").find("=> NRPN ch 1 param 74 = "),
              std::string::npos);
    std::map<std::string, std::string> first;
    for (const auto &f : fs::directory_iterator(out)) {
        EXPECT_NE(f.path().extension(), ".part") << f.path();
        first[f.path().filename().string()] = slurp(f.path().string());
    }
    // Run again into the same folder: the demo rewrites its own files, and
    // the same run (a second or more later) gives the same bytes.
    EXPECT_EQ(sehost({"demo", "-o", out}).status, 0);
    for (const auto &f : fs::directory_iterator(out))
        EXPECT_TRUE(first[f.path().filename().string()] == slurp(f.path().string())) << f.path();
    EXPECT_EQ(first.size(), static_cast<size_t>(std::distance(fs::directory_iterator(out), {})));
}

} // namespace
