// edge_detect - zero crossings of an audio signal turned into pulses or
// square waves of a chosen level L (the Pulse Level input, read once per
// call at the call's first sample).
//
// ZeroX detects crossings both ways, LeadX only rises from zero-or-below to
// positive.  By pulse mode:
//   +Ve      a one-sample pulse of L at every crossing (ZeroX: a change of
//            the sign bit onto a sample that is not zero, so -1, +0, +1 is
//            silent while -1, -0, +1 pulses at the +1; LeadX: every rise)
//   +Ve/-Ve  ZeroX: +L on a rise, -L on a fall; LeadX: pulses of alternating
//            polarity, +L first after open
//   Sqr      L while positive; else -L (ZeroX) or 0 (LeadX)
//   Sqr+0    ZeroX: L, 0 or -L by the input's sign; LeadX: as Sqr
//   Sqr2     ZeroX: as Sqr; LeadX: +-L flipping at each rise, -L before the
//            first rise after open (the input frequency divided by two)
// The formulas are in shapes.h; one process function per shape keeps mode
// tests out of the sample loops.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <utility>

#include "SEGUI_base.h"
#include "SEModule_base.h"
#include "se_module_exports.h"
#include "se_pin_table.h"
#include "se_sleep.h"
#include "shapes.h"

namespace {

using edge_detect::Shape;

// Detect modes (pin 1) and pulse modes (pin 2) as the lists number them.
enum : int16_t { kZeroX = 0, kLeadX = 1 };
enum : int16_t { kPulse = 0, kBipolar = 1, kSquare = 2, kSign = 3, kSquare2 = 4, kPulseModes };

// The shape of each (detect, pulse) pair.  A pulse mode outside the list
// keeps the function in place; a detect mode other than ZeroX counts as
// LeadX.
constexpr Shape kModes[2][kPulseModes] = {
    {Shape::ZeroxPulse, Shape::ZeroxBipolar, Shape::ZeroxSquare, Shape::ZeroxSign,
     Shape::ZeroxSquare},
    {Shape::LeadxPulse, Shape::LeadxAlternate, Shape::LeadxSquare, Shape::LeadxSquare,
     Shape::LeadxToggle},
};

} // namespace

class Module : public SEModule_base
{
    // ---- pins ----------------------------------------------------------------
    enum Pin : int32_t { kIn, kDetectMode, kPulseMode, kLevel, kPulseOut, kPinCount };

    float *m_in = nullptr;
    int16_t m_detect_mode = 0;
    int16_t m_pulse_mode = 0;
    float *m_level_in = nullptr;
    float *m_out = nullptr;

    static constexpr se_sdk::PinSpec kPins[] = {
        {"Audio In", DR_IN, DT_FSAMPLE, SE_FIELD(Module, m_in), nullptr, nullptr, 0},
        {"Detect Mode", DR_IN, DT_CHOICE, SE_FIELD(Module, m_detect_mode), "0", "ZeroX,LeadX", 0},
        {"Pulse Mode", DR_IN, DT_CHOICE, SE_FIELD(Module, m_pulse_mode), "0",
         "+Ve,+Ve/-Ve,Sqr,Sqr+0,Sqr2", 0},
        {"Pulse Level", DR_IN, DT_FSAMPLE, SE_FIELD(Module, m_level_in), "10.0", "20,0,20,0", 0},
        {"Pulse Out", DR_OUT, DT_FSAMPLE, SE_FIELD(Module, m_out), nullptr, nullptr, 0},
    };
    static_assert(std::size(kPins) == kPinCount, "one name per pin");

public:
    Module(se_host_callback callback, void *host_data) : SEModule_base(callback, host_data) {}

    bool QueryPinProperties(int32_t number, SEPinProperties *p) override
    {
        return se_sdk::describe_pin(kPins, number, this, p);
    }

    // No process function is installed here: the SDK's empty one stays until
    // the first status change of a mode pin.
    void Open() override
    {
        SEModule_base::Open();
        m_sleep_reload = BlockSize() + 1;
        m_out_pin = PinAt(kPulseOut);
        // 2 is neither a sign bit pattern nor a LeadX flag: the first
        // qualifying sample after open counts as a crossing in every mode.
        m_edge_state = 2;
        m_sign = -1.0f;
    }

    void OnPinStatusChange(SEPin *pin) override
    {
        switch (pin->PinIndex()) {
        case kIn:
            m_in_status = pin->Status();
            break;
        case kDetectMode:
        case kPulseMode:
            if (m_pulse_mode >= 0 && m_pulse_mode < kPulseModes)
                InstallProcess(entry_of(kModes[m_detect_mode == kZeroX ? 0 : 1][m_pulse_mode],
                                        std::make_index_sequence<edge_detect::kShapeCount>()));
            break;
        default:
            break;
        }
        // Awake while either input streams: the output follows the level
        // from call to call too, and a sleeping module's output would keep
        // the level of its last call.
        const bool streaming =
            m_in_status == STATUS_STREAMING || PinAt(kLevel)->Status() == STATUS_STREAMING;
        m_sleep_enabled = streaming ? 0 : 1;
        m_out_pin->SendStatus(SampleClock(), STATUS_STREAMING);
        m_sleep.restart(m_sleep_reload);
    }

