// cv_to_rpn - MIDI RPN/NRPN messages from a gate and control voltages.
//
// A rising gate sends one complete parameter message (parameter number MSB
// and LSB, data entry MSB and LSB) for the current channel, parameter number
// and value.  While the gate stays positive, a change of channel, parameter
// number or RPN/NRPN selection, or the start of a Value CV movement, sends a
// complete message again; other value changes send only the data entry bytes
// that changed.  Everything happens sample by sample in the process function.
//
// DSP side only: there is no GUI object.
#include <cstring>
#include <iterator>

#include "SEModule_base.h"
#include "se_module_exports.h"
#include "se_pin_table.h"

namespace {

const char *const kAbout =
    "XT_CVto(N)RPN V1.1.2\n"
    "Module pack edition, free to use in any patch.\n"
    "Feedback and bug reports are welcome.\n"
    "\n"
    "Summary: Sends MIDI RPN or NRPN messages in response to control voltage inputs.\n"
    "\n"
    "Inputs:\n"
    "\tGate: a change from 0 to positive sends one message with the current\n"
    "\tChannel, Parameter# and Value. While the gate is kept positive a message\n"
    "\tgoes out for every change of Channel, Parameter# or Value.\n"
    "\n"
    "\tParameter# CV: the parameter number in CV mode; 0 volts gives 0,\n"
    "\t10 volts gives 16383.\n"
    "\n"
    "\tParameter#: the parameter number in List mode, 0 to 16383.\n"
    "\n"
    "\tValue CV: the value to send; 0 volts gives 0, 10 volts gives 16383.\n"
    "\n"
    "\tChannel: the MIDI channel, 1 to 16.\n"
    "\n"
    "\tRPN/NRPN: send Registered (RPN) or Non-Registered (NRPN) parameter numbers.\n"
    "\n"
    "Output:\n"
    "\tMIDI Out: the parameter and data entry control changes.\n"
    "\n"
    "Parameters\n"
    "\tParameter# Select Mode: take the parameter number from the list entry\n"
    "\t(List) or from the Parameter# CV input (CV).\n"
    "\n"
    "\tBit Depth: the resolution of the value, 7 to 14 bits. Use the lowest\n"
    "\tdepth that gives smooth operation: full resolution can flood the host\n"
    "\twith MIDI messages.\n"
    "\n";

const se_sdk::ModuleIdentity kIdentity = {"XT_CVto(N)RPN",
                                          "tavenor CVto(N)RPN",
                                          kAbout,
                                          0,
                                          2230,
                                          /*revision_for_every_index=*/true};

constexpr const char *kChannelList = "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16";

constexpr int32_t kMaxValue = 16383; // 14 bits: 0 V gives 0, 10 V gives 16383
constexpr int32_t kMaxChannel = 15;

// Top n bits of a 14-bit number for a depth of n = 7..14 bits.
const int16_t bit_depth_masks[8] = {0x3F80, 0x3FC0, 0x3FE0, 0x3FF0, 0x3FF8, 0x3FFC, 0x3FFE, 0x3FFF};

// Control change numbers.
constexpr int32_t kRpnMsb = 101, kRpnLsb = 100;
constexpr int32_t kNrpnMsb = 99, kNrpnLsb = 98;
constexpr int32_t kDataEntryMsb = 6, kDataEntryLsb = 38;

// A control voltage sample (1.0 = 10 V) as a 14-bit number: the product
// with 16383 rounded toward zero to a float, plus 0.5, truncated.  Samples at
// or below 0 V (and not-a-number) give 0, samples at or above 10 V give
// 16383.
//
// Computed exactly without the float rounding: for x in (0, 1) the double
// product p = x * 16383 is exact (24 + 14 bits), and rounding p toward zero
// to a float f changes nothing after the half-up rounding: every n - 0.5
// (n <= 16383) is itself a float, so f >= n - 0.5 exactly when p >= n - 0.5.
// p + 0.5 is exact for x >= 2^-16, and below that the result is 0 either
// way.  The range tests read the bit pattern as a signed integer, so a
// subnormal, infinite or not-a-number sample never reaches the arithmetic.
int32_t scale(float x)
{
    int32_t b;
    std::memcpy(&b, &x, sizeof b);
    if (b < 0x37800000) // negative (and -NaN), zero, or below 2^-16: 0
        return 0;
    if (b >= 0x3F800000) // 1.0 and above; +NaN gives 0
        return b > 0x7F800000 ? 0 : kMaxValue;
    return static_cast<int32_t>(static_cast<double>(x) * kMaxValue + 0.5);
}

template <class T> T clamp_to(T value, T low, T high)
{
    return value < low ? low : (value > high ? high : value);
}

// Packed MIDI message: status in bits 0-7, data bytes in bits 8-15 and 16-23.
int32_t control_change(int32_t channel, int32_t controller, int32_t data)
{
    return (0xB0 + channel) | (controller << 8) | (data << 16);
}

} // namespace

