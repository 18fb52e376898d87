// stretch_planner_test.cpp - where stretches end: block ends, events, and the
// splits a host or the validator asks for.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "sehost/stretch_planner.h"

using sehost::StretchPlanner;

namespace {

// Runs `blocks` blocks through the planner as a host does, with events at
// `cuts`, and answers the clock at which every stretch ends.
std::vector<uint32_t> stops(StretchPlanner &plan, uint32_t block, uint32_t blocks,
                            const std::set<uint32_t> &cuts)
{
    std::vector<uint32_t> out;
    for (uint32_t clock = 0; clock < block * blocks;) {
        const uint32_t start = clock - clock % block;
        if (clock == start)
            plan.start_block();
        uint32_t limit = start + block;
        auto next = cuts.upper_bound(clock);
        if (next != cuts.end() && *next < limit)
            limit = *next;
        const uint32_t stop = plan.stop(clock, limit);
        if (stop <= clock || stop > limit) {
            ADD_FAILURE() << "stretch from " << clock << " ends at " << stop << " (limit " << limit
                          << ")";
            break;
        }
        plan.done(stop - clock);
        out.push_back(stop);
        clock = stop;
    }
    return out;
}

TEST(HostStretchPlanner, EndsAtBlocksEventsAndSplits)
{
    struct Case {
        const char *name;
        void (*setup)(StretchPlanner &);
        uint32_t block, blocks;
        std::set<uint32_t> cuts;
        std::vector<uint32_t> expected;
    };
    const Case cases[] = {
        {"whole blocks, an event", [](StretchPlanner &p) { p.whole(); }, 4, 2, {2}, {2, 4, 8}},
        {"lengths in turn",
         [](StretchPlanner &p) {
             p.lengths({3, 5});
         },
         16,
         1,
         {},
         {3, 8, 11, 16}},
        // a length cut short by an event goes on after it
        {"length cut by an event",
         [](StretchPlanner &p) {
             p.lengths({3, 5});
         },
         16,
         1,
         {5},
         {3, 5, 8, 11, 16}},
        // every block starts the cycle again, dropping what was left
        {"cycle per block",
         [](StretchPlanner &p) {
             p.lengths({3, 4, 5});
         },
         8,
         2,
         {},
         {3, 7, 8, 11, 15, 16}},
        {"no lengths is whole blocks", [](StretchPlanner &p) { p.lengths({}); }, 4, 2, {}, {4, 8}},
        // drawn lengths go on across blocks: 1, 2, 3 (cut), then 4
        {"drawn",
         [](StretchPlanner &p) { p.drawn([k = 0]() mutable { return ++k; }); },
         4,
         2,
         {},
         {1, 3, 4, 8}},
        {"drawn below one",
         [](StretchPlanner &p) { p.drawn([k = 0]() mutable { return k++ % 2 ? -5 : 0; }); },
         3,
         1,
         {},
         {1, 2, 3}},
        {"whole again",
         [](StretchPlanner &p) {
             p.lengths({1});
             p.whole();
         },
         4,
         1,
         {},
         {4}},
    };
    for (const Case &c : cases) {
        StretchPlanner plan;
        c.setup(plan);
        EXPECT_EQ(stops(plan, c.block, c.blocks, c.cuts), c.expected) << c.name;
    }
}

TEST(HostStretchPlanner, RandomLengthsAreSeededAndBounded)
{
    auto lengths = [](uint32_t seed, int32_t max) {
        StretchPlanner plan;
        plan.random(seed, max);
        std::vector<uint32_t> out, ends = stops(plan, 4096, 1, {});
        for (size_t i = 0; i < ends.size(); ++i)
            out.push_back(ends[i] - (i ? ends[i - 1] : 0));
        out.pop_back(); // the last one may be cut by the block's end
        return out;
    };
    const auto a = lengths(7, 40);
    EXPECT_EQ(a, lengths(7, 40));
    EXPECT_NE(a, lengths(8, 40));
    EXPECT_EQ(lengths(0, 40), lengths(1, 40)); // a zero seed would stay zero
    ASSERT_GT(a.size(), 4096u / 40u);
    std::set<uint32_t> seen(a.begin(), a.end());
    EXPECT_GE(*seen.begin(), 1u);
    EXPECT_LE(*seen.rbegin(), 40u);
    EXPECT_GT(seen.size(), 30u); // spread over the range, not a few values
}

} // namespace
