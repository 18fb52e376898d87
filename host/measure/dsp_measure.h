// dsp_measure.h - hooks that time parts of a DSP side's run by themselves,
// for the benchmarks and the tests of the hooks; not part of the host's
// interface (the SDK package does not install this header).
#ifndef SEHOST_DSP_MEASURE_H
#define SEHOST_DSP_MEASURE_H

#include <cstdint>

#include "sehost/dsp_instance.h"

namespace sehost {

struct DspMeasure {
    // One call of the process entry for block samples offset .. offset +
    // count - 1, inside the host's call scope as run() makes it, and nothing
    // else: no events, sources, sleep, guard check or clock step.  For
    // measuring what a module's process path costs by itself.
    static void process_only(DspInstance &inst, int32_t offset, int32_t count);
    // `n` requests through the host callback, answered as if the module made
    // them from inside one process call at the current clock, the k-th with
    // the time stamp clock() + k: what a module's request costs the host by
    // itself (the callback and its answer, without the module's side).
    static void requests_in_process(DspInstance &inst, int32_t op, int32_t index, int32_t value,
                                    uint32_t n);
};

} // namespace sehost

#endif
