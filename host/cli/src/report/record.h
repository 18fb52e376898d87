// record.h - what a run records for its report: per instance, the value
// each input starts from, figures, and the history of every pin.
#ifndef SEHOST_CLI_RECORD_H
#define SEHOST_CLI_RECORD_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace secli {

// The run is cut into this many time buckets for the plots (audio plot
// resolution; bounded lanes, lanes.h).
constexpr int kBuckets = 1000;

// One pin's history for the report.
struct Trace {
    std::string pin;
    std::string kind; // "audio", "value", "midi", "gui"
    bool input = false;
    int32_t datatype = -1;                           // the pin's (DT_CHOICE ...), -1 if unknown
    std::vector<float> lo, hi;                       // audio: volts per bucket
    std::vector<std::pair<uint64_t, double>> steps;  // value, gui
    std::vector<std::pair<uint64_t, int32_t>> marks; // midi: packed messages
    uint64_t mark_count = 0;                         // midi: every message, drawn or not
    // steps and marks are bounded as the run goes (lanes.h): a long or busy
    // lane keeps an envelope per time bucket, not every change.
    std::vector<std::string> labels; // choice labels by value (for steps)
};

// The value an input pin starts the run with, and where it comes from.
struct PinSetting {
    std::string pin;    // as the user names it
    std::string value;  // as set, or the default as a label, word or volts
    std::string origin; // "set", "default", "wired from X", "source X"
};

struct InstanceRecord {
    std::string name, plugin, module_name;
    std::vector<PinSetting> settings; // every input pin but MIDI, in declaration order
    std::vector<Trace> traces;
    uint64_t process_calls = 0, blocks = 0, blocks_asleep = 0;
    uint64_t statuses = 0, midi_sent = 0, gui_writes = 0, to_gui = 0, sleeps = 0;
    // With a GUI side: wall seconds of the instance's opening and of its GUI
    // side taking the DSP side's messages (a GUI side may take its time
    // there). Differs from run to run, so it is told on the terminal, never
    // written to a file.
    double gui_seconds = 0;
};

} // namespace secli

#endif
