// errors.cpp - message helpers.
#include "common/errors.h"

namespace secli {

std::string quoted_list(const std::vector<std::string> &items)
{
    std::string s;
    for (const std::string &item : items) {
        if (!s.empty())
            s += ", ";
        s += "\"" + item + "\"";
    }
    return s;
}

} // namespace secli
