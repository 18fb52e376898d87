// hello_module - a gain: the audio input times a level chosen in steps of
// 25 %, on the output. A small, complete module to start from: a pin table,
// one process function, status changes passed on and sleep while the input
// holds still, and a GUI side that adds nothing to the SDK's.
#include <iterator>

#include "SEGUI_base.h"
#include "SEModule_base.h"
#include "se_module_exports.h"
#include "se_pin_table.h"
#include "se_sleep.h"

namespace {

// name, identifier (unique among all modules a host knows), about text,
// flags, SDK revision.
const se_sdk::ModuleIdentity kIdentity = {"Hello Gain", "Hello_Gain_Example",
                                          "A gain in 25 % steps.", 0, 2240};

// The level's list: entry i is a gain of i/4.
constexpr const char *kLevelList = "0 %,25 %,50 %,75 %,100 %";

} // namespace

class Module : public SEModule_base
{
    // ---- pins: their names, the members that hold their values, the table -
    enum Pin : int32_t { kIn, kLevel, kOut, kPinCount };

    float *m_in = nullptr;
    int16_t m_level = 4;
    float *m_out = nullptr;

    // name, direction, data type, variable, default, list, flags
    static constexpr se_sdk::PinSpec kPins[] = {
        {"Signal", DR_IN, DT_FSAMPLE, SE_FIELD(Module, m_in), "0", nullptr, 0},
        {"Level", DR_SETTING, DT_CHOICE, SE_FIELD(Module, m_level), "4", kLevelList, 0},
        {"Signal Out", DR_OUT, DT_FSAMPLE, SE_FIELD(Module, m_out), nullptr, nullptr, 0},
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
        InstallProcess<&Module::process_gain>();
    }

    // Any input changed: pass the input's kind of change on to the output.
    // A streaming input makes a streaming output; otherwise the output
    // changes once and the module sleeps after a block's worth of samples.
    void OnPinStatusChange(SEPin *) override
    {
        m_gain = m_level * 0.25f;
        m_streaming = PinAt(kIn)->Status() == STATUS_STREAMING;
        m_sleep.restart(BlockSize());
        PinAt(kOut)->SendStatus(SampleClock(), m_streaming ? STATUS_STREAMING : STATUS_CHANGED);
    }

    void process_gain(int32_t start, int32_t count)
    {
        const float *in = m_in + start;
        float *out = m_out + start;
        for (int32_t i = 0; i < count; ++i)
            out[i] = in[i] * m_gain;

        if (!m_streaming && m_sleep.run_down(count))
            CallHost(HOST_SLEEP); // this call's samples are written all the same
    }

private:
    float m_gain = 1.0f;
    bool m_streaming = false;
    se_sdk::SleepCountdown m_sleep;
};

// The GUI side adds nothing to the base.
class GuiModule : public SEGUI_base
{
public:
    using SEGUI_base::SEGUI_base;
};

SE_MODULE_EXPORTS(kIdentity, Module, GuiModule)
