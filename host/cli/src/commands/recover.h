// recover.h - `sehost recover DIR`: settles what a killed run left in an
// output folder (its unfinished commit, its temporaries) and says what that
// was, without running anything.
#ifndef SEHOST_CLI_RECOVER_H
#define SEHOST_CLI_RECOVER_H

#include <string>

namespace secli {

// One line for each thing done; InputError if DIR is not a folder, is in
// use, or cannot be settled.
std::string recover_folder(const std::string &dir);

} // namespace secli

#endif
