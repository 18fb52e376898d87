// stretch_planner.cpp - see stretch_planner.h.
#include "sehost/stretch_planner.h"

#include <algorithm>
#include <utility>

namespace sehost {

void StretchPlanner::whole() {
    m_kind = Kind::Whole;
    m_lengths.clear();
    m_next = nullptr;
    m_left = 0;
}

void StretchPlanner::lengths(std::vector<int32_t> lengths) {
    whole();
    if (lengths.empty())
        return;
    m_kind = Kind::Lengths;
    m_lengths = std::move(lengths);
    m_pos = 0;
}

void StretchPlanner::random(uint32_t seed, int32_t max_length) {
    whole();
    m_kind = Kind::Random;
    m_rng = seed ? seed : 1; // xorshift stays at 0 once there
    m_max = std::max(1, max_length);
}

void StretchPlanner::drawn(std::function<int32_t()> next) {
    whole();
    if (!next)
        return;
    m_kind = Kind::Drawn;
    m_next = std::move(next);
}

void StretchPlanner::start_block() {
    m_left = 0;
    m_pos = 0;
}

int64_t StretchPlanner::next_length() {
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

uint32_t StretchPlanner::stop(uint32_t clock, uint32_t limit) {
    if (m_kind == Kind::Whole)
        return limit;
    if (m_left <= 0)
        m_left = next_length();
    if (int64_t(limit - clock) > m_left)
        return clock + static_cast<uint32_t>(m_left);
    return limit;
}

void StretchPlanner::done(uint32_t count) {
    if (m_left > 0)
        m_left -= count;
}

} // namespace sehost
