// fuzz_midi_file.cpp - sehost's reader of Standard MIDI Files on any bytes.
// A file is either refused with an InputError when it is read, or it is
// read whole and its cursor then gives exactly the channel messages the
// check counted, well formed and in time order, without meeting a fault.
// Anything else stops the run with "midi file fault: ..." (libFuzzer keeps
// the input); the sanitizers catch every read outside the bytes.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "common/errors.h"
#include "midi/midi_input.h"

namespace {

[[noreturn]] void fault(const char *why)
{
    std::fprintf(stderr, "midi file fault: %s\n", why);
    std::abort();
}

// Status 80 to EF, one or two data bytes under 80, nothing above them.
bool well_formed(uint32_t message)
{
    const uint32_t status = message & 0xFFu, d1 = (message >> 8) & 0xFFu,
                   d2 = (message >> 16) & 0xFFu;
    if (status < 0x80u || status > 0xEFu || (message >> 24) != 0 || d1 > 0x7Fu || d2 > 0x7Fu)
        return false;
    const bool one_byte = (status & 0xF0u) == 0xC0u || (status & 0xF0u) == 0xD0u;
    return !one_byte || d2 == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::shared_ptr<const secli::MidiFile> file;
    try {
        file =
            secli::read_midi_bytes(std::string(reinterpret_cast<const char *>(data), size), "fuzz");
    } catch (const secli::InputError &) {
        return 0; // refused when read, with its reason
    }
    secli::MidiFileCursor cursor(file, 768000);
    uint64_t count = 0, last_clock = 0;
    double last = 0.0;
    try {
        for (secli::MidiIn m; cursor.next(m); ++count) {
            if (!std::isfinite(m.time.seconds) || m.time.seconds < last)
                fault("a message's time is before the one ahead of it, or not finite");
            last = m.time.seconds;
            if (m.time.samples < last_clock)
                fault("a message's clock is before the one ahead of it");
            last_clock = m.time.samples;
            if (!well_formed(static_cast<uint32_t>(m.message)))
                fault("a message that is no well-formed channel message");
        }
    } catch (const secli::InputError &) {
        fault("the cursor met a fault the check on reading let through");
    }
    if (count != file->messages)
        fault("the cursor gave another number of messages than the check counted");
    return 0;
}
