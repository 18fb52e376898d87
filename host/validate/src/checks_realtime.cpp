// checks_realtime.cpp - nothing allocates while a process or event entry
// runs, and the module calls the host only from inside the host's calls.
//
// This check drives the module with a small host of its own rather than the
// reference host, so that counting can be switched off inside every host
// callback: the reference host records requests (and so allocates) there.
#include <cstring>
#include <vector>

#include "alloc_probe.h"
#include "scenario.h"
#include "sehost/event_queue.h"

namespace sevalidate {
namespace {

class RtHost;
RtHost *g_host = nullptr; // one instance per child process

class RtHost
{
public:
    RtHost(std::shared_ptr<const sehost::Library> lib, int32_t block)
        : m_lib(std::move(lib)), m_block(block)
    {
        m_decls = sehost::learn_pins(m_lib);
        for (const auto &d : m_decls)
            if (d.has_dsp_pin())
                m_pins.push_back(d);
        m_buffers.assign(m_pins.size(), std::vector<float>(static_cast<size_t>(block), 0.0f));
        m_events.reserve(kEventRoom);
        g_host = this;
        m_making = true;
        m_record =
            static_cast<PlugRecord *>(m_lib->make_module_fn()(0, SE_MAKE_DSP, callback, this));
        m_making = false;
        if (!m_record)
            throw sehost::HostError("makeModule(0, 1) answered null");
        // The variables of this instance (the declarations came from another).
        for (auto &d : m_pins) {
            SEPinProperties props;
            std::memset(&props, 0, sizeof props);
            dispatch(MOD_GET_PIN_PROPERTIES, 0, &props, 0.0f, d.number);
            d.variable_address = reinterpret_cast<uintptr_t>(props.variable_address);
        }
    }
    ~RtHost()
    {
        if (m_record)
            dispatch(MOD_CLOSE, 0, nullptr, 0.0f);
        g_host = nullptr;
    }

    void open()
    {
        for (size_t i = 0; i < m_pins.size(); ++i) {
            const auto &d = m_pins[i];
            void *var = reinterpret_cast<void *>(d.variable_address);
            if (d.datatype == DT_FSAMPLE && var) {
                float *b = m_buffers[i].data();
                std::memcpy(var, &b, sizeof b);
            }
        }
        dispatch(MOD_SET_SAMPLE_RATE, 0, nullptr, 44100.0f);
        dispatch(MOD_SET_BLOCK_SIZE, m_block, nullptr, 0.0f);
        dispatch(MOD_OPEN, 0, nullptr, 0.0f);
        for (size_t i = 0; i < m_pins.size(); ++i)
            if (m_pins[i].is_input() && m_pins[i].datatype != DT_MIDI)
                event(TimedEvent{0, EV_PIN_STATUS, m_pins[i].datatype == DT_FSAMPLE ? 2 : 0, 0,
                                 static_cast<intptr_t>(i), 0});
    }

    // Writes a value into a non-audio input's variable and queues its status.
    void change(size_t pin, int32_t value, uint32_t at)
    {
        void *var = reinterpret_cast<void *>(m_pins[pin].variable_address);
        if (var) {
            if (m_pins[pin].datatype == DT_CHOICE) {
                int16_t v = static_cast<int16_t>(value);
                std::memcpy(var, &v, sizeof v);
            } else if (m_pins[pin].datatype == DT_BOOLEAN) {
                uint8_t v = value ? 1 : 0;
                std::memcpy(var, &v, sizeof v);
            } else if (m_pins[pin].datatype == DT_FLOAT32) {
                float v = static_cast<float>(value) * 0.1f;
                std::memcpy(var, &v, sizeof v);
            }
        }
        event(TimedEvent{at, EV_PIN_STATUS, STATUS_CHANGED, 0, static_cast<intptr_t>(pin), 0});
    }
    // Events beyond the room are dropped (a module that posts without end).
    void event(const TimedEvent &e)
    {
        if (m_events.size() < kEventRoom)
            m_events.push(e.time_stamp, e);
    }

