// midi_out.cpp - MIDI outputs as Standard MIDI Files, written here as the
// run goes (format 0, one track; time base in smf_time_base), and as a
// readable log with RPN/NRPN parameter changes decoded.
#include "midi/midi_out.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <numeric>

#include "common/errors.h"
#include "common/text.h"
#include "midi/midi_text.h"

namespace secli {

SmfTimeBase smf_time_base(double rate)
{
    // Pulses a second = ppqn * 1e6 / tempo; a pulse per sample needs
    // ppqn / tempo = rate / 1e6 in lowest terms, scaled towards 120 quarters
    // a minute (tempo 500000) as far as ppqn (15 bits) allows.
    if (rate >= 1 && rate <= 4e9 && rate == std::floor(rate)) {
        uint64_t r = static_cast<uint64_t>(rate), g = std::gcd(r, uint64_t{1000000});
        uint64_t ppqn = r / g, tempo = 1000000 / g;
        if (ppqn <= 32767) {
            uint64_t k = std::max<uint64_t>(
                1, std::min<uint64_t>(32767 / ppqn, (500000 + tempo / 2) / tempo));
            return SmfTimeBase{static_cast<int>(ppqn * k), static_cast<uint32_t>(tempo * k), true};
        }
    }
    return SmfTimeBase{25000, 500000, false};
}

namespace {

void put_be(std::FILE *f, uint64_t v, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        std::fputc(static_cast<int>((v >> (8 * i)) & 0xFF), f);
}

// A variable-length number (up to 0x0FFFFFFF); answers the bytes written.
int put_vlq(std::FILE *f, uint32_t v)
{
    unsigned char b[4];
    int n = 0;
    do {
        b[n++] = static_cast<unsigned char>(v & 0x7F);
        v >>= 7;
    } while (v);
    for (int i = n - 1; i >= 0; --i)
        std::fputc(b[i] | (i ? 0x80 : 0), f);
    return n;
}

constexpr uint32_t kMaxDelta = 0x0FFFFFFF;

// `text` right-aligned in `width` (or as it is, if longer), as printf pads.
void pad_left(std::string &out, const char *text, const char *end, size_t width)
{
    size_t n = static_cast<size_t>(end - text);
    if (n < width)
        out.append(width - n, ' ');
    out.append(text, end);
}

// One log line: "%9llu %10.5f  %-8s  %s\n" of clock, seconds, bytes and
// text, without the format parser (one line per message). Fixed notation
// with 5 decimals rounds the exact binary value as printf does.
void log_line(std::string &out, uint64_t stamp, double seconds, const char *bytes, size_t n_bytes,
              const char *text, size_t n_text)
{
    char buf[64];
    out.clear();
    pad_left(out, buf, std::to_chars(buf, buf + sizeof buf, stamp).ptr, 9);
    out += ' ';
    pad_left(out, buf,
             std::to_chars(buf, buf + sizeof buf, seconds, std::chars_format::fixed, 5).ptr, 10);
    out += "  ";
    out.append(bytes, n_bytes);
    if (n_bytes < 8)
        out.append(8 - n_bytes, ' ');
    out += "  ";
    out.append(text, n_text);
    out += '\n';
}

} // namespace

MidiOut::MidiOut(std::string smf_path, std::string log_path, double rate, std::string title)
    : m_smf_path(std::move(smf_path)), m_log_path(std::move(log_path)),
      m_title(terminal_text(title)), m_rate(rate) // a pin's name may hold any bytes
{
    SmfTimeBase base = smf_time_base(rate);
    m_ppqn = base.ppqn;
    m_exact = base.exact;
    m_smf = std::fopen(m_smf_path.c_str(), "wb");
    check(m_smf != nullptr, m_smf_path);
    m_log = std::fopen(m_log_path.c_str(), "w");
    if (!m_log) {
        std::fclose(m_smf);
        m_smf = nullptr;
        check(false, m_log_path);
    }
    std::fprintf(m_log, "# %s: clock in samples at %g Hz\n", m_title.c_str(), m_rate);
    std::fprintf(m_log, "#   clock     time_s  bytes     message\n");

    std::fwrite("MThd", 1, 4, m_smf);
    put_be(m_smf, 6, 4);
    put_be(m_smf, 0, 2); // format 0
    put_be(m_smf, 1, 2); // one track
    put_be(m_smf, static_cast<uint64_t>(m_ppqn), 2);
    std::fwrite("MTrk", 1, 4, m_smf);
    m_length_at = std::ftell(m_smf);
    put_be(m_smf, 0, 4); // the length, written at the end
    // at most 127 bytes, cut before a character that would not fit whole
    size_t cut = std::min<size_t>(m_title.size(), 127);
    while (cut < m_title.size() && (static_cast<unsigned char>(m_title[cut]) & 0xC0) == 0x80)
        --cut;
    std::string name = m_title.substr(0, cut);
    std::fputc(0, m_smf);
    std::fputc(0xFF, m_smf);
    std::fputc(0x03, m_smf); // track name
    std::fputc(static_cast<int>(name.size()), m_smf);
    std::fwrite(name.data(), 1, name.size(), m_smf);
    std::fputc(0, m_smf);
    std::fputc(0xFF, m_smf);
    std::fputc(0x51, m_smf); // tempo
    std::fputc(3, m_smf);
    put_be(m_smf, base.tempo_us, 3);
    m_track_bytes = 4 + name.size() + 7;
    check(!std::ferror(m_smf), m_smf_path);
}

MidiOut::~MidiOut()
{
    if (m_smf)
        std::fclose(m_smf);
    if (m_log)
        std::fclose(m_log);
}

void MidiOut::check(bool ok, const std::string &path)
{
    if (!ok)
        throw InputError(path + ": cannot write");
}

void MidiOut::add(uint64_t stamp, int32_t message)
{
    m_pending.push_back(Pending{stamp, m_order++, message});
    std::push_heap(m_pending.begin(), m_pending.end(), std::greater<>());
}

void MidiOut::advance(uint64_t clock)
{
    while (!m_pending.empty() && m_pending.front().stamp < clock) {
        std::pop_heap(m_pending.begin(), m_pending.end(), std::greater<>());
        Pending p = m_pending.back();
        m_pending.pop_back();
        write(p.stamp, p.message);
    }
}

void MidiOut::write(uint64_t stamp, int32_t msg)
{
    ++m_count;
    char bytes[kMidiHexMax], text[kMidiTextMax];
    double seconds = static_cast<double>(stamp) / m_rate;
    log_line(m_line, stamp, seconds, bytes, midi_hex(msg, bytes), text, describe_midi(msg, text));
    std::fwrite(m_line.data(), 1, m_line.size(), m_log);
    RpnValue decoded;
    if (m_rpn.feed(msg, decoded)) {
        std::memcpy(text, "=> ", 3);
        log_line(m_line, stamp, seconds, bytes, 0, text, 3 + describe_rpn(decoded, text + 3));
        std::fwrite(m_line.data(), 1, m_line.size(), m_log);
    }

    uint64_t tick = m_exact ? stamp : static_cast<uint64_t>(std::llround(seconds * m_ppqn * 2.0));
    uint64_t delta = tick - m_last_tick; // stamps come in order
    m_last_tick = tick;
    while (delta > kMaxDelta) { // a gap longer than one delta: empty text events bridge it
        m_track_bytes += put_vlq(m_smf, kMaxDelta) + 3;
        std::fputc(0xFF, m_smf);
        std::fputc(0x01, m_smf);
        std::fputc(0, m_smf);
        delta -= kMaxDelta;
    }
    m_track_bytes += put_vlq(m_smf, static_cast<uint32_t>(delta));
    int n = midi_size(msg), status = msg & 0xFF;
    bool channel = status >= 0x80 && status < 0xF0;
    for (int i = 1; i < n; ++i)
        channel = channel && ((msg >> (8 * i)) & 0x80) == 0;
    if (!channel) { // stored as an escape: its bytes as they are
        std::fputc(0xF7, m_smf);
        std::fputc(n, m_smf);
        m_track_bytes += 2;
    }
    for (int i = 0; i < n; ++i)
        std::fputc((msg >> (8 * i)) & 0xFF, m_smf);
    m_track_bytes += static_cast<uint64_t>(n);
    if (m_track_bytes > 0xFFFFFF00u)
        throw InputError(m_smf_path + ": too many messages for one MIDI file");
    if (std::ferror(m_smf) || std::ferror(m_log))
        throw InputError((std::ferror(m_smf) ? m_smf_path : m_log_path) + ": cannot write");
}

void MidiOut::close()
{
    if (!m_smf)
        return;
    advance(UINT64_MAX);
    std::fprintf(m_log, "# %llu messages\n", static_cast<unsigned long long>(m_count));
    std::fputc(0, m_smf); // end of track
    std::fputc(0xFF, m_smf);
    std::fputc(0x2F, m_smf);
    std::fputc(0, m_smf);
    m_track_bytes += 4;
    bool ok = std::fseek(m_smf, m_length_at, SEEK_SET) == 0;
    put_be(m_smf, m_track_bytes, 4);
    ok = !std::ferror(m_smf) && ok;
    ok = std::fclose(m_smf) == 0 && ok;
    m_smf = nullptr;
    bool log_ok = !std::ferror(m_log);
    log_ok = std::fclose(m_log) == 0 && log_ok;
    m_log = nullptr;
    check(ok, m_smf_path);
    check(log_ok, m_log_path);
}

} // namespace secli
