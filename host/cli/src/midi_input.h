// midi_input.h - MIDI for a module's MIDI input: an inline list or a
// Standard MIDI File. Inline entries read "TIME=MESSAGE" where MESSAGE is
// hex bytes ("90 3C 64") or words: "on CH NOTE VEL", "off CH NOTE",
// "cc CH NUMBER VALUE", "pc CH PROGRAM" (channels 1 to 16).
#ifndef SEHOST_CLI_MIDI_INPUT_H
#define SEHOST_CLI_MIDI_INPUT_H

#include <cstdint>
#include <string>
#include <vector>

#include "timecode.h"

namespace secli {

struct MidiIn {
    TimeSpec time;
    int32_t message = 0; // packed: status | d1 << 8 | d2 << 16
};

MidiIn parse_midi_entry(const std::string &text, const std::string &where);
// Only the message part ("90 3C 64", "on 1 60 100").
int32_t parse_midi_message(const std::string &text, const std::string &where);
// Channel messages of every track, in time order. InputError if unreadable.
std::vector<MidiIn> read_midi_file(const std::string &path, const std::string &where);

} // namespace secli

#endif
