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

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

namespace sehost {

class StretchPlanner
{
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
    // (Inline: a host asks once a stretch.)
    uint32_t stop(uint32_t clock, uint32_t limit)
    {
        if (m_kind == Kind::Whole)
            return limit;
        if (m_left <= 0)
            m_left = next_length();
        return int64_t(limit - clock) > m_left ? clock + static_cast<uint32_t>(m_left) : limit;
    }
    void done(uint32_t count)
    { // a stretch of `count` samples has run
        if (m_left > 0)
            m_left -= count;
    }

private:
    enum class Kind { Whole, Lengths, Random, Drawn };
    int64_t next_length()
    {
        switch (m_kind) {
        case Kind::Lengths: {
            int64_t n = m_lengths[m_pos];
            m_pos = (m_pos + 1) % m_lengths.size();
            return n;
        }
        case Kind::Random:
            m_rng ^= m_rng << 13; // xorshift32
            m_rng ^= m_rng >> 17;
            m_rng ^= m_rng << 5;
            return 1 + static_cast<int64_t>(m_rng % static_cast<uint32_t>(m_max));
        case Kind::Drawn:
            return std::max<int64_t>(1, m_next());
        case Kind::Whole:
            break;
        }
        return 0;
    }
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
