// midi_text.cpp - MIDI messages as hex bytes and readable lines, and the
// decoding of RPN/NRPN data entries.
#include "midi/midi_text.h"

#include <charconv>

#include "midi/midi_bytes.h"

namespace secli {

int midi_size(int32_t m)
{
    const int status = m & 0xFF;
    if (status < 0x80)
        return 3;
    const int data = midi_data_bytes(status);
    return data == kMidiRefused ? 1 : 1 + data; // F0 and F7 alone, F4, F5, F9, FD: the byte
}

size_t midi_hex(int32_t m, char *out)
{
    static const char *digits = "0123456789ABCDEF";
    char *p = out;
    for (int i = 0, n = midi_size(m); i < n; ++i) {
        int b = (m >> (8 * i)) & 0xFF;
        if (i)
            *p++ = ' ';
        *p++ = digits[b >> 4];
        *p++ = digits[b & 15];
    }
    return static_cast<size_t>(p - out);
}

std::string midi_hex(int32_t m)
{
    char buf[kMidiHexMax];
    return std::string(buf, midi_hex(m, buf));
}

namespace {

// Texts put together without printf's format parser (one per message).
struct TextOut {
    char *p;
    TextOut &operator<<(const char *s)
    {
        while (*s)
            *p++ = *s++;
        return *this;
    }
    TextOut &operator<<(int v)
    {
        p = std::to_chars(p, p + 12, v).ptr;
        return *this;
    }
};

} // namespace

size_t describe_midi(int32_t m, char *out)
{
    int status = m & 0xFF, d1 = (m >> 8) & 0x7F, d2 = (m >> 16) & 0x7F, ch = (status & 15) + 1;
    // Per kind of channel message: its name and the words before its data
    // bytes (pitch bend: one signed value of both).
    struct Kind {
        const char *head, *first, *second;
    };
    static const Kind kinds[] = {
        {"note off  ch ", " note ", " vel "},    {"note on   ch ", " note ", " vel "},
        {"poly AT   ch ", " note ", " value "},  {"control   ch ", " cc ", " value "},
        {"program   ch ", " program ", nullptr}, {"chan AT   ch ", " value ", nullptr},
        {"pitchbend ch ", " value ", nullptr},
    };
    TextOut t{out};
    const int kind = ((status & 0xF0) >> 4) - 8;
    if (kind < 0 || kind > 6) {
        static const char *digits = "0123456789ABCDEF";
        t << "system    ";
        *t.p++ = digits[status >> 4];
        *t.p++ = digits[status & 15];
        return static_cast<size_t>(t.p - out);
    }
    const Kind &k = kinds[kind];
    t << k.head << ch << k.first << (kind == 6 ? (d2 << 7 | d1) - 8192 : d1);
    if (k.second)
        t << k.second << d2;
    return static_cast<size_t>(t.p - out);
}

std::string describe_midi(int32_t m)
{
    char buf[kMidiTextMax];
    return std::string(buf, describe_midi(m, buf));
}

size_t describe_rpn(const RpnValue &v, char *out)
{
    TextOut t{out};
    t << (v.nrpn ? "NRPN" : "RPN") << " ch " << v.channel << " param " << v.param << " = "
      << v.value;
    return static_cast<size_t>(t.p - out);
}

bool RpnDecoder::feed(int32_t m, RpnValue &out)
{
    int status = m & 0xFF;
    if ((status & 0xF0) != 0xB0)
        return false;
    Channel &c = m_ch[status & 15];
    int cc = (m >> 8) & 0x7F, v = (m >> 16) & 0x7F;
    switch (cc) {
    case 101:
        c.rpn_msb = v;
        c.nrpn = false;
        c.data_msb = -1;
        return false;
    case 100:
        c.rpn_lsb = v;
        c.nrpn = false;
        c.data_msb = -1;
        return false;
    case 99:
        c.nrpn_msb = v;
        c.nrpn = true;
        c.data_msb = -1;
        return false;
    case 98:
        c.nrpn_lsb = v;
        c.nrpn = true;
        c.data_msb = -1;
        return false;
    case 6:
        c.data_msb = v;
        return false;
    case 38: {
        int msb = c.nrpn ? c.nrpn_msb : c.rpn_msb, lsb = c.nrpn ? c.nrpn_lsb : c.rpn_lsb;
        if (msb < 0 || lsb < 0)
            return false;
        out.nrpn = c.nrpn;
        out.channel = (status & 15) + 1;
        out.param = msb << 7 | lsb;
        out.value = (c.data_msb < 0 ? 0 : c.data_msb) << 7 | v;
        return true;
    }
    default:
        return false;
    }
}

std::string RpnDecoder::feed(int32_t m)
{
    RpnValue v;
    if (!feed(m, v))
        return {};
    char buf[kMidiTextMax];
    return std::string(buf, describe_rpn(v, buf));
}

} // namespace secli
