// host_config.h - how the reference host behaves towards one instance.
#ifndef SEHOST_HOST_CONFIG_H
#define SEHOST_HOST_CONFIG_H

#include <cstdint>
#include <functional>
#include <optional>

namespace sehost {

struct HostConfig {
    float sample_rate = 44100.0f;  // MOD_SET_SAMPLE_RATE (opt)
    int32_t block_size = 1024;     // MOD_SET_BLOCK_SIZE (value); samples per block
    int32_t host_version = 100238; // answer to HOST_GET_VERSION
    int repeat_copies = 0;         // extra copies of an IO_REPEAT_LAST declaration
    // Answer to HOST_GET_PIN_COUNT instead of declared DSP pins + copies
    // (for tests of hosts that give fewer or more pins).  Must not be negative.
    std::optional<int32_t> pin_count;
    // Answer to HOST_IS_PIN_CONNECTED for a DSP pin; empty: connected_default.
    std::function<int32_t(int pin)> is_pin_connected;
    int32_t connected_default = 1;
    // GUI side: call GUI_OP_PIN_VALUE_CHANGED from inside the module's own
    // GUI_HOST_SET_PIN_VALUE / SET_PIN_TEXT, as a real host may.
    bool gui_echo = false;
    // Faults of the module found inside a callback (unknown pin, stamp in the
    // past, bad record) are always recorded (errors()); when this is set the
    // host call that ran the module then throws HostError with the first one.
    bool throw_on_module_error = true;
    // Floats of guard zone before and after every sample buffer; checked
    // after each process call (a write outside the block is an error).
    int32_t guard_samples = 64;
    // Keep the module's queries (HOST_GET_*, HOST_IS_PIN_CONNECTED) in the
    // request record too, not only their count; for a full trace of a run.
    bool record_queries = false;
    // Honour HOST_SLEEP: no process calls until the module's next event.
    // When clear, process is called for every stretch as if no sleep had
    // been asked (the request is still recorded).  Sleep only saves work, so
    // a module's outputs must come out the same either way.
    bool honour_sleep = true;
};

} // namespace sehost

#endif
