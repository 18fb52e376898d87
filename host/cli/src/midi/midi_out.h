// midi_out.h - MIDI outputs as Standard MIDI Files plus a readable log
// with RPN/NRPN decoded.
#ifndef SEHOST_CLI_MIDI_OUT_H
#define SEHOST_CLI_MIDI_OUT_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "midi/midi_text.h"

namespace secli {

// The time base of the MIDI files at a sample rate: pulses per quarter and
// microseconds per quarter such that one pulse is exactly one sample where
// the rate allows it (every whole rate whose ratio to a million reduces to
// at most 32767 pulses: 44100, 48000, 96000, 192000 and most others), else
// 50000 pulses a second.
struct SmfTimeBase {
    int ppqn;
    uint32_t tempo_us;
    bool exact;
};
SmfTimeBase smf_time_base(double rate);

// One MIDI output, streamed to a Standard MIDI File and a readable log as
// the run goes. Messages may come with future stamps; they wait in a queue
// until the run has passed their time (`advance`), then go out in stamp
// order (equal stamps in the order sent). Every message is stored: a channel
// message as itself, anything else (system messages, data bytes above 127)
// as a system-exclusive escape ("F7 length bytes") that holds its bytes
// as they were.
class MidiOut
{
public:
    MidiOut(std::string smf_path, std::string log_path, double rate, std::string title);
    ~MidiOut();
    void add(uint64_t stamp, int32_t message);
    // No message stamped before `clock` will come: write those waiting.
    void advance(uint64_t clock);
    // Writes what waits and finishes both files. InputError on failure.
    void close();
    uint64_t count() const { return m_count; }

private:
    struct Pending {
        uint64_t stamp, order;
        int32_t message;
        bool operator>(const Pending &o) const
        {
            return stamp != o.stamp ? stamp > o.stamp : order > o.order;
        }
    };
    void write(uint64_t stamp, int32_t message);
    void check(bool ok, const std::string &path);
    std::string m_smf_path, m_log_path, m_title;
    double m_rate;
    std::FILE *m_smf = nullptr, *m_log = nullptr;
    std::vector<Pending> m_pending; // a min-heap
    uint64_t m_order = 0, m_count = 0, m_last_tick = 0, m_track_bytes = 0;
    long m_length_at = 0; // where the track length goes
    int m_ppqn = 0;
    bool m_exact = false; // one tick per sample
    RpnDecoder m_rpn;
    std::string m_line; // the log line being written
};

} // namespace secli

#endif
