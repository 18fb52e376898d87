// loops.cpp - see loops.h.  Built with the plug-ins' own flags, so the loops
// get the code the modules' loops get.  Each placement starts on a 64-byte
// boundary and is pushed on by 0, 8, 16 or 24 bytes of no-ops.
#include "loops.h"

namespace se_bench {
namespace {

#define SE_PAD(n) asm volatile(".rept " #n "\n\tnop\n\t.endr")

template <int Pad>
__attribute__((noinline, aligned(64))) void copy_loop(const float *in, float *out, int32_t n)
{
    if constexpr (Pad == 8)
        SE_PAD(8);
    if constexpr (Pad == 16)
        SE_PAD(16);
    if constexpr (Pad == 24)
        SE_PAD(24);
    for (int32_t i = 0; i < n; ++i)
        out[i] = in[i];
}

template <int Pad>
__attribute__((noinline, aligned(64))) void fill_loop(float *out, float value, int32_t n)
{
    if constexpr (Pad == 8)
        SE_PAD(8);
    if constexpr (Pad == 16)
        SE_PAD(16);
    if constexpr (Pad == 24)
        SE_PAD(24);
    for (int32_t i = 0; i < n; ++i)
        out[i] = value;
}

} // namespace

const CopyFn kCopy[kPlacements] = {copy_loop<0>, copy_loop<8>, copy_loop<16>, copy_loop<24>};
const FillFn kFill[kPlacements] = {fill_loop<0>, fill_loop<8>, fill_loop<16>, fill_loop<24>};

} // namespace se_bench