class Module : public SEModule_base
{
    // ---- pins ----------------------------------------------------------------
    enum Pin : int32_t {
        kGate,
        kParameterCv,
        kParameter,
        kValueCv,
        kChannel,
        kRpnMode,
        kMidiOut,
        kSelectMode,
        kBitDepth,
        kPinCount
    };

    // Kept in the object's own member order, which is not the table's: the
    // pin variables' addresses rise in this order.
    float *m_gate_in = nullptr;
    float *m_parameter_cv_in = nullptr;
    float *m_value_cv_in = nullptr;
    int16_t m_parameter = 1;
    int16_t m_channel = 0;
    int16_t m_rpn_mode = 0;
    int16_t m_select_mode = 0;
    int16_t m_bit_depth = 3;

    // Audio-rate inputs carry IO_AUDIO_HINT, which the host reads.
    static constexpr se_sdk::PinSpec kPins[] = {
        {"Gate", DR_IN, DT_FSAMPLE, SE_FIELD(Module, m_gate_in), "0", nullptr, IO_AUDIO_HINT},
        {"Parameter# CV", DR_IN, DT_FSAMPLE, SE_FIELD(Module, m_parameter_cv_in), "0", nullptr,
         IO_AUDIO_HINT},
        {"Parameter#", DR_IN, DT_CHOICE, SE_FIELD(Module, m_parameter), "1", "range:0,16383", 0},
        {"Value CV", DR_IN, DT_FSAMPLE, SE_FIELD(Module, m_value_cv_in), "0", nullptr,
         IO_AUDIO_HINT},
        {"Channel", DR_IN, DT_CHOICE, SE_FIELD(Module, m_channel), "0", kChannelList, 0},
        {"RPN/NRPN", DR_IN, DT_CHOICE, SE_FIELD(Module, m_rpn_mode), "0", "RPN,NRPN", 0},
        {"MIDI Out", DR_OUT, DT_MIDI, nullptr, nullptr, nullptr, 0},
        {"Parameter# Select Mode", DR_SETTING, DT_CHOICE, SE_FIELD(Module, m_select_mode), "0",
         "List,CV", 0},
        {"Bit Depth", DR_SETTING, DT_CHOICE, SE_FIELD(Module, m_bit_depth), "3",
         "7,8,9,10,11,12,13,14", 0},
    };
    static_assert(std::size(kPins) == kPinCount, "one name per pin");

public:
    Module(se_host_callback callback, void *host_data) : SEModule_base(callback, host_data) {}

    bool QueryPinProperties(int32_t number, SEPinProperties *p) override
    {
        return se_sdk::describe_pin(kPins, number, this, p);
    }

    void Open() override
    {
        SEModule_base::Open();
        InstallProcess<&Module::process_block>();
        m_hold = 10;
    }

    void process_block(int32_t start, int32_t count)
    {
        // The stretch at clock 0 is left alone (and so is everything when
        // there is no host to ask for the clock).
        if (SampleClock() == 0)
            return;
        if (m_select_mode == 0)
            process_list_mode(start, count);
        else if (m_select_mode == 1)
            process_cv_mode(start, count);
        else
            return; // unknown mode: nothing sent, no sleep
        if (m_moving == 0)
            CallHost(HOST_SLEEP);
    }

