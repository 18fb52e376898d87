// midi_out_test.cpp - MIDI outputs: every message a module can send is
// stored, at its own sample clock, whatever order the stamps come in.
#include "cli_support.h"

#include <iterator>

#include "midi/midi_out.h"
#include "midi/midi_text.h"

namespace {

using namespace se_cli;

TEST(SehostMidiOut, EveryMessageIsStoredWithItsBytesAtItsStamp)
{
    struct Case {
        int32_t message;
        std::vector<int> bytes; // as read back
    };
    const std::vector<Case> cases = {
        {0x643C90, {0x90, 0x3C, 0x64}},
        {0x0005C0, {0xC0, 0x05}},
        {0x0042D3, {0xD3, 0x42}},
        {0x7F00E0, {0xE0, 0x00, 0x7F}},
        {0x070BB1, {0xB1, 0x0B, 0x07}},
        // Not channel messages: kept as they are, in an escape.
        {0xF8, {0xF8}},
        {0xFE, {0xFE}},
        {0xFF, {0xFF}},
        {0xF7, {0xF7}},
        {0xF0, {0xF0}},
        {0xF6, {0xF6}},
        {0x2F1, {0xF1, 0x02}},
        {0x0403F2, {0xF2, 0x03, 0x04}},
        {0x05F3, {0xF3, 0x05}},
        {0x00FF90, {0x90, 0xFF, 0x00}},
        {0x80C0, {0xC0, 0x80}},
        {0x123456, {0x56, 0x34, 0x12}},
    };
    std::string dir = fresh_dir("midi_out");
    fs::create_directories(dir);
    secli::MidiOut out(dir + "/a.mid", dir + "/a.midi.txt", 44100, "t");
    // Stamps in reverse, released block by block as a run would.
    const uint64_t gap = 0x10000000; // longer than one delta time can say
    for (size_t i = cases.size(); i-- > 0;)
        out.add(i * gap, cases[i].message);
    out.add(0, 0x01B0); // equal stamps keep the order sent
    for (uint64_t clock = 0; clock < cases.size() * gap; clock += gap / 3)
        out.advance(clock);
    out.close();

    SmfFile f = parse_smf(dir + "/a.mid");
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.format, 0);
    ASSERT_EQ(f.events.size(), cases.size() + 1);
    EXPECT_EQ(f.events[0].bytes, cases[0].bytes);
    EXPECT_EQ(f.events[1].bytes, (std::vector<int>{0xB0, 0x01, 0x00}));
    for (size_t i = 1; i < cases.size(); ++i) {
        EXPECT_EQ(f.events[i + 1].bytes, cases[i].bytes) << "message " << i;
        EXPECT_EQ(f.events[i + 1].tick, i * gap) << "message " << i;
        EXPECT_NEAR(f.events[i + 1].seconds, static_cast<double>(i * gap) / 44100,
                    1e-6 * i * gap / 44100);
    }
    std::string log = slurp(dir + "/a.midi.txt");
    EXPECT_NE(log.find("# 18 messages"), std::string::npos) << log;
    EXPECT_NE(log.find("F2 03 04"), std::string::npos) << log;
}

