// send_floor - the least a module can do to send MIDI from its sample loop:
// for every sample of its input, `Messages` (1 to 4) control changes made
// from the sample's bits, sent through the SDK with no decision between
// them.  The bench runs it beside cv_to_rpn: what it costs besides the
// host's side of its requests is the floor under any module that sends as
// many messages a sample.  Not a module of the pack.
#include <cstring>
#include <iterator>

#include "SEModule_base.h"
#include "se_module_exports.h"
#include "se_pin_table.h"

namespace {

const se_sdk::ModuleIdentity kIdentity = {"Send Floor", "bench send_floor",
                                          "Sends 1 to 4 MIDI messages for every sample.", 0, 2240};

} // namespace

class Module : public SEModule_base
{
    enum Pin : int32_t { kIn, kMessages, kMidiOut, kPinCount };

    float *m_in = nullptr;
    int16_t m_messages = 0; // list index: 0 for one message a sample

    static constexpr se_sdk::PinSpec kPins[] = {
        {"In", DR_IN, DT_FSAMPLE, SE_FIELD(Module, m_in), "0", nullptr, IO_AUDIO_HINT},
        {"Messages", DR_SETTING, DT_CHOICE, SE_FIELD(Module, m_messages), "0", "1,2,3,4", 0},
        {"MIDI Out", DR_OUT, DT_MIDI, nullptr, nullptr, nullptr, 0},
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
        InstallProcess<&Module::process_sends>();
    }

    // Data entry LSB (controller 38) on channel 1, its value seven bits of
    // the sample: the k-th message of a sample takes bits 7k to 7k + 6.
    void process_sends(int32_t start, int32_t count)
    {
        const float *in = m_in + start;
        SEPin *const out = PinAt(kMidiOut);
        const uint32_t t0 = SampleClock();
        const int32_t n = m_messages < 0 ? 1 : (m_messages > 3 ? 4 : m_messages + 1);
        for (int32_t i = 0; i < count; ++i) {
            uint32_t bits;
            std::memcpy(&bits, in + i, sizeof bits);
            for (int32_t k = 0; k < n; ++k)
                out->SendMidi(t0 + static_cast<uint32_t>(i),
                              0xB0 | (38 << 8) |
                                  static_cast<int32_t>(((bits >> (7 * k)) & 0x7F) << 16));
        }
    }
};
SE_MODULE_EXPORTS(kIdentity, Module, void)
