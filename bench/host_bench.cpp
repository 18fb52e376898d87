// host_bench.cpp - what the reference host adds to a stretch: edge_detect
// (awake, its input streaming) run in stretches of 1, 8 and 64 samples by
// DspInstance::run, against the same stretches as bare calls of its process
// entry.  The difference is the host's work per stretch: events, clock,
// buffer guards, captures.  And the host's cost of one request, which the
// table takes off the modules' times (a module's sends are the contract's).
// And the host's cost per event with 10 to 100,000 events waiting behind it.
#include "host_bench.h"

#include <string>

#include "dsp_measure.h"
#include "module_run.h"
#include "plugin_path.h"
#include "sehost/sehost.h"

namespace se_bench {
namespace {

constexpr uint32_t kStretches = 1u << 14;

std::unique_ptr<sehost::DspInstance> awake_edge_detect()
{
    sehost::HostConfig config;
    config.block_size = 1024;
    auto lib = sehost::Library::load(se_test::plugin_path("edge_detect"));
    auto dsp = std::make_unique<sehost::DspInstance>(lib, config);
    dsp->set_value("Pulse Mode", 2);
    dsp->set_source("Audio In", [](uint32_t t) { return (t / 50) % 2 ? 0.5f : -0.5f; });
    dsp->open();
    float *in = dsp->input("Audio In"); // filled by hand from now on: no per-block source cost
    for (int k = 0; k < 1024; ++k)
        in[k] = (k / 50) % 2 ? 0.5f : -0.5f;
    dsp->run(1024);
    return dsp;
}

void through_host(benchmark::State &state, int stretch)
{
    auto dsp = awake_edge_detect();
    dsp->split_lengths({stretch});
    for (auto _ : state) {
        dsp->run(kStretches * uint32_t(stretch));
        state.PauseTiming();
        dsp->clear_requests();
        state.ResumeTiming();
    }
    state.counters["stretches"] = kStretches;
    if (dsp->asleep())
        state.SkipWithError("edge_detect went to sleep");
}

void direct(benchmark::State &state, int stretch)
{
    auto dsp = awake_edge_detect();
    for (auto _ : state) {
        for (uint32_t k = 0, at = 0; k < kStretches; ++k) {
            sehost::DspMeasure::process_only(*dsp, int32_t(at), stretch);
            at = (at + uint32_t(stretch)) % 1024u;
        }
        state.PauseTiming();
        dsp->clear_requests();
        state.ResumeTiming();
    }
    state.counters["stretches"] = kStretches;
}

// What one request of each kind the modules make costs the host (a send of
// pulse_counter's choice output, a MIDI send of cv_to_rpn, the clock, sleep).
void request(benchmark::State &state, const char *module, const char *pin, int32_t op)
{
    sehost::HostConfig config;
    auto lib = sehost::Library::load(se_test::plugin_path(module));
    sehost::DspInstance dsp(lib, config);
    dsp.open();
    const int index = pin ? dsp.dsp_index(pin) : 0;
    // In blocks of 1024 requests, the record emptied as module_run empties it.
    auto requests = [&] {
        for (uint32_t k = 0; k < kStretches; k += 1024) {
            sehost::DspMeasure::requests_in_process(
                dsp, op, index, op == HOST_SEND_MIDI ? 0x000065B0 : STATUS_CHANGED, 1024);
            if (dsp.requests().size() >= kRecordLimit)
                dsp.clear_requests();
        }
    };
    requests(); // the record grows once, untimed (as in module_run)
    dsp.clear_requests();
    for (auto _ : state) {
        requests();
        state.PauseTiming();
        dsp.clear_requests();
        state.ResumeTiming();
    }
    state.counters["stretches"] = kStretches;
}

// One MIDI event a sample into midi_choice (which passes it on), with
// `waiting` more queued for the samples after it: each sample a new one is
// queued at the back and the front one delivered.  Per event: the queue,
// the delivery, a process call of one sample and the module's send.
void events_waiting(benchmark::State &state, uint32_t waiting)
{
    sehost::HostConfig config;
    config.block_size = 1024;
    auto lib = sehost::Library::load(se_test::plugin_path("midi_choice"));
    sehost::DspInstance dsp(lib, config);
    dsp.open();
    dsp.reserve(waiting + kStretches);
    constexpr int32_t kNoteOn = 0x00643C90;
    uint32_t next = dsp.clock() + 1;
    for (uint32_t k = 0; k < waiting; ++k)
        dsp.queue_midi(next++, kNoteOn);
    for (auto _ : state) {
        for (uint32_t k = 0; k < kStretches; ++k) {
            dsp.queue_midi(next++, kNoteOn);
            dsp.run(1);
        }
        state.PauseTiming();
        dsp.clear_requests();
        state.ResumeTiming();
    }
    state.counters["stretches"] = kStretches;
}

} // namespace

void register_host_benchmarks(void (*configure)(benchmark::internal::Benchmark *))
{
    const struct {
        const char *name, *module, *pin;
        int32_t op;
    } requests[] = {{"set_pin_status", "pulse_counter", "Index:Count", HOST_SET_PIN_STATUS},
                    {"send_midi", "cv_to_rpn", "MIDI Out", HOST_SEND_MIDI},
                    {"get_sample_clock", "cv_to_rpn", nullptr, HOST_GET_SAMPLE_CLOCK},
                    {"sleep", "cv_to_rpn", nullptr, HOST_SLEEP}};
    for (const auto &r : requests)
        configure(benchmark::RegisterBenchmark(
            (std::string("host | request | ") + r.name + " | - | 1024").c_str(), request, r.module,
            r.pin, r.op));
    for (uint32_t waiting : {10u, 1000u, 100000u})
        configure(benchmark::RegisterBenchmark(
            ("host | event, " + std::to_string(waiting) + " waiting | run | - | 1024").c_str(),
            events_waiting, waiting));
    for (int stretch : {1, 8, 64}) {
        std::string n = std::to_string(stretch);
        configure(benchmark::RegisterBenchmark(
            ("host | stretch of " + n + " | run | - | 1024").c_str(), through_host, stretch));
        configure(benchmark::RegisterBenchmark(
            ("host | stretch of " + n + " | direct | - | 1024").c_str(), direct, stretch));
    }
}

} // namespace se_bench
