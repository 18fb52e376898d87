// midi_input.cpp - inline MIDI lists and Standard MIDI Files.
#include "midi_input.h"

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <sstream>

#include "errors.h"

namespace secli {
namespace {

// A decimal number of the word forms: one to three digits, nothing else.
int data_byte(const std::string &tok, int lo, int hi, const std::string &where,
              const std::string &text)
{
    bool digits =
        !tok.empty() && tok.size() <= 3 && tok.find_first_not_of("0123456789") == std::string::npos;
    long v = digits ? std::stol(tok) : -1;
    if (!digits || v < lo || v > hi)
        throw InputError(where + ": MIDI \"" + text + "\": \"" + tok + "\" is not a number from " +
                         std::to_string(lo) + " to " + std::to_string(hi));
    return static_cast<int>(v);
}

// A module's MIDI input takes one packed message of at most three bytes:
// a channel message, or a system common or real-time message (midi_choice
// passes those on whatever its channel filter). The output's MIDI file
// stores system messages as escapes. Refused: system exclusive (F0 and its
// end F7, which do not fit a packed message) and the undefined status bytes
// F4, F5, F9 and FD.
void check_status(int status, size_t data, const std::string &where, const std::string &text)
{
    static const char *const kNames[] = {"note-off",       "note-on",        "poly pressure",
                                         "control change", "program change", "channel pressure",
                                         "pitch bend"};
    char hex[12];
    std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned>(status));
    const bool undefined = status == 0xF4 || status == 0xF5 || status == 0xF9 || status == 0xFD;
    if (status == 0xF0 || status == 0xF7 || undefined)
        throw InputError(
            where + ": MIDI \"" + text + "\": " + hex + " is " +
            (undefined ? "an undefined status byte" : "a system exclusive byte") +
            "; a module's MIDI input takes channel, system common and real-time messages");
    std::string name;
    size_t need;
    if (status < 0xF0) {
        name = kNames[(status >> 4) - 8];
        need = status >= 0xC0 && status < 0xE0 ? 1 : 2;
    } else if (status < 0xF8) {
        name = status == 0xF1   ? "time code quarter frame"
               : status == 0xF2 ? "song position"
               : status == 0xF3 ? "song select"
                                : "tune request";
        need = status == 0xF2 ? 2 : status == 0xF6 ? 0 : 1;
    } else {
        name = "real-time message";
        need = 0;
    }
    if (data != need)
        throw InputError(where + ": MIDI \"" + text + "\": a " + name + " (" + hex + ") takes " +
                         std::to_string(need) + " data byte" + (need == 1 ? "" : "s") + ", not " +
                         std::to_string(data));
}

} // namespace

int32_t parse_midi_message(const std::string &text, const std::string &where)
{
    std::istringstream in(text);
    std::vector<std::string> tok;
    for (std::string t; in >> t;)
        tok.push_back(t);
    if (tok.empty())
        throw InputError(where + ": empty MIDI message");
    const std::string &w = tok[0];
    auto need = [&](size_t n) {
        if (tok.size() != n)
            throw InputError(where + ": MIDI \"" + text + "\": \"" + w + "\" takes " +
                             std::to_string(n - 1) + " numbers");
    };
    auto ch = [&]() { return data_byte(tok[1], 1, 16, where, text) - 1; };
    if (w == "on") {
        need(4);
        return (0x90 | ch()) | data_byte(tok[2], 0, 127, where, text) << 8 |
               data_byte(tok[3], 0, 127, where, text) << 16;
    }
    if (w == "off") {
        need(3);
        return (0x80 | ch()) | data_byte(tok[2], 0, 127, where, text) << 8;
    }
    if (w == "cc") {
        need(4);
        return (0xB0 | ch()) | data_byte(tok[2], 0, 127, where, text) << 8 |
               data_byte(tok[3], 0, 127, where, text) << 16;
    }
    if (w == "pc") {
        need(3);
        return (0xC0 | ch()) | data_byte(tok[2], 0, 127, where, text) << 8;
    }
    if (tok.size() > 3)
        throw InputError(where + ": MIDI \"" + text + "\" has more than three bytes");
    int32_t packed = 0;
    for (size_t i = 0; i < tok.size(); ++i) {
        // Exactly one or two hexadecimal digits ("0x90", "+9" are no byte).
        bool hex = !tok[i].empty() && tok[i].size() <= 2 &&
                   tok[i].find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
        long b = hex ? std::stol(tok[i], nullptr, 16) : -1;
        if (!hex || (i == 0 && b < 0x80) || (i > 0 && b > 0x7F))
            throw InputError(where + ": MIDI \"" + text +
                             "\" is neither hex bytes (\"90 3C 64\") nor on/off/cc/pc words");
        packed |= static_cast<int32_t>(b) << (8 * i);
        if (i == 0)
            check_status(static_cast<int>(b), tok.size() - 1, where, text);
    }
    return packed;
}

MidiIn parse_midi_entry(const std::string &text, const std::string &where)
{
    size_t eq = text.find('=');
    if (eq == std::string::npos)
        throw InputError(where + ": MIDI entry \"" + text +
                         "\" must read TIME=MESSAGE, e.g. 0.5s=on 1 60 100");
    MidiIn m;
    m.time = parse_time(text.substr(0, eq), where);
    m.message = parse_midi_message(text.substr(eq + 1), where);
    return m;
}

// Standard MIDI Files are read here rather than with libsmf: libsmf stops the
// process with an assertion on a truncated track, and sehost must answer a
// bad file with a message. Formats 0 and 1, tempo changes, running status,
// SMPTE time division; meta and system-exclusive events are skipped.
namespace {

struct SmfReader {
    const std::string &data;
    const std::string &what; // for messages
    size_t at = 0;

