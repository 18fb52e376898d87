// midi_text.h - packed MIDI messages as people read them: their bytes in
// hex, a line per message, and RPN/NRPN data entries decoded.
#ifndef SEHOST_CLI_MIDI_TEXT_H
#define SEHOST_CLI_MIDI_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace secli {

// How many bytes a packed message stands for by its status byte (1 to 3);
// a word without a status byte counts as 3 raw bytes.
int midi_size(int32_t message);
// "B0 65 00": the message's bytes in hex.
std::string midi_hex(int32_t message);
// The same into `out` (room for kMidiHexMax characters); answers the length.
constexpr size_t kMidiHexMax = 8;
size_t midi_hex(int32_t message, char *out);

// A completed RPN/NRPN data entry.
struct RpnValue {
    bool nrpn = false;
    int channel = 0; // 1 to 16
    int param = 0, value = 0;
};

// Readable lines for a MIDI stream: one per message, and one per completed
// RPN/NRPN data entry: "RPN ch 1 param 1 = 8192".
class RpnDecoder
{
public:
    // True if this message completes an entry, which goes to `out`.
    bool feed(int32_t message, RpnValue &out);
    // Answers the decoded line this message completes, or empty.
    std::string feed(int32_t message);

private:
    struct Channel {
        int rpn_msb = -1, rpn_lsb = -1, nrpn_msb = -1, nrpn_lsb = -1;
        bool nrpn = false;
        int data_msb = -1;
    };
    Channel m_ch[16];
};

// "RPN ch 1 param 1 = 8192" into `out` (room for kMidiTextMax characters);
// answers the length.
constexpr size_t kMidiTextMax = 64;
size_t describe_rpn(const RpnValue &v, char *out);

// "note on   ch 1 note 60 vel 100": one message as the log shows it.
std::string describe_midi(int32_t message);
size_t describe_midi(int32_t message, char *out); // as describe_rpn

} // namespace secli

#endif
