// private_files.h - the files through which child processes hand back their
// results: in a folder of this process's own (mode 0700 where the platform
// has modes), each created afresh and never through a link, the folder
// removed when the process exits.
#ifndef SEVALIDATE_PRIVATE_FILES_H
#define SEVALIDATE_PRIVATE_FILES_H

#include <string>

namespace sevalidate {

// A new name in the private folder, made on first use; throws
// std::runtime_error if the folder cannot be made.  The file itself is not
// created.
std::string private_file_name(const std::string &suffix);

// Creates `path`, which must not exist yet (nor be a link), and writes
// `data`; false with the reason in `error` otherwise.
bool write_new_file(const std::string &path, const std::string &data, std::string &error);

// Forgets a file made from a private name (removes it if it is there).
void remove_private_file(const std::string &path);

// Removes the folder with what is left in it now, as at exit (a run that is
// stopped from outside goes before its exit handlers may run).
void remove_private_folder();

} // namespace sevalidate

#endif