    // One block: inputs filled, events delivered at their stamps, the
    // stretches between them processed in pieces of random length.
    void run_block(Rng &rng)
    {
        for (size_t i = 0; i < m_pins.size(); ++i)
            if (m_pins[i].datatype == DT_FSAMPLE && m_pins[i].is_input())
                for (int32_t k = 0; k < m_block; ++k)
                    m_buffers[i][static_cast<size_t>(k)] =
                        static_cast<float>(((m_clock + k) * 37u % 101u)) / 50.0f - 1.0f;
        const uint32_t start = m_clock, end = m_clock + static_cast<uint32_t>(m_block);
        while (m_clock < end) {
            deliver_due();
            uint32_t stop = end;
            if (!m_events.empty() && m_events.front_stamp() < stop)
                stop = m_events.front_stamp();
            uint32_t n = std::min(stop - m_clock, 1 + rng.below(static_cast<uint32_t>(m_block)));
            if (!m_asleep) {
                m_in_entry = true;
                alloc_probe::arm();
                m_record->process(m_record->object, static_cast<int32_t>(m_clock - start),
                                  static_cast<int32_t>(n));
                alloc_probe::disarm();
                m_in_entry = false;
                ++m_calls;
            }
            m_clock += n;
        }
    }

    uint64_t outside_calls() const { return m_outside; }
    uint64_t calls() const { return m_calls; }
    const std::vector<sehost::PinDecl> &pins() const { return m_pins; }
    uint32_t clock() const { return m_clock; }

private:
    se_result dispatch(int32_t op, int32_t value, void *ptr, float opt, int32_t index = 0)
    {
        m_in_call = true;
        se_result a = m_record->dispatch(m_record, op, index, value, ptr, opt);
        m_in_call = false;
        return a;
    }

    // Events stamped now, in order; one posted for a clock that a stretch has
    // already passed is dropped, never delivered late.
    void deliver_due()
    {
        while (!m_events.empty() && m_events.front_stamp() <= m_clock) {
            TimedEvent e = m_events.front();
            m_events.pop();
            if (e.time_stamp != m_clock)
                continue;
            m_asleep = false;
            m_in_entry = true;
            alloc_probe::arm();
            m_record->event(m_record->object, &e);
            alloc_probe::disarm();
            m_in_entry = false;
        }
    }

    static se_result SE_CALL callback(void *, int32_t op, int32_t index, int32_t, void *ptr, float)
    {
        RtHost *h = g_host;
        const int was_armed = alloc_probe::state().armed;
        alloc_probe::disarm();
        se_result answer = 0;
        if (h) {
            if (!h->m_in_entry && !h->m_in_call && !h->m_making)
                ++h->m_outside; // the host is not calling the module at all
            switch (op) {
            case HOST_GET_PIN_COUNT:
                answer = static_cast<se_result>(h->m_pins.size());
                break;
            case HOST_GET_VERSION:
                answer = 100238;
                break;
            case HOST_GET_SAMPLE_CLOCK:
                answer = static_cast<se_result>(h->m_clock);
                break;
            case HOST_GET_BUFFER_START:
                answer = static_cast<se_result>(h->m_clock -
                                                h->m_clock % static_cast<uint32_t>(h->m_block));
                break;
            case HOST_GET_PIN_BUFFER:
                if (index >= 0 && static_cast<size_t>(index) < h->m_buffers.size())
                    answer = reinterpret_cast<se_result>(
                        h->m_buffers[static_cast<size_t>(index)].data());
                break;
            case HOST_IS_PIN_CONNECTED:
                answer = 1;
                break;
            case HOST_SLEEP:
                h->m_asleep = true;
                break;
            case HOST_POST_EVENT:
                if (ptr) {
                    TimedEvent e;
                    std::memcpy(&e, ptr, sizeof e);
                    if (e.time_stamp >= h->m_clock)
                        h->event(e);
                }
                break;
            default:
                break;
            }
        }
        if (was_armed)
            alloc_probe::arm();
        return answer;
    }

