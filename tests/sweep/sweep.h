// sweep.h - the output sweep: each plug-in on seeded random inputs, all it
// produces reduced to 32-bit words (see sweep.cpp).
#ifndef SE_SWEEP_H
#define SE_SWEEP_H

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "deliverables.h"

namespace se_test {

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

// The recorded digests of seed 1 live beside each module's tests, in
// tests/<module folder>/sweep_digests.txt: one line per plug-in and word
// size, "<name> <32|64> <digest, hex> <words>". The word size matters where
// a module passes not-a-number values through: a 32-bit host hands each
// sample over on the x87 stack, which makes a signalling not-a-number quiet
// before the module sees it, so those bits differ between 32- and 64-bit
// builds.
struct Digest {
    uint64_t hash = 0;
    uint64_t words = 0;
};
constexpr int kWordBits = static_cast<int>(sizeof(void *) * 8);
std::string digest_file(const Deliverable &d);
std::optional<Digest> recorded_digest(const Deliverable &d, int word_bits);
// Writes (or replaces) the line of d.name and word_bits; throws when the
// file cannot be written.
void record_digest(const Deliverable &d, int word_bits, const Digest &digest);
std::string digest_line(const std::string &name, int word_bits, const Digest &digest);

} // namespace se_test

#endif
