// plugin_library.h - the built plug-ins, each loaded once per test program
// and kept loaded to its end, as a host keeps a library while it has
// instances of it.
#ifndef SE_TEST_PLUGIN_LIBRARY_H
#define SE_TEST_PLUGIN_LIBRARY_H

#include "plugin_path.h"

#include <sehost/library.h>

#include <map>
#include <memory>
#include <string>

namespace se_test {

// The plug-in `name` as plugin_path() finds it (a test fixture of that
// name, else the pack's plug-in).
inline std::shared_ptr<sehost::Library> plugin_library(const std::string &name)
{
    static std::map<std::string, std::shared_ptr<sehost::Library>> loaded;
    std::shared_ptr<sehost::Library> &lib = loaded[name];
    if (!lib) {
        lib = sehost::Library::load(plugin_path(name.c_str()));
    }
    return lib;
}

} // namespace se_test

#endif
