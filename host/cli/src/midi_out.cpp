// midi_out.cpp - MIDI outputs as Standard MIDI Files (libsmf; 25000 pulses
// per quarter at the default 120 bpm: one pulse is 20 microseconds, finer
// than a sample at 48 kHz)
// and as a readable log with RPN/NRPN parameter changes decoded.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <glib.h>
#include <smf.h>

#include "errors.h"
#include "writers.h"

namespace secli {
namespace {
constexpr int kPpqn = 25000;
constexpr double kPulsesPerSecond = kPpqn * 2.0; // 120 quarters a minute
void quiet_log(const gchar *, GLogLevelFlags, const gchar *, gpointer) {}
} // namespace

std::string describe_midi(int32_t m) {
    int status = m & 0xFF, d1 = (m >> 8) & 0x7F, d2 = (m >> 16) & 0x7F, ch = (status & 15) + 1;
    char buf[96];
    switch (status & 0xF0) {
    case 0x80: std::snprintf(buf, sizeof buf, "note off  ch %d note %d vel %d", ch, d1, d2); break;
    case 0x90: std::snprintf(buf, sizeof buf, "note on   ch %d note %d vel %d", ch, d1, d2); break;
    case 0xA0: std::snprintf(buf, sizeof buf, "poly AT   ch %d note %d value %d", ch, d1, d2); break;
    case 0xB0: std::snprintf(buf, sizeof buf, "control   ch %d cc %d value %d", ch, d1, d2); break;
    case 0xC0: std::snprintf(buf, sizeof buf, "program   ch %d program %d", ch, d1); break;
    case 0xD0: std::snprintf(buf, sizeof buf, "chan AT   ch %d value %d", ch, d1); break;
    case 0xE0: std::snprintf(buf, sizeof buf, "pitchbend ch %d value %d", ch, (d2 << 7 | d1) - 8192); break;
    default: std::snprintf(buf, sizeof buf, "system    %02X", status); break;
    }
    return buf;
}

std::string RpnDecoder::feed(int32_t m) {
    int status = m & 0xFF;
    if ((status & 0xF0) != 0xB0)
        return {};
    Channel &c = m_ch[status & 15];
    int cc = (m >> 8) & 0x7F, v = (m >> 16) & 0x7F;
    switch (cc) {
    case 101: c.rpn_msb = v; c.nrpn = false; c.data_msb = -1; return {};
    case 100: c.rpn_lsb = v; c.nrpn = false; c.data_msb = -1; return {};
    case 99: c.nrpn_msb = v; c.nrpn = true; c.data_msb = -1; return {};
    case 98: c.nrpn_lsb = v; c.nrpn = true; c.data_msb = -1; return {};
    case 6: c.data_msb = v; return {};
    case 38: {
        int msb = c.nrpn ? c.nrpn_msb : c.rpn_msb, lsb = c.nrpn ? c.nrpn_lsb : c.rpn_lsb;
        if (msb < 0 || lsb < 0)
            return {};
        int value = (c.data_msb < 0 ? 0 : c.data_msb) << 7 | v;
        char buf[96];
        std::snprintf(buf, sizeof buf, "%s ch %d param %d = %d", c.nrpn ? "NRPN" : "RPN", (status & 15) + 1,
                      msb << 7 | lsb, value);
        return buf;
    }
    default:
        return {};
    }
}

MidiOut::MidiOut(std::string smf_path, std::string log_path, double rate, std::string title)
    : m_smf_path(std::move(smf_path)), m_log_path(std::move(log_path)), m_title(std::move(title)), m_rate(rate) {}

void MidiOut::add(uint64_t stamp, int32_t message) { m_events.emplace_back(stamp, message); }

void MidiOut::close() {
    std::stable_sort(m_events.begin(), m_events.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    // The log.
    std::FILE *log = std::fopen(m_log_path.c_str(), "w");
    if (!log)
        throw InputError(m_log_path + ": cannot write");
    std::fprintf(log, "# %s: %zu messages; clock in samples at %g Hz\n", m_title.c_str(), m_events.size(), m_rate);
    std::fprintf(log, "#   clock     time_s  bytes     message\n");
    RpnDecoder rpn;
    for (const auto &[stamp, msg] : m_events) {
        int status = msg & 0xFF, n = (status >= 0xC0 && status < 0xE0) ? 2 : 3;
        char bytes[16];
        if (n == 2)
            std::snprintf(bytes, sizeof bytes, "%02X %02X", status, (msg >> 8) & 0xFF);
        else
            std::snprintf(bytes, sizeof bytes, "%02X %02X %02X", status, (msg >> 8) & 0xFF, (msg >> 16) & 0xFF);
        std::fprintf(log, "%9llu %10.5f  %-8s  %s\n", static_cast<unsigned long long>(stamp), stamp / m_rate, bytes,
                     describe_midi(msg).c_str());
        std::string decoded = rpn.feed(msg);
        if (!decoded.empty())
            std::fprintf(log, "%9llu %10.5f  %-8s  => %s\n", static_cast<unsigned long long>(stamp), stamp / m_rate, "",
                         decoded.c_str());
    }
    if (std::fclose(log) != 0)
        throw InputError(m_log_path + ": cannot write");

    // The Standard MIDI File.
    GLogFunc saved = g_log_set_default_handler(quiet_log, nullptr);
    smf_t *smf = smf_new();
    smf_track_t *track = smf ? smf_track_new() : nullptr;
    bool ok = smf && track && smf_set_ppqn(smf, kPpqn) == 0;
    if (ok)
        smf_add_track(smf, track);
    for (size_t i = 0; ok && i < m_events.size(); ++i) {
        int32_t msg = m_events[i].second;
        int status = msg & 0xFF;
        int n = (status >= 0xC0 && status < 0xE0) ? 2 : 3;
        smf_event_t *e = smf_event_new_from_bytes(status, (msg >> 8) & 0x7F, n == 3 ? (msg >> 16) & 0x7F : -1);
        if (!e) {
            ok = false;
            break;
        }
        smf_track_add_event_pulses(track, e, static_cast<int>(std::llround(m_events[i].first / m_rate * kPulsesPerSecond)));
    }
    ok = ok && smf_save(smf, m_smf_path.c_str()) == 0;
    if (smf)
        smf_delete(smf);
    g_log_set_default_handler(saved, nullptr);
    if (!ok)
        throw InputError(m_smf_path + ": cannot write the MIDI file");
}

} // namespace secli
