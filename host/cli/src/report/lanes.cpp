// lanes.cpp - compacting report lanes.
#include "report/lanes.h"

#include <algorithm>

namespace secli {
namespace {

size_t bucket_of(uint64_t clock, uint64_t total)
{
    uint64_t b = clock * kBuckets / std::max<uint64_t>(total, 1);
    return static_cast<size_t>(std::min<uint64_t>(b, kBuckets - 1));
}

void compact_steps(Trace &t, uint64_t total)
{
    auto &s = t.steps;
    std::stable_sort(s.begin(), s.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<std::pair<uint64_t, double>> out;
    for (size_t i = 0; i < s.size();) {
        size_t b = bucket_of(s[i].first, total), j = i, lo = i, hi = i;
        for (; j < s.size() && bucket_of(s[j].first, total) == b; ++j) {
            if (s[j].second < s[lo].second)
                lo = j;
            if (s[j].second > s[hi].second)
                hi = j;
        }
        size_t keep[4] = {i, lo, hi, j - 1};
        std::sort(keep, keep + 4);
        for (size_t k = 0; k < 4; ++k)
            if (k == 0 || keep[k] != keep[k - 1])
                out.push_back(s[keep[k]]);
        i = j;
    }
    s = std::move(out);
}

bool is_parameter_part(int32_t m)
{
    if ((m & 0xF0) != 0xB0)
        return false;
    int cc = (m >> 8) & 0x7F;
    return cc == 99 || cc == 98 || cc == 101 || cc == 100 || cc == 6 || cc == 38;
}

void compact_marks(Trace &t, uint64_t total)
{
    auto &s = t.marks;
    std::stable_sort(s.begin(), s.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<std::pair<uint64_t, int32_t>> out;
    std::vector<size_t> kept(kBuckets, 0);
    struct Channel {
        bool in_group = false, keeping = false, selects_dropped = false;
    } ch[16];
    for (const auto &[clock, m] : s) {
        size_t b = bucket_of(clock, total);
        if (!is_parameter_part(m)) {
            if (kept[b] < kMarksPerBucket) {
                out.emplace_back(clock, m);
                ++kept[b];
            }
            continue;
        }
        Channel &c = ch[m & 15];
        int cc = (m >> 8) & 0x7F;
        bool select = cc != 6 && cc != 38;
        if (!c.in_group) {
            c.in_group = true;
            // A group of data entries alone is kept only if the parameter
            // it belongs to was kept too.
            c.keeping = kept[b] < kMarksPerBucket && (select || !c.selects_dropped);
        }
        if (select)
            c.selects_dropped = !c.keeping;
        if (c.keeping) {
            out.emplace_back(clock, m);
            ++kept[b];
        }
        if (cc == 38)
            c.in_group = false;
    }
    s = std::move(out);
}

} // namespace

void add_step(Trace &t, uint64_t clock, double value, uint64_t total)
{
    t.steps.emplace_back(clock, value);
    if (t.steps.size() > 2 * kStepsPerBucket * kBuckets)
        compact_steps(t, total);
}

void add_mark(Trace &t, uint64_t clock, int32_t message, uint64_t total)
{
    ++t.mark_count;
    t.marks.emplace_back(clock, message);
    if (t.marks.size() > 2 * kMarksPerBucket * kBuckets)
        compact_marks(t, total);
}

} // namespace secli
