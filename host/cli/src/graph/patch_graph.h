// patch_graph.h - a patch made real: its instances created, wired, put in
// run order and set up, and its timed inputs handed to them as their clocks
// reach them. The offline runner and the live engine both drive one; what
// each adds (the offline record and event log; the live ports and GUI
// thread) stays with the driver.
//
// Wiring rules; each broken one is an InputError naming the connection:
//  - "to" is an input "instance.Pin"; "from" is a host source (by its
//    name) or an output "instance.Pin";
//  - a source feeds audio inputs only; an output feeds inputs of its own
//    kind (audio, MIDI or value);
//  - GUI-side pins wire only to GUI-side pins;
//  - an input takes one connection, except that a MIDI input merges
//    several, each output once;
//  - audio never feeds its own instance, and audio connections form no
//    loop. Value and MIDI connections may loop: what comes back against
//    the run order reaches its input at that instance's clock, a block
//    late, and MIDI that multiplies on its way round is stopped.
// Settings: a DSP-side input that a connection or a source feeds starts
// from what they give and cannot be set as well; a timed change of it is
// refused for audio (the stream fills it every block) and holds for a
// value until the connection carries the next one. A timed change lies
// before the run's end; MIDI goes only to a module with a MIDI input.
//
// Connections carry as a host does (carry):
//  - an audio input wired to an output reads that output's buffer for the
//    block (the source instance runs first); the output's statuses reach
//    the input as EV_PIN_STATUS at their time stamps;
//  - a status of a value output (choice, bool, float) at T, also a future
//    T, reaches wired inputs as the value written into the input's variable
//    and EV_PIN_STATUS STATUS_CHANGED at T;
//  - MIDI sent at T arrives as EV_MIDI at T;
//  - a time stamp before the receiving instance's clock is delivered at
//    that clock; the receiver's own timed inputs up to a delivery's clock
//    go in before it;
//  - a GUI-side output written by a module's GUI side goes to the wired
//    GUI-side inputs at once (carry_gui), and so to their DSP side for
//    IO_BOTH_SIDES pins.
// Nothing called after the graph is built allocates (carry, feed), unless
// it fails.
#ifndef SEHOST_CLI_PATCH_GRAPH_H
#define SEHOST_CLI_PATCH_GRAPH_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "graph/values.h"
#include "patch/patch.h"
#include "sehost/sehost.h"
#include "sources/sources.h"

