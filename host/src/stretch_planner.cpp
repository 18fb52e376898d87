// stretch_planner.cpp - see stretch_planner.h.
#include "sehost/stretch_planner.h"

#include <algorithm>
#include <utility>

namespace sehost {

void StretchPlanner::whole()
{
    m_kind = Kind::Whole;
    m_lengths.clear();
    m_next = nullptr;
    m_left = 0;
}

void StretchPlanner::lengths(std::vector<int32_t> lengths)
{
    whole();
    if (lengths.empty())
        return;
    m_kind = Kind::Lengths;
    m_lengths = std::move(lengths);
    m_pos = 0;
}

void StretchPlanner::random(uint32_t seed, int32_t max_length)
{
    whole();
    m_kind = Kind::Random;
    m_rng = seed ? seed : 1; // xorshift stays at 0 once there
    m_max = std::max(1, max_length);
}

void StretchPlanner::drawn(std::function<int32_t()> next)
{
    whole();
    if (!next)
        return;
    m_kind = Kind::Drawn;
    m_next = std::move(next);
}

void StretchPlanner::start_block()
{
    m_left = 0;
    m_pos = 0;
}

} // namespace sehost
