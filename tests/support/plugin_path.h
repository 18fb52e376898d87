// plugin_path.h - where the tests find the plug-ins of the current build.
//
// The build passes the plug-in folder (an absolute Linux path) and the file
// suffix. Under wine the same folder is reached through drive Z:, which maps
// the Linux root, so the path is rewritten with that drive and backslashes
// before it goes to LoadLibraryA. SE_PLUGIN_DIR in the environment overrides
// the folder (already in the platform's own form).
#ifndef SE_TEST_PLUGIN_PATH_H
#define SE_TEST_PLUGIN_PATH_H

#include <cstdlib>
#include <string>

namespace se_test {

inline std::string plugin_dir()
{
    if (const char *env = std::getenv("SE_PLUGIN_DIR"); env != nullptr && *env != '\0') {
        return env;
    }
    std::string dir = SE_TEST_PLUGIN_DIR;
#ifdef _WIN32
    if (!dir.empty() && dir[0] == '/') {
        dir.insert(0, "Z:");
    }
    for (char &c : dir) {
        if (c == '/') {
            c = '\\';
        }
    }
#endif
    return dir;
}

// Full path of the built plug-in called `name` (no suffix), e.g. "sdk_probe".
inline std::string plugin_path(const char *name)
{
#ifdef _WIN32
    const char separator = '\\';
#else
    const char separator = '/';
#endif
    return plugin_dir() + separator + name + SE_TEST_PLUGIN_SUFFIX;
}

} // namespace se_test

#endif
