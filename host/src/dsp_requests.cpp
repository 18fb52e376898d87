// dsp_requests.cpp - the answers to a DSP side's requests, each checked and
// recorded, and what the record tells afterwards.
#include <algorithm>

#include "dsp_instance_impl.h"
#include "registry.h"

namespace sehost {

se_result SE_CALL dsp::dsp_callback(void *plug, int32_t op, int32_t index, int32_t value, void *ptr,
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
    Impl &im = *m;
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
            output_value = dsp::read_variable(*p);
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
    if (!m->deferred)
        m->deferred = std::current_exception();
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
