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

// fill(first, count, out): the samples of clocks first .. first + count - 1
// (wrapping as uint32_t) into out[0 .. count - 1]; the host's block form of
// a source.
using SourceFill = std::function<void(uint32_t first, uint32_t count, float *out)>;

struct Source {
    std::string text; // as written
    SourceFill fill;
    float sample(uint32_t clock) const // one sample, for checks
    {
        float v = 0.0f;
        fill(clock, 1, &v);
        return v;
    }
};

// A buffer of `size` samples that holds clock c at c % size: count samples
// from clock first copied out of it, or into it.
void read_ring(const float *ring, uint32_t size, uint32_t first, uint32_t count, float *out);
void write_ring(float *ring, uint32_t size, uint32_t first, uint32_t count, const float *in);

bool looks_like_source(const std::string &text);

// InputError naming `where` for a malformed text or an unreadable WAV file.
Source make_source(const std::string &text, double rate, uint64_t total, const std::string &where);

} // namespace secli

#endif
