// node_order.h - the order instances run in within a block: every instance
// after those that feed it, and otherwise the patch's own order.
#pragma once

#include <cstddef>
#include <vector>

namespace secli {

// next[a] lists the instances that a feeds (a repeated entry is a repeated
// edge). Fills `out` and returns true when there is no loop; on a loop,
// `out` holds the instances that could be placed.
inline bool order_nodes(const std::vector<std::vector<size_t>> &next, std::vector<size_t> &out)
{
    const size_t n = next.size();
    std::vector<int> indegree(n, 0);
    for (const auto &targets : next)
        for (size_t t : targets)
            ++indegree[t];
    out.clear();
    std::vector<bool> done(n, false);
    for (bool progress = true; progress;) {
        progress = false;
        for (size_t i = 0; i < n; ++i)
            if (!done[i] && indegree[i] == 0) {
                done[i] = true;
                out.push_back(i);
                for (size_t j : next[i])
                    --indegree[j];
                progress = true;
                break; // keep the patch's own order where free
            }
    }
    return out.size() == n;
}

} // namespace secli
