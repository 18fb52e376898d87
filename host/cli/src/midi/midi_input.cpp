// midi_input.cpp - inline MIDI lists and Standard MIDI Files.
#include "midi/midi_input.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <sstream>

#include "common/commit_journal.h"
#include "common/errors.h"
#include "common/input_file.h"
#include "midi/midi_bytes.h"

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

// A message's status byte checked by the rule of midi_bytes.h; `data` is
// the count of data bytes written after it.
void check_status(int status, size_t data, const std::string &where, const std::string &text)
{
    static const char *const kNames[] = {"note-off",       "note-on",        "poly pressure",
                                         "control change", "program change", "channel pressure",
                                         "pitch bend"};
    char hex[12];
    std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned>(status));
    const int need = midi_data_bytes(status);
    if (need == kMidiRefused)
        throw InputError(
            where + ": MIDI \"" + text + "\": " + hex + " is " +
            (status == 0xF0 || status == 0xF7 ? "a system exclusive byte"
                                              : "an undefined status byte") +
            "; a module's MIDI input takes channel, system common and real-time messages");
    const std::string name = status < 0xF0    ? kNames[(status >> 4) - 8]
                             : status == 0xF1 ? "time code quarter frame"
                             : status == 0xF2 ? "song position"
                             : status == 0xF3 ? "song select"
                             : status == 0xF6 ? "tune request"
                                              : "real-time message";
    if (data != static_cast<size_t>(need))
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

// What one event of a track is, read at r.at (its delta time read already).
enum class Event { kSkipped, kTempo, kMessage, kEnd };

// `value` gets a tempo (microseconds a quarter) or the packed message;
// `running` is the track's running status.
Event read_event(SmfReader &r, size_t end, int &running, uint32_t &value)
{
    const std::string &data = r.data;
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
            value = r.be(3);
            return Event::kTempo;
        }
        r.at += n;
        return type == 0x2F ? Event::kEnd : Event::kSkipped;
    }
    if (status == 0xF0 || status == 0xF7) {
        ++r.at;
        uint32_t n = r.vlq(end);
        if (n > end - r.at)
            r.fail("a system-exclusive event runs past its track");
        r.at += n;
        return Event::kSkipped;
    }
    if (status & 0x80) {
        if (status > 0xF0)
            r.fail("system message " + std::to_string(status) + " inside a track");
        running = status;
        ++r.at;
    } else if (!running) {
        r.fail("a data byte without a status");
    }
    const int size = midi_data_bytes(running); // a channel status: 1 or 2
    if (r.at + size > end)
        r.fail("a message is cut short");
    uint32_t packed = static_cast<uint32_t>(running);
    for (int i = 0; i < size; ++i) {
        int b = static_cast<unsigned char>(data[r.at++]);
        if (b & 0x80)
            r.fail("a data byte above 127");
        packed |= static_cast<uint32_t>(b) << (8 * (i + 1));
    }
    value = packed;
    return Event::kMessage;
}

// Heap order of the cursor's tracks: the one with the earliest next event on
// top, the earlier track first on a tie (as a stable sort by tick of all
// tracks' events one track after another would give them).
bool later(uint64_t tick_a, uint32_t index_a, uint64_t tick_b, uint32_t index_b)
{
    return tick_a != tick_b ? tick_a > tick_b : index_a > index_b;
}

} // namespace

std::shared_ptr<const MidiFile> open_midi_file(const std::string &path, const std::string &where)
{
    refuse_unsettled(path, where);
    const std::string what = where + ": cannot read MIDI file \"" + path + "\"";
    InputFile file(path, what);
    // The header first: a file that is no MIDI file is told so without
    // reading the rest. The file is held for the whole run.
    std::string data = file.read(14);
    if (data.size() < 14 || data.compare(0, 4, "MThd") != 0)
        throw InputError(what + ": not a Standard MIDI File (no MThd header)");
    data += file.read_all(kMaxMidiFileBytes);
    return read_midi_bytes(std::move(data), what);
}

