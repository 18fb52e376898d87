// suggest.cpp - nearest names by edit distance.
#include "common/suggest.h"

#include <algorithm>

namespace secli {

size_t edit_distance(const std::string &a, const std::string &b)
{
    // Optimal string alignment: Levenshtein plus a swap of two neighbours,
    // the commonest slip ("rnuder").
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i)
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

std::string nearest(const std::string &word, const std::vector<std::string> &candidates)
{
    size_t allowed = std::max<size_t>(2, word.size() / 3);
    std::string best;
    size_t best_distance = allowed + 1;
    for (const std::string &c : candidates) {
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
