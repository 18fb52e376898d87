// A test module whose only pin breaks the patch-store rule: a stored input
// that is neither private, an output nor a GUI-side pin.
#include "SEGUI_base.h"
#include "SEModule_base.h"
#include "se_module_exports.h"
#include "se_pin_table.h"

namespace {
const se_sdk::ModuleIdentity kIdentity = {"Bad Pin Probe", "sdk_bad_pin_test_module", "Test module",
                                          0, 2240};
const se_sdk::PinSpec kPins[1] = {
    {"Stored Input", DR_IN, DT_CHOICE, nullptr, "0", "A,B", IO_PATCH_STORE},
};
} // namespace

class Module : public SEModule_base
{
public:
    using SEModule_base::SEModule_base;
    bool QueryPinProperties(int32_t number, SEPinProperties *p) override
    {
        return se_sdk::describe_pin(kPins, number, this, p);
    }
};

SE_MODULE_EXPORTS(kIdentity, Module, void)
