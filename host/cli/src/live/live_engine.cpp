// live_engine.cpp - building a patch for live play and running it period by
// period without allocating, locking or throwing.
#include "live/live_engine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "alloc_probe.h"
#include "common/errors.h"
#include "common/safe_names.h"
#include "graph/node_order.h"
#include "graph/values.h"
#include "live/live_ring.h"
#include "patch/plugin_find.h"
#include "sehost/sehost.h"
#include "sources/sources.h"

namespace secli {
namespace {

struct Target {
    size_t node;
    PinPick pin;
};

const char kJackPrefix[] = "jack:";

} // namespace

struct LiveEngine::Impl {
    enum TimedKind { kSet, kPatchChange, kMidi };
    struct Timed {
        uint64_t clock;
        TimedKind kind;
        int pin; // DSP pin, or the declaration of a GUI pin
        double value;
        int32_t message;
    };
    struct Node {
        std::string name, where;
        std::vector<Setting> settings;
        std::unique_ptr<sehost::Module> mod;
        std::vector<std::vector<Target>> status_targets; // per DSP pin
        std::vector<std::vector<Target>> gui_targets;    // per declaration
        std::vector<int> audio_out_port;                 // per DSP pin: index or -1
        std::vector<int> midi_out_port;                  // per DSP pin: index or -1
        std::vector<bool> wired_in;                      // per DSP pin, then per declaration
        int midi_in_port = -1;
        std::atomic<uint64_t> nanoseconds{0};
        int gui_depth = 0;
        // Timed inputs by clock (for equal clocks: settings, patch
        // changes, MIDI, each in the patch's order, as the offline runner).
        std::vector<Timed> timed, gui_timed;
        size_t fed = 0, gui_fed = 0;
    };

    double rate;
    uint32_t period;
    uint64_t source_span = 0; // samples a ramp source takes
    uint64_t clock = 0;
    std::vector<std::unique_ptr<Node>> nodes;
    std::vector<size_t> order;
    std::map<std::string, size_t> by_name;
    std::vector<Source> sources;
    std::vector<std::string> audio_in_names, audio_out_names, midi_in_names, midi_out_names,
        ignored;
    // Per audio input port: the period the server gave, copied out by the
    // instances' sources a block at a time.
    std::vector<std::vector<float>> in_buffers;
    struct AudioOut {
        size_t node;
        int pin;
    };
    std::vector<AudioOut> audio_outs;
    std::atomic<bool> fault_claimed{false}, faulted{false};
    std::string fault; // written once, by the thread that claimed it, before faulted is set
    LiveMidiList *midi_out = nullptr;

    // The GUI thread and its two rings.
    struct ToGui {
        uint32_t node;
        int32_t value; // a message from the DSP side, when pin < 0
        int32_t pin;   // else a GUI-side setting of this declaration
        double number;
    };
    struct ToDsp {
        uint32_t node;
        int32_t pin; // declaration
        double value;
    };
    static constexpr size_t kRing = 4096;
    SpscRing<ToGui> to_gui{kRing};
    SpscRing<ToDsp> to_dsp{kRing};
    std::thread gui_thread;
    std::atomic<bool> gui_stop{false};
    bool gui_threaded = false; // GUI writes travel through to_dsp
    std::atomic<uint64_t> gui_delivered{0}, gui_dropped{0};
    // Requests and writes of GUI sides the GUI thread has let go of (nobody
    // reads them live; kept, they would grow for as long as the run lasts).
    std::atomic<uint64_t> gui_records_dropped{0};
    void forget_gui_records(sehost::GuiInstance &gui);
    std::atomic<uint64_t> patch_changes_asked{0};
    uint64_t patch_changes_done = 0; // callback only

