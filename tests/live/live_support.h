// live_support.h - one patch, its inputs, and the offline run of it that a
// live run must equal sample for sample and message for message.
#ifndef SE_TESTS_LIVE_SUPPORT_H
#define SE_TESTS_LIVE_SUPPORT_H

#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "offline/offline_runner.h"
#include "patch/patch.h"
#include "plugin_path.h"

namespace livetest {

constexpr double kRate = 48000;
constexpr uint32_t kPeriod = 256;

// A slow sine with a faster one on top, so the edge detector sees uneven
// crossings (never a short repeating block); samples, 1.0 = 10 V.
inline std::vector<float> input_tape(size_t n)
{
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<float>(0.5 * std::sin(2 * M_PI * 7.3 * i / kRate) +
                                  0.2 * std::sin(2 * M_PI * 61.0 * i / kRate));
    return v;
}

// Note on and off pairs at uneven sample clocks, packed.
inline std::vector<std::pair<uint64_t, int32_t>> midi_tape(uint64_t length)
{
    std::vector<std::pair<uint64_t, int32_t>> v;
    for (uint64_t t = 37, k = 0; t + 2000 < length; t += 4111 + 97 * (k % 5), ++k) {
        int note = 60 + static_cast<int>(k % 12);
        v.emplace_back(t, 0x90 | note << 8 | 100 << 16);
        v.emplace_back(t + 1500 + k % 300, 0x80 | note << 8);
    }
    return v;
}

inline std::string write_wav(const std::vector<float> &samples)
{
    char path[] = "/tmp/se_live_XXXXXX.wav";
    int fd = mkstemps(path, 4);
    close(fd);
    SF_INFO info{};
    info.samplerate = static_cast<int>(kRate);
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE *f = sf_open(path, SFM_WRITE, &info);
    sf_write_float(f, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(f);
    return path;
}

// Audio in -> edge detector -> counter -> MIDI router whose MIDI input
// plays the tape; `source` is "jack:in" live and a WAV file offline.
inline secli::Patch test_patch(const std::string &source, uint64_t length)
{
    secli::Patch p;
    p.origin = "live test";
    p.rate = kRate;
    p.block = static_cast<int>(kPeriod);
    p.duration = secli::TimeSpec{0, true, length};
    p.sources = {{"in", source, "in"}};
    auto module = [](const char *name, const char *plugin) {
        secli::ModuleSpec m;
        m.name = name;
        m.plugin = se_test::plugin_path(plugin);
        m.where = name;
        return m;
    };
    secli::ModuleSpec edge = module("edge", "edge_detect"),
                      count = module("count", "pulse_counter"),
                      router = module("router", "midi_choice");
    edge.set = {{"Detect Mode", "LeadX", "set"}, {"Pulse Mode", "Sqr2", "set"}};
    count.set = {{"Active", "ON", "set"}, {"Mode", "Fwd+Back", "set"}, {"End", "3", "set"}};
    router.repeat = 2;
    p.modules = {edge, count, router};
    p.wires = {{"in", "edge.Audio In", "w0"},
               {"edge.Pulse Out", "count.Pulse/Osc In", "w1"},
               {"count.Index:Count", "router.Choice", "w2"}};
    return p;
}

// Outputs by port name: audio samples and (clock, message) lists.
struct Recorded {
    std::map<std::string, std::vector<float>> audio;
    std::map<std::string, std::vector<std::pair<uint64_t, int32_t>>> midi;
};

// The tape as the router's timed MIDI input.
inline void add_midi_tape(secli::Patch &p, uint64_t length)
{
    for (auto [clock, message] : midi_tape(length))
        p.modules[2].midi.push_back(secli::MidiIn{secli::TimeSpec{0, true, clock}, message});
    p.modules[2].midi_where = "tape";
}

inline Recorded run_offline(const secli::Patch &p);

// The offline run of the test patch with the tape in the router's list.
inline Recorded offline(const std::string &wav, uint64_t length)
{
    secli::Patch p = test_patch(wav, length);
    add_midi_tape(p, length);
    return run_offline(p);
}

inline Recorded run_offline(const secli::Patch &p)
{
    secli::Runner runner(p);
    struct Sink : secli::RunSink {
        Recorded r;
        const secli::Runner *runner;
        std::string name(const secli::OutputPin &o) { return o.instance + "." + o.pin; }
        void audio(size_t k, const float *s, size_t n) override
        {
            auto &v = r.audio[name(runner->audio_outputs()[k])];
            v.insert(v.end(), s, s + n);
        }
        void midi(size_t k, uint64_t stamp, int32_t message) override
        {
            r.midi[name(runner->midi_outputs()[k])].emplace_back(stamp, message);
        }
        void event(const std::string &) override {}
    } sink;
    sink.runner = &runner;
    for (const auto &o : runner.midi_outputs())
        sink.r.midi[o.instance + "." + o.pin];
    runner.run(sink);
    return sink.r;
}

// The first difference of two recordings, "" when equal.
inline std::string difference(const Recorded &live, const Recorded &off)
{
    if (live.audio.size() != off.audio.size() || live.midi.size() != off.midi.size())
        return "different outputs";
    for (const auto &[name, samples] : off.audio) {
        auto it = live.audio.find(name);
        if (it == live.audio.end())
            return "no live output " + name;
        if (it->second.size() != samples.size())
            return name + ": " + std::to_string(it->second.size()) + " samples live, " +
                   std::to_string(samples.size()) + " offline";
        for (size_t i = 0; i < samples.size(); ++i)
            if (it->second[i] != samples[i])
                return name + ": sample " + std::to_string(i) + " differs";
    }
    for (const auto &[name, list] : off.midi) {
        auto it = live.midi.find(name);
        if (it == live.midi.end())
            return "no live output " + name;
        if (it->second != list)
            return name + ": " + std::to_string(it->second.size()) + " messages live, " +
                   std::to_string(list.size()) + " offline, or other messages";
    }
    return "";
}

} // namespace livetest

#endif
