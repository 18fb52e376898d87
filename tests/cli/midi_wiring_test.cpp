// midi_wiring_test.cpp - MIDI connections: a loop passes a message on once a
// block at most (a doubled wire and a multiplying loop are refused: the
// patch graph's table, tests/live).
#include "cli_support.h"

namespace {

using namespace se_cli;

using Wires = std::vector<std::pair<std::string, std::string>>;

json routers(const std::vector<std::string> &names, const Wires &wires)
{
    json modules = json::array(), connections = json::array();
    for (const auto &[from, to] : wires)
        connections.push_back(json::array({from, to}));
    for (const std::string &n : names)
        modules.push_back({{"name", n}, {"plugin", "midi_choice"}});
    modules[0]["midi"] = {"0.01s=on 1 60 100"};
    return {
        {"duration", "0.5s"}, {"block", 256}, {"modules", modules}, {"connections", connections}};
}

// A loop through one instance: the note comes back once every block.
TEST(SehostMidiWiring, ALoopPassesAMessageOnOnceABlock)
{
    std::string out = fresh_dir("self_loop_out");
    json patch = routers({"r"}, {{"r.Add Midi Out", "r.Midi In"}});
    Result r = sehost({"run", patch_file("self_loop", patch), "-o", out});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<SmfEvent> m = read_smf(out + "/r.Add_Midi_Out.mid");
    const uint64_t first = 441,
                   blocks = (22050 + 255) / 256; // the note at 10 ms; 0.5 s in blocks of 256
    ASSERT_EQ(m.size(), blocks - first / 256);
    EXPECT_EQ(m[0].tick, first);
    for (size_t i = 1; i < m.size(); ++i)
        EXPECT_EQ(m[i].tick, (first / 256 + i) * 256) << i; // at the start of each following block
}

} // namespace