    void process_list_mode(int32_t start, int32_t count) { run<false>(start, count); }
    void process_cv_mode(int32_t start, int32_t count) { run<true>(start, count); }

private:
    // The per-sample loop of both modes; they differ only in where the
    // parameter number comes from.  Settings change only between calls (the
    // host writes them with an event), so they are read once per call.  The
    // quantised value and the parameter number matter only while the gate
    // is positive (and the value of the last sample, for the next call), so
    // with the gate off a sample costs the activity test and the gate test.
    template <bool CvMode> void run(int32_t start, int32_t count)
    {
        const uint32_t t0 = SampleClock();
        const float *value_in = m_value_cv_in + start;
        const float *gate_in = m_gate_in + start;
        const float *parameter_in = CvMode ? m_parameter_cv_in + start : nullptr;
        // Wired from other modules, settings may leave their lists: keep them
        // inside the parameter range, the mask table and the channel nibble.
        const int32_t list_parameter = clamp_to<int32_t>(m_parameter, 0, kMaxValue);
        const int32_t mask = bit_depth_masks[clamp_to<int32_t>(m_bit_depth, 0, 7)];
        const int32_t channel = clamp_to<int32_t>(m_channel, 0, kMaxChannel);

        float last_sample = m_last_value_sample;
        float last_gate = m_last_gate;
        int32_t hold_countdown = m_hold_countdown;
        int32_t moving = m_moving;
        int32_t was_moving = m_was_moving;
        int32_t last_value = m_last_value;
        bool last_value_known = true; // last_value is the previous sample's
        bool settled = false;         // a sample of this call went through the rules
        for (int32_t i = 0; i < count; ++i) {
            if (!(gate_in[i] > 0.0f)) {
                // A stretch with the gate off sends nothing: only the
                // activity state at its end matters.
                const int32_t end = gate_off_end(gate_in, i, count);
                track_activity(value_in, i, end, last_sample, hold_countdown, moving);
                last_gate = gate_in[end - 1];
                was_moving = moving;
                last_value_known = false;
                i = end - 1;
                continue;
            }
            const float v = value_in[i];
            const float g = gate_in[i];
            // Activity of the raw Value CV: moving from a change until it has
            // held still for m_hold further samples.
            const bool same = v == last_sample;
            if (same) {
                moving = hold_countdown > 0 ? 1 : 0;
                hold_countdown -= moving;
            } else {
                hold_countdown = m_hold;
                moving = 1;
                last_sample = v;
            }
            // Once a sample of this call has been through the rules with the
            // gate open, the settings match what was last sent; a sample that
            // repeats the previous open-gate sample's Value CV (and parameter
            // CV) then sends nothing: no rise, no new movement, no new number.
            if (g > 0.0f && settled && same && last_gate > 0.0f &&
                (!CvMode || parameter_in[i] == parameter_in[i - 1])) {
                last_gate = g;
                was_moving = moving;
                continue;
            }
            if (g > 0.0f) {
                settled = true;
                if (!last_value_known) // only after a sample of this call
                    last_value = scale(value_in[i - 1]) & mask;
                const int32_t value = scale(v) & mask;
                const int32_t parameter = CvMode ? scale(parameter_in[i]) : list_parameter;
                const uint32_t time = t0 + static_cast<uint32_t>(i);
                // A previous not-a-number gate is neither positive nor a rise.
                const bool complete = last_gate <= 0.0f || (moving == 1 && was_moving == 0) ||
                                      parameter != m_last_parameter || channel != m_last_channel ||
                                      m_rpn_mode != m_last_rpn_mode;
                if (complete) {
                    m_last_value_msb = -1;
                    m_last_channel = static_cast<int16_t>(channel);
                    m_last_rpn_mode = m_rpn_mode;
                    m_last_parameter = parameter;
                    send_complete(time, channel, parameter, value);
                } else if (value != last_value) {
                    if ((value >> 7) != m_last_value_msb) {
                        send(time, control_change(channel, kDataEntryMsb, value >> 7));
                        m_last_value_msb = static_cast<int16_t>(value >> 7);
                    }
                    send(time, control_change(channel, kDataEntryLsb, value & 0x7F));
                }
                last_value = value;
                last_value_known = true;
            } else {
                last_value_known = false;
            }
            last_gate = g;
            was_moving = moving;
        }
        m_last_value_sample = last_sample;
        m_last_gate = last_gate;
        m_hold_countdown = hold_countdown;
        m_moving = moving;
        m_was_moving = was_moving;
        m_last_value = last_value_known ? last_value : scale(value_in[count - 1]) & mask;
    }

