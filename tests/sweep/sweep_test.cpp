// Every plug-in's outputs on the sweep's random inputs, held to the digests
// recorded beside its tests (tests/<module folder>/sweep_digests.txt), which
// every build of that word size must reproduce bit for bit. The 32-bit
// digests were first recorded from the x87 builds (linux32 and win32 before
// they moved to SSE2); the SSE2 builds reproduce them. To record a new
// module's digests, or again after an intended change of outputs, run the
// command the failure names on a 64-bit and on a 32-bit preset.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "sweep.h"

namespace {

class Sweep : public ::testing::TestWithParam<se_test::Deliverable>
{};

// How to record this build's digest, for the failure messages.
std::string record_hint(const se_test::Deliverable &d, const se_test::Digest &now)
{
    const std::string line = se_test::digest_line(d.name, se_test::kWordBits, now);
    std::string command = std::string(SE_SWEEP_COMMAND) + " --record " + d.name;
#ifdef _WIN32
    command = "wine " + command;
#endif
    return "this " + std::to_string(se_test::kWordBits) + "-bit build's line is\n  " + line +
           "\nrecord it in " + se_test::digest_file(d) + " with\n  " + command +
           "\nand record the " + (se_test::kWordBits == 64 ? "32" : "64") +
           "-bit line with the same command on a " +
           (se_test::kWordBits == 64 ? "32-bit preset (linux32)" : "64-bit preset (native)") +
           ": a module that passes not-a-number values through gives other bits there";
}

TEST_P(Sweep, OutputsMatchTheRecordedBits)
{
    const se_test::Deliverable &d = GetParam();
    se_test::SweepWriter w;
    se_test::sweep(d.name.c_str(), 1, w);
    const se_test::Digest now{w.hash, w.words};
    const std::optional<se_test::Digest> recorded = se_test::recorded_digest(d, se_test::kWordBits);
    ASSERT_TRUE(recorded.has_value()) << "no " << se_test::kWordBits << "-bit digest recorded for "
                                      << d.name << "; " << record_hint(d, now);
    EXPECT_TRUE(recorded->hash == now.hash && recorded->words == now.words)
        << d.name << ": the outputs differ from the recorded ones ("
        << se_test::digest_line(d.name, se_test::kWordBits, *recorded)
        << "); if the change is intended, " << record_hint(d, now);
}

INSTANTIATE_TEST_SUITE_P(AllModules, Sweep, ::testing::ValuesIn(se_test::deliverables()),
                         [](const ::testing::TestParamInfo<se_test::Deliverable> &i) {
                             return i.param.name;
                         });

// The sweep itself sees a change: another seed gives other inputs, so other
// digests for every module that reads its inputs.
TEST(SweepSelf, SeedChangesTheDigest)
{
    se_test::SweepWriter a, b;
    se_test::sweep("edge_detect", 1, a);
    se_test::sweep("edge_detect", 2, b);
    EXPECT_NE(a.hash, b.hash);
}

} // namespace
