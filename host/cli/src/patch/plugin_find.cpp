// plugin_find.cpp - locating plug-in files.
#include "patch/plugin_find.h"

#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <vector>

#include "common/errors.h"
#include "common/suggest.h"

namespace secli {
namespace fs = std::filesystem;

static std::string g_dir;

void set_plugin_dir(const std::string &dir)
{
    g_dir = dir;
}

std::string plugin_dir()
{
    if (!g_dir.empty())
        return g_dir;
    if (const char *env = std::getenv("SE_PLUGIN_DIR"); env && *env)
        return env;
    return SEHOST_PLUGIN_DIR;
}

std::string plugin_stem(const std::string &path)
{
    return fs::path(path).stem().string();
}

std::string find_plugin(const std::string &name, const std::string &where)
{
    std::error_code ec;
    bool pathlike = name.find('/') != std::string::npos || fs::path(name).has_extension();
    if (pathlike) {
        if (!fs::is_regular_file(name, ec))
            throw InputError(where + ": no plug-in file \"" + name + "\"");
        return name;
    }
    fs::path p = fs::path(plugin_dir()) / (name + SEHOST_PLUGIN_SUFFIX);
    if (!fs::is_regular_file(p, ec)) {
        std::vector<std::string> names;
        for (const auto &e : fs::directory_iterator(plugin_dir(), ec))
            if (e.path().extension() == SEHOST_PLUGIN_SUFFIX)
                names.push_back(e.path().stem().string());
        std::sort(names.begin(), names.end());
        std::string guess = did_you_mean(name, names);
        std::string known = quoted_list(names);
        throw InputError(where + ": no plug-in \"" + name + "\" in " + plugin_dir() +
                         (known.empty()   ? std::string(" (folder empty or missing)")
                          : guess.empty() ? "; there are " + known
                                          : guess));
    }
    return p.string();
}

} // namespace secli
