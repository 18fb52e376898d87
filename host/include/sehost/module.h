// module.h - both sides of one module instance, joined through the host.
#ifndef SEHOST_MODULE_H
#define SEHOST_MODULE_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sehost/dsp_instance.h"
#include "sehost/gui_instance.h"

namespace sehost {

// Creates the DSP side and, if the library has one, the GUI side, and
// carries between them what the host carries:
//  - HOST_SEND_TO_GUI from the DSP side reaches the GUI side as
//    GUI_OP_DSP_MESSAGE once the DSP call that made it has returned;
//  - a GUI write to an IO_UI_COMMUNICATION|IO_BOTH_SIDES pin reaches the DSP
//    side as the value in its variable and EV_PIN_STATUS STATUS_CHANGED at the
//    DSP side's current clock.
//
//   sehost::Module m(lib);
//   m.open();        // DSP open, then GUI initialise
//   m.run(1024);     // DSP run, then pending GUI messages
class Module
{
public:
    explicit Module(std::shared_ptr<const Library> library, HostConfig config = {});
    ~Module();

    DspInstance &dsp() { return *m_dsp; }
    GuiInstance *gui() { return m_gui.get(); } // null: no GUI side
    bool has_gui() const { return m_gui != nullptr; }

    void open();                // dsp().open(), gui()->initialise(1)
    void run(uint32_t samples); // dsp().run(), then deliver_gui_messages()
    void run_block();
    void deliver_gui_messages();
    // Room for this many events, requests and GUI messages (DspInstance::reserve).
    void reserve(size_t events);
    // A change from outside of a GUI-side pin, carried to the DSP side too
    // for IO_BOTH_SIDES pins.
    void set_gui_pin(int pin, double value);
    void close(); // GUI side first, then DSP side

    // For a host whose GUI sides run on a thread of their own: every
    // HOST_SEND_TO_GUI goes to `sink` the moment the DSP side sends it (on
    // the DSP side's thread) instead of waiting here for
    // deliver_gui_messages(). An empty sink restores the waiting.
    void divert_gui_messages(std::function<void(int32_t value)> sink);
    // What a GUI write carries to the DSP side (see above), done by a host
    // that takes GUI writes across threads itself; `value` as
    // GuiValue::number() gives it.
    void carry_gui_value(int pin, double value);

private:
    void carry_to_dsp(int pin, const GuiValue &value);
    std::unique_ptr<DspInstance> m_dsp;
    std::unique_ptr<GuiInstance> m_gui;
    std::vector<int32_t> m_pending;
    std::vector<int32_t> m_delivering; // swapped with m_pending, so both keep their room
    std::function<void(int32_t)> m_gui_sink;
};

} // namespace sehost

#endif
