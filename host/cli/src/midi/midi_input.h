// midi_input.h - MIDI for a module's MIDI input: an inline list or a
// Standard MIDI File. Inline entries read "TIME=MESSAGE" where MESSAGE is
// hex bytes ("90 3C 64") or words: "on CH NOTE VEL", "off CH NOTE",
// "cc CH NUMBER VALUE", "pc CH PROGRAM" (channels 1 to 16).
#ifndef SEHOST_CLI_MIDI_INPUT_H
#define SEHOST_CLI_MIDI_INPUT_H

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/timecode.h"

namespace secli {

struct MidiIn {
    TimeSpec time;
    int32_t message = 0; // packed: status | d1 << 8 | d2 << 16
};

MidiIn parse_midi_entry(const std::string &text, const std::string &where);
// Only the message part ("90 3C 64", "on 1 60 100").
int32_t parse_midi_message(const std::string &text, const std::string &where);

// A Standard MIDI File, checked whole when it is read. Its messages are not
// stored one by one: a MidiFileCursor decodes them from the file's bytes in
// time order as they are wanted, so a run holds the file and a few words per
// track, however many messages it has.
struct MidiFile {
    std::string data, what;
    uint32_t division = 0;
    std::vector<std::pair<size_t, size_t>> tracks; // each track's events: first byte, end
    uint64_t messages = 0;                         // channel messages in all tracks
};

// InputError if missing, unreadable, not a regular file or larger than
// kMaxMidiFileBytes, naming `where`, the path and the byte.
std::shared_ptr<const MidiFile> open_midi_file(const std::string &path, const std::string &where);
// The same check of a file's bytes; `what` begins every InputError's text.
std::shared_ptr<const MidiFile> read_midi_bytes(std::string data, std::string what);

// The channel messages of every track in time order (ties: the earlier
// track first, then the file's order), each with its sample clock at the
// run's rate (a whole number of Hz) and its time in seconds. Ticks become
// clocks in exact integer arithmetic, to the nearest sample; a time exactly
// halfway between two samples goes to the later one.
class MidiFileCursor
{
public:
    MidiFileCursor(std::shared_ptr<const MidiFile> file, double rate);
    bool next(MidiIn &out); // false after the last message

private:
    struct Track {
        uint64_t tick;
        size_t at, end;
        uint32_t index;
        int running;
    };
    static constexpr uint64_t kSaturated = uint64_t{1} << 62;
    uint64_t clock() const; // of position_
    std::shared_ptr<const MidiFile> file_;
    std::vector<Track> heap_; // tracks with events left, by (tick, index)
    uint64_t rate_;
    uint64_t tick_num_ = 0, den_ = 1; // a tick lasts tick_num_ / den_ seconds
    uint64_t position_ = 0;           // the last event's time in 1/den_ seconds
    uint64_t last_ = 0;               // and its tick
};

// Every channel message of a file at once (for short files and tests).
std::vector<MidiIn> read_midi_file(const std::string &path, const std::string &where,
                                   double rate = 44100);

} // namespace secli

#endif
