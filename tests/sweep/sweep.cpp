// sweep.cpp - every plug-in run through the reference host on seeded
// random inputs, with everything it produces written out bit for bit: the
// samples of every audio output, every request with its arguments and the
// value an announced output held, and the faults the host found.
//
// The words go to a SweepWriter, which hashes them (64-bit FNV-1a) and may
// write them to a file.  Two builds of the plug-ins (x87 and SSE2 code, or a
// module before and after a change) are compared by pointing SE_PLUGIN_DIR at each and comparing the dumps or the
// digests.  Inputs mix sines, non-repeating noise, pulses and runs of
// special values (subnormal, not-a-number, infinite, signed zeros, values
// around the modules' quantisation steps), choice settings changed at
// random times, MIDI and patch changes, and stretches split at random.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "float_bits.h"
#include "plugin_path.h"
#include "sehost/sehost.h"
#include "sweep.h"

namespace se_test {
namespace {

using sehost::DspInstance;
using sehost::HostConfig;
using sehost::Library;

// splitmix64: the same numbers on every platform and standard library.
struct Rng {
    uint64_t s;
    uint64_t next()
    {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
    // Uniform in [lo, hi), from 24 random bits: exact in float.
    float uniform(float lo, float hi)
    {
        return lo + (hi - lo) * static_cast<float>(next() >> 40) * (1.0f / 16777216.0f);
    }
};

using se_test::from_bits;

using se_test::bits;

const uint32_t kSpecials[] = {
    0x00000000u, 0x80000000u,                           // +0, -0
    0x00000001u, 0x80000001u, 0x007FFFFFu, 0x807FFFFFu, // subnormals
    0x7F800000u, 0xFF800000u,                           // infinities
    0x7FC00000u, 0xFFC00000u, 0x7F800001u, 0x7FA5A5A5u, // not-a-number
    0x00800000u, 0x80800000u, 0x7F7FFFFFu, 0xFF7FFFFFu, // smallest normal, largest
};

// A sine-like wave of phase p (in periods) from exactly rounded operations
// alone, so it is the same on every platform (libm's sine may differ in the
// last bit): the parabola 4q(1 - |q|) over q = 2 * frac(p) - 1.
double wave(double p)
{
    double q = 2.0 * (p - std::floor(p)) - 1.0;
    return 4.0 * q * (1.0 - std::fabs(q));
}

// A tape of `length` samples made of segments of random kinds.
std::vector<float> make_tape(Rng &rng, size_t length)
{
    std::vector<float> tape;
    tape.reserve(length);
    while (tape.size() < length) {
        size_t n = 8 + rng.below(1500);
        switch (rng.below(7)) {
        case 0: { // sine, slow or fast, with an offset
            double f = 1.0 / (2.0 + rng.below(400));
            double a = rng.uniform(0.0f, 1.5f);
            double o = rng.uniform(-0.2f, 0.2f);
            for (size_t i = 0; i < n; ++i)
                tape.push_back(static_cast<float>(o + a * wave(f * double(i))));
            break;
        }
        case 1: // noise
            for (size_t i = 0; i < n; ++i)
                tape.push_back(rng.uniform(-1.2f, 1.2f));
            break;
        case 2: { // pulses of random width and level
            float level = rng.uniform(-1.0f, 1.5f);
            uint32_t period = 2 + rng.below(60), width = 1 + rng.below(period);
            for (size_t i = 0; i < n; ++i)
                tape.push_back(i % period < width ? level : 0.0f);
            break;
        }
        case 3: // special values, one after another
            for (size_t i = 0; i < n; ++i)
                tape.push_back(
                    from_bits(kSpecials[rng.below(sizeof kSpecials / sizeof kSpecials[0])]));
            break;
        case 4: { // held value with rare steps: the modules' sleep and hold paths
            float v = rng.uniform(-0.1f, 1.1f);
            for (size_t i = 0; i < n; ++i) {
                if (rng.below(200) == 0)
                    v = rng.uniform(-0.1f, 1.1f);
                tape.push_back(v);
            }
            break;
        }
        case 5: { // around the steps of a 14-bit scale: k/16383 and its neighbours
            for (size_t i = 0; i < n; ++i) {
                float v = static_cast<float>(rng.below(16384)) / 16383.0f;
                uint32_t b = bits(v) + rng.below(5) - 2u;
                tape.push_back(from_bits(b));
            }
            break;
        }
        default: // any bit pattern at all
            for (size_t i = 0; i < n; ++i)
                tape.push_back(from_bits(static_cast<uint32_t>(rng.next())));
            break;
        }
    }
    tape.resize(length);
    return tape;
}

// A value for a choice, bool or float pin: a list entry mostly, sometimes
// one just outside the list.
double pin_value(Rng &rng, const sehost::PinDecl &d)
{
    if (d.datatype == DT_BOOLEAN)
        return rng.below(2);
    if (d.datatype == DT_FLOAT32)
        return rng.uniform(-2.0f, 2.0f);
    if (d.list_text) {
        sehost::EnumList list = sehost::EnumList::parse(*d.list_text);
        if (list.kind() == sehost::EnumList::Kind::Entries && !list.entries().empty()) {
            const auto &e = list.entries();
            if (rng.below(16) == 0)
                return rng.below(2) ? e.back().value + 1 : e.front().value - 1;
            return e[rng.below(static_cast<uint32_t>(e.size()))].value;
        }
        if (list.kind() == sehost::EnumList::Kind::Range)
            return list.range_min() +
                   rng.below(static_cast<uint32_t>(list.range_max() - list.range_min() + 1));
    }
    return rng.below(4);
}

} // namespace

void sweep(const char *name, uint64_t seed, SweepWriter &out)
{
    Rng rng{seed * 0x100000001B3ull ^ 0x5EEDull};
    for (const char *c = name; *c; ++c) // a stream per plug-in, the same everywhere
        rng.s = rng.s * 131 + static_cast<unsigned char>(*c);
    const int32_t sizes[] = {32, 100, 256, 1024};
    HostConfig config;
    config.block_size = sizes[rng.below(4)];
    config.throw_on_module_error = false;
    config.record_queries = true; // the digest covers every request
    config.sample_rate = rng.below(2) ? 44100.0f : 48000.0f;
    auto lib = Library::load(se_test::plugin_path(name));
    DspInstance dsp(lib, config);

    const uint32_t total = 1u << 16;
    std::vector<std::shared_ptr<std::vector<float>>> tapes;
    std::vector<int> audio_in, settable;
    for (const sehost::PinDecl &d : dsp.pins()) {
        if (d.dsp_index < 0)
            continue;
        if (d.datatype == DT_FSAMPLE && d.direction == DR_OUT)
            dsp.capture(d.dsp_index);
        if (!d.is_input())
            continue;
        if (d.datatype == DT_FSAMPLE) {
            audio_in.push_back(d.dsp_index);
            auto tape = std::make_shared<std::vector<float>>(make_tape(rng, total + 4096));
            tapes.push_back(tape);
            dsp.set_source(d.dsp_index, [tape](uint32_t t) { return (*tape)[t % tape->size()]; });
        } else if (d.datatype != DT_MIDI) {
            settable.push_back(d.dsp_index);
            dsp.set_value(d.dsp_index, pin_value(rng, d));
        }
    }
    bool midi_in = false;
    for (const sehost::PinDecl &d : dsp.pins())
        midi_in = midi_in || (d.datatype == DT_MIDI && d.direction == DR_IN && d.dsp_index >= 0);
    dsp.split_random(static_cast<uint32_t>(rng.next()) | 1u,
                     1 + static_cast<int32_t>(rng.below(400)));
    dsp.open();

    // Changes at random clocks: settings, held or streamed audio, MIDI,
    // patch changes.
    for (uint32_t t = 1; t < total; t += 1 + rng.below(700)) {
        dsp.run_until(t);
        uint32_t what = rng.below(8);
        if (what < 4 && !settable.empty()) {
            int pin = settable[rng.below(static_cast<uint32_t>(settable.size()))];
            const sehost::PinDecl &d =
                dsp.pins()[static_cast<size_t>(dsp.dsp_pins()[size_t(pin)].decl)];
            dsp.set_value(pin, pin_value(rng, d));
        } else if (what == 4 && !audio_in.empty()) {
            size_t k = rng.below(static_cast<uint32_t>(audio_in.size()));
            if (rng.below(2)) {
                float v =
                    rng.below(3) ? rng.uniform(-1.1f, 1.1f) : from_bits(kSpecials[rng.below(16)]);
                dsp.set_value(audio_in[k], v);
            } else {
                auto tape = tapes[k];
                dsp.set_source(audio_in[k],
                               [tape](uint32_t c) { return (*tape)[c % tape->size()]; });
            }
        } else if (what == 5 && midi_in) {
            uint32_t status = 0x80u + rng.below(0x80);
            dsp.queue_midi(t + rng.below(50), SE_MIDI_PACK(status, rng.below(128), rng.below(128)));
        } else if (what == 6) {
            dsp.queue_patch_change(t + rng.below(50));
        }
    }
    dsp.run_until(total);

    for (const sehost::DspPin &p : dsp.dsp_pins()) {
        if (p.datatype != DT_FSAMPLE || p.direction != DR_OUT)
            continue;
        const std::vector<float> &samples = dsp.captured(p.index);
        out.word(static_cast<uint32_t>(samples.size()));
        for (float x : samples)
            out.word(bits(x));
    }
    for (const sehost::Request &r : dsp.requests()) {
        out.word(r.clock);
        out.word(static_cast<uint32_t>(r.op));
        out.word(static_cast<uint32_t>(r.index));
        out.word(static_cast<uint32_t>(r.value));
        out.word(r.stamp);
        out.word(bits(r.opt));
        uint64_t v = 0;
        if (r.output_value)
            std::memcpy(&v, &*r.output_value, sizeof v);
        out.word(static_cast<uint32_t>(v));
        out.word(static_cast<uint32_t>(v >> 32));
    }
    out.word(static_cast<uint32_t>(dsp.errors().size()));
}

std::string digest_file(const Deliverable &d)
{
    return native_dir(std::string(SE_TEST_SOURCE_DIR) + "/" + d.folder + "/sweep_digests.txt");
}

std::string digest_line(const std::string &name, int word_bits, const Digest &digest)
{
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(digest.hash));
    return name + " " + std::to_string(word_bits) + " " + hex + " " + std::to_string(digest.words);
}

std::optional<Digest> recorded_digest(const Deliverable &d, int word_bits)
{
    std::ifstream in(digest_file(d));
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string name, hex;
        int bits = 0;
        Digest digest;
        if (fields >> name >> bits >> hex >> digest.words && name == d.name && bits == word_bits) {
            digest.hash = std::stoull(hex, nullptr, 16);
            return digest;
        }
    }
    return std::nullopt;
}

