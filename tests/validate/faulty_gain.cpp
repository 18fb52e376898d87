// faulty_gain.cpp - the example gain of examples/hello_module (at a fixed
// level) with a fault about sleep or statuses (FAULTY_GAIN): 1 announces
// STATUS_CHANGED while its input streams; 2 announces truly but sleeps
// while its input streams, which brings no event to wake it.
#include <iterator>

#include "SEModule_base.h"
#include "se_module_exports.h"
#include "se_pin_table.h"
#include "se_sleep.h"

#define STR2(x) #x
#define STR(x)  STR2(x)

const se_sdk::ModuleIdentity kIdentity = {"Faulty Gain", "sevalidate.faulty_gain." STR(FAULTY_GAIN),
                                          "A faulty gain.", 0, 2240};

class Module : public SEModule_base
{
    enum Pin : int32_t { kIn, kOut };
    float *m_in = nullptr;
    float *m_out = nullptr;
    static constexpr se_sdk::PinSpec kPins[] = {
        {"Signal", DR_IN, DT_FSAMPLE, SE_FIELD(Module, m_in), "0", nullptr, 0},
        {"Signal Out", DR_OUT, DT_FSAMPLE, SE_FIELD(Module, m_out), nullptr, nullptr, 0},
    };

public:
    using SEModule_base::SEModule_base;
    bool QueryPinProperties(int32_t number, SEPinProperties *p) override
    {
        return se_sdk::describe_pin(kPins, number, this, p);
    }
    void Open() override
    {
        SEModule_base::Open();
        InstallProcess<&Module::process_gain>();
    }
    void OnPinStatusChange(SEPin *) override
    {
        m_streaming = PinAt(kIn)->Status() == STATUS_STREAMING;
        m_sleep.restart(BlockSize());
        const bool streams = m_streaming && FAULTY_GAIN != 1;
        PinAt(kOut)->SendStatus(SampleClock(), streams ? STATUS_STREAMING : STATUS_CHANGED);
    }
    void process_gain(int32_t start, int32_t count)
    {
        for (int32_t i = start; i < start + count; ++i)
            m_out[i] = m_in[i] * 0.5f;
        if ((!m_streaming || FAULTY_GAIN == 2) && m_sleep.run_down(count))
            CallHost(HOST_SLEEP);
    }

private:
    bool m_streaming = false;
    se_sdk::SleepCountdown m_sleep;
};

SE_MODULE_EXPORTS(kIdentity, Module, void)