    std::shared_ptr<const sehost::Library> m_lib;
    int32_t m_block;
    std::vector<sehost::PinDecl> m_decls, m_pins;
    std::vector<std::vector<float>> m_buffers;
    static constexpr size_t kEventRoom = 4096;
    sehost::EventQueue<TimedEvent> m_events;
    PlugRecord *m_record = nullptr;
    uint32_t m_clock = 0;
    bool m_asleep = false, m_in_entry = false, m_in_call = false, m_making = false;
    uint64_t m_outside = 0, m_calls = 0;
};

void realtime_alloc(Context &ctx, Report &rep)
{
    auto &st = alloc_probe::state();
    // Through its imports, a plug-in that imports no allocation function
    // has none to call: nothing to count is then a pass.
    const int routed =
        st.hook_imports
            ? st.hook_imports(reinterpret_cast<const void *>(ctx.library()->make_module_fn()))
            : -1;
    if (!st.new_hooked && !st.malloc_hooked) {
        rep.warn("allocation counting is not available in this executable (it needs the sevalidate "
                 "executable's "
                 "hooks): allocations cannot be counted here");
        return;
    }
    RtHost host(ctx.library(), 256);
    host.open();
    alloc_probe::reset();
    const auto &pins = host.pins();
    for (int block = 0; block < 24; ++block) {
        uint32_t base = host.clock();
        for (int k = 0; k < 6 && !pins.empty(); ++k) {
            size_t pin = ctx.rng.below(static_cast<uint32_t>(pins.size()));
            uint32_t at = base + ctx.rng.below(256);
            const auto &d = pins[pin];
            if (d.is_input() && d.datatype != DT_MIDI && d.datatype != DT_FSAMPLE) {
                int32_t lo = 0, hi = 1;
                if (d.datatype == DT_CHOICE && d.list_text) {
                    auto list = sehost::EnumList::parse(*d.list_text);
                    if (!list.entries().empty()) {
                        lo = list.entries().front().value;
                        hi = list.entries().back().value;
                    }
                }
                host.change(pin, ctx.rng.range(lo, hi), at);
            } else if (d.is_input() && d.datatype == DT_MIDI) {
                int32_t msg = static_cast<int32_t>(
                    0x90u | ctx.rng.below(16) | ctx.rng.below(128) << 8 | ctx.rng.below(128) << 16);
                host.event(TimedEvent{at, EV_MIDI, msg, 0, static_cast<intptr_t>(pin), 0});
            } else if (d.is_input() && d.datatype == DT_FSAMPLE) {
                host.event(TimedEvent{at, EV_PIN_STATUS, STATUS_STREAMING, 0,
                                      static_cast<intptr_t>(pin), 0});
            }
        }
        if (block == 10)
            host.event(TimedEvent{base + 5, EV_PATCH_CHANGE, 0, 0, 0, 0});
        host.run_block(ctx.rng);
    }
    if (routed >= 0)
        rep.note(std::to_string(host.calls()) +
                 " process calls counted; allocations counted at the " + std::to_string(routed) +
                 " allocation functions the plug-in imports (its operator new calls them)");
    else
        rep.note(std::to_string(host.calls()) + " process calls counted; operator new " +
                 (st.new_hooked ? "counted" : "not counted") + ", malloc " +
                 (st.malloc_hooked ? "counted" : "not counted (not available in this build)"));
    if (st.news)
        rep.fail(std::to_string(st.news) +
                 " calls of operator new inside process or event entries");
    if (st.mallocs)
        rep.fail(std::to_string(st.mallocs) +
                 " calls of malloc/calloc/realloc inside process or event entries");
    if (host.outside_calls())
        rep.fail(std::to_string(host.outside_calls()) +
                 " host requests made outside the host's calls");
}

} // namespace

void add_realtime_checks(std::vector<CheckInfo> &out)
{
    out.push_back({"realtime.alloc", realtime_alloc, nullptr, 2});
}

} // namespace sevalidate
