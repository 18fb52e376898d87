// patch.h - what a run is made of: module instances with their settings and
// timed changes, host sources, and connections from an output pin to an input
// pin. `sehost render` builds a patch of one instance from its options;
// `sehost run` reads one from JSON (patch_json.cpp).
#ifndef SEHOST_CLI_PATCH_H
#define SEHOST_CLI_PATCH_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/timecode.h"
#include "midi/midi_input.h"

namespace secli {

// Every item keeps `where`: the file and field, or the option, it came from,
// so that errors found later still name it.
struct Setting {
    std::string pin, value, where;
};

struct TimedSetting {
    TimeSpec time;
    std::string pin, value, where;
};

// A value a GUI side wrote that reached the DSP side of an IO_BOTH_SIDES
// pin (by declaration) at `clock` in a live run.
struct CarriedValue {
    uint64_t clock;
    int32_t pin;
    double value;
};

struct ModuleSpec {
    std::string name, plugin, where;
    int repeat = 0;               // copies of an IO_REPEAT_LAST pin
    std::vector<Setting> set;     // before open (GUI pins: stored patch values)
    std::vector<TimedSetting> at; // DSP pins: value + status; GUI pins: GUI script
    std::vector<std::pair<TimeSpec, std::string>> patch_changes; // time, where
    std::vector<MidiIn> midi;                                    // into the first MIDI input
    std::shared_ptr<const MidiFile> midi_file; // then its messages, into the same input
    std::string midi_where;
    std::vector<CarriedValue> carried; // by clock; see Patch::carried_live
};

struct SourceSpec {
    std::string name, definition, where;
    std::string shown{}; // what reports call it; empty: the definition
};

struct Wire {
    std::string from, to, where; // "instance.Pin" or a source name
};

struct Patch {
    std::string origin = "command line";
    double rate = 44100.0;
    int block = 1024;
    TimeSpec duration{2.0, false, 0};
    // The time a ramp source takes from its start to its end; unset: the
    // duration (a live run, which has none, sets it).
    std::optional<TimeSpec> source_span;
    int32_t host_version = 100238;
    std::optional<uint32_t> split_seed; // random stretch split inside blocks
    int split_max = 64;
    // The replay of a live recording: once the patch is open (and its GUI
    // settings at clock 0 are in), GUI sides' writes reach DSP sides only
    // as the modules' `carried` lists give them, at their clocks.
    bool carried_live = false;
    std::vector<SourceSpec> sources;
    std::vector<ModuleSpec> modules;
    std::vector<Wire> wires;
};

// MIDI messages of an instance at or after `total` samples at `rate`,
// which a run of that length does not play: of its list, of its file.
struct LateMidi {
    uint64_t listed = 0, in_file = 0;
};
LateMidi midi_after_end(const ModuleSpec &m, double rate, uint64_t total);

// The most instances a patch holds (docs/sehost.md): each costs its
// plug-in's objects and the run's buffers and records, a few hundred
// kilobytes in all.
constexpr size_t kMaxInstances = 1000;

// Reads a patch file (at most kMaxPatchBytes, a regular file); InputError
// with the file, line or field.
Patch read_patch_file(const std::string &path);
Patch parse_patch_text(const std::string &text, const std::string &origin);

// The built-in demo (demo_patch.cpp).
Patch demo_patch();

} // namespace secli

#endif
