// pulse_counter_support.h - opening the counter in the reference host with
// a pulse train on its input, and reading back what it sent.
#ifndef PULSE_COUNTER_SUPPORT_H
#define PULSE_COUNTER_SUPPORT_H

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "float_bits.h"
#include "plugin_library.h"
#include "sehost/sehost.h"

namespace pc {

using se_test::from_bits;

// DSP pin indices.
enum Pin { kIn, kStart, kEnd, kStep, kMode, kReset, kOut, kActive, kSeed, kHumanise, kShift };
enum Mode { kForward, kBack, kFwdBack, kBackFwd, kRandom, kFwdBack2, kBackFwd2 };
const char *const kModeNames[] = {"Forward", "Back",      "Fwd+Back", "Back+Fwd",
                                  "Random",  "Fwd+Back2", "Back+Fwd2"};

inline std::shared_ptr<sehost::Library> library()
{
    return se_test::plugin_library("pulse_counter");
}

// One cycle every kPeriod samples, completed at clock kFirst + k * kPeriod.
constexpr uint32_t kPeriod = 16;
constexpr uint32_t kFirst = 8;
inline float pulses(uint32_t clock)
{
    return clock % kPeriod == kFirst ? 0.5f : 0.0f;
}
inline uint32_t cycle_clock(uint32_t k)
{
    return kFirst + k * kPeriod;
}

// Pin values before open; the seed stays at its default unless given.
struct Settings {
    int start = 1;
    int end = 8;
    int step = 1;
    int mode = kForward;
    int reset = 0;
    int active = 1;
    std::optional<float> seed;
    float humanise = 0.0f; // samples: 1.0 = 10 ms
    float shift = 0.0f;
};

// Block of 64 samples: four cycles of the pulse train per process call.
inline sehost::HostConfig small_blocks()
{
    sehost::HostConfig config;
    config.block_size = 64;
    return config;
}

inline std::unique_ptr<sehost::DspInstance>
open_counter(const Settings &s, std::function<float(uint32_t)> input = pulses,
             sehost::HostConfig config = small_blocks())
{
    auto dsp = std::make_unique<sehost::DspInstance>(library(), config);
    dsp->set_value(kStart, s.start);
    dsp->set_value(kEnd, s.end);
    dsp->set_value(kStep, s.step);
    dsp->set_value(kMode, s.mode);
    dsp->set_value(kReset, s.reset);
    dsp->set_value(kActive, s.active);
    if (s.seed)
        dsp->set_value(kSeed, *s.seed);
    dsp->set_value(kHumanise, s.humanise);
    dsp->set_value(kShift, s.shift);
    dsp->set_source(kIn, std::move(input));
    dsp->open();
    return dsp;
}

struct Send {
    uint32_t stamp;
    int index;
};

inline std::vector<Send> sends(const sehost::DspInstance &dsp)
{
    std::vector<Send> out;
    for (const sehost::StatusOut &s : dsp.statuses())
        if (s.pin == kOut)
            out.push_back({s.stamp, s.value ? static_cast<int>(*s.value) : -9999});
    return out;
}

inline std::vector<int> indices(const sehost::DspInstance &dsp)
{
    std::vector<int> out;
    for (const Send &s : sends(dsp))
        out.push_back(s.index);
    return out;
}

// Runs n periods of the pulse train (n cycles) from the current clock.
inline void run_cycles(sehost::DspInstance &dsp, uint32_t n)
{
    dsp.run(n * kPeriod);
}

inline int16_t pin_variable(const sehost::DspInstance &dsp, int pin)
{
    int16_t v;
    std::memcpy(
        &v,
        reinterpret_cast<const void *>(dsp.dsp_pins()[static_cast<size_t>(pin)].variable_address),
        sizeof v);
    return v;
}

} // namespace pc

#endif
