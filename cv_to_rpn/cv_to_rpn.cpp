// cv_to_rpn - MIDI RPN/NRPN messages from a gate and control voltages.
//
// A rising gate sends one complete parameter message (parameter number MSB
// and LSB, data entry MSB and LSB) for the current channel, parameter number
// and value.  While the gate stays positive, a change of channel, parameter
// number or RPN/NRPN selection, or the start of a Value CV movement, sends a
// complete message again; other value changes send only the data entry bytes
// that changed.  Everything happens sample by sample in the process function.
// At the end of a stretch the module asks to sleep once the Value CV holds
// still and no input it reads streams (a streaming input brings no event to
// wake it).
//
// DSP side only: there is no GUI object.
#include <cstring>
#include <iterator>

#include "SEModule_base.h"
#include "quantise.h"
#include "se_module_exports.h"
#include "se_pin_table.h"

namespace {

constexpr const char *kChannelList = "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16";

using cv_rpn::kMaxValue;
constexpr int32_t kMaxChannel = 15;

// Top n bits of a 14-bit number for a depth of n = 7..14 bits.
const int16_t bit_depth_masks[8] = {0x3F80, 0x3FC0, 0x3FE0, 0x3FF0, 0x3FF8, 0x3FFC, 0x3FFE, 0x3FFF};

// Control change numbers.
constexpr int32_t kRpnMsb = 101, kRpnLsb = 100;
constexpr int32_t kNrpnMsb = 99, kNrpnLsb = 98;
constexpr int32_t kDataEntryMsb = 6, kDataEntryLsb = 38;

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
        if (m_carry.moving == 0 && !reads_streaming_input())
            CallHost(HOST_SLEEP);
    }

    void process_list_mode(int32_t start, int32_t count) { run<false>(start, count); }
    void process_cv_mode(int32_t start, int32_t count) { run<true>(start, count); }

