// aligned_stack_probe - a plug-in built on purpose like one that trusts the
// caller's stack alignment: compiled to assume a 16-byte aligned stack at
// every entry, its process function keeps SSE values in a 16-byte aligned
// stack slot and reaches it with instructions that need that alignment (an
// aligned load or store, or an SSE operation reading the slot itself).
// Called on an aligned stack it sums its input in fours into its output;
// called on a stack off by 4, 8 or 12 bytes such an access faults.  The stack
// alignment test runs it to show that it catches such a plug-in.
#include <emmintrin.h>

#include "SEGUI_base.h"
#include "SEModule_base.h"
#include "se_module_exports.h"
#include "se_pin_table.h"

namespace {

const se_sdk::ModuleIdentity kIdentity = {"Aligned Stack Probe", "SE_Aligned_Stack_Probe",
                                          "Test plug-in: assumes an aligned stack.", 0, 2240};

// Makes the slot's contents visible to the compiler as memory, so the
// values really go through the stack.
inline void through_memory(float *slot)
{
    asm volatile("" : : "r"(slot) : "memory");
}

} // namespace

class Module : public SEModule_base
{
public:
    Module(se_host_callback callback, void *host_data) : SEModule_base(callback, host_data) {}

    bool QueryPinProperties(int32_t number, SEPinProperties *p) override
    {
        return se_sdk::describe_pin(kPins, number, this, p);
    }

    void Open() override
    {
        SEModule_base::Open();
        InstallProcess<&Module::process_sums>();
    }

    // out[i] = the sum of the four input samples of i's group of four.
    __attribute__((noinline)) void process_sums(int32_t start, int32_t count)
    {
        alignas(16) float slot[4];
        for (int32_t i = 0; i + 4 <= count; i += 4) {
            _mm_store_ps(slot, _mm_loadu_ps(m_in + start + i));
            through_memory(slot);
            const __m128 v = _mm_load_ps(slot);
            _mm_store_ps(slot, _mm_add_ps(v, _mm_shuffle_ps(v, v, 0x4E)));
            through_memory(slot);
            const float sum = slot[0] + slot[1];
            for (int32_t k = 0; k < 4; ++k)
                m_out[start + i + k] = sum;
        }
    }

private:
    static const se_sdk::PinSpec kPins[2];

    float *m_in = nullptr;
    float *m_out = nullptr;
};

const se_sdk::PinSpec Module::kPins[2] = {
    {"In", DR_IN, DT_FSAMPLE, SE_FIELD(Module, m_in), nullptr, nullptr, 0},
    {"Out", DR_OUT, DT_FSAMPLE, SE_FIELD(Module, m_out), nullptr, nullptr, 0},
};

class GuiModule : public SEGUI_base
{
public:
    using SEGUI_base::SEGUI_base;
};

SE_MODULE_EXPORTS(kIdentity, Module, GuiModule)
