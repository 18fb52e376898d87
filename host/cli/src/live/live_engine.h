// live_engine.h - a patch run one period at a time inside an audio server's
// process callback. Everything that may allocate, lock or throw happens in
// the constructor and open(); process() only moves samples and events
// between the server's buffers and the instances:
//  - a patch source "jack:NAME" is an audio input port NAME;
//  - every audio output of the patch is heard on an output port
//    "instance.Pin"; every MIDI input pin that no connection feeds takes a
//    MIDI input port, and every MIDI output pin gives a MIDI output port,
//    named the same way;
//  - the patch graph (graph/patch_graph.h) is the offline runner's: the
//    same wiring rules and errors, and connections carry audio, values and
//    MIDI as they do offline, with no traces or event log.
// GUI sides run on a thread of their own, started by open(): messages a
// DSP side sends reach it through a lock-free ring, and it makes the idle
// calls. Values GUI sides write for their DSP sides come back through
// another ring and are applied at the start of the next period, so a GUI
// side that works long never holds up the audio; each period tells which
// it applied (carried()), so that a recording can apply them there too.
// The patch's timed inputs play at their times on the live clock (0 at the
// first period): DSP-side settings, MIDI and patch changes as the offline
// runner hands them over; GUI-side settings go to the GUI thread in the
// period that holds their time. The patch's duration does not end a live
// run.
#ifndef SEHOST_CLI_LIVE_ENGINE_H
#define SEHOST_CLI_LIVE_ENGINE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "patch/patch.h"

namespace secli {

// One MIDI message inside a period: frame from the period's start, packed
// as the modules send it (status | d1 << 8 | d2 << 16).
struct LiveMidi {
    uint32_t frame;
    int32_t message;
};

// A value a GUI side wrote that reached its DSP side (an IO_BOTH_SIDES pin,
// by declaration) at the start of the period.
struct LiveCarry {
    uint32_t instance; // patch order
    int32_t pin;
    double value;
};

// Fixed-capacity list of messages, filled and emptied without allocating.
struct LiveMidiList {
    std::vector<LiveMidi> items; // capacity fixed at construction
    size_t count = 0;
    uint64_t dropped = 0; // messages past capacity (never blocks)
    void clear() { count = 0; }
    void add(uint32_t frame, int32_t message)
    {
        if (count < items.size())
            items[count++] = LiveMidi{frame, message};
        else
            ++dropped;
    }
};

class LiveEngine
{
public:
    static constexpr size_t kMidiPerPeriod = 1024;
    // Events and requests one instance may hold in a period without the
    // host allocating (MIDI of every port plus statuses).
    static constexpr size_t kEventRoom = 4 * kMidiPerPeriod;
    // A ramp source takes the patch's source_span from start to end, or
    // this long when it has none (a live run has no duration).
    static constexpr double kSourceSeconds = 3600.0;

    // Builds the patch at the server's rate and period (the patch's own rate
    // and block are replaced). InputError for a bad patch or a rate or
    // period the patch cannot use.
    LiveEngine(const Patch &patch, double rate, uint32_t period);
    ~LiveEngine();

    // Port names, in the order process() takes their buffers.
    const std::vector<std::string> &audio_inputs() const;
    const std::vector<std::string> &audio_outputs() const;
    const std::vector<std::string> &midi_inputs() const;
    const std::vector<std::string> &midi_outputs() const;

    void open();  // opens every instance, starts the GUI thread (not real-time)
    void close(); // stops the GUI thread, closes the instances (not real-time)

    // From any thread but the callback's: every instance gets a patch
    // change at the start of the next period.
    void patch_change();
    // Patch changes asked for that the callback has applied, each at the
    // start of a period (read it in the callback, after process()).
    uint64_t patch_changes_applied() const;
    // Messages from DSP sides delivered on the GUI thread, and those lost
    // to a full ring.
    uint64_t gui_messages() const;
    uint64_t gui_messages_dropped() const;
    // The GUI thread lets go of its sides' requests and writes once they are
    // handled (offline runs keep them for the report; nobody reads them
    // live): those it let go of so far, and those still held (requests plus
    // writes; read it when the GUI thread is not running).
    uint64_t gui_requests_forgotten() const;
    size_t gui_requests_held() const;

    // One period of `frames` samples: the period, or fewer for the last
    // one of a run that ends inside a period (the clock goes on by
    // `frames`). midi_in[k] are the messages of MIDI input port k, in frame
    // order, all before `frames`; midi_out[k] is cleared and filled; the
    // audio outputs get `frames` samples. Never throws: a plug-in fault
    // silences the outputs from then on and is told by fault().
    void process(uint32_t frames, const float *const *audio_in, const LiveMidiList *midi_in,
                 float *const *audio_out, LiveMidiList *midi_out) noexcept;
    // The GUI writes the last process() applied at its first sample.
    size_t carried() const;
    const LiveCarry &carried(size_t k) const;
    // From another thread: the instance (patch order) inside a call of its
    // plug-in in process(), or -1 (what to name when a call never returns).
    int running_instance() const;
    const std::string &instance_where(size_t n) const;
    // Instead of close() when a plug-in call never returned: stops the GUI
    // thread and leaves every instance as it is (it cannot be closed while
    // the callback's thread is inside it).
    void abandon();

    uint64_t clock() const;
    // Samples a ramp source takes from its start to its end.
    uint64_t source_span() const;
    // The plug-in fault that stopped the patch (on either thread); empty
    // while none.
    bool faulted() const;
    std::string fault() const;
    // Per instance (patch order): name and the share of process time it took.
    size_t instances() const;
    const std::string &instance_name(size_t n) const;
    double instance_seconds(size_t n) const;

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

} // namespace secli

#endif
