// lanes_test.cpp - report lanes stay bounded and still show what happened:
// the envelope of values per time bucket, and only RPN/NRPN labels that the
// module really sent.
#include <map>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "midi/midi_text.h"
#include "report/lanes.h"

namespace {

using secli::kBuckets;
using secli::Trace;

constexpr uint64_t kTotal = 10'000'000;

size_t bucket(uint64_t clock)
{
    return static_cast<size_t>(clock * kBuckets / kTotal);
}

TEST(SehostReportLanes, ValueLanesKeepTheirEnvelopeWithinTheBound)
{
    std::mt19937 rng(7);
    Trace full, lane;
    for (int i = 0; i < 300; ++i) { // a short lane is kept whole
        secli::add_step(lane, static_cast<uint64_t>(i) * 1000, i % 7, kTotal);
        full.steps.emplace_back(static_cast<uint64_t>(i) * 1000, i % 7);
    }
    EXPECT_EQ(lane.steps, full.steps);

    lane = Trace{};
    std::map<size_t, std::pair<double, double>> range; // per bucket: lowest, highest
    std::map<size_t, std::pair<uint64_t, double>> last;
    for (uint64_t clock = 0; clock < kTotal; clock += 1 + rng() % 7) {
        double v = std::uniform_real_distribution<double>(-5, 5)(rng);
        secli::add_step(lane, clock, v, kTotal);
        auto [it, fresh] = range.emplace(bucket(clock), std::make_pair(v, v));
        it->second.first = std::min(it->second.first, v);
        it->second.second = std::max(it->second.second, v);
        last[bucket(clock)] = {clock, v};
    }
    EXPECT_LE(lane.steps.size(), 2 * secli::kStepsPerBucket * kBuckets);
    std::map<size_t, std::set<double>> kept;
    for (const auto &[clock, v] : lane.steps)
        kept[bucket(clock)].insert(v);
    for (const auto &[b, r] : range) {
        EXPECT_TRUE(kept[b].count(r.first)) << "bucket " << b << " lost its lowest value";
        EXPECT_TRUE(kept[b].count(r.second)) << "bucket " << b << " lost its highest value";
    }
    // The last value of the run is where the plot ends.
    EXPECT_EQ(std::max_element(lane.steps.begin(), lane.steps.end())->second,
              last.rbegin()->second.second);
}

// A stream of 14-bit parameter messages, parameters changing at random:
// every label decoded from the kept marks is one decoded from the whole
// stream at the same clock.
TEST(SehostReportLanes, MidiLanesKeepWholeParameterMessages)
{
    std::mt19937 rng(11);
    Trace lane;
    secli::RpnDecoder all;
    std::set<std::pair<uint64_t, std::string>> sent;
    uint64_t messages = 0;
    int param = 1;
    for (uint64_t clock = 0; clock < kTotal; clock += 1 + rng() % 40) {
        std::vector<int32_t> group;
        if (rng() % 3 == 0) { // a new parameter, else data entries alone
            param = static_cast<int>(rng() % 300);
            group = {0xB0 | 101 << 8 | (param >> 7) << 16, 0xB0 | 100 << 8 | (param & 127) << 16};
        }
        int value = static_cast<int>(rng() % 16384);
        group.push_back(0xB0 | 6 << 8 | (value >> 7) << 16);
        group.push_back(0xB0 | 38 << 8 | (value & 127) << 16);
        if (rng() % 5 == 0)
            group.push_back(0x90 | 60 << 8 | 100 << 16); // something else between
        for (int32_t m : group) {
            secli::add_mark(lane, clock, m, kTotal);
            ++messages;
            std::string line = all.feed(m);
            if (!line.empty())
                sent.emplace(clock, line);
        }
    }
    EXPECT_EQ(lane.mark_count, messages);
    EXPECT_LE(lane.marks.size(), 2 * (secli::kMarksPerBucket + 8) * kBuckets);
    EXPECT_LT(lane.marks.size(), messages / 10);
    secli::RpnDecoder kept;
    size_t labels = 0;
    for (const auto &[clock, m] : lane.marks) {
        std::string line = kept.feed(m);
        if (line.empty())
            continue;
        ++labels;
        EXPECT_TRUE(sent.count({clock, line})) << clock << ": " << line << " was never sent";
    }
    EXPECT_GT(labels, kBuckets); // most buckets still show a value
}

} // namespace
