// host_bench.h - the reference host's own cost per stretch.
#ifndef SE_BENCH_HOST_BENCH_H
#define SE_BENCH_HOST_BENCH_H

#include <benchmark/benchmark.h>

namespace se_bench {

// Registers the host measurements, each passed to `configure` as the
// module benchmarks are.
void register_host_benchmarks(void (*configure)(benchmark::internal::Benchmark *));

} // namespace se_bench

#endif
