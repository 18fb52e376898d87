// live_engine.cpp - a patch graph played period by period without
// allocating, locking or throwing, with its GUI sides on a thread of their
// own.
#include "live/live_engine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "alloc_probe.h"
#include "common/errors.h"
#include "graph/patch_graph.h"
#include "live/live_ring.h"
#include "sehost/sehost.h"

namespace secli {
namespace {

const char kJackPrefix[] = "jack:";

} // namespace

struct LiveEngine::Impl : GraphDriver {
    // What the engine keeps of each instance beside the graph's node.
    struct Node {
        std::vector<int> midi_out_port; // per DSP pin: index or -1
        int midi_in_port = -1;
        std::atomic<uint64_t> nanoseconds{0};
        size_t gui_fed = 0; // into the graph node's gui_timed
    };

    double rate;
    uint32_t period;
    uint64_t source_span = 0; // samples a ramp source takes
    uint64_t clock = 0;
    std::unique_ptr<PatchGraph> graph;
    std::unique_ptr<Node[]> nodes;
    std::vector<std::string> audio_in_names, audio_out_names, midi_in_names, midi_out_names;
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
    // MIDI the instances sent while opening: it goes out at the first
    // period's first frame (as the recording has it, at clock 0).
    std::vector<LiveMidiList> opening_midi;

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
    // GUI writes applied at the start of the current period (callback only;
    // room for a full ring, taken at most that many a period).
    std::vector<LiveCarry> carried;
    size_t carried_count = 0;
    std::atomic<int> running{-1}; // the instance inside a plug-in call

    void open_ports(const Patch &patch);
    void make_ports();
    void harvest(size_t n, uint64_t start, uint32_t frames);
    void feed(size_t n, uint64_t before);
    void set_fault(std::string text);
    void carry(size_t n, int pin, double value);
    void gui_loop();
    void start_gui();
    void stop_gui();

