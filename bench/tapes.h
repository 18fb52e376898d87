// tapes.h - input signals for the benchmarks, as long tapes that never
// repeat within a measurement (a short repeated block would be learnt by
// the branch predictor and hide the cost of unpredictable input).
#ifndef SE_BENCH_TAPES_H
#define SE_BENCH_TAPES_H

#include <cstdint>
#include <string>
#include <vector>

namespace se_bench {

enum class Kind { Constant, SineSlow, SineFast, Noise, Pulses, Subnormal, NotANumber, Infinite };

// Every kind a varied input is measured with, and its name in the table.
extern const Kind kKinds[8];
const char *kind_name(Kind kind);

// Samples per measurement, and the tape length (a power of two, several
// measurements long, so successive runs start at different places).
constexpr uint32_t kRunSamples = 1u << 18;
constexpr uint32_t kTapeSamples = 1u << 21;

// The tape of a kind, made once.  Sines swing between -amplitude and
// +amplitude around `offset`; the abnormal kinds keep the sign pattern of
// the slow sine, at subnormal size, as not-a-number or as infinity.  They
// are compared with the slow sine and with Constant, their normal
// counterpart: offset + amplitude or offset - amplitude as the slow sine's
// sign says, so held between its sign changes as they are.  Pulses:
// `amplitude` for one sample in eight, else 0.
struct TapeShape {
    float amplitude = 1.0f;
    float offset = 0.0f;
};
const std::vector<float> &tape(Kind kind, TapeShape shape = {});

} // namespace se_bench

#endif
