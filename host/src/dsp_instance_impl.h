// dsp_instance_impl.h - what the files of DspInstance share: the state the
// host keeps per pin and per instance, the call scope, the guard words and
// the typed access to pin variables.
#ifndef SEHOST_DSP_INSTANCE_IMPL_H
#define SEHOST_DSP_INSTANCE_IMPL_H

#include <cstdint>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "sehost/dsp_instance.h"
#include "sehost/event_queue.h"
#include "sehost/stretch_planner.h"

namespace sehost {

struct DspInstance::Queued {
    TimedEvent event;
    bool write; // write `value` into the pin first (set_value)
    double value;
};

namespace dsp {

// What the host keeps for one DSP pin.
struct PinState {
    std::vector<float> memory;             // audio pins: the block with its guard zones
    float *buffer = nullptr;               // sample 0 of the block (audio pins, from open on)
    std::optional<double> initial;         // value stored before open
    std::optional<int32_t> initial_status; // status stored before open
    DspInstance::SourceFill source;        // audio input fed a block at a time
    std::optional<float> held;             // audio input holding one value
    bool capturing = false;
    std::vector<float> captured;
};

// Inside a call into the module for its lifetime: requests are answered at
// the call's clock and recorded with its phase.
struct CallScope {
    CallScope(bool &flag, Phase &phase, Phase now) : m_flag(flag), m_phase(phase), m_saved(phase)
    {
        m_flag = true;
        m_phase = now;
    }
    ~CallScope()
    {
        m_flag = false;
        m_phase = m_saved;
    }
    bool &m_flag;
    Phase &m_phase;
    Phase m_saved;
};

// The host callback given to makeModule (see dsp_requests.cpp).
se_result SE_CALL dsp_callback(void *plug, int32_t op, int32_t index, int32_t value, void *ptr,
                               float opt);

// ---- guard zones (dsp_guards.cpp)
constexpr uint32_t kGuardBits = 0x7FE5A5A5u; // a quiet NaN no module computes

// Nonzero if the word at p is not the guard bits.
inline uint32_t guard_word(const float *p)
{
    uint32_t word;
    std::memcpy(&word, p, sizeof word);
    return word ^ kGuardBits;
}

// `memory` laid out as a guard zone, a zeroed block and a guard zone;
// answers the block's sample 0.
float *guarded_block(std::vector<float> &memory, size_t block, size_t guard);

// ---- pins and their variables (dsp_pins.cpp)
// "<library>: DSP pin 3 "Name"", for messages.
std::string pin_label(const std::string &path, const std::vector<PinDecl> &pins, const DspPin &p);
// The value a pin starts with when nothing was stored: its default text
// read as the modules write it (audio defaults are volts: answered in
// samples).  HostError if the text is no value.
double default_value(const std::string &path, const PinDecl &d);
// A value into the pin's variable, or the variable's value, by data type
// (choice 16-bit, bool 8-bit, float 32-bit, word 32-bit).
void write_variable(const DspPin &p, double v);
std::optional<double> read_variable(const DspPin &p);
// Every audio pin's buffer address into its variable.
void write_buffer_addresses(const std::vector<DspPin> &pins, const std::vector<PinState> &states);

} // namespace dsp

struct DspInstance::Impl {
    int32_t pin_count = 0;
    Phase phase = Phase::Create;
    bool in_call = false;
    uint32_t call_clock = 0;
    std::vector<dsp::PinState> pins; // per DSP pin
    EventQueue<Queued> queue;
    std::optional<uint32_t> prepared_block;
    StretchPlanner split;
    std::exception_ptr deferred; // thrown on the host's side inside a request
    // guard zones
    std::vector<size_t> audio_pins; // DSP indices of the pins with a buffer
    std::vector<float *> buffers;   // their buffers, in the same order
    bool guards_unchecked = false;  // process calls since the last whole check
    std::vector<size_t> capturing;  // DSP indices of the captured pins
};

} // namespace sehost

#endif
