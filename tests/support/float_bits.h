// float_bits.h - a float's bit pattern, for tests that compare outputs
// exactly (signed zeros, not-a-number payloads and subnormals included).
#ifndef SE_TEST_FLOAT_BITS_H
#define SE_TEST_FLOAT_BITS_H

#include <cstdint>
#include <cstring>

namespace se_test {

inline uint32_t bits(float x)
{
    uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

} // namespace se_test

#endif
