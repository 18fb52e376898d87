// midi_file_test.cpp - a MIDI file's messages handed out one at a time in
// time order across its tracks (against the tests' own reader), its faults
// found when it is opened, and its messages among a run's other timed inputs.
#include <map>
#include <random>

#include "cli_support.h"
#include "common/errors.h"
#include "midi/midi_input.h"

namespace {

using namespace se_cli;

std::string vlq(uint32_t v)
{
    std::string out(1, static_cast<char>(v & 0x7F));
    while (v >>= 7)
        out.insert(out.begin(), static_cast<char>(0x80 | (v & 0x7F)));
    return out;
}

std::string be(uint32_t v, int bytes)
{
    std::string out;
    for (int i = bytes - 1; i >= 0; --i)
        out += static_cast<char>(v >> (8 * i) & 0xFF);
    return out;
}

std::string track(const std::string &events)
{
    return "MTrk" + be(static_cast<uint32_t>(events.size() + 4), 4) + events +
           std::string("\0\xFF\x2F\0", 4);
}

std::string header(int tracks, int division = 96)
{
    return "MThd" + be(6, 4) + be(1, 2) + be(static_cast<uint32_t>(tracks), 2) +
           be(static_cast<uint32_t>(division), 2);
}

// A format-1 file of `tracks` tracks whose events fall on a coarse grid of
// ticks, so that tracks meet at the same tick: notes and controllers (some
// with running status), tempo changes in any track, system-exclusive and
// text events between them.
std::string random_smf(std::mt19937 &rng, int tracks, int events)
{
    std::string file = header(tracks);
    for (int t = 0; t < tracks; ++t) {
        std::string body;
        int running = 0;
        for (int i = 0; i < events; ++i) {
            body += vlq(rng() % 4 * 24);
            switch (rng() % 8) {
            case 0:
                body += std::string("\xFF\x51\x03", 3) + be(200000 + rng() % 1000000, 3);
                running = 0;
                break;
            case 1:
                body += std::string("\xF0\x03\x7E\x01\xF7", 5);
                running = 0;
                break;
            case 2:
                body += std::string("\xFF\x01\x02hi", 5);
                running = 0;
                break;
            default: {
                int status = (rng() % 2 ? 0x90 : 0xB0) | static_cast<int>(rng() % 16);
                if (status != running)
                    body += static_cast<char>(status);
                running = status;
                body += static_cast<char>(rng() % 128);
                body += static_cast<char>(rng() % 128);
            }
            }
        }
        file += track(body);
    }
    return file;
}

TEST(SehostMidiFile, TracksMergeInTimeOrderAsTheTestReaderReadsThem)
{
    for (uint32_t seed = 1; seed <= 8; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        const int tracks = 1 + static_cast<int>(seed % 5);
        std::string path =
            input_file("random" + std::to_string(seed) + ".mid", random_smf(rng, tracks, 400));
        std::vector<SmfEvent> want;
        for (const SmfEvent &e : read_smf(path))
            if (e.bytes[0] < 0xF0)
                want.push_back(e);
        auto file = secli::open_midi_file(path, "t");
        EXPECT_EQ(file->messages, want.size());
        secli::MidiFileCursor cursor(file, 44100);
        size_t i = 0;
        for (secli::MidiIn m; cursor.next(m); ++i) {
            ASSERT_LT(i, want.size());
            int32_t packed = 0;
            for (size_t b = 0; b < want[i].bytes.size(); ++b)
                packed |= want[i].bytes[b] << (8 * b);
            ASSERT_EQ(m.message, packed) << "message " << i << " at tick " << want[i].tick;
            // The test reader also adds the gaps to system-exclusive events:
            // other roundings of the same sum.
            ASSERT_NEAR(m.time.seconds, want[i].seconds, 1e-12 * (1 + want[i].seconds))
                << "message " << i;
        }
        EXPECT_EQ(i, want.size());
    }
}

// Ticks become sample clocks in exact integer arithmetic: to the nearest
// sample, a time exactly halfway between two to the later one. SMPTE
// division -29 is 30 drop-frame, 30000/1001 frames a second; only -24,
// -25, -29 and -30 exist.
TEST(SehostMidiFile, TicksBecomeClocksExactly)
{
    const std::string tempo = vlq(0) + std::string("\xFF\x51\x03", 3);
    struct Case {
        const char *what;
        int division;
        std::string head; // events before the notes
        std::vector<uint32_t> ticks;
        double rate;
        std::vector<uint64_t> clocks;
    };
    const Case cases[] = {
        // 1102.5, 3307.5, ... samples
        {"halves",
         192,
         tempo + be(300000, 3),
         {16, 48, 80, 112, 144},
         44100,
         {1103, 3308, 5513, 7718, 9923}},
        {"30 drop-frame, 100 ticks a frame", 0xE364, "", {259}, 44100, {3811}},
        {"24 frames of 1 tick", 0xE801, "", {1, 24}, 48000, {2000, 48000}},
        {"25 frames of 40 ticks", 0xE728, "", {250}, 44100, {11025}},
        {"30 frames of 80 ticks", 0xE250, "", {1}, 48000, {20}},
        // 215 ticks of 16.777215 s: 3607.101225 s
        {"the slowest tempo at the highest rate",
         1,
         tempo + be(0xFFFFFF, 3),
         {215},
         768000,
         {2770253741}},
    };
    for (const Case &c : cases) {
        std::string notes = c.head;
        uint32_t last = 0;
        for (uint32_t t : c.ticks) {
            notes += vlq(t - last) + std::string("\x90\x3C\x64", 3);
            last = t;
        }
        const std::string path = input_file("ticks.mid", header(1, c.division) + track(notes));
        std::vector<uint64_t> got;
        for (const secli::MidiIn &m : secli::read_midi_file(path, "t", c.rate))
            got.push_back(m.time.samples);
        EXPECT_EQ(got, c.clocks) << c.what;
        if (c.rate == 44100 && c.division == 192) { // and so in a run
            const std::string out = fresh_dir("halves");
            Result r = sehost({"render", "midi_choice", "--midi-file", path, "-o", out});
            ASSERT_EQ(r.status, 0) << r.err;
            got.clear();
            for (const json &e : select(read_events(out), "midi_in"))
                got.push_back(e["clock"]);
            EXPECT_EQ(got, c.clocks) << c.what << ", in a run";
        }
    }
    for (const auto &[division, message] :
         {std::pair<int, const char *>{0xEC28, "gives 20 SMPTE frames a second"},
          {0xE928, "gives 23 SMPTE frames a second"},
          {0xE700, "the time division is 0"}}) {
        const std::string path = input_file("frames.mid", header(1, division) + track(""));
        try {
            secli::open_midi_file(path, "t");
            ADD_FAILURE() << "no error for " << message;
        } catch (const secli::InputError &e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
}

// Messages are decoded only as a run wants them, but a fault anywhere in the
// file, however late in it, is found when the file is opened.
TEST(SehostMidiFile, FaultsInLaterTracksAreFoundWhenOpened)
{
    std::string notes;
    for (int i = 0; i < 100; ++i)
        notes += std::string("\x10\x90\x3C\x64", 4);
    const std::pair<std::string, const char *> bad[] = {
        {header(2) + track(notes) + track(notes + std::string("\0\x90\x3C\x80", 4)),
         "a data byte above 127"},
        {header(2) + track(notes) + track(notes + std::string("\0\xF0\x09\x01", 4)),
         "a system-exclusive event runs past its track"},
        {header(3) + track(notes) + track(notes), "track 3 of 3 is missing"},
        {header(2) + track(notes) + track(notes + std::string("\0\xF8", 2)),
         "system message 248 inside a track"},
    };
    for (const auto &[bytes, message] : bad) {
        try {
            secli::open_midi_file(input_file("late_fault.mid", bytes), "t");
            ADD_FAILURE() << "no error for " << message;
        } catch (const secli::InputError &e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
}

// A file's messages follow the instance's own list at the same clock, stop at
// the run's end (which says how many were not played), and two instances'
// files leave in one clock order.
TEST(SehostMidiFile, FileMessagesTakeTheirPlaceAmongTimedInputs)
{
    // 96 ticks a quarter at 120 quarters a minute: 192 ticks a second.
    std::string notes = vlq(0) + std::string("\x90\x3C\x64", 3) + vlq(96) +
                        std::string("\x80\x3C\x00", 3) + vlq(96) + std::string("\x90\x3E\x64", 3);
    std::string mid = input_file("timed.mid", header(1) + track(notes));
    std::string patch = patch_file(
        "file_timed", json{{"duration", "1s"},
                           {"block", 64},
                           {"modules",
                            {{{"name", "a"},
                              {"plugin", "midi_choice"},
                              {"midi", {"0.5s=cc 1 7 1", "0s=pc 1 5", "1s=cc 1 7 2"}},
                              {"midi_file", mid}},
                             {{"name", "b"}, {"plugin", "midi_choice"}, {"midi_file", mid}}}}});
    std::string out = fresh_dir("file_timed");
    Result r = sehost({"run", patch, "-o", out});
    ASSERT_EQ(r.status, 0) << r.err;
    // What lies at the end or after is said, not played.
    EXPECT_NE(r.err.find("sehost: note: instance \"a\": not played, at or after the end of the "
                         "run (1 s): 1 MIDI message of its list and 1 MIDI message of its MIDI "
                         "file\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("instance \"b\": not played, at or after the end of the run (1 s): 1 "
                         "MIDI message of its MIDI file\n"),
              std::string::npos)
        << r.err;
    std::vector<json> events = read_events(out);
    std::map<std::string, std::vector<std::string>> got;
    uint64_t last = 0;
    for (const json &e : select(events, "midi_in")) {
        got[e["instance"]].push_back(std::to_string(e["clock"].get<uint64_t>()) + " " +
                                     e["bytes"].get<std::string>());
        EXPECT_LE(last, e["clock"].get<uint64_t>());
        last = e["clock"];
    }
    const std::vector<std::string> a = {"0 C0 05", "0 90 3C 64", "22050 B0 07 01",
                                        "22050 80 3C 00"};
    const std::vector<std::string> b = {"0 90 3C 64", "22050 80 3C 00"};
    EXPECT_EQ(got["a"], a);
    EXPECT_EQ(got["b"], b);
}

} // namespace
