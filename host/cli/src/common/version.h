// version.h - the version of sehost, as the build names the project.
#ifndef SEHOST_CLI_VERSION_H
#define SEHOST_CLI_VERSION_H

namespace secli {

// "1.2.0"; "0.0.0" when the project has no version yet.
const char *sehost_version();

} // namespace secli

#endif
