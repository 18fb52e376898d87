// envelope.h - the report's envelope of an audio lane: the least and the
// greatest sample of each stretch, in volts.
#ifndef SEHOST_CLI_ENVELOPE_H
#define SEHOST_CLI_ENVELOPE_H

#include <cstddef>

namespace secli {

// Widens [lo, hi] by the finite samples (times 10: volts) of a run, with the
// result a float at a time would give: lo = min(lo, v) and hi = max(hi, v)
// in order (the first of equal values kept, so a zero keeps the sign of the
// first zero that reached it), not-a-number and infinite samples skipped.
void widen_envelope(const float *samples, size_t count, float &lo, float &hi);

} // namespace secli

#endif
