// suggest.h - "did you mean": the nearest of some names to a mistyped one.
#ifndef SEHOST_CLI_SUGGEST_H
#define SEHOST_CLI_SUGGEST_H

#include <cstddef>
#include <string>
#include <vector>

namespace secli {

// Edits (insert, delete, replace, swap of neighbours) from `a` to `b`.
size_t edit_distance(const std::string &a, const std::string &b);

// The candidate closest to `word` if it is close enough to be a typing
// slip (at most a third of the word, and at least 2 edits allowed), else "".
// Words longer than kMaxSuggestedLength get no suggestion, and candidates
// whose length alone puts them too far are not compared: the work is at
// most kMaxSuggestedLength squared per candidate, whatever the input.
constexpr size_t kMaxSuggestedLength = 64;
std::string nearest(const std::string &word, const std::vector<std::string> &candidates);

// "; did you mean \"render\"?" or "".
std::string did_you_mean(const std::string &word, const std::vector<std::string> &candidates);

} // namespace secli

#endif