std::shared_ptr<const MidiFile> read_midi_bytes(std::string bytes, std::string what_text)
{
    auto file = std::make_shared<MidiFile>();
    file->data = std::move(bytes);
    file->what = std::move(what_text);
    const std::string &data = file->data;
    const std::string &what = file->what;
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
    // SMPTE division: negative frames per second in the high byte (-24,
    // -25, -29 for 30 drop-frame, -30), ticks per frame in the low byte; no
    // ticks would make every time undefined.
    if (division == 0 || ((division & 0x8000) && (division & 0xFF) == 0))
        r.fail("the time division is 0");
    if (division & 0x8000) {
        const int frames = 256 - static_cast<int>(division >> 8);
        if (frames != 24 && frames != 25 && frames != 29 && frames != 30)
            r.fail("the time division gives " + std::to_string(frames) +
                   " SMPTE frames a second (only 24, 25, 29 (30 drop-frame) and 30 exist)");
    }
    file->division = division;

    // Every track is read through once here, so that a fault anywhere is
    // found before the run; the cursor then meets none.
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
        const size_t first = r.at;
        int running = 0;
        while (r.at < end) {
            r.vlq(end);
            if (r.at >= end)
                r.fail("a track ends after a delta time");
            uint32_t value = 0;
            Event e = read_event(r, end, running, value);
            if (e == Event::kEnd)
                break;
            if (e == Event::kMessage)
                ++file->messages;
        }
        file->tracks.emplace_back(first, r.at);
        r.at = end;
    }
    return file;
}

// A tick's length in seconds is num / den: with ticks per quarter note,
// the tempo in microseconds over division * 1e6; with SMPTE frames, 1 over
// frames a second times ticks a frame, where 30 drop-frame (-29) is
// 30000/1001 frames a second. Times are kept as a count of 1/den seconds,
// exactly: a tick adds at most 2^28 (a delta time) * 2^24 (a tempo).
MidiFileCursor::MidiFileCursor(std::shared_ptr<const MidiFile> file, double rate)
    : file_(std::move(file)), rate_(static_cast<uint64_t>(std::llround(rate)))
{
    const uint32_t division = file_->division;
    if (division & 0x8000) {
        const uint64_t frames = 256 - (division >> 8), ticks = division & 0xFF;
        tick_num_ = frames == 29 ? 1001 : 1;
        den_ = (frames == 29 ? 30000 : frames) * ticks;
    } else {
        tick_num_ = 500000; // 120 quarters a minute until a tempo event
        den_ = uint64_t{division} * 1000000;
    }
    for (size_t i = 0; i < file_->tracks.size(); ++i) {
        auto [first, end] = file_->tracks[i];
        if (first >= end)
            continue;
        SmfReader r{file_->data, file_->what, first};
        uint64_t tick = r.vlq(end);
        heap_.push_back(Track{tick, r.at, end, static_cast<uint32_t>(i), 0});
    }
    std::make_heap(heap_.begin(), heap_.end(), [](const Track &a, const Track &b) {
        return later(a.tick, a.index, b.tick, b.index);
    });
}

uint64_t MidiFileCursor::clock() const
{
    // position * rate / den to the nearest sample, a time halfway between
    // two samples to the later one: floor((2 * b * rate + den) / (2 * den))
    // for the remainder b of the whole seconds a (2 * b * rate < 2^56).
    if (position_ >= kSaturated)
        return UINT64_MAX;
    const uint64_t a = position_ / den_, b = position_ % den_;
    if (a > (UINT64_MAX >> 1) / rate_)
        return UINT64_MAX;
    return a * rate_ + (2 * b * rate_ + den_) / (2 * den_);
}

bool MidiFileCursor::next(MidiIn &out)
{
    auto order = [](const Track &a, const Track &b) {
        return later(a.tick, a.index, b.tick, b.index);
    };
    while (!heap_.empty()) {
        std::pop_heap(heap_.begin(), heap_.end(), order);
        Track &t = heap_.back();
        const uint64_t tick = t.tick;
        SmfReader r{file_->data, file_->what, t.at};
        uint32_t value = 0;
        const Event e = read_event(r, t.end, t.running, value);
        if (e != Event::kEnd && r.at < t.end) {
            t.tick += r.vlq(t.end);
            t.at = r.at;
            std::push_heap(heap_.begin(), heap_.end(), order);
        } else {
            heap_.pop_back();
        }
        if (e == Event::kSkipped || e == Event::kEnd)
            continue;
        // A delta is below 2^28 (four bytes of seven bits) and a tick's
        // numerator below 2^24, so the step fits; a position past
        // kSaturated lies after every run and stays there.
        const uint64_t step = (tick - last_) * tick_num_;
        position_ = position_ >= kSaturated - step ? kSaturated : position_ + step;
        last_ = tick;
        if (e == Event::kTempo) {
            if (!(file_->division & 0x8000))
                tick_num_ = value;
            continue;
        }
        out = MidiIn{};
        out.time.seconds = static_cast<double>(position_) / static_cast<double>(den_);
        out.time.in_samples = true;
        out.time.samples = clock();
        out.message = static_cast<int32_t>(value);
        return true;
    }
    return false;
}

std::vector<MidiIn> read_midi_file(const std::string &path, const std::string &where, double rate)
{
    MidiFileCursor cursor(open_midi_file(path, where), rate);
    std::vector<MidiIn> out;
    for (MidiIn m; cursor.next(m);)
        out.push_back(m);
    return out;
}

} // namespace secli
