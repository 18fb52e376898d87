// offline_runner.h - the patch runner offline: runs the patch graph (its
// wiring rules and how connections carry: graph/patch_graph.h) one block at
// a time in audio order for the patch's duration, and keeps a record of
// every pin for the report and every event for events.jsonl. GUI script
// writes take effect at the start of the block that holds their time: the
// GUI side has no clock.
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
