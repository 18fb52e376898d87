// dsp_guards.cpp - the guard zones around every audio buffer: a word no
// module computes on either side, so that a write outside the block is
// found, told with its pin and mended.
#include <algorithm>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "dsp_instance_impl.h"

namespace sehost {
namespace dsp {

float *guarded_block(std::vector<float> &memory, size_t block, size_t guard)
{
    float guard_value;
    std::memcpy(&guard_value, &kGuardBits, sizeof guard_value);
    memory.assign(block + 2 * guard, 0.0f);
    std::fill(memory.begin(), memory.begin() + static_cast<std::ptrdiff_t>(guard), guard_value);
    std::fill(memory.end() - static_cast<std::ptrdiff_t>(guard), memory.end(), guard_value);
    return memory.data() + guard;
}

} // namespace dsp

namespace {
using dsp::guard_word;
using dsp::kGuardBits;

// Nonzero if any of the n words from p is not the guard bits: with SSE2
// four words a compare, else one at a time.
uint32_t spoiled_bits(const float *p, size_t n)
{
    uint32_t spoiled = 0;
    size_t k = 0;
#if defined(__SSE2__)
    const __m128i guard = _mm_set1_epi32(static_cast<int32_t>(kGuardBits));
    __m128i differ = _mm_setzero_si128();
    for (; k + 4 <= n; k += 4) {
        const __m128i words = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + k));
        differ = _mm_or_si128(differ, _mm_xor_si128(words, guard));
    }
    // all lanes equal to zero: mask 0xFFFF
    spoiled = static_cast<uint32_t>(
        _mm_movemask_epi8(_mm_cmpeq_epi32(differ, _mm_setzero_si128())) ^ 0xFFFF);
#endif
    for (; k < n; ++k)
        spoiled |= guard_word(p + k);
    return spoiled;
}
} // namespace

void DspInstance::check_guards(bool whole_zones)
{
    Impl &im = *m;
    const size_t guard = static_cast<size_t>(std::max(0, m_config.guard_samples));
    if (guard == 0)
        return;
    const size_t bs = static_cast<size_t>(m_config.block_size);
    for (size_t i : im.audio_pins) {
        float *buf = im.pins[i].buffer;
        // Per stretch the word on either side, at a whole check both zones.
        const uint32_t spoiled =
            whole_zones ? spoiled_bits(buf - guard, guard) | spoiled_bits(buf + bs, guard)
                        : guard_word(buf - 1) | guard_word(buf + bs);
        if (spoiled != 0) {
            m_errors.push_back(dsp::pin_label(m_library->path(), m_pins, m_dsp_pins[i]) +
                               ": the module wrote outside its buffer");
            for (size_t k = 1; k <= guard; ++k) { // bits, not floats: see kGuardBits
                std::memcpy(buf - k, &kGuardBits, sizeof kGuardBits);
                std::memcpy(buf + bs - 1 + k, &kGuardBits, sizeof kGuardBits);
            }
        }
    }
}

} // namespace sehost
