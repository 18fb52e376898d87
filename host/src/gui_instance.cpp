// gui_instance.cpp - the GUI side: pin value store, operations, requests.
#include "sehost/gui_instance.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <utility>

#include "close_call.h"
#include "registry.h"
#include "sehost/host_error.h"

namespace sehost {
namespace {

se_result SE_CALL gui_callback(void *plug, int32_t op, int32_t index, int32_t value, void *ptr,
                               float opt)
{
    GuiInstance *inst = registry::find_gui(plug);
    if (!inst)
        inst = registry::making_gui();
    if (!inst) {
        try {
            registry::orphan_error("GUI request " + std::to_string(op) +
                                   " from a record of no live instance");
        } catch (...) { // nothing may unwind into the module
        }
        return 0;
    }
    return inst->host_request(op, index, value, ptr, opt);
}

bool is_float_pin(const PinDecl &d)
{
    return d.datatype == DT_FLOAT32 || d.datatype == DT_FSAMPLE;
}

// A text read as its number, where it is one (PinDecl::read_text); a list
// that does not parse reads no number.
bool text_number(const PinDecl &d, const std::string &text, double &out)
{
    try {
        if (std::optional<double> v = d.read_text(text)) {
            out = *v;
            return true;
        }
    } catch (const HostError &) {
    }
    return false;
}

void assign_number(const PinDecl &d, GuiValue &v, double x)
{
    v.text.clear();
    if (is_float_pin(d)) {
        v.kind = GuiValue::Kind::Float;
        v.f = static_cast<float>(x);
        // Not-a-number and huge values have no integer reading.
        v.i = std::fabs(x) < 2147483648.0 ? static_cast<int32_t>(x) : 0;
    } else {
        v.kind = GuiValue::Kind::Int;
        v.i = static_cast<int32_t>(std::lround(x));
        v.f = static_cast<float>(v.i);
    }
}

// A text written to a pin: kept as text, and read as its number where it is one.
void assign_text(const PinDecl &d, GuiValue &v, const std::string &text)
{
    double x = 0.0;
    if (text_number(d, text, x))
        assign_number(d, v, x);
    v.kind = GuiValue::Kind::Text;
    v.text = text;
}

std::string value_text(const GuiValue &v)
{
    if (v.kind == GuiValue::Kind::Text)
        return v.text;
    char buf[64];
    if (v.kind == GuiValue::Kind::Float)
        std::snprintf(buf, sizeof buf, "%g", static_cast<double>(v.f));
    else
        std::snprintf(buf, sizeof buf, "%d", static_cast<int>(v.i));
    return buf;
}

} // namespace

struct GuiInstance::Impl {
    int depth = 0;               // calls into the module under way
    std::exception_ptr deferred; // thrown on the host's side inside a request

