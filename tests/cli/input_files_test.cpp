// input_files_test.cpp - files a run reads: only regular files, patches and
// MIDI files up to their cap, WAV files named in a patch (found beside it,
// read as the run goes, a rate or length that differs said), and plug-ins
// whose texts are not UTF-8.
#include <cmath>
#include <fcntl.h>
#include <sys/stat.h>
#include <vector>
#include <unistd.h>

#include "cli_support.h"
#include "common/errors.h"
#include "midi/midi_input.h"
#include "sources/sources.h"

namespace {

using namespace se_cli;

[[maybe_unused]] std::string le32(uint32_t v)
{
    return {char(v & 0xFF), char(v >> 8 & 0xFF), char(v >> 16 & 0xFF), char(v >> 24)};
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

// A FIFO would hold the run until someone writes to it, a device such as
// /dev/zero never ends and a folder is no file: each is refused at once,
// with the option or field and the file. Patches and MIDI files are read
// whole, up to 16 MiB, a MIDI file only after its header.
TEST(SehostInputFiles, OnlyRegularFilesUpToTheirCapAreRead)
{
    const fs::path dir = fs::path(fresh_dir("not_files"));
    fs::create_directories(dir / "folder");
    const std::string fifo = (dir / "fifo").string(), fifo_wav = (dir / "fifo.wav").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(fifo_wav.c_str(), 0600), 0);
    const auto sparse = [&](const std::string &name, const std::string &head, uint64_t size) {
        const std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary) << head;
        fs::resize_file(path, size);
        return path;
    };
    const uint64_t over = (16u << 20) + 1;
    const std::string big_patch = sparse("big.json", "{}", over);
    const std::string big_mid =
        sparse("big.mid", std::string("MThd\0\0\0\6\0\0\0\1\0\x60", 14), over);
    const std::string no_mid = sparse("zeros.mid", "", over);
    const auto patch = [&](const std::string &name, const json &module, const json &sources) {
        json p = {{"duration", "10ms"}, {"modules", {module}}};
        if (!sources.is_null()) {
            p["sources"] = sources;
            p["connections"] = {{"w", "e.Audio In"}};
        }
        return patch_file(name, p);
    };
    const std::string midi_fifo =
        patch("midi_fifo", {{"name", "r"}, {"plugin", "midi_choice"}, {"midi_file", fifo}}, {});
    const std::string wav_fifo =
        patch("wav_fifo", {{"name", "e"}, {"plugin", "edge_detect"}}, {{"w", fifo_wav}});
    const std::string out = fresh_dir("not_files_out");
    const std::string folder = (dir / "folder").string();
    expect_refused({
        {{"render", "midi_choice", "--midi-file", folder, "-o", out},
         "--midi-file: cannot read MIDI file \"" + folder + "\": it is a folder"},
        {{"render", "midi_choice", "--midi-file", fifo, "-o", out}, "it is a pipe (FIFO)"},
        {{"render", "midi_choice", "--midi-file", "/dev/zero", "-o", out},
         "--midi-file: cannot read MIDI file \"/dev/zero\": it is a device"},
        {{"render", "edge_detect", "--set", "Audio In=" + fifo_wav, "-o", out},
         "cannot read WAV file \"" + fifo_wav + "\": it is a pipe (FIFO)"},
        {{"run", fifo, "-o", out}, fifo + ": cannot read the patch file: it is a pipe (FIFO)"},
        {{"run", "/dev/zero", "-o", out}, "/dev/zero: cannot read the patch file: it is a device"},
        {{"run", folder, "-o", out}, "cannot read the patch file: it is a folder"},
        {{"run", midi_fifo, "-o", out},
         "midi_fifo.json: modules[0].midi_file: cannot read MIDI file \"" + fifo +
             "\": it is a pipe (FIFO)"},
        {{"run", wav_fifo, "-o", out}, "wav_fifo.json: sources.\"w\": cannot read WAV file"},
        {{"run", big_patch, "-o", out}, "the file is larger than 16 MiB, the most that is read"},
        {{"render", "midi_choice", "--midi-file", big_mid, "-o", out},
         "big.mid\": the file is larger than 16 MiB"},
        {{"render", "midi_choice", "--midi-file", no_mid, "-o", out},
         "zeros.mid\": not a Standard MIDI File (no MThd header)"},
    });
}

// A WAV file at another rate than the run is played one sample per sample
// of the run, and one cut short (its data chunk announces more than the
// file holds) as far as it goes: both are said in a note, once each.
TEST(SehostInputFiles, WavSourcesAtAnotherRateOrCutShortAreSaid)
{
    const std::string wav = counting_wav("at44100.wav", 4410);
    const std::string cut = counting_wav("cut.wav", 4410);
    fs::resize_file(cut, fs::file_size(cut) - 4000);
    const std::string out = fresh_dir("wav_notes");
    Result r = sehost({"render", "edge_detect", "--rate", "48000", "--set", "Audio In=" + wav, "-d",
                       "50ms", "-o", out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("sehost: note: --set \"Audio In=" + wav + "\": WAV file \"" + wav +
                         "\" has 44100 samples a second and the run 48000: it is played one "
                         "sample per sample of the run, at 1.088 times its speed\n"),
              std::string::npos)
        << r.err;
    r = sehost(
        {"render", "edge_detect", "--set", "Audio In=" + cut, "-d", "50ms", "-o", out, "--force"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("WAV file \"" + cut +
                         "\" ends early: its data chunk announces 35280 bytes and the file holds "
                         "31280; it is played as far as it goes, then silence\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

// A plug-in whose name, identifier, about text and an output pin hold
// Latin-1 bytes and a control sequence (ESC [2J clears a terminal): every
// file holds UTF-8 (the JSON library, strict, takes every text), and the
// terminal gets no control byte.
TEST(SehostInputFiles, TextsThatAreNotUtf8AreReplacedAndControlBytesEscaped)
{
    const std::string probe = se_test::plugin_path("sdk_probe_latin1");
    const auto expect_utf8 = [](const std::string &text, const std::string &what) {
        EXPECT_NO_THROW(json(text).dump()) << what;
    };
    Result r = sehost({"info", probe, "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json one = json::parse(r.out).at("plugins").at(0);
    EXPECT_EQ(one["name"], "Caf\xEF\xBF\xBD Probe");
    EXPECT_EQ(one["about"], "Gr\xEF\xBF\xBD\xEF\xBF\xBD"
                            "e aus dem Build");
    EXPECT_EQ(one["pins"][2]["name"], "Sortie \xEF\xBF\xBD\x1B[2J"); // JSON escapes it

    r = sehost({"info", probe});
    ASSERT_EQ(r.status, 0) << r.err;
    expect_utf8(r.out, "info");
    EXPECT_EQ(std::count_if(r.out.begin(), r.out.end(),
                            [](char c) { return (c >= 0 && c < 0x20 && c != '\n') || c == 0x7F; }),
              0)
        << r.out;
    EXPECT_NE(r.out.find("Sortie \xEF\xBF\xBD\\x1B[2J"), std::string::npos) << r.out;

    // The output pin's status names it in events.jsonl.
    const std::string out = fresh_dir("latin1");
    r = sehost({"render", probe, "-d", "10ms", "-o", out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(select(read_events(out), "status").at(0)["pin"], "Sortie \xEF\xBF\xBD\x1B[2J");
    expect_utf8(slurp(out + "/report.html"), "report.html");
    EXPECT_TRUE(fs::exists(out + "/sdk_probe_latin1.Sortie_2J.wav"));
}

} // namespace
