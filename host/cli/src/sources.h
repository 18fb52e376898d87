// sources.h - host signal sources for audio inputs, in volts as users write
// them and in samples (1.0 = 10 V) as modules read them:
//   sine:FREQ[:VOLTS[:OFFSET]]   sine of peak VOLTS (default 5) around OFFSET volts
//   square:FREQ[:VOLTS[:OFFSET]] square of +-VOLTS, starting high
//   saw:FREQ[:VOLTS[:OFFSET]]    rising saw from -VOLTS to +VOLTS
//   const:VOLTS        a constant
//   ramp:FROM:TO       a straight line over the whole run
//   FILE.wav           the first channel of a WAV file (its samples as they
//                      are, then silence), read as the run goes
#ifndef SEHOST_CLI_SOURCES_H
#define SEHOST_CLI_SOURCES_H

#include <cstdint>
#include <functional>
#include <string>

namespace secli {

struct Source {
    std::string text;                      // as written
    std::function<float(uint32_t)> sample; // clock -> sample
};

bool looks_like_source(const std::string &text);

// InputError naming `where` for a malformed text or an unreadable WAV file.
Source make_source(const std::string &text, double rate, uint64_t total, const std::string &where);

} // namespace secli

#endif
