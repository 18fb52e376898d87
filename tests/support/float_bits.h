// float_bits.h - a float's bit pattern and back, for tests that compare
// outputs exactly (signed zeros, not-a-number payloads and subnormals
// included): the SDK's own conversions, under the tests' names.
#ifndef SE_TEST_FLOAT_BITS_H
#define SE_TEST_FLOAT_BITS_H

#include <cstdint>

#include "se_lanes.h"

namespace se_test {

inline uint32_t bits(float x)
{
    return se_sdk::bits_of(x);
}

using se_sdk::from_bits;

} // namespace se_test

#endif
