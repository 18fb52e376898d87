// dsp_instance.h - one DSP-side object driven as the host contract says.
#ifndef SEHOST_DSP_INSTANCE_H
#define SEHOST_DSP_INSTANCE_H

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "se_plugin.h"
#include "sehost/host_config.h"
#include "sehost/library.h"
#include "sehost/pin_decl.h"

namespace sehost {

// Where the host was when a request arrived.
enum class Phase : uint8_t { Create, Query, Dispatch, Open, Event, Process, Close };

// A number a request may carry, or none, in the room of one double: "none"
// is a quiet NaN whose low payload bits are set.  Every carried value comes
// from an integer or a float variable, and a float's NaN widened to double
// has its low 29 bits clear, so no carried value is ever taken for "none".
class OptionalValue
{
public:
    OptionalValue() = default;
    OptionalValue(std::nullopt_t) {}
    OptionalValue(const std::optional<double> &v)
    {
        if (v)
            m_value = *v;
    }
    explicit operator bool() const { return has_value(); }
    bool has_value() const
    {
        uint64_t b;
        std::memcpy(&b, &m_value, sizeof b);
        return b != kNone;
    }
    const double &operator*() const { return m_value; }
    std::optional<double> get() const
    {
        return has_value() ? std::optional<double>(m_value) : std::nullopt;
    }

private:
    static constexpr uint64_t kNone = 0x7FF80000000000A5ull;
    static double none()
    {
        double d;
        std::memcpy(&d, &kNone, sizeof d);
        return d;
    }
    double m_value = none();
};

// One request of the module, in call order.  Queries (the clock, pin count,
// buffers, connections, version) are only counted unless
// HostConfig::record_queries asks for them: their answers leave no trace a
// reader needs, and recording them was most of what a request cost.
struct Request {
    uint32_t clock = 0; // host clock at the call (stretch start / event stamp)
    int32_t op = 0;     // HOST_ code
    int32_t index = 0;
    int32_t value = 0;
    uint32_t stamp = 0; // pointer argument read as a sample clock
    float opt = 0.0f;
    Phase phase = Phase::Dispatch;
    // HOST_SET_PIN_STATUS of a pin that is not DT_FSAMPLE: the value its
    // variable held at the call (choice/bool as integer, float as float).
    // Empty for audio pins and pins without a variable.
    OptionalValue output_value;
};

struct StatusOut {
    int pin;
    int32_t status;
    uint32_t stamp;
    uint32_t clock;              // host clock at the call
    std::optional<double> value; // as Request::output_value
};

struct MidiOut {
    int pin;
    uint32_t stamp;
    int32_t message; // packed: status | d1 << 8 | d2 << 16
    uint32_t clock;
};

// The DSP side of one module instance.
//
//   auto lib = sehost::Library::load(path);
//   sehost::DspInstance dsp(lib);          // makeModule(0, 1), learns pins
//   dsp.set_value("Octave", 1);            // before open: initial value
//   dsp.open();                            // count, rate, block, open, values, statuses
//   dsp.run_block();                       // one block of block_size samples
//   dsp.set_value("Octave", 2, 100);       // write + STATUS_CHANGED at clock 100
//   dsp.run(2048);
//   float *out = dsp.output("Pitch_Adj");
//
// Pins are named by DSP index or by declaration name.  Values are numbers:
// choice index, 0/1, float; for a DT_FSAMPLE input set_value sets every
// sample from that clock on (sample units, 1.0 = 10 V; pin defaults, which
// are written in volts, are divided by 10).
//
// Clock: starts at 0; block n covers clocks [n*block_size, (n+1)*block_size).
// The process entry gets (object, offset in block, count); buffers hold one
// block; HOST_GET_BUFFER_START answers the clock of the block's start.
class DspInstance
{
public:
    // makeModule(0, SE_MAKE_DSP, callback, this); validates the record
    // (non-null, magic, object, entries) and learns the pins.
    explicit DspInstance(std::shared_ptr<const Library> library, HostConfig config = {});
    ~DspInstance(); // closes the object if still alive (errors swallowed)
    DspInstance(const DspInstance &) = delete;
    DspInstance &operator=(const DspInstance &) = delete;

