// dsp_pins.cpp - learning a module's pins, and the typed reads and writes of
// the variables behind them.
#include <cmath>
#include <cstring>

#include "dsp_instance_impl.h"
#include "sehost/host_error.h"

namespace sehost {
namespace {

constexpr int kMaxDeclarations = 4096;

bool valid_datatype(int32_t t)
{
    return t == DT_CHOICE || t == DT_MIDI || t == DT_BOOLEAN || t == DT_FSAMPLE ||
           t == DT_FLOAT32 || t == DT_WORD32;
}

std::string copy_module_text(const char *text)
{
    size_t n = 0;
    while (n < 4096 && text[n] != '\0')
        ++n;
    return std::string(text, n);
}

} // namespace

void DspInstance::learn()
{
    const std::string &path = m_library->path();
    // Learn the declarations: 0, 1, 2, ... until the module answers 0.
    m->phase = Phase::Query;
    int dsp = 0;
    for (int j = 0;; ++j) {
        if (j == kMaxDeclarations) {
            throw HostError(path + ": more than 4096 pin declarations");
        }
        SEPinProperties props;
        std::memset(&props, 0, sizeof props);
        if (dispatch(MOD_GET_PIN_PROPERTIES, j, 0, &props) == 0)
            break;
        PinDecl d;
        d.number = j;
        std::string where = path + ": pin declaration " + std::to_string(j);
        if (!props.name) {
            throw HostError(where + " has no name");
        }
        d.name = copy_module_text(props.name);
        where += " \"" + d.name + "\"";
        if (!valid_datatype(props.datatype)) {
            throw HostError(where + " has unknown data type " + std::to_string(props.datatype));
        }
        if (props.direction != DR_IN && props.direction != DR_OUT &&
            props.direction != DR_SETTING) {
            throw HostError(where + " has unknown direction " + std::to_string(props.direction));
        }
        d.direction = props.direction;
        d.datatype = props.datatype;
        d.flags = props.flags;
        if (props.default_value)
            d.default_value = copy_module_text(props.default_value);
        if (props.list_text)
            d.list_text = copy_module_text(props.list_text);
        d.variable_address = reinterpret_cast<uintptr_t>(props.variable_address);
        if (d.has_dsp_pin())
            d.dsp_index = dsp++;
        m_pins.push_back(std::move(d));
    }
    m->phase = Phase::Dispatch;

    // The DSP pins, as the SDK's Open will number them for this count.
    int32_t declared = dsp;
    if (m_config.repeat_copies > 0 && (m_pins.empty() || !m_pins.back().has_dsp_pin() ||
                                       (m_pins.back().flags & IO_REPEAT_LAST) == 0)) {
        throw HostError(
            path + ": repeated pins asked for, but the last declaration has no IO_REPEAT_LAST");
    }
    int32_t n = m_config.pin_count ? *m_config.pin_count : declared + m_config.repeat_copies;
    m->pin_count = n;
    for (PinDecl &d : m_pins) {
        if (d.dsp_index < 0)
            continue;
        if (d.dsp_index >= n) {
            d.dsp_index = -1; // the host gave fewer pins than declared
            continue;
        }
        m_dsp_pins.push_back(
            DspPin{d.dsp_index, d.number, false, d.direction, d.datatype, d.variable_address});
    }
    const PinDecl *last = m_pins.empty() ? nullptr : &m_pins.back();
    bool repeat = last && last->has_dsp_pin() && (last->flags & IO_REPEAT_LAST) != 0;
    while (static_cast<int32_t>(m_dsp_pins.size()) < n) {
        int index = static_cast<int>(m_dsp_pins.size());
        if (repeat)
            m_dsp_pins.push_back(
                DspPin{index, last->number, true, last->direction, last->datatype, 0});
        else
            m_dsp_pins.push_back(DspPin{index, -1, false, -1, -1, 0}); // no declaration behind it
    }
    m->pins.resize(m_dsp_pins.size());
}

namespace dsp {

std::string pin_label(const std::string &path, const std::vector<PinDecl> &pins, const DspPin &p)
{
    std::string s = path + ": DSP pin " + std::to_string(p.index);
    if (p.decl >= 0)
        s += " \"" + pins[static_cast<size_t>(p.decl)].name + "\"";
    return s;
}

double default_value(const std::string &path, const PinDecl &d)
{
    if (!d.default_value || d.default_value->empty())
        return 0.0;
    if (std::optional<double> v = d.read_text(*d.default_value))
        return d.datatype == DT_FSAMPLE ? *v / 10.0 : *v;
    throw HostError(path + ": pin \"" + d.name + "\" has a default \"" + *d.default_value +
                    "\" that is no value");
}

void write_variable(const DspPin &p, double v)
{
    if (p.variable_address == 0)
        return;
    void *var = reinterpret_cast<void *>(p.variable_address);
    switch (p.datatype) {
    case DT_CHOICE: {
        int16_t x = static_cast<int16_t>(std::lround(v));
        std::memcpy(var, &x, sizeof x);
        break;
    }
    case DT_BOOLEAN: {
        uint8_t x = v != 0.0 ? 1 : 0;
        std::memcpy(var, &x, sizeof x);
        break;
    }
    case DT_FLOAT32: {
        float x = static_cast<float>(v);
        std::memcpy(var, &x, sizeof x);
        break;
    }
    case DT_WORD32: {
        int32_t x = static_cast<int32_t>(std::lround(v));
        std::memcpy(var, &x, sizeof x);
        break;
    }
    default:
        break;
    }
}

std::optional<double> read_variable(const DspPin &p)
{
    if (p.variable_address == 0)
        return std::nullopt;
    const void *var = reinterpret_cast<const void *>(p.variable_address);
    switch (p.datatype) {
    case DT_CHOICE: {
        int16_t x;
        std::memcpy(&x, var, sizeof x);
        return x;
    }
    case DT_BOOLEAN: {
        uint8_t x;
        std::memcpy(&x, var, sizeof x);
        return x;
    }
    case DT_FLOAT32: {
        float x;
        std::memcpy(&x, var, sizeof x);
        return x;
    }
    case DT_WORD32: {
        int32_t x;
        std::memcpy(&x, var, sizeof x);
        return x;
    }
    default:
        return std::nullopt;
    }
}

void write_buffer_addresses(const std::vector<DspPin> &pins, const std::vector<PinState> &states)
{
    for (const DspPin &p : pins) {
        if (p.datatype != DT_FSAMPLE || p.variable_address == 0)
            continue;
        float *address = states[static_cast<size_t>(p.index)].buffer;
        std::memcpy(reinterpret_cast<void *>(p.variable_address), &address, sizeof address);
    }
}

} // namespace dsp
} // namespace sehost
