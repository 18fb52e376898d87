// dsp_instance.cpp - driving one DSP-side object: creation, open, inputs,
// buffers and the run loop over its named steps.  Pin learning and pin
// variables are in dsp_pins.cpp, the guard zones in dsp_guards.cpp, the
// answers to the module's requests in dsp_requests.cpp.
#include "sehost/dsp_instance.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

#include "close_call.h"
#include "dsp_instance_impl.h"
#include "registry.h"
#include "sehost/host_error.h"

namespace sehost {

using dsp::CallScope;
using dsp::default_value;
using dsp::dsp_callback;
using dsp::guard_word;
using dsp::pin_label;
using dsp::PinState;
using dsp::write_buffer_addresses;
using dsp::write_variable;

// ---------------------------------------------------------------- creation

DspInstance::DspInstance(std::shared_ptr<const Library> library, HostConfig config)
    : m(new Impl), m_library(std::move(library)), m_config(std::move(config))
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
        m->phase = Phase::Dispatch;
        try {
            close();
        } catch (...) {
        }
        throw;
    }
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

se_result DspInstance::dispatch(int32_t op, int32_t index, int32_t value, void *ptr, float opt)
{
    if (!m_record)
        throw HostError(m_library->path() + ": dispatch " + std::to_string(op) +
                        " after MOD_CLOSE");
    se_dispatch_entry entry = m_record->dispatch;
    if (!entry)
        throw HostError(m_library->path() + ": dispatch entry became null");
    size_t before = m_errors.size();
    Phase now = m->phase == Phase::Query ? Phase::Query
                : op == MOD_OPEN         ? Phase::Open
                : op == MOD_CLOSE        ? Phase::Close
                                         : Phase::Dispatch;
    se_result answer;
    {
        CallScope scope(m->in_call, m->phase, now);
        m->call_clock = m_clock;
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
    return m->pin_count;
}

uint32_t DspInstance::block_start() const
{
    return m_clock - m_clock % static_cast<uint32_t>(m_config.block_size);
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
    for (const DspPin &p : m_dsp_pins) {
        if (p.datatype != DT_FSAMPLE)
            continue;
        PinState &st = m->pins[static_cast<size_t>(p.index)];
        st.buffer = dsp::guarded_block(st.memory, bs, guard);
        m->audio_pins.push_back(static_cast<size_t>(p.index));
        m->buffers.push_back(st.buffer);
    }
    write_buffer_addresses(m_dsp_pins, m->pins);

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
        PinState &st = m->pins[static_cast<size_t>(p.index)];
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
    write_buffer_addresses(m_dsp_pins, m->pins);
    for (const DspPin &p : m_dsp_pins) {
        if (p.decl < 0 || (p.direction != DR_IN && p.direction != DR_SETTING))
            continue;
        const PinState &st = m->pins[static_cast<size_t>(p.index)];
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
        PinState &st = m->pins[static_cast<size_t>(pin)];
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
        m->pins[static_cast<size_t>(pin)].initial_status = status;
        return;
    }
    uint32_t at = clock.value_or(m_clock);
    if (at < m_clock)
        throw HostError(path + ": status for DSP pin " + std::to_string(pin) + " at a past clock");
    queue_event(TimedEvent{at, EV_PIN_STATUS, status, 0, pin, 0});
}

void DspInstance::reserve(size_t events)
{
    m->queue.reserve(events);
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
    PinState &st = m->pins[static_cast<size_t>(pin)];
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
    m->queue.push(event.time_stamp, Queued{event, write, value});
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
        m->pins[resolve_audio(m_library->path(), m_pins, m_dsp_pins, m->pins, pin, true)];
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
    return m->pins[resolve_audio(m_library->path(), m_pins, m_dsp_pins, m->pins, pin, false)]
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
    PinState &st = m->pins[static_cast<size_t>(pin)];
    if (!st.capturing)
        m->capturing.push_back(static_cast<size_t>(pin));
    st.capturing = true;
}
void DspInstance::capture(const std::string &pin)
{
    capture(dsp_index(pin));
}

const std::vector<float> &DspInstance::captured(int pin) const
{
    if (pin < 0 || pin >= static_cast<int>(m_dsp_pins.size()) ||
        !m->pins[static_cast<size_t>(pin)].capturing)
        throw HostError(m_library->path() + ": DSP pin " + std::to_string(pin) +
                        " is not captured");
    return m->pins[static_cast<size_t>(pin)].captured;
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
    m->split.lengths(std::move(lengths));
}

void DspInstance::split_random(uint32_t seed, int32_t max_length)
{
    if (max_length <= 0)
        throw HostError(m_library->path() + ": stretch lengths must be positive");
    m->split.random(seed, max_length);
}

void DspInstance::split_plain()
{
    m->split.whole();
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
    const std::optional<uint32_t> &prepared = m->prepared_block;
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
    Impl &im = *m;
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
    auto &queue = m->queue;
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
        PinState &st = m->pins[static_cast<size_t>(p.index)];
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
        CallScope scope(m->in_call, m->phase, Phase::Event);
        m->call_clock = q.event.time_stamp;
        entry(m_record->object, &copy);
    }
    raise_since(before);
}

// The end of the next stretch: the block's end, the run's end or the next
// event, whichever comes first, cut further by the split in use.
inline uint32_t DspInstance::plan_stretch(uint32_t start, uint32_t end)
{
    const auto &queue = m->queue;
    uint32_t stop = std::min(end, start + static_cast<uint32_t>(m_config.block_size));
    if (!queue.empty() && queue.front_stamp() < stop)
        stop = queue.front_stamp();
    return m->split.stop(m_clock, stop);
}

// The process entry (read from the record before every call) for block
// samples offset .. offset + count - 1.
inline void DspInstance::call_process(uint32_t offset, uint32_t count)
{
    se_process_entry entry = m_record->process;
    if (!entry)
        throw HostError(m_library->path() + ": process entry is null");
    {
        CallScope scope(m->in_call, m->phase, Phase::Process);
        m->call_clock = m_clock;
        entry(m_record->object, static_cast<int32_t>(offset), static_cast<int32_t>(count));
    }
    ++m_process_calls;
    // Per stretch only the word on either side of each buffer, where an
    // overrun by one lands; that attributes it to this call.  The whole
    // zones are checked once per block, in finish_stretch.
    Impl &im = *m;
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
    Impl &im = *m;
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
    if (m->deferred)
        std::rethrow_exception(std::exchange(m->deferred, nullptr));
    if (m_config.throw_on_module_error && m_errors.size() > before)
        throw HostError(m_errors[before]);
}

} // namespace sehost
