// offline_runner.cpp - building the instances of a patch, wiring them, and
// running them block by block.
#include "offline/offline_runner.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <optional>
#include <utility>

#include "common/errors.h"
#include "common/safe_names.h"
#include "graph/node_order.h"
#include "graph/values.h"
#include "midi/midi_text.h"
#include "output/event_line.h"
#include "patch/plugin_find.h"
#include "report/envelope.h"
#include "report/lanes.h"
#include "sehost/sehost.h"
#include "sources/sources.h"

namespace secli {
namespace {

const char *status_name(int32_t s)
{
    return s == STATUS_STILL       ? "STILL"
           : s == STATUS_CHANGED   ? "CHANGED"
           : s == STATUS_STREAMING ? "STREAMING"
                                   : "?";
}

struct Target {
    size_t node;
    PinPick pin;
};

// An instance's MIDI file as the run goes: the next message before the run's
// end, with its clock and its place among the timed inputs (the messages
// follow one another in the order they were noted in).
struct FileMidi {
    MidiFileCursor cursor;
    double rate;
    uint64_t total, clock = 0, seq;
    int32_t message = 0;
    bool more = false;
    FileMidi(std::shared_ptr<const MidiFile> file, double r, uint64_t t, uint64_t first_seq)
        : cursor(std::move(file), r), rate(r), total(t), seq(first_seq - 1)
    {
        next();
    }
    void next()
    {
        MidiIn m;
        more = cursor.next(m) && (clock = m.time.clock(rate)) < total;
        message = m.message;
        ++seq;
    }
};

} // namespace

struct Runner::Impl {
    struct Node {
        ModuleSpec definition;
        std::shared_ptr<sehost::Library> lib;
        std::unique_ptr<sehost::Module> mod;
        std::string module_name;
        std::vector<std::vector<Target>> status_targets; // per DSP pin
        std::vector<std::vector<Target>> gui_targets;    // per declaration
        std::vector<int> audio_out_file;                 // per DSP pin: audio_outputs index or -1
        std::vector<int> midi_out_file;                  // per DSP pin
        std::vector<int> dsp_trace;                      // per DSP pin: trace index or -1
        std::vector<int> gui_trace;                      // per declaration
        std::vector<bool> wired_audio_in;                // per DSP pin
        // Per DSP pin: what a fed audio input read in the last block, kept as
        // the host fills the input (the source is evaluated once a block).
        std::vector<std::shared_ptr<std::vector<float>>> seen;
        // Timed inputs of the patch (settings, patch changes, MIDI), in the
        // order they reach the instance; handed to it shortly before their
        // time, so that its queue holds only what is near.
        std::vector<size_t> schedule; // indices into Impl::scheduled
        size_t fed = 0;
        // The MIDI file's messages: read from the file as they are handed to
        // the instance, and again as they are written to events.jsonl.
        std::optional<FileMidi> file_fed, file_out;
        bool active = false;
        std::vector<bool> wired_in;            // per DSP pin or declaration (GUI)
        std::map<int, std::string> wired_from; // per declaration: what feeds a wired input
        std::vector<TimedSetting> gui_script;  // sorted by time
        uint64_t looped_midi = 0;              // this block: MIDI that came back late
        size_t gui_next = 0;
        uint64_t calls_before = 0;
    };

    Patch patch;
    uint64_t total = 0;
    uint64_t span() const
    {
        return patch.source_span ? patch.source_span->clock(patch.rate) : total;
    }
    std::vector<Node> nodes;
    std::vector<size_t> order;
    std::vector<OutputPin> audio_outputs, midi_outputs;
    std::vector<InstanceRecord> records;
    std::vector<Source> sources; // kept alive: functions are copied into instances
    std::map<std::string, size_t> node_by_name;
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
        uint8_t kind;   // kSet, kPatchChange, kMidi
        uint32_t index; // into the definition's at, patch_changes or midi
    };
    enum : uint8_t { kSet, kPatchChange, kMidi };
    std::vector<Scheduled> scheduled; // by (clock, seq)
    size_t scheduled_out = 0;         // events.jsonl has these
    std::vector<size_t> file_nodes;   // instances with a MIDI file
    uint64_t seq = 0;
    int gui_depth = 0;
    // A fault found inside a GUI callback (a loop of GUI connections): kept
    // there, since nothing may be thrown through the module's frames, and
    // raised when the host's call into the module has returned.
    std::string gui_error;
    void raise_gui_error()
    {
        if (!gui_error.empty())
            throw InputError(std::exchange(gui_error, std::string()));
    }