namespace secli {

// What a driver adds to the graph's work. The build calls the first two;
// the others are called as the patch runs, on the driver's real-time path.
class GraphDriver
{
public:
    virtual ~GraphDriver() = default;
    // The samples of a source the driver feeds itself (live: "jack:NAME"
    // ports); empty for the generated sources of sources.h.
    virtual SourceFill own_source(const SourceSpec &source)
    {
        (void)source;
        return {};
    }
    // Every audio input fed by a source or connection reads through here.
    virtual SourceFill input_fill(size_t node, int pin, SourceFill fill)
    {
        (void)node;
        (void)pin;
        return fill;
    }
    // A value or MIDI message carried into DSP pin `pin` of `node` at `clock`.
    virtual void carried_value(size_t node, int pin, uint64_t clock, double value)
    {
        (void)node, (void)pin, (void)clock, (void)value;
    }
    virtual void carried_midi(size_t node, int pin, uint64_t clock, int32_t message)
    {
        (void)node, (void)pin, (void)clock, (void)message;
    }
    // A GUI-side input `decl` of `node` takes a value along a GUI connection.
    virtual void write_gui(size_t node, int decl, double value) = 0;
};

struct GraphConfig {
    double rate = 44100;
    uint32_t block = 1024;
    uint64_t span = 0;           // samples a ramp source takes
    std::optional<uint64_t> end; // the run's length; none: it runs on (live)
};

// The receiving end of a connection, found.
struct Target {
    size_t node;
    PinPick pin;
};

// The same for a connection of the patch, which may come from a source.
struct WireEnd {
    size_t node;
    PinPick pin;
    bool source;
};

// A timed input of the patch, resolved: `pin` is a DSP index (a GUI-side
// declaration in gui_timed), `index` the entry of the definition's at,
// patch_changes or midi list it came from.
struct Timed {
    enum Kind : uint8_t { kSet, kPatchChange, kMidi };
    uint64_t clock;
    Kind kind;
    int pin;
    double value;
    int32_t message;
    uint32_t index;
};

// A setting of the patch as applied before the opening.
struct Applied {
    const Setting *setting;
    PinPick pin;
    bool source; // an audio input fed by a source the setting names
    double value;
};

// An instance's MIDI file as the run goes: the next message before the
// run's end and its clock.
struct FileMidi {
    MidiFileCursor cursor;
    double rate;
    uint64_t end, clock = 0;
    int32_t message = 0;
    bool more = false;
    FileMidi(std::shared_ptr<const MidiFile> file, double r, uint64_t e)
        : cursor(std::move(file), r), rate(r), end(e)
    {
        next();
    }
    void next()
    {
        MidiIn m;
        more = cursor.next(m) && (clock = m.time.clock(rate)) < end;
        message = m.message;
    }
};

struct GraphNode {
    ModuleSpec definition;
    std::unique_ptr<sehost::Module> mod;
    std::string module_name;
    std::vector<std::vector<Target>> status_targets; // per DSP pin
    std::vector<std::vector<Target>> gui_targets;    // per declaration
    std::vector<bool> wired_in;                      // per DSP pin, then per declaration
    std::vector<bool> fed;                           // per DSP pin: a source or connection feeds it
    std::map<int, std::string> wired_from;           // per declaration: what feeds it, as told
    std::vector<Applied> applied;                    // the settings, in the patch's order
    int midi_in = -1;                                // DSP index of the first MIDI input
    // Timed inputs of DSP pins by clock (equal clocks: settings, patch
    // changes, MIDI, each in the patch's order, then the MIDI file's).
    std::vector<Timed> timed;
    size_t timed_fed = 0;
    std::optional<FileMidi> file;
    std::vector<Timed> gui_timed;          // GUI-side settings by clock; the driver takes them
    uint64_t looped_clock = 0, looped = 0; // MIDI that came back late, at this clock
};

class PatchGraph
{
public:
    // Loads the plug-ins, creates and wires the instances, orders them and
    // applies the settings. InputError for anything the user wrote wrong.
    PatchGraph(const Patch &patch, const GraphConfig &config, GraphDriver &driver);

    const Patch &patch() const { return m_patch; }
    const GraphConfig &config() const { return m_config; }
    size_t size() const { return m_nodes.size(); }
    GraphNode &node(size_t n) { return m_nodes[n]; }
    const GraphNode &node(size_t n) const { return m_nodes[n]; }
    const std::vector<size_t> &order() const { return m_order; } // audio order
    // The receiving ends of the patch's connections, in its order.
    const std::vector<WireEnd> &wire_ends() const { return m_wire_ends; }
    // "Pin" or "Pin[2]": a DSP pin as users name it.
    std::string label(size_t n, int dsp_pin) const;

    // Hands instance n (once open) its timed inputs before clock `before`.
    void feed(size_t n, uint64_t before);
    // Carries a status or MIDI request of instance n along its connections;
    // InputError for MIDI that multiplies round a loop.
    void carry(size_t n, const sehost::Request &r);
    // Carries a GUI-side write of instance n along its GUI connections. A
    // loop of GUI connections is kept as gui_error() (nothing may be thrown
    // through a module's frames): the driver raises it when its call into
    // the module has returned.
    void carry_gui(size_t n, int decl, double value);
    const std::string &gui_error() const { return m_gui_error; }
    std::string take_gui_error();

    // MIDI coming back to an instance that has run already (a loop) waits
    // for the next block, so a message passes a loop once a block; a loop
    // that multiplies messages is stopped at this many in one block.
    uint64_t max_looped_midi() const { return 64 * uint64_t{m_config.block} + 4096; }

private:
    void build();
    void wire(const Wire &w);
    void settle_order();
    void apply_settings(size_t n);
    void schedule(size_t n);
    SourceFill source_fill(const SourceSpec &s);

    Patch m_patch;
    GraphConfig m_config;
    GraphDriver &m_driver;
    std::vector<GraphNode> m_nodes;
    std::vector<size_t> m_order;
    std::vector<WireEnd> m_wire_ends;
    std::map<std::string, size_t> m_by_name;
    std::vector<Source> m_sources; // kept alive: their fills are copied into instances
    int m_gui_depth = 0;
    std::string m_gui_error;
};

} // namespace secli

#endif
