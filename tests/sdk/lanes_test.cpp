// The lane helpers: four lanes give what one lane gives lane by lane, for
// the SSE2 lanes and the portable ones alike (the portable ones are what a
// target without SSE2 would build), on the words where the tests turn:
// signed zeros, the smallest and largest numbers, infinities and
// not-a-numbers of both signs.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "se_lanes.h"

namespace {

using se_sdk::PortableLanes4;

const std::vector<uint32_t> kWords = {0x00000000u, 0x80000000u, 0x00000001u, 0x80000001u,
                                      0x007FFFFFu, 0x00800000u, 0x3F800000u, 0xBF800000u,
                                      0x7F7FFFFFu, 0x7F800000u, 0xFF800000u, 0x7FC00000u,
                                      0xFFC00000u, 0x7F800001u, 0xFFFFFFFFu, 0x7FFFFFFFu};

template <class L> std::vector<uint32_t> words_of(const L &x)
{
    float f[4];
    se_sdk::store(f, x);
    return {se_sdk::bits_of(f[0]), se_sdk::bits_of(f[1]), se_sdk::bits_of(f[2]),
            se_sdk::bits_of(f[3])};
}

// Every operation on four lanes of either kind against one lane at a time.
template <class L> void check_lanes(const uint32_t (&a)[4], const uint32_t (&b)[4])
{
    float fa[4], fb[4];
    for (int k = 0; k < 4; ++k) {
        fa[k] = se_sdk::from_bits(a[k]);
        fb[k] = se_sdk::from_bits(b[k]);
    }
    const L x = se_sdk::load<L>(fa), y = se_sdk::load<L>(fb);
    std::vector<uint32_t> want[10];
    uint32_t prefix = 0, bits = 0;
    for (int k = 0; k < 4; ++k) {
        prefix ^= a[k];
        bits |= se_sdk::sign_bits(a[k]) << k;
        want[0].push_back(a[k] & b[k]);
        want[1].push_back(a[k] | b[k]);
        want[2].push_back(a[k] ^ b[k]);
        want[3].push_back(se_sdk::andnot(a[k], b[k]));
        want[4].push_back(se_sdk::positive_mask(a[k]));
        want[5].push_back(se_sdk::zero_mask(a[k]));
        want[6].push_back(se_sdk::sign_mask(a[k]));
        want[7].push_back(prefix);
        want[8].push_back(a[3]);
        want[9].push_back(b[0]);
    }
    const std::vector<uint32_t> got[10] = {words_of(x & y),
                                           words_of(x | y),
                                           words_of(x ^ y),
                                           words_of(se_sdk::andnot(x, y)),
                                           words_of(se_sdk::positive_mask(x)),
                                           words_of(se_sdk::zero_mask(x)),
                                           words_of(se_sdk::sign_mask(x)),
                                           words_of(se_sdk::prefix_xor(x)),
                                           words_of(se_sdk::last_lane(x)),
                                           words_of(se_sdk::splat<L>(b[0]))};
    for (int op = 0; op < 10; ++op)
        ASSERT_EQ(got[op], want[op]) << "operation " << op;
    ASSERT_EQ(se_sdk::sign_bits(x), bits);
    ASSERT_EQ(se_sdk::first_lane(x), a[0]);
}

TEST(SdkLanes, FourLanesAreOneLaneFourTimes)
{
    std::mt19937 random(25);
    std::uniform_int_distribution<size_t> pick(0, kWords.size() - 1);
    for (int n = 0; n < 2000; ++n) {
        uint32_t a[4], b[4];
        for (int k = 0; k < 4; ++k) {
            a[k] = n % 2 ? kWords[pick(random)] : static_cast<uint32_t>(random());
            b[k] = kWords[pick(random)];
        }
        check_lanes<se_sdk::Lanes4>(a, b);
        check_lanes<PortableLanes4>(a, b);
    }
}

TEST(SdkLanes, BuffersApartOnlyWhenNoByteIsShared)
{
    float buffer[16];
    EXPECT_TRUE(se_sdk::apart(buffer, buffer + 8, 8));
    EXPECT_TRUE(se_sdk::apart(buffer + 8, buffer, 8));
    EXPECT_FALSE(se_sdk::apart(buffer, buffer + 7, 8));
    EXPECT_FALSE(se_sdk::apart(buffer + 7, buffer, 8));
    EXPECT_FALSE(se_sdk::apart(buffer, buffer, 1));
}

} // namespace
