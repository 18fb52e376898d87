// deliverables.h - the plug-ins of the pack, as the build lists them.
//
// The build writes one line per plug-in marked DELIVERABLE to
// deliverables.txt: its name, a tab and its source folder. Tests that visit
// every plug-in of the pack read that list, so a new module is in them as
// soon as its folder is part of the build.
#ifndef SE_TEST_DELIVERABLES_H
#define SE_TEST_DELIVERABLES_H

#include "plugin_path.h"

#include <fstream>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace se_test {

struct Deliverable {
    std::string name;
    std::string folder; // the source folder's name, e.g. "panel_switch"
};

// How a parameterised test names its plug-in in listings.
inline void PrintTo(const Deliverable &d, std::ostream *os)
{
    *os << d.name;
}

inline std::vector<Deliverable> deliverables()
{
    std::ifstream in(native_dir(SE_TEST_DELIVERABLES));
    std::vector<Deliverable> out;
    for (std::string line; std::getline(in, line);) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos)
            continue;
        const std::string path = line.substr(tab + 1);
        out.push_back({line.substr(0, tab), path.substr(path.find_last_of('/') + 1)});
    }
    if (out.empty())
        throw std::runtime_error(std::string("no plug-ins listed in ") + SE_TEST_DELIVERABLES);
    return out;
}

inline std::vector<std::string> deliverable_names()
{
    std::vector<std::string> names;
    for (const Deliverable &d : deliverables())
        names.push_back(d.name);
    return names;
}

} // namespace se_test

#endif