    void build();
    void wire(const Wire &w);
    void check_order();
    void apply_settings(size_t n);
    void list_settings(size_t n, std::map<int, PinSetting> &set_by_decl);
    void harvest(size_t n);
    void route_status(size_t from, const sehost::Request &r);
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
    void feed(size_t n, uint64_t before);
    // The steps of a run (Runner::run).
    void open_all();
    void queue_timed_inputs(uint64_t before);
    void run_gui_script(uint64_t clock, uint64_t count);
    void process_block(uint64_t clock, uint64_t count);
    void record_traces(size_t n, uint64_t clock, uint64_t count);
    void idle_guis();
    void close_all();
    // Runs f; a plug-in fault found on the way is the user's error, with the
    // instance's place in the patch and what the host was doing.
    template <class F> void guarded(size_t n, const char *what, F &&f)
    {
        try {
            f();
        } catch (const sehost::HostError &e) {
            raise_gui_error(); // it came first
            throw InputError(nodes[n].definition.where + ": plug-in fault while " + what + ": " +
                             e.what());
        }
        raise_gui_error();
    }
    const std::string &scheduled_event(const Scheduled &x);
    const std::string &midi_in_event(size_t n, uint64_t clock, int32_t message);
    void flush(uint64_t limit);
    // A source that also keeps what it gave, at clock % block, for the
    // input's trace.
    SourceFill recorded(size_t n, int pin, SourceFill fill)
    {
        auto buf = std::make_shared<std::vector<float>>(static_cast<size_t>(patch.block));
        nodes[n].seen[static_cast<size_t>(pin)] = buf;
        const uint32_t block = static_cast<uint32_t>(patch.block);
        return [fill = std::move(fill), buf, block](uint32_t first, uint32_t count, float *out) {
            fill(first, count, out);
            write_ring(buf->data(), block, first, count, out);
        };
    }
    // MIDI that comes back to an instance that has run already (a loop)
    // waits for the next block, so a message passes a loop once a block; a
    // loop that multiplies messages is stopped at this many in one block.
    uint64_t max_looped_midi() const { return 64 * static_cast<uint64_t>(patch.block) + 4096; }
    std::string label_of(size_t n, int index) const
    {
        const sehost::DspInstance &dsp = nodes[n].mod->dsp();
        const sehost::DspPin &p = dsp.dsp_pins()[static_cast<size_t>(index)];
        const sehost::PinDecl &d = dsp.pins()[static_cast<size_t>(p.decl)];
        return p.copy ? d.name + "[" + std::to_string(p.index - d.dsp_index) + "]" : d.name;
    }
    EventLine &base_event(size_t n, uint64_t clock, const char *kind)
    {
        line_clock = clock;
        return line.clear()
            .add_unsigned("clock", clock)
            .add_number("time", clock / patch.rate)
            .add_text("instance", nodes[n].definition.name)
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
};

// ---------------------------------------------------------------- building

Runner::Runner(const Patch &patch) : m(new Impl)
{
    m->patch = patch;
    check_rate(patch.rate, patch.origin + ": rate");
    check_block(patch.block, patch.origin + ": block");
    check_duration(patch.duration, patch.rate, patch.origin + ": duration");
    m->total = patch.duration.clock(patch.rate);
    m->build();
}

Runner::~Runner() = default;

void Runner::Impl::build()
{
    if (patch.modules.empty())
        throw InputError(patch.origin + ": the patch has no modules");
    std::map<std::string, std::shared_ptr<sehost::Library>> libs;
    for (const ModuleSpec &definition : patch.modules) {
        if (node_by_name.count(definition.name) ||
            std::any_of(patch.sources.begin(), patch.sources.end(),
                        [&](auto &s) { return s.name == definition.name; }))
            throw InputError(definition.where + ": the name \"" + definition.name +
                             "\" is used twice");
        check_instance_name(definition.name, definition.where + ".name");
        Node node;
        node.definition = definition;
        std::string path = find_plugin(definition.plugin, definition.where + ".plugin");
        try {
            if (!libs.count(path))
                libs[path] = sehost::Library::load(path);
            node.lib = libs[path];
            node.module_name = node.lib->properties().name;
            sehost::HostConfig cfg;
            cfg.sample_rate = static_cast<float>(patch.rate);
            cfg.block_size = patch.block;
            cfg.host_version = patch.host_version;
            cfg.repeat_copies = definition.repeat;
            node.mod.reset(new sehost::Module(node.lib, cfg));
        } catch (const sehost::HostError &e) {
            throw InputError(definition.where + ": " + e.what());
        }
        node_by_name[definition.name] = nodes.size();
        size_t pins = node.mod->dsp().dsp_pins().size(), decls = node.mod->dsp().pins().size();
        node.status_targets.resize(pins);
        node.gui_targets.resize(decls);
        node.audio_out_file.assign(pins, -1);
        node.midi_out_file.assign(pins, -1);
        node.dsp_trace.assign(pins, -1);
        node.gui_trace.assign(decls, -1);
        node.wired_audio_in.assign(pins, false);
        node.seen.resize(pins);
        node.wired_in.assign(pins + decls, false);
        nodes.push_back(std::move(node));
        InstanceRecord rec;
        rec.name = definition.name;
        rec.plugin = definition.plugin;
        rec.module_name = nodes.back().module_name;
        records.push_back(std::move(rec));
    }

    // Outputs and their traces, in pin order.
    for (size_t n = 0; n < nodes.size(); ++n) {
        sehost::DspInstance &dsp = nodes[n].mod->dsp();
        for (const sehost::DspPin &p : dsp.dsp_pins()) {
            if (p.direction != DR_OUT || p.decl < 0)
                continue;
            const sehost::PinDecl &d = dsp.pins()[static_cast<size_t>(p.decl)];
            std::string label =
                p.copy ? d.name + "[" + std::to_string(p.index - d.dsp_index) + "]" : d.name;
            if (p.datatype == DT_FSAMPLE) {
                nodes[n].audio_out_file[p.index] = static_cast<int>(audio_outputs.size());
                audio_outputs.push_back(OutputPin{nodes[n].definition.name, label});
                nodes[n].dsp_trace[p.index] = add_trace(n, label, "audio", false, &d);
            } else if (p.datatype == DT_MIDI) {
                nodes[n].midi_out_file[p.index] = static_cast<int>(midi_outputs.size());
                midi_outputs.push_back(OutputPin{nodes[n].definition.name, label});
                nodes[n].dsp_trace[p.index] = add_trace(n, label, "midi", false, &d);
            } else {
                nodes[n].dsp_trace[p.index] = add_trace(n, label, "value", false, &d);
            }
        }
        for (const sehost::PinDecl &d : dsp.pins())
            if (d.is_gui_pin())
                nodes[n].gui_trace[d.number] =
                    add_trace(n, d.name + (d.is_input() ? " (in)" : ""), "gui", d.is_input(), &d);
    }

    for (const Wire &w : patch.wires)
        wire(w);
    check_order();
    for (size_t n = 0; n < nodes.size(); ++n)
        apply_settings(n);
}

void Runner::Impl::wire(const Wire &w)
{
    // The receiving end.
    size_t dot = w.to.find('.');
    if (dot == std::string::npos || !node_by_name.count(w.to.substr(0, dot)))
        throw InputError(w.where + ": \"" + w.to + "\" names no instance pin (write instance.Pin)");
    size_t tn = node_by_name[w.to.substr(0, dot)];
    PinPick to =
        pick_pin(nodes[tn].mod->dsp(), w.to.substr(dot + 1), Want::Input, w.where + ": to");
    size_t in_slot = to.dsp >= 0 && !to.gui
                         ? static_cast<size_t>(to.dsp)
                         : nodes[tn].mod->dsp().dsp_pins().size() + static_cast<size_t>(to.decl);
    if (nodes[tn].wired_in[in_slot] && to.datatype != DT_MIDI)
        throw InputError(w.where + ": input \"" + w.to + "\" is already wired");
    nodes[tn].wired_in[in_slot] = true;

    // A host source?
    for (const SourceSpec &s : patch.sources) {
        if (s.name != w.from)
            continue;
        if (to.datatype != DT_FSAMPLE || to.dsp < 0)
            throw InputError(w.where + ": source \"" + s.name + "\" is audio, but \"" + w.to +
                             "\" is a " + wire_kind(to.datatype) + " pin");
        sources.push_back(make_source(s.definition, patch.rate, span(), s.where));
        nodes[tn].mod->dsp().set_source(to.dsp, recorded(tn, to.dsp, sources.back().fill));
        nodes[tn].wired_audio_in[to.dsp] = true;
        nodes[tn].wired_from[to.decl] =
            "source " + s.name + " (" + (s.shown.empty() ? s.definition : s.shown) + ")";
        if (nodes[tn].dsp_trace[to.dsp] < 0)
            nodes[tn].dsp_trace[to.dsp] = add_trace(tn, to.label, "audio", true, nullptr);
        return;
    }
    dot = w.from.find('.');
    if (dot == std::string::npos || !node_by_name.count(w.from.substr(0, dot))) {
        std::vector<std::string> names;
        for (auto &s : patch.sources)
            names.push_back(s.name);
        for (auto &n : nodes)
            names.push_back(n.definition.name + ".PIN");
        throw InputError(w.where + ": \"" + w.from +
                         "\" names no source or instance pin; known: " + quoted_list(names));
    }
    size_t fn = node_by_name[w.from.substr(0, dot)];
    PinPick from =
        pick_pin(nodes[fn].mod->dsp(), w.from.substr(dot + 1), Want::Output, w.where + ": from");
    if (std::string(wire_kind(from.datatype)) != wire_kind(to.datatype))
        throw InputError(w.where + ": cannot wire " + wire_kind(from.datatype) + " output \"" +
                         w.from + "\" to " + wire_kind(to.datatype) + " input \"" + w.to + "\"");
    if (from.gui) {
        if (!to.gui)
            throw InputError(w.where + ": \"" + w.from + "\" is a GUI-side pin and \"" + w.to +
                             "\" is not; GUI pins wire only to GUI pins");
        nodes[fn].gui_targets[from.decl].push_back(Target{tn, to});
        nodes[tn].wired_from[to.decl] = "wired from " + w.from;
        return;
    }
    if (to.dsp < 0)
        throw InputError(w.where + ": \"" + w.to + "\" is a GUI-side pin and \"" + w.from +
                         "\" is not; GUI pins wire only to GUI pins");
    if (fn == tn && from.datatype == DT_FSAMPLE)
        throw InputError(w.where + ": audio loop: \"" + w.from + "\" feeds its own instance");
    // A MIDI input merges several outputs, but each only once: a doubled
    // wire would double every message (and, in a loop, double it again on
    // every pass).
    for (const Target &t : nodes[fn].status_targets[from.dsp])
        if (t.node == tn && t.pin.dsp == to.dsp)
            throw InputError(w.where + ": \"" + w.from + "\" is already wired to \"" + w.to + "\"");
    nodes[fn].status_targets[from.dsp].push_back(Target{tn, to});
    std::string &feed = nodes[tn].wired_from[to.decl];
    feed += (feed.empty() ? "wired from " : ", ") + w.from;
    if (to.datatype == DT_FSAMPLE) {
        sehost::DspInstance *src = &nodes[fn].mod->dsp();
        int out = from.dsp;
        sehost::DspInstance &dst = nodes[tn].mod->dsp();
        uint32_t block = static_cast<uint32_t>(patch.block);
        // The source instance has run this block already (audio order).
        auto read = [src, out, block](uint32_t first, uint32_t count, float *dst_buf) {
            read_ring(src->output(out), block, first, count, dst_buf);
        };
        dst.set_source(to.dsp, recorded(tn, to.dsp, read));
        dst.set_status(to.dsp, STATUS_STILL); // until the output announces itself
        nodes[tn].wired_audio_in[to.dsp] = true;
    }
    if (nodes[tn].dsp_trace[to.dsp] < 0)
        nodes[tn].dsp_trace[to.dsp] = add_trace(
            tn, to.label,
            wire_kind(to.datatype) == std::string("MIDI") ? "midi" : wire_kind(to.datatype), true,
            &nodes[tn].mod->dsp().pins()[static_cast<size_t>(to.decl)]);
}

// Audio connections fix the order; value and MIDI connections are followed
// too when they leave no loop.
void Runner::Impl::check_order()
{
    auto sort = [&](bool audio_only, std::vector<size_t> &out) {
        std::vector<std::vector<size_t>> next(nodes.size());
        for (size_t a = 0; a < nodes.size(); ++a)
            for (auto &targets : nodes[a].status_targets)
                for (const Target &t : targets)
                    if ((!audio_only || t.pin.datatype == DT_FSAMPLE) && t.node != a)
                        next[a].push_back(t.node);
        return order_nodes(next, out);
    };
    if (sort(false, order))
        return;
    if (!sort(true, order)) {
        std::vector<std::string> names;
        std::vector<bool> in(nodes.size(), false);
        for (size_t i : order)
            in[i] = true;
        for (size_t i = 0; i < nodes.size(); ++i)
            if (!in[i])
                names.push_back(nodes[i].definition.name);
        std::string wire;
        for (const Wire &w : patch.wires)
            for (const std::string &n : names)
                if (w.from.rfind(n + ".", 0) == 0 && wire.empty())
                    for (const std::string &m2 : names)
                        if (w.to.rfind(m2 + ".", 0) == 0 && wire.empty())
                            wire = w.where;
        throw InputError((wire.empty() ? patch.origin : wire) +
                         ": audio connections form a loop through " + quoted_list(names));
    }
}

void Runner::Impl::apply_settings(size_t n)
{
    Node &node = nodes[n];
    sehost::DspInstance &dsp = node.mod->dsp();
    std::map<int, PinSetting> set_by_decl;
    for (const Setting &s : node.definition.set) {
        PinPick p = pick_pin(dsp, s.pin, Want::Input, s.where);
        const sehost::PinDecl &d = dsp.pins()[static_cast<size_t>(p.decl)];
        set_by_decl[p.decl] = PinSetting{p.label, s.value, "set"};
        if (p.dsp >= 0 && node.wired_audio_in[p.dsp])
            throw InputError(s.where + ": \"" + p.label + "\" is wired; it cannot be set as well");
        if (p.datatype == DT_FSAMPLE && looks_like_source(s.value)) {
            set_by_decl[p.decl].origin = "source";
            sources.push_back(make_source(s.value, patch.rate, span(), s.where));
            dsp.set_source(p.dsp, recorded(n, p.dsp, sources.back().fill));
            node.wired_audio_in[p.dsp] = true;
            if (node.dsp_trace[p.dsp] < 0)
                node.dsp_trace[p.dsp] = add_trace(n, p.label, "audio", true, nullptr);
            continue;
        }
        double v = parse_value(d, s.value, s.where);
        if (p.datatype == DT_FSAMPLE)
            set_by_decl[p.decl].value += " V";
        if (p.gui) {
            node.mod->set_gui_pin(p.decl, v); // before open: the stored patch value
            add_step(records[n].traces[node.gui_trace[p.decl]], 0, v, total);
        } else {
            dsp.set_value(p.dsp, v);
            if (p.datatype != DT_FSAMPLE) {
                if (node.dsp_trace[p.dsp] < 0)
                    node.dsp_trace[p.dsp] = add_trace(n, p.label, "value", true, &d);
                add_step(records[n].traces[node.dsp_trace[p.dsp]], 0, v, total);
            }
        }
    }
    for (const TimedSetting &t : node.definition.at) {
        PinPick p = pick_pin(dsp, t.pin, Want::Input, t.where);
        const sehost::PinDecl &d = dsp.pins()[static_cast<size_t>(p.decl)];
        if (p.datatype == DT_FSAMPLE && looks_like_source(t.value))
            throw InputError(t.where + ": timed changes of audio pins take volts, not a source");
        parse_value(d, t.value, t.where); // check now, apply later
        if (t.time.clock(patch.rate) >= total)
            throw InputError(t.where + ": time lies at or after the end of the run");
        if (p.dsp >= 0 && node.wired_audio_in[p.dsp])
            throw InputError(t.where + ": \"" + p.label + "\" is wired; it cannot be set as well");
        auto listed = set_by_decl.find(p.decl);
        if (listed != set_by_decl.end() && listed->second.origin == "set")
            listed->second.origin = "set, changes later";
        if (p.gui)
            node.gui_script.push_back(t);
        else if (node.dsp_trace[p.dsp] < 0 && p.datatype != DT_FSAMPLE)
            node.dsp_trace[p.dsp] = add_trace(n, p.label, "value", true, &d);
    }
    std::stable_sort(node.gui_script.begin(), node.gui_script.end(),
                     [&](const auto &a, const auto &b) {
                         return a.time.clock(patch.rate) < b.time.clock(patch.rate);
                     });
    list_settings(n, set_by_decl);
    for (const auto &pc : node.definition.patch_changes)
        if (pc.first.clock(patch.rate) >= total)
            throw InputError(pc.second + ": time lies at or after the end of the run");
    if (!node.definition.midi.empty() ||
        (node.definition.midi_file && node.definition.midi_file->messages > 0)) {
        bool has_midi_in = false;
        for (const sehost::DspPin &p : dsp.dsp_pins())
            has_midi_in = has_midi_in || (p.datatype == DT_MIDI && p.direction == DR_IN);
        if (!has_midi_in)
            throw InputError(node.definition.midi_where + ": module \"" + node.definition.name +
                             "\" has no MIDI input");
    }
    if (patch.split_seed)
        dsp.split_random(*patch.split_seed + static_cast<uint32_t>(n), patch.split_max);
    // Every module write on the GUI side is recorded and carried along wires;
    // the Module's own handler (carrying IO_BOTH_SIDES pins) runs first.
    if (sehost::GuiInstance *gui = node.mod->gui()) {
        auto carry = gui->on_write;
        gui->on_write = [this, n, carry](int pin, const sehost::GuiValue &v) {
            if (carry)
                carry(pin, v);
            on_gui_write(n, pin, v);
        };
    }
}

// Every input pin but MIDI with the value it starts from: as set, as wired,
// else its default (a GUI pin's as its GUI side holds it). Value traces of
// pins changed later start from that default.
void Runner::Impl::list_settings(size_t n, std::map<int, PinSetting> &set_by_decl)
{
    Node &node = nodes[n];
    sehost::DspInstance &dsp = node.mod->dsp();
    std::vector<bool> timed(dsp.pins().size(), false);
    for (const TimedSetting &t : node.definition.at)
        timed[static_cast<size_t>(pick_pin(dsp, t.pin, Want::Input, t.where).decl)] = true;
    for (const sehost::PinDecl &d : dsp.pins()) {
        if (!d.is_input() || d.datatype == DT_MIDI)
            continue;
        auto set = set_by_decl.find(d.number);
        if (set != set_by_decl.end()) {
            records[n].settings.push_back(set->second);
            continue;
        }
        auto wired = node.wired_from.find(d.number);
        if (wired != node.wired_from.end()) {
            records[n].settings.push_back(PinSetting{d.name, "", wired->second});
            continue;
        }
        std::string value;
        if (d.is_gui_pin() && node.mod->gui()) {
            value = value_text(d, node.mod->gui()->value(d.number).number());
        } else {
            double v = 0;
            try {
                if (d.default_value && !d.default_value->empty())
                    v = parse_value(d, *d.default_value, "");
            } catch (const InputError &) {
                v = NAN; // a default this host cannot read: shown as it stands
            }
            if (std::isnan(v))
                value = *d.default_value;
            else if (d.datatype == DT_FSAMPLE)
                value = value_text(d, v * 10.0) + " V";
            else
                value = value_text(d, v);
            // A value pin changed later is drawn from its default, not blank until then.
            int tr = d.dsp_index >= 0 ? node.dsp_trace[static_cast<size_t>(d.dsp_index)] : -1;
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
    if (!gui_error.empty())
        return; // the run ends when the host's call returns
    Node &node = nodes[n];
    uint64_t clock = node.mod->dsp().clock();
    records[n].gui_writes++;
    const sehost::PinDecl &d = node.mod->dsp().pins()[static_cast<size_t>(pin)];
    EventLine &e =
        base_event(n, clock, "gui_write").add_text("pin", d.name).add_signed("decl", pin);
    if (v.kind == sehost::GuiValue::Kind::Text)
        e.add_text("value", v.text);
    else
        e.add_number("value", v.number());
    note();
    if (node.gui_trace[pin] >= 0)
        add_step(records[n].traces[node.gui_trace[pin]], clock, v.number(), total);
    if (gui_depth >= 16) {
        gui_error = patch.origin + ": GUI connections from \"" + node.definition.name + "." +
                    d.name + "\" loop back on themselves";
        return;
    }
    struct Leave {
        int &depth;
        ~Leave() { --depth; }
    } leave{++gui_depth};
    for (const Target &t : node.gui_targets[pin]) {
        if (!gui_error.empty())
            return;
        nodes[t.node].mod->set_gui_pin(t.pin.decl, v.number());
        int tr = nodes[t.node].gui_trace[t.pin.decl];
        if (tr >= 0)
            add_step(records[t.node].traces[tr], nodes[t.node].mod->dsp().clock(), v.number(),
                     total);
    }
}

void Runner::Impl::route_status(size_t from, const sehost::Request &r)
{
    for (const Target &t : nodes[from].status_targets[static_cast<size_t>(r.index)]) {
        sehost::DspInstance &dst = nodes[t.node].mod->dsp();
        std::optional<uint32_t> at;
        if (dst.is_open()) {
            at = std::max(r.stamp, dst.clock());
            feed(t.node, uint64_t{*at} + 1); // the patch's own inputs at that time come first
        } else if (r.stamp != 0) {
            continue; // cannot happen: every instance opens at clock 0
        }
        if (t.pin.datatype == DT_FSAMPLE) {
            dst.set_status(t.pin.dsp, r.value, at);
        } else if (r.output_value) {
            dst.set_value(t.pin.dsp, *r.output_value, at);
            int tr = nodes[t.node].dsp_trace[t.pin.dsp];
            if (tr >= 0)
                add_step(records[t.node].traces[tr], at.value_or(0), *r.output_value, total);
        } else {
            dst.set_status(t.pin.dsp, r.value, at);
        }
    }
}

// Everything the instance asked of the host since the last harvest.
void Runner::Impl::harvest(size_t n)
{
    Node &node = nodes[n];
    sehost::DspInstance &dsp = node.mod->dsp();
    InstanceRecord &rec = records[n];
    auto label = [&](int index) {
        const sehost::DspPin &p = dsp.dsp_pins()[static_cast<size_t>(index)];
        const sehost::PinDecl &d = dsp.pins()[static_cast<size_t>(p.decl)];
        return p.copy ? d.name + "[" + std::to_string(p.index - d.dsp_index) + "]" : d.name;
    };
    for (const sehost::Request &r : dsp.requests()) {
        switch (r.op) {
        case HOST_SET_PIN_STATUS: {
            rec.statuses++;
            EventLine &e = base_event(n, r.stamp, "status")
                               .add_text("pin", label(r.index))
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
            route_status(n, r);
            break;
        }
        case HOST_SEND_MIDI: {
            rec.midi_sent++;
            char hex[kMidiHexMax];
            base_event(n, r.stamp, "midi")
                .add_text("pin", label(r.index))
                .add_unsigned("stamp", r.stamp)
                .add_unsigned("sent", r.clock)
                .add_text("bytes", std::string_view(hex, midi_hex(r.value, hex)));
            note();
            if (node.midi_out_file[r.index] >= 0)
                sink->midi(static_cast<size_t>(node.midi_out_file[r.index]), r.stamp, r.value);
            if (node.dsp_trace[r.index] >= 0)
                add_mark(rec.traces[node.dsp_trace[r.index]], r.stamp, r.value, total);
            for (const Target &t : node.status_targets[static_cast<size_t>(r.index)]) {
                sehost::DspInstance &dst = nodes[t.node].mod->dsp();
                if (dst.clock() > r.stamp && ++nodes[t.node].looped_midi > max_looped_midi())
                    throw InputError(
                        patch.origin + ": MIDI feedback into \"" + nodes[t.node].definition.name +
                        "." + label_of(t.node, t.pin.dsp) + "\" grows without bound (over " +
                        std::to_string(max_looped_midi()) +
                        " messages in one block come back through a loop); a loop must pass each "
                        "message on at most once");
                uint32_t at = std::max(r.stamp, dst.clock());
                feed(t.node, uint64_t{at} + 1);
                dst.queue_midi(at, r.value);
                int tr = nodes[t.node].dsp_trace[t.pin.dsp];
                if (tr >= 0)
                    add_mark(records[t.node].traces[tr], at, r.value, total);
            }
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
// its opening would have: their order among events of equal clock is kept.
void Runner::Impl::schedule(size_t n)
{
    Node &node = nodes[n];
    sehost::DspInstance &dsp = node.mod->dsp();
    std::vector<Scheduled> mine;
    const ModuleSpec &d = node.definition;
    for (size_t i = 0; i < d.at.size(); ++i) {
        PinPick p = pick_pin(dsp, d.at[i].pin, Want::Input, d.at[i].where);
        if (p.gui)
            continue;
        uint64_t clock = d.at[i].time.clock(patch.rate);
        if (node.dsp_trace[p.dsp] >= 0 && p.datatype != DT_FSAMPLE)
            add_step(
                records[n].traces[node.dsp_trace[p.dsp]], clock,
                parse_value(dsp.pins()[static_cast<size_t>(p.decl)], d.at[i].value, d.at[i].where),
                total);
        mine.push_back(
            Scheduled{clock, seq++, static_cast<uint32_t>(n), kSet, static_cast<uint32_t>(i)});
    }
    for (size_t i = 0; i < d.patch_changes.size(); ++i)
        mine.push_back(Scheduled{d.patch_changes[i].first.clock(patch.rate), seq++,
                                 static_cast<uint32_t>(n), kPatchChange, static_cast<uint32_t>(i)});
    int midi_trace = -1;
    auto mark_midi = [&](uint64_t clock, int32_t message) {
        if (midi_trace < 0)
            for (size_t k = 0; k < dsp.dsp_pins().size() && midi_trace < 0; ++k)
                if (dsp.dsp_pins()[k].datatype == DT_MIDI && dsp.dsp_pins()[k].direction == DR_IN) {
                    if (node.dsp_trace[k] < 0)
                        node.dsp_trace[k] = add_trace(n, dsp.pins()[dsp.dsp_pins()[k].decl].name,
                                                      "midi", true, nullptr);
                    midi_trace = node.dsp_trace[k];
                }
        if (midi_trace >= 0)
            add_mark(records[n].traces[static_cast<size_t>(midi_trace)], clock, message, total);
    };
    for (size_t i = 0; i < d.midi.size(); ++i) {
        uint64_t clock = d.midi[i].time.clock(patch.rate);
        if (clock >= total)
            continue;
        mine.push_back(
            Scheduled{clock, seq++, static_cast<uint32_t>(n), kMidi, static_cast<uint32_t>(i)});
        mark_midi(clock, d.midi[i].message);
    }
    // The file's messages come after the list's, in time order: they take
    // the next places, one each, up to the run's end.
    if (d.midi_file) {
        FileMidi count(d.midi_file, patch.rate, total, seq);
        for (; count.more; count.next())
            mark_midi(count.clock, count.message);
        node.file_fed.emplace(d.midi_file, patch.rate, total, seq);
        node.file_out.emplace(d.midi_file, patch.rate, total, seq);
        seq = count.seq;
        file_nodes.push_back(n);
    }
    std::stable_sort(mine.begin(), mine.end(),
                     [](const Scheduled &a, const Scheduled &b) { return a.clock < b.clock; });
    // Merged into the patch-wide list, still ordered by (clock, seq): the
    // new entries all have higher seq than those before.
    size_t before = scheduled.size();
    scheduled.insert(scheduled.end(), mine.begin(), mine.end());
    std::inplace_merge(scheduled.begin(), scheduled.begin() + static_cast<std::ptrdiff_t>(before),
                       scheduled.end(), [](const Scheduled &a, const Scheduled &b) {
                           return a.clock != b.clock ? a.clock < b.clock : a.seq < b.seq;
                       });
    // Each instance's own list holds positions in the patch-wide one; they
    // are found again after the merge by node.
    for (Node &other : nodes)
        other.schedule.clear();
    std::vector<size_t> fed(nodes.size());
    for (size_t k = 0; k < nodes.size(); ++k)
        fed[k] = nodes[k].fed;
    for (size_t i = 0; i < scheduled.size(); ++i)
        nodes[scheduled[i].node].schedule.push_back(i);
    for (size_t k = 0; k < nodes.size(); ++k)
        nodes[k].fed = fed[k];
    node.active = true;
    feed(n, 1); // what is due at clock 0 goes in now, as at the opening
}

// Hands instance n the timed inputs before clock `before`.
void Runner::Impl::feed(size_t n, uint64_t before)
{
    Node &node = nodes[n];
    if (!node.active)
        return;
    sehost::DspInstance &dsp = node.mod->dsp();
    FileMidi *file = node.file_fed ? &*node.file_fed : nullptr;
    for (;;) {
        const Scheduled *s =
            node.fed < node.schedule.size() ? &scheduled[node.schedule[node.fed]] : nullptr;
        const bool have_s = s && s->clock < before;
        const bool have_f = file && file->more && file->clock < before;
        if (!have_s && !have_f)
            break;
        if (have_f && (!have_s || file->clock < s->clock ||
                       (file->clock == s->clock && file->seq < s->seq))) {
            dsp.queue_midi(static_cast<uint32_t>(file->clock), file->message);
            file->next();
            continue;
        }
        const Scheduled &x = scheduled[node.schedule[node.fed++]];
        const uint32_t clock = static_cast<uint32_t>(x.clock);
        if (x.kind == kSet) {
            const TimedSetting &t = node.definition.at[x.index];
            PinPick p = pick_pin(dsp, t.pin, Want::Input, t.where);
            dsp.set_value(p.dsp,
                          parse_value(dsp.pins()[static_cast<size_t>(p.decl)], t.value, t.where),
                          clock);
        } else if (x.kind == kPatchChange) {
            dsp.queue_patch_change(clock);
        } else {
            dsp.queue_midi(clock, node.definition.midi[x.index].message);
        }
    }
}

const std::string &Runner::Impl::scheduled_event(const Scheduled &x)
{
    const Node &node = nodes[x.node];
    if (x.kind == kSet) {
        const TimedSetting &t = node.definition.at[x.index];
        base_event(x.node, x.clock, "set")
            .add_text("pin", pick_pin(node.mod->dsp(), t.pin, Want::Input, t.where).label)
            .add_text("value", t.value)
            .text(event_text);
        return event_text;
    }
    if (x.kind == kPatchChange) {
        base_event(x.node, x.clock, "patch_change").text(event_text);
        return event_text;
    }
    return midi_in_event(x.node, x.clock, node.definition.midi[x.index].message);
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
        FileMidi *file = nullptr;
        size_t file_node = 0;
        for (size_t n : file_nodes) {
            FileMidi &f = *nodes[n].file_out;
            if (f.more && f.clock < limit &&
                (!file || before(f.clock, f.seq, file->clock, file->seq))) {
                file = &f;
                file_node = n;
            }
        }
        if (file &&
            (!have_s || before(file->clock, file->seq, scheduled[scheduled_out].clock,
                               scheduled[scheduled_out].seq)) &&
            (!have_w ||
             before(file->clock, file->seq, waiting.front().clock, waiting.front().seq))) {
            sink->event(midi_in_event(file_node, file->clock, file->message));
            file->next();
            continue;
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
        if (sehost::GuiInstance *gui = nodes[n].mod->gui())
            for (size_t decl = 0; decl < nodes[n].gui_trace.size(); ++decl) {
                int tr = nodes[n].gui_trace[decl];
                if (tr >= 0 && records[n].traces[tr].steps.empty())
                    records[n].traces[tr].steps.emplace_back(
                        0, gui->value(static_cast<int>(decl)).number());
            }
    for (size_t n : order) {
        const auto started = std::chrono::steady_clock::now();
        guarded(n, "opening", [&] { nodes[n].mod->open(); });
        if (nodes[n].mod->gui())
            records[n].gui_seconds +=
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        harvest(n);
        schedule(n);
    }
    flush(0);
}

void Runner::Impl::queue_timed_inputs(uint64_t before)
{
    for (size_t n = 0; n < nodes.size(); ++n)
        feed(n, before);
}

// GUI script entries due in the block [clock, clock + count): the GUI side
// has no clock, so they take effect at the block's start.
void Runner::Impl::run_gui_script(uint64_t clock, uint64_t count)
{
    for (size_t n = 0; n < nodes.size(); ++n) {
        Node &node = nodes[n];
        while (node.gui_next < node.gui_script.size() &&
               node.gui_script[node.gui_next].time.clock(patch.rate) < clock + count) {
            const TimedSetting &t = node.gui_script[node.gui_next++];
            PinPick p = pick_pin(node.mod->dsp(), t.pin, Want::Input, t.where);
            double v =
                parse_value(node.mod->dsp().pins()[static_cast<size_t>(p.decl)], t.value, t.where);
            base_event(n, clock, "gui_set")
                .add_text("pin", p.label)
                .add_number("value", v)
                .add_unsigned("asked", t.time.clock(patch.rate));
            note();
            guarded(n, "taking a GUI change", [&] { node.mod->set_gui_pin(p.decl, v); });
            if (node.gui_trace[p.decl] >= 0)
                add_step(records[n].traces[node.gui_trace[p.decl]], clock, v, total);
        }
    }
}

// Every instance in audio order runs the block; its audio goes to the sink
// and the traces, what it asked of the host along its connections.
void Runner::Impl::process_block(uint64_t clock, uint64_t count)
{
    for (size_t n : order) {
        Node &node = nodes[n];
        sehost::DspInstance &dsp = node.mod->dsp();
        node.calls_before = dsp.process_calls();
        node.looped_midi = 0;
        // As Module::run, with the GUI side's part timed apart.
        guarded(n, "processing", [&] {
            dsp.run(static_cast<uint32_t>(count));
            if (node.mod->gui()) {
                const auto started = std::chrono::steady_clock::now();
                node.mod->deliver_gui_messages();
                records[n].gui_seconds +=
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - started)
                        .count();
            } else {
                node.mod->deliver_gui_messages();
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
    sehost::DspInstance &dsp = node.mod->dsp();
    InstanceRecord &rec = records[n];
    for (const sehost::DspPin &p : dsp.dsp_pins()) {
        if (p.datatype != DT_FSAMPLE || node.dsp_trace[p.index] < 0)
            continue;
        if (p.direction == DR_OUT) {
            const float *buf = dsp.output(p.index);
            sink->audio(static_cast<size_t>(node.audio_out_file[p.index]), buf, count);
            envelope(rec.traces[node.dsp_trace[p.index]], clock, buf, count);
        } else if (node.seen[p.index]) {
            envelope(rec.traces[node.dsp_trace[p.index]], clock, node.seen[p.index]->data(), count);
        }
    }
}

// The host's idle tick: once a block for every GUI side that asked for idle
// calls (the panel switch restores a kept switch here).
void Runner::Impl::idle_guis()
{
    for (size_t n = 0; n < nodes.size(); ++n) {
        sehost::GuiInstance *gui = nodes[n].mod->gui();
        if (gui != nullptr && gui->initialised() && gui->idle_requested())
            guarded(n, "an idle call", [&] { gui->idle(); });
    }
}

void Runner::Impl::close_all()
{
    for (size_t n = 0; n < nodes.size(); ++n)
        records[n].process_calls = nodes[n].mod->dsp().process_calls();
    for (size_t n : order)
        guarded(n, "closing", [&] { nodes[n].mod->close(); });
}

void Runner::run(RunSink &sink, const std::function<void(double)> &progress)
{
    Impl &im = *m;
    im.sink = &sink;
    im.open_all();
    const uint64_t block = static_cast<uint64_t>(im.patch.block);
    for (uint64_t clock = 0; clock < im.total; clock += block) {
        const uint64_t count = std::min(block, im.total - clock);
        im.queue_timed_inputs(clock + count);
        im.run_gui_script(clock, count);
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
