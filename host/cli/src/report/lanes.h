// lanes.h - the report's lanes stay bounded whatever the run's length or
// traffic. The run is cut into kBuckets time buckets; once a lane
// holds twice its bound it is compacted: a value lane keeps, per bucket, its
// first, lowest, highest and last step (the plot's envelope); a MIDI lane
// keeps per bucket its first kMarksPerBucket messages, RPN/NRPN parameter
// messages whole or not at all, so that every label the report decodes
// from them is one the module sent.
#ifndef SEHOST_CLI_LANES_H
#define SEHOST_CLI_LANES_H

#include <cstddef>
#include <cstdint>

#include "report/record.h"

namespace secli {

constexpr size_t kStepsPerBucket = 4;
constexpr size_t kMarksPerBucket = 16;

// `total`: the run's length in samples (for the buckets).
void add_step(Trace &t, uint64_t clock, double value, uint64_t total);
void add_mark(Trace &t, uint64_t clock, int32_t message, uint64_t total);

} // namespace secli

#endif
