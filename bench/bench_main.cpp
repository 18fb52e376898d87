// bench_main.cpp - the benchmark suite: every module case of cases.cpp at
// every block size and input kind, the copy and fill loops it is compared
// with, and the reference host's own cost per stretch.
//
// Each measurement is one run of kRunSamples samples, repeated; scripts/bench
// keeps the minimum of the repetitions and turns the times into ns per
// sample and ratios to the best copy (or fill) loop of the same run.
// Benchmark names are fields joined by " | ": group, row, input, kind, block.
// Times are CPU time: on a shared machine a run that is preempted loses
// real time, not CPU time.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cases.h"
#include "host_bench.h"
#include "loops.h"
#include "module_run.h"
#include "tapes.h"

namespace {

using namespace se_bench;

int repetitions()
{
    const char *env = std::getenv("SE_BENCH_REPETITIONS");
    int n = env ? std::atoi(env) : 0;
    return n > 0 ? n : 15;
}

double minimum(const std::vector<double> &v)
{
    double m = v.empty() ? 0.0 : v[0];
    for (double x : v)
        m = x < m ? x : m;
    return m;
}

void configure(benchmark::internal::Benchmark *b)
{
    b->Iterations(1)
        ->Repetitions(repetitions())
        ->ComputeStatistics("min", minimum)
        ->ReportAggregatesOnly(true)
        ->Unit(benchmark::kMicrosecond);
}

void copy_bench(benchmark::State &state, int placement, int block)
{
    const std::vector<float> &in = tape(Kind::Noise);
    std::vector<float> out(static_cast<size_t>(block));
    static uint32_t pos = 0;
    for (auto _ : state) {
        for (uint32_t done = 0; done < kRunSamples; done += uint32_t(block)) {
            kCopy[placement](in.data() + pos, out.data(), block);
            pos = (pos + uint32_t(block)) % kTapeSamples;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
}

void fill_bench(benchmark::State &state, int placement, int block)
{
    std::vector<float> out(static_cast<size_t>(block));
    for (auto _ : state) {
        for (uint32_t done = 0; done < kRunSamples; done += uint32_t(block))
            kFill[placement](out.data(), 0.1f, block);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
}

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    for (int block : kBlockSizes) {
        for (int p = 0; p < kPlacements; ++p) {
            std::string at = " | placement " + std::to_string(p) + " | " + std::to_string(block);
            configure(benchmark::RegisterBenchmark(("reference | copy | -" + at).c_str(),
                                                   copy_bench, p, block));
            configure(benchmark::RegisterBenchmark(("reference | fill | -" + at).c_str(),
                                                   fill_bench, p, block));
        }
    }
    for (const ModuleCase &c : module_cases()) {
        for (int block : kBlockSizes) {
            if (c.varied.empty()) {
                std::string name = "module | " + c.row + " | - | - | " + std::to_string(block);
                configure(benchmark::RegisterBenchmark(name.c_str(), run_module, c, -1,
                                                       Kind::Constant, block));
                continue;
            }
            for (size_t v = 0; v < c.varied.size(); ++v)
                for (Kind kind : kKinds) {
                    std::string name = "module | " + c.row + " | " + c.varied[v].pin + " | " +
                                       kind_name(kind) + " | " + std::to_string(block);
                    configure(benchmark::RegisterBenchmark(name.c_str(), run_module, c, int(v),
                                                           kind, block));
                }
        }
    }
    register_host_benchmarks(configure);
    benchmark::AddCustomContext("se_repetitions", std::to_string(repetitions()));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
