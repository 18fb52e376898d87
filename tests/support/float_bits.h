// float_bits.h - a float's bit pattern and back, for tests that compare outputs
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

// The float whose bit pattern is b.
inline float from_bits(uint32_t b)
{
    float x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

} // namespace se_test

#endif