    [[noreturn]] void fail(const std::string &why) const
    {
        throw InputError(what + ": " + why + " (byte " + std::to_string(at) + ")");
    }
    uint32_t be(size_t n)
    {
        if (at + n > data.size())
            fail("the file ends early");
        uint32_t v = 0;
        for (size_t i = 0; i < n; ++i)
            v = v << 8 | static_cast<unsigned char>(data[at++]);
        return v;
    }
    uint32_t vlq(size_t end)
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            if (at >= end)
                fail("a track ends inside a number");
            unsigned char b = static_cast<unsigned char>(data[at++]);
            v = v << 7 | (b & 0x7F);
            if (!(b & 0x80))
                return v;
        }
        fail("a variable-length number is longer than four bytes");
    }
};

struct TickEvent {
    uint64_t tick;
    int order;
    bool tempo;
    uint32_t value; // microseconds per quarter, or the packed message
};

} // namespace

std::vector<MidiIn> read_midi_file(const std::string &path, const std::string &where)
{
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        throw InputError(where + ": cannot read MIDI file \"" + path + "\": missing or unreadable");
    std::string data;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        data.append(buf, n);
    std::fclose(f);
    std::string what = where + ": cannot read MIDI file \"" + path + "\"";
    SmfReader r{data, what};
    if (data.size() < 14 || data.compare(0, 4, "MThd") != 0)
        throw InputError(what + ": not a Standard MIDI File (no MThd header)");
    r.at = 4;
    uint32_t header = r.be(4);
    if (header < 6)
        r.fail("the header is too short");
    uint32_t format = r.be(2), tracks = r.be(2), division = r.be(2);
    r.at = 8 + header;
    if (format > 1)
        r.fail("format " + std::to_string(format) + " (only 0 and 1 are read)");
    // SMPTE division: negative frames per second in the high byte, ticks
    // per frame in the low byte; no ticks would make every time undefined.
    if (division == 0 || ((division & 0x8000) && (division & 0xFF) == 0))
        r.fail("the time division is 0");

    std::vector<TickEvent> events;
    int order = 0;
    for (uint32_t t = 0; t < tracks; ++t) {
        if (r.at + 8 > data.size())
            r.fail("track " + std::to_string(t + 1) + " of " + std::to_string(tracks) +
                   " is missing");
        bool is_track = data.compare(r.at, 4, "MTrk") == 0;
        r.at += 4;
        uint32_t length = r.be(4);
        if (length > data.size() - r.at)
            r.fail("a chunk runs past the end of the file");
        size_t end = r.at + length;
        if (!is_track) { // unknown chunks are skipped
            r.at = end;
            --t;
            continue;
        }
        uint64_t tick = 0;
        int running = 0;
        while (r.at < end) {
            tick += r.vlq(end);
            if (r.at >= end)
                r.fail("a track ends after a delta time");
            int status = static_cast<unsigned char>(data[r.at]);
            if (status == 0xFF) {
                ++r.at;
                if (r.at >= end)
                    r.fail("a meta event is cut short");
                int type = static_cast<unsigned char>(data[r.at++]);
                uint32_t n = r.vlq(end);
                if (n > end - r.at)
                    r.fail("a meta event runs past its track");
                if (type == 0x51 && n == 3) {
                    uint32_t us = r.be(3);
                    events.push_back(TickEvent{tick, order++, true, us});
                } else {
                    r.at += n;
                }
                if (type == 0x2F)
                    break;
                continue;
            }
            if (status == 0xF0 || status == 0xF7) {
                ++r.at;
                uint32_t n = r.vlq(end);
                if (n > end - r.at)
                    r.fail("a system-exclusive event runs past its track");
                r.at += n;
                continue;
            }
            if (status & 0x80) {
                if (status > 0xF0)
                    r.fail("system message " + std::to_string(status) + " inside a track");
                running = status;
                ++r.at;
            } else if (!running) {
                r.fail("a data byte without a status");
            }
            int size = (running & 0xF0) == 0xC0 || (running & 0xF0) == 0xD0 ? 1 : 2;
            if (r.at + size > end)
                r.fail("a message is cut short");
            uint32_t packed = static_cast<uint32_t>(running);
            for (int i = 0; i < size; ++i) {
                int b = static_cast<unsigned char>(data[r.at++]);
                if (b & 0x80)
                    r.fail("a data byte above 127");
                packed |= static_cast<uint32_t>(b) << (8 * (i + 1));
            }
            events.push_back(TickEvent{tick, order++, false, packed});
        }
        r.at = end;
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const TickEvent &a, const TickEvent &b) { return a.tick < b.tick; });

    std::vector<MidiIn> out;
    double seconds = 0, per_tick;
    uint64_t last = 0;
    if (division & 0x8000) { // SMPTE: frames per second and ticks per frame
        int fps = 256 - static_cast<int>(division >> 8);
        per_tick = 1.0 / (fps * static_cast<double>(division & 0xFF));
    } else {
        per_tick = 0.5 / division; // 120 quarters a minute until a tempo event
    }
    for (const TickEvent &e : events) {
        seconds += (e.tick - last) * per_tick;
        last = e.tick;
        if (e.tempo) {
            if (!(division & 0x8000))
                per_tick = e.value / 1e6 / division;
            continue;
        }
        MidiIn m;
        m.time.seconds = seconds;
        m.message = static_cast<int32_t>(e.value);
        out.push_back(m);
    }
    return out;
}

} // namespace secli
