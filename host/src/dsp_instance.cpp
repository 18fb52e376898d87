// dsp_instance.cpp - driving one DSP-side object: creation, pins, open,
// events and stretches, and the answers to its requests.
#include "sehost/dsp_instance.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <exception>
#include <utility>

#include "close_call.h"
#include "registry.h"
#include "sehost/event_queue.h"
#include "sehost/host_error.h"
#include "sehost/stretch_planner.h"

namespace sehost {
namespace {

constexpr int kMaxDeclarations = 4096;
constexpr uint32_t kGuardBits = 0x7FE5A5A5u; // a quiet NaN no module computes

// Nonzero if the word at p is not the guard bits.
inline uint32_t guard_word(const float *p)
{
    uint32_t word;
    std::memcpy(&word, p, sizeof word);
    return word ^ kGuardBits;
}

se_result SE_CALL dsp_callback(void *plug, int32_t op, int32_t index, int32_t value, void *ptr,
                               float opt)
{
    DspInstance *inst = registry::find_dsp(plug);
    if (!inst)
        inst = registry::making_dsp();
    if (!inst) {
        try {
            registry::orphan_error(std::string("DSP request ") + request_name(op) +
                                   " from a record of no live instance");
        } catch (...) { // nothing may unwind into the module
        }
        return 0;
    }
    return inst->host_request(op, index, value, ptr, opt);
}

bool valid_datatype(int32_t t)
{
    return t == DT_CHOICE || t == DT_MIDI || t == DT_BOOLEAN || t == DT_FSAMPLE ||
           t == DT_FLOAT32 || t == DT_WORD32;
}

bool parse_double(const std::string &s, double &out)
{
    if (s.empty())
        return false;
    char *end = nullptr;
    out = std::strtod(s.c_str(), &end);
    return *end == '\0';
}

std::string copy_module_text(const char *text)
{
    size_t n = 0;
    while (n < 4096 && text[n] != '\0')
        ++n;
    return std::string(text, n);
}

} // namespace

struct DspInstance::Queued {
    TimedEvent event;
    bool write; // write `value` into the pin first (set_value)
    double value;
};

namespace {
// What the host keeps for one DSP pin.
struct PinState {
    std::vector<float> memory;             // audio pins: the block with its guard zones
    float *buffer = nullptr;               // sample 0 of the block (audio pins, from open on)
    std::optional<double> initial;         // value stored before open
    std::optional<int32_t> initial_status; // status stored before open
    DspInstance::SourceFill source;        // audio input fed a block at a time
    std::optional<float> held;             // audio input holding one value
    bool capturing = false;
    std::vector<float> captured;
};
} // namespace

struct DspInstance::Impl {
    int32_t pin_count = 0;
    Phase phase = Phase::Create;
    bool in_call = false;
    uint32_t call_clock = 0;
    std::vector<PinState> pins; // per DSP pin
    EventQueue<Queued> queue;
    std::optional<uint32_t> prepared_block;
    StretchPlanner split;
    std::exception_ptr deferred; // thrown on the host's side inside a request
    // guard zones
    std::vector<size_t> audio_pins; // DSP indices of the pins with a buffer
    std::vector<float *> buffers;   // their buffers, in the same order
    bool guards_unchecked = false;  // process calls since the last whole check
    std::vector<size_t> capturing;  // DSP indices of the captured pins
};

// ---------------------------------------------------------------- creation

DspInstance::DspInstance(std::shared_ptr<const Library> library, HostConfig config)
    : m_impl(new Impl), m_library(std::move(library)), m_config(std::move(config))
{
    const std::string &path = m_library->path();
    if (m_config.block_size <= 0)
        throw HostError(path + ": block size " + std::to_string(m_config.block_size) +
                        " is not positive");
    if (m_config.repeat_copies < 0)
        throw HostError(path + ": negative number of repeated pins");
    if (m_config.pin_count && *m_config.pin_count < 0)
        throw HostError(path + ": negative pin count");

    registry::set_making(this, nullptr);
    void *answer = m_library->make_module_fn()(0, SE_MAKE_DSP, dsp_callback, this);
    registry::set_making(nullptr, nullptr);
    if (!answer)
        throw HostError(path + ": makeModule(0, 1) answered null");
    auto *rec = static_cast<PlugRecord *>(answer);
    if (rec->magic != SE_PLUG_MAGIC || rec->version != 1 || !rec->object || !rec->dispatch ||
        !rec->process || !rec->event)
        throw HostError(path + ": makeModule(0, 1) answered a malformed PlugRecord");
    if (rec->host_data != this)
        throw HostError(path + ": PlugRecord does not hold the host data given to makeModule");
    m_record = rec;
    registry::add(rec, this);

    try {
        learn();
    } catch (...) {
        m_impl->phase = Phase::Dispatch;
        try {
            close();
        } catch (...) {
        }
        throw;
    }
}

void DspInstance::learn()
{
    const std::string &path = m_library->path();
    // Learn the declarations: 0, 1, 2, ... until the module answers 0.
    m_impl->phase = Phase::Query;
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
    m_impl->phase = Phase::Dispatch;

    // The DSP pins, as the SDK's Open will number them for this count.
    int32_t declared = dsp;
    if (m_config.repeat_copies > 0 && (m_pins.empty() || !m_pins.back().has_dsp_pin() ||
                                       (m_pins.back().flags & IO_REPEAT_LAST) == 0)) {
        throw HostError(
            path + ": repeated pins asked for, but the last declaration has no IO_REPEAT_LAST");
    }
    int32_t n = m_config.pin_count ? *m_config.pin_count : declared + m_config.repeat_copies;
    m_impl->pin_count = n;
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
    m_impl->pins.resize(m_dsp_pins.size());
}

DspInstance::~DspInstance()
{
    if (m_record) {
        try {
            close();
        } catch (...) {
        }
    }
}

std::vector<PinDecl> learn_pins(std::shared_ptr<const Library> library, HostConfig config)
{
    config.repeat_copies = 0;
    config.pin_count.reset();
    DspInstance probe(std::move(library), config);
    std::vector<PinDecl> pins = probe.pins();
    probe.close();
    return pins;
}

// ---------------------------------------------------------------- helpers

namespace {
struct CallScope {
    CallScope(bool &flag, Phase &phase, Phase now) : m_flag(flag), m_phase(phase), m_saved(phase)
    {
        m_flag = true;
        m_phase = now;
    }
    ~CallScope()
    {
        m_flag = false;
        m_phase = m_saved;
    }
    bool &m_flag;
    Phase &m_phase;
    Phase m_saved;
};
} // namespace

se_result DspInstance::dispatch(int32_t op, int32_t index, int32_t value, void *ptr, float opt)
{
    if (!m_record)
        throw HostError(m_library->path() + ": dispatch " + std::to_string(op) +
                        " after MOD_CLOSE");
    se_dispatch_entry entry = m_record->dispatch;
    if (!entry)
        throw HostError(m_library->path() + ": dispatch entry became null");
    size_t before = m_errors.size();
    Phase now = m_impl->phase == Phase::Query ? Phase::Query
                : op == MOD_OPEN              ? Phase::Open
                : op == MOD_CLOSE             ? Phase::Close
                                              : Phase::Dispatch;
    se_result answer;
    {
        CallScope scope(m_impl->in_call, m_impl->phase, now);
        m_impl->call_clock = m_clock;
        answer = entry(m_record, op, index, value, ptr, opt);
    }
    raise_since(before);
    return answer;
}

const PinDecl &DspInstance::decl(const std::string &name) const
{
    for (const PinDecl &d : m_pins)
        if (d.name == name)
            return d;
    throw HostError(m_library->path() + ": no pin named \"" + name + "\"");
}

int DspInstance::dsp_index(const std::string &name) const
{
    const PinDecl &d = decl(name);
    if (d.dsp_index < 0)
        throw HostError(m_library->path() + ": pin \"" + name + "\" has no DSP-side pin");
    return d.dsp_index;
}

int32_t DspInstance::pin_count() const
{
    return m_impl->pin_count;
}

uint32_t DspInstance::block_start() const
{
    return m_clock - m_clock % static_cast<uint32_t>(m_config.block_size);
}

namespace {

std::string pin_label(const std::string &path, const std::vector<PinDecl> &pins, const DspPin &p)
{
    std::string s = path + ": DSP pin " + std::to_string(p.index);
    if (p.decl >= 0)
        s += " \"" + pins[static_cast<size_t>(p.decl)].name + "\"";
    return s;
}

} // namespace

// The value a pin starts with: stored by the test, else its default text.
static double default_value(const std::string &path, const PinDecl &d)
{
    if (!d.default_value || d.default_value->empty())
        return 0.0;
    const std::string &text = *d.default_value;
    double v = 0.0;
    if (parse_double(text, v))
        return d.datatype == DT_FSAMPLE ? v / 10.0 : v; // audio defaults are volts
    if (d.datatype == DT_BOOLEAN && (text == "true" || text == "false"))
        return text == "true" ? 1.0 : 0.0;
    if (d.datatype == DT_CHOICE && d.list_text) {
        if (auto value = EnumList::parse(*d.list_text).value_of(text))
            return *value;
    }
    throw HostError(path + ": pin \"" + d.name + "\" has a default \"" + text +
                    "\" that is no value");
}

// ---------------------------------------------------------------- values

namespace {

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

} // namespace

static void write_buffer_addresses(const std::vector<DspPin> &pins,
                                   const std::vector<PinState> &states)
{
    for (const DspPin &p : pins) {
        if (p.datatype != DT_FSAMPLE || p.variable_address == 0)
            continue;
        float *address = states[static_cast<size_t>(p.index)].buffer;
        std::memcpy(reinterpret_cast<void *>(p.variable_address), &address, sizeof address);
    }
}

// ---------------------------------------------------------------- open/close

void DspInstance::open()
{
    const std::string &path = m_library->path();
    if (!m_record)
        throw HostError(path + ": open after MOD_CLOSE");
    if (m_open)
        throw HostError(path + ": opened twice");
    const size_t bs = static_cast<size_t>(m_config.block_size);
    const size_t guard = static_cast<size_t>(std::max(0, m_config.guard_samples));
    float guard_value;
    std::memcpy(&guard_value, &kGuardBits, sizeof guard_value);
    for (const DspPin &p : m_dsp_pins) {
        if (p.datatype != DT_FSAMPLE)
            continue;
        PinState &st = m_impl->pins[static_cast<size_t>(p.index)];
        st.memory.assign(bs + 2 * guard, 0.0f);
        std::fill(st.memory.begin(), st.memory.begin() + static_cast<std::ptrdiff_t>(guard),
                  guard_value);
        std::fill(st.memory.end() - static_cast<std::ptrdiff_t>(guard), st.memory.end(),
                  guard_value);
        st.buffer = st.memory.data() + guard;
        m_impl->audio_pins.push_back(static_cast<size_t>(p.index));
        m_impl->buffers.push_back(st.buffer);
    }
    write_buffer_addresses(m_dsp_pins, m_impl->pins);

    // Room for a block's worth of requests up front, so that a caller who
    // clears the record each block seldom makes a request grow it.
    m_requests.reserve(std::max(m_requests.capacity(), bs));
    dispatch(MOD_SET_SAMPLE_RATE, 0, 0, nullptr, m_config.sample_rate);
    dispatch(MOD_SET_BLOCK_SIZE, 0, m_config.block_size);
    dispatch(MOD_OPEN);
    m_open = true;

    // As the real host does: every input's value, every buffer address,
    // then a status for every input and setting pin at clock 0.
    for (const DspPin &p : m_dsp_pins) {
        if (p.decl < 0 || (p.direction != DR_IN && p.direction != DR_SETTING))
            continue;
        PinState &st = m_impl->pins[static_cast<size_t>(p.index)];
        const PinDecl &d = m_pins[static_cast<size_t>(p.decl)];
        double v = st.initial.value_or(p.copy ? 0.0 : default_value(path, d));
        if (p.datatype == DT_FSAMPLE) {
            std::fill(st.buffer, st.buffer + bs, static_cast<float>(v));
            if (!st.source)
                st.held = static_cast<float>(v);
        } else {
            write_variable(p, v);
        }
    }
    write_buffer_addresses(m_dsp_pins, m_impl->pins);
    for (const DspPin &p : m_dsp_pins) {
        if (p.decl < 0 || (p.direction != DR_IN && p.direction != DR_SETTING))
            continue;
        const PinState &st = m_impl->pins[static_cast<size_t>(p.index)];
        int32_t status = p.datatype == DT_FSAMPLE && st.source ? STATUS_STREAMING : STATUS_STILL;
        if (st.initial_status)
            status = *st.initial_status;
        // delivered at once, ahead of anything the test queued for clock 0
        deliver(Queued{TimedEvent{0, EV_PIN_STATUS, status, 0, p.index, 0}, false, 0.0});
    }
}

void DspInstance::close()
{
    if (!m_record)
        return;
    close_and_forget(
        m_library->path(), "MOD_CLOSE", [this] { return dispatch(MOD_CLOSE); },
        [this] {
            registry::remove(m_record);
            m_record = nullptr;
            m_open = false;
        });
}

// ---------------------------------------------------------------- inputs

namespace {
[[noreturn]] void no_pin(const std::string &path, int pin)
{
    throw HostError(path + ": no DSP pin " + std::to_string(pin));
}
} // namespace

void DspInstance::set_value(int pin, double value, std::optional<uint32_t> clock)
{
    const std::string &path = m_library->path();
    if (pin < 0 || pin >= static_cast<int>(m_dsp_pins.size()))
        no_pin(path, pin);
    const DspPin &p = m_dsp_pins[static_cast<size_t>(pin)];
    if (p.direction != DR_IN && p.direction != DR_SETTING)
        throw HostError(pin_label(path, m_pins, p) + " is not an input");
    if (p.datatype == DT_MIDI)
        throw HostError(pin_label(path, m_pins, p) + " is a MIDI pin: queue MIDI events instead");
    if (p.datatype == DT_CHOICE && (value < INT16_MIN || value > INT16_MAX))
        throw HostError(pin_label(path, m_pins, p) + ": value " + std::to_string(value) +
                        " does not fit 16 bits");
    if (!m_open) {
        if (clock && *clock != 0)
            throw HostError(pin_label(path, m_pins, p) +
                            ": a value before open can only be for clock 0");
        PinState &st = m_impl->pins[static_cast<size_t>(pin)];
        st.initial = value;
        if (p.datatype == DT_FSAMPLE)
            st.source = nullptr;
        return;
    }
    uint32_t at = clock.value_or(m_clock);
    if (at < m_clock)
        throw HostError(pin_label(path, m_pins, p) + ": clock " + std::to_string(at) +
                        " is in the past (now " + std::to_string(m_clock) + ")");
    enqueue(TimedEvent{at, EV_PIN_STATUS, STATUS_CHANGED, 0, pin, 0}, true, value);
}

void DspInstance::set_value(const std::string &pin, double value, std::optional<uint32_t> clock)
{
    set_value(dsp_index(pin), value, clock);
}

void DspInstance::set_choice(const std::string &pin, const std::string &label,
                             std::optional<uint32_t> clock)
{
    const PinDecl &d = decl(pin);
    if (d.datatype != DT_CHOICE || !d.list_text)
        throw HostError(m_library->path() + ": pin \"" + pin + "\" has no choice list");
    auto value = EnumList::parse(*d.list_text).value_of(label);
    if (!value)
        throw HostError(m_library->path() + ": pin \"" + pin + "\" has no entry \"" + label + "\"");
    set_value(dsp_index(pin), *value, clock);
}

void DspInstance::set_status(int pin, int32_t status, std::optional<uint32_t> clock)
{
    const std::string &path = m_library->path();
    if (pin < 0 || pin >= static_cast<int>(m_dsp_pins.size()))
        no_pin(path, pin);
    if (!m_open) {
        m_impl->pins[static_cast<size_t>(pin)].initial_status = status;
        return;
    }
    uint32_t at = clock.value_or(m_clock);
    if (at < m_clock)
        throw HostError(path + ": status for DSP pin " + std::to_string(pin) + " at a past clock");
    queue_event(TimedEvent{at, EV_PIN_STATUS, status, 0, pin, 0});
}

void DspInstance::reserve(size_t events)
{
    m_impl->queue.reserve(events);
    m_requests.reserve(events);
}

void DspInstance::set_source(int pin, SourceFill fill)
{
    const std::string &path = m_library->path();
    if (pin < 0 || pin >= static_cast<int>(m_dsp_pins.size()))
        no_pin(path, pin);
    const DspPin &p = m_dsp_pins[static_cast<size_t>(pin)];
    if (p.datatype != DT_FSAMPLE || (p.direction != DR_IN && p.direction != DR_SETTING))
        throw HostError(pin_label(path, m_pins, p) + " is not an audio input");
    PinState &st = m_impl->pins[static_cast<size_t>(pin)];
    st.source = std::move(fill);
    st.held.reset();
    if (m_open) {
        // the rest of the current block follows the source at once
        const uint32_t start = block_start();
        const uint32_t done = m_clock - start;
        st.source(m_clock, static_cast<uint32_t>(m_config.block_size) - done, st.buffer + done);
        queue_event(TimedEvent{m_clock, EV_PIN_STATUS, STATUS_STREAMING, 0, pin, 0});
    }
}

void DspInstance::set_source(const std::string &pin, SourceFill fill)
{
    set_source(dsp_index(pin), std::move(fill));
}

void DspInstance::set_source(int pin, std::function<float(uint32_t)> fn)
{
    set_source(pin, SourceFill([fn = std::move(fn)](uint32_t first, uint32_t count, float *out) {
                   for (uint32_t i = 0; i < count; ++i)
                       out[i] = fn(first + i);
               }));
}

void DspInstance::set_source(const std::string &pin, std::function<float(uint32_t)> fn)
{
    set_source(dsp_index(pin), std::move(fn));
}

void DspInstance::queue_event(const TimedEvent &event)
{
    if (event.time_stamp < m_clock)
        throw HostError(m_library->path() + ": event of kind " + std::to_string(event.kind) +
                        " at clock " + std::to_string(event.time_stamp) + " is in the past (now " +
                        std::to_string(m_clock) + ")");
    enqueue(event, false, 0.0);
}

void DspInstance::enqueue(const TimedEvent &event, bool write, double value)
{
    m_impl->queue.push(event.time_stamp, Queued{event, write, value});
}

void DspInstance::queue_midi(uint32_t clock, int32_t message, int32_t value16)
{
    intptr_t midi_pin = 0;
    for (const DspPin &p : m_dsp_pins)
        if (p.datatype == DT_MIDI && p.direction == DR_IN) {
            midi_pin = p.index;
            break;
        }
    queue_event(TimedEvent{clock, EV_MIDI, message, value16, midi_pin, 0});
}

void DspInstance::queue_patch_change(uint32_t clock)
{
    queue_event(TimedEvent{clock, EV_PATCH_CHANGE, 0, 0, 0, 0});
}

// ---------------------------------------------------------------- buffers

namespace {
size_t resolve_audio(const std::string &path, const std::vector<PinDecl> &decls,
                     const std::vector<DspPin> &pins, const std::vector<PinState> &states, int pin,
                     bool want_input)
{
    if (pin < 0 || pin >= static_cast<int>(pins.size()))
        no_pin(path, pin);
    const DspPin &p = pins[static_cast<size_t>(pin)];
    bool is_input = p.direction == DR_IN || p.direction == DR_SETTING;
    if (p.datatype != DT_FSAMPLE || is_input != want_input)
        throw HostError(pin_label(path, decls, p) +
                        (want_input ? " is not an audio input" : " is not an audio output"));
    if (!states[static_cast<size_t>(pin)].buffer)
        throw HostError(pin_label(path, decls, p) + ": buffers exist from open on");
    return static_cast<size_t>(pin);
}
} // namespace

float *DspInstance::input(int pin)
{
    PinState &st =
        m_impl->pins[resolve_audio(m_library->path(), m_pins, m_dsp_pins, m_impl->pins, pin, true)];
    st.source = nullptr; // the caller fills the buffer from now on
    st.held.reset();
    return st.buffer;
}
float *DspInstance::input(const std::string &pin)
{
    return input(dsp_index(pin));
}
float *DspInstance::output(int pin)
{
    return m_impl
        ->pins[resolve_audio(m_library->path(), m_pins, m_dsp_pins, m_impl->pins, pin, false)]
        .buffer;
}
float *DspInstance::output(const std::string &pin)
{
    return output(dsp_index(pin));
}

void DspInstance::capture(int pin)
{
    if (pin < 0 || pin >= static_cast<int>(m_dsp_pins.size()) ||
        m_dsp_pins[static_cast<size_t>(pin)].datatype != DT_FSAMPLE)
        throw HostError(m_library->path() + ": DSP pin " + std::to_string(pin) +
                        " is no audio pin to capture");
    PinState &st = m_impl->pins[static_cast<size_t>(pin)];
    if (!st.capturing)
        m_impl->capturing.push_back(static_cast<size_t>(pin));
    st.capturing = true;
}
void DspInstance::capture(const std::string &pin)
{
    capture(dsp_index(pin));
}

const std::vector<float> &DspInstance::captured(int pin) const
{
    if (pin < 0 || pin >= static_cast<int>(m_dsp_pins.size()) ||
        !m_impl->pins[static_cast<size_t>(pin)].capturing)
        throw HostError(m_library->path() + ": DSP pin " + std::to_string(pin) +
                        " is not captured");
    return m_impl->pins[static_cast<size_t>(pin)].captured;
}
const std::vector<float> &DspInstance::captured(const std::string &pin) const
{
    return captured(dsp_index(pin));
}

// ---------------------------------------------------------------- running

void DspInstance::split_lengths(std::vector<int32_t> lengths)
{
    for (int32_t n : lengths)
        if (n <= 0)
            throw HostError(m_library->path() + ": stretch lengths must be positive");
    m_impl->split.lengths(std::move(lengths));
}

void DspInstance::split_random(uint32_t seed, int32_t max_length)
{
    if (max_length <= 0)
        throw HostError(m_library->path() + ": stretch lengths must be positive");
    m_impl->split.random(seed, max_length);
}

void DspInstance::split_plain()
{
    m_impl->split.whole();
}

void DspInstance::run_block()
{
    run(block_start() + static_cast<uint32_t>(m_config.block_size) - m_clock);
}

void DspInstance::run_until(uint32_t clock)
{
    if (clock < m_clock)
        throw HostError(m_library->path() + ": run_until a past clock");
    run(clock - m_clock);
}

// One stretch at a time: the block's inputs, the events that are due, the
// stretch up to the next event, block end or split, the process call, then
// captures, clock and guard zones.  (The steps are inline: this loop is the
// host's cost per stretch.)
void DspInstance::run(uint32_t samples)
{
    if (!m_record || !m_open)
        throw HostError(m_library->path() + ": run before open or after close");
    const uint32_t end = m_clock + samples;
    const uint32_t bs = static_cast<uint32_t>(m_config.block_size);
    const std::optional<uint32_t> &prepared = m_impl->prepared_block;
    while (m_clock < end) {
        // The block in hand while the clock is inside it (no division a
        // stretch), as block_start() gives it.
        const uint32_t start = prepared && m_clock >= *prepared && m_clock - *prepared < bs
                                   ? *prepared
                                   : m_clock - m_clock % bs;
        prepare_block(start);
        deliver_due();
        const uint32_t stop = plan_stretch(start, end);
        const size_t errors_before = m_errors.size();
        if (!m_asleep || !m_config.honour_sleep)
            call_process(m_clock - start, stop - m_clock);
        finish_stretch(start, stop, end);
        raise_since(errors_before);
    }
}

namespace {
// A held value into n samples, 16 at a time through a fixed-size copy (which
// the compiler makes vector stores; a fill loop stores a float at a time).
void fill_held(float *p, size_t n, float v)
{
    float run[16];
    for (float &x : run)
        x = v;
    size_t i = 0;
    for (; i + 16 <= n; i += 16)
        std::memcpy(p + i, run, sizeof run);
    for (; i < n; ++i)
        p[i] = v;
}
} // namespace

// A new block: every fed audio input refilled, the split starts over.
inline void DspInstance::prepare_block(uint32_t start)
{
    Impl &im = *m_impl;
    if (im.prepared_block && *im.prepared_block == start)
        return;
    im.prepared_block = start;
    im.split.start_block();
    const uint32_t bs = static_cast<uint32_t>(m_config.block_size);
    for (PinState &st : im.pins) {
        if (st.source)
            st.source(start, bs, st.buffer);
        else if (st.held)
            fill_held(st.buffer, bs, *st.held);
    }
}

// Events whose stamp has come, in queue order; posted ones included.
inline void DspInstance::deliver_due()
{
    auto &queue = m_impl->queue;
    while (!queue.empty() && queue.front_stamp() <= m_clock) {
        const Queued q = queue.front();
        queue.pop();
        deliver(q);
    }
}

// One event into the event entry, after writing a set value into its pin: a
// value of an audio input holds from the event's clock to the block's end.
void DspInstance::deliver(const Queued &q)
{
    if (q.write) {
        const DspPin &p = m_dsp_pins[static_cast<size_t>(q.event.data)];
        PinState &st = m_impl->pins[static_cast<size_t>(p.index)];
        if (p.datatype == DT_FSAMPLE) {
            const uint32_t start = block_start();
            st.source = nullptr;
            st.held = static_cast<float>(q.value);
            std::fill(st.buffer + (m_clock - start), st.buffer + m_config.block_size,
                      static_cast<float>(q.value));
        } else {
            write_variable(p, q.value);
        }
    }
    m_asleep = false;
    se_event_entry entry = m_record->event;
    if (!entry)
        throw HostError(m_library->path() + ": event entry became null");
    TimedEvent copy = q.event;
    const size_t before = m_errors.size();
    {
        CallScope scope(m_impl->in_call, m_impl->phase, Phase::Event);
        m_impl->call_clock = q.event.time_stamp;
        entry(m_record->object, &copy);
    }
    raise_since(before);
}

// The end of the next stretch: the block's end, the run's end or the next
// event, whichever comes first, cut further by the split in use.
inline uint32_t DspInstance::plan_stretch(uint32_t start, uint32_t end)
{
    const auto &queue = m_impl->queue;
    uint32_t stop = std::min(end, start + static_cast<uint32_t>(m_config.block_size));
    if (!queue.empty() && queue.front_stamp() < stop)
        stop = queue.front_stamp();
    return m_impl->split.stop(m_clock, stop);
}

// The process entry (read from the record before every call) for block
// samples offset .. offset + count - 1.
inline void DspInstance::call_process(uint32_t offset, uint32_t count)
{
    se_process_entry entry = m_record->process;
    if (!entry)
        throw HostError(m_library->path() + ": process entry is null");
    {
        CallScope scope(m_impl->in_call, m_impl->phase, Phase::Process);
        m_impl->call_clock = m_clock;
        entry(m_record->object, static_cast<int32_t>(offset), static_cast<int32_t>(count));
    }
    ++m_process_calls;
    // Per stretch only the word on either side of each buffer, where an
    // overrun by one lands; that attributes it to this call.  The whole
    // zones are checked once per block, in finish_stretch.
    Impl &im = *m_impl;
    if (m_config.guard_samples > 0) {
        const size_t bs = static_cast<size_t>(m_config.block_size);
        uint32_t spoiled = 0;
        for (const float *buf : im.buffers)
            spoiled |= guard_word(buf - 1) | guard_word(buf + bs);
        if (spoiled != 0)
            check_guards(false); // tells which
    }
    im.guards_unchecked = true;
}

// Captures, split and clock step past the stretch [m_clock, stop), and the
// whole guard zones at the end of a block and of the run.
inline void DspInstance::finish_stretch(uint32_t start, uint32_t stop, uint32_t end)
{
    Impl &im = *m_impl;
    const uint32_t offset = m_clock - start, n = stop - m_clock;
    for (size_t i : im.capturing) {
        PinState &st = im.pins[i];
        st.captured.insert(st.captured.end(), st.buffer + offset, st.buffer + offset + n);
    }
    im.split.done(n);
    m_clock = stop; // the stretch is done even if the module misbehaved in it
    if (im.guards_unchecked &&
        (stop == start + static_cast<uint32_t>(m_config.block_size) || stop == end)) {
        check_guards(true);
        im.guards_unchecked = false;
    }
}

inline void DspInstance::raise_since(size_t before) const
{
    if (m_impl->deferred)
        std::rethrow_exception(std::exchange(m_impl->deferred, nullptr));
    if (m_config.throw_on_module_error && m_errors.size() > before)
        throw HostError(m_errors[before]);
}

namespace {
// Nonzero if any of the n words from p is not the guard bits: with SSE2
// four words a compare, else one at a time.
uint32_t spoiled_bits(const float *p, size_t n)
{
    uint32_t spoiled = 0;
    size_t k = 0;
#if defined(__SSE2__)
    const __m128i guard = _mm_set1_epi32(static_cast<int32_t>(kGuardBits));
    __m128i differ = _mm_setzero_si128();
    for (; k + 4 <= n; k += 4) {
        const __m128i words = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + k));
        differ = _mm_or_si128(differ, _mm_xor_si128(words, guard));
    }
    // all lanes equal to zero: mask 0xFFFF
    spoiled = static_cast<uint32_t>(
        _mm_movemask_epi8(_mm_cmpeq_epi32(differ, _mm_setzero_si128())) ^ 0xFFFF);
#endif
    for (; k < n; ++k)
        spoiled |= guard_word(p + k);
    return spoiled;
}
} // namespace

