// sweep.h - the output sweep: each plug-in on seeded random inputs, all it
// produces reduced to 32-bit words (see sweep.cpp).
#ifndef SE_SWEEP_H
#define SE_SWEEP_H

#include <cstdint>
#include <cstdio>

namespace se_test {

inline const char *const kSweepModules[] = {
    "pulse_counter", "edge_detect",   "pitch_adjust", "midi_choice", "cv_to_rpn",
    "panel_switch8", "panel_switch4", "bool_volts",   "patch_pulse",
};

// 64-bit FNV-1a over the bytes of the words, and an optional dump file.
struct SweepWriter {
    std::FILE *file = nullptr;
    uint64_t hash = 0xCBF29CE484222325ull;
    uint64_t words = 0;
    void word(uint32_t w)
    {
        for (int i = 0; i < 4; ++i) {
            hash ^= (w >> (8 * i)) & 0xFFu;
            hash *= 0x100000001B3ull;
        }
        ++words;
        if (file)
            std::fwrite(&w, sizeof w, 1, file);
    }
};

// Runs plug-in `name` (file name without suffix) for 65536 samples; throws
// sehost::HostError if the host cannot drive it at all.
void sweep(const char *name, uint64_t seed, SweepWriter &out);

} // namespace se_test

#endif
