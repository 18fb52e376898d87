// module_run.h - one module case measured through the reference host.
#ifndef SE_BENCH_MODULE_RUN_H
#define SE_BENCH_MODULE_RUN_H

#include <benchmark/benchmark.h>

#include "cases.h"

namespace se_bench {

// Opens the module with the case's settings, then times kRunSamples samples
// of process calls of `block` samples each, with input `varied` (an index
// into c.varied, or -1) reading the tape of `kind`: the module's buffer
// variable is pointed into the tape, block by block, as a host that hands
// over buffers does.  The module's requests go to the host as usual (a
// send costs what the host's answer costs); their record is grown by one
// untimed run first and emptied whenever it holds kRecordLimit requests.
// The requests whose number per run is reported (counters named as in
// kCountedNames), so that their cost, measured per request, can be told
// apart from the module's own.
extern const int32_t kCountedRequests[4];
// Requests the host's record holds at most before a benchmark empties it.
constexpr size_t kRecordLimit = 4096;
extern const char *const kCountedNames[4];

void run_module(benchmark::State &state, const ModuleCase &c, int varied, Kind kind, int block);

} // namespace se_bench

#endif
