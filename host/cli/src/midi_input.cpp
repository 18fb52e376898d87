// midi_input.cpp - inline MIDI lists and Standard MIDI Files (libsmf).
#include "midi_input.h"

#include <cstdlib>
#include <glib.h>
#include <smf.h>
#include <sstream>

#include "errors.h"

namespace secli {
namespace {

int data_byte(const std::string &tok, int lo, int hi, const std::string &where, const std::string &text) {
    char *end = nullptr;
    long v = tok.empty() ? -1 : std::strtol(tok.c_str(), &end, 10);
    if (tok.empty() || *end != '\0' || v < lo || v > hi)
        throw InputError(where + ": MIDI \"" + text + "\": \"" + tok + "\" is not a number from " +
                         std::to_string(lo) + " to " + std::to_string(hi));
    return static_cast<int>(v);
}

// libsmf reports problems through glib's log; the caller reports one line.
void quiet_log(const gchar *, GLogLevelFlags, const gchar *, gpointer) {}

} // namespace

int32_t parse_midi_message(const std::string &text, const std::string &where) {
    std::istringstream in(text);
    std::vector<std::string> tok;
    for (std::string t; in >> t;)
        tok.push_back(t);
    if (tok.empty())
        throw InputError(where + ": empty MIDI message");
    const std::string &w = tok[0];
    auto need = [&](size_t n) {
        if (tok.size() != n)
            throw InputError(where + ": MIDI \"" + text + "\": \"" + w + "\" takes " + std::to_string(n - 1) +
                             " numbers");
    };
    auto ch = [&]() { return data_byte(tok[1], 1, 16, where, text) - 1; };
    if (w == "on") {
        need(4);
        return (0x90 | ch()) | data_byte(tok[2], 0, 127, where, text) << 8 | data_byte(tok[3], 0, 127, where, text) << 16;
    }
    if (w == "off") {
        need(3);
        return (0x80 | ch()) | data_byte(tok[2], 0, 127, where, text) << 8;
    }
    if (w == "cc") {
        need(4);
        return (0xB0 | ch()) | data_byte(tok[2], 0, 127, where, text) << 8 | data_byte(tok[3], 0, 127, where, text) << 16;
    }
    if (w == "pc") {
        need(3);
        return (0xC0 | ch()) | data_byte(tok[2], 0, 127, where, text) << 8;
    }
    if (tok.size() > 3)
        throw InputError(where + ": MIDI \"" + text + "\" has more than three bytes");
    int32_t packed = 0;
    for (size_t i = 0; i < tok.size(); ++i) {
        char *end = nullptr;
        long b = std::strtol(tok[i].c_str(), &end, 16);
        if (tok[i].size() > 2 || *end != '\0' || b < 0 || (i == 0 && b < 0x80) || (i > 0 && b > 0x7F))
            throw InputError(where + ": MIDI \"" + text +
                             "\" is neither hex bytes (\"90 3C 64\") nor on/off/cc/pc words");
        packed |= static_cast<int32_t>(b) << (8 * i);
    }
    return packed;
}

MidiIn parse_midi_entry(const std::string &text, const std::string &where) {
    size_t eq = text.find('=');
    if (eq == std::string::npos)
        throw InputError(where + ": MIDI entry \"" + text + "\" must read TIME=MESSAGE, e.g. 0.5s=on 1 60 100");
    MidiIn m;
    m.time = parse_time(text.substr(0, eq), where);
    m.message = parse_midi_message(text.substr(eq + 1), where);
    return m;
}

std::vector<MidiIn> read_midi_file(const std::string &path, const std::string &where) {
    GLogFunc saved = g_log_set_default_handler(quiet_log, nullptr);
    smf_t *smf = smf_load(path.c_str());
    g_log_set_default_handler(saved, nullptr);
    if (!smf)
        throw InputError(where + ": cannot read MIDI file \"" + path + "\" (missing or not a Standard MIDI File)");
    std::vector<MidiIn> out;
    for (smf_event_t *e = smf_get_next_event(smf); e; e = smf_get_next_event(smf)) {
        if (smf_event_is_metadata(e) || smf_event_is_sysex(e) || e->midi_buffer_length < 1)
            continue;
        unsigned char status = e->midi_buffer[0];
        if (status < 0x80 || status >= 0xF0)
            continue;
        MidiIn m;
        m.time.seconds = e->time_seconds;
        m.message = status;
        for (size_t i = 1; i < e->midi_buffer_length && i < 3; ++i)
            m.message |= static_cast<int32_t>(e->midi_buffer[i]) << (8 * i);
        out.push_back(m);
    }
    smf_delete(smf);
    return out;
}

} // namespace secli
