// module_run.cpp - see module_run.h.
#include "module_run.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>

#include "dsp_measure.h"
#include "plugin_path.h"
#include "sehost/sehost.h"

namespace se_bench {

const int32_t kCountedRequests[4] = {HOST_SET_PIN_STATUS, HOST_SEND_MIDI, HOST_GET_SAMPLE_CLOCK,
                                     HOST_SLEEP};
const char *const kCountedNames[4] = {"set_pin_status", "send_midi", "get_sample_clock", "sleep"};

void run_module(benchmark::State &state, const ModuleCase &c, int varied, Kind kind, int block)
{
    sehost::HostConfig config;
    config.block_size = block;
    config.throw_on_module_error = false;
    auto lib = sehost::Library::load(se_test::plugin_path(c.module));
    sehost::DspInstance dsp(lib, config);
    // Every audio input streams, as in a patch where it is wired: a held
    // value (0 unless the case sets one) comes from a constant source, so no
    // module goes to sleep.
    for (const sehost::PinDecl &d : dsp.pins())
        if (d.datatype == DT_FSAMPLE && d.is_input() && d.dsp_index >= 0)
            dsp.set_source(d.dsp_index, [](uint32_t) { return 0.0f; });
    for (const Setting &s : c.settings) {
        const sehost::PinDecl &d = dsp.decl(s.pin);
        if (d.datatype == DT_FSAMPLE) {
            const float v = static_cast<float>(s.value);
            dsp.set_source(d.dsp_index, [v](uint32_t) { return v; });
        } else {
            dsp.set_value(s.pin, s.value);
        }
    }
    float **variable = nullptr;
    const float *samples = nullptr;
    if (varied >= 0) {
        const Varied &v = c.varied[static_cast<size_t>(varied)];
        int pin = dsp.dsp_index(v.pin);
        dsp.set_source(pin, [](uint32_t) { return 0.0f; }); // replaced by the tape below
        variable =
            reinterpret_cast<float **>(dsp.dsp_pins()[static_cast<size_t>(pin)].variable_address);
        samples = tape(kind, v.shape).data();
    }
    dsp.open();
    dsp.run(static_cast<uint32_t>(block)); // past clock 0, where cv_to_rpn waits
    if (!dsp.errors().empty()) {
        state.SkipWithError(dsp.errors().front().c_str());
        return;
    }

    static uint32_t pos = 0; // runs start at different places of the tape
    size_t requests[4] = {};
    // The record is emptied whenever it holds kRecordLimit requests or more,
    // as a running host empties it every block: the requests then land in
    // memory that stays in cache, as they do in the host benchmark that
    // prices them, instead of streaming megabytes of record out of cache.
    auto drain = [&] {
        for (size_t k = 0; k < 4; ++k)
            requests[k] += dsp.count(kCountedRequests[k]);
        dsp.clear_requests();
    };
    auto one_run = [&] {
        for (uint32_t done = 0; done < kRunSamples; done += uint32_t(block)) {
            if (variable) {
                *variable = const_cast<float *>(samples + pos);
                pos = (pos + uint32_t(block)) % kTapeSamples;
            }
            sehost::DspMeasure::process_only(dsp, 0, block);
            if (dsp.requests().size() >= kRecordLimit)
                drain();
        }
    };
    // One untimed run first: the host's request record grows to its largest
    // size here, as a running host's does in its first blocks.
    one_run();
    drain();
    size_t per_run[4] = {};
    for (auto _ : state) {
        for (size_t &n : requests)
            n = 0;
        one_run();
        state.PauseTiming();
        drain();
        std::copy(std::begin(requests), std::end(requests), std::begin(per_run));
        state.ResumeTiming();
    }
    // Requests the module made in one run, by kind: their cost is the host's.
    for (size_t k = 0; k < 4; ++k)
        state.counters[kCountedNames[k]] = static_cast<double>(per_run[k]);
    if (!dsp.errors().empty())
        state.SkipWithError(dsp.errors().front().c_str());
}

} // namespace se_bench
