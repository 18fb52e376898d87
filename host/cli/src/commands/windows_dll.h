// windows_dll.h - `sehost validate` on a Windows DLL: sehost is a Linux
// program and cannot load one, so it hands the run to the Windows build of
// the validator under wine, or says exactly what to run instead.
#ifndef SEHOST_CLI_WINDOWS_DLL_H
#define SEHOST_CLI_WINDOWS_DLL_H

#include <string>
#include <vector>

namespace secli {

// A PE image: "MZ", and "PE\0\0" where the DOS header points.
bool is_windows_dll(const std::string &path);

// "/work/x.dll" -> "Z:\work\x.dll": the Linux root is drive Z: under wine.
std::string wine_path(const std::string &path);

// Runs the Windows validator under wine with `args` (paths already in wine's
// form) and answers its exit status. The validator is
// $SEHOST_WIN32_VALIDATOR, else the win32 preset's build of it. InputError
// with the command to run when it or wine is missing.
int validate_under_wine(const std::vector<std::string> &args);

} // namespace secli

#endif