void DspInstance::check_guards(bool whole_zones)
{
    Impl &im = *m_impl;
    const size_t guard = static_cast<size_t>(std::max(0, m_config.guard_samples));
    if (guard == 0)
        return;
    const size_t bs = static_cast<size_t>(m_config.block_size);
    for (size_t i : im.audio_pins) {
        float *buf = im.pins[i].buffer;
        // Per stretch the word on either side, at a whole check both zones.
        const uint32_t spoiled =
            whole_zones ? spoiled_bits(buf - guard, guard) | spoiled_bits(buf + bs, guard)
                        : guard_word(buf - 1) | guard_word(buf + bs);
        if (spoiled != 0) {
            m_errors.push_back(pin_label(m_library->path(), m_pins, m_dsp_pins[i]) +
                               ": the module wrote outside its buffer");
            for (size_t k = 1; k <= guard; ++k) { // bits, not floats: see kGuardBits
                std::memcpy(buf - k, &kGuardBits, sizeof kGuardBits);
                std::memcpy(buf + bs - 1 + k, &kGuardBits, sizeof kGuardBits);
            }
        }
    }
}

void DspInstance::process_only(int32_t offset, int32_t count)
{
    if (!m_record || !m_open)
        throw HostError(m_library->path() + ": process before open or after close");
    if (offset < 0 || count <= 0 || offset > m_config.block_size - count)
        throw HostError(m_library->path() + ": stretch " + std::to_string(offset) + " + " +
                        std::to_string(count) + " is not inside a block");
    se_process_entry entry = m_record->process;
    if (!entry)
        throw HostError(m_library->path() + ": process entry is null");
    CallScope scope(m_impl->in_call, m_impl->phase, Phase::Process);
    m_impl->call_clock = m_clock;
    entry(m_record->object, offset, count);
}

