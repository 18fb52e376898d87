// event_clock_test.cpp - a MIDI message has one time, its stamp, and every
// file says the same: events.jsonl, the readable log and the MIDI file.
#include <cmath>
#include <sstream>

#include "cli_support.h"

namespace {

using namespace se_cli;

// Clocks of the message lines of a .midi.txt log ("=>" lines repeat them).
std::vector<uint64_t> log_clocks(const std::string &path)
{
    std::vector<uint64_t> out;
    std::istringstream in(slurp(path));
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#' || line.find("=>") != std::string::npos)
            continue;
        std::istringstream l(line);
        uint64_t clock = 0;
        double seconds = 0;
        l >> clock >> seconds;
        out.push_back(clock);
    }
    return out;
}

TEST(SehostEventClock, EveryOutputGivesAMidiMessageItsOwnStamp)
{
    struct Case {
        int rate, block;
    };
    for (const Case c : {Case{44100, 1024}, Case{96000, 64}}) {
        SCOPED_TRACE("rate " + std::to_string(c.rate) + " block " + std::to_string(c.block));
        std::string out = fresh_dir("event_clock");
        // A moving CV: cv_to_rpn sends its messages at samples inside blocks.
        Result r = sehost({"render", "cv_to_rpn", "--set", "Gate=5", "--set", "Value CV=sine:7:5",
                           "--set", "Bit Depth=14", "--rate", std::to_string(c.rate), "--block",
                           std::to_string(c.block), "-d", "0.2s", "-o", out});
        ASSERT_EQ(r.status, 0) << r.err;
        std::vector<uint64_t> events, smf;
        bool inside = false; // some stamp lies inside a block, not at its start
        for (const json &e : select(read_events(out), "midi")) {
            uint64_t clock = e["clock"].get<uint64_t>();
            events.push_back(clock);
            EXPECT_EQ(e["stamp"].get<uint64_t>(), clock);
            EXPECT_EQ(e["time"].get<double>(), static_cast<double>(clock) / c.rate);
            EXPECT_LE(e["sent"].get<uint64_t>(), clock);
            inside = inside || clock % static_cast<uint64_t>(c.block) != 0;
        }
        for (const SmfEvent &m : read_smf(out + "/cv_to_rpn.MIDI_Out.mid")) {
            smf.push_back(m.tick);
            EXPECT_NEAR(m.seconds * c.rate, static_cast<double>(m.tick), 1e-6 * m.tick);
        }
        ASSERT_GT(events.size(), 100u);
        EXPECT_TRUE(inside);
        EXPECT_EQ(log_clocks(out + "/cv_to_rpn.MIDI_Out.midi.txt"), events);
        EXPECT_EQ(smf, events);
    }
}

} // namespace
