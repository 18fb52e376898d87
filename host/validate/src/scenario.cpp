// scenario.cpp - building scenarios and driving them stretch by stretch.
#include "scenario.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <set>

#include "sehost/stretch_planner.h"

namespace sevalidate {
namespace {

// A quiet NaN that no module computes: what the host leaves in a stretch
// before the process call, to see which samples the module wrote.
constexpr uint32_t kSentinel = 0x7FC5E17Eu;

uint32_t bits(float f)
{
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}
float from_bits(uint32_t u)
{
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

uint64_t mix(uint64_t x)
{ // splitmix64 finaliser: a pure hash of the clock
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

const float kHostile[] = {std::numeric_limits<float>::quiet_NaN(),
                          -std::numeric_limits<float>::quiet_NaN(),
                          std::numeric_limits<float>::infinity(),
                          -std::numeric_limits<float>::infinity(),
                          FLT_MIN / 4.0f,
                          -FLT_MIN / 8.0f,
                          std::numeric_limits<float>::denorm_min(),
                          1e30f,
                          -1e30f,
                          FLT_MAX,
                          -FLT_MAX,
                          65536.0f,
                          -65536.0f,
                          0.0f,
                          -0.0f,
                          1.0f,
                          -1.0f};

SourceFn normal_source(Rng &rng, std::string &what)
{
    uint64_t key = rng.next();
    switch (rng.below(5)) {
    case 0: {
        float amp = static_cast<float>(0.1 + 1.1 * rng.unit());
        double w = 0.001 + 0.2 * rng.unit();
        double ph = rng.unit() * 6.283;
        what = "sine";
        return [=](uint32_t c) { return amp * static_cast<float>(std::sin(w * c + ph)); };
    }
    case 1: {
        uint32_t period = 2 + rng.below(200);
        float hi = static_cast<float>(0.05 + rng.unit());
        float lo = rng.below(2) ? 0.0f : -hi;
        what = "square";
        return [=](uint32_t c) { return (c % period) < period / 2 ? hi : lo; };
    }
    case 2:
        what = "noise";
        return [=](uint32_t c) {
            uint64_t h = mix(key ^ c);
            if (h % 17 == 0)
                return 0.0f;
            if (h % 19 == 0)
                return -0.0f;
            return static_cast<float>(static_cast<double>(h >> 11) / 4503599627370496.0 - 1.0);
        };
    case 3: {
        float v = static_cast<float>(rng.unit() * 2.0 - 1.0);
        what = "constant";
        return [=](uint32_t) { return v; };
    }
    default: {
        uint32_t period = 3 + rng.below(500);
        what = "ramp";
        return [=](uint32_t c) {
            return static_cast<float>(c % period) / static_cast<float>(period) - 0.5f;
        };
    }
    }
}

// Finite values at the edges of the float range: what an input that the
// outputs need finite may still carry.
const float kHostileFinite[] = {FLT_MIN / 4.0f,
                                -FLT_MIN / 8.0f,
                                std::numeric_limits<float>::denorm_min(),
                                1e30f,
                                -1e30f,
                                FLT_MAX,
                                -FLT_MAX,
                                65536.0f,
                                -65536.0f,
                                0.0f,
                                -0.0f};

SourceFn hostile_finite_source(Rng &rng)
{
    uint64_t key = rng.next();
    return [=](uint32_t c) {
        uint64_t h = mix(key ^ c);
        if (h % 2 == 0)
            return static_cast<float>(std::sin(0.05 * c));
        return kHostileFinite[(h >> 8) % (sizeof kHostileFinite / sizeof kHostileFinite[0])];
    };
}

SourceFn hostile_source(Rng &rng)
{
    uint64_t key = rng.next();
    SourceFn base = [](uint32_t c) { return static_cast<float>(std::sin(0.05 * c)); };
    return [=](uint32_t c) {
        uint64_t h = mix(key ^ c);
        if (h % 2 == 0)
            return base(c);
        return kHostile[(h >> 8) % (sizeof kHostile / sizeof kHostile[0])];
    };
}

// The values a choice pin's list offers (a few for open-ended lists).
void choice_span(const sehost::PinDecl &d, int32_t &lo, int32_t &hi, std::vector<int32_t> &values)
{
    lo = 0;
    hi = 3;
    values.clear();
    if (!d.list_text)
        return;
    sehost::EnumList list = sehost::EnumList::parse(*d.list_text);
    switch (list.kind()) {
    case sehost::EnumList::Kind::Entries:
        for (const auto &e : list.entries())
            values.push_back(e.value);
        lo = *std::min_element(values.begin(), values.end());
        hi = *std::max_element(values.begin(), values.end());
        break;
    case sehost::EnumList::Kind::Range:
        lo = static_cast<int32_t>(list.range_min());
        hi = static_cast<int32_t>(list.range_max());
        break;
    default:
        break;
    }
}

double valid_value(const sehost::PinDecl &d, Rng &rng)
{
    switch (d.datatype) {
    case DT_CHOICE: {
        int32_t lo, hi;
        std::vector<int32_t> values;
        choice_span(d, lo, hi, values);
        if (!values.empty())
            return values[rng.below(static_cast<uint32_t>(values.size()))];
        return rng.range(lo, hi);
    }
    case DT_BOOLEAN:
        return rng.below(2);
    case DT_FLOAT32:
        return rng.unit();
    case DT_WORD32:
        return rng.range(0, 16);
    default:
        return 0.0;
    }
}

double hostile_value(const sehost::PinDecl &d, Rng &rng)
{
    if (d.datatype != DT_CHOICE)
        return valid_value(d, rng);
    int32_t lo, hi;
    std::vector<int32_t> values;
    choice_span(d, lo, hi, values);
    const int32_t pick[] = {-32768, -1, lo - 1, hi + 1, 32767, -32767, hi + 2};
    int32_t v = pick[rng.below(7)];
    return std::max(-32768, std::min(32767, v));
}

} // namespace

const char *split_name(Split s)
{
    switch (s) {
    case Split::Plain:
        return "whole blocks";
    case Split::Single:
        return "1-sample stretches";
    case Split::Primes:
        return "prime stretches";
    case Split::Random:
        return "random stretches";
    }
    return "?";
}

// The top strictness level runs longer.
ScenarioPlan plan_for(Context &ctx)
{
    static const int32_t sizes[] = {64, 96, 256, 1024};
    ScenarioPlan p;
    p.block_size = sizes[ctx.rng.below(4)];
    p.blocks = (p.block_size >= 1024 ? 4 : 8) * length_factor_at(ctx.level);
    return p;
}

Scenario make_scenario(const Context &ctx, const ScenarioPlan &plan, const Traits &traits, Rng &rng)
{
    Scenario s;
    s.config.block_size = plan.block_size;
    s.config.sample_rate = plan.sample_rate;
    const auto lib = ctx.library();
    {
        auto decls = sehost::learn_pins(lib);
        bool repeat =
            !decls.empty() && decls.back().has_dsp_pin() && (decls.back().flags & IO_REPEAT_LAST);
        s.config.repeat_copies = repeat ? plan.repeat_copies : 0;
    }
    sehost::DspInstance probe(lib, s.config);
    const auto &pins = probe.dsp_pins();
    const auto &decls = probe.pins();
    s.initial.resize(pins.size());
    s.sources.resize(pins.size());
    const uint32_t bs = static_cast<uint32_t>(plan.block_size);
    s.length = bs * plan.blocks + rng.below(bs);
    s.strict_writes = plan.values == ValueKind::Valid;

    std::vector<int> settable; // non-audio DSP inputs
    int midi_in = -1;
    for (const sehost::DspPin &p : pins) {
        if (p.decl < 0 || (p.direction != DR_IN && p.direction != DR_SETTING))
            continue;
        const sehost::PinDecl &d = decls[static_cast<size_t>(p.decl)];
        if (p.datatype == DT_FSAMPLE) {
            std::string what;
            const InputRule *rule = traits.rule_for(d.name);
            const bool keep_finite = traits.needs_finite(d.name);
            if (plan.audio == AudioKind::Hostile ||
                (plan.audio == AudioKind::HostileExceptFinite && !keep_finite)) {
                s.sources[static_cast<size_t>(p.index)] = hostile_source(rng);
                what = "hostile";
            } else if (plan.audio == AudioKind::HostileExceptFinite) {
                s.sources[static_cast<size_t>(p.index)] = hostile_finite_source(rng);
                what = "extreme but finite";
            } else if (plan.audio == AudioKind::SplitSafe && rule && rule->drive != Drive::Any) {
                float v = static_cast<float>(rng.unit() * 0.5);
                switch (rule->drive) {
                case Drive::Zero:
                    s.sources[static_cast<size_t>(p.index)] = [](uint32_t) { return 0.0f; };
                    what = "zero";
                    break;
                case Drive::Constant:
                    s.sources[static_cast<size_t>(p.index)] = [v](uint32_t) { return v; };
                    what = "constant";
                    break;
                case Drive::Moving:
                    // the golden-ratio sequence never repeats a sample
                    s.sources[static_cast<size_t>(p.index)] = [](uint32_t c) {
                        double f = c * 0.6180339887498949;
                        return static_cast<float>(0.25 + 0.5 * (f - std::floor(f)));
                    };
                    what = "moving";
                    break;
                default: {
                    uint32_t period = 20 + rng.below(300);
                    s.sources[static_cast<size_t>(p.index)] = [bs, period](uint32_t c) {
                        return c < bs ? 0.0f : ((c % period) < period / 2 ? 1.0f : 0.0f);
                    };
                    what = "low in block 0, then a gate";
                    break;
                }
                }
            } else {
                s.sources[static_cast<size_t>(p.index)] = normal_source(rng, what);
            }
            s.summary += d.name + "=" + what + "; ";
        } else if (p.datatype == DT_MIDI) {
            if (midi_in < 0)
                midi_in = p.index;
        } else {
            settable.push_back(p.index);
            s.initial[static_cast<size_t>(p.index)] = plan.values == ValueKind::HostileChoices
                                                          ? hostile_value(d, rng)
                                                          : valid_value(d, rng);
        }
    }

    // Value changes at random clocks; hostile runs change every few samples
    // for a while.
    if (!settable.empty()) {
        uint32_t n = 8 + rng.below(24);
        for (uint32_t k = 0; k < n; ++k) {
            int pin = settable[rng.below(static_cast<uint32_t>(settable.size()))];
            const sehost::PinDecl &d =
                decls[static_cast<size_t>(pins[static_cast<size_t>(pin)].decl)];
            double v = plan.values == ValueKind::HostileChoices ? hostile_value(d, rng)
                                                                : valid_value(d, rng);
            s.changes.push_back(Change{rng.below(s.length), pin, v});
        }
        if (plan.values == ValueKind::HostileChoices) {
            uint32_t c = rng.below(s.length / 2 + 1);
            for (uint32_t k = 0; k < 200 && c < s.length; ++k, c += 1 + rng.below(8)) {
                int pin = settable[rng.below(static_cast<uint32_t>(settable.size()))];
                const sehost::PinDecl &d =
                    decls[static_cast<size_t>(pins[static_cast<size_t>(pin)].decl)];
                s.changes.push_back(Change{c, pin, hostile_value(d, rng)});
            }
        }
        std::stable_sort(s.changes.begin(), s.changes.end(),
                         [](const Change &a, const Change &b) { return a.clock < b.clock; });
    }
    if (midi_in >= 0) {
        uint32_t n = 20 + rng.below(60);
        for (uint32_t k = 0; k < n; ++k) {
            uint32_t ch = rng.below(16), d1 = rng.below(128), d2 = rng.below(128);
            uint32_t status;
            switch (rng.below(8)) {
            case 0:
                status = 0x80 | ch;
                break;
            case 1:
            case 2:
                status = 0x90 | ch;
                break;
            case 3:
                status = 0xB0 | ch;
                break;
            case 4:
                status = 0xC0 | ch;
                d2 = 0;
                break;
            case 5:
                status = 0xE0 | ch;
                break;
            case 6:
                status = 0xF8 + rng.below(5);
                d1 = d2 = 0;
                break;
            default:
                status = 0xF0;
                d1 = d2 = 0;
                break;
            }
            s.midi.emplace_back(rng.below(s.length),
                                static_cast<int32_t>(status | d1 << 8 | d2 << 16));
        }
        std::stable_sort(s.midi.begin(), s.midi.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
    }
    // Patch changes are cheap on the DSP side, but a GUI side may spend a
    // while on each (a busy delay): two at most, in different blocks, never
    // in the first block (open may fire there), at a block's first sample or
    // in the last block, so that a block boundary lies between any two
    // firings and after the last one.
    const uint32_t blocks = s.length / bs;
    for (uint32_t k = blocks >= 3 ? rng.below(3) : 0; k > 0; --k) {
        uint32_t at = (1 + rng.below(blocks - 2)) * bs + 1 + rng.below(bs - 1 ? bs - 1 : 1);
        if (bs > 1 && std::find_if(s.patch_changes.begin(), s.patch_changes.end(), [&](uint32_t c) {
                          return c / bs == at / bs;
                      }) == s.patch_changes.end())
            s.patch_changes.push_back(at);
    }
    std::sort(s.patch_changes.begin(), s.patch_changes.end());
    s.summary += "block " + std::to_string(bs) + ", " + std::to_string(s.length) + " samples, " +
                 std::to_string(s.changes.size()) + " value changes, " +
                 std::to_string(s.midi.size()) + " MIDI, " +
                 std::to_string(s.patch_changes.size()) + " patch changes";
    return s;
}

RunResult run_scenario(const Context &ctx, const Scenario &s, Split split, uint64_t split_seed,
                       const Traits &traits, Report &rep)
{
    sehost::Module mod(ctx.library(), s.config);
    sehost::DspInstance &dsp = mod.dsp();
    const auto pins = dsp.dsp_pins();
    const auto &decls = dsp.pins();
    const uint32_t bs = static_cast<uint32_t>(s.config.block_size);
    RunResult r;
    std::vector<int> inputs;
    for (const sehost::DspPin &p : pins) {
        bool in = p.direction == DR_IN || p.direction == DR_SETTING;
        if (p.datatype == DT_FSAMPLE && !in)
            r.outputs.push_back(p.index);
        if (p.datatype == DT_FSAMPLE && in)
            inputs.push_back(p.index);
        if (p.datatype != DT_MIDI && in && !s.sources[static_cast<size_t>(p.index)] &&
            s.initial[static_cast<size_t>(p.index)])
            dsp.set_value(p.index, *s.initial[static_cast<size_t>(p.index)]);
        if (s.sources[static_cast<size_t>(p.index)])
            dsp.set_source(p.index, s.sources[static_cast<size_t>(p.index)]);
    }
    r.samples.resize(r.outputs.size());
    std::vector<bool> whole; // per entry of outputs: every sample of a stretch is written
    for (int i : r.outputs) {
        const sehost::DspPin &p = pins[static_cast<size_t>(i)];
        whole.push_back(p.decl < 0 ||
                        traits.writes_whole_stretch(decls[static_cast<size_t>(p.decl)].name));
    }
    mod.open();
    for (const Change &c : s.changes)
        dsp.set_value(c.pin, c.value, c.clock);
    for (const auto &m : s.midi)
        dsp.queue_midi(m.first, m.second);
    for (uint32_t c : s.patch_changes)
        dsp.queue_patch_change(c);
    std::set<uint32_t> cuts;
    for (const Change &c : s.changes)
        cuts.insert(c.clock);
    for (const auto &m : s.midi)
        cuts.insert(m.first);
    for (uint32_t c : s.patch_changes)
        cuts.insert(c);

    // The host's input buffers, read where the host tells the module (asking
    // the host for them would hand the buffer over to the caller).
    auto input_buffer = [&](int i) -> const float * {
        const sehost::DspPin &p = pins[static_cast<size_t>(i)];
        if (!p.variable_address)
            return nullptr;
        const float *b;
        std::memcpy(&b, reinterpret_cast<const void *>(p.variable_address), sizeof b);
        return b;
    };
    // An input whose held value changes is written by the host itself.
    auto held_changes = [&](int i) {
        return std::any_of(s.changes.begin(), s.changes.end(),
                           [i](const Change &c) { return c.pin == i; });
    };
    inputs.erase(std::remove_if(inputs.begin(), inputs.end(),
                                [&](int i) { return !input_buffer(i) || held_changes(i); }),
                 inputs.end());
    // Inputs without a source keep what open wrote into them.
    std::vector<std::vector<uint32_t>> expected(pins.size());
    for (int i : inputs) {
        const float *buf = input_buffer(i);
        for (uint32_t k = 0; k < bs; ++k)
            expected[static_cast<size_t>(i)].push_back(bits(buf[k]));
    }
    uint32_t expected_block = UINT32_MAX;

    // The host's own planner cuts the stretches, with lengths drawn here.
    static const int32_t primes[] = {2,  3,  5,  7,  11, 13, 17, 19, 23, 29,
                                     31, 37, 41, 43, 47, 53, 59, 61, 67, 71};
    Rng srng(split_seed);
    sehost::StretchPlanner planner;
    switch (split) {
    case Split::Plain:
        break;
    case Split::Single:
        planner.lengths({1});
        break;
    case Split::Primes:
        planner.drawn([pos = size_t{0}]() mutable { return primes[pos++ % 20]; });
        break;
    case Split::Random:
        planner.drawn([&srng, bs] {
            // whole blocks, a few samples, up to 64, anything up to a block
            uint32_t k = srng.below(4);
            return static_cast<int32_t>(k == 0   ? bs
                                        : k == 1 ? 1 + srng.below(4)
                                                 : 1 + srng.below(k == 2 ? 64 : bs));
        });
        break;
    }
    uint32_t planned_block = UINT32_MAX;
    const std::string where = std::string(" (") + split_name(split) + ")";
    std::vector<std::vector<uint32_t>> snap(r.outputs.size(), std::vector<uint32_t>(bs));
    int outside_reports = 0, unwritten_reports = 0, input_reports = 0;

    uint32_t clock = 0;
    while (clock < s.length) {
        const uint32_t start = clock - clock % bs;
        const uint32_t o = clock - start;
        uint32_t stop = std::min(start + bs, s.length);
        auto next = cuts.upper_bound(clock);
        if (next != cuts.end() && *next < stop)
            stop = *next;
        if (planned_block != start) {
            planned_block = start;
            planner.start_block();
        }
        const uint32_t n = planner.stop(clock, stop) - clock;

        for (size_t j = 0; j < r.outputs.size(); ++j) {
            float *buf = dsp.output(r.outputs[j]);
            for (uint32_t k = 0; k < bs; ++k)
                snap[j][k] = bits(buf[k]);
            std::fill(buf + o, buf + o + n, from_bits(kSentinel));
        }
        const uint64_t calls = dsp.process_calls();
        dsp.run(n);
        mod.deliver_gui_messages();
        const bool processed = dsp.process_calls() > calls;
        if (processed)
            r.processed.push_back(clock);

        for (size_t j = 0; j < r.outputs.size(); ++j) {
            float *buf = dsp.output(r.outputs[j]);
            const sehost::DspPin &p = pins[static_cast<size_t>(r.outputs[j])];
            std::string label =
                "output pin " + std::to_string(p.index) +
                (p.decl >= 0 ? " \"" + decls[static_cast<size_t>(p.decl)].name + "\"" : "");
            for (uint32_t k = 0; k < bs; ++k) {
                if (k >= o && k < o + n)
                    continue;
                if (bits(buf[k]) != snap[j][k] && outside_reports++ < 5)
                    rep.fail(label + ": sample " + std::to_string(k) +
                             " of the block changed by the call for [" + std::to_string(o) + ", " +
                             std::to_string(o + n) + ") at clock " + std::to_string(clock) + where);
            }
            uint32_t unwritten = 0;
            for (uint32_t k = o; k < o + n; ++k)
                if (bits(buf[k]) == kSentinel) {
                    ++unwritten;
                    buf[k] = from_bits(snap[j][k]);
                }
            if (processed && unwritten && whole[j] && s.strict_writes && unwritten_reports++ < 5)
                rep.fail(label + ": " + std::to_string(unwritten) + " of " + std::to_string(n) +
                         " samples of the stretch at clock " + std::to_string(clock) +
                         " left unwritten" + where);
            r.samples[j].insert(r.samples[j].end(), buf + o, buf + o + n);
        }
        if (expected_block != start) {
            expected_block = start;
            for (int i : inputs)
                if (s.sources[static_cast<size_t>(i)])
                    for (uint32_t k = 0; k < bs; ++k)
                        expected[static_cast<size_t>(i)][k] =
                            bits(s.sources[static_cast<size_t>(i)](start + k));
        }
        if (processed) {
            for (int i : inputs) {
                const float *buf = input_buffer(i);
                for (uint32_t k = 0; k < bs; ++k)
                    if (bits(buf[k]) != expected[static_cast<size_t>(i)][k]) {
                        if (input_reports++ < 5)
                            rep.fail("input pin " + std::to_string(i) + ": sample " +
                                     std::to_string(k) + " changed by the call at clock " +
                                     std::to_string(clock) + where);
                        break;
                    }
            }
        }
        planner.done(n);
        clock += n;
    }
    r.statuses = dsp.statuses();
    r.midi = dsp.midi_out();
    r.gui_messages = dsp.gui_messages();
    r.process_calls = dsp.process_calls();
    mod.close();
    return r;
}

void check_midi_valid(const RunResult &r, Report &rep, const std::string &where)
{
    int shown = 0;
    for (const sehost::MidiOut &m : r.midi) {
        uint32_t v = static_cast<uint32_t>(m.message);
        bool ok = (v & 0x80u) != 0 && ((v >> 8) & 0x80u) == 0 && ((v >> 16) & 0x80u) == 0 &&
                  (v >> 24) == 0;
        if (!ok && shown++ < 5)
            rep.fail("MIDI pin " + std::to_string(m.pin) + " sent the invalid message " + hex32(v) +
                     " at clock " + std::to_string(m.stamp) + where);
        if (m.stamp < m.clock && shown++ < 5)
            rep.fail("MIDI pin " + std::to_string(m.pin) + " sent a message stamped " +
                     std::to_string(m.stamp) + " at clock " + std::to_string(m.clock) + where);
    }
    for (const sehost::StatusOut &st : r.statuses)
        if (st.stamp < st.clock && shown++ < 5)
            rep.fail("pin " + std::to_string(st.pin) + " status stamped " +
                     std::to_string(st.stamp) + " at clock " + std::to_string(st.clock) + where);
}

void check_outputs_finite(const RunResult &r, Report &rep, const std::string &where)
{
    for (size_t j = 0; j < r.outputs.size(); ++j)
        for (size_t k = 0; k < r.samples[j].size(); ++k)
            if (!std::isfinite(r.samples[j][k])) {
                rep.fail("output pin " + std::to_string(r.outputs[j]) + " holds " +
                         hex32(bits(r.samples[j][k])) + " at clock " + std::to_string(k) + where);
                break;
            }
}

namespace {

// An output as its sequence of levels: each run of equal samples once.
std::vector<uint32_t> levels(const std::vector<float> &v)
{
    std::vector<uint32_t> out;
    for (float x : v)
        if (out.empty() || out.back() != bits(x))
            out.push_back(bits(x));
    return out;
}

} // namespace

bool compare_runs(const RunResult &a, const RunResult &b, Report &rep, const std::string &what,
                  bool statuses, bool levels_only)
{
    bool same = true;
    for (size_t j = 0; levels_only && j < a.outputs.size() && j < b.outputs.size(); ++j) {
        const auto x = levels(a.samples[j]), y = levels(b.samples[j]);
        if (x != y) {
            size_t k = 0;
            while (k < x.size() && k < y.size() && x[k] == y[k])
                ++k;
            rep.fail(what + ": output pin " + std::to_string(a.outputs[j]) + " goes through " +
                     std::to_string(x.size()) + " vs " + std::to_string(y.size()) +
                     " levels, first different at level " + std::to_string(k));
            same = false;
        }
    }
    if (levels_only && statuses && a.statuses.size() != b.statuses.size()) {
        rep.fail(what + ": " + std::to_string(a.statuses.size()) + " vs " +
                 std::to_string(b.statuses.size()) + " pin status announcements");
        same = false;
    }
    if (levels_only)
        statuses = false;
    for (size_t j = 0; !levels_only && j < a.outputs.size() && j < b.outputs.size(); ++j) {
        const auto &x = a.samples[j], &y = b.samples[j];
        size_t n = std::min(x.size(), y.size());
        for (size_t k = 0; k < n; ++k)
            if (bits(x[k]) != bits(y[k])) {
                rep.fail(what + ": output pin " + std::to_string(a.outputs[j]) +
                         " differs first at clock " + std::to_string(k) + " (" + hex32(bits(x[k])) +
                         " vs " + hex32(bits(y[k])) + ")");
                same = false;
                break;
            }
    }
    auto first_diff = [](size_t n1, size_t n2, auto eq) {
        size_t n = std::min(n1, n2);
        for (size_t k = 0; k < n; ++k)
            if (!eq(k))
                return k;
        return n1 == n2 ? static_cast<size_t>(-1) : n;
    };
    size_t k = first_diff(a.midi.size(), b.midi.size(), [&](size_t i) {
        return a.midi[i].pin == b.midi[i].pin && a.midi[i].stamp == b.midi[i].stamp &&
               a.midi[i].message == b.midi[i].message;
    });
    if (k != static_cast<size_t>(-1)) {
        std::string d = what + ": MIDI differs at message " + std::to_string(k) + " of " +
                        std::to_string(a.midi.size()) + "/" + std::to_string(b.midi.size());
        if (k < a.midi.size() && k < b.midi.size())
            d += " (" + hex32(static_cast<uint32_t>(a.midi[k].message)) + "@" +
                 std::to_string(a.midi[k].stamp) + " vs " +
                 hex32(static_cast<uint32_t>(b.midi[k].message)) + "@" +
                 std::to_string(b.midi[k].stamp) + ")";
        rep.fail(d);
        same = false;
    }
    if (statuses) {
        k = first_diff(a.statuses.size(), b.statuses.size(), [&](size_t i) {
            const auto &p = a.statuses[i], &q = b.statuses[i];
            bool vs = p.value.has_value() == q.value.has_value() &&
                      (!p.value || *p.value == *q.value ||
                       (std::isnan(*p.value) && std::isnan(*q.value)));
            return p.pin == q.pin && p.status == q.status && p.stamp == q.stamp && vs;
        });
        if (k != static_cast<size_t>(-1)) {
            std::string d = what + ": pin statuses differ at announcement " + std::to_string(k) +
                            " of " + std::to_string(a.statuses.size()) + "/" +
                            std::to_string(b.statuses.size());
            if (k < a.statuses.size() && k < b.statuses.size())
                d += " (pin " + std::to_string(a.statuses[k].pin) + " status " +
                     std::to_string(a.statuses[k].status) + "@" +
                     std::to_string(a.statuses[k].stamp) + " vs pin " +
                     std::to_string(b.statuses[k].pin) + " status " +
                     std::to_string(b.statuses[k].status) + "@" +
                     std::to_string(b.statuses[k].stamp) + ")";
            rep.fail(d);
            same = false;
        }
    }
    if (a.gui_messages != b.gui_messages) {
        rep.fail(what + ": messages to the GUI side differ");
        same = false;
    }
    return same;
}

} // namespace sevalidate
