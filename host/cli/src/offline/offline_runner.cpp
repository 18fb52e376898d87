// offline_runner.cpp - running a patch graph block by block, with a record
// of every pin and an event log.
#include "offline/offline_runner.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <optional>
#include <utility>

#include "common/errors.h"
#include "graph/patch_graph.h"
#include "graph/values.h"
#include "midi/midi_text.h"
#include "output/event_line.h"
#include "report/envelope.h"
#include "report/lanes.h"
#include "sehost/sehost.h"

namespace secli {
namespace {

const char *status_name(int32_t s)
{
    return s == STATUS_STILL       ? "STILL"
           : s == STATUS_CHANGED   ? "CHANGED"
           : s == STATUS_STREAMING ? "STREAMING"
                                   : "?";
}

} // namespace

struct Runner::Impl : GraphDriver {
    // What the runner keeps of each instance beside the graph's node.
    struct Node {
        std::vector<int> audio_out_file; // per DSP pin: audio_outputs index or -1
        std::vector<int> midi_out_file;  // per DSP pin
        std::vector<int> dsp_trace;      // per DSP pin: trace index or -1
        std::vector<int> gui_trace;      // per declaration
        // The MIDI file's messages as they are written to events.jsonl (the
        // graph reads the file again as it hands them to the instance),
        // with their places among the timed inputs.
        std::optional<FileMidi> file_out;
        uint64_t file_seq = 0;
        size_t gui_next = 0;     // into the graph node's gui_timed
        size_t carried_next = 0; // into the definition's carried
        uint64_t calls_before = 0;
    };

    Patch patch;
    uint64_t total = 0;
    std::unique_ptr<PatchGraph> graph;
    std::vector<Node> nodes;
    // Per instance and DSP pin: what a fed audio input read in the last
    // block, kept as the host fills the input (the source is evaluated once
    // a block).
    std::vector<std::vector<std::shared_ptr<std::vector<float>>>> seen;
    std::vector<OutputPin> audio_outputs, midi_outputs;
    std::vector<InstanceRecord> records;
    RunSink *sink = nullptr;
    // events.jsonl: events wait here until the run has passed their clock,
    // then leave in (clock, order noted) order, merged with the patch's
    // timed inputs (which are noted when the instance opens but made into
    // events only as they leave).
    struct Waiting {
        uint64_t clock, seq;
        uint32_t text; // the line: an index into texts
        bool operator>(const Waiting &o) const
        {
            return clock != o.clock ? clock > o.clock : seq > o.seq;
        }
    };
    std::vector<Waiting> waiting; // a min-heap
    // Lines of waiting events; a line's string is used again once it has
    // left, so that a busy run stops allocating when its busiest block has
    // passed.
    std::vector<std::string> texts;
    std::vector<uint32_t> free_texts;
    std::string event_text; // a timed input's line as it leaves
    struct Scheduled {
        uint64_t clock, seq;
        uint32_t node;
        uint32_t timed; // into the graph node's timed
    };
    std::vector<Scheduled> scheduled; // by (clock, seq)
    size_t scheduled_out = 0;         // events.jsonl has these
    std::vector<size_t> file_nodes;   // instances with a MIDI file
    uint64_t seq = 0;

    // GraphDriver: the inputs' traces along the connections.
    SourceFill input_fill(size_t n, int pin, SourceFill fill) override;
    void carried_value(size_t n, int pin, uint64_t clock, double value) override
    {
        int tr = nodes[n].dsp_trace[static_cast<size_t>(pin)];
        if (tr >= 0)
            add_step(records[n].traces[static_cast<size_t>(tr)], clock, value, total);
    }
    void carried_midi(size_t n, int pin, uint64_t clock, int32_t message) override
    {
        int tr = nodes[n].dsp_trace[static_cast<size_t>(pin)];
        if (tr >= 0)
            add_mark(records[n].traces[static_cast<size_t>(tr)], clock, message, total);
    }
    void write_gui(size_t n, int decl, double value) override
    {
        sehost::Module &mod = *graph->node(n).mod;
        set_gui_pin(n, decl, value);
        int tr = nodes[n].gui_trace[static_cast<size_t>(decl)];
        if (tr >= 0)
            add_step(records[n].traces[static_cast<size_t>(tr)], mod.dsp().clock(), value, total);
    }

