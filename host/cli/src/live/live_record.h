// live_record.h - `sehost play --record DIR`: what came into a live run
// (the audio of every "jack:NAME" input and the MIDI of every MIDI input,
// each at its sample clock, patch changes asked for, and the values GUI
// sides carried to their DSP sides, each at the clock it arrived there)
// goes from the callback through lock-free rings to a writer thread. When
// the run ends, the patch is run again offline on exactly those inputs
// (and its own timed ones), at the server's rate and period, and writes the
// set `render` writes (WAV, MIDI, events.jsonl, report.html) into the
// folder, all files or none. The engine equals the offline runner sample
// for sample on the same inputs, so the set holds what was played.
// The folder is taken (locked, checked) when the recording is made, before
// the run starts.
#ifndef SEHOST_CLI_LIVE_RECORD_H
#define SEHOST_CLI_LIVE_RECORD_H

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "live/live_engine.h"
#include "offline/session.h"
#include "patch/patch.h"

namespace secli {

class LiveRecorder
{
public:
    // Seconds of audio the rings hold while the writer catches up.
    static constexpr double kRingSeconds = 4.0;

    LiveRecorder(const Patch &patch, const LiveEngine &engine, double rate, uint32_t period,
                 const SessionOptions &options);
    ~LiveRecorder(); // without finish(): every file of the run is removed
    LiveRecorder(const LiveRecorder &) = delete;
    LiveRecorder &operator=(const LiveRecorder &) = delete;

    // In the callback, after LiveEngine::process took the same inputs and
    // gave these audio outputs (null: not checked). The outputs are only
    // summed up: after the replay its WAV files are checked against them.
    // `frames` as process() took them (the last period may be shorter);
    // every audio input holds a whole period.
    void period(uint32_t frames, const float *const *audio_in, const LiveMidiList *midi_in,
                const float *const *audio_out = nullptr) noexcept;

    // After the run (the callback no longer calls period()): writes the set,
    // its report showing `notes`. InputError when the writer fell behind
    // (nothing is written) or a file cannot be written.
    void finish(std::ostream &log, const std::vector<std::string> &notes = {});

    uint64_t frames() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

} // namespace secli

#endif