    void build(const Patch &patch);
    void wire(const Patch &patch, const Wire &w);
    void settle_order(const Patch &patch);
    void apply_settings(size_t n);
    void harvest(size_t n, uint64_t start, uint32_t frames);
    void on_gui_write(size_t n, int pin, const sehost::GuiValue &v);
    void schedule(const Patch &patch);
    void feed(size_t n, uint64_t before);
    void set_fault(std::string text);
    void carry(size_t n, int pin, double value);
    void gui_loop();
    void start_gui();
    void stop_gui();
};

LiveEngine::LiveEngine(const Patch &patch, double rate, uint32_t period) : m(new Impl)
{
    check_rate(rate, "the server's sample rate");
    check_block(period, "the server's period");
    m->rate = rate;
    m->period = period;
    m->source_span = patch.source_span ? patch.source_span->clock(rate)
                                       : static_cast<uint64_t>(rate * kSourceSeconds);
    m->build(patch);
}

uint64_t LiveEngine::source_span() const
{
    return m->source_span;
}

LiveEngine::~LiveEngine()
{
    m->stop_gui();
}

void LiveEngine::Impl::build(const Patch &patch)
{
    if (patch.modules.empty())
        throw InputError(patch.origin + ": the patch has no modules");
    std::map<std::string, std::shared_ptr<sehost::Library>> libs;
    for (const ModuleSpec &d : patch.modules) {
        if (by_name.count(d.name) || std::any_of(patch.sources.begin(), patch.sources.end(),
                                                 [&](auto &s) { return s.name == d.name; }))
            throw InputError(d.where + ": the name \"" + d.name + "\" is used twice");
        check_instance_name(d.name, d.where + ".name");
        std::unique_ptr<Node> node(new Node);
        node->name = d.name;
        node->where = d.where;
        node->settings = d.set;
        std::string path = find_plugin(d.plugin, d.where + ".plugin");
        try {
            if (!libs.count(path))
                libs[path] = sehost::Library::load(path);
            sehost::HostConfig cfg;
            cfg.sample_rate = static_cast<float>(rate);
            cfg.block_size = static_cast<int32_t>(period);
            cfg.host_version = patch.host_version;
            cfg.repeat_copies = d.repeat;
            node->mod.reset(new sehost::Module(libs[path], cfg));
        } catch (const sehost::HostError &e) {
            throw InputError(d.where + ": " + e.what());
        }
        size_t pins = node->mod->dsp().dsp_pins().size(), decls = node->mod->dsp().pins().size();
        node->status_targets.resize(pins);
        node->gui_targets.resize(decls);
        node->audio_out_port.assign(pins, -1);
        node->midi_out_port.assign(pins, -1);
        node->wired_in.assign(pins + decls, false);
        by_name[d.name] = nodes.size();
        nodes.push_back(std::move(node));
    }
    for (const SourceSpec &s : patch.sources)
        if (s.definition.rfind(kJackPrefix, 0) == 0) {
            std::string port = s.definition.substr(sizeof kJackPrefix - 1);
            if (port.empty() || port.find(':') != std::string::npos)
                throw InputError(s.where + ": \"" + s.definition +
                                 "\" must name a port: jack:NAME");
            if (std::find(audio_in_names.begin(), audio_in_names.end(), port) !=
                audio_in_names.end())
                throw InputError(s.where + ": port \"" + port + "\" is named twice");
            audio_in_names.push_back(port);
        }
    in_buffers.assign(audio_in_names.size(), std::vector<float>(period, 0.0f));

    for (const Wire &w : patch.wires)
        wire(patch, w);
    settle_order(patch);

    // Ports of the outputs, and of the MIDI inputs no connection feeds.
    for (size_t n = 0; n < nodes.size(); ++n) {
        Node &node = *nodes[n];
        sehost::DspInstance &dsp = node.mod->dsp();
        for (const sehost::DspPin &p : dsp.dsp_pins()) {
            if (p.decl < 0)
                continue;
            const sehost::PinDecl &d = dsp.pins()[static_cast<size_t>(p.decl)];
            std::string label =
                node.name + "." +
                (p.copy ? d.name + "[" + std::to_string(p.index - d.dsp_index) + "]" : d.name);
            if (p.direction == DR_OUT && p.datatype == DT_FSAMPLE) {
                node.audio_out_port[p.index] = static_cast<int>(audio_out_names.size());
                audio_out_names.push_back(label);
                audio_outs.push_back(AudioOut{n, p.index});
            } else if (p.direction == DR_OUT && p.datatype == DT_MIDI) {
                node.midi_out_port[p.index] = static_cast<int>(midi_out_names.size());
                midi_out_names.push_back(label);
            } else if (p.direction == DR_IN && p.datatype == DT_MIDI && node.midi_in_port < 0 &&
                       !node.wired_in[static_cast<size_t>(p.index)]) {
                node.midi_in_port = static_cast<int>(midi_in_names.size());
                midi_in_names.push_back(label);
            }
        }
    }
    for (size_t n = 0; n < nodes.size(); ++n)
        apply_settings(n);
    schedule(patch);
}

void LiveEngine::Impl::schedule(const Patch &patch)
{
    for (size_t n = 0; n < nodes.size(); ++n) {
        const ModuleSpec &d = patch.modules[n];
        Node &node = *nodes[n];
        sehost::DspInstance &dsp = node.mod->dsp();
        for (const TimedSetting &t : d.at) {
            PinPick p = pick_pin(dsp, t.pin, Want::Input, t.where);
            double v = parse_value(dsp.pins()[static_cast<size_t>(p.decl)], t.value, t.where);
            if (p.gui)
                node.gui_timed.push_back(Timed{t.time.clock(rate), kSet, p.decl, v, 0});
            else
                node.timed.push_back(Timed{t.time.clock(rate), kSet, p.dsp, v, 0});
        }
        for (const auto &pc : d.patch_changes)
            node.timed.push_back(Timed{pc.first.clock(rate), kPatchChange, -1, 0.0, 0});
        for (const MidiIn &m : d.midi)
            node.timed.push_back(Timed{m.time.clock(rate), kMidi, -1, 0.0, m.message});
        if (d.midi_file) {
            MidiFileCursor file(d.midi_file, rate);
            for (MidiIn m; file.next(m);)
                node.timed.push_back(Timed{m.time.clock(rate), kMidi, -1, 0.0, m.message});
        }
        for (auto *list : {&node.timed, &node.gui_timed})
            std::stable_sort(list->begin(), list->end(),
                             [](const Timed &a, const Timed &b) { return a.clock < b.clock; });
    }
}

// Instance n's timed inputs before clock `before` (callback, or open()).
void LiveEngine::Impl::feed(size_t n, uint64_t before)
{
    Node &node = *nodes[n];
    sehost::DspInstance &dsp = node.mod->dsp();
    while (node.fed < node.timed.size() && node.timed[node.fed].clock < before) {
        const Timed &t = node.timed[node.fed++];
        const uint32_t at = static_cast<uint32_t>(t.clock);
        if (t.kind == kSet)
            dsp.set_value(t.pin, t.value, at);
        else if (t.kind == kPatchChange)
            dsp.queue_patch_change(at);
        else
            dsp.queue_midi(at, t.message);
    }
    while (node.gui_fed < node.gui_timed.size() && node.gui_timed[node.gui_fed].clock < before) {
        const Timed &t = node.gui_timed[node.gui_fed];
        if (gui_threaded) {
            if (!to_gui.push(ToGui{static_cast<uint32_t>(n), 0, t.pin, t.value}))
                break; // the ring is full: tried again next period
        } else {
            node.mod->set_gui_pin(t.pin, t.value); // opening: no GUI thread yet
        }
        ++node.gui_fed;
    }
}

void LiveEngine::Impl::wire(const Patch &patch, const Wire &w)
{
    size_t dot = w.to.find('.');
    if (dot == std::string::npos || !by_name.count(w.to.substr(0, dot)))
        throw InputError(w.where + ": \"" + w.to + "\" names no instance pin (write instance.Pin)");
    size_t tn = by_name[w.to.substr(0, dot)];
    Node &to_node = *nodes[tn];
    sehost::DspInstance &dst = to_node.mod->dsp();
    PinPick to = pick_pin(dst, w.to.substr(dot + 1), Want::Input, w.where + ": to");
    size_t slot = to.dsp >= 0 && !to.gui ? static_cast<size_t>(to.dsp)
                                         : dst.dsp_pins().size() + static_cast<size_t>(to.decl);
    if (to_node.wired_in[slot] && to.datatype != DT_MIDI)
        throw InputError(w.where + ": input \"" + w.to + "\" is already wired");
    to_node.wired_in[slot] = true;

    for (const SourceSpec &s : patch.sources) {
        if (s.name != w.from)
            continue;
        if (to.datatype != DT_FSAMPLE || to.dsp < 0)
            throw InputError(w.where + ": source \"" + s.name + "\" is audio, but \"" + w.to +
                             "\" is a " + wire_kind(to.datatype) + " pin");
        if (s.definition.rfind(kJackPrefix, 0) == 0) {
            size_t port =
                static_cast<size_t>(std::find(audio_in_names.begin(), audio_in_names.end(),
                                              s.definition.substr(sizeof kJackPrefix - 1)) -
                                    audio_in_names.begin());
            const float *buf = in_buffers[port].data();
            const uint32_t block = period;
            dst.set_source(to.dsp, [buf, block](uint32_t first, uint32_t count, float *out) {
                read_ring(buf, block, first, count, out);
            });
        } else {
            // A generated source runs on as the live clock does (a WAV file
            // plays once, then silence).
            sources.push_back(make_source(s.definition, rate, source_span, s.where));
            dst.set_source(to.dsp, sources.back().fill);
        }
        return;
    }
    dot = w.from.find('.');
    if (dot == std::string::npos || !by_name.count(w.from.substr(0, dot))) {
        std::vector<std::string> names;
        for (auto &s : patch.sources)
            names.push_back(s.name);
        for (auto &n : nodes)
            names.push_back(n->name + ".PIN");
        throw InputError(w.where + ": \"" + w.from +
                         "\" names no source or instance pin; known: " + quoted_list(names));
    }
    size_t fn = by_name[w.from.substr(0, dot)];
    Node &from_node = *nodes[fn];
    PinPick from =
        pick_pin(from_node.mod->dsp(), w.from.substr(dot + 1), Want::Output, w.where + ": from");
    if (std::string(wire_kind(from.datatype)) != wire_kind(to.datatype))
        throw InputError(w.where + ": cannot wire " + wire_kind(from.datatype) + " output \"" +
                         w.from + "\" to " + wire_kind(to.datatype) + " input \"" + w.to + "\"");
    if (from.gui != to.gui)
        throw InputError(w.where + ": \"" + (from.gui ? w.from : w.to) +
                         "\" is a GUI-side pin and \"" + (from.gui ? w.to : w.from) +
                         "\" is not; GUI pins wire only to GUI pins");
    if (from.gui) {
        from_node.gui_targets[static_cast<size_t>(from.decl)].push_back(Target{tn, to});
        return;
    }
    if (fn == tn && from.datatype == DT_FSAMPLE)
        throw InputError(w.where + ": audio loop: \"" + w.from + "\" feeds its own instance");
    for (const Target &t : from_node.status_targets[static_cast<size_t>(from.dsp)])
        if (t.node == tn && t.pin.dsp == to.dsp)
            throw InputError(w.where + ": \"" + w.from + "\" is already wired to \"" + w.to + "\"");
    from_node.status_targets[static_cast<size_t>(from.dsp)].push_back(Target{tn, to});
    if (to.datatype == DT_FSAMPLE) {
        sehost::DspInstance *src = &from_node.mod->dsp();
        int out = from.dsp;
        const uint32_t block = period;
        dst.set_source(to.dsp, [src, out, block](uint32_t first, uint32_t count, float *to_buf) {
            read_ring(src->output(out), block, first, count, to_buf);
        });
        dst.set_status(to.dsp, STATUS_STILL); // until the output announces itself
    }
}

// Audio connections fix the order; value and MIDI connections are followed
// too when they leave no loop (as the offline runner orders them).
void LiveEngine::Impl::settle_order(const Patch &patch)
{
    auto sort = [&](bool audio_only) {
        std::vector<std::vector<size_t>> next(nodes.size());
        for (size_t a = 0; a < nodes.size(); ++a)
            for (auto &targets : nodes[a]->status_targets)
                for (const Target &t : targets)
                    if ((!audio_only || t.pin.datatype == DT_FSAMPLE) && t.node != a)
                        next[a].push_back(t.node);
        return order_nodes(next, order);
    };
    if (!sort(false) && !sort(true))
        throw InputError(patch.origin + ": audio connections form a loop");
}

void LiveEngine::Impl::apply_settings(size_t n)
{
    Node &node = *nodes[n];
    sehost::DspInstance &dsp = node.mod->dsp();
    for (const Setting &s : node.settings) {
        PinPick p = pick_pin(dsp, s.pin, Want::Input, s.where);
        const sehost::PinDecl &d = dsp.pins()[static_cast<size_t>(p.decl)];
        if (p.dsp >= 0 && !p.gui && node.wired_in[static_cast<size_t>(p.dsp)] &&
            p.datatype != DT_MIDI)
            throw InputError(s.where + ": \"" + p.label + "\" is wired; it cannot be set as well");
        if (p.datatype == DT_FSAMPLE && looks_like_source(s.value)) {
            sources.push_back(make_source(s.value, rate, source_span, s.where));
            dsp.set_source(p.dsp, sources.back().fill);
            continue;
        }
        double v = parse_value(d, s.value, s.where);
        if (p.gui)
            node.mod->set_gui_pin(p.decl, v); // before open: the stored patch value
        else
            dsp.set_value(p.dsp, v);
    }
    // GUI-side writes travel along GUI connections after the Module's own
    // handler has carried IO_BOTH_SIDES pins to the DSP side.
    if (sehost::GuiInstance *gui = node.mod->gui()) {
        auto carry = gui->on_write;
        gui->on_write = [this, n, carry](int pin, const sehost::GuiValue &v) {
            if (gui_threaded) {
                // Only IO_BOTH_SIDES pins reach the DSP side (Module::carry_gui_value).
                if (nodes[n]->mod->dsp().pins()[static_cast<size_t>(pin)].flags & IO_BOTH_SIDES)
                    this->carry(n, pin, v.number());
            } else if (carry)
                carry(pin, v);
            on_gui_write(n, pin, v);
        };
    }
}

void LiveEngine::Impl::on_gui_write(size_t n, int pin, const sehost::GuiValue &v)
{
    Node &node = *nodes[n];
    if (++node.gui_depth > 16) {
        --node.gui_depth;
        return; // a GUI loop: the write stops here
    }
    for (const Target &t : node.gui_targets[static_cast<size_t>(pin)]) {
        sehost::Module &to = *nodes[t.node]->mod;
        if (!gui_threaded) {
            to.set_gui_pin(t.pin.decl, v.number());
            continue;
        }
        to.gui()->set_pin(t.pin.decl, v.number());
        carry(t.node, t.pin.decl, to.gui()->value(t.pin.decl).number());
    }
    --node.gui_depth;
}

// On the GUI thread: a value for instance n's DSP side, applied by the
// callback at its next period. A full ring is waited out (this thread may
// wait), unless the audio has stopped taking.
void LiveEngine::Impl::carry(size_t n, int pin, double value)
{
    const ToDsp item{static_cast<uint32_t>(n), pin, value};
    for (int tries = 0; !to_dsp.push(item); ++tries) {
        if (tries == 1000 || gui_stop.load(std::memory_order_relaxed)) {
            gui_dropped.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void LiveEngine::Impl::set_fault(std::string text)
{
    if (fault_claimed.exchange(true))
        return; // the first fault is the one told
    fault = std::move(text);
    faulted.store(true, std::memory_order_release);
}

void LiveEngine::Impl::start_gui()
{
    bool any = false;
    for (size_t n = 0; n < nodes.size(); ++n) {
        sehost::Module &mod = *nodes[n]->mod;
        if (!mod.gui())
            continue;
        any = true;
        mod.divert_gui_messages([this, n](int32_t value) {
            if (!to_gui.push(ToGui{static_cast<uint32_t>(n), value, -1, 0.0}))
                gui_dropped.fetch_add(1, std::memory_order_relaxed);
        });
    }
    if (!any)
        return;
    gui_threaded = true;
    gui_stop.store(false);
    gui_thread = std::thread([this] { gui_loop(); });
}

void LiveEngine::Impl::stop_gui()
{
    if (gui_thread.joinable()) {
        gui_stop.store(true);
        gui_thread.join();
    }
    gui_threaded = false;
    for (auto &node : nodes)
        if (node->mod->gui())
            node->mod->divert_gui_messages({});
}

// Messages from the DSP sides as they come (polled every 2 ms), idle calls
// 20 times a second while a GUI side asks for them.
void LiveEngine::Impl::gui_loop()
{
    sevalidate::alloc_probe::exempt_this_thread(); // the callback's count is the callback's
    constexpr auto kIdleEvery = std::chrono::milliseconds(50);
    auto next_idle = std::chrono::steady_clock::now();
    size_t current = 0;
    try {
        while (!gui_stop.load(std::memory_order_relaxed)) {
            ToGui m;
            while (to_gui.pop(m)) {
                current = m.node;
                sehost::GuiInstance &gui = *nodes[m.node]->mod->gui();
                if (m.pin >= 0) {
                    // A GUI-side setting of the patch, carried on as a
                    // change from outside is (Module::set_gui_pin).
                    gui.set_pin(m.pin, m.number);
                    if (nodes[m.node]->mod->dsp().pins()[static_cast<size_t>(m.pin)].flags &
                        IO_BOTH_SIDES)
                        carry(m.node, m.pin, gui.value(m.pin).number());
                    forget_gui_records(gui);
                    continue;
                }
                gui.dsp_message(m.value);
                gui_delivered.fetch_add(1, std::memory_order_relaxed);
                forget_gui_records(gui);
            }
            auto now = std::chrono::steady_clock::now();
            if (now >= next_idle) {
                next_idle = now + kIdleEvery;
                for (size_t n = 0; n < nodes.size(); ++n)
                    if (sehost::GuiInstance *gui = nodes[n]->mod->gui()) {
                        current = n;
                        if (gui->idle_requested())
                            gui->idle();
                        forget_gui_records(*gui);
                    }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    } catch (const std::exception &e) {
        set_fault(nodes[current]->where + ": plug-in fault on the GUI side: " + e.what());
    }
}

void LiveEngine::Impl::forget_gui_records(sehost::GuiInstance &gui)
{
    gui_records_dropped.fetch_add(gui.requests().size(), std::memory_order_relaxed);
    gui.clear_requests();
    gui.clear_writes();
}

// What instance n asked of the host in this period: statuses and MIDI go
// along their connections, MIDI of an output pin also to its port.
void LiveEngine::Impl::harvest(size_t n, uint64_t start, uint32_t frames)
{
    Node &node = *nodes[n];
    sehost::DspInstance &dsp = node.mod->dsp();
    for (const sehost::Request &r : dsp.requests()) {
        if (r.op == HOST_SET_PIN_STATUS) {
            for (const Target &t : node.status_targets[static_cast<size_t>(r.index)]) {
                sehost::DspInstance &to = nodes[t.node]->mod->dsp();
                uint32_t at = std::max(r.stamp, to.clock());
                if (t.pin.datatype == DT_FSAMPLE || !r.output_value)
                    to.set_status(t.pin.dsp, r.value, at);
                else
                    to.set_value(t.pin.dsp, *r.output_value, at);
            }
        } else if (r.op == HOST_SEND_MIDI) {
            int port = node.midi_out_port[static_cast<size_t>(r.index)];
            if (port >= 0) {
                // A stamp outside this period goes out at its nearer edge.
                uint64_t stamp = std::max<uint64_t>(r.stamp, start);
                uint32_t frame =
                    static_cast<uint32_t>(std::min<uint64_t>(stamp - start, frames - 1));
                midi_out[port].add(frame, r.value);
            }
            for (const Target &t : node.status_targets[static_cast<size_t>(r.index)]) {
                sehost::DspInstance &to = nodes[t.node]->mod->dsp();
                to.queue_midi(std::max(r.stamp, to.clock()), r.value);
            }
        }
    }
    dsp.clear_requests();
}

const std::vector<std::string> &LiveEngine::audio_inputs() const
{
    return m->audio_in_names;
}
const std::vector<std::string> &LiveEngine::audio_outputs() const
{
    return m->audio_out_names;
}
const std::vector<std::string> &LiveEngine::midi_inputs() const
{
    return m->midi_in_names;
}
const std::vector<std::string> &LiveEngine::midi_outputs() const
{
    return m->midi_out_names;
}
const std::vector<std::string> &LiveEngine::ignored() const
{
    return m->ignored;
}

void LiveEngine::open()
{
    for (size_t n : m->order) {
        Impl::Node &node = *m->nodes[n];
        node.mod->reserve(kEventRoom);
        try {
            node.mod->open();
        } catch (const sehost::HostError &e) {
            throw InputError(node.where + ": plug-in fault while opening: " + e.what());
        }
        // Statuses announced at the opening reach the wired inputs.
        m->harvest(n, 0, m->period);
        m->feed(n, 1); // what is due at clock 0 goes in now, as at the opening
    }
    m->start_gui();
}

void LiveEngine::close()
{
    m->stop_gui();
    for (size_t n : m->order) {
        try {
            m->nodes[n]->mod->close();
        } catch (const sehost::HostError &) {
            // closing after a fault: nothing more to tell
        }
    }
}

void LiveEngine::process(uint32_t frames, const float *const *audio_in, const LiveMidiList *midi_in,
                         float *const *audio_out, LiveMidiList *midi_out) noexcept
{
    Impl &im = *m;
    for (size_t k = 0; k < im.midi_out_names.size(); ++k)
        midi_out[k].clear();
    if (im.faulted.load(std::memory_order_relaxed) || frames != im.period) {
        for (size_t k = 0; k < im.audio_outs.size(); ++k)
            std::fill(audio_out[k], audio_out[k] + frames, 0.0f);
        return;
    }
    const uint64_t start = im.clock;
    for (size_t k = 0; k < im.in_buffers.size(); ++k)
        std::copy(audio_in[k], audio_in[k] + frames, im.in_buffers[k].begin());
    im.midi_out = midi_out;
    size_t current = 0;
    try {
        // What the GUI sides wrote since the last period, then a patch
        // change asked for, both at this period's first sample.
        Impl::ToDsp v;
        while (im.to_dsp.pop(v)) {
            current = v.node;
            im.nodes[v.node]->mod->carry_gui_value(v.pin, v.value);
        }
        for (size_t n = 0; n < im.nodes.size(); ++n) {
            current = n;
            im.feed(n, start + frames);
        }
        const uint64_t asked = im.patch_changes_asked.load(std::memory_order_acquire);
        if (asked != im.patch_changes_done) {
            im.patch_changes_done = asked;
            for (auto &node : im.nodes)
                node->mod->dsp().queue_patch_change(static_cast<uint32_t>(start));
        }
        for (size_t n = 0; n < im.nodes.size(); ++n) {
            Impl::Node &node = *im.nodes[n];
            if (node.midi_in_port < 0)
                continue;
            const LiveMidiList &l = midi_in[node.midi_in_port];
            for (size_t i = 0; i < l.count; ++i)
                node.mod->dsp().queue_midi(static_cast<uint32_t>(start + l.items[i].frame),
                                           l.items[i].message);
        }
        for (size_t n : im.order) {
            current = n;
            Impl::Node &node = *im.nodes[n];
            auto t0 = std::chrono::steady_clock::now();
            node.mod->run(frames);
            im.harvest(n, start, frames);
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                std::chrono::steady_clock::now() - t0);
            node.nanoseconds.fetch_add(static_cast<uint64_t>(ns.count()),
                                       std::memory_order_relaxed);
        }
    } catch (const std::exception &e) {
        // A fault of a plug-in (the host's own checks throw): the patch
        // stops here. Reached only once; the text is read after the flag.
        im.set_fault(im.nodes[current]->where + ": plug-in fault while processing: " + e.what());
    }
    for (size_t k = 0; k < im.audio_outs.size(); ++k) {
        const Impl::AudioOut &o = im.audio_outs[k];
        if (im.faulted.load(std::memory_order_relaxed))
            std::fill(audio_out[k], audio_out[k] + frames, 0.0f);
        else
            std::copy_n(im.nodes[o.node]->mod->dsp().output(o.pin), frames, audio_out[k]);
    }
    im.clock = start + frames;
}

uint64_t LiveEngine::patch_changes_applied() const
{
    return m->patch_changes_done;
}
void LiveEngine::patch_change()
{
    m->patch_changes_asked.fetch_add(1, std::memory_order_release);
}
uint64_t LiveEngine::gui_messages() const
{
    return m->gui_delivered.load();
}
uint64_t LiveEngine::gui_requests_forgotten() const
{
    return m->gui_records_dropped.load();
}
size_t LiveEngine::gui_requests_held() const
{
    size_t held = 0;
    for (const auto &node : m->nodes)
        if (const sehost::GuiInstance *gui = node->mod->gui())
            held += gui->requests().size() + gui->writes().size();
    return held;
}
uint64_t LiveEngine::gui_messages_dropped() const
{
    return m->gui_dropped.load();
}

uint64_t LiveEngine::clock() const
{
    return m->clock;
}
bool LiveEngine::faulted() const
{
    return m->faulted.load(std::memory_order_acquire);
}
std::string LiveEngine::fault() const
{
    return faulted() ? m->fault : std::string();
}
size_t LiveEngine::instances() const
{
    return m->nodes.size();
}
const std::string &LiveEngine::instance_name(size_t n) const
{
    return m->nodes[n]->name;
}
double LiveEngine::instance_seconds(size_t n) const
{
    return static_cast<double>(m->nodes[n]->nanoseconds.load(std::memory_order_relaxed)) * 1e-9;
}

} // namespace secli
