// checks_sleep.cpp - what sleeping and announced statuses do.  Sleep only
// ever saves work: a module's outputs come out the same whether the host
// honours HOST_SLEEP or calls process for every stretch.  An output
// announced as holding still holds still.  A module called for nothing,
// block after block, while everything holds still is told so.
//
// No traits file narrows these checks: the contract leaves a module no room
// to lose or change anything by sleeping.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "scenario.h"

namespace sevalidate {
namespace {

bool same_bits(float a, float b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// What an audio input that streams gets: each of these holds still in
// spells, which a module may take for an input that no longer moves.
enum class Signal { Square, Steps, SlowRamp, SilentFirst };
const Signal kSignals[] = {Signal::Square, Signal::Steps, Signal::SlowRamp, Signal::SilentFirst};

// A level an input may hold: mostly 0 to 10 V, sometimes at or below 0.
float level(Rng &rng)
{
    const uint32_t k = rng.below(8);
    return k == 0   ? 0.0f
           : k == 1 ? -0.25f * static_cast<float>(rng.unit())
                    : static_cast<float>(rng.unit());
}

SourceFn signal_source(Signal s, Rng &rng, uint32_t block, std::string &what)
{
    switch (s) {
    case Signal::Square: {
        const uint32_t period = 16 + rng.below(600);
        const float hi = 0.05f + 0.9f * static_cast<float>(rng.unit());
        const float lo = rng.below(2) ? 0.0f : -0.5f * hi;
        what = "a square of " + std::to_string(period) + " samples";
        return [=](uint32_t c) { return c % period < period / 2 ? hi : lo; };
    }
    case Signal::Steps: {
        const uint32_t length = 20 + rng.below(1500);
        float levels[16];
        for (float &v : levels)
            v = level(rng);
        what = "steps of " + std::to_string(length) + " samples";
        return [=](uint32_t c) { return levels[(c / length) % 16]; };
    }
    case Signal::SlowRamp: {
        // A slow signal at a high rate: every sample repeated a few times.
        static const uint32_t repeats[] = {2, 5, 11, 12, 17, 40};
        const uint32_t r = repeats[rng.below(6)];
        what = "a slow ramp repeating each sample " + std::to_string(r) + " times";
        return [=](uint32_t c) { return 0.1f + static_cast<float>((c / r) % 2000) * 4e-4f; };
    }
    case Signal::SilentFirst: {
        const uint32_t from = block * (1 + rng.below(3));
        const double w = 0.002 + 0.05 * rng.unit();
        what = "silent for " + std::to_string(from) + " samples, then a sine";
        return [=](uint32_t c) {
            return c < from ? 0.0f : static_cast<float>(0.5 + 0.45 * std::sin(w * (c - from)));
        };
    }
    }
    return nullptr;
}

// A scenario from the plan (settings and their changes at random clocks,
// MIDI, patch changes) whose audio input number `streaming` (counted among
// the audio inputs; -1 for none) streams `signal`, while every other audio
// input holds values that change with STATUS_CHANGED.  `what` describes it;
// `audio` is the number of audio inputs.
Scenario sleep_scenario(Context &ctx, const ScenarioPlan &plan, int streaming, Signal signal,
                        std::string &what, int &audio)
{
    Scenario s = make_scenario(ctx, plan, Traits{}, ctx.rng);
    const auto decls = sehost::learn_pins(ctx.library());
    auto name = [&](size_t pin) {
        for (const sehost::PinDecl &d : decls)
            if (d.dsp_index == static_cast<int>(pin))
                return "\"" + d.name + "\"";
        return "pin " + std::to_string(pin);
    };
    const uint32_t bs = static_cast<uint32_t>(plan.block_size);
    what.clear();
    int k = 0;
    for (size_t pin = 0; pin < s.sources.size(); ++pin) {
        if (!s.sources[pin]) // only the audio inputs have one
            continue;
        std::string how;
        if (k++ == streaming) {
            s.sources[pin] = signal_source(signal, ctx.rng, bs, how);
        } else {
            s.sources[pin] = nullptr;
            s.initial[pin] = level(ctx.rng);
            const uint32_t n = 1 + ctx.rng.below(5);
            for (uint32_t j = 0; j < n; ++j)
                s.changes.push_back(
                    Change{ctx.rng.below(s.length), static_cast<int>(pin), level(ctx.rng)});
            how = "held, " + std::to_string(n) + " changes";
        }
        what += (what.empty() ? "" : ", ") + name(pin) + " " + how;
    }
    audio = k;
    std::stable_sort(s.changes.begin(), s.changes.end(),
                     [](const Change &a, const Change &b) { return a.clock < b.clock; });
    if (what.empty())
        what = "no audio input";
    // The summary's audio inputs are the base scenario's: replaced here.
    const size_t tail = s.summary.find("block ");
    s.summary = what + "; " + (tail == std::string::npos ? s.summary : s.summary.substr(tail));
    return s;
}

// The scenarios of the two checks below: every audio input held, then each
// audio input streaming each signal in turn.  `each` answers whether to go on.
template <typename Each> void for_each_case(Context &ctx, Each each)
{
    std::string what;
    int audio = 0;
    Scenario held = sleep_scenario(ctx, plan_for(ctx), -1, Signal::Square, what, audio);
    if (!each(held, what))
        return;
    for (int k = 0; k < audio; ++k)
        for (Signal sig : kSignals) {
            Scenario s = sleep_scenario(ctx, plan_for(ctx), k, sig, what, audio);
            if (!each(s, what))
                return;
        }
}

// Announcements of an audio output that change nothing a reader can see:
// one that another announcement of the pin at the same stamp overrides, and
// one that only repeats that the output holds still at the sample it holds.
// A module called after it asked to sleep may repeat its "holds still" at
// every call, which a host that honours the request never sees.
void drop_unseen_announcements(RunResult &r)
{
    auto audio = [&](int pin) {
        return static_cast<size_t>(std::find(r.outputs.begin(), r.outputs.end(), pin) -
                                   r.outputs.begin());
    };
    std::vector<sehost::StatusOut> kept;
    for (size_t i = 0; i < r.statuses.size(); ++i) {
        const sehost::StatusOut &st = r.statuses[i];
        const bool overridden =
            audio(st.pin) < r.outputs.size() &&
            std::any_of(
                r.statuses.begin() + static_cast<std::ptrdiff_t>(i) + 1, r.statuses.end(),
                [&](const auto &later) { return later.pin == st.pin && later.stamp == st.stamp; });
        if (!overridden)
            kept.push_back(st);
    }
    std::vector<int> last(r.outputs.size(), -1); // per output: its last announcement kept
    std::vector<sehost::StatusOut> seen;
    for (const sehost::StatusOut &st : kept) {
        const size_t j = audio(st.pin);
        if (j < r.outputs.size() && !r.samples[j].empty()) {
            const std::vector<float> &v = r.samples[j];
            auto at = [&](uint32_t t) { return v[std::min<size_t>(t, v.size() - 1)]; };
            if (last[j] >= 0) {
                const sehost::StatusOut &before = seen[static_cast<size_t>(last[j])];
                if (before.status != STATUS_STREAMING && st.status != STATUS_STREAMING &&
                    same_bits(at(before.stamp), at(st.stamp)))
                    continue;
            }
            last[j] = static_cast<int>(seen.size());
        }
        seen.push_back(st);
    }
    r.statuses = std::move(seen);
}

void sleep_invariance(Context &ctx, Report &rep)
{
    const Traits &t = ctx.traits(); // whole stretches or not: the buffer checks' business
    int cases = 0;
    for_each_case(ctx, [&](Scenario &s, const std::string &what) {
        ++cases;
        const uint64_t split_seed = ctx.rng.next();
        Report buffers; // buffer faults are found by buffers.stretch
        RunResult slept = run_scenario(ctx, s, Split::Random, split_seed, t, buffers);
        s.config.honour_sleep = false;
        RunResult called = run_scenario(ctx, s, Split::Random, split_seed, t, buffers);
        drop_unseen_announcements(slept);
        drop_unseen_announcements(called);
        if (compare_runs(called, slept, rep,
                         "a host calling every stretch vs one honouring HOST_SLEEP, with " + what,
                         true))
            return true;
        rep.note("scenario: " + s.summary);
        rep.note("sleep only saves work: what a module sends may not depend on whether it is "
                 "called while asleep (an input it reads streams, an output it writes would "
                 "still change, or it moves on state at every call)");
        return false;
    });
    rep.note(std::to_string(cases) + " scenarios, each run by a host honouring HOST_SLEEP and "
                                     "by one calling every stretch");
}

// Every spell of an audio output after STATUS_CHANGED or STATUS_STILL at T,
// up to the output's next announcement, holds the sample at T.
bool check_announcements(const RunResult &r, const sehost::DspInstance &names, Report &rep,
                         const std::string &what)
{
    bool truthful = true;
    for (size_t j = 0; j < r.outputs.size(); ++j) {
        std::vector<sehost::StatusOut> told;
        for (const sehost::StatusOut &st : r.statuses)
            if (st.pin == r.outputs[j])
                told.push_back(st);
        std::stable_sort(told.begin(), told.end(),
                         [](const auto &a, const auto &b) { return a.stamp < b.stamp; });
        const std::vector<float> &v = r.samples[j];
        for (size_t k = 0; k < told.size(); ++k) {
            const sehost::StatusOut &st = told[k];
            if (st.status == STATUS_STREAMING || st.stamp >= v.size())
                continue;
            const size_t end =
                k + 1 < told.size() ? std::min<size_t>(told[k + 1].stamp, v.size()) : v.size();
            size_t moved = st.stamp + 1;
            while (moved < end && same_bits(v[moved], v[st.stamp]))
                ++moved;
            if (moved >= end) // held to the end, or told again at once
                continue;
            const sehost::DspPin &p = names.dsp_pins()[static_cast<size_t>(r.outputs[j])];
            const float a = v[st.stamp], b = v[moved];
            uint32_t ua, ub;
            std::memcpy(&ua, &a, sizeof ua);
            std::memcpy(&ub, &b, sizeof ub);
            const std::string name =
                p.decl >= 0 ? " \"" + names.pins()[static_cast<size_t>(p.decl)].name + "\"" : "";
            rep.fail("output pin " + std::to_string(p.index) + name + " announced " +
                     (st.status == STATUS_CHANGED ? "STATUS_CHANGED" : "STATUS_STILL") +
                     " at clock " + std::to_string(st.stamp) + ", but its sample moved at clock " +
                     std::to_string(moved) + " (" + hex32(ua) + " to " + hex32(ub) + "), with " +
                     what);
            truthful = false;
            break; // the first lie of each output
        }
    }
    return truthful;
}

void announced_statuses(Context &ctx, Report &rep)
{
    const Traits &t = ctx.traits();
    int cases = 0;
    for_each_case(ctx, [&](Scenario &s, const std::string &what) {
        ++cases;
        Report buffers; // buffer faults are found by buffers.stretch
        const RunResult r = run_scenario(ctx, s, Split::Random, ctx.rng.next(), t, buffers);
        const sehost::DspInstance names(ctx.library(), s.config);
        if (check_announcements(r, names, rep, what))
            return true;
        rep.note("scenario: " + s.summary);
        rep.note("an output that still changes is announced STATUS_STREAMING; STATUS_CHANGED "
                 "says it changed once and then holds still");
        return false;
    });
    rep.note(std::to_string(cases) + " scenarios");
}

// Every input held still and no event after open: once a module has settled,
// a call per block that changes nothing is a call for nothing.
void never_sleeps(Context &ctx, Report &rep)
{
    constexpr uint32_t kSettle = 4, kWatched = 10; // blocks
    ScenarioPlan plan = plan_for(ctx);
    plan.blocks = kSettle + kWatched;
    Scenario s = make_scenario(ctx, plan, Traits{}, ctx.rng);
    const uint32_t bs = static_cast<uint32_t>(plan.block_size);
    s.length = bs * plan.blocks;
    s.changes.clear();
    s.midi.clear();
    s.patch_changes.clear();
    for (size_t pin = 0; pin < s.sources.size(); ++pin)
        if (s.sources[pin]) {
            s.sources[pin] = nullptr;
            s.initial[pin] = level(ctx.rng);
        }
    const uint32_t from = bs * kSettle;
    s.summary += "; every input held still, no event after open, " + std::to_string(kWatched) +
                 " blocks watched after " + std::to_string(kSettle);
    Report buffers; // buffer faults are found by buffers.stretch
    const RunResult r = run_scenario(ctx, s, Split::Random, ctx.rng.next(), ctx.traits(), buffers);
    std::vector<bool> called(kWatched, false);
    for (uint32_t c : r.processed)
        if (c >= from)
            called[(c - from) / bs] = true;
    if (std::find(called.begin(), called.end(), false) != called.end()) {
        rep.note("slept while everything held still");
        return;
    }
    for (size_t j = 0; j < r.outputs.size(); ++j)
        for (uint32_t c = from + 1; c < s.length && c < r.samples[j].size(); ++c)
            if (!same_bits(r.samples[j][c], r.samples[j][from])) {
                rep.note("an output moves while the inputs hold still: not idle");
                return;
            }
    for (const sehost::MidiOut &m : r.midi)
        if (m.clock >= from) {
            rep.note("sends MIDI while the inputs hold still: not idle");
            return;
        }
    for (const sehost::StatusOut &st : r.statuses)
        if (st.clock >= from) {
            rep.note("announces statuses while the inputs hold still: not idle");
            return;
        }
    rep.warn("never asked HOST_SLEEP: called in each of " + std::to_string(kWatched) +
             " blocks while every input held still, no event came and no output changed (a "
             "call per block for nothing; a module whose outputs hold still may ask to sleep)");
    rep.note("scenario: " + s.summary);
}

} // namespace

void add_sleep_checks(std::vector<CheckInfo> &out)
{
    out.push_back({"sleep.invariance", sleep_invariance, nullptr, 2});
    out.push_back({"sleep.statuses", announced_statuses, nullptr, 2});
    out.push_back({"sleep.idle", never_sleeps, nullptr, 2});
}

} // namespace sevalidate
