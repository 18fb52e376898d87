// text.cpp - UTF-8 checked and control bytes escaped.
#include "common/text.h"

#include <cstdio>

namespace secli {
namespace {

// The length of the UTF-8 character at text[at], or 0 if none starts there
// (then `bad` is the length of the piece to replace: the lead byte and the
// continuation bytes that still fit it).
size_t character(std::string_view text, size_t at, size_t &bad)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    bad = 1;
    if (lead < 0x80)
        return 1;
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF; // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 3;
        if (lead == 0xE0)
            lo = 0xA0; // no overlong forms
        if (lead == 0xED)
            hi = 0x9F; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 4;
        if (lead == 0xF0)
            lo = 0x90;
        if (lead == 0xF4)
            hi = 0x8F; // nothing above U+10FFFF
    } else {
        return 0;
    }
    for (size_t i = 1; i < need; ++i) {
        if (at + i >= text.size())
            return 0;
        const unsigned char b = byte(at + i);
        if (b < (i == 1 ? lo : 0x80) || b > (i == 1 ? hi : 0xBF))
            return 0;
        bad = i + 1;
    }
    return need;
}

} // namespace

std::string valid_utf8(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        size_t bad;
        const size_t n = character(text, at, bad);
        if (n) {
            out.append(text.substr(at, n));
            at += n;
        } else {
            out += "\xEF\xBF\xBD";
            at += bad;
        }
    }
    return out;
}

std::string terminal_text(std::string_view text, bool keep_newlines)
{
    const std::string valid = valid_utf8(text);
    std::string out;
    out.reserve(valid.size());
    for (size_t at = 0; at < valid.size(); ++at) {
        const unsigned char c = static_cast<unsigned char>(valid[at]);
        // U+0080 to U+009F are C2 80 to C2 9F
        const bool c1 =
            c == 0xC2 && at + 1 < valid.size() && static_cast<unsigned char>(valid[at + 1]) <= 0x9F;
        if ((c < 0x20 && !(c == '\n' && keep_newlines)) || c == 0x7F || c1) {
            const unsigned code = c1 ? static_cast<unsigned char>(valid[++at]) : c;
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", code);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string terminal_line(std::string_view text)
{
    if (text.size() <= kMaxLineBytes)
        return terminal_text(text);
    std::string line = terminal_text(text.substr(0, kMaxLineBytes));
    // the cut may have split a character, now one U+FFFD at the end: fine
    return line + " [... " + std::to_string(text.size() - kMaxLineBytes) + " more bytes]";
}

} // namespace secli