    const Library &library() const { return *m_library; }
    const HostConfig &config() const { return m_config; }
    PlugRecord *record() const { return m_record; } // null after close

    // --- pins ---
    const std::vector<PinDecl> &pins() const { return m_pins; } // declarations
    const PinDecl &decl(const std::string &name) const;         // HostError if unknown
    const std::vector<DspPin> &dsp_pins() const { return m_dsp_pins; }
    int dsp_index(const std::string &name) const; // HostError if no DSP pin
    int32_t pin_count() const;                    // HOST_GET_PIN_COUNT answer

    // --- life cycle ---
    // Pin count is fixed here; MOD_SET_SAMPLE_RATE, MOD_SET_BLOCK_SIZE,
    // MOD_OPEN; every input's initial value into its variable and every
    // buffer address; EV_PIN_STATUS for every DSP input/setting pin at clock
    // 0 in pin order (STREAMING for audio inputs with a source, else STILL).
    void open();
    bool is_open() const { return m_open; }
    void close(); // MOD_CLOSE, must answer 1
    // Raw dispatch call (object must be alive).
    se_result dispatch(int32_t op, int32_t index = 0, int32_t value = 0, void *ptr = nullptr,
                       float opt = 0.0f);

    // --- inputs ---
    // Before open: the stored initial value.  After open: written into the
    // variable at `clock` (default: now) and EV_PIN_STATUS STATUS_CHANGED
    // delivered there.
    void set_value(int pin, double value, std::optional<uint32_t> clock = {});
    void set_value(const std::string &pin, double value, std::optional<uint32_t> clock = {});
    // A choice pin by list label.
    void set_choice(const std::string &pin, const std::string &label,
                    std::optional<uint32_t> clock = {});
    // EV_PIN_STATUS with `status` at `clock`, nothing written.
    void set_status(int pin, int32_t status, std::optional<uint32_t> clock = {});
    // Audio input fed a block at a time: fill(first, count, out) writes the
    // samples of clocks first .. first + count - 1 (wrapping as uint32_t)
    // into out[0 .. count - 1].  It fills every block before the block runs
    // (and, set after open, the rest of the current block at once); a value
    // set later in the block overwrites what it wrote from there on.
    // Before open: the pin starts STREAMING; after: STATUS_STREAMING now.
    using SourceFill = std::function<void(uint32_t first, uint32_t count, float *out)>;
    void set_source(int pin, SourceFill fill);
    void set_source(const std::string &pin, SourceFill fill);
    // The same fed per sample: fn(clock) for each clock in turn.
    void set_source(int pin, std::function<float(uint32_t)> fn);
    void set_source(const std::string &pin, std::function<float(uint32_t)> fn);
    // Events for the event entry.  MIDI events carry the first DT_MIDI input's
    // DSP index in `data`.  Equal stamps are delivered in queue order.
    void queue_midi(uint32_t clock, int32_t message, int32_t value16 = 0);
    void queue_patch_change(uint32_t clock);
    void queue_event(const TimedEvent &event);
    // Room for this many queued events and recorded requests, so that a
    // real-time caller that stays within it never makes the host allocate.
    void reserve(size_t events);

    // --- buffers (block_size floats, owned by the host) ---
    // input(): the caller fills the buffer by hand from now on (it ends a
    // source or a held value of the pin); the host keeps what it holds.
    float *input(int pin);
    float *input(const std::string &pin);
    float *output(int pin);
    float *output(const std::string &pin);
    // Keep every sample of an audio pin from now on (as the buffer held it at
    // the end of each stretch, slept stretches included).
    void capture(int pin);
    void capture(const std::string &pin);
    const std::vector<float> &captured(int pin) const;
    const std::vector<float> &captured(const std::string &pin) const;

