// module.cpp - both sides of one instance, and what the host carries between them.
#include "sehost/module.h"

#include "sehost/host_error.h"

namespace sehost {

Module::Module(std::shared_ptr<const Library> library, HostConfig config)
{
    m_dsp.reset(new DspInstance(library, config));
    m_gui = GuiInstance::make(library, m_dsp->pins(), config);
    m_dsp->on_send_to_gui = [this](int32_t, int32_t value) {
        if (m_gui_sink)
            m_gui_sink(value);
        else
            m_pending.push_back(value);
    };
    if (m_gui)
        m_gui->on_write = [this](int pin, const GuiValue &value) { carry_to_dsp(pin, value); };
}

Module::~Module()
{
    try {
        close();
    } catch (...) {
    }
}

void Module::carry_to_dsp(int pin, const GuiValue &value)
{
    carry_gui_value(pin, value.number());
}

void Module::carry_gui_value(int pin, double value)
{
    const PinDecl &d = m_dsp->pins()[static_cast<size_t>(pin)];
    if (!d.is_gui_pin() || (d.flags & IO_BOTH_SIDES) == 0 || d.dsp_index < 0 || !m_dsp->record())
        return;
    // Not yet open: it becomes the value the DSP side starts with.
    m_dsp->set_value(d.dsp_index, value,
                     m_dsp->is_open() ? std::optional<uint32_t>(m_dsp->clock())
                                      : std::optional<uint32_t>());
}

void Module::open()
{
    m_dsp->open();
    if (m_gui)
        m_gui->initialise(1);
    deliver_gui_messages();
}

void Module::run(uint32_t samples)
{
    m_dsp->run(samples);
    deliver_gui_messages();
}

void Module::run_block()
{
    m_dsp->run_block();
    deliver_gui_messages();
}

void Module::reserve(size_t events)
{
    m_dsp->reserve(events);
    m_pending.reserve(events);
    m_delivering.reserve(events);
}

void Module::divert_gui_messages(std::function<void(int32_t value)> sink)
{
    m_gui_sink = std::move(sink);
}

void Module::deliver_gui_messages()
{
    if (!m_gui || !m_gui->initialised()) {
        if (!m_gui)
            m_pending.clear(); // no GUI side to receive them
        return;
    }
    // A message the GUI side's handler makes the DSP side send lands in
    // the emptied m_pending, for the next delivery.
    m_delivering.clear();
    m_delivering.swap(m_pending);
    for (int32_t value : m_delivering)
        m_gui->dsp_message(value);
}

void Module::set_gui_pin(int pin, double value)
{
    if (!m_gui)
        throw HostError(m_dsp->library().path() + ": no GUI side");
    m_gui->set_pin(pin, value);
    carry_to_dsp(pin, m_gui->value(pin));
}

void Module::close()
{
    if (m_gui)
        m_gui->close();
    m_dsp->close();
}

} // namespace sehost