private:
    // Whether an input the mode reads streams (its last received status): a
    // streaming input brings no event, so a sleeping module would miss its
    // gate rises and movements.
    bool reads_streaming_input()
    {
        const bool cv_mode = m_select_mode == 1;
        for (int32_t pin : {kGate, kValueCv, kParameterCv})
            if ((pin != kParameterCv || cv_mode) && PinAt(pin)->Status() == STATUS_STREAMING)
                return true;
        return false;
    }

    // What the rules carry from one sample to the next (and from one call to
    // the next): the Value CV's activity, the gate, the quantised value and
    // what the last complete message said.
    struct Carry {
        float last_sample = 0.0f; // the Value CV's last change
        int32_t countdown = 0;    // samples of hold left
        int32_t moving = 0;
        int32_t was_moving = 0; // the previous sample's `moving`
        float last_gate = 0.0f;
        int32_t last_value = -1;
        int32_t sent_channel = -1;
        int32_t sent_rpn_mode = -1;
        int32_t sent_parameter = -1;
        int32_t sent_value_msb = -1; // the last data entry MSB sent alone
    };

    // The per-sample loop of both modes; they differ only in where the
    // parameter number comes from.  Settings change only between calls (the
    // host writes them with an event), so they are read once per call.
    //
    // A sample sends something only at a rise of the gate, at the start of a
    // Value CV movement, at a new parameter number (or channel, or RPN/NRPN
    // choice) or at a new quantised value, all with the gate open.  So the
    // loop runs the rules one sample at a time only where one of those may
    // happen: a stretch with the gate off sends nothing (only the activity
    // at its end matters), and with the gate open the samples are tested
    // eight at a time for any of them (quiet_run), the rest of the state
    // following in closed form.
    template <bool CvMode> void run(int32_t start, int32_t count)
    {
        const uint32_t t0 = SampleClock();
        const float *value_in = m_value_cv_in + start;
        const float *gate_in = m_gate_in + start;
        const float *parameter_in = CvMode ? m_parameter_cv_in + start : nullptr;
        // Wired from other modules, settings may leave their lists: keep them
        // inside the parameter range, the mask table and the channel nibble.
        Call k;
        k.t0 = t0;
        k.midi_out = PinAt(kMidiOut);
        k.list_parameter = clamp_to<int32_t>(m_parameter, 0, kMaxValue);
        k.mask = bit_depth_masks[clamp_to<int32_t>(m_bit_depth, 0, 7)];
        k.channel = clamp_to<int32_t>(m_channel, 0, kMaxChannel);
        k.rpn_mode = m_rpn_mode;
        k.hold = m_hold;

        Carry c = m_carry;
        bool last_value_known = true; // c.last_value is the previous sample's
        // Where a sample sends, the next one is likely to send too (a moving
        // Value CV, noise): it goes straight to the rules, and the samples are
        // scanned again after one that sent nothing.
        bool scan = true;
        int32_t i = 0;
        while (i < count) {
            if (!(gate_in[i] > 0.0f)) {
                // A stretch with the gate off sends nothing: only the
                // activity state at its end matters.
                const int32_t end = gate_off_end(gate_in, i, count);
                track_activity(value_in, i, end, c, k.hold);
                c.last_gate = gate_in[end - 1];
                c.was_moving = c.moving;
                last_value_known = false;
                i = end;
                continue;
            }
            if (scan && c.last_gate > 0.0f && last_value_known && quiet_possible<CvMode>(c, k)) {
                i = quiet_run<CvMode>(value_in, gate_in, parameter_in, i, count, c, k);
                if (i == count || !(gate_in[i] > 0.0f))
                    continue;
            }
            // The gate is open at i (a previous not-a-number gate is neither
            // positive nor a rise).
            const float v = value_in[i];
            step_activity(v, c, k.hold);
            if (!last_value_known) // only after a sample of this call
                c.last_value = cv_rpn::scale(value_in[i - 1]) & k.mask;
            const int32_t value = cv_rpn::scale(v) & k.mask;
            const int32_t parameter = CvMode ? cv_rpn::scale(parameter_in[i]) : k.list_parameter;
            const uint32_t time = t0 + static_cast<uint32_t>(i);
            const bool complete = c.last_gate <= 0.0f || (c.moving == 1 && c.was_moving == 0) ||
                                  parameter != c.sent_parameter || k.channel != c.sent_channel ||
                                  k.rpn_mode != c.sent_rpn_mode;
            scan = !send_sample(k, c, time, complete, parameter, value);
            c.last_value = value;
            last_value_known = true;
            c.last_gate = gate_in[i];
            c.was_moving = c.moving;
            ++i;
        }
        if (!last_value_known)
            c.last_value = cv_rpn::scale(value_in[count - 1]) & k.mask;
        m_carry = c;
    }

    // The settings of one call, as the loop uses them.
    struct Call {
        uint32_t t0; // the clock at the call's first sample
        SEPin *midi_out;
        int32_t list_parameter;
        int32_t mask;
        int32_t channel;
        int32_t rpn_mode;
        int32_t hold;
    };

    // Whether, the gate having been open on the sample before, the next
    // samples can be tested by quiet_run: the settings are those of the last
    // complete message and the last value is one the mask keeps whole.
    template <bool CvMode> static bool quiet_possible(const Carry &c, const Call &k)
    {
        return (c.last_value & k.mask) == c.last_value && k.channel == c.sent_channel &&
               k.rpn_mode == c.sent_rpn_mode &&
               (CvMode ? c.sent_parameter >= 0 : k.list_parameter == c.sent_parameter);
    }

    // From sample `from` on, with the gate open before it and
    // quiet_possible: the samples that send nothing, eight at a time, and
    // the state after them.  Such a sample has its gate off, or open with its
    // quantised value and parameter number unchanged and no movement started
    // (a change that follows a sample that was not moving).  A rise of the
    // gate (its complete message) and a sample that only brings a new
    // quantised value are sent from here too.  Returns the first sample left
    // to the rules, or `count`.
    template <bool CvMode>
    static int32_t quiet_run(const float *value_in, const float *gate_in, const float *parameter_in,
                             const int32_t from, const int32_t count, Carry &c, const Call &k)
    {
        const int32_t step = (~k.mask & kMaxValue) + 1;
        cv_rpn::Window values = cv_rpn::window_of(c.last_value, step);
        const cv_rpn::Window parameters = cv_rpn::window_of(CvMode ? c.sent_parameter : 0, 1);
        cv_rpn::Window4 values4(values);
        const cv_rpn::Window4 parameters4(parameters);
        int32_t last_change = -1;   // the last sample found that differs from its predecessor
        uint32_t closed_before = 0; // whether the gate was closed at i - 1
        int32_t i = from;
        // The next eight samples' addresses do not wait for this eight's
        // answer: a run that goes on is the branch predicted, not a value
        // computed from the samples.
        while (i < count) {
            const int32_t n = count - i < 8 ? count - i : 8;
            const float before = i > from ? value_in[i - 1] : c.last_sample;
            const float *parameter = CvMode ? parameter_in + i : nullptr;
            const cv_rpn::Scan s = n == 8
                                       ? cv_rpn::scan8<CvMode>(gate_in + i, value_in + i, parameter,
                                                               before, values4, parameters4)
                                       : cv_rpn::scan(gate_in + i, value_in + i, parameter, before,
                                                      values, parameters, n);
            // The gate was open before `from`.  A rise is an open sample
            // after a closed one (0 or negative); the samples that can only
            // send data entry bytes are the others that are open.  A
            // not-a-number gate is neither open nor closed, and the sample
            // after it is no rise: the rules take it from there.
            const uint32_t lanes = (1u << n) - 1;
            uint32_t rises = 0, held = lanes, stops = s.stops, changes = s.changes;
            uint32_t closed = 0;
            if (s.open != lanes || closed_before != 0) {
                // A gate off for the whole eight: the caller's gate-off
                // stretch costs less than scanning it.
                if (s.open == 0)
                    break;
                closed = cv_rpn::closed(gate_in + i, n);
                rises = s.open & (closed << 1 | closed_before);
                held = s.open & ~rises;
                stops = (s.stops & s.open) | (lanes & ~(s.open | closed));
            }
            // A change starts a movement when the sample j before it was not
            // moving.  After a change at L, j is moving while j - L <= hold;
            // with no change since `from`, while the countdown then was above
            // j - from (and before `from`, as the state says).  Only the first
            // change of the eight is tested: a later one follows a change by
            // fewer than eight samples, which is within the hold (10, from
            // Open).  Only a sample whose gate was open already sends for it
            // (a rise sends its complete message anyway).
            if (changes != 0) {
                const int32_t first = cv_rpn::lowest_bit(changes);
                const int32_t j = i + first - 1;
                const bool moving = last_change >= 0 ? j - last_change <= k.hold
                                    : j < from       ? c.was_moving != 0
                                                     : c.countdown > j - from;
                if (!moving)
                    stops |= (1u << first) & held;
            }
            const uint32_t updates = s.updates & held;
            const uint32_t any = stops | updates | rises;
            if (any == 0) {
                if (changes != 0)
                    last_change = i + cv_rpn::highest_bit(changes);
                closed_before = (closed >> (n - 1)) & 1u;
                i += n;
                continue;
            }
            // A movement or parameter number goes to the rules, and so does a
            // new value on the first sample of the eight.
            int32_t at = cv_rpn::lowest_bit(any);
            if (((stops >> at) & 1u) || (at == 0 && !(rises & 1u))) {
                changes &= (1u << at) - 1;
                if (changes != 0)
                    last_change = i + cv_rpn::highest_bit(changes);
                i += at;
                break;
            }
            // Send for the sample at `at`.  A rise sends the complete message,
            // with the settings and parameter number of the last one (the
            // scan keeps to those).  A new quantised value after quiet
            // samples sends its data entry bytes as the rules would.  Rises
            // that follow in the same eight with nothing between are sent
            // here too while the value stays the last one: a rise changes
            // neither the value window nor the movement, so the eight's
            // findings past it still hold.
            int32_t value = 0;
            bool rise = false;
            bool eight_done = false;
            for (;;) {
                rise = (rises >> at) & 1u;
                const int32_t j = i + at;
                value = cv_rpn::scale(value_in[j]) & k.mask;
                const uint32_t time = k.t0 + static_cast<uint32_t>(j);
                send_sample(k, c, time, rise, c.sent_parameter, value);
                if (!rise || value != c.last_value)
                    break;
                const uint32_t rest = any & ~((2u << at) - 1);
                if (rest == 0) {
                    eight_done = true;
                    break;
                }
                const int32_t next = cv_rpn::lowest_bit(rest);
                if (!((rises >> next) & 1u))
                    break;
                at = next;
            }
            if (eight_done) {
                if (changes != 0)
                    last_change = i + cv_rpn::highest_bit(changes);
                closed_before = (closed >> (n - 1)) & 1u;
                i += n;
                continue;
            }
            changes &= (2u << at) - 1;
            if (changes != 0)
                last_change = i + cv_rpn::highest_bit(changes);
            i += at;
            // The scan goes on after a new value with the new value's window,
            // unless the next value is new too (then the rules, one sample at
            // a time, cost less than a scan after every sample).
            if (value != c.last_value) {
                c.last_value = value;
                values = cv_rpn::window_of(value, step);
                values4 = cv_rpn::Window4(values);
            }
            closed_before = 0; // the sample sent for is open
            ++i;
            if (i < count && !rise && !cv_rpn::inside(value_in[i], values))
                break;
        }
        if (i > from) {
            if (last_change >= 0)
                hold_on(value_in + last_change, i - last_change, 1, c, k.hold);
            else
                hold_on(value_in + from, i - from, 0, c, k.hold);
            c.was_moving = c.moving;
            c.last_gate = gate_in[i - 1];
            // The rules keep the quantised value of the sample before, open
            // or not.
            if (!(c.last_gate > 0.0f))
                c.last_value = cv_rpn::scale(value_in[i - 1]) & k.mask;
        }
        return i;
    }

    // One sample of the Value CV's activity: moving from a change until it
    // has held still for `hold` further samples.
    static void step_activity(float v, Carry &c, int32_t hold)
    {
        if (v == c.last_sample) {
            c.moving = c.countdown > 0 ? 1 : 0;
            c.countdown -= c.moving;
        } else {
            c.countdown = hold;
            c.moving = 1;
            c.last_sample = v;
        }
    }

    // The activity after `n` samples v[0..n-1] (n > 0) with `changes` the
    // set of those that differ from their predecessor, as step_activity
    // leaves it: only the last change matters, and after it (or from the
    // state before the samples if there is none) `still` equal samples
    // leave moving = (countdown - (still - 1) > 0) and the countdown at
    // max(countdown - still, 0).
    static void hold_on(const float *v, int32_t n, uint32_t changes, Carry &c, int32_t hold)
    {
        int32_t countdown = c.countdown, still = n;
        if (changes != 0) {
            const int32_t last = cv_rpn::highest_bit(changes);
            c.last_sample = v[last];
            countdown = hold;
            c.moving = 1;
            still = n - 1 - last;
        }
        if (still > 0) {
            c.moving = countdown - (still - 1) > 0 ? 1 : 0;
            countdown = countdown > still ? countdown - still : 0;
        }
        c.countdown = countdown;
    }

    // The first sample at or after `from` whose gate is positive, or `count`.
    // Blocks of eight are tested whole (no early exit inside, so the test
    // needs no branch per sample).
    static int32_t gate_off_end(const float *gate, int32_t from, int32_t count)
    {
        int32_t i = from;
        for (; i + 8 <= count; i += 8)
            if (cv_rpn::positive8(gate + i) != 0)
                break;
        while (i < count && !(gate[i] > 0.0f))
            ++i;
        return i;
    }

    // The Value CV's activity over samples [from, end), as step_activity
    // leaves it: the last sample that differs from its predecessor (found
    // eight at a time from the end), then hold_on.
    static void track_activity(const float *value, int32_t from, int32_t end, Carry &c,
                               int32_t hold)
    {
        int32_t change = end; // the last sample that differs from its predecessor
        int32_t k = end;
        for (; k - 8 >= from + 1; k -= 8)
            if (cv_rpn::any_changed8(value + k - 8))
                break;
        for (int32_t j = k - 1; j > from && change == end; --j)
            if (!(value[j] == value[j - 1]))
                change = j;
        if (change == end && !(value[from] == c.last_sample))
            change = from;
        if (change == end)
            hold_on(value + from, end - from, 0, c, hold);
        else
            hold_on(value + change, end - change, 1, c, hold);
    }

    // What a sample whose gate is open sends: the complete message where one
    // is due, else the data entry bytes of a new quantised value (the MSB
    // only when it changed), else nothing.  Whether it sent anything.
    static bool send_sample(const Call &k, Carry &c, uint32_t time, bool complete,
                            int32_t parameter, int32_t value)
    {
        if (complete) {
            c.sent_value_msb = -1;
            c.sent_channel = k.channel;
            c.sent_rpn_mode = k.rpn_mode;
            c.sent_parameter = parameter;
            send_complete(k.midi_out, time, k, parameter, value);
            return true;
        }
        if (value == c.last_value)
            return false;
        if ((value >> 7) != c.sent_value_msb) {
            send(k.midi_out, time, control_change(k.channel, kDataEntryMsb, value >> 7));
            c.sent_value_msb = value >> 7;
        }
        send(k.midi_out, time, control_change(k.channel, kDataEntryLsb, value & 0x7F));
        return true;
    }

    static void send_complete(SEPin *out, uint32_t time, const Call &k, int32_t parameter,
                              int32_t value)
    {
        const bool rpn = k.rpn_mode == 0;
        send(out, time, control_change(k.channel, rpn ? kRpnMsb : kNrpnMsb, parameter >> 7));
        send(out, time, control_change(k.channel, rpn ? kRpnLsb : kNrpnLsb, parameter & 0x7F));
        send(out, time, control_change(k.channel, kDataEntryMsb, value >> 7));
        send(out, time, control_change(k.channel, kDataEntryLsb, value & 0x7F));
    }

    static void send(SEPin *out, uint32_t time, int32_t message) { out->SendMidi(time, message); }

    Carry m_carry;
    int32_t m_hold = 0; // samples of activity hold; set by Open
};
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

} // namespace

SE_MODULE_EXPORTS(kIdentity, Module, void)
