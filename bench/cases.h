// cases.h - what the benchmark measures: each module's process path in the
// settings that choose its loops, with each audio input varied in turn.
#ifndef SE_BENCH_CASES_H
#define SE_BENCH_CASES_H

#include <string>
#include <vector>

#include "tapes.h"

namespace se_bench {

struct Setting {
    const char *pin;
    double value; // choice index, or sample value (1.0 = 10 V) for audio pins
};

struct Varied {
    const char *pin;
    TapeShape shape;
};

struct ModuleCase {
    std::string row;               // e.g. "edge_detect ZeroX +Ve"
    const char *module;            // plug-in file name
    std::vector<Setting> settings; // choices, and audio inputs held still
    std::vector<Varied> varied;    // audio inputs measured with every kind;
                                   // none: the module fills its output
};

std::vector<ModuleCase> module_cases();

constexpr int kBlockSizes[] = {32, 256, 1024, 4096};

} // namespace se_bench

#endif
