// units_test.cpp - the pieces of sehost that read what users write and the
// decoder of its MIDI logs, case by case.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "common/errors.h"
#include "common/safe_names.h"
#include "common/timecode.h"
#include "float_bits.h"
#include "graph/values.h"
#include "midi/midi_input.h"
#include "midi/midi_text.h"
#include "patch/patch.h"
#include "sources/chunks.h"
#include "sources/sources.h"

namespace {

using namespace secli;
using se_test::bits;

TEST(SehostUnits, Times)
{
    struct Case {
        const char *text;
        double seconds;
        long samples; // -1: given in seconds
    };
    const Case good[] = {{"1.5s", 1.5, -1},
                         {"250ms", 0.25, -1},
                         {"4410smp", 0, 4410},
                         {"2", 2.0, -1},
                         {"0s", 0, -1}};
    for (const Case &c : good) {
        TimeSpec t = parse_time(c.text, "test");
        if (c.samples >= 0) {
            EXPECT_TRUE(t.in_samples) << c.text;
            EXPECT_EQ(t.clock(48000), static_cast<uint64_t>(c.samples)) << c.text;
        } else {
            EXPECT_DOUBLE_EQ(t.seconds, c.seconds) << c.text;
            EXPECT_EQ(t.clock(44100), static_cast<uint64_t>(std::llround(c.seconds * 44100)))
                << c.text;
        }
    }
    for (const char *bad : {"", "s", "abc", "1.5x", "-1s", "1.5smp", "nan", "inf"})
        EXPECT_THROW(parse_time(bad, "test"), InputError) << bad;
    EXPECT_THROW(check_duration(parse_time("0ms", "t"), 44100, "t"), InputError);
    EXPECT_THROW(check_duration(parse_time("3601s", "t"), 44100, "t"), InputError);
    EXPECT_NO_THROW(check_duration(parse_time("1smp", "t"), 44100, "t"));
    EXPECT_THROW(check_rate(999, "t"), InputError);
    EXPECT_THROW(check_rate(NAN, "t"), InputError);
    EXPECT_THROW(check_block(65537, "t"), InputError);
}

TEST(SehostUnits, MidiMessages)
{
    const std::pair<const char *, int32_t> good[] = {
        {"on 1 60 100", 0x90 | 60 << 8 | 100 << 16}, {"off 16 60", 0x8F | 60 << 8},
        {"cc 2 7 127", 0xB1 | 7 << 8 | 127 << 16},   {"pc 1 5", 0xC0 | 5 << 8},
        {"90 3C 64", 0x90 | 0x3C << 8 | 0x64 << 16}, {"c3 05", 0xC3 | 5 << 8},
    };
    for (const auto &[text, packed] : good)
        EXPECT_EQ(parse_midi_message(text, "t"), packed) << text;
    for (const char *bad : {"on 17 60 100", "on 0 60 100", "on 1 128 0", "90 80 00", "3C",
                            "note 1 2", "", "90 3C 64 00", "on 1 60"})
        EXPECT_THROW(parse_midi_message(bad, "t"), InputError) << bad;
    MidiIn m = parse_midi_entry("250ms=off 1 60", "t");
    EXPECT_EQ(m.time.clock(44100), 11025u);
    EXPECT_THROW(parse_midi_entry("off 1 60", "t"), InputError);
}

// Control changes in, decoded parameter changes out.
TEST(SehostUnits, RpnDecoding)
{
    auto cc = [](int ch, int num, int v) { return (0xB0 | (ch - 1)) | num << 8 | v << 16; };
    struct Step {
        int32_t message;
        const char *decoded; // "" when the message completes nothing
    };
    const std::vector<Step> steps = {
        {cc(1, 101, 0), ""},
        {cc(1, 100, 1), ""},
        {cc(1, 6, 64), ""},
        {cc(1, 38, 0), "RPN ch 1 param 1 = 8192"},
        {cc(1, 38, 5), "RPN ch 1 param 1 = 8197"}, // value update: LSB alone keeps the MSB
        {cc(2, 99, 0), ""},
        {cc(2, 98, 74), ""},
        {cc(2, 6, 127), ""},
        {cc(2, 38, 127), "NRPN ch 2 param 74 = 16383"},
        {cc(1, 6, 1), ""},
        {cc(1, 38, 0), "RPN ch 1 param 1 = 128"}, // channel 1 untouched by channel 2
        {cc(3, 38, 0), ""},                       // no parameter chosen on channel 3
        {0x90 | 60 << 8 | 100 << 16, ""},
    };
    RpnDecoder d;
    for (size_t i = 0; i < steps.size(); ++i)
        EXPECT_EQ(d.feed(steps[i].message), steps[i].decoded) << "step " << i;
    EXPECT_EQ(describe_midi(0xE0 | 0 << 8 | 64 << 16), "pitchbend ch 1 value 0");
}

std::string smf_file(const std::string &name, const std::string &bytes)
{
    std::string path = ::testing::TempDir() + name;
    FILE *f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return path;
}

std::string chunk(const char *id, const std::string &body)
{
    std::string s(id, 4);
    for (int shift : {24, 16, 8, 0})
        s += static_cast<char>((body.size() >> shift) & 0xFF);
    return s + body;
}

// Format 1, 480 ticks a quarter: a tempo track at 60 bpm from tick 480 on,
// and a note track with running status.
TEST(SehostUnits, StandardMidiFiles)
{
    const std::string header = chunk("MThd", std::string("\0\1\0\2\x01\xE0", 6));
    const std::string tempo =
        chunk("MTrk", std::string("\x83\x60\xFF\x51\x03\x0F\x42\x40\0\xFF\x2F\0", 12));
    const std::string notes = chunk(
        "MTrk", std::string("\0\x90\x3C\x64\x83\x60\x3E\x64\x83\x60\xC2\x05\0\xFF\x2F\0", 16));
    std::vector<MidiIn> m = read_midi_file(smf_file("good.mid", header + tempo + notes), "t");
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0].message, 0x90 | 0x3C << 8 | 0x64 << 16);
    EXPECT_DOUBLE_EQ(m[0].time.seconds, 0.0);
    EXPECT_EQ(m[1].message, 0x90 | 0x3E << 8 | 0x64 << 16); // running status
    EXPECT_DOUBLE_EQ(m[1].time.seconds, 0.5);               // a quarter at 120 bpm
    EXPECT_EQ(m[2].message, 0xC2 | 5 << 8);
    EXPECT_DOUBLE_EQ(m[2].time.seconds, 1.5); // then a quarter at 60 bpm

    const std::pair<std::string, const char *> bad[] = {
        {"MThx", "no MThd header"},
        {header, "track 1 of 2 is missing"},
        {chunk("MThd", std::string("\0\2\0\1\0\x60", 6)) + notes, "format 2"},
        {header + chunk("MTrk", std::string("\0\x90\x3C", 3)), "a message is cut short"},
        {header + chunk("MTrk", std::string("\0\x3C\x64", 3)), "a data byte without a status"},
        {header + tempo.substr(0, 12), "a chunk runs past the end of the file"},
        {header + chunk("MTrk", std::string("\x81", 1)), "a track ends inside a number"},
    };
    for (const auto &[bytes, message] : bad) {
        try {
            read_midi_file(smf_file("bad.mid", bytes), "--midi-file");
            ADD_FAILURE() << "no error for " << message;
        } catch (const InputError &e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(read_midi_file("/no/such/file.mid", "t"), InputError);
}

sehost::PinDecl choice(const char *name, const char *list)
{
    sehost::PinDecl d;
    d.name = name;
    d.datatype = DT_CHOICE;
    d.list_text = list;
    return d;
}

TEST(SehostUnits, PinValues)
{
    sehost::PinDecl octave = choice("Octave", "-6=-6,-5,-4,-3,-2,-1,0,+1,+2");
    sehost::PinDecl position = choice("End", "1=1,2,3,4,5");
    sehost::PinDecl range = choice("Parameter#", "range:0,16383");
    EXPECT_EQ(parse_value(octave, "+1", "t"), 1);
    EXPECT_EQ(parse_value(octave, "-6", "t"), -6);
    EXPECT_EQ(parse_value(position, "4", "t"), 4); // the label "4" is the value 4
    EXPECT_EQ(parse_value(range, "16383", "t"), 16383);
    EXPECT_THROW(parse_value(range, "16384", "t"), InputError);
    EXPECT_THROW(parse_value(position, "9", "t"), InputError);
    try {
        parse_value(octave, "up", "--set");
        ADD_FAILURE() << "no error";
    } catch (const InputError &e) {
        EXPECT_NE(std::string(e.what()).find(
                      "--set: pin \"Octave\" has no entry \"up\"; valid: \"-6\", \"-5\""),
                  std::string::npos)
            << e.what();
    }
    sehost::PinDecl flag;
    flag.name = "Bool";
    flag.datatype = DT_BOOLEAN;
    for (const char *on : {"ON", "on", "true", "1", "yes"})
        EXPECT_EQ(parse_value(flag, on, "t"), 1) << on;
    for (const char *off : {"OFF", "false", "0", "no"})
        EXPECT_EQ(parse_value(flag, off, "t"), 0) << off;
    EXPECT_THROW(parse_value(flag, "maybe", "t"), InputError);
    sehost::PinDecl audio;
    audio.name = "Level";
    audio.datatype = DT_FSAMPLE;
    EXPECT_DOUBLE_EQ(parse_value(audio, "5", "t"), 0.5); // volts to samples
    EXPECT_THROW(parse_value(audio, "loud", "t"), InputError);
    EXPECT_EQ(value_text(octave, 1), "+1");
    EXPECT_EQ(value_text(flag, 1), "ON");
}

TEST(SehostUnits, Sources)
{
    const double rate = 1000;
    Source sine = make_source("sine:10:5", rate, 1000, "t"); // 100 samples a period
    EXPECT_NEAR(sine.sample(0), 0.0, 1e-6);
    EXPECT_NEAR(sine.sample(25), 0.5, 1e-6);
    EXPECT_NEAR(sine.sample(75), -0.5, 1e-6);
    Source lfo = make_source("sine:10:5:5", rate, 1000, "t");
    EXPECT_NEAR(lfo.sample(25), 1.0, 1e-6);
    Source square = make_source("square:10", rate, 1000, "t");
    EXPECT_FLOAT_EQ(square.sample(10), 0.5f);
    EXPECT_FLOAT_EQ(square.sample(60), -0.5f);
    Source saw = make_source("saw:10:10", rate, 1000, "t");
    EXPECT_NEAR(saw.sample(0), -1.0, 1e-6);
    EXPECT_NEAR(saw.sample(50), 0.0, 1e-6);
    Source ramp = make_source("ramp:0:10", rate, 101, "t");
    EXPECT_FLOAT_EQ(ramp.sample(0), 0.0f);
    EXPECT_FLOAT_EQ(ramp.sample(50), 0.5f);
    EXPECT_FLOAT_EQ(ramp.sample(100), 1.0f);
    EXPECT_FLOAT_EQ(make_source("const:-2.5", rate, 10, "t").sample(3), -0.25f);
    for (const char *bad : {"sine", "sine:", "sine:0", "sine:600", "sine:1:2:3:4",
                            "const:", "ramp:1", "noise:1", "x.wav"})
        EXPECT_THROW(make_source(bad, rate, 10, "t"), InputError) << bad;
    EXPECT_TRUE(looks_like_source("sine:1"));
    EXPECT_TRUE(looks_like_source("take.WAV"));
    EXPECT_FALSE(looks_like_source("5"));
}

// An oscillator's phase is the fraction of clock * frequency / rate, exactly
// as fmod gives it: stored outputs depend on every bit, far into a long run.
// Each sample of a block comes from its own clock, the clock wrapping at 2^32
// as the host's does, wherever the block starts.
TEST(SehostUnits, OscillatorPhaseIsExactFarIntoARun)
{
    struct Case {
        const char *text;
        double rate, freq, volts;
    };
    const Case cases[] = {{"sine:100", 44100, 100, 5},       {"sine:7:5", 48000, 7, 5},
                          {"square:4", 44100, 4, 5},         {"saw:1234.5:3", 96000, 1234.5, 3},
                          {"sine:0.013:2", 44100, 0.013, 2}, {"square:20000:1", 44100, 20000, 1}};
    struct Window {
        uint32_t first, count;
    };
    const Window windows[] = {{0u, 1u},
                              {0u, 300u},
                              {441u, 1u},
                              {44099u, 3u},
                              {1u << 20, 64u},
                              {123456789u, 77u},
                              {(1u << 31) + 7u, 1u},
                              {UINT32_MAX - 1, 1u},
                              {UINT32_MAX - 31, 64u}};
    for (const Case &c : cases) {
        Source s = make_source(c.text, c.rate, UINT32_MAX, "t");
        const double amp = c.volts / 10.0, step = c.freq / c.rate;
        for (const Window &w : windows) {
            std::vector<float> got(w.count, NAN);
            s.fill(w.first, w.count, got.data());
            for (uint32_t i = 0; i < w.count; ++i) {
                const uint32_t clock = w.first + i;
                double phase = std::fmod(clock * step, 1.0);
                double want = c.text[1] == 'i'   ? amp * std::sin(2 * M_PI * phase)
                              : c.text[1] == 'q' ? (phase < 0.5 ? amp : -amp)
                                                 : amp * (2 * phase - 1);
                EXPECT_EQ(bits(got[i]), bits(static_cast<float>(0.0 + want)))
                    << c.text << " at " << clock;
            }
        }
    }
}

// The oscillators' fraction without a comparison, against x - trunc(x):
// whole numbers, halves (rounding ties both ways), a hair either side of
// them, and phases far into a run.
TEST(SehostUnits, PhaseFractionIsTruncationsBitForBit)
{
    std::vector<double> xs = {
        0.0,       0x1p-1074,    1e-300,           0.25,        0.5, 1.0, 1.5, 2.5, 3.5,
        1e6 + 0.5, 2147483647.5, 0x1p31 - 0x1p-21, 0x1p50 + 0.5};
    for (double base : {0.5, 1.0, 1.5, 2.0, 2.5, 12345.5, 0x1p31})
        for (double x = std::nextafter(base, 0.0), k = 0; k < 3; x = std::nextafter(x, 1e300), ++k)
            xs.push_back(x);
    for (uint32_t c = 0; c < 100000; ++c)
        xs.push_back(c * (440.0 / 44100) + c * 1e-7);
    for (double x : xs)
        ASSERT_EQ(bits_of(phase_fraction(x)), bits_of(x - std::trunc(x))) << std::hexfloat << x;
}

// A block buffer holds clock c at c % size: runs are cut at its end and at
// the clock's wrap (after which clock 0 sits at offset 0 again, even where
// the size does not divide 2^32).
TEST(SehostUnits, RingCopiesFollowTheClock)
{
    struct Case {
        uint32_t size, first, count;
    };
    const Case cases[] = {{256, 0, 256},
                          {256, 100, 156},
                          {256, 200, 100},
                          {37, 30, 80},
                          {37, UINT32_MAX - 5, 20},
                          {256, UINT32_MAX - 9, 256},
                          {1, UINT32_MAX - 2, 5},
                          {1000, 999, 1}};
    for (const Case &c : cases) {
        std::vector<float> ring(c.size);
        for (uint32_t k = 0; k < c.size; ++k)
            ring[k] = static_cast<float>(k);
        std::vector<float> out(c.count, -1.0f);
        read_ring(ring.data(), c.size, c.first, c.count, out.data());
        std::vector<float> back(c.size, -1.0f), in(c.count);
        for (uint32_t i = 0; i < c.count; ++i)
            in[i] = static_cast<float>(i);
        write_ring(back.data(), c.size, c.first, c.count, in.data());
        std::vector<float> want_back(c.size, -1.0f);
        for (uint32_t i = 0; i < c.count; ++i) {
            const uint32_t at = (c.first + i) % c.size;
            EXPECT_EQ(out[i], static_cast<float>(at)) << c.size << " " << c.first << " +" << i;
            want_back[at] = static_cast<float>(i); // a later clock overwrites an earlier one
        }
        EXPECT_EQ(back, want_back) << c.size << " " << c.first;
    }
}

TEST(SehostUnits, PatchFiles)
{
    Patch p = parse_patch_text(R"({"rate": 48000, "block": 64, "duration": "250ms",
        "sources": {"osc": "sine:4"},
        "modules": [{"name": "a", "plugin": "edge_detect", "set": {"Pulse Level": 5, "Detect Mode": "LeadX"},
                     "at": [{"time": "0.1s", "set": {"Pulse Mode": "Sqr", "Detect Mode": 0}}],
                     "patch_changes": ["100ms"], "midi": ["0.2s=on 1 60 1"], "repeat": 2}],
        "connections": [["osc", "a.Audio In"], {"from": "osc", "to": "a.Pulse Level"}]})",
                               "p.json");
    EXPECT_EQ(p.rate, 48000);
    EXPECT_EQ(p.block, 64);
    EXPECT_EQ(p.duration.clock(p.rate), 12000u);
    ASSERT_EQ(p.modules.size(), 1u);
    const ModuleSpec &m = p.modules[0];
    EXPECT_EQ(m.repeat, 2);
    ASSERT_EQ(m.set.size(), 2u);
    EXPECT_EQ(m.at.size(), 2u);
    EXPECT_EQ(m.at[1].value, "0");
    EXPECT_EQ(m.patch_changes.size(), 1u);
    EXPECT_EQ(m.midi.size(), 1u);
    ASSERT_EQ(p.wires.size(), 2u);
    EXPECT_EQ(p.wires[1].to, "a.Pulse Level");

    const std::pair<const char *, const char *> bad[] = {
        {R"({"modules": [], "sped": 1})", "p.json: unknown field \"sped\""},
        {R"({"modules": [{"name": "a"}]})", "modules[0]: needs a \"plugin\""},
        {R"({"modules": [{"name": "a.b", "plugin": "x"}]})", "modules[0].name"},
        {R"({"modules": [{"name": "a", "plugin": "x", "at": [{"time": "1s"}]}]})",
         "modules[0].at[0]: needs"},
        {R"({"modules": [], "connections": [["a"]]})", "connections[0]: expected"},
        {R"({"modules": [], "rate": "fast"})", "rate: expected a whole number"},
        {R"({"modules": [], "duration": "0s"})", "duration: duration is zero"},
        {"{\n\"modules\": [\n}", "p.json: line 3, column 1: malformed JSON"},
    };
    for (const auto &[text, message] : bad) {
        try {
            parse_patch_text(text, "p.json");
            ADD_FAILURE() << "no error for " << text;
        } catch (const InputError &e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
}

TEST(SehostUnits, FileNames)
{
    EXPECT_EQ(file_stem("count", "Index:Count"), "count.Index_Count");
    EXPECT_EQ(file_stem("router", "Add Midi Out[1]"), "router.Add_Midi_Out_1");
    EXPECT_EQ(file_stem("rpn", "Parameter# CV"), "rpn.Parameter_CV");
    EXPECT_EQ(file_stem("edge", "+Ve/-Ve"), "edge.+Ve_-Ve");
}

} // namespace
