// traits.h - what a module's author declares about it beyond its pin
// table, read from a small JSON file (`--traits FILE`).  Everything else the
// checks derive from the pins themselves; a module without a traits file
// is held to the strictest reading:
//
//   {
//     "identifier": "My Module v1",          the module the file describes
//     "split": "invariant",                  or "levels", or "dependent"
//     "split_reason": "why, for the report",
//     "split_inputs": {"Rate": "constant"},  any, constant, zero, moving,
//                                            low_at_start
//     "finite_needs": ["Level"],             audio inputs the outputs need finite
//     "partial_outputs": ["Out"]             audio outputs a call may leave
//   }                                        partly as they were
//
// Every key but "identifier" may be left out.
#ifndef SEVALIDATE_TRAITS_H
#define SEVALIDATE_TRAITS_H

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace sevalidate {

// How a scenario must drive one audio input for the split comparison.
enum class Drive {
    Any,        // any streaming signal
    Constant,   // one value for the whole run
    Zero,       // held at 0.0
    Moving,     // a different value at every sample
    LowAtStart, // at or below 0 during the first block, then a gate
};

enum class SplitKind {
    Invariant, // samples, statuses and MIDI are the same for any split
    Levels,    // the order of levels on each audio output and the number of
               // statuses are; how long each level lasts is not
    Dependent, // nothing can be compared across splits
};

struct InputRule {
    std::string pin;
    Drive drive;
};

struct Traits {
    std::string identifier; // empty: no traits file, the defaults below
    std::string source;     // the file, for the report
    SplitKind split = SplitKind::Invariant;
    std::string split_reason;
    std::vector<InputRule> split_inputs;
    // Audio outputs stay finite whenever these audio inputs are finite,
    // whatever the other inputs hold.  Without a declaration: all of them.
    std::optional<std::vector<std::string>> finite_needs;
    // Audio outputs whose samples a process call may leave as they were;
    // every other audio output is written over every stretch it is called for.
    std::vector<std::string> partial_outputs;

    const InputRule *rule_for(const std::string &pin) const;
    bool needs_finite(const std::string &pin) const;
    bool writes_whole_stretch(const std::string &pin) const;
    // "traits file F" or "no traits file", for the report.
    std::string origin() const;
};

// A traits file is a regular file of at most this many bytes.
constexpr size_t kMaxTraitsBytes = 64 * 1024;

// Reads and checks a traits file; throws std::runtime_error with one line
// naming the file and the fault (and the key, where one is at fault): a
// file that is not regular or is too long, text that is not JSON, a key
// given twice, an unknown key or value.
Traits load_traits(const std::string &path);

// The error of the first file (each already loaded once) whose identifier
// is none of the plug-ins', or "" when each names one; also "" when a
// plug-in's identifier is not known (nullopt: it could not be asked).
std::string unused_traits_file(const std::vector<std::string> &files,
                               const std::vector<std::optional<std::string>> &identifiers);

} // namespace sevalidate

#endif