    // --- running ---
    // Processes `samples` samples from the current clock, crossing blocks as
    // needed: events are delivered exactly when the clock equals their stamp,
    // the process entry (read from the record before every call) covers the
    // stretches between them, unless the module sleeps.  An event that the
    // module posts for a clock inside the stretch being processed can only be
    // delivered after that stretch: it comes before the next one, with its
    // own stamp as the clock.  After a HostError the clock stands after the
    // stretch in which the fault happened.
    void run(uint32_t samples);
    void run_block(); // to the end of the current block
    void run_until(uint32_t clock);
    // Split every block further: stretch lengths used in turn (cyclic), or a
    // seeded random split; clear with split_plain().
    void split_lengths(std::vector<int32_t> lengths);
    void split_random(uint32_t seed, int32_t max_length = 64);
    void split_plain();

    uint32_t clock() const { return m_clock; }
    uint32_t block_start() const;
    bool asleep() const { return m_asleep; }
    uint64_t process_calls() const { return m_process_calls; }

    // --- record of the module's requests ---
    const std::vector<Request> &requests() const { return m_requests; }
    void clear_requests()
    {
        m_requests.clear();
        m_counts.fill(0);
    }
    std::vector<StatusOut> statuses() const;
    std::vector<MidiOut> midi_out() const;
    std::vector<uint32_t> sleeps() const;          // clocks of HOST_SLEEP
    std::vector<uint32_t> process_changes() const; // clocks of HOST_PROCESS_CHANGED
    std::vector<int32_t> gui_messages() const;     // values of HOST_SEND_TO_GUI
    size_t count(int32_t op) const;                // requests with that code, recorded or not
    // Faults found in the module's requests (also thrown, see HostConfig).
    const std::vector<std::string> &errors() const { return m_errors; }

    // HOST_SEND_TO_GUI is recorded, and also handed here (Module uses it).
    std::function<void(int32_t index, int32_t value)> on_send_to_gui;

    // Host callback entry (internal; public for the callback trampoline).
    se_result host_request(int32_t op, int32_t index, int32_t value, void *ptr, float opt);

private:
    friend struct DspMeasure; // the benchmarks' hooks (host/measure/dsp_measure.h)
    // A fault of a request, told with the request, its index and clock (out
    // of line: only a faulty request builds a text).
    static constexpr int64_t kNoNumber = INT64_MIN;
    __attribute__((cold, noinline)) void request_fault(int32_t op, int32_t index, uint32_t now,
                                                       const char *why, int64_t number = kNoNumber,
                                                       const char *why_after = nullptr);
    struct Queued;
    void learn();
    void enqueue(const TimedEvent &event, bool write, double value);
    // The steps of run(): see dsp_instance.cpp.
    void prepare_block(uint32_t start);
    void deliver_due();
    void deliver(const Queued &q);
    uint32_t plan_stretch(uint32_t start, uint32_t end);
    void call_process(uint32_t offset, uint32_t count);
    void finish_stretch(uint32_t start, uint32_t stop, uint32_t end);
    // Throws the first fault recorded since `before` (see HostConfig).
    void raise_since(size_t before) const;
    // Guard zones of every audio buffer: the word next to each end, or the
    // whole zones; a spoiled zone is recorded as a fault and restored.
    void check_guards(bool whole_zones);
    struct Impl;
    std::unique_ptr<Impl> m;
    std::shared_ptr<const Library> m_library;
    HostConfig m_config;
    PlugRecord *m_record = nullptr;
    std::vector<PinDecl> m_pins;
    std::vector<DspPin> m_dsp_pins;
    std::vector<Request> m_requests;
    std::array<size_t, 32> m_counts{}; // requests by code (0..31) since the last clear
    std::vector<std::string> m_errors;
    uint32_t m_clock = 0;
    bool m_open = false;
    bool m_asleep = false;
    uint64_t m_process_calls = 0;
};

// Learns a library's pin declarations with a short-lived DSP object.
std::vector<PinDecl> learn_pins(std::shared_ptr<const Library> library, HostConfig config = {});

} // namespace sehost

#endif
