// plugin_path.h - where the tests find the plug-ins of the current build.
//
// The build passes the plug-in folder and the test-fixture folder (absolute
// Linux paths) and the file suffix. Under wine the same folders are reached
// through drive Z:, which maps the Linux root, so the paths are rewritten
// with that drive and backslashes before they go to LoadLibraryA.
// SE_PLUGIN_DIR in the environment overrides the plug-in folder (already in
// the platform's own form).
#ifndef SE_TEST_PLUGIN_PATH_H
#define SE_TEST_PLUGIN_PATH_H

#include <cstdio>
#include <cstdlib>
#include <string>

namespace se_test {

// A folder of the build in the platform's own form.
inline std::string native_dir(std::string dir)
{
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

// The module pack's folder.
inline std::string plugin_dir()
{
    if (const char *env = std::getenv("SE_PLUGIN_DIR"); env != nullptr && *env != '\0') {
        return env;
    }
    return native_dir(SE_TEST_PLUGIN_DIR);
}

// The folder of the test fixtures (plug-ins built from tests/).
inline std::string fixture_dir()
{
    return native_dir(SE_TEST_FIXTURE_DIR);
}

// Full path of the built plug-in called `name` (no suffix), e.g. "sdk_probe":
// a test fixture of that name, else the pack's plug-in.
inline std::string plugin_path(const char *name)
{
#ifdef _WIN32
    const char separator = '\\';
#else
    const char separator = '/';
#endif
    const std::string fixture = fixture_dir() + separator + name + SE_TEST_PLUGIN_SUFFIX;
    if (std::FILE *f = std::fopen(fixture.c_str(), "rb")) {
        std::fclose(f);
        return fixture;
    }
    return plugin_dir() + separator + name + SE_TEST_PLUGIN_SUFFIX;
}

} // namespace se_test

#endif
