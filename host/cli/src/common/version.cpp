// version.cpp - kept apart so that a new version rebuilds one file.
#include "common/version.h"

#ifndef SEHOST_VERSION
#define SEHOST_VERSION ""
#endif

namespace secli {

const char *sehost_version()
{
    static const char *const kVersion = SEHOST_VERSION[0] ? SEHOST_VERSION : "0.0.0";
    return kVersion;
}

} // namespace secli
