// event_queue_test.cpp - events leave the queue in stamp order, equal stamps
// in arrival order, however they arrive and whatever is taken off between.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "sehost/event_queue.h"

namespace {

struct Item {
    uint32_t stamp;
    int arrival;
};

// Pushes and pops drawn from a small generator (in order, behind the
// back, equal stamps, bursts), checked at every pop against the earliest
// of what is waiting, by (stamp, arrival).
TEST(HostEventQueue, StampOrderThenArrivalOrderWhateverTheMix)
{
    for (uint32_t seed : {1u, 2u, 3u, 4u}) {
        sehost::EventQueue<Item> queue;
        std::vector<Item> waiting;
        uint32_t state = seed, now = 0;
        auto draw = [&](uint32_t n) {
            state = state * 1664525u + 1013904223u;
            return (state >> 8) % n;
        };
        int arrivals = 0;
        for (int step = 0; step < 8000; ++step) {
            if (draw(3) != 0 || waiting.empty()) {
                // Mostly ahead of the last, sometimes at or before it.
                const uint32_t stamp = now + (draw(4) == 0 ? draw(8) : draw(200));
                queue.push(stamp, Item{stamp, arrivals});
                waiting.push_back(Item{stamp, arrivals++});
                continue;
            }
            auto first = std::min_element(waiting.begin(), waiting.end(), [](auto &a, auto &b) {
                return a.stamp != b.stamp ? a.stamp < b.stamp : a.arrival < b.arrival;
            });
            ASSERT_EQ(queue.size(), waiting.size());
            ASSERT_EQ(queue.front_stamp(), first->stamp) << "seed " << seed << " step " << step;
            ASSERT_EQ(queue.front().arrival, first->arrival) << "seed " << seed << " step " << step;
            now = first->stamp;
            waiting.erase(first);
            queue.pop();
        }
    }
}

} // namespace
