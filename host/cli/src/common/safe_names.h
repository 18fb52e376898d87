// safe_names.h - the names of output files: safe on every system, and
// made from an instance's name and a pin's.
#ifndef SEHOST_CLI_SAFE_NAMES_H
#define SEHOST_CLI_SAFE_NAMES_H

#include <string>

namespace secli {

// True if `name` may be a file of the output folder: 1 to 200 bytes of
// letters, digits, '_', '-', '+' and '.', not beginning with '.', no "..",
// and no device name of Windows ("CON", "nul.txt", "COM1.x") as its first
// part, so that the same files can be copied to any system.
bool is_safe_file_name(const std::string &name);

// An instance name becomes the first part of its files' names: 1 to 64
// letters, digits, '_', '-' or '+', and no device name. InputError naming
// `where` otherwise.
void check_instance_name(const std::string &name, const std::string &where);

// A file name from an instance and pin: "count.Index_Count". Pin names come
// from the plug-in: anything but letters, digits, '-' and '+' becomes one
// '_', and the pin part is at most 64 bytes ("pin" if nothing is left).
std::string file_stem(const std::string &instance, const std::string &pin);

// True if `name` is one sehost gives its own temporary files in an output
// folder: "." NAME "." six letters or digits, then ".part" (a file being
// written), ".old" (an earlier file set aside during a commit) or, for a
// NAME beginning "sehost-", ".wav" (a live run's tape of an input).
bool is_temporary_name(const std::string &name);

} // namespace secli

#endif
