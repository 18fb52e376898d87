// bool_volts - a GUI-side on/off value turned into a DSP voltage.
//
// The input is a GUI bool that also exists on the DSP side, so the host
// carries every change across and delivers it as a pin-status change at the
// sample where it is handled.  From that sample on "Volts" carries 1.0
// (10 V) or 0.0; the step is announced once, and block size + 1 samples
// later the module asks to sleep.
#include <iterator>

#include "SEGUI_base.h"
#include "SEModule_base.h"
#include "se_module_exports.h"
#include "se_pin_table.h"
#include "se_sleep.h"

namespace {

const char *const kAbout =
    "GUI Converter to Volts(DSP) with PatchMemory\n"
    "Ver:3.00 module pack edition, free to use in any patch\n"
    "\n"
    "\n"
    "\n"
    "The bool is stored with the patch; Volts is 10 V when it is on, 0 V when off.";

const se_sdk::ModuleIdentity kIdentity = {"QZ_GUI_Bool_to_Volts", "GUI_Bool_to_Volts_QZ2010",
                                          kAbout, 0, 2240};

} // namespace

class Module : public SEModule_base
{
    // ---- pins ----------------------------------------------------------------
    enum Pin : int32_t { kVolts, kBool, kPinCount };

    float *m_out = nullptr;
    uint8_t m_bool = 0; // a bool byte: any value other than 0 reads as true

    static constexpr se_sdk::PinSpec kPins[] = {
        {"Volts", DR_OUT, DT_FSAMPLE, SE_FIELD(Module, m_out), nullptr, nullptr, 0},
        {"Bool (PatchMem)", DR_IN, DT_BOOLEAN, SE_FIELD(Module, m_bool), nullptr, nullptr,
         IO_UI_COMMUNICATION | IO_BOTH_SIDES},
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
        m_sleep_reload = BlockSize() + 1;
        InstallProcess<&Module::process_hold>();
        m_out_pin = PinAt(kVolts);
        m_level = 0.0f;
    }

    // Any status event of the bool, the same value again included, restarts
    // the step: new level, one announced change, a fresh countdown.
    void OnPinStatusChange(SEPin *pin) override
    {
        if (pin->PinIndex() != kBool)
            return;
        m_level = m_bool != 0 ? 1.0f : 0.0f;
        m_out_pin->SendStatus(SampleClock(), STATUS_CHANGED);
        m_sleep.restart(m_sleep_reload);
    }

    void Close() override { SEModule_base::Close(); }

    void process_hold(int32_t start, int32_t count)
    {
        if (m_sleep.run_down(count))
            CallHost(HOST_SLEEP); // this call's samples are still written
        // The level in a local: a store through `out` could otherwise be
        // taken to change m_level, and the loop would reload it every sample.
        const float level = m_level;
        float *out = m_out + start;
        for (int32_t i = 0; i < count; ++i)
            out[i] = level;
    }

private:
    float m_level = 0.0f;
    SEPin *m_out_pin = nullptr;
    int32_t m_sleep_reload = 0;
    // Restarted at each change of the bool; until the first one the module
    // may ask to sleep at once (it writes 0.0 either way).
    se_sdk::SleepCountdown m_sleep;
};

class GuiModule : public SEGUI_base
{
public:
    using SEGUI_base::SEGUI_base;

    // No idle call may reach a destroyed object.
    ~GuiModule() override { CallHost(GUI_HOST_SET_IDLE, 0); }
};

SE_MODULE_EXPORTS(kIdentity, Module, GuiModule)
