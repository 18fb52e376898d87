// scenario.h - a reproducible run of one module: settings, audio sources,
// events and block splits, driven stretch by stretch with the output
// buffers watched (sentinel inside the stretch, untouched outside) and the
// input buffers checked unchanged.
#ifndef SEVALIDATE_SCENARIO_H
#define SEVALIDATE_SCENARIO_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "check.h"
#include "traits.h"

namespace sevalidate {

using SourceFn = std::function<float(uint32_t)>;

struct Change {
    uint32_t clock;
    int pin; // DSP index
    double value;
};

struct Scenario {
    sehost::HostConfig config;
    // Per DSP pin: the value of an input before open (an audio input without
    // a source holds it, STATUS_STILL, until a change).
    std::vector<std::optional<double>> initial;
    std::vector<SourceFn> sources; // per DSP pin, audio inputs (empty: default constant)
    std::vector<Change> changes;   // an audio input's: a held value, STATUS_CHANGED
    std::vector<std::pair<uint32_t, int32_t>> midi; // clock, packed message
    std::vector<uint32_t> patch_changes;
    uint32_t length = 0;
    std::string summary; // for the report
    // Samples left unwritten in a stretch count as faults (valid settings
    // only: outside its lists a module may keep the empty process function).
    bool strict_writes = true;
};

enum class ValueKind { Valid, HostileChoices };
enum class AudioKind { Normal, Hostile, HostileExceptFinite, SplitSafe };

struct ScenarioPlan {
    ValueKind values = ValueKind::Valid;
    AudioKind audio = AudioKind::Normal;
    int32_t block_size = 256;
    uint32_t blocks = 6;
    float sample_rate = 44100.0f;
    int repeat_copies = 2; // extra copies of an IO_REPEAT_LAST declaration
};

// A block size drawn, and as many blocks as the level asks for.
ScenarioPlan plan_for(Context &ctx);

// Builds a scenario for the module from the plan and the generator.
Scenario make_scenario(const Context &ctx, const ScenarioPlan &plan, const Traits &traits,
                       Rng &rng);

enum class Split { Plain, Single, Primes, Random };
const char *split_name(Split s);

struct RunResult {
    std::vector<int> outputs;                // DSP indices of audio outputs
    std::vector<std::vector<float>> samples; // per entry of outputs
    std::vector<sehost::StatusOut> statuses;
    std::vector<sehost::MidiOut> midi;
    std::vector<int32_t> gui_messages;
    uint64_t process_calls = 0;
    std::vector<uint32_t> processed; // clocks of the stretches process was called for
};

// Runs the scenario; buffer faults go to the report (with the split's
// name).  HostError from the host (a fault the host found in the module's
// requests) propagates.
RunResult run_scenario(const Context &ctx, const Scenario &s, Split split, uint64_t split_seed,
                       const Traits &traits, Report &rep);

// Findings about what a run sent.
void check_midi_valid(const RunResult &r, Report &rep, const std::string &where);
void check_outputs_finite(const RunResult &r, Report &rep, const std::string &where);
// Compares two runs; answers true when equal, else reports the first
// difference of each kind with `what` (fail).
// With `levels_only`, outputs are compared as their sequences of levels and
// statuses by their number.
bool compare_runs(const RunResult &a, const RunResult &b, Report &rep, const std::string &what,
                  bool statuses, bool levels_only = false);

} // namespace sevalidate

#endif
