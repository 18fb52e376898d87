// fork_guard.h - with -j N, worker threads fork a child per check. A child
// gets a copy of the parent with only the forking thread in it: a lock that
// another thread held at that moment (the allocator's, a stream's) stays
// locked in the child for ever. So every thread of the validator holds this
// guard while it does anything but wait for a child, and fork() is called
// under it.
#pragma once

#include <mutex>

namespace sevalidate {

inline std::mutex &fork_guard()
{
    static std::mutex m;
    return m;
}

} // namespace sevalidate
