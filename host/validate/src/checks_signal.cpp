// checks_signal.cpp - checks that drive the DSP side through scenarios:
// buffers, timing, hostile values, determinism and split invariance.
#include <string>

#include "scenario.h"

namespace sevalidate {
namespace {

const char *drive_word(Drive d)
{
    switch (d) {
    case Drive::Any:
        return "any";
    case Drive::Constant:
        return "constant";
    case Drive::Zero:
        return "zero";
    case Drive::Moving:
        return "moving";
    case Drive::LowAtStart:
        return "low_at_start";
    }
    return "?";
}

// The traits file's own words, or that it gives none.
std::string reason_of(const Traits &t, const std::string &reason)
{
    return t.origin() + (reason.empty() ? " (no reason given)" : ": " + reason);
}

void note_scenario(Report &rep, const Scenario &s)
{
    rep.note("scenario: " + s.summary);
}

// Output buffers pre-filled with a sentinel inside each stretch, compared
// outside it, guard zones around each block (the host), inputs unchanged.
void buffers_stretch(Context &ctx, Report &rep)
{
    const Traits &t = ctx.traits();
    Scenario s = make_scenario(ctx, plan_for(ctx), t, ctx.rng);
    note_scenario(rep, s);
    RunResult r = run_scenario(ctx, s, Split::Random, ctx.rng.next(), t, rep);
    check_outputs_finite(r, rep, " with finite inputs");
    if (!t.partial_outputs.empty()) {
        std::string names;
        for (const std::string &n : t.partial_outputs)
            names += (names.empty() ? "\"" : ", \"") + n + "\"";
        rep.narrowed("outputs " + names +
                     " may keep earlier samples, not held to whole stretches, by " +
                     reason_of(t, ""));
    }
}

// Every split the host may use: one sample, primes, whole blocks, random.
void timing_splits(Context &ctx, Report &rep)
{
    const Traits &t = ctx.traits();
    ScenarioPlan plan = plan_for(ctx);
    plan.block_size = 128; // 1-sample stretches stay quick
    plan.blocks = 6;
    Scenario s = make_scenario(ctx, plan, t, ctx.rng);
    note_scenario(rep, s);
    for (Split sp : {Split::Single, Split::Primes, Split::Plain, Split::Random}) {
        RunResult r = run_scenario(ctx, s, sp, ctx.rng.next(), t, rep);
        check_midi_valid(r, rep, std::string(" (") + split_name(sp) + ")");
    }
}

// Choice inputs outside their lists, changing every few samples.
void hostile_choices(Context &ctx, Report &rep)
{
    const Traits &t = ctx.traits();
    ScenarioPlan plan = plan_for(ctx);
    plan.values = ValueKind::HostileChoices;
    Scenario s = make_scenario(ctx, plan, t, ctx.rng);
    note_scenario(rep, s);
    RunResult r = run_scenario(ctx, s, Split::Random, ctx.rng.next(), t, rep);
    check_midi_valid(r, rep, " with choices outside their lists");
    check_outputs_finite(r, rep, " with choices outside their lists");
}

// Not-a-number, infinities, subnormals and huge values on audio inputs.
void hostile_audio(Context &ctx, Report &rep)
{
    const Traits &t = ctx.traits();
    ScenarioPlan plan = plan_for(ctx);
    plan.audio = AudioKind::Hostile;
    Scenario s = make_scenario(ctx, plan, t, ctx.rng);
    note_scenario(rep, s);
    RunResult r = run_scenario(ctx, s, Split::Random, ctx.rng.next(), t, rep);
    check_midi_valid(r, rep, " with hostile audio");

    // Then the inputs the outputs need finite (all of them unless the
    // traits file names some) get extreme but finite values, the others
    // hostile ones, and every output must stay finite.
    rep.note("finite inputs from " + t.origin());
    plan.audio = AudioKind::HostileExceptFinite;
    Scenario f = make_scenario(ctx, plan, t, ctx.rng);
    note_scenario(rep, f);
    RunResult q = run_scenario(ctx, f, Split::Random, ctx.rng.next(), t, rep);
    check_midi_valid(q, rep, " with hostile audio");
    check_outputs_finite(q, rep, " with hostile audio on inputs the outputs do not need finite");
}

void determinism(Context &ctx, Report &rep)
{
    const Traits &t = ctx.traits();
    Scenario s = make_scenario(ctx, plan_for(ctx), t, ctx.rng);
    note_scenario(rep, s);
    uint64_t split_seed = ctx.rng.next();
    RunResult a = run_scenario(ctx, s, Split::Random, split_seed, t, rep);
    RunResult b = run_scenario(ctx, s, Split::Random, split_seed, t, rep);
    compare_runs(a, b, rep, "the same scenario twice", true);
}

void split_invariance(Context &ctx, Report &rep)
{
    const Traits &t = ctx.traits();
    if (t.split != SplitKind::Invariant)
        rep.narrowed(std::string(t.split == SplitKind::Levels ? "outputs compared as their levels"
                                                              : "nothing compared across splits") +
                     ", by " + reason_of(t, t.split_reason));
    std::string driven;
    for (const InputRule &r : t.split_inputs)
        if (r.drive != Drive::Any)
            driven += (driven.empty() ? "\"" : ", \"") + r.pin + "\" " + drive_word(r.drive);
    if (!driven.empty())
        rep.narrowed("inputs driven only as declared (" + driven + "), by " +
                     reason_of(t, t.split_reason));
    if (t.split == SplitKind::Dependent) {
        rep.warn("declared split-dependent by " + t.origin() +
                 (t.split_reason.empty() ? "" : ": " + t.split_reason) +
                 "; runs under different splits cannot be compared");
        return;
    }
    ScenarioPlan plan = plan_for(ctx);
    plan.audio = AudioKind::SplitSafe;
    Scenario s = make_scenario(ctx, plan, t, ctx.rng);
    note_scenario(rep, s);
    RunResult base = run_scenario(ctx, s, Split::Plain, 0, t, rep);
    for (Split sp : {Split::Random, Split::Primes, Split::Random}) {
        RunResult other = run_scenario(ctx, s, sp, ctx.rng.next(), t, rep);
        if (!compare_runs(base, other, rep, std::string("whole blocks vs ") + split_name(sp), true,
                          t.split == SplitKind::Levels)) {
            rep.note(
                std::string("held to ") +
                (t.split == SplitKind::Levels ? "split-independent levels"
                                              : "split-independent output") +
                " by " + t.origin() +
                "; a module whose contract allows otherwise declares \"split\" in its traits file");
            break;
        }
    }
}

} // namespace

void add_signal_checks(std::vector<CheckInfo> &out)
{
    out.push_back({"buffers.stretch", buffers_stretch, nullptr, 2});
    out.push_back({"timing.splits", timing_splits, nullptr, 3});
    out.push_back({"hostile.choices", hostile_choices, nullptr, 3});
    out.push_back({"hostile.audio", hostile_audio, nullptr, 3});
    out.push_back({"determinism.repeat", determinism, nullptr, 3});
    out.push_back({"determinism.splits", split_invariance, nullptr, 3});
}

} // namespace sevalidate
