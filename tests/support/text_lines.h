// text_lines.h - an about text split at its line feeds, for tests that
// check required lines.
#ifndef SE_TEST_TEXT_LINES_H
#define SE_TEST_TEXT_LINES_H

#include <sstream>
#include <string>
#include <vector>

namespace se_test {

inline std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace se_test

#endif
