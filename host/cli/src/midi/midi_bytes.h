// midi_bytes.h - what a module's MIDI input takes, as one rule for every way
// MIDI comes in (inline lists, MIDI files, a live MIDI port), and raw MIDI
// bytes read by it. A module takes one packed message of at most three
// bytes: a channel message, or a system common or real-time message
// (midi_choice passes those on whatever its channel filter). Refused: system
// exclusive (F0 up to its end F7, which does not fit a packed message), the
// undefined status bytes F4, F5, F9 and FD, and a message without all its
// data bytes.
#ifndef SEHOST_CLI_MIDI_BYTES_H
#define SEHOST_CLI_MIDI_BYTES_H

#include <cstddef>
#include <cstdint>

namespace secli {

constexpr int kMidiRefused = -1;

// Data bytes that follow a status byte (0x80 to 0xFF) in a message a module
// takes, or kMidiRefused.
constexpr int midi_data_bytes(int status) noexcept
{
    if (status < 0x80 || status > 0xFF)
        return kMidiRefused;
    if (status < 0xF0) // channel messages: program change and channel pressure have one
        return (status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0 ? 1 : 2;
    switch (status) {
    case 0xF1: // time code quarter frame
    case 0xF3: // song select
        return 1;
    case 0xF2: // song position
        return 2;
    case 0xF6: // tune request
        return 0;
    case 0xF0: // system exclusive and its end
    case 0xF7:
    case 0xF4: // undefined
    case 0xF5:
    case 0xF9:
    case 0xFD:
        return kMidiRefused;
    default: // real-time F8, FA to FC, FE, FF
        return 0;
    }
}

// Reads the bytes of one event of a live MIDI port as a track of a MIDI file
// holds them: any number of messages, channel messages after the first with
// running status; real-time bytes may stand between another message's bytes
// and are messages of their own. Each message is handed to `take` packed
// (status | d1 << 8 | d2 << 16); what the rule refuses is skipped, a whole
// system-exclusive message, a message cut short or a run of data bytes
// without a status counting once. Answers the count refused. Never
// allocates or throws (it runs in the audio callback).
template <class Take> size_t read_midi_event(const uint8_t *bytes, size_t n, Take &&take) noexcept
{
    size_t refused = 0;
    int running = 0;       // channel status for data bytes that come without one
    int need = 0;          // data bytes the message being read still needs
    int have = 0;          // data bytes it has
    int32_t packed = 0;    // the message being read, while need > 0
    bool skipping = false; // data bytes belong to something refused
    bool sysex = false;    // inside F0 ... F7
    for (size_t i = 0; i < n; ++i) {
        const int b = bytes[i];
        if (b >= 0xF8) {
            if (midi_data_bytes(b) == kMidiRefused)
                ++refused;
            else
                take(static_cast<int32_t>(b));
            continue;
        }
        if (b >= 0x80) {
            if (need > 0) // the message before it is cut short
                ++refused;
            need = 0;
            if (b == 0xF7 && sysex) { // the end of a system exclusive, refused at its start
                sysex = false;
                continue;
            }
            sysex = b == 0xF0;
            running = b < 0xF0 ? b : 0; // a system common message cancels running status
            const int data = midi_data_bytes(b);
            skipping = data == kMidiRefused;
            if (skipping)
                ++refused;
            else if (data == 0)
                take(static_cast<int32_t>(b));
            else {
                packed = b;
                need = data;
                have = 0;
            }
            continue;
        }
        if (skipping)
            continue;
        if (need == 0) {
            if (!running) { // data bytes without a status
                ++refused;
                skipping = true;
                continue;
            }
            packed = running;
            need = midi_data_bytes(running);
            have = 0;
        }
        packed |= static_cast<int32_t>(b) << (8 * ++have);
        if (have == need) {
            need = 0;
            take(packed);
        }
    }
    if (need > 0)
        ++refused;
    return refused;
}

} // namespace secli

#endif
