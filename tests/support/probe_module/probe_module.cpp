// The probe module: one gain setting and an audio input and output.
// It also keeps a std::vector and a std::string so that the export check
// sees whether standard-library instances leak out of the library.
#include <string>
#include <vector>

#include "SEGUI_base.h"
#include "SEModule_base.h"
#include "se_module_exports.h"

namespace {

struct PinDecl {
    int32_t direction;
    int32_t datatype;
    const char *name;
    const char *default_value;
    const char *list_text;
};

#ifdef PROBE_LATIN1_TEXTS
// An output name in Latin-1 with a control byte, as an older module may
// carry it: tools that write files and print must still take it.
#define PROBE_OUT_NAME "Sortie \xe9\x1b[2J"
#else
#define PROBE_OUT_NAME "Out"
#endif

const PinDecl kPins[] = {
    {DR_IN, DT_FSAMPLE, "Signal", "0", "10,-10,10,-10"},
    {DR_SETTING, DT_FLOAT32, "Gain", "1", nullptr},
    {DR_OUT, DT_FSAMPLE, PROBE_OUT_NAME, "0", "10,-10,10,-10"},
};

class Module : public SEModule_base
{
public:
    using SEModule_base::SEModule_base;

    bool QueryPinProperties(int32_t number, SEPinProperties *p) override
    {
        if (number < 0 || number >= static_cast<int32_t>(sizeof kPins / sizeof kPins[0]))
            return false;
        void *const variables[] = {&m_in, &m_gain, &m_out};
        const PinDecl &d = kPins[number];
        p->variable_address = variables[number];
        p->direction = d.direction;
        p->datatype = d.datatype;
        p->name = d.name;
        p->default_value = d.default_value;
        p->list_text = d.list_text;
        return true;
    }

    void Open() override
    {
        SEModule_base::Open();
        m_history.reserve(4);
        m_label = "probe";
        InstallProcess<&Module::sub_process>();
#ifdef PROBE_LATIN1_TEXTS
        PinAt(2)->SendStatus(SampleClock(), STATUS_STREAMING); // an event naming the pin
#endif
    }

    void sub_process(int32_t start, int32_t count)
    {
        for (int32_t i = start; i < start + count; ++i)
            m_out[i] = m_in[i] * m_gain;
    }

private:
    float *m_in = nullptr;
    float m_gain = 1.0f;
    float *m_out = nullptr;
    std::vector<float> m_history;
    std::string m_label;
};

class GuiModule : public SEGUI_base
{
public:
    using SEGUI_base::SEGUI_base;
};

#ifdef PROBE_LATIN1_TEXTS
// Texts in Latin-1, not UTF-8, as an older module may carry them: tools that
// write JSON must still describe it.
const se_sdk::ModuleIdentity kIdentity = {"Caf\xe9 Probe", "SE SDK Probe \xff",
                                          "Gr\xfc\xdf"
                                          "e aus dem Build",
                                          0, 2};
#else
const se_sdk::ModuleIdentity kIdentity = {"SDK Probe", "SE SDK Probe", "Build check module", 0, 2};
#endif

} // namespace

SE_MODULE_EXPORTS(kIdentity, Module, GuiModule)