    std::map<int, std::string> texts; // host-owned texts answered by GUI_HOST_GET_PIN_TEXT
};

std::unique_ptr<GuiInstance> GuiInstance::make(std::shared_ptr<const Library> library,
                                               std::vector<PinDecl> pins, HostConfig config)
{
    std::unique_ptr<GuiInstance> gui(
        new GuiInstance(std::move(library), std::move(pins), std::move(config)));
    if (!gui->m_record)
        return nullptr;
    return gui;
}

GuiInstance::GuiInstance(std::shared_ptr<const Library> library, std::vector<PinDecl> pins,
                         HostConfig config)
    : m(new Impl), m_library(std::move(library)), m_config(std::move(config)),
      m_pins(std::move(pins))
{
    const std::string &path = m_library->path();
    m_values.resize(m_pins.size());
    for (size_t n = 0; n < m_pins.size(); ++n) {
        const PinDecl &d = m_pins[n];
        double x = 0.0;
        if (d.default_value && !d.default_value->empty() && !text_number(d, *d.default_value, x))
            throw HostError(path + ": pin \"" + d.name + "\" has a default \"" + *d.default_value +
                            "\" that is no value");
        assign_number(d, m_values[n], x);
    }
    registry::set_making(nullptr, this);
    void *answer = m_library->make_module_fn()(0, SE_MAKE_GUI, gui_callback, this);
    registry::set_making(nullptr, nullptr);
    if (!answer)
        return; // no GUI side
    auto *rec = static_cast<GuiPlugRecord *>(answer);
    if (rec->magic != SE_GUI_PLUG_MAGIC || rec->version != 1 || !rec->dispatcher || !rec->object)
        throw HostError(path + ": makeModule(0, 2) answered a malformed GuiPlugRecord");
    if (rec->host_data != this)
        throw HostError(path + ": GuiPlugRecord does not hold the host data given to makeModule");
    m_record = rec;
    registry::add(rec, this);
}

GuiInstance::~GuiInstance()
{
    if (m_record) {
        try {
            close();
        } catch (...) {
        }
    }
}

int GuiInstance::pin_number(const std::string &name) const
{
    for (const PinDecl &d : m_pins)
        if (d.name == name)
            return d.number;
    throw HostError(m_library->path() + ": no pin named \"" + name + "\"");
}

se_result GuiInstance::dispatch(int32_t op, int32_t index, int32_t value, void *ptr, float opt)
{
    if (!m_record)
        throw HostError(m_library->path() + ": GUI operation " + std::to_string(op) +
                        " after GUI_OP_CLOSE");
    se_gui_dispatch_entry entry = m_record->dispatcher;
    if (!entry)
        throw HostError(m_library->path() + ": GUI dispatcher entry became null");
    size_t before = m_errors.size();
    se_result answer;
    {
        struct Leave {
            int &depth;
            ~Leave() { --depth; }
        } leave{++m->depth};
        answer = entry(m_record, op, index, value, ptr, opt);
    }
    if (m->depth > 0)
        return answer; // a call made inside another: the outermost one reports
    // Back on the host's side: what went wrong inside the module's requests.
    if (m->deferred)
        std::rethrow_exception(std::exchange(m->deferred, nullptr));
    if (m_config.throw_on_module_error && m_errors.size() > before)
        throw HostError(m_errors[before]);
    return answer;
}

void GuiInstance::initialise(int32_t index)
{
    dispatch(GUI_OP_INITIALISE, index);
    m_initialised = true;
}

void GuiInstance::close()
{
    if (!m_record)
        return;
    close_and_forget(
        m_library->path(), "GUI_OP_CLOSE", [this] { return dispatch(GUI_OP_CLOSE); },
        [this] {
            registry::remove(m_record);
            m_record = nullptr;
            m_idle = false;
        });
}

namespace {
[[noreturn]] void no_gui_pin(const std::string &path, int pin)
{
    throw HostError(path + ": no pin declaration " + std::to_string(pin));
}
} // namespace

void GuiInstance::set_pin(int pin, double value)
{
    if (pin < 0 || pin >= static_cast<int>(m_pins.size()))
        no_gui_pin(m_library->path(), pin);
    assign_number(m_pins[static_cast<size_t>(pin)], m_values[static_cast<size_t>(pin)], value);
    if (m_initialised && m_record)
        dispatch(GUI_OP_PIN_VALUE_CHANGED, pin);
}

void GuiInstance::set_pin_text(int pin, const std::string &text)
{
    if (pin < 0 || pin >= static_cast<int>(m_pins.size()))
        no_gui_pin(m_library->path(), pin);
    assign_text(m_pins[static_cast<size_t>(pin)], m_values[static_cast<size_t>(pin)], text);
    if (m_initialised && m_record)
        dispatch(GUI_OP_PIN_VALUE_CHANGED, pin);
}

const GuiValue &GuiInstance::value(int pin) const
{
    if (pin < 0 || pin >= static_cast<int>(m_pins.size()))
        no_gui_pin(m_library->path(), pin);
    return m_values[static_cast<size_t>(pin)];
}
int32_t GuiInstance::int_value(int pin) const
{
    return value(pin).i;
}
float GuiInstance::float_value(int pin) const
{
    return value(pin).f;
}

bool GuiInstance::idle()
{
    if (!m_initialised)
        throw HostError(m_library->path() + ": GUI_OP_IDLE before GUI_OP_INITIALISE");
    se_result answer = dispatch(GUI_OP_IDLE);
    if (answer != 0 && answer != 1)
        throw HostError(m_library->path() + ": GUI_OP_IDLE answered " + std::to_string(answer) +
                        ", expected 0 or 1");
    return answer == 1;
}

int GuiInstance::run_idle(int max_calls)
{
    int calls = 0;
    while (m_idle && m_record && calls < max_calls) {
        idle();
        ++calls;
    }
    return calls;
}

void GuiInstance::dsp_message(int32_t value, int32_t index, void *ptr)
{
    if (!m_initialised)
        throw HostError(m_library->path() + ": GUI_OP_DSP_MESSAGE before GUI_OP_INITIALISE");
    dispatch(GUI_OP_DSP_MESSAGE, index, value, ptr);
}

// A request of the module, answered inside its call: whatever the host's side
// throws here (a handler of on_write, a full memory) is kept and thrown when
// the outermost call into the module has returned, never through the
// module's frames.
se_result GuiInstance::host_request(int32_t op, int32_t index, int32_t value, void *ptr, float opt)
try {
    const std::string &path = m_library->path();
    m_requests.push_back(GuiRequest{op, index, value, opt});
    auto fail = [&](const std::string &why) {
        m_errors.push_back(path + ": GUI request " + std::to_string(op) + " (pin " +
                           std::to_string(index) + "): " + why);
    };
    if (m->depth == 0 && registry::making_gui() != this)
        fail("made outside the host's calls into the module");
    auto pin_ok = [&]() {
        if (index >= 0 && index < static_cast<int32_t>(m_pins.size()))
            return true;
        fail("no such pin declaration");
        return false;
    };
    auto wrote = [&](GuiWrite w) {
        m_writes.push_back(w);
        const GuiValue stored = m_values[static_cast<size_t>(index)];
        if (on_write)
            on_write(index, stored);
        if (m_config.gui_echo && m_record)
            dispatch(GUI_OP_PIN_VALUE_CHANGED, index); // re-entrant, as a real host may
    };

    switch (op) {
    case GUI_HOST_SET_PIN_TEXT: {
        if (!pin_ok())
            return 0;
        if (!ptr) {
            fail("null text");
            return 0;
        }
        std::string text(static_cast<const char *>(ptr),
                         strnlen(static_cast<const char *>(ptr), 1u << 16));
        GuiValue &v = m_values[static_cast<size_t>(index)];
        assign_text(m_pins[static_cast<size_t>(index)], v, text);
        wrote(GuiWrite{index, GuiValue::Kind::Text, v.i, v.f, text});
        return 0;
    }
    case GUI_HOST_GET_PIN_TEXT: {
        if (!pin_ok())
            return 0;
        std::string text = value_text(m_values[static_cast<size_t>(index)]);
        std::string &kept = m->texts[index]; // kept until the next request for the pin
        kept = text;
        return reinterpret_cast<se_result>(kept.c_str());
    }
    case GUI_HOST_GET_PIN_VALUE: {
        if (!pin_ok())
            return 0;
        if (!ptr) {
            fail("null value slot");
            return 0;
        }
        const GuiValue &v = m_values[static_cast<size_t>(index)];
        if (is_float_pin(m_pins[static_cast<size_t>(index)]))
            std::memcpy(ptr, &v.f, sizeof v.f);
        else
            std::memcpy(ptr, &v.i, sizeof v.i);
        return 0;
    }
    case GUI_HOST_SET_PIN_VALUE: {
        if (!pin_ok())
            return 0;
        const PinDecl &d = m_pins[static_cast<size_t>(index)];
        GuiValue &v = m_values[static_cast<size_t>(index)];
        bool f = is_float_pin(d);
        assign_number(d, v, f ? static_cast<double>(opt) : static_cast<double>(value));
        wrote(GuiWrite{index, f ? GuiValue::Kind::Float : GuiValue::Kind::Int, v.i, v.f,
                       std::string()});
        return 0;
    }
    case GUI_HOST_GET_PIN_WIDE_TEXT: {
        if (!pin_ok())
            return 0;
        std::string text = value_text(m_values[static_cast<size_t>(index)]);
        int32_t needed = static_cast<int32_t>(text.size() + 1);
        if (value <= 0 || !ptr)
            return needed;
        int32_t n = value < needed ? value : needed;
        auto *out = static_cast<uint16_t *>(ptr);
        for (int32_t k = 0; k + 1 < n; ++k)
            out[k] = static_cast<unsigned char>(text[static_cast<size_t>(k)]);
        out[n - 1] = 0;
        return needed;
    }
    case GUI_HOST_SET_IDLE:
        m_idle = index != 0;
        return 0;
    default:
        return 0;
    }
} catch (...) {
    if (!m->deferred)
        m->deferred = std::current_exception();
    return 0;
}

} // namespace sehost
