// live_jack.h - `sehost play`: a patch as a client of the JACK audio server,
// run in the server's process callback at its rate and period.
#ifndef SEHOST_CLI_LIVE_JACK_H
#define SEHOST_CLI_LIVE_JACK_H

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "patch/patch.h"

namespace secli {

class LiveEngine;
class LiveRecorder;

struct PlayOptions {
    std::string client = "sehost";
    // "OURS=THEIRS": one of our ports (as listed at the start) and any port
    // of the server, in either direction, as jack_connect takes them.
    std::vector<std::string> connect;
    std::optional<double> seconds;  // stop at this sample; else at Ctrl-C
    bool status = true;             // the status line, when stderr is a terminal
    bool count_allocations = false; // arm the allocation counter around the callback
    // --record DIR: the run's set of files (as render writes them) in DIR.
    std::optional<std::string> record;
    bool force = false; // overwrite an earlier set there
};

// What a live run measured.
struct PlayStats {
    uint64_t periods = 0, frames = 0;
    uint64_t xruns = 0;
    uint64_t allocations = 0;  // in the callback, when counted
    uint64_t midi_refused = 0; // live MIDI input refused by the rules of midi_bytes.h, or past
                               // LiveEngine::kMidiPerPeriod in a period
    double max_load = 0.0, mean_load = 0.0; // the server's DSP load, per cent
    double load = 0.0;                      // the latest figure
};

class LiveClient
{
public:
    // Opens a client of the running server (never starts one) and builds
    // the patch at its rate and period. InputError when no server runs or
    // the patch cannot run there.
    LiveClient(const Patch &patch, const PlayOptions &options);
    ~LiveClient(); // deactivates and closes

    LiveEngine &engine();
    // Full port names of ours, as others connect to them ("sehost:x.Out").
    std::string port_name(const std::string &short_name) const;
    uint32_t rate() const;
    uint32_t period() const; // the server's at the start, which the patch is built for

    // Hands every period's inputs to `recorder` (set before start()).
    void record(LiveRecorder *recorder);
    void start();                            // opens the patch, activates
    void connect(const std::string &wiring); // InputError for an unknown port
    // The patch stays silent, its clock at 0, until the server's frame time
    // reaches `frame` (set it after start() and the connections; others in
    // the graph can then begin at the very same period). frame_time() is
    // the server's now.
    void start_at(uint64_t frame);
    uint64_t frame_time() const;
    // The patch takes no more periods; waits for the callback to leave it.
    // False if it stays inside (a plug-in call that does not return): then
    // abandon() rather than stop().
    bool halt();
    void stop(); // deactivates; the patch closes
    void abandon();
    // The callback has been inside the patch for seconds (call it often).
    bool hung();
    bool finished() const;           // played up to PlayOptions::seconds
    uint32_t period_changed() const; // the server's new period, 0 while unchanged
    PlayStats stats() const;
    bool server_gone() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

// Runs until Ctrl-C or the time given. Prints the ports at the start and
// the figures at the end. An early end (the server stops or changes its
// period, a plug-in's call does not return) is an InputError telling why,
// after the recording of what was played is written.
PlayStats play(const Patch &patch, const PlayOptions &options, std::ostream &log);

} // namespace secli

#endif