    // GUI writes reach the DSP side at once (IO_BOTH_SIDES pins); not in the
    // replay of a live recording once it runs (Patch::carried_live).
    bool carry_gui = true;
    void set_gui_pin(size_t n, int decl, double value);
    void apply_carried(uint64_t before);

    void record_pins();
    void record_settings(size_t n);
    void list_settings(size_t n, std::map<int, PinSetting> &set_by_decl);
    void harvest(size_t n);
    void on_gui_write(size_t n, int pin, const sehost::GuiValue &v);
    void envelope(Trace &t, uint64_t clock, const float *samples, size_t count);
    // The event being written (base_event starts it, note queues it); each
    // is noted before the runner calls out again.
    EventLine line;
    uint64_t line_clock = 0;
    void note()
    {
        uint32_t k;
        if (free_texts.empty()) {
            k = static_cast<uint32_t>(texts.size());
            texts.emplace_back();
        } else {
            k = free_texts.back();
            free_texts.pop_back();
        }
        line.text(texts[k]);
        waiting.push_back(Waiting{line_clock, seq++, k});
        std::push_heap(waiting.begin(), waiting.end(), std::greater<>());
    }
    void schedule(size_t n);
    // The steps of a run (Runner::run).
    void open_all();
    void queue_timed_inputs(uint64_t before);
    void run_gui_script(uint64_t clock, uint64_t count);
    void process_block(uint64_t clock, uint64_t count);
    void record_traces(size_t n, uint64_t clock, uint64_t count);
    void idle_guis();
    void close_all();
    void raise_gui_error()
    {
        std::string e = graph->take_gui_error();
        if (!e.empty())
            throw InputError(e);
    }
    // Runs f; a plug-in fault found on the way is the user's error, with the
    // instance's place in the patch and what the host was doing.
    template <class F> void guarded(size_t n, const char *what, F &&f)
    {
        try {
            f();
        } catch (const sehost::HostError &e) {
            raise_gui_error(); // it came first
            throw InputError(graph->node(n).definition.where + ": plug-in fault while " + what +
                             ": " + e.what());
        }
        raise_gui_error();
    }
    const std::string &scheduled_event(const Scheduled &x);
    const std::string &midi_in_event(size_t n, uint64_t clock, int32_t message);
    void flush(uint64_t limit);
    EventLine &base_event(size_t n, uint64_t clock, const char *kind)
    {
        line_clock = clock;
        return line.clear()
            .add_unsigned("clock", clock)
            .add_number("time", clock / patch.rate)
            .add_text("instance", graph->node(n).definition.name)
            .add_text("kind", kind);
    }
    int add_trace(size_t n, const std::string &pin, const char *kind, bool input,
                  const sehost::PinDecl *decl)
    {
        Trace t;
        t.pin = pin;
        t.kind = kind;
        t.input = input;
        if (t.kind == "audio") {
            t.lo.assign(kBuckets, INFINITY);
            t.hi.assign(kBuckets, -INFINITY);
        }
        if (decl)
            t.datatype = decl->datatype;
        if (decl && decl->datatype == DT_CHOICE && decl->list_text) {
            try {
                sehost::EnumList l = decl->list();
                for (const auto &e : l.entries())
                    if (e.value >= 0 && e.value < 256) {
                        if (t.labels.size() <= static_cast<size_t>(e.value))
                            t.labels.resize(static_cast<size_t>(e.value) + 1);
                        t.labels[static_cast<size_t>(e.value)] = e.label;
                    }
            } catch (...) {
            }
        }
        records[n].traces.push_back(std::move(t));
        return static_cast<int>(records[n].traces.size()) - 1;
    }
    // The trace of DSP pin `pin` of instance n, made if it has none yet.
    int trace_of(size_t n, int pin, const std::string &label, const char *kind,
                 const sehost::PinDecl *decl)
    {
        int &tr = nodes[n].dsp_trace[static_cast<size_t>(pin)];
        if (tr < 0)
            tr = add_trace(n, label, kind, true, decl);
        return tr;
    }
};

// ---------------------------------------------------------------- building

Runner::Runner(const Patch &patch) : m(new Impl)
{
    m->patch = patch;
    check_rate(patch.rate, patch.origin + ": rate");
    check_block(patch.block, patch.origin + ": block");
    check_duration(patch.duration, patch.rate, patch.origin + ": duration");
    m->total = patch.duration.clock(patch.rate);
    GraphConfig config;
    config.rate = patch.rate;
    config.block = static_cast<uint32_t>(patch.block);
    config.span = patch.source_span ? patch.source_span->clock(patch.rate) : m->total;
    config.end = m->total;
    m->graph.reset(new PatchGraph(patch, config, *m));
    m->record_pins();
    for (size_t n = 0; n < m->nodes.size(); ++n)
        m->record_settings(n);
}

Runner::~Runner() = default;

SourceFill Runner::Impl::input_fill(size_t n, int pin, SourceFill fill)
{
    // The source also keeps what it gave, at clock % block, for the input's trace.
    if (seen.size() <= n)
        seen.resize(n + 1);
    if (seen[n].size() <= static_cast<size_t>(pin))
        seen[n].resize(static_cast<size_t>(pin) + 1);
    auto buf = std::make_shared<std::vector<float>>(static_cast<size_t>(patch.block));
    seen[n][static_cast<size_t>(pin)] = buf;
    const uint32_t block = static_cast<uint32_t>(patch.block);
    return [fill = std::move(fill), buf, block](uint32_t first, uint32_t count, float *out) {
        fill(first, count, out);
        write_ring(buf->data(), block, first, count, out);
    };
}

// The records of the instances: outputs and their traces in pin order, then
// the traces of the inputs that connections feed, in the patch's order.
void Runner::Impl::record_pins()
{
    nodes.resize(graph->size());
    seen.resize(graph->size());
    for (size_t n = 0; n < graph->size(); ++n) {
        GraphNode &g = graph->node(n);
        InstanceRecord rec;
        rec.name = g.definition.name;
        rec.plugin = g.definition.plugin;
        rec.module_name = g.module_name;
        records.push_back(std::move(rec));
        sehost::DspInstance &dsp = g.mod->dsp();
        const size_t pins = dsp.dsp_pins().size(), decls = dsp.pins().size();
        Node &node = nodes[n];
        node.audio_out_file.assign(pins, -1);
        node.midi_out_file.assign(pins, -1);
        node.dsp_trace.assign(pins, -1);
        node.gui_trace.assign(decls, -1);
        for (const sehost::DspPin &p : dsp.dsp_pins()) {
            if (p.direction != DR_OUT || p.decl < 0)
                continue;
            const sehost::PinDecl &d = dsp.pins()[static_cast<size_t>(p.decl)];
            std::string label = graph->label(n, p.index);
            if (p.datatype == DT_FSAMPLE) {
                node.audio_out_file[p.index] = static_cast<int>(audio_outputs.size());
                audio_outputs.push_back(OutputPin{g.definition.name, label});
                node.dsp_trace[p.index] = add_trace(n, label, "audio", false, &d);
            } else if (p.datatype == DT_MIDI) {
                node.midi_out_file[p.index] = static_cast<int>(midi_outputs.size());
                midi_outputs.push_back(OutputPin{g.definition.name, label});
                node.dsp_trace[p.index] = add_trace(n, label, "midi", false, &d);
            } else {
                node.dsp_trace[p.index] = add_trace(n, label, "value", false, &d);
            }
        }
        for (const sehost::PinDecl &d : dsp.pins())
            if (d.is_gui_pin())
                node.gui_trace[d.number] =
                    add_trace(n, d.name + (d.is_input() ? " (in)" : ""), "gui", d.is_input(), &d);
    }
    for (const WireEnd &w : graph->wire_ends()) {
        if (w.pin.gui)
            continue;
        const sehost::PinDecl *decl =
            w.source ? nullptr
                     : &graph->node(w.node).mod->dsp().pins()[static_cast<size_t>(w.pin.decl)];
        trace_of(w.node, w.pin.dsp, w.pin.label, wire_kind(w.pin.datatype), decl);
    }
    // Every module write on the GUI side is recorded and carried along wires;
    // the Module's own handler (carrying IO_BOTH_SIDES pins) runs first.
    for (size_t n = 0; n < graph->size(); ++n)
        if (sehost::GuiInstance *gui = graph->node(n).mod->gui()) {
            auto carry = gui->on_write;
            gui->on_write = [this, n, carry](int pin, const sehost::GuiValue &v) {
                if (carry && carry_gui)
                    carry(pin, v);
                on_gui_write(n, pin, v);
            };
        }
}

// The settings' traces and the values every input starts from.
void Runner::Impl::record_settings(size_t n)
{
    GraphNode &g = graph->node(n);
    sehost::DspInstance &dsp = g.mod->dsp();
    std::map<int, PinSetting> set_by_decl;
    for (const Applied &a : g.applied) {
        const PinPick &p = a.pin;
        set_by_decl[p.decl] = PinSetting{p.label, a.setting->value, a.source ? "source" : "set"};
        if (a.source) {
            trace_of(n, p.dsp, p.label, "audio", nullptr);
            continue;
        }
        if (p.datatype == DT_FSAMPLE)
            set_by_decl[p.decl].value += " V";
        if (p.gui) {
            add_step(records[n].traces[nodes[n].gui_trace[p.decl]], 0, a.value, total);
        } else if (p.datatype != DT_FSAMPLE) {
            const sehost::PinDecl &d = dsp.pins()[static_cast<size_t>(p.decl)];
            add_step(records[n].traces[trace_of(n, p.dsp, p.label, "value", &d)], 0, a.value,
                     total);
        }
    }
    for (const TimedSetting &t : g.definition.at) {
        PinPick p = pick_pin(dsp, t.pin, Want::Input, t.where);
        auto listed = set_by_decl.find(p.decl);
        if (listed != set_by_decl.end() && listed->second.origin == "set")
            listed->second.origin = "set, changes later";
        if (!p.gui && p.datatype != DT_FSAMPLE)
            trace_of(n, p.dsp, p.label, "value", &dsp.pins()[static_cast<size_t>(p.decl)]);
    }
    list_settings(n, set_by_decl);
}

// Every input pin but MIDI with the value it starts from: as set, as wired,
// else its default (a GUI pin's as its GUI side holds it). Value traces of
// pins changed later start from that default.
void Runner::Impl::list_settings(size_t n, std::map<int, PinSetting> &set_by_decl)
{
    GraphNode &g = graph->node(n);
    sehost::DspInstance &dsp = g.mod->dsp();
    std::vector<bool> timed(dsp.pins().size(), false);
    for (const TimedSetting &t : g.definition.at)
        timed[static_cast<size_t>(pick_pin(dsp, t.pin, Want::Input, t.where).decl)] = true;
    for (const sehost::PinDecl &d : dsp.pins()) {
        if (!d.is_input() || d.datatype == DT_MIDI)
            continue;
        auto set = set_by_decl.find(d.number);
        if (set != set_by_decl.end()) {
            records[n].settings.push_back(set->second);
            continue;
        }
        auto wired = g.wired_from.find(d.number);
        if (wired != g.wired_from.end()) {
            records[n].settings.push_back(PinSetting{d.name, "", wired->second});
            continue;
        }
        std::string value;
        if (d.is_gui_pin() && g.mod->gui()) {
            value = value_text(d, g.mod->gui()->value(d.number).number());
        } else {
            // The default as the host read it when it opened the module.
            double v = 0;
            try {
                if (d.default_value && !d.default_value->empty())
                    v = d.read_text(*d.default_value).value_or(NAN);
            } catch (const sehost::HostError &) {
                v = NAN; // a default this host cannot read: shown as it stands
            }
            if (std::isnan(v))
                value = *d.default_value;
            else if (d.datatype == DT_FSAMPLE)
                value = value_text(d, v) + " V";
            else
                value = value_text(d, v);
            // A value pin changed later is drawn from its default, not blank until then.
            int tr = d.dsp_index >= 0 ? nodes[n].dsp_trace[static_cast<size_t>(d.dsp_index)] : -1;
            if (tr >= 0 && d.datatype != DT_FSAMPLE && !std::isnan(v) &&
                records[n].traces[tr].steps.empty())
                records[n].traces[tr].steps.emplace_back(0, v);
        }
        records[n].settings.push_back(PinSetting{
            d.name, value,
            timed[static_cast<size_t>(d.number)] ? "default, changes later" : "default"});
    }
}

// ---------------------------------------------------------------- running

void Runner::Impl::envelope(Trace &t, uint64_t clock, const float *samples, size_t count)
{
    // Sample s falls in bucket s * kBuckets / total (the last bucket takes
    // anything past the end). The samples of one bucket are taken as a run:
    // bucket b ends before the first s with s * kBuckets >= (b + 1) * total.
    const uint64_t span = std::max<uint64_t>(total, 1);
    const uint64_t buckets = static_cast<uint64_t>(kBuckets);
    size_t i = 0;
    while (i < count) {
        uint64_t b = std::min((clock + i) * buckets / span, buckets - 1);
        uint64_t end = b + 1 < buckets ? ((b + 1) * span + buckets - 1) / buckets : UINT64_MAX;
        size_t stop = end - clock >= count ? count : static_cast<size_t>(end - clock);
        widen_envelope(samples + i, stop - i, t.lo[b], t.hi[b]);
        i = stop;
    }
}

void Runner::Impl::on_gui_write(size_t n, int pin, const sehost::GuiValue &v)
{
    if (!graph->gui_error().empty())
        return; // the run ends when the host's call returns
    GraphNode &g = graph->node(n);
    uint64_t clock = g.mod->dsp().clock();
    records[n].gui_writes++;
    const sehost::PinDecl &d = g.mod->dsp().pins()[static_cast<size_t>(pin)];
    EventLine &e =
        base_event(n, clock, "gui_write").add_text("pin", d.name).add_signed("decl", pin);
    if (v.kind == sehost::GuiValue::Kind::Text)
        e.add_text("value", v.text);
    else
        e.add_number("value", v.number());
    note();
    if (nodes[n].gui_trace[pin] >= 0)
        add_step(records[n].traces[nodes[n].gui_trace[pin]], clock, v.number(), total);
    graph->carry_gui(n, pin, v.number());
}

// Everything the instance asked of the host since the last harvest.
void Runner::Impl::harvest(size_t n)
{
    Node &node = nodes[n];
    sehost::DspInstance &dsp = graph->node(n).mod->dsp();
    InstanceRecord &rec = records[n];
    for (const sehost::Request &r : dsp.requests()) {
        switch (r.op) {
        case HOST_SET_PIN_STATUS: {
            rec.statuses++;
            EventLine &e = base_event(n, r.stamp, "status")
                               .add_text("pin", graph->label(n, r.index))
                               .add_text("status", status_name(r.value))
                               .add_unsigned("stamp", r.stamp)
                               .add_unsigned("sent", r.clock);
            if (r.output_value) {
                const sehost::DspPin &p = dsp.dsp_pins()[static_cast<size_t>(r.index)];
                e.add_number("value", *r.output_value)
                    .add_text("label",
                              value_text(dsp.pins()[static_cast<size_t>(p.decl)], *r.output_value));
                int tr = node.dsp_trace[r.index];
                if (tr >= 0)
                    add_step(rec.traces[tr], r.stamp, *r.output_value, total);
            }
            note();
            graph->carry(n, r);
            break;
        }
        case HOST_SEND_MIDI: {
            rec.midi_sent++;
            char hex[kMidiHexMax];
            base_event(n, r.stamp, "midi")
                .add_text("pin", graph->label(n, r.index))
                .add_unsigned("stamp", r.stamp)
                .add_unsigned("sent", r.clock)
                .add_text("bytes", std::string_view(hex, midi_hex(r.value, hex)));
            note();
            if (node.midi_out_file[r.index] >= 0)
                sink->midi(static_cast<size_t>(node.midi_out_file[r.index]), r.stamp, r.value);
            if (node.dsp_trace[r.index] >= 0)
                add_mark(rec.traces[node.dsp_trace[r.index]], r.stamp, r.value, total);
            graph->carry(n, r);
            break;
        }
        case HOST_SLEEP:
            rec.sleeps++;
            base_event(n, r.clock, "sleep");
            note();
            break;
        case HOST_SEND_TO_GUI: {
            rec.to_gui++;
            base_event(n, r.clock, "to_gui").add_signed("value", r.value);
            note();
            break;
        }
        default:
            break;
        }
    }
    dsp.clear_requests();
}

// The timed inputs of instance n, noted where a run that queued them all at
// its opening would have (their order among events of equal clock is kept),
// and drawn in the input's trace.
void Runner::Impl::schedule(size_t n)
{
    GraphNode &g = graph->node(n);
    Node &node = nodes[n];
    sehost::DspInstance &dsp = g.mod->dsp();
    const ModuleSpec &d = g.definition;
    for (const TimedSetting &t : d.at) {
        PinPick p = pick_pin(dsp, t.pin, Want::Input, t.where);
        if (!p.gui && node.dsp_trace[p.dsp] >= 0 && p.datatype != DT_FSAMPLE)
            add_step(records[n].traces[node.dsp_trace[p.dsp]], t.time.clock(patch.rate),
                     parse_value(dsp.pins()[static_cast<size_t>(p.decl)], t.value, t.where), total);
    }
    int midi_trace = -1;
    auto mark_midi = [&](uint64_t clock, int32_t message) {
        if (midi_trace < 0)
            midi_trace = trace_of(n, g.midi_in, dsp.pins()[dsp.dsp_pins()[g.midi_in].decl].name,
                                  "midi", nullptr);
        add_mark(records[n].traces[static_cast<size_t>(midi_trace)], clock, message, total);
    };
    for (const MidiIn &m : d.midi)
        if (m.time.clock(patch.rate) < total)
            mark_midi(m.time.clock(patch.rate), m.message);
    // Each instance's entries take the next places, in their order; the
    // file's messages follow them, one place each, up to the run's end.
    const size_t before = scheduled.size();
    for (size_t i = 0; i < g.timed.size(); ++i)
        scheduled.push_back(
            Scheduled{g.timed[i].clock, seq++, static_cast<uint32_t>(n), static_cast<uint32_t>(i)});
    if (d.midi_file) {
        node.file_seq = seq;
        for (FileMidi count(d.midi_file, patch.rate, total); count.more; count.next(), ++seq)
            mark_midi(count.clock, count.message);
        node.file_out.emplace(d.midi_file, patch.rate, total);
        file_nodes.push_back(n);
    }
    // Merged into the patch-wide list, still ordered by (clock, seq): the
    // new entries all have higher seq than those before.
    std::inplace_merge(scheduled.begin(), scheduled.begin() + static_cast<std::ptrdiff_t>(before),
                       scheduled.end(), [](const Scheduled &a, const Scheduled &b) {
                           return a.clock != b.clock ? a.clock < b.clock : a.seq < b.seq;
                       });
}

const std::string &Runner::Impl::scheduled_event(const Scheduled &x)
{
    const GraphNode &g = graph->node(x.node);
    const Timed &t = g.timed[x.timed];
    if (t.kind == Timed::kSet) {
        const TimedSetting &s = g.definition.at[t.index];
        base_event(x.node, x.clock, "set")
            .add_text("pin", graph->label(x.node, t.pin))
            .add_text("value", s.value)
            .text(event_text);
        return event_text;
    }
    if (t.kind == Timed::kPatchChange) {
        base_event(x.node, x.clock, "patch_change").text(event_text);
        return event_text;
    }
    return midi_in_event(x.node, x.clock, t.message);
}

const std::string &Runner::Impl::midi_in_event(size_t n, uint64_t clock, int32_t message)
{
    char hex[kMidiHexMax];
    base_event(n, clock, "midi_in")
        .add_text("bytes", std::string_view(hex, midi_hex(message, hex)))
        .text(event_text);
    return event_text;
}

// Writes every event before `limit`, in (clock, seq) order.
void Runner::Impl::flush(uint64_t limit)
{
    auto before = [](uint64_t clock_a, uint64_t seq_a, uint64_t clock_b, uint64_t seq_b) {
        return clock_a != clock_b ? clock_a < clock_b : seq_a < seq_b;
    };
    for (;;) {
        bool have_s = scheduled_out < scheduled.size() && scheduled[scheduled_out].clock < limit;
        bool have_w = !waiting.empty() && waiting.front().clock < limit;
        // The earliest of the instances' MIDI files, if it comes first.
        size_t file_node = SIZE_MAX;
        for (size_t n : file_nodes) {
            const Node &f = nodes[n];
            if (f.file_out->more && f.file_out->clock < limit &&
                (file_node == SIZE_MAX ||
                 before(f.file_out->clock, f.file_seq, nodes[file_node].file_out->clock,
                        nodes[file_node].file_seq)))
                file_node = n;
        }
        if (file_node != SIZE_MAX) {
            Node &f = nodes[file_node];
            const uint64_t clock = f.file_out->clock, fseq = f.file_seq;
            if ((!have_s || before(clock, fseq, scheduled[scheduled_out].clock,
                                   scheduled[scheduled_out].seq)) &&
                (!have_w || before(clock, fseq, waiting.front().clock, waiting.front().seq))) {
                sink->event(midi_in_event(file_node, clock, f.file_out->message));
                f.file_out->next();
                ++f.file_seq;
                continue;
            }
        }
        if (!have_s && !have_w)
            break;
        if (have_s &&
            (!have_w || before(scheduled[scheduled_out].clock, scheduled[scheduled_out].seq,
                               waiting.front().clock, waiting.front().seq))) {
            sink->event(scheduled_event(scheduled[scheduled_out++]));
        } else {
            std::pop_heap(waiting.begin(), waiting.end(), std::greater<>());
            sink->event(texts[waiting.back().text]);
            free_texts.push_back(waiting.back().text);
            waiting.pop_back();
        }
    }
}

// GUI traces start from the value each pin holds before the GUI side opens
// (the stored patch value or the default); every instance opens in audio
// order, and what it asked on the way and its inputs due at clock 0 are in.
void Runner::Impl::open_all()
{
    for (size_t n = 0; n < nodes.size(); ++n)
        if (sehost::GuiInstance *gui = graph->node(n).mod->gui())
            for (size_t decl = 0; decl < nodes[n].gui_trace.size(); ++decl) {
                int tr = nodes[n].gui_trace[decl];
                if (tr >= 0 && records[n].traces[tr].steps.empty())
                    records[n].traces[tr].steps.emplace_back(
                        0, gui->value(static_cast<int>(decl)).number());
            }
    for (size_t n : graph->order()) {
        sehost::Module &mod = *graph->node(n).mod;
        const auto started = std::chrono::steady_clock::now();
        guarded(n, "opening", [&] { mod.open(); });
        if (mod.gui())
            records[n].gui_seconds +=
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        harvest(n);
        schedule(n);
        graph->feed(n, 1); // what is due at clock 0 goes in now, as at the opening
    }
    flush(0);
}

void Runner::Impl::queue_timed_inputs(uint64_t before)
{
    for (size_t n = 0; n < nodes.size(); ++n)
        graph->feed(n, before);
}

// A GUI-side pin set from outside, and so its DSP side while GUI writes
// carry.
void Runner::Impl::set_gui_pin(size_t n, int decl, double value)
{
    sehost::Module &mod = *graph->node(n).mod;
    if (carry_gui)
        mod.set_gui_pin(decl, value);
    else
        mod.gui()->set_pin(decl, value);
}

// The values GUI sides carried to DSP sides live, due before `before`: at
// the start of the block, where the live engine applied them.
void Runner::Impl::apply_carried(uint64_t before)
{
    for (size_t n = 0; n < nodes.size(); ++n) {
        sehost::Module &mod = *graph->node(n).mod;
        const std::vector<CarriedValue> &list = graph->node(n).definition.carried;
        const size_t pins = mod.dsp().pins().size();
        for (size_t &next = nodes[n].carried_next; next < list.size() && list[next].clock < before;
             ++next)
            if (list[next].pin >= 0 && static_cast<size_t>(list[next].pin) < pins)
                mod.carry_gui_value(list[next].pin, list[next].value);
    }
}

// GUI script entries due in the block [clock, clock + count): the GUI side
// has no clock, so they take effect at the block's start.
void Runner::Impl::run_gui_script(uint64_t clock, uint64_t count)
{
    for (size_t n = 0; n < nodes.size(); ++n) {
        GraphNode &g = graph->node(n);
        Node &node = nodes[n];
        while (node.gui_next < g.gui_timed.size() &&
               g.gui_timed[node.gui_next].clock < clock + count) {
            const Timed &t = g.gui_timed[node.gui_next++];
            const sehost::PinDecl &d = g.mod->dsp().pins()[static_cast<size_t>(t.pin)];
            base_event(n, clock, "gui_set")
                .add_text("pin", d.name)
                .add_number("value", t.value)
                .add_unsigned("asked", t.clock);
            note();
            // A live run takes the settings at clock 0 as it opens, the
            // later ones on its GUI thread (their writes are replayed).
            carry_gui = !patch.carried_live || t.clock == 0;
            guarded(n, "taking a GUI change", [&] { set_gui_pin(n, t.pin, t.value); });
            if (node.gui_trace[t.pin] >= 0)
                add_step(records[n].traces[node.gui_trace[t.pin]], clock, t.value, total);
        }
    }
}

// Every instance in audio order runs the block; its audio goes to the sink
// and the traces, what it asked of the host along its connections.
void Runner::Impl::process_block(uint64_t clock, uint64_t count)
{
    for (size_t n : graph->order()) {
        Node &node = nodes[n];
        sehost::Module &mod = *graph->node(n).mod;
        sehost::DspInstance &dsp = mod.dsp();
        node.calls_before = dsp.process_calls();
        // As Module::run, with the GUI side's part timed apart.
        guarded(n, "processing", [&] {
            dsp.run(static_cast<uint32_t>(count));
            if (mod.gui()) {
                const auto started = std::chrono::steady_clock::now();
                mod.deliver_gui_messages();
                records[n].gui_seconds +=
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - started)
                        .count();
            } else {
                mod.deliver_gui_messages();
            }
        });
        InstanceRecord &rec = records[n];
        rec.blocks++;
        if (dsp.process_calls() == node.calls_before)
            rec.blocks_asleep++;
        record_traces(n, clock, count);
        harvest(n);
    }
}

