// loops.h - the reference loops the modules are measured against: a float
// copy and a float fill, each in several code placements.
#ifndef SE_BENCH_LOOPS_H
#define SE_BENCH_LOOPS_H

#include <cstdint>

namespace se_bench {

using CopyFn = void (*)(const float *in, float *out, int32_t n);
using FillFn = void (*)(float *out, float value, int32_t n);

// The same loop at different offsets from a 64-byte boundary: alignment
// alone changes a tight loop's speed up to twice, so the best is taken.
constexpr int kPlacements = 4;
extern const CopyFn kCopy[kPlacements];
extern const FillFn kFill[kPlacements];

} // namespace se_bench

#endif
