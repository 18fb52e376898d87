// errors.h - the one error type of the command-line host: bad input that the
// user can fix. Its message names what is wrong and where (file, field or
// option); main prints it on one line and exits with status 2.
#ifndef SEHOST_CLI_ERRORS_H
#define SEHOST_CLI_ERRORS_H

#include <stdexcept>
#include <string>
#include <vector>

namespace secli {

class InputError : public std::runtime_error
{
public:
    explicit InputError(const std::string &message) : std::runtime_error(message) {}
};

// "a", "b", "c" -> "\"a\", \"b\", \"c\"" for messages that list valid choices.
std::string quoted_list(const std::vector<std::string> &items);

} // namespace secli

#endif