// The block's audio of instance n: outputs to the sink and their traces,
// fed inputs to theirs (as the host filled them).
void Runner::Impl::record_traces(size_t n, uint64_t clock, uint64_t count)
{
    Node &node = nodes[n];
    sehost::DspInstance &dsp = graph->node(n).mod->dsp();
    InstanceRecord &rec = records[n];
    const auto &fed = seen[n];
    for (const sehost::DspPin &p : dsp.dsp_pins()) {
        if (p.datatype != DT_FSAMPLE || node.dsp_trace[p.index] < 0)
            continue;
        if (p.direction == DR_OUT) {
            const float *buf = dsp.output(p.index);
            sink->audio(static_cast<size_t>(node.audio_out_file[p.index]), buf, count);
            envelope(rec.traces[node.dsp_trace[p.index]], clock, buf, count);
        } else if (static_cast<size_t>(p.index) < fed.size() && fed[p.index]) {
            envelope(rec.traces[node.dsp_trace[p.index]], clock, fed[p.index]->data(), count);
        }
    }
}

// The host's idle tick: once a block for every GUI side that asked for idle
// calls (the panel switch restores a kept switch here).
void Runner::Impl::idle_guis()
{
    for (size_t n = 0; n < nodes.size(); ++n) {
        sehost::GuiInstance *gui = graph->node(n).mod->gui();
        if (gui != nullptr && gui->initialised() && gui->idle_requested())
            guarded(n, "an idle call", [&] { gui->idle(); });
    }
}