void DspInstance::requests_in_process(int32_t op, int32_t index, int32_t value, uint32_t n)
{
    if (!m_record || !m_open)
        throw HostError(m_library->path() + ": request before open or after close");
    CallScope scope(m_impl->in_call, m_impl->phase, Phase::Process);
    m_impl->call_clock = m_clock;
    // Called through a pointer the compiler cannot see through, as a module
    // calls the callback it was given: the call is part of the request.
    se_host_callback volatile callback = dsp_callback;
    for (uint32_t k = 0; k < n; ++k)
        callback(m_record, op, index, value, SE_CLOCK_TO_POINTER(m_clock + k), 0.0f);
}

// ---------------------------------------------------------------- requests

// A fault of a request, kept with the request and the clock: `why`, or with
// a number, why_before + number + why_after.  A null `why` is a pin index
// out of range.
void DspInstance::request_fault(int32_t op, int32_t index, uint32_t now, const char *why,
                                int64_t number, const char *why_after)
{
    std::string text = m_library->path() + ": " + request_name(op) + " (index " +
                       std::to_string(index) + ") at clock " + std::to_string(now) + ": ";
    if (!why)
        text += "no such DSP pin (the instance has " + std::to_string(m_dsp_pins.size()) + ")";
    else if (why_after)
        text += why + std::to_string(number) + why_after;
    else if (number != kNoNumber)
        text += why + std::to_string(number);
    else
        text += why;
    m_errors.push_back(std::move(text));
}

