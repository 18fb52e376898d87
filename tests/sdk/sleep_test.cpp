// The sleep countdown: when it runs out, that it stays out, and that no
// number of calls wraps it round.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "se_sleep.h"

namespace {

// One step: restart with `value` samples, or count a call of `value`
// samples and expect run_down's answer.
struct Step {
    enum Kind { kRestart, kCall } kind;
    int32_t value;
    bool expired = false;
};

struct Case {
    const char *name;
    std::vector<Step> steps;
};

Step restart(int32_t samples)
{
    return {Step::kRestart, samples};
}
Step call(int32_t count, bool expired)
{
    return {Step::kCall, count, expired};
}

} // namespace

TEST(SdkSleepCountdown, RunsOutAfterTheRestartsSamples)
{
    const Case cases[] = {
        {"never restarted: out at once", {call(1, true)}},
        {"exactly used up", {restart(4), call(2, false), call(2, true)}},
        {"one sample short", {restart(5), call(2, false), call(2, false), call(1, true)}},
        {"overshot by a long call", {restart(5), call(64, true)}},
        {"zero samples: out at once", {restart(0), call(1, true)}},
        {"stays out", {restart(3), call(3, true), call(1, true), call(1000, true)}},
        {"a restart starts over",
         {restart(3), call(3, true), restart(3), call(2, false), call(1, true)}},
        {"a restart before it ran out",
         {restart(3), call(2, false), restart(3), call(2, false), call(1, true)}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        se_sdk::SleepCountdown countdown;
        for (size_t i = 0; i < c.steps.size(); ++i) {
            SCOPED_TRACE(i);
            const Step &step = c.steps[i];
            if (step.kind == Step::kRestart) {
                countdown.restart(step.value);
                continue;
            }
            EXPECT_EQ(countdown.run_down(step.value), step.expired);
            EXPECT_EQ(countdown.expired(), step.expired);
        }
    }
}

TEST(SdkSleepCountdown, AHostThatKeepsCallingNeverWrapsItRound)
{
    // 2^30 samples a call: a plain subtraction would pass below INT32_MIN
    // after the third call and read as not run out.
    se_sdk::SleepCountdown countdown;
    countdown.restart(1);
    for (int i = 0; i < 16; ++i)
        ASSERT_TRUE(countdown.run_down(int32_t(1) << 30)) << "call " << i;
}