void Runner::Impl::close_all()
{
    for (size_t n = 0; n < nodes.size(); ++n)
        records[n].process_calls = graph->node(n).mod->dsp().process_calls();
    for (size_t n : graph->order())
        guarded(n, "closing", [&] { graph->node(n).mod->close(); });
}

void Runner::run(RunSink &sink, const std::function<void(double)> &progress)
{
    Impl &im = *m;
    im.sink = &sink;
    im.open_all();
    const uint64_t block = static_cast<uint64_t>(im.patch.block);
    for (uint64_t clock = 0; clock < im.total; clock += block) {
        const uint64_t count = std::min(block, im.total - clock);
        im.apply_carried(clock + count);
        im.queue_timed_inputs(clock + count);
        im.run_gui_script(clock, count);
        im.carry_gui = !im.patch.carried_live;
        im.process_block(clock, count);
        im.idle_guis();
        im.flush(clock + count);
        sink.advance(clock + count);
        if (progress)
            progress(static_cast<double>(clock + count) / static_cast<double>(im.total));
    }
    im.flush(UINT64_MAX);
    im.close_all();
}

const std::vector<OutputPin> &Runner::audio_outputs() const
{
    return m->audio_outputs;
}
const std::vector<OutputPin> &Runner::midi_outputs() const
{
    return m->midi_outputs;
}
uint64_t Runner::total_samples() const
{
    return m->total;
}
const Patch &Runner::patch() const
{
    return m->patch;
}
const std::vector<InstanceRecord> &Runner::records() const
{
    return m->records;
}

} // namespace secli
