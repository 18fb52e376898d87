// midi_choice - routes one MIDI input to one of a growing set of MIDI outputs.
//
// "Choice" selects the output (0-based), "Channel" restricts the routing to
// one MIDI channel (system messages always pass) and "All-Notes-Off on
// Change?" sends controller 123 on the output and channel being left.
// Messages are forwarded unchanged with their own time stamps; the module
// does no per-sample work and sleeps whenever it is run.
#include <iterator>
#include <memory>
#include <new>

#include "SEGUI_base.h"
#include "SEModule_base.h"
#include "se_module_exports.h"
#include "se_pin_table.h"

namespace {

const char *const kAbout = "Midi input to a Choice of multiple Outputs\n"
                           "Ver:2.90 module pack edition, free to use in any patch\n"
                           "\n"
                           "Choose which Midi Output the incoming Midi data is sent to\n"
                           "Option to transmit All Midi data or just one Midi Channel\n"
                           "\n"
                           "Right-click the module to add more Midi outputs.";

// "All" is -1 and channels 1..16 are 0..15: the low four bits of a channel
// message's status byte.
constexpr const char *kChannelList = "All=-1,1=0,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16";

const se_sdk::ModuleIdentity kIdentity = {"QZ_Midi_1_to_Choice", "Midi_1_to_Choice_QZ2005", kAbout,
                                          0, 2240};

// Hosts older than this cannot repeat an output declaration.
constexpr int32_t kFirstHostWithRepeatedOutputs = 100238;

// Controller 123 (all notes off), value 0: status 0xB0 + channel, packed.
constexpr int32_t kAllNotesOff = 0x7BB0;

} // namespace

class Module : public SEModule_base
{
    // ---- pins ----------------------------------------------------------------
    // The last declaration repeats: kFirstMidiOut and the copies after it are
    // the outputs.
    enum Pin : int32_t { kMidiIn, kChannel, kChoice, kNotesOff, kFirstMidiOut, kPinCount };

    int16_t m_channel;
    int16_t m_choice;
    int16_t m_notes_off;

    static constexpr se_sdk::PinSpec kPins[] = {
        {"Midi In", DR_IN, DT_MIDI, nullptr, nullptr, nullptr, 0},
        {"Channel (All:1-16)", DR_IN, DT_CHOICE, SE_FIELD(Module, m_channel), "-1", kChannelList,
         0},
        {"Choice", DR_IN, DT_CHOICE, SE_FIELD(Module, m_choice), "0", "{AUTO}", IO_AUTO_LIST},
        {"All-Notes-Off on Change?", DR_IN, DT_CHOICE, SE_FIELD(Module, m_notes_off), "0", "No,Yes",
         0},
        {"Add Midi Out", DR_OUT, DT_MIDI, nullptr, "0", nullptr, IO_REPEAT_LAST | IO_AUTO_LIST},
    };
    static_assert(std::size(kPins) == kPinCount, "one name per pin");

public:
    Module(se_host_callback callback, void *host_data) : SEModule_base(callback, host_data) {}

    bool QueryPinProperties(int32_t number, SEPinProperties *p) override
    {
        if (number == kFirstMidiOut && CallHost(HOST_GET_VERSION) < kFirstHostWithRepeatedOutputs)
            return false;
        return se_sdk::describe_pin(kPins, number, this, p);
    }

    void Open() override
    {
        SEModule_base::Open(); // creates the first output and its copies

        // The outputs are the first output and its copies.  The count is bounded by the
        // pins the base really created, and is 0 when the host was not
        // offered the output declaration at all.
        int32_t count = static_cast<int32_t>(CallHost(HOST_GET_PIN_COUNT)) - kFirstMidiOut;
        if (count > PinCount() - kFirstMidiOut)
            count = PinCount() - kFirstMidiOut;
        if (count < 0 || CallHost(HOST_GET_VERSION) < kFirstHostWithRepeatedOutputs)
            count = 0;
        // The table is sized from the count, so no count can write past it.
        if (count > 0) {
            m_outputs.reset(new (std::nothrow) SEPin *[static_cast<size_t>(count)]);
            if (m_outputs == nullptr)
                count = 0;
        }
        m_output_count = count;
        for (int32_t j = 0; j < m_output_count; ++j)
            m_outputs[j] = PinAt(kFirstMidiOut + j);

        m_highest_choice = m_output_count - 1;
        m_last_choice = -1;
        m_last_channel = -1;
        InstallProcess<&Module::process_sleep>();
    }

    void OnMidi(uint32_t time_stamp, int32_t message, int16_t) override
    {
        if (m_output_count == 0)
            return;
        const int32_t status = message & 0xFF;
        const int32_t channel = channel_in_force();
        if (channel != -1 && status < 0xF0 && (status & 0x0F) != channel)
            return;
        // MIDI may arrive before the routing update has clamped a new choice.
        m_outputs[clamped(m_choice)]->SendMidi(time_stamp, message);
    }

    // The routing update: runs for every pin, whichever changed.
    void OnPinStatusChange(SEPin *) override
    {
        if (m_output_count == 0)
            return;
        m_choice = static_cast<int16_t>(clamped(m_choice)); // later routing uses it
        const int16_t channel = channel_in_force();

        if (m_last_choice != -1 && m_last_choice <= m_highest_choice) {
            if (m_choice == m_last_choice && channel == m_last_channel)
                return;
            if (m_notes_off != 0) {
                SEPin *left = m_outputs[m_last_choice];
                const uint32_t now = SampleClock();
                if (m_last_channel == -1) {
                    for (int32_t ch = 0; ch < 16; ++ch)
                        left->SendMidi(now, kAllNotesOff + ch);
                } else {
                    left->SendMidi(now, kAllNotesOff + m_last_channel);
                }
            }
        }
        m_last_choice = m_choice;
        m_last_channel = channel;
    }

    void process_sleep(int32_t, int32_t) { CallHost(HOST_SLEEP); }

private:
    // The channel list runs from All (-1) to 16 (15); a wired input can carry
    // any 16-bit value, which is read as the nearest list entry so that an
    // all-notes-off always stays a control change of channels 1 to 16.
    int16_t channel_in_force() const
    {
        return m_channel < -1 ? int16_t(-1) : (m_channel > 15 ? int16_t(15) : m_channel);
    }

    int32_t clamped(int32_t choice) const
    {
        if (choice < 0)
            return 0;
        return choice > m_highest_choice ? m_highest_choice : choice;
    }

    std::unique_ptr<SEPin *[]> m_outputs; // entry j is PinAt(kFirstMidiOut + j)
    int32_t m_output_count = 0;
    int32_t m_highest_choice = -1;
    int16_t m_last_channel = -1;
    int16_t m_last_choice = -1;
};

// The GUI side adds nothing to the base.
class GuiModule : public SEGUI_base
{
public:
    using SEGUI_base::SEGUI_base;
};

SE_MODULE_EXPORTS(kIdentity, Module, GuiModule)