// A request of the module, answered inside its call: whatever the host's side
// throws here (a handler of on_send_to_gui, a full memory) is kept and thrown
// when the call into the module has returned, never through its frames.
se_result DspInstance::host_request(int32_t op, int32_t index, int32_t value, void *ptr, float opt)
try {
    Impl &im = *m_impl;
    const uint32_t now = im.in_call ? im.call_clock : m_clock;
    uint32_t stamp = SE_POINTER_TO_CLOCK(ptr);
    int32_t kept_value = value; // HOST_POST_EVENT keeps the event's kind
    OptionalValue output_value;
    // The record is written field by field in its place: a whole Request
    // built on the stack and copied in is read back wider than it was
    // written, which stalls every request.
    auto keep = [&] {
        Request &r = m_requests.emplace_back();
        r.clock = now;
        r.op = op;
        r.index = index;
        r.value = kept_value;
        r.stamp = stamp;
        r.opt = opt;
        r.phase = im.phase;
        r.output_value = output_value;
    };
    // The texts of faults are made out of line: a request that is in order
    // (nearly all) builds no string.
    auto fail = [&](const char *why) { request_fault(op, index, now, why); };
    if (!im.in_call && registry::making_dsp() != this)
        fail("made outside the host's calls into the module");
    if (m_record && m_record->host_data != this)
        fail("the plug record no longer holds the host data");
    auto pin = [&]() -> const DspPin * {
        if (index < 0 || index >= static_cast<int32_t>(m_dsp_pins.size())) {
            fail(nullptr); // no such pin
            return nullptr;
        }
        return &m_dsp_pins[static_cast<size_t>(index)];
    };

    if (op >= 0 && op < static_cast<int32_t>(m_counts.size()))
        ++m_counts[static_cast<size_t>(op)];
    se_result answer = 0;
    bool query = true; // leaves nothing a reader of the record needs
    switch (op) {
    case HOST_SET_PIN_STATUS: {
        const DspPin *p = pin();
        if (value < STATUS_STILL || value > STATUS_STREAMING)
            request_fault(op, index, now, "unknown status ", value);
        if (stamp < now)
            request_fault(op, index, now, "time stamp ", stamp, " lies in the past");
        if (p && p->datatype != DT_FSAMPLE)
            output_value = read_variable(*p);
        keep();
        return 0;
    }
    case HOST_IS_PIN_CONNECTED:
        if (pin())
            answer = m_config.is_pin_connected ? m_config.is_pin_connected(index)
                                               : m_config.connected_default;
        break;
    case HOST_GET_SAMPLE_CLOCK:
        answer = static_cast<int32_t>(now);
        break;
    case HOST_SEND_MIDI: {
        query = false;
        const DspPin *p = pin();
        if (p && (p->datatype != DT_MIDI || p->direction != DR_OUT))
            fail("not a MIDI output");
        if (stamp < now)
            request_fault(op, index, now, "time stamp ", stamp, " lies in the past");
        break;
    }
    case HOST_GET_PIN_BUFFER:
    case HOST_GET_BUFFER_START: {
        const DspPin *p = pin();
        if (p && p->datatype != DT_FSAMPLE) {
            fail("not an audio pin");
        } else if (p && op == HOST_GET_PIN_BUFFER) {
            float *buf = im.pins[static_cast<size_t>(index)].buffer;
            if (!buf)
                fail("asked before the buffers exist");
            answer = reinterpret_cast<se_result>(buf);
        } else if (p) {
            answer = static_cast<int32_t>(now - now % static_cast<uint32_t>(m_config.block_size));
        }
        break;
    }
    case HOST_SLEEP:
        query = false;
        m_asleep = true;
        break;
    case HOST_GET_PIN_COUNT:
        answer = im.pin_count;
        break;
    case HOST_SEND_TO_GUI:
        keep();
        if (on_send_to_gui)
            on_send_to_gui(index, value);
        return 0;
    case HOST_POST_EVENT: {
        query = false;
        if (!ptr) {
            fail("no event record");
            break;
        }
        TimedEvent e;
        std::memcpy(&e, ptr, sizeof e);
        stamp = e.time_stamp;
        kept_value = e.kind;
        if (e.time_stamp < now) {
            request_fault(op, index, now, "event stamped ", e.time_stamp, " lies in the past");
            break;
        }
        enqueue(e, false, 0.0);
        break;
    }
    case HOST_PROCESS_CHANGED:
        query = false;
        break;
    case HOST_GET_VERSION:
        answer = m_config.host_version;
        break;
    default: // a code the host does not know is kept for whoever looks
        query = false;
        break;
    }
    if (!query || m_config.record_queries)
        keep();
    return answer;
} catch (...) {
    if (!m_impl->deferred)
        m_impl->deferred = std::current_exception();
    return 0;
}

