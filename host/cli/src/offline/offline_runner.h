// offline_runner.h - the patch runner offline. Runs every instance one block
// at a time in an order that respects audio connections and carries values across
// connections as a host does:
//  - an audio input wired to an output reads that output's buffer for the
//    block (the source instance runs first); the output's statuses reach the
//    input as EV_PIN_STATUS at their time stamps;
//  - a status of a value output (choice, bool, float) at T, also a future T,
//    reaches wired inputs as the value written into the input's variable and
//    EV_PIN_STATUS STATUS_CHANGED at T;
//  - MIDI sent at T arrives as EV_MIDI at T;
//  - a GUI-side output written by a module's GUI side is written into the
//    wired GUI-side inputs at once (and so to their DSP side for
//    IO_BOTH_SIDES pins, as the reference host carries them).
// A time stamp that lies before the receiving instance's clock (a connection
// against the audio order) is delivered at that clock, one block late, as in
// any host that processes modules in turn. GUI script writes take effect at
// the start of the block that holds their time: the GUI side has no clock.
#ifndef SEHOST_CLI_OFFLINE_RUNNER_H
#define SEHOST_CLI_OFFLINE_RUNNER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "patch/patch.h"
#include "report/record.h"

namespace secli {

// Where outputs go while the patch runs.
struct RunSink {
    virtual ~RunSink() = default;
    virtual void audio(size_t output, const float *samples,
                       size_t n) = 0; // index into audio_outputs()
    virtual void midi(size_t output, uint64_t stamp,
                      int32_t message) = 0; // index into midi_outputs()
    // In clock order. "clock" is the event's own sample clock, "time" the
    // same in seconds: for a status or MIDI message its stamp (the clock of
    // the call that sent it is "sent"), the same clock the MIDI files hold.
    // `line` is one JSON object without the newline.
    virtual void event(const std::string &line) = 0;
    // Every block's outputs are in: nothing stamped before `clock` follows.
    virtual void advance(uint64_t clock) { (void)clock; }
};

struct OutputPin {
    std::string instance, pin; // pin label as the user names it
};

class Runner
{
public:
    // Loads the plug-ins, creates the instances and checks the wiring and
    // settings. InputError for anything the user wrote wrong.
    explicit Runner(const Patch &patch);
    ~Runner();

    const std::vector<OutputPin> &audio_outputs() const;
    const std::vector<OutputPin> &midi_outputs() const;
    uint64_t total_samples() const;
    const Patch &patch() const;

    // Opens, runs and closes. `progress` gets the share done (0..1).
    void run(RunSink &sink, const std::function<void(double)> &progress = {});

    const std::vector<InstanceRecord> &records() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

} // namespace secli

#endif
