// suggest.cpp - nearest names by edit distance.
#include "common/suggest.h"

#include <algorithm>

namespace secli {

size_t edit_distance(const std::string &a, const std::string &b)
{
    // Optimal string alignment: Levenshtein plus a swap of two neighbours,
    // the commonest slip ("rnuder"). Three rows of the table are kept: the
    // swap looks two rows back.
    std::vector<size_t> back2(b.size() + 1), back1(b.size() + 1), row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        back1[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            row[j] = std::min({back1[j] + 1, row[j - 1] + 1, back1[j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                row[j] = std::min(row[j], back2[j - 2] + 1);
        }
        std::swap(back2, back1);
        std::swap(back1, row);
    }
    return back1[b.size()];
}

std::string nearest(const std::string &word, const std::vector<std::string> &candidates)
{
    if (word.size() > kMaxSuggestedLength)
        return {};
    size_t allowed = std::max<size_t>(2, word.size() / 3);
    std::string best;
    size_t best_distance = allowed + 1;
    for (const std::string &c : candidates) {
        // The distance is at least the difference in length: a name that
        // differs more needs no table (and a long one never costs one).
        const size_t longer = std::max(word.size(), c.size());
        if (longer - std::min(word.size(), c.size()) >= best_distance)
            continue;
        size_t dist = edit_distance(word, c);
        if (dist < best_distance) {
            best = c;
            best_distance = dist;
        }
    }
    return best;
}

std::string did_you_mean(const std::string &word, const std::vector<std::string> &candidates)
{
    std::string n = nearest(word, candidates);
    return n.empty() ? std::string() : "; did you mean \"" + n + "\"?";
}

} // namespace secli
