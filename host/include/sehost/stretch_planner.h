// stretch_planner.h - where the next stretch of a block ends.
//
// A host calls a module's process entry for stretches of a block.  A stretch
// ends at the block's end or at the next event, and earlier where the host
// splits blocks further: a cycle of lengths that starts again with every
// block, seeded random lengths, or lengths drawn by the caller.  A length cut
// short by an event goes on after it, up to the block's end.
//
//   sehost::StretchPlanner plan;
//   plan.lengths({3, 5});
//   plan.start_block();                        // at every new block
//   uint32_t stop = plan.stop(clock, limit);   // limit: block end, next event
//   ...process [clock, stop)...
//   plan.done(stop - clock);
#ifndef SEHOST_STRETCH_PLANNER_H
#define SEHOST_STRETCH_PLANNER_H

#include <cstdint>
#include <functional>
#include <vector>

namespace sehost {

class StretchPlanner {
public:
    void whole();                                   // no split but blocks and events
    void lengths(std::vector<int32_t> lengths);     // positive lengths in turn
    void random(uint32_t seed, int32_t max_length); // 1 .. max_length (positive)
    // A length from `next` whenever one is used up; the draws go on across
    // blocks.  A length below 1 counts as 1.
    void drawn(std::function<int32_t()> next);
    bool splits() const { return m_kind != Kind::Whole; }

    void start_block(); // the cycle starts again; a length's remainder is dropped
    // The end of the stretch that starts at `clock`, at `limit` (> clock) at
    // the latest.  Draws the next length when the last one is used up.
    uint32_t stop(uint32_t clock, uint32_t limit);
    void done(uint32_t count); // a stretch of `count` samples has run

private:
    enum class Kind { Whole, Lengths, Random, Drawn };
    int64_t next_length();
    Kind m_kind = Kind::Whole;
    std::vector<int32_t> m_lengths;
    size_t m_pos = 0;
    uint32_t m_rng = 1;
    int32_t m_max = 64;
    std::function<int32_t()> m_next;
    int64_t m_left = 0; // samples left of the current length
};

} // namespace sehost

#endif
