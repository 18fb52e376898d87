// sine_fill.h - the sine source's samples, a block at a time:
//   out[i] = (float)(offset + amp * sin(2 * M_PI * fraction(clock * step)))
// with clock = first + i (wrapping as uint32_t) and sin the C library's, bit
// for bit, at a fraction of the library's cost (see sine_fill.cpp).
#ifndef SEHOST_CLI_SINE_FILL_H
#define SEHOST_CLI_SINE_FILL_H

#include <cstddef>
#include <cstdint>

namespace secli {

struct SineWave {
    double amp;    // peak, in samples (1.0 = 10 V)
    double step;   // cycles per sample: frequency / rate, in (0, 0.5)
    double offset; // in samples
};

// The sample by the formula above, through the C library's sin.
float sine_sample(const SineWave &w, uint32_t clock);

// The samples of clocks first .. first + count - 1 into out; returns how
// many of them needed sine_sample (see sine_fill.cpp: rare).
size_t fill_sine(const SineWave &w, uint32_t first, uint32_t count, float *out);

// fill_sine with its safety margin scaled and a constant error added to its
// polynomial: for tests that show the check is what keeps the samples exact
// (fill_sine is this with 1 and 0).
size_t fill_sine_tuned(const SineWave &w, uint32_t first, uint32_t count, float *out,
                       double margin_scale, double polynomial_error);

} // namespace secli

#endif
