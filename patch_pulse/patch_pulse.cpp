// patch_pulse - a pulse when the module opens and on every patch change, on
// both sides at once.
//
// DSP side: "Pulse" steps to 1.0 at the first sample processed after the
// firing and back to 0.0 at the first sample of the following call, each
// step announced once; it sleeps once a block size of 0.0 has followed the
// fall.  Every sample of each call is written, so the buffer always agrees
// with the announced statuses.
// GUI side: told by message 995, it sets "Bool pulse" true, holds the GUI
// thread for a fixed busy loop and sets it false again.
#include <cstdint>
#include <iterator>

#include "SEGUI_base.h"
#include "SEModule_base.h"
#include "se_module_exports.h"
#include "se_pin_table.h"
#include "se_sleep.h"

namespace {

const char *const kAbout = "Patch pulse by JW\n"
                           "module pack web site: see the patch library page";

// Flags 256 and SDK revision 2230; the revision is written whatever the
// index, as the host of that revision expects.
const se_sdk::ModuleIdentity kIdentity = {
    "JW Patch Pulse v1", "JW Patch Pulse v1", kAbout, 256, 2230, true};

// The number the DSP side sends its GUI side to fire the bool pulse.
constexpr int32_t kFireMessage = 995;

// The busy delay is a loop count, not a time: 90,000,000 empty iterations.
constexpr int32_t kBusyDelayFirst = 89999999;

} // namespace

class Module : public SEModule_base
{
public:
    // ---- pins ----------------------------------------------------------------
    // Declaration numbers; "Bool pulse" is the GUI side's alone (no DSP pin).
    enum Pin : int32_t { kPulse, kBoolPulse, kPinCount };

private:
    float *m_out = nullptr;

    static constexpr se_sdk::PinSpec kPins[] = {
        {"Pulse", DR_OUT, DT_FSAMPLE, SE_FIELD(Module, m_out), nullptr, nullptr, IO_AUDIO_HINT},
        {"Bool pulse", DR_OUT, DT_BOOLEAN, nullptr, nullptr, nullptr, IO_UI_COMMUNICATION},
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
        fire();
    }

    void ProcessEvent(TimedEvent *e) override
    {
        SEModule_base::ProcessEvent(e);
        if (e->kind == EV_PATCH_CHANGE)
            fire();
    }

    // The rise: announced at this call's first sample, 1.0 over the call.
    void process_pulse_start(int32_t start, int32_t count)
    {
        PinAt(kPulse)->SendStatus(SampleClock(), STATUS_CHANGED);
        fill(start, count, 1.0f);
        m_fall_due = true;
        InstallProcess<&Module::process_pulse_end>();
    }

    // The fall: announced at the first sample of the call after the rise,
    // then 0.0 over every call until a whole block size of 0.0 has been
    // written since the fall, and only then sleep.  A sleeping module's
    // buffer is kept as it stands, so sleeping any earlier would leave the
    // 1.0 of a rise that began mid-block in the samples before the fall,
    // repeated in every later block.  Stays installed; a call after the
    // sleep (another event woke the module) writes 0.0, announces and
    // sleeps again.
    void process_pulse_end(int32_t start, int32_t count)
    {
        fill(start, count, 0.0f);
        if (m_fall_due) {
            m_fall_due = false;
            m_settle.restart(BlockSize());
            PinAt(kPulse)->SendStatus(SampleClock(), STATUS_CHANGED);
        } else if (m_settle.expired()) {
            PinAt(kPulse)->SendStatus(SampleClock(), STATUS_CHANGED);
        }
        if (m_settle.run_down(count))
            CallHost(HOST_SLEEP);
    }

private:
    // A firing always returns to "pulse pending", also while a pulse is on.
    void fire()
    {
        CallHost(HOST_SEND_TO_GUI, 0, kFireMessage);
        InstallProcess<&Module::process_pulse_start>();
    }

    void fill(int32_t start, int32_t count, float value)
    {
        float *out = m_out + start;
        for (int32_t i = 0; i < count; ++i)
            out[i] = value;
    }

    bool m_fall_due = false;         // the next end call is the fall
    se_sdk::SleepCountdown m_settle; // samples of 0.0 still due before sleeping
};

class GuiModule : public SEGUI_base
{
public:
    using SEGUI_base::SEGUI_base;

    void Initialise(bool) override { GetPin(Module::kBoolPulse).SetValueInt(0); }

    void OnDspMessage(int32_t value, int32_t, void *) override
    {
        if (value != kFireMessage)
            return;
        GetPin(Module::kBoolPulse).SetValueInt(1);
        busy_delay();
        GetPin(Module::kBoolPulse).SetValueInt(0);
    }

    void OnPinValueChanged(GuiPinHandle) override {}

private:
    // Counts a 32-bit counter down from 89,999,999 until it goes below zero
    // on the calling thread.  The empty asm statement claims to read and
    // change the counter, so the optimiser can neither fold the loop nor
    // drop it; the counter stays in a register as in a plain empty loop.
    static void busy_delay()
    {
        for (int32_t counter = kBusyDelayFirst; counter >= 0; --counter) {
#if defined(__GNUC__)
            __asm__ __volatile__("" : "+r"(counter));
#else
            static_cast<void>(*static_cast<volatile int32_t *>(&counter));
#endif
        }
    }
};

SE_MODULE_EXPORTS(kIdentity, Module, GuiModule)