    // The first sample at or after `from` whose gate is positive, or `count`.
    // Blocks of eight are tested whole (no early exit inside, so the test
    // needs no branch per sample).
    static int32_t gate_off_end(const float *gate, int32_t from, int32_t count)
    {
        int32_t i = from;
        for (; i + 8 <= count; i += 8) {
            int any = 0;
            for (int32_t k = 0; k < 8; ++k)
                any |= gate[i + k] > 0.0f;
            if (any)
                break;
        }
        while (i < count && !(gate[i] > 0.0f))
            ++i;
        return i;
    }

    // The Value CV's activity over samples [from, end), as the per-sample
    // rule leaves it: a sample that differs from the last one (not-a-number
    // always does) restarts the hold; each equal sample after it is still
    // "moving" while the countdown was above zero, and counts it down.  So
    // only the last change matters, and after it n equal samples leave
    // moving = (hold - (n - 1) > 0) and the countdown at max(hold - n, 0).
    void track_activity(const float *value, int32_t from, int32_t end, float &last_sample,
                        int32_t &hold_countdown, int32_t &moving) const
    {
        int32_t change = end; // the last sample that differs from its predecessor
        int32_t k = end;
        for (; k - 8 >= from + 1; k -= 8) {
            int any = 0;
            for (int32_t j = k - 8; j < k; ++j)
                any |= !(value[j] == value[j - 1]);
            if (any)
                break;
        }
        for (int32_t j = k - 1; j > from && change == end; --j)
            if (!(value[j] == value[j - 1]))
                change = j;
        if (change == end && !(value[from] == last_sample))
            change = from;
        int32_t countdown = hold_countdown;
        int32_t still = end - from; // equal samples at the end of the stretch
        if (change != end) {
            last_sample = value[change];
            countdown = m_hold;
            moving = 1;
            still = end - 1 - change;
        }
        if (still > 0) {
            moving = countdown - (still - 1) > 0 ? 1 : 0;
            countdown = countdown > still ? countdown - still : 0;
        }
        hold_countdown = countdown;
    }

    void send_complete(uint32_t time, int32_t channel, int32_t parameter, int32_t value)
    {
        const bool rpn = m_rpn_mode == 0;
        send(time, control_change(channel, rpn ? kRpnMsb : kNrpnMsb, parameter >> 7));
        send(time, control_change(channel, rpn ? kRpnLsb : kNrpnLsb, parameter & 0x7F));
        send(time, control_change(channel, kDataEntryMsb, value >> 7));
        send(time, control_change(channel, kDataEntryLsb, value & 0x7F));
    }

    void send(uint32_t time, int32_t message) { PinAt(kMidiOut)->SendMidi(time, message); }

    float m_last_gate = 0.0f;
    int16_t m_last_channel = -1;
    int16_t m_last_value_msb = -1;
    int32_t m_last_value = -1;
    int32_t m_last_parameter = -1;
    int32_t m_last_rpn_mode = -1;
    float m_last_value_sample = 0.0f;
    int32_t m_moving = 0;
    int32_t m_was_moving = 0;
    int32_t m_hold = 0; // samples of activity hold; set by Open
    int32_t m_hold_countdown = 0;
};

SE_MODULE_EXPORTS(kIdentity, Module, void)
