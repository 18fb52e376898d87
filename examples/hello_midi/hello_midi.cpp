// hello_midi - transposes the notes of its MIDI input by a number of
// semitones and tells its GUI side whether a note is sounding. Shows MIDI in
// and out, a message from the DSP side to the GUI side, and a pin that
// lives on the GUI side only.
#include <iterator>

#include "SEGUI_base.h"
#include "SEModule_base.h"
#include "se_module_exports.h"
#include "se_pin_table.h"

namespace {

const se_sdk::ModuleIdentity kIdentity = {"Hello Transpose", "Hello_Transpose_Example",
                                          "Transposes MIDI notes.", 0, 2240};

// -12 .. +12: the first entry is given the number -12, the others count on.
constexpr const char *kSemitoneList =
    "-12=-12,-11,-10,-9,-8,-7,-6,-5,-4,-3,-2,-1,0,+1,+2,+3,+4,+5,+6,+7,+8,+9,+10,+11,+12";

} // namespace

class Module : public SEModule_base
{
public:
    // ---- pins: their names, the members that hold their values, the table -
    // Declaration numbers: kPlaying is the GUI side's (see below).
    enum Pin : int32_t { kMidiIn, kSemitones, kMidiOut, kPlaying, kPinCount };

private:
    int16_t m_semitones = 0;

    // MIDI pins have no variable: MIDI travels as events. The last pin is the
    // GUI side's alone (IO_UI_COMMUNICATION without IO_BOTH_SIDES), so it
    // takes no DSP index.
    static constexpr se_sdk::PinSpec kPins[] = {
        {"MIDI In", DR_IN, DT_MIDI, nullptr, nullptr, nullptr, 0},
        {"Semitones", DR_SETTING, DT_CHOICE, SE_FIELD(Module, m_semitones), "0", kSemitoneList, 0},
        {"MIDI Out", DR_OUT, DT_MIDI, nullptr, nullptr, nullptr, 0},
        {"Playing", DR_OUT, DT_BOOLEAN, nullptr, nullptr, nullptr, IO_UI_COMMUNICATION},
    };
    static_assert(std::size(kPins) == kPinCount, "one name per pin");

public:
    Module(se_host_callback callback, void *host_data) : SEModule_base(callback, host_data) {}

    bool QueryPinProperties(int32_t number, SEPinProperties *p) override
    {
        return se_sdk::describe_pin(kPins, number, this, p);
    }

    // No audio: every process call only asks to sleep until the next event.
    void Open() override
    {
        SEModule_base::Open();
        InstallProcess<&Module::process_sleep>();
    }

    void process_sleep(int32_t, int32_t) { CallHost(HOST_SLEEP); }

    // A packed message: status in bits 0-7, first data byte in 8-15, second
    // in 16-23. Notes on and off move by the setting; a note moved outside
    // 0..127 is dropped, everything else passes as it is.
    void OnMidi(uint32_t time_stamp, int32_t message, int16_t) override
    {
        const int32_t status = message & 0xF0;
        if (status == 0x80 || status == 0x90) {
            const int32_t note = ((message >> 8) & 0x7F) + m_semitones;
            if (note < 0 || note > 127)
                return;
            const int32_t velocity = (message >> 16) & 0x7F;
            const bool on = status == 0x90 && velocity != 0;
            count_note(on);
            message = (message & 0xFF) | (note << 8) | (velocity << 16);
        }
        PinAt(kMidiOut)->SendMidi(time_stamp, message);
    }

private:
    // Tells the GUI side how many notes sound whenever that number changes.
    void count_note(bool on)
    {
        const int32_t before = m_sounding;
        m_sounding = on ? m_sounding + 1 : (m_sounding > 0 ? m_sounding - 1 : 0);
        if (m_sounding != before)
            CallHost(HOST_SEND_TO_GUI, 0, m_sounding);
    }

    int32_t m_sounding = 0;
};

// The GUI side turns the DSP side's count into the "Playing" bool.
class GuiModule : public SEGUI_base
{
public:
    using SEGUI_base::SEGUI_base;

    void Initialise(bool) override { GetPin(Module::kPlaying).SetValueInt(0); }

    void OnDspMessage(int32_t value, int32_t, void *) override
    {
        GetPin(Module::kPlaying).SetValueInt(value > 0 ? 1 : 0);
    }
};

SE_MODULE_EXPORTS(kIdentity, Module, GuiModule)
