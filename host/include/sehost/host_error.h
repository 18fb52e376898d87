// host_error.h - the one exception type of the reference host.
#ifndef SEHOST_HOST_ERROR_H
#define SEHOST_HOST_ERROR_H

#include <stdexcept>
#include <string>
#include <vector>

namespace sehost {

// Every failure the host detects: a library that does not load, a missing
// export, a malformed record or answer, a request made out of order.  The
// message names the plug-in (its path), and the pin or request involved.
//
// Exceptions never cross the plug-in boundary: a fault found inside a host
// callback is recorded on the instance and raised by the host call that
// made the module run (see HostConfig::throw_on_module_error).
class HostError : public std::runtime_error
{
public:
    explicit HostError(const std::string &message) : std::runtime_error(message) {}
};

// Requests whose plug record belongs to no live instance (answered 0),
// oldest first.  Such a request cannot be charged to an instance.
const std::vector<std::string> &orphan_errors();

} // namespace sehost

#endif