void record_digest(const Deliverable &d, int word_bits, const Digest &digest)
{
    const std::string path = digest_file(d);
    std::vector<std::string> lines;
    {
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);) {
            std::istringstream fields(line);
            std::string name;
            int bits = 0;
            if (!(fields >> name >> bits && name == d.name && bits == word_bits))
                lines.push_back(line);
        }
    }
    if (lines.empty()) {
        lines.push_back(
            "# The output sweep's digests (seed 1) of this folder's plug-ins: name, word");
        lines.push_back(
            "# size, digest, words. Written by se_output_sweep --record (tests/sweep).");
    }
    lines.push_back(digest_line(d.name, word_bits, digest));
    // Comments first, then the digests in order: a recording changes only
    // its own line.
    auto data = std::stable_partition(lines.begin(), lines.end(),
                                      [](const std::string &l) { return l.rfind('#', 0) == 0; });
    std::sort(data, lines.end());
    const std::string part = path + ".part";
    {
        std::ofstream out(part, std::ios::binary | std::ios::trunc);
        for (const std::string &line : lines)
            out << line << "\n";
        if (!out.flush())
            throw std::runtime_error("cannot write " + part);
    }
    std::remove(path.c_str());
    if (std::rename(part.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot write " + path);
}

} // namespace se_test