namespace {
// What `make` reads from each request with the code `op`, in call order.
template <class Make> auto collect(const std::vector<Request> &requests, int32_t op, Make make)
{
    std::vector<decltype(make(requests.front()))> out;
    for (const Request &r : requests)
        if (r.op == op)
            out.push_back(make(r));
    return out;
}
} // namespace

std::vector<StatusOut> DspInstance::statuses() const
{
    return collect(m_requests, HOST_SET_PIN_STATUS, [](const Request &r) {
        return StatusOut{r.index, r.value, r.stamp, r.clock, r.output_value.get()};
    });
}

std::vector<MidiOut> DspInstance::midi_out() const
{
    return collect(m_requests, HOST_SEND_MIDI, [](const Request &r) {
        return MidiOut{r.index, r.stamp, r.value, r.clock};
    });
}

std::vector<uint32_t> DspInstance::sleeps() const
{
    return collect(m_requests, HOST_SLEEP, [](const Request &r) { return r.clock; });
}

std::vector<uint32_t> DspInstance::process_changes() const
{
    return collect(m_requests, HOST_PROCESS_CHANGED, [](const Request &r) { return r.clock; });
}

std::vector<int32_t> DspInstance::gui_messages() const
{
    return collect(m_requests, HOST_SEND_TO_GUI, [](const Request &r) { return r.value; });
}

size_t DspInstance::count(int32_t op) const
{
    if (op >= 0 && op < static_cast<int32_t>(m_counts.size()))
        return m_counts[static_cast<size_t>(op)];
    return static_cast<size_t>(std::count_if(m_requests.begin(), m_requests.end(),
                                             [op](const Request &r) { return r.op == op; }));
}

} // namespace sehost
