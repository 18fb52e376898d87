// writers.h - the files of a run: audio as 32-bit float WAV, MIDI as a
// Standard MIDI File plus a readable log with RPN/NRPN decoded, every event
// as a JSON line.
#ifndef SEHOST_CLI_WRITERS_H
#define SEHOST_CLI_WRITERS_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace secli {

// Samples are gathered and handed to the library kBufferSamples at a time:
// each hand-over is a system call and a scan for the peak, so a block-sized
// write (a few kilobytes) costs far more per sample than a large one. The
// file's bytes do not depend on how the samples were split (the peak is the
// first sample of the greatest magnitude however the scans are cut).
// A write error may show at a later write or at close.
class WavOut
{
public:
    static constexpr size_t kBufferSamples = 32768;
    WavOut(const std::string &path, double rate);
    ~WavOut();
    void write(const float *samples, size_t n);
    void close();

private:
    void hand_over(const float *samples, size_t n);
    void *m_file = nullptr;
    std::string m_path;
    std::vector<float> m_buffer; // kBufferSamples, m_used of them waiting
    size_t m_used = 0;
};

// How many bytes a packed message stands for by its status byte (1 to 3);
// a word without a status byte counts as 3 raw bytes.
int midi_size(int32_t message);
// "B0 65 00": the message's bytes in hex.
std::string midi_hex(int32_t message);
// The same into `out` (room for kMidiHexMax characters); answers the length.
constexpr size_t kMidiHexMax = 8;
size_t midi_hex(int32_t message, char *out);

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

class EventsOut
{
public:
    explicit EventsOut(const std::string &path);
    ~EventsOut();
    void write(const std::string &line); // one JSON object; the newline is added
    void close();

private:
    std::FILE *m_file = nullptr;
    std::vector<char> m_buffer; // the stream's buffer: lines leave in large writes
    std::string m_path;
};

} // namespace secli

#endif