    // GraphDriver: "jack:NAME" sources read their port's period, and GUI
    // connections carry across the GUI thread once it runs.
    SourceFill own_source(const SourceSpec &s) override
    {
        if (s.definition.rfind(kJackPrefix, 0) != 0)
            return {};
        const size_t port =
            static_cast<size_t>(std::find(audio_in_names.begin(), audio_in_names.end(),
                                          s.definition.substr(sizeof kJackPrefix - 1)) -
                                audio_in_names.begin());
        const float *buf = in_buffers[port].data();
        const uint32_t block = period;
        return [buf, block](uint32_t first, uint32_t count, float *out) {
            read_ring(buf, block, first, count, out);
        };
    }
    void write_gui(size_t n, int decl, double value) override
    {
        sehost::Module &to = *graph->node(n).mod;
        if (!gui_threaded) {
            to.set_gui_pin(decl, value);
            return;
        }
        to.gui()->set_pin(decl, value);
        carry(n, decl, to.gui()->value(decl).number());
    }
};

LiveEngine::LiveEngine(const Patch &patch, double rate, uint32_t period) : m(new Impl)
{
    check_rate(rate, "the server's sample rate");
    check_block(period, "the server's period");
    m->rate = rate;
    m->period = period;
    m->source_span = patch.source_span ? patch.source_span->clock(rate)
                                       : static_cast<uint64_t>(rate * kSourceSeconds);
    m->carried.resize(Impl::kRing);
    m->open_ports(patch);
    GraphConfig config;
    config.rate = rate;
    config.block = period;
    config.span = m->source_span;
    m->graph.reset(new PatchGraph(patch, config, *m));
    m->nodes.reset(new Impl::Node[m->graph->size()]);
    m->make_ports();
}

uint64_t LiveEngine::source_span() const
{
    return m->source_span;
}

LiveEngine::~LiveEngine()
{
    m->stop_gui();
}

// An audio input port for every "jack:NAME" source.
void LiveEngine::Impl::open_ports(const Patch &patch)
{
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
}

// Ports of the outputs, and of the MIDI inputs no connection feeds; GUI
// writes carried along GUI connections.
void LiveEngine::Impl::make_ports()
{
    for (size_t n = 0; n < graph->size(); ++n) {
        GraphNode &g = graph->node(n);
        Node &node = nodes[n];
        sehost::DspInstance &dsp = g.mod->dsp();
        node.midi_out_port.assign(dsp.dsp_pins().size(), -1);
        for (const sehost::DspPin &p : dsp.dsp_pins()) {
            if (p.decl < 0)
                continue;
            std::string label = g.definition.name + "." + graph->label(n, p.index);
            if (p.direction == DR_OUT && p.datatype == DT_FSAMPLE) {
                audio_out_names.push_back(label);
                audio_outs.push_back(AudioOut{n, p.index});
            } else if (p.direction == DR_OUT && p.datatype == DT_MIDI) {
                node.midi_out_port[p.index] = static_cast<int>(midi_out_names.size());
                midi_out_names.push_back(label);
            } else if (p.direction == DR_IN && p.datatype == DT_MIDI && node.midi_in_port < 0 &&
                       !g.wired_in[static_cast<size_t>(p.index)]) {
                node.midi_in_port = static_cast<int>(midi_in_names.size());
                midi_in_names.push_back(label);
            }
        }
        // GUI-side writes travel along GUI connections after the Module's
        // own handler has carried IO_BOTH_SIDES pins to the DSP side.
        if (sehost::GuiInstance *gui = g.mod->gui()) {
            auto own = gui->on_write;
            gui->on_write = [this, n, own](int pin, const sehost::GuiValue &v) {
                if (gui_threaded) {
                    // Only IO_BOTH_SIDES pins reach the DSP side (Module::carry_gui_value).
                    if (graph->node(n).mod->dsp().pins()[static_cast<size_t>(pin)].flags &
                        IO_BOTH_SIDES)
                        carry(n, pin, v.number());
                } else if (own) {
                    own(pin, v);
                }
                graph->carry_gui(n, pin, v.number());
            };
        }
    }
}

// Instance n's timed inputs before clock `before` (callback, or open()):
// GUI-side ones go to the GUI thread once it runs.
void LiveEngine::Impl::feed(size_t n, uint64_t before)
{
    graph->feed(n, before);
    GraphNode &g = graph->node(n);
    Node &node = nodes[n];
    while (node.gui_fed < g.gui_timed.size() && g.gui_timed[node.gui_fed].clock < before) {
        const Timed &t = g.gui_timed[node.gui_fed];
        if (gui_threaded) {
            if (!to_gui.push(ToGui{static_cast<uint32_t>(n), 0, t.pin, t.value}))
                break; // the ring is full: tried again next period
        } else {
            g.mod->set_gui_pin(t.pin, t.value); // opening: no GUI thread yet
        }
        ++node.gui_fed;
    }
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
    for (size_t n = 0; n < graph->size(); ++n) {
        sehost::Module &mod = *graph->node(n).mod;
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
    if (graph)
        for (size_t n = 0; n < graph->size(); ++n)
            if (graph->node(n).mod->gui())
                graph->node(n).mod->divert_gui_messages({});
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
                sehost::GuiInstance &gui = *graph->node(m.node).mod->gui();
                if (m.pin >= 0) {
                    // A GUI-side setting of the patch, carried on as a
                    // change from outside is (Module::set_gui_pin).
                    gui.set_pin(m.pin, m.number);
                    if (graph->node(m.node).mod->dsp().pins()[static_cast<size_t>(m.pin)].flags &
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
                for (size_t n = 0; n < graph->size(); ++n)
                    if (sehost::GuiInstance *gui = graph->node(n).mod->gui()) {
                        current = n;
                        if (gui->idle_requested())
                            gui->idle();
                        forget_gui_records(*gui);
                    }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    } catch (const std::exception &e) {
        set_fault(graph->node(current).definition.where +
                  ": plug-in fault on the GUI side: " + e.what());
    }
}

// After each call into a GUI side: a loop of GUI connections found on the
// way stops the patch, as a plug-in fault does.
void LiveEngine::Impl::forget_gui_records(sehost::GuiInstance &gui)
{
    if (!graph->gui_error().empty())
        set_fault(graph->take_gui_error());
    gui_records_dropped.fetch_add(gui.requests().size(), std::memory_order_relaxed);
    gui.clear_requests();
    gui.clear_writes();
}

// What instance n asked of the host in this period: statuses and MIDI go
// along their connections, MIDI of an output pin also to its port.
void LiveEngine::Impl::harvest(size_t n, uint64_t start, uint32_t frames)
{
    sehost::DspInstance &dsp = graph->node(n).mod->dsp();
    for (const sehost::Request &r : dsp.requests()) {
        if (r.op == HOST_SEND_MIDI) {
            int port = nodes[n].midi_out_port[static_cast<size_t>(r.index)];
            if (port >= 0) {
                // A stamp outside this period goes out at its nearer edge.
                uint64_t stamp = std::max<uint64_t>(r.stamp, start);
                uint32_t frame =
                    static_cast<uint32_t>(std::min<uint64_t>(stamp - start, frames - 1));
                midi_out[port].add(frame, r.value);
            }
        }
        graph->carry(n, r);
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

void LiveEngine::open()
{
    m->opening_midi.assign(m->midi_out_names.size(), LiveMidiList{});
    for (LiveMidiList &l : m->opening_midi)
        l.items.resize(kMidiPerPeriod);
    m->midi_out = m->opening_midi.data();
    PatchGraph &graph = *m->graph;
    for (size_t n : graph.order()) {
        sehost::Module &mod = *graph.node(n).mod;
        mod.reserve(kEventRoom);
        try {
            mod.open();
        } catch (const sehost::HostError &e) {
            throw InputError(graph.node(n).definition.where +
                             ": plug-in fault while opening: " + e.what());
        }
        // Statuses announced at the opening reach the wired inputs.
        m->harvest(n, 0, m->period);
        m->feed(n, 1); // what is due at clock 0 goes in now, as at the opening
        std::string loop = graph.take_gui_error();
        if (!loop.empty())
            throw InputError(loop);
    }
    m->start_gui();
}

void LiveEngine::abandon()
{
    m->stop_gui();
}

void LiveEngine::close()
{
    m->stop_gui();
    for (size_t n : m->graph->order()) {
        try {
            m->graph->node(n).mod->close();
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
    im.carried_count = 0;
    if (im.faulted.load(std::memory_order_relaxed) || frames == 0 || frames > im.period) {
        for (size_t k = 0; k < im.audio_outs.size(); ++k)
            std::fill(audio_out[k], audio_out[k] + frames, 0.0f);
        return;
    }
    const uint64_t start = im.clock;
    for (size_t k = 0; k < im.in_buffers.size(); ++k)
        std::copy(audio_in[k], audio_in[k] + frames, im.in_buffers[k].begin());
    if (im.clock == 0)
        for (size_t k = 0; k < im.opening_midi.size(); ++k)
            for (size_t i = 0; i < im.opening_midi[k].count; ++i)
                midi_out[k].add(0, im.opening_midi[k].items[i].message);
    im.midi_out = midi_out;
    PatchGraph &graph = *im.graph;
    size_t current = 0;
    try {
        // What the GUI sides wrote since the last period, then a patch
        // change asked for, both at this period's first sample.
        Impl::ToDsp v;
        while (im.carried_count < im.carried.size() && im.to_dsp.pop(v)) {
            current = v.node;
            graph.node(v.node).mod->carry_gui_value(v.pin, v.value);
            im.carried[im.carried_count++] = LiveCarry{v.node, v.pin, v.value};
        }
        for (size_t n = 0; n < graph.size(); ++n) {
            current = n;
            im.feed(n, start + frames);
        }
        const uint64_t asked = im.patch_changes_asked.load(std::memory_order_acquire);
        if (asked != im.patch_changes_done) {
            im.patch_changes_done = asked;
            for (size_t n = 0; n < graph.size(); ++n)
                graph.node(n).mod->dsp().queue_patch_change(static_cast<uint32_t>(start));
        }
        for (size_t n = 0; n < graph.size(); ++n) {
            const int port = im.nodes[n].midi_in_port;
            if (port < 0)
                continue;
            const LiveMidiList &l = midi_in[port];
            for (size_t i = 0; i < l.count; ++i)
                graph.node(n).mod->dsp().queue_midi(static_cast<uint32_t>(start + l.items[i].frame),
                                                    l.items[i].message);
        }
        for (size_t n : graph.order()) {
            current = n;
            Impl::Node &node = im.nodes[n];
            auto t0 = std::chrono::steady_clock::now();
            im.running.store(static_cast<int>(n), std::memory_order_relaxed);
            graph.node(n).mod->run(frames);
            im.running.store(-1, std::memory_order_relaxed);
            im.harvest(n, start, frames);
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                std::chrono::steady_clock::now() - t0);
            node.nanoseconds.fetch_add(static_cast<uint64_t>(ns.count()),
                                       std::memory_order_relaxed);
        }
    } catch (const InputError &e) {
        // A fault of the patch (MIDI that multiplies round a loop): the
        // patch stops here, as offline.
        im.running.store(-1, std::memory_order_relaxed);
        im.set_fault(e.what());
    } catch (const std::exception &e) {
        // A fault of a plug-in (the host's own checks throw): the patch
        // stops here. Reached only once; the text is read after the flag.
        im.running.store(-1, std::memory_order_relaxed);
        im.set_fault(graph.node(current).definition.where +
                     ": plug-in fault while processing: " + e.what());
    }
    for (size_t k = 0; k < im.audio_outs.size(); ++k) {
        const Impl::AudioOut &o = im.audio_outs[k];
        if (im.faulted.load(std::memory_order_relaxed))
            std::fill(audio_out[k], audio_out[k] + frames, 0.0f);
        else
            std::copy_n(graph.node(o.node).mod->dsp().output(o.pin), frames, audio_out[k]);
    }
    im.clock = start + frames;
}

size_t LiveEngine::carried() const
{
    return m->carried_count;
}
const LiveCarry &LiveEngine::carried(size_t k) const
{
    return m->carried[k];
}
int LiveEngine::running_instance() const
{
    return m->running.load(std::memory_order_relaxed);
}
const std::string &LiveEngine::instance_where(size_t n) const
{
    return m->graph->node(n).definition.where;
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
    for (size_t n = 0; n < m->graph->size(); ++n)
        if (const sehost::GuiInstance *gui = m->graph->node(n).mod->gui())
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
    return m->graph->size();
}
const std::string &LiveEngine::instance_name(size_t n) const
{
    return m->graph->node(n).definition.name;
}
double LiveEngine::instance_seconds(size_t n) const
{
    return static_cast<double>(m->nodes[n].nanoseconds.load(std::memory_order_relaxed)) * 1e-9;
}

} // namespace secli
