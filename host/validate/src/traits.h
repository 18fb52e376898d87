// traits.h - what the contract says about each module, per identifier:
// whether its outputs are independent of the block split (and under which
// conditions on its audio inputs), whether every process call writes every
// sample of its stretch, and which inputs its outputs need finite.
#ifndef SEVALIDATE_TRAITS_H
#define SEVALIDATE_TRAITS_H

#include <string>
#include <vector>

namespace sevalidate {

// How a scenario must drive one audio input for the split invariance
// check (by pin name).
enum class Drive {
    Any,        // any streaming signal
    Constant,   // one value for the whole run
    Zero,       // held at 0.0
    Moving,     // a different value at every sample
    LowAtStart, // at or below 0 during the first block, then any signal
};

struct InputRule {
    const char *pin;
    Drive drive;
};

struct Traits {
    const char *identifier = nullptr; // null: a module the table does not know
    // Every process call writes every sample of its stretch of every audio
    // output (a sentinel left in the stretch is a fault).
    bool writes_whole_stretch = false;
    // Samples, statuses and MIDI are the same for any split of the blocks,
    // given the input rules below.
    bool split_invariant = false;
    std::vector<InputRule> split_rules;
    // Only the order of levels on the audio outputs is independent of the
    // split (how long each level lasts is not): runs are compared level by
    // level, and statuses by their number.
    bool split_levels_only = false;
    const char *why = ""; // the contract's reason, for the report
    // Audio outputs stay finite whenever these audio inputs are finite,
    // whatever the other inputs and settings hold.
    std::vector<const char *> finite_needs;
};

const Traits &traits_for(const std::string &identifier);

} // namespace sevalidate

#endif
