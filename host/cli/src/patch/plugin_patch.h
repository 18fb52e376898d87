// plugin_patch.h - the patch of one plug-in played alone, from the options
// of `sehost render` and `sehost play PLUGIN`. Numbers and times come as the
// user typed them and are read as their patch fields are.
#ifndef SEHOST_CLI_PLUGIN_PATCH_H
#define SEHOST_CLI_PLUGIN_PATCH_H

#include <string>
#include <utility>
#include <vector>

#include "patch/patch.h"

namespace secli {

struct PluginOptions {
    std::string plugin;
    std::vector<std::string> set;           // "Pin=Value"
    std::vector<std::string> at;            // TIME, "Pin=Value", TIME, ...
    std::vector<std::string> midi;          // "TIME=MESSAGE"
    std::vector<std::string> patch_changes; // TIME
    std::string midi_file;
    std::string duration = "2s";
    std::string repeat = "0", block = "1024", host_version = "100238", rate = "44100";
};

// InputError naming the option at fault.
Patch plugin_patch(const PluginOptions &options);

// "Pin=Value" split at the first '='; InputError naming `where` otherwise.
std::pair<std::string, std::string> pin_assignment(const std::string &text,
                                                   const std::string &where);

} // namespace secli

#endif
