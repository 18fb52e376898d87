// validate.h - `sehost validate PLUGIN... [validator options]`.
#ifndef SEHOST_CLI_VALIDATE_H
#define SEHOST_CLI_VALIDATE_H

#include <string>
#include <vector>

namespace secli {

// The validator's own command line (without the command word); answers
// the exit status. InputError for plug-ins that cannot go to one run.
int run_validate(const std::vector<std::string> &args);

} // namespace secli

#endif
