// plugin_find.h - from what the user typed to a plug-in file: a path as it
// is, or a bare name ("edge_detect") looked up in the plug-in folder: the
// --plugins option, else $SE_PLUGIN_DIR, else the build's plugins/ folder.
#ifndef SEHOST_CLI_PLUGIN_FIND_H
#define SEHOST_CLI_PLUGIN_FIND_H

#include <string>

namespace secli {

void set_plugin_dir(const std::string &dir);
std::string plugin_dir();
// InputError naming `where` if no such file exists.
std::string find_plugin(const std::string &name, const std::string &where);
// "build/native/plugins/edge_detect.so" -> "edge_detect"
std::string plugin_stem(const std::string &path);

} // namespace secli

#endif
