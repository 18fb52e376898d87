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

class WavOut {
public:
    WavOut(const std::string &path, double rate);
    ~WavOut();
    void write(const float *samples, size_t n);
    void close();

private:
    void *m_file = nullptr;
    std::string m_path;
};

// Collects a MIDI output's messages; writes both files at the end.
class MidiOut {
public:
    MidiOut(std::string smf_path, std::string log_path, double rate, std::string title);
    void add(uint64_t stamp, int32_t message);
    void close();
    size_t count() const { return m_events.size(); }

private:
    std::string m_smf_path, m_log_path, m_title;
    double m_rate;
    std::vector<std::pair<uint64_t, int32_t>> m_events;
};

// Readable lines for a MIDI stream: one per message, and one per completed
// RPN/NRPN data entry: "RPN ch 1 param 1 = 8192".
class RpnDecoder {
public:
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

std::string describe_midi(int32_t message);

class EventsOut {
public:
    explicit EventsOut(const std::string &path);
    ~EventsOut();
    void write(const nlohmann::json &e);
    void close();

private:
    std::FILE *m_file = nullptr;
    std::string m_path;
};

} // namespace secli

#endif
