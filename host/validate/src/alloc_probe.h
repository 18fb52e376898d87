// alloc_probe.h - counts allocations while a plug-in entry runs.
//
// The counters live in the library; the counting operator new and malloc
// live in the executable (target se_validate_alloc_hooks), which marks at
// start-up which of the two it replaces.  Counting is armed only around the
// host's calls into a module's process and event entries and disarmed
// inside the host callback, so the host's own allocations never count.
#ifndef SEVALIDATE_ALLOC_PROBE_H
#define SEVALIDATE_ALLOC_PROBE_H

#include <cstdint>

namespace sevalidate {
namespace alloc_probe {

struct State {
    volatile int armed;
    volatile uint64_t news;    // operator new / new[] while armed
    volatile uint64_t mallocs; // malloc / calloc / realloc while armed
    volatile int new_hooked;   // set by the hooks at start-up
    volatile int malloc_hooked;
    // Set by hooks that count through a module's imports: given any address
    // inside a loaded module, routes that module's allocation imports
    // through the counters; answers how many it routed.
    int (*hook_imports)(const void *address_in_module);
};
State &state();

inline void arm()
{
    state().armed = 1;
}
inline void disarm()
{
    state().armed = 0;
}
// Allocations on the calling thread are never counted from now on: for a
// host's helper threads (GUI, file writing) that run beside the armed one.
void exempt_this_thread();
inline void reset()
{
    state().news = 0;
    state().mallocs = 0;
}

} // namespace alloc_probe
} // namespace sevalidate

// Called by the hooks; plain C names so they are easy to reach from the
// replacement functions.
extern "C" void sevalidate_count_new();
extern "C" void sevalidate_count_malloc();
extern "C" void sevalidate_hooks_present(int new_hooked, int malloc_hooked);
extern "C" void sevalidate_import_hooks_present(int (*hook_imports)(const void *));

#endif