    // The process function of one shape.  The first sample's predecessor is
    // the state the last call left (the edge state, and the sign of the
    // flipping shapes); the others' are in the buffer.
    template <Shape S> void process(int32_t start, int32_t count)
    {
        const edge_detect::Kernel<S> kernel(m_level_in[start]);
        const float *in = m_in + start;
        float *out = m_out + start;
        const uint32_t first = se_sdk::bits_of(in[0]);
        uint32_t sign = se_sdk::bits_of(m_sign) & se_sdk::kSignBit;
        se_sdk::store(out, kernel(first, before_first<S>(first), sign));
        sign = edge_detect::shape_samples(kernel, in, out, 1, count, sign);
        if (edge_detect::reads_before(S))
            m_edge_state = state_after<S>(se_sdk::bits_of(in[count - 1]));
        if (edge_detect::flips(S))
            m_sign = sign != 0 ? -1.0f : 1.0f;
        count_down(count);
    }

private:
    // The edge state is what a sample leaves for the next call: ZeroX keeps
    // its sign bit, LeadX a flag, 1 after a sample that was not positive.
    // Both read the other's state after a mode change (and 2, after open, as
    // a crossing).  As a sample before the first: for ZeroX the state itself
    // where it is a sign bit, else the first sample with its sign flipped
    // (a crossing); for LeadX a positive or a not positive word.
    template <Shape S> uint32_t before_first(uint32_t first) const
    {
        if (S == Shape::ZeroxPulse || S == Shape::ZeroxBipolar)
            return (m_edge_state & ~se_sdk::kSignBit) != 0 ? first ^ se_sdk::kSignBit
                                                           : m_edge_state;
        return m_edge_state != 0 ? 0u : 1u;
    }
    template <Shape S> static uint32_t state_after(uint32_t last)
    {
        if (S == Shape::ZeroxPulse || S == Shape::ZeroxBipolar)
            return last & se_sdk::kSignBit;
        return se_sdk::positive_mask(last) != 0 ? 0u : 1u;
    }

    // The process entry of each shape, by the shape's number.
    template <size_t... I> static se_process_entry entry_of(Shape s, std::index_sequence<I...>)
    {
        static constexpr se_process_entry kEntries[] = {
            &se_sdk::process_thunk<&Module::process<static_cast<Shape>(I)>>::call...};
        return kEntries[static_cast<size_t>(s)];
    }

    // Block size + 1 samples after the last pin-status change (unless an
    // input streams) ask to sleep: the output changes once more at the clock
    // just after this call and then holds still.
    void count_down(int32_t count)
    {
        if (m_sleep_enabled == 0)
            return;
        if (m_sleep.run_down(count)) {
            CallHost(HOST_SLEEP);
            m_out_pin->SendStatus(SampleClock() + static_cast<uint32_t>(count), STATUS_CHANGED);
        }
    }

    float m_sign = -1.0f;
    SEPin *m_out_pin = nullptr;
    int32_t m_sleep_reload = 0;
    se_sdk::SleepCountdown m_sleep;
    int32_t m_sleep_enabled = 0;
    uint32_t m_edge_state = 2;
    int32_t m_in_status = STATUS_STILL;
};

// The GUI side adds nothing to the base.
class GuiModule : public SEGUI_base
{
public:
    using SEGUI_base::SEGUI_base;
};

namespace {

const char *const kAbout = "Wave Edge Detector\n"
                           "Ver:2.90 module pack edition, free to use in any patch\n"
                           "\n"
                           "Detects Zero Crossings in Audio\n"
                           "\n"
                           "Features:\n"
                           "Edge Detect Modes:\n"
                           "    ZeroX: Both -To+ and +To- detected\n"
                           "    LeadX: Leading Edge -To+ only\n"
                           "Pulse Output Modes:\n"
                           "    +Ve:  Pulses are always +ve/High\n"
                           "    +Ve/-Ve:  +ve on -To+ : -ve on +To-\n"
                           "    Sqr:  High if +ve : Low if -ve : Either/Last State if input=0\n"
                           "    Sqr+0:  High if +ve : Low if -ve : 0 if input=0\n"
                           "Variable Pulse Level (*Can be Inverted by setting -ve value)\n"
                           "\n"
                           "Sqr2 (LeadX) divides the input frequency by two.";

const se_sdk::ModuleIdentity kIdentity = {"QZ_Edge_Detect", "Edge_Detect_QZ2003", kAbout, 0, 2240};

} // namespace

SE_MODULE_EXPORTS(kIdentity, Module, GuiModule)