// The readable log keeps its columns: clock right-aligned in 9, seconds in
// 10 with 5 decimals (rounded as printf rounds), the bytes left-aligned in 8,
// the text; wider values push the line right rather than being cut.
TEST(SehostMidiOut, LogLinesKeepTheirColumns)
{
    const double rate = 48000;
    const uint64_t stamps[] = {0, 1, 3, 24000, 47999, 1234567, 999999999, 4294967295u, 4294967296u};
    const int32_t messages[] = {0x643C90, 0x0005C0, 0xF8};
    std::string dir = fresh_dir("midi_log");
    fs::create_directories(dir);
    secli::MidiOut out(dir + "/a.mid", dir + "/a.midi.txt", rate, "t");
    size_t k = 0;
    for (uint64_t stamp : stamps)
        out.add(stamp, messages[k++ % 3]);
    out.close();
    std::istringstream log(slurp(dir + "/a.midi.txt"));
    std::string line;
    k = 0;
    while (std::getline(log, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        ASSERT_LT(k, std::size(stamps)) << line;
        char want[160];
        std::snprintf(want, sizeof want, "%9llu %10.5f  %-8s  %s",
                      static_cast<unsigned long long>(stamps[k]), stamps[k] / rate,
                      secli::midi_hex(messages[k % 3]).c_str(),
                      secli::describe_midi(messages[k % 3]).c_str());
        EXPECT_EQ(line, want);
        ++k;
    }
    EXPECT_EQ(k, std::size(stamps));
}

// The log's texts are put together by hand, one message at a time: they read
// as the printf formats they replace, for every status byte and data bytes
// at their edges.
TEST(SehostMidiOut, MessageTextsReadAsThePrintfFormats)
{
    const char *formats[] = {
        "note off  ch %d note %d vel %d",   "note on   ch %d note %d vel %d",
        "poly AT   ch %d note %d value %d", "control   ch %d cc %d value %d",
        "program   ch %d program %d",       "chan AT   ch %d value %d",
        "pitchbend ch %d value %d",
    };
    const int data[] = {0, 1, 9, 10, 63, 64, 99, 100, 127};
    for (int status = 0; status < 256; ++status)
        for (int d1 : data)
            for (int d2 : data) {
                const int32_t m = status | d1 << 8 | d2 << 16;
                char want[96];
                int kind = (status >> 4) - 8, ch = (status & 15) + 1;
                if (kind < 0 || kind > 6)
                    std::snprintf(want, sizeof want, "system    %02X", status);
                else if (kind == 6)
                    std::snprintf(want, sizeof want, formats[kind], ch, (d2 << 7 | d1) - 8192);
                else
                    std::snprintf(want, sizeof want, formats[kind], ch, d1, d2);
                ASSERT_EQ(secli::describe_midi(m), want) << std::hex << m;
                std::string hex;
                for (int i = 0; i < secli::midi_size(m); ++i) {
                    char b[4];
                    std::snprintf(b, sizeof b, i ? " %02X" : "%02X", (m >> (8 * i)) & 0xFF);
                    hex += b;
                }
                ASSERT_EQ(secli::midi_hex(m), hex) << std::hex << m;
            }

    // Parameter entries on every channel: number and value at their edges,
    // with and without a data MSB, RPN and NRPN.
    secli::RpnDecoder rpn;
    for (int ch = 0; ch < 16; ++ch)
        for (bool nrpn : {false, true})
            for (int param : {0, 1, 127, 128, 16383})
                for (int value : {-1, 0, 5, 8192, 16383}) {
                    auto cc = [&](int number, int v) { return 0xB0 | ch | number << 8 | v << 16; };
                    EXPECT_EQ(rpn.feed(cc(nrpn ? 99 : 101, param >> 7)), "");
                    EXPECT_EQ(rpn.feed(cc(nrpn ? 98 : 100, param & 127)), "");
                    if (value >= 0) {
                        EXPECT_EQ(rpn.feed(cc(6, value >> 7)), "");
                    }
                    char want[96];
                    std::snprintf(want, sizeof want, "%s ch %d param %d = %d",
                                  nrpn ? "NRPN" : "RPN", ch + 1, param, value < 0 ? 0 : value);
                    EXPECT_EQ(rpn.feed(cc(38, value < 0 ? 0 : value & 127)), want);
                }
}

TEST(SehostMidiOut, OnePulseIsOneSampleWhereTheRateAllows)
{
    struct Case {
        double rate;
        bool exact;
    };
    for (const Case c : {Case{44100, true}, Case{48000, true}, Case{96000, true},
                         Case{192000, true}, Case{768000, true}, Case{1000, true},
                         Case{22050, true}, Case{44101, false}, Case{1000.5, false}}) {
        secli::SmfTimeBase b = secli::smf_time_base(c.rate);
        EXPECT_EQ(b.exact, c.exact) << c.rate;
        EXPECT_GT(b.ppqn, 0);
        EXPECT_LE(b.ppqn, 32767) << c.rate;
        EXPECT_LT(b.tempo_us, 1u << 24) << c.rate;
        if (c.exact) {
            EXPECT_EQ(static_cast<uint64_t>(b.ppqn) * 1000000,
                      static_cast<uint64_t>(c.rate) * b.tempo_us)
                << c.rate;
        }
    }
}

// A system message from the inline MIDI reaches the MIDI file instead of
// stopping the run.
TEST(SehostMidiOut, SystemMessagesFromTheMidiInputAreWritten)
{
    std::string out = fresh_dir("system_midi");
    Result r = sehost({"render", "midi_choice", "--midi", "0.01s=F8", "--midi", "0.02s=on 1 60 100",
                       "-d", "50ms", "-o", out});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<SmfEvent> m = read_smf(out + "/midi_choice.Add_Midi_Out.mid");
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].bytes, std::vector<int>{0xF8});
    EXPECT_EQ(m[0].tick, 441u);
    EXPECT_EQ(m[1].bytes, (std::vector<int>{0x90, 60, 100}));
}

} // namespace
