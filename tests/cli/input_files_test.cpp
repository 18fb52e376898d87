// input_files_test.cpp - files a run reads: MIDI files with a SMPTE time
// division, WAV files named in a patch (found beside it, read as the run
// goes) and plug-ins whose texts are not UTF-8.
#include <cmath>
#include <fcntl.h>
#include <vector>
#include <unistd.h>

#include "cli_support.h"
#include "common/errors.h"
#include "midi/midi_input.h"
#include "sources/sources.h"

namespace {

using namespace se_cli;

std::string be32(uint32_t v)
{
    return {char(v >> 24), char(v >> 16 & 0xFF), char(v >> 8 & 0xFF), char(v & 0xFF)};
}

[[maybe_unused]] std::string le32(uint32_t v)
{
    return {char(v & 0xFF), char(v >> 8 & 0xFF), char(v >> 16 & 0xFF), char(v >> 24)};
}

// A format-0 file with one note-on a quarter of a second in (at 25 fps, 40
// ticks a frame: 250 ticks).
std::string smpte_file(unsigned char ticks_per_frame)
{
    std::string header = std::string("MThd") + be32(6) + std::string("\0\0\0\1", 4) + char(0xE7) +
                         char(ticks_per_frame);
    std::string track = std::string("\x81\x7A\x90\x3C\x64\x00\xFF\x2F\x00", 9);
    return header + "MTrk" + be32(static_cast<uint32_t>(track.size())) + track;
}

TEST(SehostInputFiles, SmpteDivisionNeedsTicksPerFrame)
{
    std::vector<secli::MidiIn> m =
        secli::read_midi_file(input_file("smpte40.mid", smpte_file(40)), "t");
    ASSERT_EQ(m.size(), 1u);
    EXPECT_DOUBLE_EQ(m[0].time.seconds, 0.25);
    std::string zero = input_file("smpte0.mid", smpte_file(0));
    EXPECT_THROW(secli::read_midi_file(zero, "t"), secli::InputError);
    expect_refused({{{"render", "midi_choice", "--midi-file", zero, "-o", fresh_dir("smpte")},
                     "smpte0.mid\": the time division is 0"}});
}

// A float WAV whose first channel counts 0, 1, 2, ... (second channel -1).
std::string counting_wav(const std::string &name, int frames)
{
    std::string path = input_file(name, "");
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(f, nullptr);
    std::vector<float> data(static_cast<size_t>(frames) * 2);
    for (int i = 0; i < frames; ++i) {
        data[2 * static_cast<size_t>(i)] = static_cast<float>(i);
        data[2 * static_cast<size_t>(i) + 1] = -1.0f;
    }
    sf_writef_float(f, data.data(), frames);
    sf_close(f);
    return path;
}

TEST(SehostInputFiles, WavSourceReadsThroughAWindow)
{
    std::string path = counting_wav("count.wav", 200000);
    secli::Source s = secli::make_source(path, 44100, 150000, "t");
    // Forward across window edges, then back, then past what the run needs.
    for (uint32_t c : {0u, 1u, 65535u, 65536u, 65537u, 131072u, 149999u, 10u, 140000u, 70000u})
        EXPECT_EQ(s.sample(c), static_cast<float>(c)) << c;
    EXPECT_EQ(s.sample(150000), 0.0f);
    EXPECT_EQ(s.sample(4000000000u), 0.0f);
    // Blocks: across window edges, into the silence after what the run
    // needs, and across the clock's wrap to 0.
    struct Block {
        uint32_t first, count;
    };
    for (const Block &b :
         {Block{65530u, 20u}, Block{0u, 140000u}, Block{149990u, 20u}, Block{UINT32_MAX - 2, 6u}}) {
        std::vector<float> got(b.count, NAN);
        s.fill(b.first, b.count, got.data());
        for (uint32_t i = 0; i < b.count; ++i) {
            const uint32_t c = b.first + i;
            ASSERT_EQ(got[i], c < 150000 ? static_cast<float>(c) : 0.0f) << b.first << " +" << i;
        }
    }
    // A shorter file ends in silence.
    secli::Source short_file = secli::make_source(counting_wav("short.wav", 100), 44100, 1000, "t");
    EXPECT_EQ(short_file.sample(99), 99.0f);
    EXPECT_EQ(short_file.sample(100), 0.0f);
}

// A WAV header that announces 600 MB of samples over a sparse file: a 1 ms
// run must read its 44 samples, not the whole file.
TEST(SehostInputFiles, LongWavFileCostsOnlyWhatTheRunReads)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer reserves more address space than the limit below";
#else
    const uint32_t bytes = 600u * 1000 * 1000;
    std::string header = "RIFF" + le32(36 + bytes) + "WAVE" + "fmt " + le32(16) +
                         std::string("\3\0\1\0", 4) + le32(44100) + le32(44100 * 4) +
                         std::string("\4\0\x20\0", 4) + "data" + le32(bytes);
    std::string path = input_file("long.wav", header);
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(header.size() + bytes)), 0);
    std::string out = fresh_dir("long_wav");
    std::string cmd = "ulimit -v 500000; " + quote(SEHOST_BIN) + " --plugins " +
                      quote(se_test::plugin_dir()) + " render edge_detect --set " +
                      quote("Audio In=" + path) + " -d 1ms -o " + quote(out) + " >/dev/null 2>&1";
    int raw = std::system(("sh -c " + quote(cmd)).c_str());
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << "exit " << raw;
    EXPECT_EQ(read_wav(out + "/edge_detect.Pulse_Out.wav").size(), 44u);
    fs::remove(path);
#endif
}

TEST(SehostInputFiles, WavFilesInAPatchAreFoundBesideIt)
{
    fs::path dir = fs::path(fresh_dir("patch_folder"));
    fs::create_directories(dir);
    fs::copy_file(counting_wav("beside.wav", 4410), dir / "beside.wav");
    std::string patch = (dir / "p.json").string();
    std::ofstream(patch) << R"({"duration": "50ms", "sources": {"w": "beside.wav"},
        "modules": [{"name": "a", "plugin": "edge_detect", "set": {"Pulse Mode": "Sqr"}},
                    {"name": "b", "plugin": "edge_detect", "set": {"Audio In": "beside.wav", "Pulse Mode": "Sqr"}}],
        "connections": [["w", "a.Audio In"]]})";
    Result r = sehost({"run", patch, "-o", (dir / "out").string()});
    EXPECT_EQ(r.status, 0) << r.err;
    // Both readers saw the file: the counting input is above zero from
    // sample 1, so the square output is high.
    for (const char *name : {"a", "b"})
        EXPECT_GT(read_wav((dir / "out" / (std::string(name) + ".Pulse_Out.wav")).string())[100],
                  0.0f)
            << name;
    // The working folder is not searched.
    std::ofstream(patch)
        << R"({"duration": "50ms", "modules": [{"name": "a", "plugin": "edge_detect",
        "set": {"Audio In": "no_such.wav"}}]})";
    r = sehost({"run", patch, "-o", (dir / "out2").string()});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find((dir / "no_such.wav").string()), std::string::npos) << r.err;
}

TEST(SehostInputFiles, InfoJsonReplacesBytesThatAreNotUtf8)
{
    Result r = sehost({"info", se_test::plugin_path("sdk_probe_latin1"), "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json one = json::parse(r.out).at("plugins").at(0);
    EXPECT_EQ(one["name"], "Caf\xEF\xBF\xBD Probe");
    EXPECT_EQ(one["about"], "Gr\xEF\xBF\xBD\xEF\xBF\xBD"
                            "e aus dem Build");
}

} // namespace
